// The master file: header rules, dataset selection and count, the file checks that create the
// output files (and empty none), the dataset file list and the queries by dataset position.

#include "masterfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "support/bcorfile.h"
#include "support/bdosefixture.h"
#include "support/bgiwriter.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

// A flag map with the given keys; "key=value" records the value after the flag.
FlagMap flagsOf(const std::vector<std::string>& keys) {
    FlagMap flags;
    uint32_t position = 0;
    for (const std::string& key : keys) {
        const std::size_t equals = key.find('=');
        flags.insert(key.substr(0, equals), {position, equals == std::string::npos ? "" : key.substr(equals + 1)});
        position += 2;
    }
    return flags;
}

const std::vector<std::string> readOnlyBgen{"write-bcor", "read-only-bgen"};
const std::vector<std::string> textToBcor{"text-to-bcor"};

// The selected dataset numbers and every kept map, one line each.
std::string describe(const Masterfile& masterfile) {
    std::string text = "datasets:";
    for (uint32_t number : masterfile.values.dataset) text += " " + std::to_string(number);
    text += "\n";
    for (const auto& map : masterfile.files) {
        for (const auto& [column, value] : map) text += column + "=" + value + ";";
        text += "\n";
    }
    return text;
}

// Writes the master file M.txt into `dir` and parses it there with the given flags and
// selected datasets (which add --dataset); prints describe() on success.
ProcessResult parseMaster(const TempDir& dir, const std::string& content, std::vector<std::string> flags,
                          const std::vector<uint32_t>& datasets = {}) {
    const std::string path = dir.write("M.txt", content);
    flags.push_back("in-files=" + path);
    Flag::Values values;
    if (!datasets.empty()) {
        flags.push_back("dataset");
        values.dataset.insert(datasets.begin(), datasets.end());
    }
    return runInChild([&] {
        if (chdir(dir.path().c_str()) != 0) _exit(99);
        Masterfile masterfile;
        masterfile.init(flagsOf(flags), values);
        masterfile.parse();
        std::cout << describe(masterfile);
    });
}

void expectFailure(const ProcessResult& r, const std::string& message, const std::string& what) {
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, "Error : " + message + "\n\n") << what;
}

const std::string header = "z;bcor;ld;n_samples\n";
const std::string threeLines = header + "a.z;a.bcor;a.ld;10\nb.z;b.bcor;b.ld;20\nc.z;c.bcor;c.ld;30\n";

TEST(MasterfileParse, SelectsDatasetsAndKeepsTheirMapsInFileOrder) {
    const std::string a = "bcor=a.bcor;ld=a.ld;n_samples=10;z=a.z;\n";
    const std::string b = "bcor=b.bcor;ld=b.ld;n_samples=20;z=b.z;\n";
    const std::string c = "bcor=c.bcor;ld=c.ld;n_samples=30;z=c.z;\n";
    const struct {
        std::string content;
        std::vector<uint32_t> datasets;
        std::string expected;
    } cases[] = {
        {threeLines, {}, "datasets: 1 2 3\n" + a + b + c},
        {threeLines, {3}, "datasets: 3\n" + c},
        {threeLines, {3, 1}, "datasets: 1 3\n" + a + c},
        // The last line needs no line end; an unselected line is skipped unchecked.
        {header + "a.z;a.bcor;a.ld;10\nmalformed;;;;;;\nc.z;c.bcor;c.ld;30", {1, 3}, "datasets: 1 3\n" + a + c},
        {header + "a.z;a.bcor;a.ld;10\n\n", {1}, "datasets: 1\n" + a},
    };
    TempDir dir;
    for (const auto& t : cases) {
        const ProcessResult r = parseMaster(dir, t.content, textToBcor, t.datasets);
        EXPECT_EQ(r.status, 0) << t.content << r.err;
        EXPECT_EQ(r.out, t.expected) << t.content;
        EXPECT_EQ(r.err, "") << t.content;
    }
}

TEST(MasterfileParse, FailuresOfTheFileItsHeaderAndItsDatasets) {
    TempDir dir;
    const std::string m = dir.file("M.txt");
    const std::string none = "Master file '" + m + "' contains 0 datasets!";
    const std::string requested = "Requested dataset #";
    const struct {
        std::string content;
        std::vector<std::string> flags;
        std::vector<uint32_t> datasets;
        std::string message;
    } cases[] = {
        {"", textToBcor, {}, none},
        {"", textToBcor, {1}, none},
        {header, textToBcor, {}, none},
        {"z;bcor;ld;n_samples", textToBcor, {2}, none},
        {threeLines, textToBcor, {5}, requested + "5 but there are 3 dataset(s) in the master file '" + m + "'!"},
        {threeLines, textToBcor, {1, 4}, requested + "4 but there are 3 dataset(s) in the master file '" + m + "'!"},
        // Header columns, tested in a fixed order: z, bdose, bgen, bgi, bcor, sample, ld, n_samples.
        {"bcor;ld;n_samples\n", textToBcor, {}, "Master file '" + m + "' is missing column 'z'!"},
        {"z;bcor\n", textToBcor, {}, "Master file '" + m + "' is missing column 'ld'!"},
        {"z;bgen;bcor;n_samples\n", readOnlyBgen, {}, "Master file '" + m + "' is missing column 'bgi'!"},
        {"z;bgen;bgi;bcor;n_samples\n", {"write-bdose", "bdose-version=1.1"}, {},
         "Master file '" + m + "' is missing column 'bdose'!"},
        {"z;bgen;bgi;bdose;n_samples\n", {"write-bdose", "bdose-version=1.1"}, {},
         "Master file '" + m + "' is missing column 'sample'!"},
        // A carriage return stays part of the header's last word.
        {"z;bcor;ld;n_samples\r\na.z;a.bcor;a.ld;10\r\n", textToBcor, {},
         "Master file '" + m + "' is missing column 'n_samples'!"},
        // A line's failure names its own line number in the file.
        {header + "a.z;a.bcor;a.ld;10\nb.z;b.bcor;b.ld;20;\n\n", textToBcor, {},
         "Master file '" + m + "' is missing an entry in line 4 column 'z'!"},
        {header + "a.z;a.bcor;a.ld;10\nb.z;b.bcor;b.ld;2.5\n", textToBcor, {},
         "Expected a positive integer value in line 3 column 'n_samples' of the master file '" + m + "'!"},
        {"z;z;bcor;ld;n_samples\na.z;a.z;a.bcor;a.ld;1\n", textToBcor, {},
         "Master file '" + m + "' includes more entries in line 2 than there are entries in the header!"},
        // Line failures come before the dataset count.
        {threeLines + "x.ld;a.bcor;a.ld;1\n", textToBcor, {1, 4, 9},
         "File 'x.ld' in line 5 with extension 'ld' is in column 'z' of the master file '" + m + "'!"},
    };
    for (const auto& t : cases) expectFailure(parseMaster(dir, t.content, t.flags, t.datasets), t.message, t.content);
}

