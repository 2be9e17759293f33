// db::SQLite3Statement: owns one prepared SQLite statement, finalised when destroyed. The
// connection that prepared it is not owned and must outlive it. One thread at a time.
// Every SQLite failure ends the process with the database error report of the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "db/sqlstatement.h"

struct sqlite3_stmt;

namespace db {

class SQLite3Connection;

class SQLite3Statement : public SQLStatement {
public:
    // Prepares `SQL` on `connection`.
    SQLite3Statement(SQLite3Connection* connection, const std::string& SQL);
    SQLite3Statement(const SQLite3Statement&) = delete;
    SQLite3Statement& operator=(const SQLite3Statement&) = delete;
    ~SQLite3Statement() override;

    bool step() override;
    bool empty() const override;
    bool is_null(int column_id) const override;
    ColumnType get_column_type(int column_id) const override;
    int get_number_of_columns() const override;
    std::string get_name_of_column(int column_id) const override;

    using SQLStatement::bind;
    SQLite3Statement& bind(int position, int value) override;
    SQLite3Statement& bind(int position, unsigned int value) override;
    SQLite3Statement& bind(int position, long long value) override;
    SQLite3Statement& bind(int position, unsigned long long value) override;
    SQLite3Statement& bind(int position, double value) override;
    SQLite3Statement& bind(int position, const std::string& value) override;
    SQLite3Statement& bind(int position, const char* begin, const char* end) override;
    SQLite3Statement& bind(int position, const uint8_t* begin, const uint8_t* end) override;
    SQLite3Statement& bind_NULL(int position) override;
    SQLite3Statement& reset() override;
    std::string get_sql() const override;

    int get_column_int(int column_id) const override;
    int64_t get_column_int64(int column_id) const override;
    double get_column_double(int column_id) const override;
    std::string get_column_string(int column_id) const override;
    char get_column_char(int column_id) const override;
    std::vector<uint8_t> get_column_blob(int column_id) const override;

private:
    void prepare_sql(const std::string& SQL);
    bool step_statement();
    // Ends the process unless `rc` is SQLite's OK; bind failures as a ValueBindError.
    void check(int rc) const;
    void checkBind(int rc) const;
    // The length of a bound text or blob as SQLite takes it; a reversed range is refused as a
    // misuse, a value longer than SQLite's int lengths as too big.
    int bindLength(std::ptrdiff_t length) const;
    SQLite3Statement& bindText(int position, const char* begin, std::ptrdiff_t length);
    SQLite3Statement& bindBlob(int position, const void* begin, std::ptrdiff_t length);
    // The text of a column, or null for NULL; a failed conversion ends the process.
    const char* columnText(int column_id) const;

    sqlite3_stmt* statement = nullptr;
    SQLite3Connection* connection;
    bool have_results = false;
};

}  // namespace db
