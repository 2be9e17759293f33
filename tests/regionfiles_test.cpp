// One data line of the master file: field splitting, extension and sample-count rules, and the
// column rules of every subprogram, checked as the resulting map or the exact failure report.

#include "regionfiles.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/bdosefixture.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

const std::string master = "runs/M.txt";

// A flag map with the given keys; "key=value" records the value after the flag.
FlagMap flagsOf(const std::vector<std::string>& keys) {
    FlagMap flags;
    uint32_t position = 0;
    for (const std::string& key : keys) {
        const std::size_t equals = key.find('=');
        const std::string value = equals == std::string::npos ? "" : key.substr(equals + 1);
        flags.insert(key.substr(0, equals), {position, value});
        position += 2;
    }
    return flags;
}

// Header words at their positions; a word given twice keeps its last position.
std::map<std::string, uint32_t> headerOf(const std::vector<std::string>& words) {
    std::map<std::string, uint32_t> header;
    for (uint32_t j = 0; j < words.size(); ++j) header[words[j]] = j;
    return header;
}

const std::vector<std::string> fullHeader{"z", "bgen", "bgi", "bdose", "bcor", "ld", "sample", "incl", "n_samples"};
const std::string fullLine = "r.z;c.bgen;c.bgi;d.bdose;r.bcor;r.ld;s.sample;s.incl;100";

// Modes the command line admits.
const std::vector<std::string> readOnlyBgen{"write-bcor", "read-only-bgen"};
const std::vector<std::string> textFromBgen{"write-text", "read-only-bgen"};
const std::vector<std::string> readBdose{"write-bcor", "read-bdose"};
const std::vector<std::string> writeBdose10{"write-bcor", "write-bdose"};
const std::vector<std::string> writeBdose11{"write-bcor", "write-bdose", "bdose-version=1.1"};
const std::vector<std::string> bdoseAlone{"write-bdose", "bdose-version=1.1"};
const std::vector<std::string> bcorToText{"bcor-to-text", "in-files=" + master};
const std::vector<std::string> textToBcor{"text-to-bcor", "in-files=" + master};

struct Case {
    std::vector<std::string> flags;
    std::vector<std::string> header;
    std::string line;
    std::string expected;  // "column=value;..." then "-> count", or the failure message
    bool fails;
};

// Parses `line` as line 7 of the master file in `workdir` ("" = here); prints the map and the
// returned count.
ProcessResult parseLine(const Case& c, const std::string& workdir) {
    return runInChild([&] {
        if (!workdir.empty() && chdir(workdir.c_str()) != 0) _exit(99);
        Regionfiles regionfiles;
        regionfiles.flagMap = flagsOf(c.flags);
        regionfiles.masterfileName = master;
        regionfiles.header = headerOf(c.header);
        const uint32_t count = regionfiles.parse(7, c.line);
        std::string text;
        for (const auto& [column, value] : regionfiles.files) text += column + "=" + value + ";";
        std::cout << text << "-> " << count;
    });
}

void expectCases(const std::vector<Case>& cases, const std::string& workdir = "") {
    for (const Case& c : cases) {
        const ProcessResult r = parseLine(c, workdir);
        if (c.fails) {
            EXPECT_EQ(r.status, 1) << c.line;
            EXPECT_EQ(r.out, "") << c.line;
            EXPECT_EQ(r.err, "Error : " + c.expected + "\n\n") << c.line;
        } else {
            EXPECT_EQ(r.status, 0) << c.line << r.err;
            EXPECT_EQ(r.out, c.expected) << c.line;
            EXPECT_EQ(r.err, "") << c.line;
        }
    }
}

const std::string moreEntries =
    "Master file '" + master + "' includes more entries in line 7 than there are entries in the header!";

std::string missingEntry(const std::string& column) {
    return "Master file '" + master + "' is missing an entry in line 7 column '" + column + "'!";
}

std::string notPositive(const std::string& column) {
    return "Expected a positive integer value in line 7 column '" + column + "' of the master file '" + master +
           "'!";
}

std::string tooLarge(const std::string& column) {
    return "Expected a positive integer value in line 7 column '" + column + "' of the master file '" + master +
           " smaller than or equal to 4,294,967,295!";
}

std::string unknownExtension(const std::string& extension, const std::string& field) {
    return "Extension '" + extension + "' of file '" + field +
           "' in line 7 cannot be found in the header of the master file '" + master + "'!";
}

