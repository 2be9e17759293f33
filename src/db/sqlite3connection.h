// db::SQLite3Connection: owns one SQLite connection handle, opened in the constructor and,
// with every statement still prepared on it, finalised and closed in the destructor.
// Statements keep a pointer to their connection, so it is neither copied nor moved.
// One thread at a time; other processes holding a lock are met by the busy handler only.
#pragma once

#include <cstdint>
#include <string>

#include "db/connection.h"

struct sqlite3;
struct sqlite3_stmt;

namespace db {

// SQLite's busy handler: asks for another immediate attempt while fewer than 11 retries were
// made (`calls` counts the earlier calls for the same lock), so a lock is tried 12 times.
int sqlite3_busy_callback(void* user, int calls);

class SQLite3Connection : public Connection {
public:
    // Opens `filename` (see Connection::create for `mode`; `create` lets "rw" create the file).
    SQLite3Connection(const std::string& filename, bool create, const std::string& mode);
    SQLite3Connection(const SQLite3Connection&) = delete;
    SQLite3Connection& operator=(const SQLite3Connection&) = delete;
    ~SQLite3Connection() override;

    SQLStatement::UniquePtr get_statement(const std::string& SQL) override;
    std::string get_spec() const override;
    int64_t get_last_insert_row_id() const override;

    // For SQLite3Statement: the open handle, and finalising a statement prepared on it.
    sqlite3* handle() const { return db; }
    void finalise_statement(sqlite3_stmt* statement);
    // Ends the process with the database error report for `code` on this database.
    [[noreturn]] void fail(int32_t code) const;

private:
    std::string spec;
    sqlite3* db = nullptr;
    bool managed = true;
};

}  // namespace db