TEST(MasterfileParse, MasterFileThatCannotBeOpened) {
    TempDir dir;
    const std::string missing = dir.file("none.txt");
    for (const auto& [path, message] : {std::pair<std::string, std::string>{"", "No filename is specified!"},
                                        {missing, "File '" + missing + "' cannot be opened!"}}) {
        const ProcessResult r = runInChild([&] {
            Masterfile masterfile;
            masterfile.init(flagsOf({"text-to-bcor", "in-files=" + path}), Flag::Values());
            masterfile.parse();
        });
        expectFailure(r, message, path);
    }
}

// A master-file object holding the given datasets, as parse would leave it.
Masterfile withDatasets(const std::vector<std::string>& flags,
                        const std::vector<std::map<std::string, std::string>>& maps, int32_t bdoseVersion = -1) {
    Masterfile masterfile;
    Flag::Values values;
    values.bdoseVersion = bdoseVersion;
    masterfile.init(flagsOf(flags), values);
    masterfile.filename = "runs/M.txt";
    for (uint32_t k = 0; k < maps.size(); ++k) masterfile.setFiles(k + 1, maps[k]);
    return masterfile;
}

TEST(MasterfileCheckReadWrite, OutputFilesAreCreatedButNeverEmptiedBeforeWork) {
    TempDir dir;
    makeSmallDatasets(dir.path(), {"a", "b"}, 10, 2);
    const std::string bgenBytes = dir.read("a.bgen");
    dir.write("a.bcor", "old correlations");
    dir.write("b.bdose", "old dosages");
    const std::string content = "z;bgen;bgi;bdose;bcor;n_samples;sample;incl\n"
                                "a.z;a.bgen;a.bgi;a.bdose;a.bcor;10\n"
                                "b.z;b.bgen;b.bgi;b.bdose;b.bcor;10\n";
    const ProcessResult r = parseMaster(dir, content, {"write-bcor", "write-bdose"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* name : {"b.bcor", "a.bdose"}) {
        ASSERT_TRUE(std::filesystem::exists(dir.file(name))) << name;
        EXPECT_EQ(std::filesystem::file_size(dir.file(name)), 0u) << name;
    }
    // Existing outputs are emptied only by their writers.
    EXPECT_EQ(dir.read("a.bcor"), "old correlations");
    EXPECT_EQ(dir.read("b.bdose"), "old dosages");
    // Inputs are only read.
    EXPECT_EQ(dir.read("a.bgen"), bgenBytes);
}

// The .bgi records the BGEN file's size and first min(size, 1000) bytes; both must match.
TEST(MasterfileCheckBgi, RecordedSizeAndFirstBytesMustMatchTheBgenFile) {
    TempDir dir;
    DatasetOptions small;
    small.name = "small";
    small.samples = 4;
    small.snps = 2;
    const Dataset a = makeDataset(dir.path(), small);
    DatasetOptions large = small;
    large.name = "large";
    large.samples = 300;
    const Dataset b = makeDataset(dir.path(), large);

    const std::string smallBytes = dir.read(a.bgen);
    const std::string largeBytes = dir.read(b.bgen);
    ASSERT_LT(smallBytes.size(), 1000u);
    ASSERT_GT(largeBytes.size(), 1000u);
    const auto bytesOf = [](const std::string& text, std::size_t n) {
        return std::vector<uint8_t>(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    };
    const auto index = [&](const std::string& name, int64_t size, std::vector<uint8_t> first) {
        BgiFile file;
        file.metadata = {bgiMetadata("other-name.bgen", size, std::move(first))};
        const std::string path = dir.file(name);
        writeBgi(path, file);
        return path;
    };
    const auto flipped = [&](const std::string& text, std::size_t n, std::size_t at) {
        std::vector<uint8_t> bytes = bytesOf(text, n);
        bytes[at] ^= 0x01;
        return bytes;
    };
    const auto size = [](const std::string& text) { return static_cast<int64_t>(text.size()); };
    const auto human = [](double bytes) { return convertByteToHumanReadableCount(bytes); };
    const std::string differentBytes = "Initial bytes of BGEN file '";

    const struct {
        std::string bgen;
        std::string bgi;
        std::string message;  // "" passes
    } cases[] = {
        // The generated indexes match; the recorded file name is not compared.
        {a.bgen, a.bgi, ""},
        {b.bgen, b.bgi, ""},
        {a.bgen, index("all.bgi", size(smallBytes), bytesOf(smallBytes, smallBytes.size())), ""},
        {b.bgen, index("first1000.bgi", size(largeBytes), bytesOf(largeBytes, 1000)), ""},
        {a.bgen, index("bigger.bgi", size(smallBytes) + 1, bytesOf(smallBytes, smallBytes.size())),
         "Size of BGEN file '" + a.bgen + "' (" + human(double(smallBytes.size())) +
             ") is different from the BGEN file size recorded in file '" + dir.file("bigger.bgi") + "' (" +
             human(double(smallBytes.size() + 1)) + ")!"},
        {b.bgen, index("nosize.bgi", 0, bytesOf(largeBytes, 1000)),
         "Size of BGEN file '" + b.bgen + "' (" + human(double(largeBytes.size())) +
             ") is different from the BGEN file size recorded in file '" + dir.file("nosize.bgi") + "' (" +
             human(0) + ")!"},
        {a.bgen, index("flip.bgi", size(smallBytes), flipped(smallBytes, smallBytes.size(), smallBytes.size() - 1)),
         differentBytes + a.bgen + "' are different from initial bytes of the BGEN file recorded in file '" +
             dir.file("flip.bgi") + "'!"},
        {b.bgen, index("flip999.bgi", size(largeBytes), flipped(largeBytes, 1000, 999)),
         differentBytes + b.bgen + "' are different from initial bytes of the BGEN file recorded in file '" +
             dir.file("flip999.bgi") + "'!"},
        {b.bgen, index("short.bgi", size(largeBytes), bytesOf(largeBytes, 999)),
         differentBytes + b.bgen + "' are different from initial bytes of the BGEN file recorded in file '" +
             dir.file("short.bgi") + "'!"},
        {a.bgen, index("long.bgi", size(smallBytes), bytesOf(smallBytes + "x", smallBytes.size() + 1)),
         differentBytes + a.bgen + "' are different from initial bytes of the BGEN file recorded in file '" +
             dir.file("long.bgi") + "'!"},
        {dir.file("none.bgen"), a.bgi, "File '" + dir.file("none.bgen") + "' cannot be opened!"},
    };
    for (const auto& c : cases) {
        const Masterfile masterfile = withDatasets(readOnlyBgen, {});
        const std::map<std::string, std::string> map{{"bgen", c.bgen}, {"bgi", c.bgi}};
        const ProcessResult r = runInChild([&] { masterfile.checkBgi(map); });
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << c.bgi << r.err;
            EXPECT_EQ(r.out + r.err, "") << c.bgi;
        } else {
            expectFailure(r, c.message, c.bgi);
        }
    }
}

// Through the program: the sample-count check runs as each line is read, the .bgi check after
// all lines, before the dataset's output file is created.
TEST(MasterfileCheckBgi, TheProgramChecksTheDatasetFilesBeforeCreatingOutputFiles) {
    TempDir dir;
    DatasetOptions options;
    options.samples = 6;
    options.snps = 2;
    options.compression = 0;
    options.name = "a";
    const Dataset a = makeDataset(dir.path(), options);
    options.name = "b";
    options.seed = 2;  // other bytes; uncompressed, so the same size as a.bgen
    const Dataset b = makeDataset(dir.path(), options);
    const std::vector<std::string> columns{"z", "bgen", "bgi", "bcor", "n_samples"};
    const auto line = [&](const Dataset& d, const std::string& bgi, const std::string& n) {
        auto map = d.columns();
        map["bgi"] = bgi;
        map["n_samples"] = n;
        map["bcor"] = dir.file(d.bgen == a.bgen ? "a.bcor" : "b.bcor");
        return map;
    };
    const std::string master = dir.file("M.txt");
    const struct {
        std::vector<std::map<std::string, std::string>> lines;
        std::string err;
    } cases[] = {
        {{line(a, a.bgi, "6"), line(b, b.bgi, "7")},
         "Error : File '" + b.bgen + "' contains 6 samples but 7 samples are specified in the master file '" +
             master + "'!\n\n"},
        {{line(b, a.bgi, "6"), line(a, a.bgi, "6")},
         "Error : Initial bytes of BGEN file '" + b.bgen +
             "' are different from initial bytes of the BGEN file recorded in file '" + a.bgi + "'!\n\n"},
    };
    for (const auto& c : cases) {
        writeMasterFile(master, columns, c.lines);
        const ProcessResult r = runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", master});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(dir.file("a.bcor")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("b.bcor")));
    }
}

TEST(MasterfileCheckReadWrite, AFileThatCannotBeOpenedEndsTheRunAndLeavesEarlierOutputsAsTheyWere) {
    TempDir dir;
    dir.write("present.incl", "");
    dir.write("present.sample", "");
    std::filesystem::create_directory(dir.file("folder.bcor"));
    using Map = std::map<std::string, std::string>;
    const Map first{{"z", "a.z"}, {"bcor", "a.bcor"}};
    const Map second{{"z", "b.z"}, {"bcor", "b.bcor"}, {"sample", "present.sample"}, {"incl", "present.incl"}};
    const struct {
        Map third;
        std::string message;
    } cases[] = {
        {{{"bcor", "missing/c.bcor"}}, "File 'missing/c.bcor' cannot be opened!"},
        {{{"bcor", "folder.bcor"}}, "File 'folder.bcor' cannot be opened!"},
        // incl is checked before sample, both before the output file.
        {{{"bcor", "missing/c.bcor"}, {"sample", "x.sample"}, {"incl", "x.incl"}}, "File 'x.incl' cannot be opened!"},
        {{{"bcor", "missing/c.bcor"}, {"sample", "x.sample"}, {"incl", "present.incl"}},
         "File 'x.sample' cannot be opened!"},
        {{{"bcor", "c.bcor"}, {"incl", "folder.bcor"}}, "File 'folder.bcor' cannot be opened!"},
    };
    for (const auto& c : cases) {
        dir.write("a.bcor", "old");
        dir.write("b.bcor", "old");
        Masterfile masterfile = withDatasets(readOnlyBgen, {first, second, c.third});
        expectFailure(runInChild([&] {
                          if (chdir(dir.path().c_str()) != 0) _exit(99);
                          masterfile.checkReadWrite();
                      }),
                      c.message, c.message);
        EXPECT_EQ(dir.read("a.bcor"), "old") << c.message;
        EXPECT_EQ(dir.read("b.bcor"), "old") << c.message;
    }
}

// A BDOSE file of the given version with two samples and one SNP.
BdoseImage bdoseImage(bool v11) {
    BdoseFixture fixture;
    fixture.v11 = v11;
    fixture.numSamples = 2;
    fixture.snps = {fixtureSnp("rs1", 10, {0.5, 1.5})};
    return buildBdose(fixture);
}

// The recorded size is compared with the file's size only once the whole header has been read;
// a file too short for a header ends the run with the header reader's message. The check never
// changes the file.
TEST(MasterfileCheckBdoseRead, RecordedSizeMustBeTheFileSize) {
    TempDir dir;
    const BdoseImage v10 = bdoseImage(false);
    const BdoseImage v11 = bdoseImage(true);
    const auto human = [](uint64_t bytes) { return convertByteToHumanReadableCount(static_cast<double>(bytes)); };
    const auto withSize = [](BdoseImage image, uint64_t recorded) {
        image.putU64(image.layout.bdoseSizeField, recorded);
        return image.bytes;
    };
    const auto appended = [](BdoseImage image) {
        image.bytes.push_back(0);
        return image.bytes;
    };
    const auto cut = [](BdoseImage image, uint64_t size) {
        image.truncate(size);
        return image.bytes;
    };
    const auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
    const uint64_t n10 = v10.bytes.size(), n11 = v11.bytes.size();
    const struct {
        std::vector<uint8_t> content;
        std::string message;  // "" when the check passes; 'P' stands for the path
    } cases[] = {
        {v10.bytes, ""},
        {v11.bytes, ""},
        {withSize(v11, n11 + 4096), "Recorded size of BDOSE file 'P' (" + human(n11 + 4096) +
                                        ") is different from the actual filesize (" + human(n11) + ")!"},
        {appended(v10), "Recorded size of BDOSE file 'P' (" + human(n10) +
                            ") is different from the actual filesize (" + human(n10 + 1) + ")!"},
        {withSize(v10, 0), "Recorded size of BDOSE file 'P' (" + human(0) +
                               ") is different from the actual filesize (" + human(n10) + ")!"},
        {text(""), "File 'P' is not a file from Tesmaro!"},
        {text("bdose"), "File 'P' is not a file from Tesmaro!"},
        {text("bdose1.0"), "BDOSE file 'P' is cut short in its header!"},
        {text("bdose1.2 and more"), "File 'P' is not a file from Tesmaro!"},
        {cut(v11, v11.layout.bdoseSizeField + 3), "BDOSE file 'P' is cut short in its header!"},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string path = dir.file("c" + std::to_string(k++) + ".bdose");
        dir.write(path.substr(path.rfind('/') + 1), std::string(c.content.begin(), c.content.end()));
        const std::map<std::string, std::string> map{{"z", "c.z"}, {"bcor", dir.file("c.bcor")}, {"bdose", path}};
        const Masterfile masterfile = withDatasets({"write-bcor", "read-bdose"}, {map});
        const ProcessResult r = runInChild([&] { masterfile.checkBdoseRead(map); });
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << path << r.err;
            EXPECT_EQ(r.err, "") << path;
        } else {
            EXPECT_EQ(r.status, 1) << path;
            EXPECT_EQ(r.err, "Error : " + namingPath(c.message, path) + "\n\n") << path;
        }
        EXPECT_EQ(dir.read(path.substr(path.rfind('/') + 1)), std::string(c.content.begin(), c.content.end()))
            << path;
    }
}

