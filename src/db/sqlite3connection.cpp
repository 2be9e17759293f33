#include "db/sqlite3connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "db/error.h"
#include "db/sqlite3statement.h"

namespace db {

namespace {

// SQLite opens no database whose absolute path leaves no room for its journal's name (8 bytes
// more) within the VFS's path limit. It builds that path from the working folder and the name
// as given, then resolves links in it: either form may be too long. For such a path, the words
// that say so (with the longer form's length); else "".
std::string pathTooLong(const std::string& filename) {
    const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    std::error_code error;
    namespace fs = std::filesystem;
    const fs::path built = fs::absolute(filename, error).lexically_normal();
    if (vfs == nullptr || error) return "";
    std::size_t length = built.string().size();
    const fs::path resolved = fs::weakly_canonical(built, error);
    if (!error) length = std::max(length, resolved.string().size());
    if (length + 8 <= static_cast<std::size_t>(vfs->mxPathname)) return "";
    return ", whose absolute path of " + std::to_string(length) + " bytes is longer than the " +
           std::to_string(vfs->mxPathname - 8) + " bytes that SQLite can open";
}

int openFlags(bool create, const std::string& mode) {
    if (mode == "r") return SQLITE_OPEN_READONLY;
    if (mode == "rw") return create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE;
    return 0;
}

}  // namespace

int sqlite3_busy_callback(void*, int calls) { return calls <= 10 ? 1 : 0; }

SQLite3Connection::SQLite3Connection(const std::string& filename, bool create, const std::string& mode)
    : spec(filename) {
    const int rc = sqlite3_open_v2(spec.c_str(), &db, openFlags(create, mode), nullptr);
    if (rc == SQLITE_CANTOPEN) throw Error(spec, rc, pathTooLong(spec));
    if (rc != SQLITE_OK) fail(rc);
    sqlite3_busy_handler(db, &sqlite3_busy_callback, nullptr);
}

SQLite3Connection::~SQLite3Connection() {
    if (!managed || db == nullptr) return;
    while (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr)) sqlite3_finalize(statement);
    sqlite3_close(db);
    db = nullptr;
}

SQLStatement::UniquePtr SQLite3Connection::get_statement(const std::string& SQL) {
    return SQLStatement::UniquePtr(new SQLite3Statement(this, SQL));
}

std::string SQLite3Connection::get_spec() const { return spec; }

int64_t SQLite3Connection::get_last_insert_row_id() const { return sqlite3_last_insert_rowid(db); }

void SQLite3Connection::finalise_statement(sqlite3_stmt* statement) { sqlite3_finalize(statement); }

void SQLite3Connection::fail(int32_t code) const { throw Error(spec, code); }

}  // namespace db
