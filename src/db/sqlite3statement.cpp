#include "db/sqlite3statement.h"

#include <sqlite3.h>

#include <climits>
#include <cstddef>

#include "db/error.h"
#include "db/sqlite3connection.h"

namespace db {

namespace {

// A pointer for a zero-length value: SQLite binds NULL for a null pointer, an empty value here.
const char emptyValue[1] = {0};

}  // namespace

SQLite3Statement::SQLite3Statement(SQLite3Connection* connection_, const std::string& SQL)
    : connection(connection_) {
    prepare_sql(SQL);
}

SQLite3Statement::~SQLite3Statement() { connection->finalise_statement(statement); }

void SQLite3Statement::prepare_sql(const std::string& SQL) {
    // The length includes the terminating NUL, so SQLite needs not copy the text.
    if (SQL.size() >= static_cast<std::size_t>(INT_MAX)) connection->fail(SQLITE_TOOBIG);
    check(sqlite3_prepare_v2(connection->handle(), SQL.c_str(), static_cast<int>(SQL.size() + 1), &statement,
                             nullptr));
}

bool SQLite3Statement::step() { return step_statement(); }

bool SQLite3Statement::step_statement() {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        have_results = true;
    } else if (rc == SQLITE_DONE) {
        have_results = false;
    } else {
        connection->fail(rc);
    }
    return have_results;
}

bool SQLite3Statement::empty() const { return !have_results; }

bool SQLite3Statement::is_null(int column_id) const { return get_column_type(column_id) == ColumnType::Null; }

ColumnType SQLite3Statement::get_column_type(int column_id) const {
    switch (sqlite3_column_type(statement, column_id)) {
        case SQLITE_INTEGER:
            return ColumnType::Integer;
        case SQLITE_FLOAT:
            return ColumnType::Real;
        case SQLITE_TEXT:
            return ColumnType::Text;
        case SQLITE_BLOB:
            return ColumnType::Blob;
        default:
            return ColumnType::Null;
    }
}

int SQLite3Statement::get_number_of_columns() const { return sqlite3_column_count(statement); }

std::string SQLite3Statement::get_name_of_column(int column_id) const {
    const char* name = sqlite3_column_name(statement, column_id);
    return name == nullptr ? std::string() : std::string(name);
}

void SQLite3Statement::check(int rc) const {
    if (rc != SQLITE_OK) connection->fail(rc);
}

void SQLite3Statement::checkBind(int rc) const {
    if (rc != SQLITE_OK) throw ValueBindError(connection->get_spec(), rc);
}

SQLite3Statement& SQLite3Statement::bind(int position, int value) {
    checkBind(sqlite3_bind_int(statement, position, value));
    return *this;
}

SQLite3Statement& SQLite3Statement::bind(int position, unsigned int value) {
    // Stored as the signed 32-bit number with the same bits.
    checkBind(sqlite3_bind_int(statement, position, static_cast<int>(value)));
    return *this;
}

SQLite3Statement& SQLite3Statement::bind(int position, long long value) {
    checkBind(sqlite3_bind_int64(statement, position, value));
    return *this;
}

SQLite3Statement& SQLite3Statement::bind(int position, unsigned long long value) {
    // Stored as the signed 64-bit number with the same bits.
    checkBind(sqlite3_bind_int64(statement, position, static_cast<sqlite3_int64>(value)));
    return *this;
}

SQLite3Statement& SQLite3Statement::bind(int position, double value) {
    checkBind(sqlite3_bind_double(statement, position, value));
    return *this;
}

int SQLite3Statement::bindLength(std::ptrdiff_t length) const {
    if (length < 0) checkBind(SQLITE_MISUSE);
    if (length > INT_MAX) checkBind(SQLITE_TOOBIG);
    return static_cast<int>(length);
}

SQLite3Statement& SQLite3Statement::bindText(int position, const char* begin, std::ptrdiff_t length) {
    const int size = bindLength(length);
    checkBind(sqlite3_bind_text(statement, position, size == 0 ? emptyValue : begin, size, SQLITE_TRANSIENT));
    return *this;
}

SQLite3Statement& SQLite3Statement::bindBlob(int position, const void* begin, std::ptrdiff_t length) {
    const int size = bindLength(length);
    checkBind(sqlite3_bind_blob(statement, position, size == 0 ? emptyValue : begin, size, SQLITE_TRANSIENT));
    return *this;
}

SQLite3Statement& SQLite3Statement::bind(int position, const std::string& value) {
    return bindText(position, value.data(), static_cast<std::ptrdiff_t>(value.size()));
}

SQLite3Statement& SQLite3Statement::bind(int position, const char* begin, const char* end) {
    return bindBlob(position, begin, end - begin);
}

SQLite3Statement& SQLite3Statement::bind(int position, const uint8_t* begin, const uint8_t* end) {
    return bindBlob(position, begin, end - begin);
}

SQLite3Statement& SQLite3Statement::bind_NULL(int position) {
    checkBind(sqlite3_bind_null(statement, position));
    return *this;
}

SQLite3Statement& SQLite3Statement::reset() {
    check(sqlite3_reset(statement));
    return *this;
}

std::string SQLite3Statement::get_sql() const {
    const char* sql = sqlite3_sql(statement);
    return sql == nullptr ? std::string() : std::string(sql);
}

int SQLite3Statement::get_column_int(int column_id) const { return sqlite3_column_int(statement, column_id); }

int64_t SQLite3Statement::get_column_int64(int column_id) const {
    return sqlite3_column_int64(statement, column_id);
}

double SQLite3Statement::get_column_double(int column_id) const {
    return sqlite3_column_double(statement, column_id);
}

const char* SQLite3Statement::columnText(int column_id) const {
    const unsigned char* text = sqlite3_column_text(statement, column_id);
    // SQLite returns null for NULL, and also when converting the value ran out of memory.
    if (text == nullptr && sqlite3_errcode(connection->handle()) == SQLITE_NOMEM) connection->fail(SQLITE_NOMEM);
    return reinterpret_cast<const char*>(text);
}

std::string SQLite3Statement::get_column_string(int column_id) const {
    const char* text = columnText(column_id);
    return text == nullptr ? std::string() : std::string(text);
}

char SQLite3Statement::get_column_char(int column_id) const {
    const char* text = columnText(column_id);
    return text == nullptr ? '\0' : text[0];
}

std::vector<uint8_t> SQLite3Statement::get_column_blob(int column_id) const {
    // sqlite3_column_bytes must follow sqlite3_column_blob: the blob call may convert the value.
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column_id));
    const int size = sqlite3_column_bytes(statement, column_id);
    if (bytes == nullptr || size <= 0) {
        if (sqlite3_errcode(connection->handle()) == SQLITE_NOMEM) connection->fail(SQLITE_NOMEM);
        return {};
    }
    return std::vector<uint8_t>(bytes, bytes + size);
}

}  // namespace db