std::string wrongColumn(const std::string& field, const std::string& extension, const std::string& column) {
    return "File '" + field + "' in line 7 with extension '" + extension + "' is in column '" + column +
           "' of the master file '" + master + "'!";
}

// The field rules hold in every mode; --text-to-bcor runs no sample-count check, so that the
// resulting maps depend on the line alone.
TEST(RegionfilesParse, FieldsAreSplitAtSemicolonsWithoutTrimming) {
    const std::vector<std::string> header{"z", "ld", "bgen", "bcor", "n_samples"};
    const std::string ok = "bcor=a.bcor;ld=a.ld;n_samples=5;z=a.z;-> 5";
    expectCases({
        // Columns that the mode does not use are removed.
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor;5", ok, false},
        // A trailing ";" adds no field; two in a row enclose an empty one.
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor;5;", ok, false},
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor;5;;", moreEntries, true},
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor;5;x.z", moreEntries, true},
        // An empty field leaves its column unset; an empty line has no field.
        {textToBcor, header, "a.z;;b.bgen;a.bcor;5", missingEntry("ld"), true},
        {textToBcor, header, "", missingEntry("z"), true},
        // A line that ends early leaves the later columns unset.
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor", missingEntry("n_samples"), true},
        // Nothing is trimmed: blanks stay part of the value.
        {textToBcor, header, " a.z;a.ld;;a.bcor;5", "bcor=a.bcor;ld=a.ld;n_samples=5;z= a.z;-> 5", false},
        // A carriage return stays part of the last field; reports show it visibly.
        {textToBcor, {"z", "ld", "n_samples", "bcor"}, "a.z;a.ld;5;a.bcor\r", unknownExtension("bcor\\r", "a.bcor\\r"),
         true},
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bcor;5\r", notPositive("n_samples"), true},
        // A word given twice keeps its last position, leaving position 0 without a column; so
        // does an empty header word, whatever the field holds.
        {textToBcor, {"z", "bcor", "z"}, "a.z;a.bcor;c.z", moreEntries, true},
        {textToBcor, {"z", "", "bcor"}, "a.z;;a.bcor", moreEntries, true},
    });
}

TEST(RegionfilesParse, ExtensionMustNameTheFieldsOwnColumn) {
    const std::vector<std::string> header{"z", "ld", "bgen", "bgi", "bcor", "n_samples", "extra"};
    const std::string rest = ";a.ld;b.bgen;b.bgi;a.bcor;5";
    const std::string map = "bcor=a.bcor;ld=a.ld;n_samples=5;z=";
    expectCases({
        {textToBcor, header, "data.set2/region1" + rest, unknownExtension("set2/region1", "data.set2/region1"), true},
        {textToBcor, header, "region1.Z" + rest, unknownExtension("Z", "region1.Z"), true},
        {textToBcor, header, "region1." + rest, unknownExtension("", "region1."), true},
        {textToBcor, header, "a.z;a.ld;b.bgen;a.bgen;a.bcor;5", wrongColumn("a.bgen", "bgen", "bgi"), true},
        {textToBcor, header, "a.bcor" + rest, wrongColumn("a.bcor", "bcor", "z"), true},
        // The last "." decides, directories included; a field without "." is its own extension.
        {textToBcor, header, "run.v2/a.z" + rest, map + "run.v2/a.z;-> 5", false},
        {textToBcor, header, "z" + rest, map + "z;-> 5", false},
        // Other header words are columns that no rule touches.
        {textToBcor, header, "a.z" + rest + ";notes.extra",
         "bcor=a.bcor;extra=notes.extra;ld=a.ld;n_samples=5;z=a.z;-> 5", false},
        {textToBcor, header, "a.z" + rest + ";notes.txt", unknownExtension("txt", "notes.txt"), true},
    });
}

TEST(RegionfilesParse, SampleCountMustBeAPositiveWholeNumber) {
    // n_samples stands before the last column, so that its field can be empty.
    const std::vector<std::string> header{"z", "ld", "n_samples", "bcor"};
    const auto line = [](const std::string& count) { return "a.z;a.ld;" + count + ";a.bcor"; };
    const std::string map = "bcor=a.bcor;ld=a.ld;n_samples=";
    std::vector<Case> cases;
    for (const std::string bad : {"0", "2.5", "-3", "", "nan", "5x", "0x", " "})
        cases.push_back({textToBcor, header, line(bad), notPositive("n_samples"), true});
    for (const std::string huge : {"4294967296", "1e10", "inf"})
        cases.push_back({textToBcor, header, line(huge), tooLarge("n_samples"), true});
    cases.push_back({textToBcor, header, line("1e3"), map + "1e3;z=a.z;-> 1000", false});
    cases.push_back({textToBcor, header, line("4294967295"), map + "4294967295;z=a.z;-> 4294967295", false});
    cases.push_back({textToBcor, header, line("0x10"), map + "0x10;z=a.z;-> 16", false});
    // The field is checked even in a mode that removes the column afterwards.
    cases.push_back({bcorToText, header, line(""), notPositive("n_samples"), true});
    cases.push_back({readOnlyBgen, header, line("-1"), notPositive("n_samples"), true});
    expectCases(cases);
}

