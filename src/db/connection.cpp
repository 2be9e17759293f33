#include "db/connection.h"

#include "db/sqlite3connection.h"

namespace db {

Connection::UniquePtr Connection::create(const std::string& filename, const std::string& mode) {
    return UniquePtr(new SQLite3Connection(filename, true, mode));
}

Connection::~Connection() = default;

void Connection::run_statement(const std::string& SQL) { get_statement(SQL)->step(); }

}  // namespace db
