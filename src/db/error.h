// Database failures. Constructing a db::Error (or a subclass) writes the report for SQLite's
// result code and ends the process with status 1, so no such object ever reaches a handler:
// the layer writes `throw db::Error(...)` only to tell the compiler that control ends there.
// May be constructed from any thread; only the first report in the process is written.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace db {

class Error : public std::exception {
public:
    // `spec` is the database file name named in the report; `code` a primary SQLite result code;
    // `note`, when given, says more about the file (", whose ..."). Writes "Error : " +
    // description() + two line ends to standard error and exits with 1.
    Error(const std::string& spec, int32_t code, const std::string& note = "");
    Error(const Error&) = default;
    ~Error() override;

    const char* what() const noexcept override;
    // The text for the code ("" for a code without one) + " (using BGEN index file '" + spec + "'"
    // + note + ")!".
    std::string description() const;
    // The text for a primary SQLite result code, "" when there is none.
    static std::string codeText(int32_t code);

protected:
    std::string spec;
    int32_t code;
    std::string note;
};

// A failing bind.
class ValueBindError : public Error {
public:
    using Error::Error;
    const char* what() const noexcept override;
};

// Failures of transactions and of stepping; the program raises neither.
class TransactionError : public Error {
public:
    using Error::Error;
    const char* what() const noexcept override;
};

class StatementStepError : public Error {
public:
    using Error::Error;
    const char* what() const noexcept override;
};

}  // namespace db