// Writes a BDOSE 1.1 file of `n` samples and one SNP to `path`.
void writeBdoseOf(const std::string& path, uint32_t n) {
    BdoseFixture fixture;
    fixture.numSamples = n;
    fixture.snps = {fixtureSnp("rs1", 10, std::vector<double>(n, 1.0))};
    buildBdose(fixture).save(path);
}

// A directory holding c.bgen, a BGEN file of 100 samples, and d.bdose, a BDOSE file of 100
// samples, for the lines that name them.
struct BgenOf100 {
    BgenOf100() {
        DatasetOptions options;
        options.name = "c";
        options.samples = 100;
        options.snps = 2;
        makeDataset(dir.path(), options);
        writeBdoseOf(dir.file("d.bdose"), 100);
    }
    TempDir dir;
};

// n_samples equals the 100 samples of the BGEN and BDOSE files, so the sample-count checks
// remove `sample` and `incl` (the BGEN check only `incl` with version 1.1).
TEST(RegionfilesParse, ColumnRulesOfEverySubprogram) {
    const BgenOf100 bgen;
    expectCases({
        {readOnlyBgen, fullHeader, fullLine, "bcor=r.bcor;bgen=c.bgen;bgi=c.bgi;n_samples=100;z=r.z;-> 100", false},
        {textFromBgen, fullHeader, fullLine, "bgen=c.bgen;bgi=c.bgi;ld=r.ld;n_samples=100;z=r.z;-> 100", false},
        {readBdose, fullHeader, fullLine, "bcor=r.bcor;bdose=d.bdose;n_samples=100;z=r.z;-> 100", false},
        {writeBdose10, fullHeader, fullLine,
         "bcor=r.bcor;bdose=d.bdose;bgen=c.bgen;bgi=c.bgi;n_samples=100;z=r.z;-> 100", false},
        {writeBdose11, fullHeader, fullLine,
         "bcor=r.bcor;bdose=d.bdose;bgen=c.bgen;bgi=c.bgi;n_samples=100;sample=s.sample;z=r.z;-> 100", false},
        {bdoseAlone, fullHeader, fullLine,
         "bdose=d.bdose;bgen=c.bgen;bgi=c.bgi;n_samples=100;sample=s.sample;z=r.z;-> 100", false},
        // --bcor-to-text keeps its two files and an empty sample count.
        {bcorToText, fullHeader, fullLine, "bcor=r.bcor;ld=r.ld;n_samples=;-> 0", false},
        {textToBcor, fullHeader, fullLine, "bcor=r.bcor;ld=r.ld;n_samples=100;z=r.z;-> 100", false},
    }, bgen.dir.path());
}