TEST(MasterfileCheckReadWrite, ABdoseFileToReadMustOpenAndIsNotCreated) {
    TempDir dir;
    const std::string path = dir.file("c.bdose");
    const std::map<std::string, std::string> map{{"z", "c.z"}, {"bcor", dir.file("c.bcor")}, {"bdose", path}};
    Masterfile masterfile = withDatasets({"write-bcor", "read-bdose"}, {map});
    expectFailure(runInChild([&] { masterfile.checkReadWrite(); }), "File '" + path + "' cannot be opened!", path);
    EXPECT_FALSE(std::filesystem::exists(path));
}

ProcessResult printInChild(const Masterfile& masterfile, uint32_t i) {
    return runInChild([&] { masterfile.print(i); });
}

TEST(MasterfilePrint, ListsTheDatasetsFilesInAFixedOrder) {
    const std::map<std::string, std::string> all{
        {"z", "r.z"},           {"bgen", "c.bgen"},     {"bgi", "c.bgen.bgi"}, {"bdose", "d.bdose"},
        {"sample", "s.sample"}, {"incl", "s.incl"},     {"bcor", "r.bcor"},    {"ld", "r.ld"},
        {"n_samples", "100"},   {"extra", "n.extra"}};
    const std::string head = "- SNP file              : r.z\n"
                             "- BGEN file             : c.bgen\n"
                             "- BGEN BGI file         : c.bgen.bgi\n";
    const std::string tail = "- Sample file           : s.sample\n"
                             "- Sample inclusion file : s.incl\n"
                             "- BCOR file             : r.bcor\n";
    const struct {
        std::vector<std::string> flags;
        int32_t version;
        std::string expected;
    } cases[] = {
        {readOnlyBgen, -1, head + tail + "- LD matrix             : r.ld\n"},
        {{"write-text", "read-only-bgen", "rsids=rs1"}, -1, head + tail + "- LD vector             : r.ld\n"},
        {{"write-bcor", "write-bdose"}, 0, head + "- BDOSE file            : d.bdose (v1.0)\n" + tail +
                                               "- LD matrix             : r.ld\n"},
        {{"write-bdose", "bdose-version=1.1"}, 1, head + "- BDOSE file            : d.bdose (v1.1)\n" + tail +
                                                      "- LD matrix             : r.ld\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = printInChild(withDatasets(c.flags, {all}, c.version), 0);
        EXPECT_EQ(r.status, 0) << c.expected;
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.err, "");
    }
    // Only the columns a dataset has, whichever its position.
    const Masterfile two = withDatasets(readOnlyBgen, {all, {{"bcor", "b.bcor"}, {"n_samples", "1"}}});
    const ProcessResult r = printInChild(two, 1);
    EXPECT_EQ(r.out, "- BCOR file             : b.bcor\n");
}

