#include "error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.h"

namespace {

TEST(ErrorReport, MessageAndPrefixFormsWriteExactBytesAndExitOne) {
    struct Case {
        std::function<void()> call;
        std::string err;
    } cases[] = {
        {[] { Error("bad thing!"); }, "Error : bad thing!\n\n"},
        {[] { Error(""); }, "\n"},
        {[] { Error("\n\n", ""); }, "\n\nError : \n\n"},
        {[] { Error("\n", "x"); }, "\nError : x\n\n"},
        {[] { Error::fail("", "y"); }, "Error : y\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild(c.call);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

// A file's content in a report never moves the terminal's cursor: carriage returns and other
// control characters are shown as escapes on both streams; line ends, tabs, blanks and bytes
// above 0x7F (UTF-8) stay as they are.
TEST(ErrorReport, ControlCharactersFromFilesAreShownVisibly) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"sample 's21\r' in line 3", "sample 's21\\r' in line 3"},
        {"\r\rboth", "\\r\\rboth"},
        {std::string("nul \0, esc \x1B[2J, bell \a, del \x7F", 30), "nul \\x00, esc \\x1B[2J, bell \\x07, del \\x7F"},
        {"line\nend\tand tab, blank", "line\nend\tand tab, blank"},
        {"caf\xC3\xA9 \\r", "caf\xC3\xA9 \\r"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failure::visible(c.text), c.shown) << c.shown;
        const ProcessResult r = runInChild([&] { failure::report("out " + c.text, "err " + c.text); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "out " + c.shown);
        EXPECT_EQ(r.err, "err " + c.shown);
    }
    const ProcessResult r = runInChild([] { Error::fail("\n\n", "File 'in\r.incl' is bad!"); });
    EXPECT_EQ(r.err, "\n\nError : File 'in\\r.incl' is bad!\n\n");
}

TEST(ErrorReport, BufferedStandardOutputIsFlushedBeforeExit) {
    const ProcessResult r = runInChild([] {
        std::cout << "progress";
        Error("stop");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "progress");
    EXPECT_EQ(r.err, "Error : stop\n\n");
}

TEST(ErrorReport, ConcurrentFailuresProduceOneReport) {
    const ProcessResult r = runInChild([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([t] { Error("thread " + std::to_string(t) + " failed!"); });
        for (auto& thread : threads) thread.join();
    });
    EXPECT_EQ(r.status, 1);
    // Exactly one whole message.
    ASSERT_EQ(r.err.rfind("Error : thread ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Error", 1), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 10), " failed!\n\n");
}

TEST(ErrorReport, UncaughtExceptionEndsThroughTerminateHandler) {
    const ProcessResult r = runInChild([] {
        failure::installTerminateHandler();
        std::thread([] { throw std::runtime_error("boom"); }).join();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error : boom\n\n");
}

TEST(ErrorToString, FixedDecimals) {
    struct {
        double value;
        uint32_t decimals;
        const char* text;
    } cases[] = {{0.12345, 4, "0.1235"}, {-1.5, 4, "-1.5000"}, {2, 0, "2"}};
    for (const auto& c : cases) EXPECT_EQ(Error::to_string(c.value, c.decimals), c.text);
}

TEST(ByteCount, DecimalUnits) {
    struct {
        double bytes;
        const char* text;
    } cases[] = {
        {1234567, "1.23 MB"},     {1000000, "1 MB"},          {12345678, "12.3 MB"},
        {999999, "1e+03 KB"},     {2.5e15, "2.5e+03 TB"},     {512, "512.000000 Bytes"},
        {1000, "1 KB"},           {999, "999.000000 Bytes"},  {0, "0.000000 Bytes"},
        {-8, "-8.000000 Bytes"},  {1e9, "1 GB"},              {std::nan(""), "nan Bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(convertByteToHumanReadableCount(c.bytes), c.text) << c.bytes;
}

TEST(SetToString, JoinsWithSeparator) {
    EXPECT_EQ(setToString({}, ","), "{}");
    EXPECT_EQ(setToString({"x"}, ","), "x");
    EXPECT_EQ(setToString({"a", "b", "c"}, ","), "a,b,c");
    EXPECT_EQ(setToString({"a", ""}, " "), "a ");
}

TEST(SplitFields, SingleSeparatorRules) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitFields("", ' '), V{});
    EXPECT_EQ(splitFields(" ", ' '), V{""});
    EXPECT_EQ(splitFields("a b c", ' '), (V{"a", "b", "c"}));
    EXPECT_EQ(splitFields("a b c ", ' '), (V{"a", "b", "c"}));
    EXPECT_EQ(splitFields("a  b", ' '), (V{"a", "", "b"}));
    EXPECT_EQ(splitFields("a;b;;", ';'), (V{"a", "b", ""}));
    EXPECT_EQ(splitFields("a\r", ' '), (V{"a\r"}));
}

TEST(StringToPosInt, AcceptedValues) {
    struct {
        const char* field;
        uint32_t value;
    } cases[] = {{"12", 12}, {"+12", 12}, {"12.0", 12}, {"1e3", 1000}, {"0x10", 16}, {"4294967295", 4294967295u}};
    for (const auto& c : cases) {
        EXPECT_EQ(stringToPosInt(c.field, "f.z", 3), c.value) << c.field;
        EXPECT_EQ(stringToPosInt(c.field, "f.z", 3, 2), c.value) << c.field;
    }
}

TEST(StringToPosInt, RejectedValuesWithBothForms) {
    const std::string notPositive = "\n\nError : Expected a positive integer value in line 7";
    const std::string tooLarge = " of file 'f.z smaller than or equal to 4,294,967,295!\n\n";
    for (const char* field : {"0", "-3", "2.5", "12 ", "", "nan", "x"}) {
        EXPECT_EQ(runInChild([&] { stringToPosInt(field, "f.z", 7); }).err, notPositive + " of file 'f.z'!\n\n");
        const ProcessResult r = runInChild([&] { stringToPosInt(field, "f.z", 7, 3); });
        EXPECT_EQ(r.err, notPositive + " column 3 of file 'f.z'!\n\n") << field;
        EXPECT_EQ(r.status, 1);
    }
    for (const char* field : {"4294967296", "inf", "1e300"}) {
        EXPECT_EQ(runInChild([&] { stringToPosInt(field, "f.z", 7); }).err, notPositive + tooLarge);
        EXPECT_EQ(runInChild([&] { stringToPosInt(field, "f.z", 7, 3); }).err, notPositive + " column 3" + tooLarge);
    }
}

TEST(StringToFloat, ValuesAndMessages) {
    EXPECT_EQ(stringToFloat("0.5", "m.ld", 1, 2), 0.5);
    EXPECT_EQ(stringToFloat(" -1e-3", "m.ld", 1, 2), -1e-3);
    EXPECT_TRUE(std::isnan(stringToFloat("nan", "m.ld", 1, 2)));
    EXPECT_TRUE(std::isinf(stringToFloat("inf", "m.ld", 1, 2)));
    EXPECT_EQ(runInChild([] { stringToFloat("NA", "m.ld", 4, 5); }).err,
              "\n\nError : Missing floating point value in line 4 column 5 of file 'm.ld'!\n\n");
    for (const char* field : {"na", "", "1 ", "0.5x"})
        EXPECT_EQ(runInChild([&] { stringToFloat(field, "m.ld", 4, 5); }).err,
                  "\n\nError : Expected a floating point value in line 4 column 5 of file 'm.ld'!\n\n");
}

TEST(CheckLine, WordsAndMessages) {
    const std::vector<std::string> words = {"rsid", "chromosome"};
    {
        std::istringstream in("rsid chromosome extra\nnext\n");
        checkLine(in, "a.z", words, 1);
        std::string rest;
        std::getline(in, rest);
        EXPECT_EQ(rest, "next");
    }
    struct {
        const char* content;
        std::string err;
    } cases[] = {
        {"rsid  chromosome\n", "\nError : Expected 'chromosome' in line 1 column 2 of file 'a.z'!\n\n"},
        {"rsid\n", "\n\nError : File 'a.z' contains a missing value in line 1 column 2!\n\n"},
        {"", "\n\nError : File 'a.z' contains a missing value in line 1 column 1!\n\n"},
        {"RSID chromosome\n", "\nError : Expected 'rsid' in line 1 column 1 of file 'a.z'!\n\n"},
        {"rsid chromosome\r\n", "\nError : Expected 'chromosome' in line 1 column 2 of file 'a.z'!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            std::istringstream in(c.content);
            checkLine(in, "a.z", words, 1);
        });
        EXPECT_EQ(r.err, c.err) << c.content;
        EXPECT_EQ(r.status, 1);
    }
}

TEST(CheckMinNumOfCols, CountsAndRewinds) {
    std::istringstream in("a b\nsecond\n");
    checkMinNumOfCols(in, "s.sample", 2);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "a b");
    for (const char* content : {"a b c", "a b c ", "a  b"}) {
        std::istringstream three(content);
        checkMinNumOfCols(three, "x", 3);
    }
    for (const char* content : {"", " ", "a b \nc d e\n"}) {
        const ProcessResult r = runInChild([&] {
            std::istringstream s(content);
            checkMinNumOfCols(s, "s.sample", 3);
        });
        EXPECT_EQ(r.err, "\n\nError : File 's.sample' must contain at least 3 column(s)!\n\n") << content;
    }
}

// Hands out `text`, then runs `failure` at the next read (returning the end of the input when it
// does not throw).
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer(std::string text, std::function<void()> failure)
        : text_(std::move(text)), failure_(std::move(failure)) {}

protected:
    int_type underflow() override {
        if (!served_) {
            served_ = true;
            setg(text_.data(), text_.data(), text_.data() + text_.size());
            return traits_type::to_int_type(*gptr());
        }
        failure_();
        return traits_type::eof();
    }

private:
    std::string text_;
    std::function<void()> failure_;
    bool served_ = false;
};

TEST(GuardTextRead, AFailedAllocationNamesTheFileAndAReadErrorIsLeftToTheCaller) {
    const std::string memory = "\n\nError : Not enough memory to read file 'f.txt'!\n\n";
    const struct {
        std::string what;
        std::function<void()> failure;  // at the read after the first line
        bool throwInBody;               // bad_alloc from the reading code itself, after the loop
        int status;
        std::string out;  // the lines read, then the stream's state after the guard
        std::string err;
    } cases[] = {
        // A line read only sets badbit for what its extraction throws; the guard lets it through.
        {"bad_alloc in a line read", [] { throw std::bad_alloc(); }, false, 1, "[rs1 1]", memory},
        {"bad_alloc in the reader", [] {}, true, 1, "[rs1 1][rs2 ]", memory},
        {"read error", [] { throw std::ios_base::failure("read error"); }, false, 0, "[rs1 1] bad", ""},
        {"end of the file", [] {}, false, 0, "[rs1 1][rs2 ] good", ""},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            FailingBuffer buffer("rs1 1\nrs2 ", c.failure);
            std::istream stream(&buffer);
            guardTextRead(stream, "f.txt", [&] {
                for (std::string line; std::getline(stream, line);) std::cout << "[" << line << "]";
                if (c.throwInBody) throw std::bad_alloc();
            });
            // The stream throws no more than it did before.
            std::cout << (stream.bad() ? " bad" : " good") << (stream.exceptions() == std::ios::goodbit ? "" : " mask");
        });
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

TEST(GuardMemory, AFailedAllocationOrAnImpossibleLengthNamesTheInnermostFile) {
    const struct {
        std::string what;
        std::function<void()> read;
        int status;
        std::string err;
    } cases[] = {
        {"bad_alloc", [] { throw std::bad_alloc(); }, 1, "\n\nError : Not enough memory to read file 'a.bgen'!\n\n"},
        // Only a damaged field can ask for that much: the file is named, not the memory blamed.
        {"beyond a container's limit", [] { std::vector<double>().reserve(std::vector<double>().max_size() + 1); }, 1,
         "\n\nError : File 'a.bgen' holds a length too large to be read!\n\n"},
        {"inside another guard", [] { guardMemory("a.bgi", [] { throw std::bad_alloc(); }); }, 1,
         "\n\nError : Not enough memory to read file 'a.bgi'!\n\n"},
        {"beyond a container's limit inside another guard",
         [] { guardMemory("a.bgi", [] { std::string().reserve(std::string().max_size() + 1); }); }, 1,
         "\n\nError : File 'a.bgi' holds a length too large to be read!\n\n"},
        {"no failure", [] {}, 0, ""},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] { guardMemory("a.bgen", c.read); });
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
    // Other exceptions pass through.
    EXPECT_THROW(guardMemory("a.bgen", [] { throw std::runtime_error("other"); }), std::runtime_error);
}

}  // namespace
