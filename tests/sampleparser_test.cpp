#include "sampleparser.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

const std::string sampleLabel = "\r- Reading sample IDs    : ";
const std::string inclLabel = "\r- Reading inclusions    : ";
const std::string inclDone = inclLabel + "done!\n";
const std::string plus = "+      ";
const std::string minus = "-      ";

std::string describe(const SampleList& samples) {
    std::string text;
    for (const auto& [index, id] : samples) text += std::to_string(index) + ":" + id + "\n";
    return text;
}

// Every "{S}", "{I}" of `text` replaced by the sample and inclusion file paths.
std::string withPaths(std::string text, const std::string& sample, const std::string& incl) {
    for (const auto& [token, path] : {std::pair<std::string, std::string>{"{S}", sample}, {"{I}", incl}})
        for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + path.size()))
            text.replace(at, token.size(), path);
    return text;
}

// Runs `read` in a child; after a normal return the child writes a line end and the list.
ProcessResult runRead(const std::function<void(SampleList*)>& read) {
    return runInChild([&] {
        SampleList samples;
        read(&samples);
        std::cout << "\n" << describe(samples);
    });
}

struct Case {
    const char* name;
    std::string content;
    std::string out;  // without the list, which follows a line end on success
    std::string list;
    std::string err;  // empty on success
};

void expectCase(const Case& c, const ProcessResult& r, const std::string& sample, const std::string& incl) {
    if (c.err.empty()) {
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.out + "\n" + c.list) << c.name;
    } else {
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
    EXPECT_EQ(r.err, withPaths(c.err, sample, incl)) << c.name;
}

const std::string head = "ID_1 ID_2 missing sex\n0 0 0 D\n";

}  // namespace

