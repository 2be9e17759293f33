// db::SQLStatement: the interface of one prepared SQL statement. A statement belongs to the
// connection that prepared it and to one thread; destroy it before that connection.
// Positions of bound parameters are 1-based, column numbers 0-based.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace db {

// The storage class of a column's value in the current row.
enum class ColumnType { Integer, Real, Text, Blob, Null };

class SQLStatement {
public:
    using UniquePtr = std::unique_ptr<SQLStatement>;

    virtual ~SQLStatement();

    // Runs the statement one step; true when a row is ready, false when it has finished.
    virtual bool step() = 0;
    // True before the first step and once a step produced no row.
    virtual bool empty() const = 0;
    virtual bool is_null(int column_id) const = 0;
    // The storage class of the value as stored. Ask before reading the value: a getter may
    // convert it in place, after which the reported class is undefined.
    virtual ColumnType get_column_type(int column_id) const = 0;
    virtual int get_number_of_columns() const = 0;
    virtual std::string get_name_of_column(int column_id) const = 0;

    // Each bind returns the statement, so that binds can be chained. Texts and byte ranges are
    // copied by SQLite, all their bytes included (NUL bytes too): a std::string binds as TEXT,
    // both ranges [begin, end) bind as a BLOB. Unsigned values bind as the signed integer with
    // the same bits (32 or 64 of them).
    virtual SQLStatement& bind(int position, int value) = 0;
    virtual SQLStatement& bind(int position, unsigned int value) = 0;
    virtual SQLStatement& bind(int position, long long value) = 0;
    virtual SQLStatement& bind(int position, unsigned long long value) = 0;
    virtual SQLStatement& bind(int position, double value) = 0;
    virtual SQLStatement& bind(int position, const std::string& value) = 0;
    virtual SQLStatement& bind(int position, const char* begin, const char* end) = 0;
    virtual SQLStatement& bind(int position, const uint8_t* begin, const uint8_t* end) = 0;
    virtual SQLStatement& bind_NULL(int position) = 0;
    // Back to the start; bound values stay in place.
    virtual SQLStatement& reset() = 0;
    virtual std::string get_sql() const = 0;

    // Values of the current row. A NULL text or blob reads as empty; text stops at its first NUL.
    virtual int get_column_int(int column_id) const = 0;
    virtual int64_t get_column_int64(int column_id) const = 0;
    virtual double get_column_double(int column_id) const = 0;
    virtual std::string get_column_string(int column_id) const = 0;
    virtual char get_column_char(int column_id) const = 0;
    virtual std::vector<uint8_t> get_column_blob(int column_id) const = 0;

    // Binds a NUL-terminated string as text (without its terminator); a null pointer binds NULL.
    SQLStatement& bind(int position, const char* value);
    int get_column_count() const { return get_number_of_columns(); }
    // int, long long, double, std::string, char or std::vector<uint8_t>.
    template <typename T>
    T get_column(int column_id) const;
};

template <>
inline int SQLStatement::get_column<int>(int column_id) const {
    return get_column_int(column_id);
}
template <>
inline long long SQLStatement::get_column<long long>(int column_id) const {
    return get_column_int64(column_id);
}
template <>
inline double SQLStatement::get_column<double>(int column_id) const {
    return get_column_double(column_id);
}
template <>
inline std::string SQLStatement::get_column<std::string>(int column_id) const {
    return get_column_string(column_id);
}
template <>
inline char SQLStatement::get_column<char>(int column_id) const {
    return get_column_char(column_id);
}
template <>
inline std::vector<uint8_t> SQLStatement::get_column<std::vector<uint8_t>>(int column_id) const {
    return get_column_blob(column_id);
}

}  // namespace db