std::string bytesOf(const BdoseImage& image) { return std::string(image.bytes.begin(), image.bytes.end()); }

TEST(MasterfilePrint, BdoseToReadShowsTheVersionOfItsMagicNumber) {
    TempDir dir;
    const struct {
        std::string content;  // "" for a file that does not exist
        std::string digit;    // the end of the BDOSE line; "" when it stays unfinished
        std::string message;  // % stands for the path
    } cases[] = {
        {bytesOf(bdoseImage(false)), "0)\n", ""},
        {bytesOf(bdoseImage(true)), "1)\n", ""},
        {"bdose1.1", "", "BDOSE file '%' cannot be opened!"},
        {"", "", "BDOSE file '%' cannot be opened!"},
        {"bdose1.2 and more", "", "File '%' is not a file from Tesmaro!"},
        {"BDOSE1.1 and more", "", "File '%' is not a file from Tesmaro!"},
        {"bcor1.1 and more", "", "File '%' is not a file from Tesmaro!"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "f" + std::to_string(n++) + ".bdose";
        if (!c.content.empty()) dir.write(name, c.content);
        const std::string path = dir.file(name);
        const ProcessResult r =
            printInChild(withDatasets({"write-bcor", "read-bdose"}, {{{"z", "r.z"}, {"bdose", path}}}), 0);
        EXPECT_EQ(r.out, "- SNP file              : r.z\n- BDOSE file            : " + path + " (v1." + c.digit)
            << c.content;
        if (c.message.empty()) {
            EXPECT_EQ(r.status, 0) << c.content;
            EXPECT_EQ(r.err, "") << c.content;
        } else {
            std::string message = c.message;
            message.replace(message.find('%'), 1, path);
            EXPECT_EQ(r.status, 1) << c.content;
            EXPECT_EQ(r.err, "Error : " + message + "\n\n") << c.content;
        }
    }
}

TEST(MasterfileQueries, ByDatasetPosition) {
    const Masterfile masterfile = withDatasets(readOnlyBgen, {{{"bcor", "a.bcor"}}, {{"bcor", "b.bcor"}}});
    EXPECT_EQ(masterfile.getRegionFile(1, "bcor"), "b.bcor");
    EXPECT_EQ(masterfile.getRegionFile(0, "ld"), "");
    EXPECT_TRUE(masterfile.findDatasetFile(0, "bcor"));
    EXPECT_FALSE(masterfile.findDatasetFile(1, "ld"));
    const struct {
        std::function<void()> call;
        std::string message;
    } cases[] = {
        {[&] { masterfile.getRegionFile(2, "bcor"); },
         "Cannot request file with extension 'bcor' for dataset #2 because 2 dataset(s) in the master file "
         "'runs/M.txt' were parsed!"},
        {[&] { masterfile.findDatasetFile(5, "ld"); },
         "Cannot find file with extension 'ld' for dataset #5 because 2 dataset(s) in the master file "
         "'runs/M.txt' were parsed!"},
        {[&] { masterfile.print(2); },
         "Cannot find file with extension 'z' for dataset #2 because 2 dataset(s) in the master file "
         "'runs/M.txt' were parsed!"},
    };
    for (const auto& c : cases) expectFailure(runInChild(c.call), c.message, c.message);
}

TEST(MasterfileSetRegionFiles, RegistersTheOnlyDatasetAsNumberZero) {
    Masterfile masterfile;
    masterfile.init(flagsOf({"bcor-to-text", "bcor-file=in.bcor", "ld-file=out.ld"}), Flag::Values());
    masterfile.setRegionFiles({{"bcor", "in.bcor"}, {"ld", "out.ld"}});
    EXPECT_EQ(describe(masterfile), "datasets: 0\nbcor=in.bcor;ld=out.ld;\n");
    const ProcessResult r = printInChild(masterfile, 0);
    EXPECT_EQ(r.out, "- BCOR file             : in.bcor\n- LD matrix             : out.ld\n");
}

// Through the program: an existing output file that is an input of the run, two outputs that
// are one file, or a symbolic link at a part-file path of the BDOSE 1.1 writer end the run before
// any output file is created or emptied, whichever datasets the files belong to.
TEST(MasterfileCheckReadWrite, AnOutputThatIsAnInputEndsTheRunBeforeAnyFileChanges) {
    namespace fs = std::filesystem;
    const std::string bgenHeader = "z;bgen;bgi;bdose;bcor;ld;n_samples\n";
    const std::string v11Header = "z;bgen;bgi;sample;bdose;n_samples\n";
    const std::vector<std::string> readBgen{"--write-bcor", "--read-only-bgen", "--in-files", "m.txt"};
    const std::vector<std::string> writeV11{"--write-bdose", "--bdose-version", "1.1", "--in-files", "m.txt"};
    const auto none = [](const TempDir&) {};
    const auto samples = [](const TempDir& dir) {
        std::vector<std::string> ids;
        for (int k = 1; k <= 10; ++k) ids.push_back("S" + std::to_string(k));
        writeSampleFile(dir.file("a.sample"), ids);
    };
    const struct {
        std::vector<std::string> args;
        std::string master;  // written as m.txt unless the arguments name another master file
        std::function<void(const TempDir&)> links;
        std::string message;
    } cases[] = {
        {{"--write-bcor", "--read-only-bgen", "--in-files", "m.txt"},
         bgenHeader + "a.z;a.bgen;a.bgi;;x.bcor;;10\nb.z;b.bgen;b.bgi;;b.bcor;;10\n",
         [](const TempDir& dir) { fs::create_symlink("b.z", dir.file("x.bcor")); },
         "Output file 'x.bcor' is the same file as input file 'b.z'!"},
        {{"--text-to-bcor", "--in-files", "m.txt"}, "z;bcor;ld;n_samples\na.z;t.bcor;t.ld;10\n",
         [](const TempDir& dir) {
             dir.write("t.ld", "1 0.5 0.5 \n0.5 1 0.5 \n0.5 0.5 1 \n");
             fs::create_hard_link(dir.file("t.ld"), dir.file("t.bcor"));
         },
         "Output file 't.bcor' is the same file as input file 't.ld'!"},
        {{"--write-bcor", "--write-bdose", "--in-files", "m.txt"}, bgenHeader + "a.z;a.bgen;a.bgi;a.bdose;a.bcor;;10\n",
         [](const TempDir& dir) { fs::create_symlink(dir.file("a.bgen"), dir.file("a.bdose")); },
         "Output file 'a.bdose' is the same file as input file 'a.bgen'!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "m.txt", "--rsids", "./ids.ld"},
         bgenHeader + "a.z;a.bgen;a.bgi;;;ids.ld;10\n", [](const TempDir& dir) { dir.write("ids.ld", "rs1\nrs2\n"); },
         "Output file 'ids.ld' is the same file as input file './ids.ld'!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "./m.ld"}, "", [](const TempDir& dir) {
             dir.write("m.ld", "z;bgen;bgi;ld;n_samples\na.z;a.bgen;a.bgi;m.ld;10\n");
         },
         "Output file 'm.ld' is the same file as input file './m.ld'!"},
        {{"--bcor-to-text", "--in-files", "m.txt"}, "bcor;ld\na.bcor;a.ld\nb.bcor;b.ld\n",
         [](const TempDir& dir) {
             dir.write("a.bcor", "correlations");
             dir.write("a.ld", "old text");
             fs::create_symlink("a.bcor", dir.file("b.ld"));
         },
         "Output file 'b.ld' is the same file as input file 'a.bcor'!"},

        // Two outputs that are one file: the same path, another spelling of it, a symbolic link
        // (also one whose target does not exist yet) or a hard link, in two datasets or in one.
        {readBgen, bgenHeader + "a.z;a.bgen;a.bgi;;x.bcor;;10\nb.z;b.bgen;b.bgi;;x.bcor;;10\n", none,
         "Output file 'x.bcor' is the same file as output file 'x.bcor'!"},
        {readBgen, bgenHeader + "a.z;a.bgen;a.bgi;;x.bcor;;10\nb.z;b.bgen;b.bgi;;./x.bcor;;10\n",
         [](const TempDir& dir) { dir.write("x.bcor", "old"); },
         "Output file './x.bcor' is the same file as output file 'x.bcor'!"},
        {readBgen, "",
         [&](const TempDir& dir) {
             dir.write("m.txt", bgenHeader + "a.z;a.bgen;a.bgi;;x.bcor;;10\nb.z;b.bgen;b.bgi;;" + dir.file("x.bcor") +
                                    ";;10\n");
         },
         "Output file '{dir}/x.bcor' is the same file as output file 'x.bcor'!"},
        {readBgen, bgenHeader + "a.z;a.bgen;a.bgi;;x.bcor;;10\nb.z;b.bgen;b.bgi;;y.bcor;;10\n",
         [](const TempDir& dir) {
             dir.write("x.bcor", "old");
             fs::create_symlink("x.bcor", dir.file("y.bcor"));
         },
         "Output file 'y.bcor' is the same file as output file 'x.bcor'!"},
        {readBgen, bgenHeader + "a.z;a.bgen;a.bgi;;y.bcor;;10\nb.z;b.bgen;b.bgi;;x.bcor;;10\n",
         [](const TempDir& dir) {
             fs::create_directory(dir.file("sub"));
             fs::create_symlink("../x.bcor", dir.file("sub/link.bcor"));
             fs::create_symlink("sub/link.bcor", dir.file("y.bcor"));
         },
         "Output file 'x.bcor' is the same file as output file 'y.bcor'!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "m.txt"},
         bgenHeader + "a.z;a.bgen;a.bgi;;;a.ld;10\nb.z;b.bgen;b.bgi;;;h.ld;10\n",
         [](const TempDir& dir) {
             dir.write("a.ld", "old text");
             fs::create_hard_link(dir.file("a.ld"), dir.file("h.ld"));
         },
         "Output file 'h.ld' is the same file as output file 'a.ld'!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "m.txt", "--rsids", "rs1,rs2"},
         bgenHeader + "a.z;a.bgen;a.bgi;;;v.ld;10\nb.z;b.bgen;b.bgi;;;out/../v.ld;10\n",
         [](const TempDir& dir) { fs::create_directory(dir.file("out")); },
         "Output file 'out/../v.ld' is the same file as output file 'v.ld'!"},
        // A folder that does not exist resolves to nothing: the open names the real cause.
        {readBgen, bgenHeader + "a.z;a.bgen;a.bgi;;out/a.bcor;;10\nb.z;b.bgen;b.bgi;;nodir/../out/a.bcor;;10\n",
         [](const TempDir& dir) { fs::create_directory(dir.file("out")); },
         "File 'nodir/../out/a.bcor' cannot be opened!"},
        {writeV11, v11Header + "a.z;a.bgen;a.bgi;a.sample;x.bdose;10\nb.z;b.bgen;b.bgi;a.sample;./x.bdose;10\n",
         samples, "Output file './x.bdose' is the same file as output file 'x.bdose'!"},
        {{"--bcor-to-text", "--in-files", "m.txt"}, "bcor;ld\na.bcor;x.ld\nb.bcor;x.ld\n",
         [](const TempDir& dir) {
             dir.write("a.bcor", "correlations");
             dir.write("b.bcor", "correlations");
         },
         "Output file 'x.ld' is the same file as output file 'x.ld'!"},
        {{"--text-to-bcor", "--in-files", "m.txt"}, "z;bcor;ld;n_samples\na.z;x.bcor;a.ld;10\nb.z;x.bcor;b.ld;10\n",
         [](const TempDir& dir) {
             dir.write("a.ld", "1 0.5 0.5 \n0.5 1 0.5 \n0.5 0.5 1 \n");
             dir.write("b.ld", "1 0.5 0.5 \n0.5 1 0.5 \n0.5 0.5 1 \n");
         },
         "Output file 'x.bcor' is the same file as output file 'x.bcor'!"},
        // One dataset whose BCOR file is a link to its BDOSE file.
        {{"--write-bcor", "--write-bdose", "--in-files", "m.txt"}, bgenHeader + "a.z;a.bgen;a.bgi;a.bdose;a.bcor;;10\n",
         [](const TempDir& dir) {
             dir.write("a.bdose", "old dosages");
             fs::create_symlink("a.bdose", dir.file("a.bcor"));
         },
         "Output file 'a.bdose' is the same file as output file 'a.bcor'!"},

        // The part files of the BDOSE 1.1 writer (one of each kind at one thread) are outputs too,
        // and a symbolic link at their path is never followed.
        {writeV11, v11Header + "a.z;a.bgen;a.bgi;a.sample;a.bdose;10\n",
         [&](const TempDir& dir) {
             samples(dir);
             fs::create_symlink("a.z", dir.file("a.bdose.meta.tmp0"));
         },
         "Part file 'a.bdose.meta.tmp0' of BDOSE file 'a.bdose' is the same file as input file 'a.z'!"},
        {{"--write-bcor", "--write-bdose", "--bdose-version", "1.1", "--in-files", "m.txt"},
         "z;bgen;bgi;sample;bdose;bcor;n_samples\na.z;a.bgen;a.bgi;a.sample;a.bdose;a.bcor;10\n",
         [&](const TempDir& dir) {
             samples(dir);
             fs::create_symlink(dir.file("a.bgen"), dir.file("a.bdose.bdose.tmp0"));
         },
         "Part file 'a.bdose.bdose.tmp0' of BDOSE file 'a.bdose' is the same file as input file 'a.bgen'!"},
        {writeV11, v11Header + "a.z;a.bgen;a.bgi;a.sample;a.bdose;10\n",
         [&](const TempDir& dir) {
             samples(dir);
             dir.write("keep.txt", "not an input of the run");
             fs::create_symlink("keep.txt", dir.file("a.bdose.bdose.tmp0"));
         },
         "Part file 'a.bdose.bdose.tmp0' of BDOSE file 'a.bdose' is a symbolic link!"},
        {writeV11, v11Header + "a.z;a.bgen;a.bgi;a.sample;a.bdose;10\n",
         [&](const TempDir& dir) {
             samples(dir);
             fs::create_symlink("created.txt", dir.file("a.bdose.meta.tmp0"));
         },
         "Part file 'a.bdose.meta.tmp0' of BDOSE file 'a.bdose' is a symbolic link!"},
        {{"--write-bdose", "--bdose-version", "1.1", "--in-files", "a.bdose.meta.tmp0"}, "",
         [&](const TempDir& dir) {
             samples(dir);
             dir.write("a.bdose.meta.tmp0", v11Header + "a.z;a.bgen;a.bgi;a.sample;a.bdose;10\n");
         },
         "Part file 'a.bdose.meta.tmp0' of BDOSE file 'a.bdose' is the same file as input file "
         "'a.bdose.meta.tmp0'!"},
        {writeV11, v11Header + "a.z;a.bgen;a.bgi;a.sample;a.bdose;10\nb.z;b.bgen;b.bgi;a.sample;b.bdose;10\n",
         [&](const TempDir& dir) {
             samples(dir);
             dir.write("a.bdose.bdose.tmp0", "a part file left by an earlier run");
             fs::create_symlink("a.bdose.bdose.tmp0", dir.file("b.bdose"));
         },
         "Output file 'b.bdose' is the same file as part file 'a.bdose.bdose.tmp0' of BDOSE file 'a.bdose'!"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        makeSmallDatasets(dir.path(), {"a", "b"}, 10, 3);
        if (!c.master.empty()) dir.write("m.txt", c.master);
        c.links(dir);
        const std::map<std::string, std::string> before = dir.regularFiles();
        const ProcessResult r = runTesmaro(c.args, dir.path());
        std::string message = c.message;
        const std::size_t at = message.find("{dir}");
        if (at != std::string::npos) message.replace(at, 5, dir.path());
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, "Error : " + message + "\n\n");
        EXPECT_EQ(r.out.find("(1/"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("done!"), std::string::npos) << r.out;
        EXPECT_EQ(changedFiles(before, dir.regularFiles()), "") << message;
    }
}

// The binary under a time limit, so that an open that waits for a FIFO's reader fails the test
// instead of hanging it.
ProcessResult runLimited(const std::vector<std::string>& args, const std::string& workdir) {
    return runTesmaroWithEnv({}, args, workdir, 20);
}

// A process that copies the FIFO `fifo` into the file `sink` once a writer has come, until the
// writer closes it. It holds the FIFO open for reading before this returns, so that a writer's
// open finds a reader from the start.
std::unique_ptr<HelperProcess> startFifoReader(const std::string& fifo, const std::string& sink) {
    return std::make_unique<HelperProcess>([&](const HelperProcess::Ready& ready, const HelperProcess::AwaitEnd&) {
        // A non-blocking open makes the process a reader at once, without waiting for a writer.
        const int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        const int out = open(sink.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ready(in >= 0 && out >= 0 ? 'y' : 'n');
        if (in < 0 || out < 0) return 2;
        // A FIFO opened so reports a hang-up only once a writer has come and gone: until a writer
        // comes, poll waits.
        pollfd wanted{in, POLLIN, 0};
        while (poll(&wanted, 1, -1) < 0)
            if (errno != EINTR) return 2;
        const int flags = fcntl(in, F_GETFL);
        if (flags < 0 || fcntl(in, F_SETFL, flags & ~O_NONBLOCK) != 0) return 2;
        char buffer[65536];
        for (uint64_t copied = 0;;) {
            const ssize_t got = read(in, buffer, sizeof buffer);
            if (got == 0) return 0;
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 || !binio::pwriteFull(out, buffer, static_cast<std::size_t>(got), copied)) return 2;
            copied += static_cast<uint64_t>(got);
        }
    });
}

TEST(MasterfileCheckReadWrite, OutputsWrittenAtPositionsAreNeverFifosOrSockets) {
    const std::string bgenHeader = "z;bgen;bgi;sample;bdose;bcor;ld;n_samples\n";
    const std::string a = "a.z;a.bgen;a.bgi;a.sample;a.bdose;a.bcor;a.ld;10\n";
    const std::vector<std::string> readBgen{"--write-bcor", "--read-only-bgen", "--in-files", "m.txt"};
    const std::vector<std::string> writeV10{"--write-bcor", "--write-bdose", "--in-files", "m.txt"};
    const std::vector<std::string> writeV11{"--write-bdose", "--bdose-version", "1.1", "--in-files", "m.txt"};
    const auto fifo = [](const std::string& name) {
        return [name](const TempDir& dir) { ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0644), 0); };
    };
    std::vector<binio::FileDescriptor> sockets;  // bound for the test's lifetime
    const struct {
        std::vector<std::string> args;
        std::function<void(const TempDir&)> make;
        std::string path;  // the output refused
        bool reader;       // a process reads the FIFO meanwhile
    } cases[] = {
        {readBgen, fifo("a.bcor"), "a.bcor", false},
        {readBgen, fifo("a.bcor"), "a.bcor", true},
        {readBgen, [&sockets](const TempDir& dir) { sockets.push_back(bindSocket(dir.file("a.bcor"))); }, "a.bcor",
         false},
        {writeV10, fifo("a.bdose"), "a.bdose", false},
        {writeV11, fifo("a.bdose"), "a.bdose", true},
        {writeV11, fifo("a.bdose.meta.tmp0"), "a.bdose.meta.tmp0", false},
        {writeV11, fifo("a.bdose.bdose.tmp0"), "a.bdose.bdose.tmp0", true},
        // Not created by the file checks: refused by the writer, after the text is read.
        {{"--text-to-bcor", "--in-files", "m.txt"}, fifo("a.bcor"), "a.bcor", false},
        {{"--text-to-bcor", "--in-files", "m.txt"}, fifo("a.bcor"), "a.bcor", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        makeSmallDatasets(dir.path(), {"a"}, 10, 3);
        writeSampleFile(dir.file("a.sample"), {"S1", "S2", "S3", "S4", "S5", "S6", "S7", "S8", "S9", "S10"});
        dir.write("a.ld", "1 0.5 0.5 \n0.5 1 0.5 \n0.5 0.5 1 \n");
        dir.write("m.txt", bgenHeader + a);
        c.make(dir);
        const std::unique_ptr<HelperProcess> readerProcess =
            c.reader ? startFifoReader(dir.file(c.path), dir.file("read.txt")) : nullptr;
        if (readerProcess) {
            ASSERT_EQ(readerProcess->word(), 'y') << "the reader could not open the FIFO";
        }
        const pid_t reader = readerProcess ? readerProcess->pid() : -1;
        const ProcessResult r = runLimited(c.args, dir.path());
        SCOPED_TRACE(c.args[1] + " " + c.path + (c.reader ? " with a reader" : "") + "\n" + r.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error : File '" + c.path + "' cannot be opened!\n\n");
        struct stat status {};
        ASSERT_EQ(lstat(dir.file(c.path).c_str(), &status), 0);
        EXPECT_FALSE(S_ISREG(status.st_mode));
        if (reader > 0) {
            // The reader never saw a writer: it is still waiting, and ends only when one comes.
            int code = 0;
            const pid_t ended = waitpid(reader, &code, WNOHANG);
            EXPECT_EQ(ended, 0);
            if (ended == 0) {
                const int fd = open(dir.file(c.path).c_str(), O_WRONLY | O_NONBLOCK);
                ASSERT_GE(fd, 0);
                close(fd);
                ASSERT_EQ(waitpid(reader, &code, 0), reader);
            }
            EXPECT_EQ(dir.read("read.txt"), "");
        }
    }
}

TEST(MasterfileCheckReadWrite, LdTextStreamsIntoAFifoAndDevicesMayBeSharedByOutputs) {
    namespace fs = std::filesystem;
    TempDir dir;
    makeSmallDatasets(dir.path(), {"a", "b"}, 10, 3);
    writeSampleFile(dir.file("a.sample"), {"S1", "S2", "S3", "S4", "S5", "S6", "S7", "S8", "S9", "S10"});
    const std::string columns = "z;bgen;bgi;sample;bdose;bcor;ld;n_samples\n";
    dir.write("m.txt", columns + "a.z;a.bgen;a.bgi;a.sample;a.bdose;a.bcor;a.ld;10\n");
    // The text of a regular file, then the same through a FIFO with a reader.
    const std::vector<std::string> text{"--write-text", "--read-only-bgen", "--in-files", "m.txt"};
    ASSERT_EQ(runLimited(text, dir.path()).status, 0);
    const std::string expected = dir.read("a.ld");
    fs::remove(dir.file("a.ld"));
    ASSERT_EQ(mkfifo(dir.file("a.ld").c_str(), 0644), 0);
    const std::unique_ptr<HelperProcess> readerProcess = startFifoReader(dir.file("a.ld"), dir.file("read.txt"));
    ASSERT_EQ(readerProcess->word(), 'y') << "the reader could not open the FIFO";
    const pid_t reader = readerProcess->pid();
    const ProcessResult streamed = runLimited(text, dir.path());
    int code = 0;
    ASSERT_EQ(waitpid(reader, &code, 0), reader);
    EXPECT_EQ(streamed.status, 0) << streamed.err;
    EXPECT_EQ(dir.read("read.txt"), expected);

    // Every output of two datasets is /dev/null, through links of the right extension.
    fs::create_directory(dir.file("null"));
    for (const char* name : {"a.bcor", "a.ld", "a.bdose", "b.bcor", "b.ld", "b.bdose"})
        fs::create_symlink("/dev/null", dir.file(std::string("null/") + name));
    dir.write("null.txt", columns + "a.z;a.bgen;a.bgi;a.sample;null/a.bdose;null/a.bcor;null/a.ld;10\n" +
                              "b.z;b.bgen;b.bgi;a.sample;null/b.bdose;null/b.bcor;null/b.ld;10\n");
    const std::vector<std::vector<std::string>> modes = {
        {"--write-bcor", "--read-only-bgen"},
        {"--write-text", "--read-only-bgen"},
        {"--write-text", "--read-only-bgen", "--rsids", "rs1"},
        {"--write-bdose", "--bdose-version", "1.1"},
    };
    for (std::vector<std::string> args : modes) {
        args.insert(args.end(), {"--in-files", "null.txt", "--n-threads", "3"});
        const ProcessResult r = runLimited(args, dir.path());
        EXPECT_EQ(r.status, 0) << args[0] << " " << args[1] << "\n" << r.err;
        EXPECT_EQ(r.err, "") << args[0] << " " << args[1];
        EXPECT_NE(r.out.find("(2/2)"), std::string::npos) << args[0] << " " << args[1];
    }
}

TEST(MasterfileCheckReadWrite, ARunThatFailsPartWayLeavesTheOutputsItNeverReachedAsTheyWere) {
    // Three datasets a, b, c; b fails. Every output already holds old bytes, more of them than a
    // result has.
    const std::vector<std::vector<std::string>> modes = {
        {"--write-bcor", "--read-only-bgen"},
        {"--write-bcor", "--write-bdose"},
        {"--write-bdose", "--bdose-version", "1.1"},
    };
    const auto flipLastByte = [](const TempDir& dir) {
        std::string bytes = dir.read("b.bgen");
        bytes.back() = static_cast<char>(bytes.back() ^ 0x5A);
        dir.write("b.bgen", bytes);
    };
    const struct {
        std::string name;
        std::function<void(const TempDir&)> spoil;
        std::string bFolder;  // where b's outputs go
        bool atChecks;        // the run fails before any dataset
        std::string report;   // a part of the failure's report
    } failures[] = {
        {"a SNP of b.z that b.bgen lacks",
         [](const TempDir& dir) { dir.write("b.z", dir.read("b.z") + "rs999 1 999999 A G\n"); }, "", false,
         "SNP with rsID 'rs999' in file 'b.z' could not be matched"},
        {"b.z with one SNP",
         [](const TempDir& dir) {
             const std::string z = dir.read("b.z");
             dir.write("b.z", z.substr(0, z.find('\n', z.find('\n') + 1) + 1));
         },
         "", false, "Error : File 'b.z' contains only 1 SNP!"},
        {"a damaged variant in b.bgen", flipLastByte, "", false,
         "Error : Could not parse probability data in BGEN file 'b.bgen'!"},
        {"an output folder of b that does not exist", [](const TempDir&) {}, "nodir/", true,
         "Error : File 'nodir/b.b"},
    };
    const std::string old(400000, 'o');
    for (const std::vector<std::string>& mode : modes) {
        const bool v11 = mode.back() == "1.1";
        std::vector<std::string> outputs;  // of dataset "x."
        if (mode[0] == "--write-bcor") outputs.push_back("bcor");
        if (mode.size() > 2 || mode[1] == "--write-bdose") outputs.push_back("bdose");
        if (v11)
            for (const char* part : {"bdose.meta.tmp0", "bdose.meta.tmp1", "bdose.bdose.tmp0", "bdose.bdose.tmp1"})
                outputs.push_back(part);
        const auto make = [&](const TempDir& dir, const std::string& bFolder) {
            for (uint64_t k = 0; k < 3; ++k) {
                DatasetOptions options;
                options.name = std::string(1, static_cast<char>('a' + k));
                options.seed = k + 1;
                options.sampleFile = true;
                makeDataset(dir.path(), options);
            }
            std::string master = "z;bgen;bgi;sample;bdose;bcor;n_samples\n";
            for (const std::string x : {"a", "b", "c"}) {
                const std::string out = x == "b" ? bFolder + x : x;
                master += x + ".z;" + x + ".bgen;" + x + ".bgi;" + x + ".sample;" + out + ".bdose;" + out + ".bcor;50\n";
            }
            dir.write("m.txt", master);
        };
        std::vector<std::string> args = mode;
        args.insert(args.end(), {"--in-files", "m.txt", "--n-threads", "2"});
        // The files a fresh run writes.
        TempDir fresh;
        make(fresh, "");
        ASSERT_EQ(runTesmaro(args, fresh.path()).status, 0);
        const std::map<std::string, std::string> expected = fresh.regularFiles();

        for (const auto& failure : failures) {
            SCOPED_TRACE(mode[0] + " " + mode[1] + " | " + failure.name);
            TempDir dir;
            make(dir, failure.bFolder);
            for (const std::string x : {"a.", "b.", "c."})
                for (const std::string& output : outputs) dir.write(x + output, old);
            failure.spoil(dir);
            const std::map<std::string, std::string> before = dir.regularFiles();
            const ProcessResult r = runTesmaro(args, dir.path());
            EXPECT_EQ(r.status, 1);
            EXPECT_NE((r.out + r.err).find(failure.report), std::string::npos) << r.out << r.err;
            EXPECT_EQ(r.out.find("(2/3)") == std::string::npos, failure.atChecks) << r.out;
            EXPECT_EQ(r.out.find("(3/3)"), std::string::npos);
            const std::map<std::string, std::string> after = dir.regularFiles();
            for (const std::string& output : outputs) {
                EXPECT_EQ(after.at("c." + output), old) << "c." << output;
                EXPECT_EQ(after.at("a." + output), failure.atChecks ? old : expected.at("a." + output))
                    << "a." << output;
            }
            for (const auto& [name, content] : before) {
                if (name.rfind("c.", 0) == 0) {
                    EXPECT_EQ(after.at(name), content) << name;
                }
            }

            // Mended, the run writes over the longer old files exactly what a fresh run writes.
            make(dir, "");
            ASSERT_EQ(runTesmaro(args, dir.path()).status, 0);
            for (const std::string x : {"a.", "b.", "c."})
                for (const std::string& output : outputs)
                    EXPECT_EQ(dir.read(x + output), expected.at(x + output)) << x << output;
        }
    }
}

TEST(MasterfileCheckReadWrite, DistinctOutputsRunAlsoWhenDatasetsShareAnInput) {
    TempDir dir;
    // The second dataset reads the files of the first, its Z file through a symbolic link.
    makeSmallDatasets(dir.path(), {"a"}, 10, 3);
    std::filesystem::create_symlink("a.z", dir.file("shared.z"));
    dir.write("a.bcor", "old correlations");
    dir.write("m.txt", "z;bgen;bgi;bcor;n_samples\na.z;a.bgen;a.bgi;a.bcor;10\nshared.z;a.bgen;a.bgi;b.bcor;10\n");
    const ProcessResult r = runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", "m.txt"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Computing correlations (2/2)"), std::string::npos) << r.out;
    const std::string first = dir.read("a.bcor");
    EXPECT_EQ(parseBcor(first).nSNPs, 3u);
    EXPECT_EQ(dir.read("b.bcor"), first);
}

}  // namespace
