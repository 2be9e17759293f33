// Error reporting and the text-field helpers shared by every reader of text files.
//
// Every failure the program detects ends the process here with exit status 1. A process-wide
// flag lets exactly one caller report: the first writes its texts, flushes both streams and
// exits; any later caller (another thread) blocks forever, so messages never interleave.
// All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace failure {

// `text` with every control character that a file's content can bring into a message shown
// visibly: a carriage return as "\r", the others but line end and tab as "\xHH". On a
// terminal a raw carriage return would let the end of a line overwrite its start.
std::string visible(const std::string& text);

// Claims the process's one report: true for the first caller only, who must then write its
// report and end the process; a later caller must neither write nor exit. Lock-free and
// async-signal-safe, so that a signal handler can claim the report too.
bool claimReport();

// Writes `toStdout` to standard output and `toStderr` to standard error (either may be empty),
// both through visible(), flushes them and ends the process with status 1. Only the caller that
// claims the report writes; any other waits forever.
[[noreturn]] void report(const std::string& toStdout, const std::string& toStderr);

// Makes std::terminate (an exception nobody caught) end the run as "Error : " + what().
void installTerminateHandler();

}  // namespace failure

// The error reporter: constructing one writes the report and ends the process.
class Error {
public:
    // "Error : " + message + two line ends on standard error; an empty message writes one line end.
    explicit Error(const std::string& message);
    // prefix + "Error : " + message + two line ends on standard error.
    Error(const std::string& prefix, const std::string& message);

    // The same as the constructors, usable where the compiler must know that control ends.
    [[noreturn]] static void fail(const std::string& message);
    [[noreturn]] static void fail(const std::string& prefix, const std::string& message);

    // The value in fixed notation with exactly `decimals` decimals.
    static std::string to_string(const double& value, uint32_t decimals);
};

// A byte count in decimal units ("1.23 MB"); below 1000 bytes "%f Bytes".
std::string convertByteToHumanReadableCount(double bytes);

// Items joined by `separator` (one character); "{}" for an empty list.
std::string setToString(const std::vector<std::string>& items, const std::string& separator);

// Splits a line at every `separator`: each separator ends a field, two in a row enclose an empty
// field, a separator at the very end starts no further field, and an empty line has no field.
std::vector<std::string> splitFields(const std::string& line, char separator);

// strtod over the whole text: true when the text is not empty and was consumed completely.
bool parseWholeDouble(const std::string& text, double* value);

// Whole-field floating-point value; "NA" is rejected as missing. Line and column are 1-based.
double stringToFloat(const std::string& field, const std::string& file, uint32_t line, uint32_t column);

// Whole-field positive integer from 1 to 4,294,967,295. Line (and column) are 1-based.
uint32_t stringToPosInt(const std::string& field, const std::string& file, uint32_t line);
uint32_t stringToPosInt(const std::string& field, const std::string& file, uint32_t line, uint32_t column);

// The next line of `stream` must begin with `words` (split at single blanks); `line` is its
// 1-based number, used in messages. The stream is left after that line.
void checkLine(std::istream& stream, const std::string& file, const std::vector<std::string>& words,
               uint32_t line);

// The first line of `stream` must have at least `minimum` fields; the stream is then rewound.
void checkMinNumOfCols(std::istream& stream, const std::string& file, uint32_t minimum);

// Opens `file` for reading into `stream` with `mode`; false when it does not open or cannot be
// read (a directory opens but fails its first read). The stream's state is cleared on success.
bool openReadable(std::ifstream& stream, const std::string& file, std::ios::openmode mode);

// Opens `file` for reading as text into `stream`. An empty name ends the run with "No filename
// is specified!", a file that does not open or cannot be read (a directory) with
// "File '<file>' cannot be opened!".
void openTextFile(std::ifstream& stream, const std::string& file);

// After a reading loop: a stream that stopped on a read error (not the end of the file) ends
// the run with "File '<file>' cannot be read!".
void checkReadToEnd(const std::istream& stream, const std::string& file);

// Runs `read`, the reading of the text file `file` through `stream`. An allocation that fails
// meanwhile (a line that never ends, say) ends the run with "Not enough memory to read file
// '<file>'!" after the prefix "\n\n". A read error ends `read` early and leaves `stream` bad for
// the caller's own check after it.
void guardTextRead(std::istream& stream, const std::string& file, const std::function<void()>& read);

// Runs `read`, which reads `file` and may size allocations from its fields. An allocation that
// fails meanwhile ends the run after the prefix "\n\n": std::bad_alloc with "Not enough memory
// to read file '<file>'!", a size beyond a container's limit (std::length_error, which only a
// damaged field can ask for) with "File '<file>' holds a length too large to be read!". A guard
// inside another names the innermost file.
void guardMemory(const std::string& file, const std::function<void()>& read);