// n_samples against the BGEN file's sample count B = 100: equal removes `sample` and `incl`,
// smaller needs both, larger ends the run.
TEST(RegionfilesCheckBgen, SampleCountDecidesTheSampleAndInclusionFiles) {
    const BgenOf100 bgen;
    // Unreadable BGEN files are reported naming the file.
    bgen.dir.write("empty.bgen", "");
    bgen.dir.write("cut.bgen", bgen.dir.read("c.bgen").substr(0, 15));
    std::filesystem::create_directory(bgen.dir.file("dir.bgen"));
    const std::vector<std::string> header{"z", "bgen", "bgi", "bdose", "bcor", "sample", "incl", "n_samples"};
    const auto line = [](const std::string& sample, const std::string& incl, const std::string& n) {
        return "r.z;c.bgen;c.bgi;d.bdose;r.bcor;" + sample + ";" + incl + ";" + n;
    };
    const std::string base = "bcor=r.bcor;bgen=c.bgen;bgi=c.bgi;";
    const auto missingBecause = [](const std::string& column, const std::string& n) {
        return "Master file '" + master + "' is missing an entry in line 7 column '" + column + "', because " + n +
               " samples are specified in the master file but BGEN file includes 100 samples!";
    };
    const std::string tooMany =
        "File 'c.bgen' contains 100 samples but 120 samples are specified in the master file '" + master + "'!";
    expectCases({
        {readOnlyBgen, header, line("s.sample", "s.incl", "100"), base + "n_samples=100;z=r.z;-> 100", false},
        {readOnlyBgen, header, line("", "", "100"), base + "n_samples=100;z=r.z;-> 100", false},
        {writeBdose11, header, line("s.sample", "s.incl", "1e2"),
         "bcor=r.bcor;bdose=d.bdose;bgen=c.bgen;bgi=c.bgi;n_samples=1e2;sample=s.sample;z=r.z;-> 100", false},
        {readOnlyBgen, header, line("s.sample", "s.incl", "80"),
         base + "incl=s.incl;n_samples=80;sample=s.sample;z=r.z;-> 80", false},
        {readOnlyBgen, header, line("", "s.incl", "80"), missingBecause("sample", "80"), true},
        {readOnlyBgen, header, line("", "", "8e1"), missingBecause("sample", "8e1"), true},
        {readOnlyBgen, header, line("s.sample", "", "80"), missingBecause("incl", "80"), true},
        {bdoseAlone, header, line("s.sample", "", "80"), missingBecause("incl", "80"), true},
        {readOnlyBgen, header, line("s.sample", "s.incl", "120"), tooMany, true},
        {readOnlyBgen, header, line("", "", "1.2e2"), tooMany, true},
        {readOnlyBgen, header, "r.z;none.bgen;c.bgi;;r.bcor;;;100", "File 'none.bgen' cannot be opened!", true},
        {readOnlyBgen, header, "r.z;dir.bgen;c.bgi;;r.bcor;;;100", "File 'dir.bgen' cannot be opened!", true},
        {readOnlyBgen, header, "r.z;empty.bgen;c.bgi;;r.bcor;;;100",
         "Could not read integer value from BGEN file 'empty.bgen'!", true},
        {bdoseAlone, header, "r.z;cut.bgen;c.bgi;d.bdose;r.bcor;s.sample;;100",
         "Could not read integer value from BGEN file 'cut.bgen'!", true},
    }, bgen.dir.path());
}

// n_samples against the BDOSE file's sample count B = 100 with --read-bdose: as against BGEN,
// with its own message (no comma before "because"); a file that is not a readable BDOSE file
// ends the run.
TEST(RegionfilesCheckBdose, SampleCountDecidesTheSampleAndInclusionFiles) {
    const BgenOf100 files;
    files.dir.write("text.bdose", "no dosages in here");
    files.dir.write("short.bdose", "bdose1.1");
    std::filesystem::create_directory(files.dir.file("dir.bdose"));
    const std::vector<std::string> header{"z", "bdose", "bcor", "sample", "incl", "n_samples"};
    const auto line = [](const std::string& sample, const std::string& incl, const std::string& n,
                         const std::string& bdose = "d.bdose") {
        return "r.z;" + bdose + ";r.bcor;" + sample + ";" + incl + ";" + n;
    };
    const std::string base = "bcor=r.bcor;bdose=d.bdose;";
    const auto missingBecause = [](const std::string& column, const std::string& n) {
        return "Master file '" + master + "' is missing an entry in line 7 column '" + column + "' because " + n +
               " samples are specified in the master file but BDOSE file includes 100 samples!";
    };
    const std::string tooMany =
        "File 'd.bdose' contains 100 samples but 120 samples are specified in the master file '" + master + "'!";
    expectCases({
        {readBdose, header, line("s.sample", "s.incl", "100"), base + "n_samples=100;z=r.z;-> 100", false},
        {readBdose, header, line("", "", "1e2"), base + "n_samples=1e2;z=r.z;-> 100", false},
        {readBdose, header, line("s.sample", "s.incl", "80"),
         base + "incl=s.incl;n_samples=80;sample=s.sample;z=r.z;-> 80", false},
        {readBdose, header, line("", "s.incl", "80"), missingBecause("sample", "80"), true},
        {readBdose, header, line("", "", "8e1"), missingBecause("sample", "8e1"), true},
        {readBdose, header, line("s.sample", "", "80"), missingBecause("incl", "80"), true},
        {readBdose, header, line("s.sample", "s.incl", "120"), tooMany, true},
        {readBdose, header, line("", "", "100", "none.bdose"), "File 'none.bdose' cannot be opened!", true},
        {readBdose, header, line("", "", "100", "dir.bdose"), "File 'dir.bdose' cannot be opened!", true},
        {readBdose, header, line("", "", "100", "text.bdose"), "File 'text.bdose' is not a file from Tesmaro!", true},
        {readBdose, header, line("", "", "100", "short.bdose"), "BDOSE file 'short.bdose' is cut short in its header!",
         true},
    }, files.dir.path());
}