TEST(SampleParser, SetSamplesAppendsEverySampleWithoutId) {
    const ProcessResult r = runInChild([] {
        SampleList samples = {{9, "x"}};
        SampleParser().setSamples(3, &samples);
        std::cout << describe(samples);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "9:x\n0:\n1:\n2:\n");
    EXPECT_EQ(r.err, "");
}

TEST(SampleParser, SampleFileLines) {
    // The sixth line, the fourth sample, shows the first spinner sign.
    const std::string sign = sampleLabel + minus;
    const Case cases[] = {
        {"other fields never read", head + "S1 S1 0 1\nS2 x\nS3\nS4 S4 0 2 z\n", sign, "0:S1\n1:S2\n2:S3\n3:S4\n", ""},
        {"short header", "ID_1 ID_2\n0 0\nS1\nS2\nS3\nS4\n", sign, "0:S1\n1:S2\n2:S3\n3:S4\n", ""},
        {"leading blank is an empty ID", head + "S1\n x\nS3\nS4\n", sign, "0:S1\n1:\n2:S3\n3:S4\n", ""},
        {"carriage return stays", head + "S1\r\nS2 S2\r\nS3\nS4\n", sign, "0:S1\r\n1:S2\n2:S3\n3:S4\n", ""},
        {"no final line end", head + "S1\nS2\nS3\nS4", sign, "0:S1\n1:S2\n2:S3\n3:S4\n", ""},
        {"line 2 is 0 1", "ID_1 ID_2 missing sex\n0 1 0 D\nS1\nS2\nS3\nS4\n", "", "",
         "\nError : Expected '0' in line 2 column 2 of file '{S}'!\n\n"},
        {"line 2 too short", "ID_1 ID_2\n0\nS1\nS2\nS3\nS4\n", "", "",
         "\n\nError : File '{S}' contains a missing value in line 2 column 2!\n\n"},
        {"header swapped", "ID_2 ID_1\n0 0\nS1\nS2\nS3\nS4\n", "", "",
         "\nError : Expected 'ID_1' in line 1 column 1 of file '{S}'!\n\n"},
        {"header crlf", "ID_1 ID_2\r\n0 0\r\nS1\nS2\nS3\nS4\n", "", "",
         "\nError : Expected 'ID_2' in line 1 column 2 of file '{S}'!\n\n"},
        {"header one field", "ID_1\n0 0\nS1\nS2\nS3\nS4\n", "", "",
         "\n\nError : File '{S}' must contain at least 2 column(s)!\n\n"},
        {"empty file", "", "", "", "\n\nError : File '{S}' must contain at least 2 column(s)!\n\n"},
        {"three samples for four", head + "S1\nS2\nS3\n", "", "",
         "\n\nError : File '{S}' with sample IDs contains 3 samples but file 'g.bgen' contains 4 samples!\n\n"},
        {"five samples for four", head + "S1\nS2\nS3\nS4\nS5\n", sign, "",
         "\n\nError : File '{S}' with sample IDs contains 5 samples but file 'g.bgen' contains 4 samples!\n\n"},
        {"duplicate", head + "S1\nS2\nS1 x\nS4\n", "", "",
         "\n\nError : File '{S}' with sample IDs contains a duplicate 'S1' in line 5!\n\n"},
        {"two empty IDs", head + " a\nS2\n b\nS4\n", "", "",
         "\n\nError : File '{S}' with sample IDs contains a duplicate '' in line 5!\n\n"},
        {"empty line", head + "S1\n\nS3\nS4\n", "", "",
         "\n\nError : File '{S}' contains a missing value in line 4 column 1!\n\n"},
        {"empty last line", head + "S1\nS2\nS3\nS4\n\n", sign, "",
         "\n\nError : File '{S}' contains a missing value in line 7 column 1!\n\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string sample = dir.write("s.sample", c.content);
        const ProcessResult r = runRead([&](SampleList* samples) {
            SampleParser().readSample("m.txt", sample, "g.bgen", 4, 99, samples);
        });
        expectCase(c, r, sample, "");
    }
}

TEST(SampleParser, SampleFileSpinner) {
    const struct {
        uint32_t samples;
        std::string out;
    } cases[] = {
        {3, ""},
        {4, sampleLabel + minus},
        {9, sampleLabel + minus + sampleLabel + plus},
        {14, sampleLabel + minus + sampleLabel + plus + sampleLabel + minus},
    };
    TempDir dir;
    for (const auto& c : cases) {
        std::vector<std::string> ids;
        std::string list;
        for (uint32_t i = 0; i < c.samples; ++i) {
            ids.push_back("id" + std::to_string(i));
            list += std::to_string(i) + ":id" + std::to_string(i) + "\n";
        }
        const std::string sample = writeSampleFile(dir.file("spin.sample"), ids);
        const ProcessResult r = runRead([&](SampleList* samples) {
            SampleParser().readSample("m.txt", sample, "g.bgen", c.samples, 0, samples);
        });
        EXPECT_EQ(r.status, 0) << c.samples;
        EXPECT_EQ(r.out, c.out + "\n" + list) << c.samples;
    }
}

TEST(SampleParser, InclusionFileLines) {
    const std::string one = inclLabel + plus;
    const Case cases[] = {
        {"inclusion order", "S3\nS1\n", one + inclDone, "2:S3\n0:S1\n", ""},
        {"later lines may have more fields", "S1\nS3 S9\n", one + inclDone, "0:S1\n2:S3\n", ""},
        {"no final line end", "S2\nS3", one + inclDone, "1:S2\n2:S3\n", ""},
        {"count differs", "S3\nS1\nS2\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains 3 samples but file 'm.txt' contains 2 samples!\n\n"},
        {"two fields on line 1", "S2 S3\nS1\n", "", "", "\n\nError : File '{I}' must contain 1 column(s)!\n\n"},
        {"trailing blank on line 1", "S2 \nS1\n", one + inclDone, "1:S2\n0:S1\n", ""},
        {"empty first line", "\nS1\n", "", "", "\n\nError : File '{I}' must contain 1 column(s)!\n\n"},
        {"empty file", "", "", "", "\n\nError : File '{I}' must contain 1 column(s)!\n\n"},
        {"empty line", "S1\n\n", one, "", "\n\nError : File '{I}' contains a missing value in line 2 column 1!\n\n"},
        {"duplicate", "S1\nS1\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a duplicate 'S1' in line 2!\n\n"},
        {"not a known sample", "S1\nS7\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a sample 'S7' in line 2 that is missing from file "
         "'{S}'!\n\n"},
        // The carriage return stays part of the ID; the report shows it visibly.
        {"carriage return stays", "S1\r\nS2\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a sample 'S1\\r' in line 1 that is missing from file "
         "'{S}'!\n\n"},
        {"leading blank is an empty ID", "S1\n S2\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a sample '' in line 2 that is missing from file "
         "'{S}'!\n\n"},
        {"case matters", "s1\nS2\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a sample 's1' in line 1 that is missing from file "
         "'{S}'!\n\n"},
    };
    TempDir dir;
    const std::string sample = writeSampleFile(dir.file("s.sample"), {"S1", "S2", "S3"});
    for (const Case& c : cases) {
        const std::string incl = dir.write("i.incl", c.content);
        const ProcessResult r = runRead([&](SampleList* samples) {
            SampleParser().readSample("m.txt", sample, incl, "g.bgen", 3, 2, samples);
        });
        expectCase(c, r, sample, incl);
    }
}

TEST(SampleParser, SampleFileIsCheckedBeforeTheInclusionFile) {
    TempDir dir;
    const std::string sample = writeSampleFile(dir.file("s.sample"), {"S1", "S2", "S3"});
    const ProcessResult r = runRead([&](SampleList* samples) {
        SampleParser().readSample("m.txt", sample, dir.file("missing.incl"), "g.bgen", 4, 2, samples);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\n\nError : File '" + sample +
                         "' with sample IDs contains 3 samples but file 'g.bgen' contains 4 samples!\n\n");
}

TEST(SampleParser, OpeningTheFiles) {
    TempDir dir;
    const std::string sample = writeSampleFile(dir.file("s.sample"), {"S1"});
    const std::string missing = dir.file("missing");
    const struct {
        std::string sample;
        std::string incl;
        std::string err;
    } cases[] = {
        {"", "x", "Error : No filename is specified!\n\n"},
        {missing, "x", "Error : File '" + missing + "' cannot be opened!\n\n"},
        {sample, "", "Error : No filename is specified!\n\n"},
        {sample, missing, "Error : File '" + missing + "' cannot be opened!\n\n"},
        {dir.path(), "x", "Error : File '" + dir.path() + "' cannot be opened!\n\n"},
        {sample, dir.path(), "Error : File '" + dir.path() + "' cannot be opened!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runRead([&](SampleList* samples) {
            SampleParser().readSample("m.txt", c.sample, c.incl, "g.bgen", 1, 1, samples);
        });
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(SampleParser, InclusionFileSpinner) {
    TempDir dir;
    std::vector<std::string> ids;
    std::string list;
    for (uint32_t i = 0; i < 12; ++i) {
        ids.push_back("id" + std::to_string(i));
        list += std::to_string(11 - i) + ":id" + std::to_string(11 - i) + "\n";
    }
    const std::string sample = writeSampleFile(dir.file("s.sample"), ids);
    const std::string incl = writeInclusionFile(dir.file("i.incl"), std::vector<std::string>(ids.rbegin(), ids.rend()));
    const ProcessResult r = runRead([&](SampleList* samples) {
        SampleParser().readSample("m.txt", sample, incl, "g.bgen", 12, 12, samples);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, sampleLabel + minus + sampleLabel + plus + inclLabel + plus + inclLabel + minus + inclLabel +
                         plus + inclDone + "\n" + list);
}

TEST(SampleParser, GivenList) {
    const SampleList given = {{4, "B1"}, {2, "B2"}, {7, "B3"}};
    const std::string one = inclLabel + plus;
    const Case cases[] = {
        {"indices of the given list", "B3\nB1\n", one + inclDone, "7:B3\n4:B1\n", ""},
        {"not a given sample", "B1\nS7\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains a sample 'S7' in line 2 that is missing from file "
         "'x.bdose'!\n\n"},
        {"count differs", "B1\n", one, "",
         "\n\nError : File '{I}' with sample inclusions contains 1 samples but file 'm.txt' contains 2 samples!\n\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string incl = dir.write("i.incl", c.content);
        const ProcessResult r = runRead([&](SampleList* samples) {
            SampleParser().readSample("m.txt", incl, "x.bdose", 99, 2, given, samples);
        });
        expectCase(c, r, "", incl);
    }
}

TEST(SampleParser, GivenListWithDuplicateIdEndsBeforeTheInclusionFile) {
    const SampleList given = {{0, "B1"}, {1, "B2"}, {2, "B2"}};
    const ProcessResult r = runRead([&](SampleList* samples) {
        SampleParser().readSample("m.txt", "missing.incl", "x.bdose", 3, 1, given, samples);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\n\nError : File 'x.bdose' contains a duplicate sample 'B2'!\n\n");
}

TEST(SampleParser, GivenListOnSeveralThreadsWritesWholeTexts) {
    constexpr uint32_t threads = 6;
    constexpr uint32_t count = 40;
    TempDir dir;
    SampleList given;
    std::vector<std::string> ids;
    for (uint32_t i = 0; i < count; ++i) {
        given.emplace_back(count - i, "id" + std::to_string(i));
        ids.push_back("id" + std::to_string(i));
    }
    const std::string incl = writeInclusionFile(dir.file("i.incl"), ids);
    const ProcessResult r = runInChild([&] {
        std::vector<SampleList> lists(threads);
        std::vector<std::thread> workers;
        for (uint32_t t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
                SampleParser().readSample("m.txt", incl, "x.bdose", count, count, given, &lists[t]);
            });
        for (std::thread& worker : workers) worker.join();
        std::cout << "|";
        for (const SampleList& list : lists) std::cout << (list == given ? "same" : "different") << "\n";
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::size_t end = r.out.find('|');
    ASSERT_NE(end, std::string::npos);
    std::string expected;
    for (uint32_t t = 0; t < threads; ++t) expected += "same\n";
    EXPECT_EQ(r.out.substr(end + 1), expected);
    // The progress is a sequence of whole texts: 8 signs and one "done!" line per call.
    std::size_t signs = 0;
    std::size_t dones = 0;
    for (std::size_t at = 0; at < end;) {
        if (r.out.compare(at, inclLabel.size() + plus.size(), inclLabel + plus) == 0 ||
            r.out.compare(at, inclLabel.size() + minus.size(), inclLabel + minus) == 0) {
            ++signs;
            at += inclLabel.size() + plus.size();
        } else if (r.out.compare(at, inclDone.size(), inclDone) == 0) {
            ++dones;
            at += inclDone.size();
        } else {
            FAIL() << "broken text at byte " << at;
        }
    }
    EXPECT_EQ(signs, threads * 8u);
    EXPECT_EQ(dones, threads);
}
