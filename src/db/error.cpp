#include "db/error.h"

#include "../error.h"

namespace db {

Error::Error(const std::string& spec_, int32_t code_, const std::string& note_)
    : spec(spec_), code(code_), note(note_) {
    ::Error::fail(description());
}

Error::~Error() = default;

const char* Error::what() const noexcept { return "db::Error"; }

std::string Error::description() const {
    return codeText(code) + " (using BGEN index file '" + spec + "'" + note + ")!";
}

std::string Error::codeText(int32_t code) {
    static const char* const texts[] = {
        "",
        "SQL error or missing database",
        "Internal logic error in SQLite",
        "Access permission denied",
        "Callback routine requested an abort",
        "The database file is locked",
        "A table in the database is locked",
        "A malloc() failed",
        "Attempt to write a readonly database",
        "Operation terminated by sqlite3_interrupt()",
        "Some kind of disk I/O error occurred",
        "The database disk image is malformed",
        "NOT USED. Table or record not found",
        "Insertion failed because database is full",
        "Unable to open the database file",
        "Database lock protocol error",
        "Database is empty",
        "The database schema changed",
        "String or BLOB exceeds size limit",
        "Abort due to constraint violation",
        "Data type mismatch",
        "Library used incorrectly",
        "Uses OS features not supported on host",
        "Authorization denied",
        "Auxiliary database format error",
        "2nd parameter to sqlite3_bind out of range",
        "File opened that is not a database file",
    };
    if (code >= 0 && code < static_cast<int32_t>(sizeof texts / sizeof texts[0])) return texts[code];
    if (code == 100) return "sqlite3_step() has another row ready";
    if (code == 101) return "sqlite3_step() has finished executing";
    return "";
}

const char* ValueBindError::what() const noexcept { return "db::ValueBindError"; }

const char* TransactionError::what() const noexcept { return "db::TransactionError"; }

const char* StatementStepError::what() const noexcept { return "db::StatementStepError"; }

}  // namespace db