TEST(RegionfilesParse, RequiredColumnsOfEverySubprogram) {
    // Each line lacks the first column (in the order of the rules) that its mode requires.
    expectCases({
        {readOnlyBgen, fullHeader, ";c.bgen;c.bgi;;r.bcor;;;;100", missingEntry("z"), true},
        // z is reported before bdose.
        {readBdose, fullHeader, ";;;;r.bcor;;;;100", missingEntry("z"), true},
        {readBdose, fullHeader, "r.z;c.bgen;c.bgi;;r.bcor;;;;100", missingEntry("bdose"), true},
        {writeBdose10, fullHeader, "r.z;;c.bgi;d.bdose;r.bcor;;;;100", missingEntry("bgen"), true},
        {readOnlyBgen, fullHeader, "r.z;c.bgen;;;r.bcor;;;;100", missingEntry("bgi"), true},
        {readOnlyBgen, fullHeader, "r.z;c.bgen;c.bgi;;;r.ld;;;100", missingEntry("bcor"), true},
        {textFromBgen, fullHeader, "r.z;c.bgen;c.bgi;;r.bcor;;;;100", missingEntry("ld"), true},
        {bdoseAlone, fullHeader, "r.z;c.bgen;c.bgi;d.bdose;;;;s.incl;100", missingEntry("sample"), true},
        {writeBdose11, fullHeader, "r.z;c.bgen;c.bgi;d.bdose;r.bcor;;;;100", missingEntry("sample"), true},
        {bcorToText, fullHeader, "r.z;c.bgen;c.bgi;d.bdose;;r.ld", missingEntry("bcor"), true},
        {textToBcor, fullHeader, "r.z;;;;r.bcor;r.ld", missingEntry("n_samples"), true},
        {textToBcor, fullHeader, ";;;;r.bcor;r.ld;;;5", missingEntry("z"), true},
    });
}

TEST(RegionfilesGet, ReturnsTheValueOrEndsTheRunForARemovedColumn) {
    const BgenOf100 bgen;
    const ProcessResult r = runInChild([&] {
        if (chdir(bgen.dir.path().c_str()) != 0) _exit(99);
        Regionfiles regionfiles;
        regionfiles.flagMap = flagsOf(readOnlyBgen);
        regionfiles.masterfileName = master;
        regionfiles.header = headerOf(fullHeader);
        regionfiles.parse(7, fullLine);
        std::cout << regionfiles.get("bcor") << "|" << regionfiles.get("z") << "|";
        regionfiles.get("ld");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "r.bcor|r.z|");
    EXPECT_EQ(r.err, "Error : Cannot find file with extension 'ld'!\n\n");
}

TEST(RegionfilesRules, HeaderColumnsRequiredPerSubprogram) {
    const std::vector<std::string> columns{"z", "bdose", "bgen", "bgi", "bcor", "sample", "ld", "n_samples", "incl"};
    const struct {
        std::vector<std::string> flags;
        std::string required;
    } cases[] = {
        {readOnlyBgen, "z bgen bgi bcor n_samples"},
        {textFromBgen, "z bgen bgi ld n_samples"},
        {readBdose, "z bdose bcor n_samples"},
        {writeBdose10, "z bdose bgen bgi bcor n_samples"},
        {writeBdose11, "z bdose bgen bgi bcor sample n_samples"},
        {bdoseAlone, "z bdose bgen bgi sample n_samples"},
        {bcorToText, "bcor ld"},
        {textToBcor, "z bcor ld n_samples"},
        {{"write-text", "write-bcor", "read-bdose"}, "z bdose bcor ld n_samples"},
        {{"write-bcor", "write-bdose", "bdose-version=1.0"}, "z bdose bgen bgi bcor n_samples"},
    };
    for (const auto& c : cases) {
        std::string required;
        for (const auto& column : columns)
            if (Regionfiles::isColumnRequired(flagsOf(c.flags), column))
                required += (required.empty() ? "" : " ") + column;
        EXPECT_EQ(required, c.required) << c.required;
    }
}

}  // namespace
