// db::Connection: the interface of one open database. Every failure ends the process with
// the database error report (db::Error); nothing is returned to the caller. A connection and
// its statements are used from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "db/sqlstatement.h"

namespace db {

class Connection {
public:
    using UniquePtr = std::unique_ptr<Connection>;

    // Opens the SQLite database `filename`: mode "r" read-only, "rw" read-write, created when
    // missing; any other mode is refused by SQLite. The caller owns the connection.
    static UniquePtr create(const std::string& filename, const std::string& mode = "r");

    virtual ~Connection();

    // Prepares `SQL`; the caller owns the statement and destroys it before this connection.
    virtual SQLStatement::UniquePtr get_statement(const std::string& SQL) = 0;
    // Prepares `SQL`, steps it once and drops it; the step's result is not looked at.
    virtual void run_statement(const std::string& SQL);
    // The database file name given to create, used in messages.
    virtual std::string get_spec() const = 0;
    virtual int64_t get_last_insert_row_id() const = 0;
};

}  // namespace db
