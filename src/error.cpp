#include "error.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>

namespace failure {

std::string visible(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            shown += "\\r";
        } else if ((byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F) {
            static const char digits[] = "0123456789ABCDEF";
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15u];
        } else {
            shown += c;
        }
    }
    return shown;
}

namespace {

// Set by the first caller of claimReport. Constant-initialised, so usable before main.
std::atomic<bool> reportTaken{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler claims the report");

}  // namespace

bool claimReport() { return !reportTaken.exchange(true); }

void report(const std::string& toStdout, const std::string& toStderr) {
    if (!claimReport()) {
        // Another thread is already reporting and will end the process.
        for (;;) pause();
    }
    // Hold both standard streams until the process ends, so that no other thread's progress
    // line can be written after the report (the C++ streams write through them).
    flockfile(stdout);
    flockfile(stderr);
    std::cout << visible(toStdout) << std::flush;
    std::cerr << visible(toStderr) << std::flush;
    std::fflush(nullptr);
    // _Exit: other threads may still be running, so no static destructors or atexit handlers.
    std::_Exit(EXIT_FAILURE);
}

void installTerminateHandler() {
    std::set_terminate([] {
        std::string what = "unknown exception";
        if (std::exception_ptr current = std::current_exception()) {
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
        }
        report("", "Error : " + what + "\n\n");
    });
}

}  // namespace failure

Error::Error(const std::string& message) { fail(message); }

Error::Error(const std::string& prefix, const std::string& message) { fail(prefix, message); }

void Error::fail(const std::string& message) {
    if (message.empty()) failure::report("", "\n");
    failure::report("", "Error : " + message + "\n\n");
}

void Error::fail(const std::string& prefix, const std::string& message) {
    failure::report("", prefix + "Error : " + message + "\n\n");
}

std::string Error::to_string(const double& value, uint32_t decimals) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(static_cast<int>(decimals)) << value;
    return out.str();
}

std::string convertByteToHumanReadableCount(double bytes) {
    static const struct {
        double unit;
        const char* name;
    } units[] = {{1e12, " TB"}, {1e9, " GB"}, {1e6, " MB"}, {1e3, " KB"}};
    for (const auto& u : units) {
        if (bytes >= u.unit) {
            std::ostringstream out;
            out << std::setprecision(3) << bytes / u.unit << u.name;
            return out.str();
        }
    }
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%f", bytes);
    return std::string(buffer) + " Bytes";
}

std::string setToString(const std::vector<std::string>& items, const std::string& separator) {
    if (items.empty()) return "{}";
    std::string result;
    for (const auto& item : items) result += item + separator;
    result.pop_back();
    return result;
}

std::vector<std::string> splitFields(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t end = line.find(separator, start);
        if (end == std::string::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

bool parseWholeDouble(const std::string& text, double* value) {
    if (text.empty()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(begin, &end);
    return end == begin + text.size();
}

double stringToFloat(const std::string& field, const std::string& file, uint32_t line, uint32_t column) {
    const std::string where = " in line " + std::to_string(line) + " column " + std::to_string(column) +
                              " of file '" + file + "'!";
    if (field == "NA") Error::fail("\n\n", "Missing floating point value" + where);
    double value = 0;
    if (!parseWholeDouble(field, &value)) Error::fail("\n\n", "Expected a floating point value" + where);
    return value;
}

namespace {

uint32_t positiveInteger(const std::string& field, const std::string& file, const std::string& where) {
    double value = 0;
    if (!parseWholeDouble(field, &value) || !(value > 0) || value != std::ceil(value))
        Error::fail("\n\n", "Expected a positive integer value in line " + where + " of file '" + file + "'!");
    if (value > 4294967295.0)
        Error::fail("\n\n", "Expected a positive integer value in line " + where + " of file '" + file +
                                " smaller than or equal to 4,294,967,295!");
    return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t stringToPosInt(const std::string& field, const std::string& file, uint32_t line) {
    return positiveInteger(field, file, std::to_string(line));
}

uint32_t stringToPosInt(const std::string& field, const std::string& file, uint32_t line, uint32_t column) {
    return positiveInteger(field, file, std::to_string(line) + " column " + std::to_string(column));
}

void checkLine(std::istream& stream, const std::string& file, const std::vector<std::string>& words,
               uint32_t line) {
    std::string text;
    std::getline(stream, text);
    const std::vector<std::string> fields = splitFields(text, ' ');
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::string column = std::to_string(k + 1);
        if (k >= fields.size())
            Error::fail("\n\n", "File '" + file + "' contains a missing value in line " + std::to_string(line) +
                                    " column " + column + "!");
        if (fields[k] != words[k])
            Error::fail("\n", "Expected '" + words[k] + "' in line " + std::to_string(line) + " column " + column +
                                  " of file '" + file + "'!");
    }
}

void checkMinNumOfCols(std::istream& stream, const std::string& file, uint32_t minimum) {
    std::string text;
    std::getline(stream, text);
    if (splitFields(text, ' ').size() < minimum)
        Error::fail("\n\n", "File '" + file + "' must contain at least " + std::to_string(minimum) + " column(s)!");
    stream.clear();
    stream.seekg(0, std::ios::beg);
}

bool openReadable(std::ifstream& stream, const std::string& file, std::ios::openmode mode) {
    stream.open(file, mode | std::ios::in);
    // A directory opens but fails its first read.
    if (stream.is_open()) stream.peek();
    if (!stream.is_open() || stream.bad()) return false;
    stream.clear();
    return true;
}

void openTextFile(std::ifstream& stream, const std::string& file) {
    if (file.empty()) Error::fail("", "No filename is specified!");
    if (!openReadable(stream, file, std::ios::in)) Error::fail("", "File '" + file + "' cannot be opened!");
}

void checkReadToEnd(const std::istream& stream, const std::string& file) {
    if (stream.bad()) Error::fail("File '" + file + "' cannot be read!");
}

void guardTextRead(std::istream& stream, const std::string& file, const std::function<void()>& read) {
    // A line read catches what its extraction throws and only sets badbit, unless the stream
    // throws on badbit: then the failed allocation itself comes through.
    const std::ios::iostate mask = stream.exceptions();
    stream.exceptions(mask | std::ios::badbit);
    guardMemory(file, [&] {
        try {
            read();
        } catch (const std::ios_base::failure&) {
            // A read error; the stream stays bad.
        }
    });
    stream.exceptions(mask);
}

void guardMemory(const std::string& file, const std::function<void()>& read) {
    try {
        read();
    } catch (const std::bad_alloc&) {
        Error::fail("\n\n", "Not enough memory to read file '" + file + "'!");
    } catch (const std::length_error&) {
        // A size beyond any container's limit comes from a damaged field, not from a lack of memory.
        Error::fail("\n\n", "File '" + file + "' holds a length too large to be read!");
    }
}
