// The dataset loader: options and sample count from init, the Z file and summary, the BGEN
// path with its sample selection (all samples, sample file, inclusion order) and the check
// that the Dosage rows are as wide as the master file's sample count, and the BDOSE paths:
// the file written and the reader that settles the dosage source.

#include "data.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

FlagMap withMasterFile(const std::string& master) {
    FlagMap flags;
    flags.insert("write-bcor", {0, ""});
    flags.insert("in-files", {1, master});
    return flags;
}

Regionfiles filesOf(const std::map<std::string, std::string>& map) {
    Regionfiles files;
    files.files = map;
    return files;
}

TEST(DataInit, CopiesTheInputsAndTakesTheSampleCountFromTheMasterFile) {
    Flag::Values values;
    values.nThreads = 4;
    Data data;
    data.init(withMasterFile("M.txt"), values, filesOf({{"n_samples", "1000"}, {"z", "r.z"}}));
    EXPECT_EQ(data.nSamples, 1000u);
    EXPECT_EQ(data.values.nThreads, 4u);
    // The BDOSE 1.1 readers are made only for a BDOSE 1.1 dosage source, by initBdose.
    EXPECT_TRUE(data.bdoseParsers.empty());
    EXPECT_EQ(data.regionfiles.get("z"), "r.z");
    EXPECT_TRUE(data.flagMap.has("in-files"));

    // The text as written is converted: 1e3 is 1000.
    Data written;
    written.init(withMasterFile("M.txt"), values, filesOf({{"n_samples", "1e3"}}));
    EXPECT_EQ(written.nSamples, 1000u);

    // Without a master file the count stays 0, even when the map has one.
    Data none;
    none.init(FlagMap(), values, filesOf({{"n_samples", "1000"}}));
    EXPECT_EQ(none.nSamples, 0u);
}

TEST(DataSummary, ReadsTheZFileAndPrintsBothCounts) {
    TempDir dir;
    std::vector<ZRow> rows;
    for (uint32_t k = 0; k < 25; ++k) rows.push_back({"rs" + std::to_string(k), "1", 100 + k, "A", "G"});
    const std::string z = writeZFile(dir.file("r.z"), rows);
    const ProcessResult r = runInChild([&] {
        Flag::Values values;
        Data data;
        data.init(withMasterFile("M.txt"), values, filesOf({{"n_samples", "1000"}, {"z", z}}));
        data.readSumStats(&values.rsids);
        std::cout << "|";
        data.printSummaryData();
        std::cout << "|" << data.sumStatsData.snpIndex.size() << " " << data.sumStatsParser.regionfiles.get("z");
    });
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string summary = "\n- Number of samples     : 1000\n- Number of SNPs        : 25\n\n";
    ASSERT_GE(r.out.size(), summary.size());
    EXPECT_EQ(r.out.substr(r.out.find('|')), "|" + summary + "|25 " + z);
    EXPECT_EQ(r.err, "");
}

// Loads the dataset in a child and prints the included samples (index:ID) and, per SNP, the
// first dosage value.
ProcessResult loadSamples(const TempDir& dir, const std::map<std::string, std::string>& map) {
    return runInChild([&] {
        Flag::Values values;
        values.nThreads = 2;
        Data data;
        data.init(withMasterFile(dir.file("M.txt")), values, filesOf(map));
        data.readSumStats(&values.rsids);
        data.readBgenNoWriteDose();
        std::cout << "\n";
        for (const auto& [index, id] : data.bgenParser.includedSamples) std::cout << index << ":" << id << " ";
        std::cout << "| " << data.bgenParser.dosages.size() << " " << data.nSamples << " "
                  << data.bgenParser.missingCounts.size();
    });
}

std::string tail(const std::string& out) { return out.substr(out.rfind('\n') + 1); }

TEST(DataLoadBgen, SampleSelection) {
    TempDir dir;
    DatasetOptions all;
    all.name = "all";
    all.samples = 4;
    all.snps = 3;
    const Dataset plain = makeDataset(dir.path(), all);
    DatasetOptions withFile = all;
    withFile.name = "file";
    withFile.sampleFile = true;
    const Dataset named = makeDataset(dir.path(), withFile);
    DatasetOptions subset = all;
    subset.name = "subset";
    subset.included = {2, 0};
    const Dataset ordered = makeDataset(dir.path(), subset);

    // No sample file: all samples in file order with empty IDs.
    ProcessResult r = loadSamples(dir, plain.columns());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tail(r.out), "0: 1: 2: 3: | 12 4 3");
    // A sample file, no inclusion file: its IDs in file order.
    r = loadSamples(dir, named.columns());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tail(r.out), "0:S1 1:S2 2:S3 3:S4 | 12 4 3");
    // Both: the inclusion file's order decides the columns.
    r = loadSamples(dir, ordered.columns());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tail(r.out), "2:S3 0:S1 | 6 2 3");
    // An inclusion file without a sample file is not used.
    auto map = plain.columns();
    map["incl"] = ordered.incl;
    r = loadSamples(dir, map);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tail(r.out), "0: 1: 2: 3: | 12 4 3");
}

TEST(DataLoadBgen, IncludedSamplesMustMatchTheMasterFileCount) {
    TempDir dir;
    DatasetOptions options;
    options.samples = 5;
    options.snps = 2;
    const Dataset data = makeDataset(dir.path(), options);
    auto map = data.columns();
    map["n_samples"] = "4";
    const ProcessResult r = loadSamples(dir, map);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error : File '" + data.bgen + "' gives 5 included samples but 4 samples are specified in "
                     "the master file '" + dir.file("M.txt") + "'!\n\n");
    EXPECT_EQ(r.out.find("Parsing dosages"), std::string::npos);
}

TEST(DataLoadBgen, ASnpMissingFromTheIndexEndsTheRun) {
    TempDir dir;
    DatasetOptions options;
    options.samples = 3;
    options.snps = 3;
    const Dataset data = makeDataset(dir.path(), options);
    std::vector<ZRow> rows = data.snps;
    rows[1].allele2 = "T";
    writeZFile(data.z, rows);
    const ProcessResult r = loadSamples(dir, data.columns());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("rs2"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Parsing dosages"), std::string::npos);
}

// Runs the BDOSE paths of one dataset in a child as the engine does (write first when the flags
// hold "write-bdose"), on 3 threads; prints the dosage source, the version value, the BDOSE
// magic of the file, the mapper's SNP count and, per parser, its included samples.
ProcessResult loadBdose(const std::vector<std::string>& keys, int32_t version,
                        const std::map<std::string, std::string>& map) {
    return runInChild([&] {
        FlagMap flags;
        uint32_t position = 0;
        for (const std::string& key : keys) flags.insert(key, {position++, ""});
        flags.insert("in-files", {position, "M.txt"});
        Flag::Values values;
        values.nThreads = 3;
        values.bdoseVersion = version;
        Data data;
        data.init(flags, values, filesOf(map));
        data.readSumStats(&values.rsids);
        if (flags.has("write-bdose")) data.readBgenWriteDose();
        int32_t source = -5;
        const int32_t returned = data.initBdose(&source);
        std::cout << "\n" << source << " " << returned << " " << data.values.bdoseVersion << " "
                  << data.bdoseMapper.header().numSNPs;
        for (const BdoseParser& parser : data.bdoseParsers) {
            std::cout << " |";
            for (const auto& [index, id] : parser.includedSamples) std::cout << " " << index << ":" << id;
        }
    });
}

TEST(DataBdose, WrittenAndReadFilesSettleTheDosageSource) {
    TempDir dir;
    DatasetOptions options;
    options.samples = 4;
    options.snps = 3;
    options.included = {2, 0, 3};
    const Dataset data = makeDataset(dir.path(), options);
    auto subset = data.columns();  // sample and inclusion files, n_samples 3
    subset["bdose"] = dir.file("subset.bdose");
    auto all = subset;  // every sample, in file order
    all.erase("incl");
    all["n_samples"] = "4";
    all["bdose"] = dir.file("all.bdose");
    auto v10 = subset;
    v10["bdose"] = dir.file("v10.bdose");
    const std::vector<std::string> write{"write-bcor", "write-bdose"};
    const std::vector<std::string> read{"write-bcor", "read-bdose"};

    const struct {
        std::string name;
        std::vector<std::string> keys;
        int32_t version;
        std::map<std::string, std::string> map;
        std::string out;
    } cases[] = {
        // Written 1.0 for the 3 included samples, then mapped; no 1.1 parser is made.
        {"write 1.0", write, 0, v10, "0 0 0 3"},
        // Written 1.1 holds the included samples only: the parsers open it without the inclusion file.
        {"write 1.1", write, 1, subset, "1 1 1 0 | 0:S3 1:S1 2:S4 | 0:S3 1:S1 2:S4 | 0:S3 1:S1 2:S4"},
        {"write 1.1, all", write, 1, all, "1 1 1 0 | 0:S1 1:S2 2:S3 3:S4 | 0:S1 1:S2 2:S3 3:S4 | 0:S1 1:S2 2:S3 3:S4"},
        // Read: the file's version decides. A 1.1 file of all samples read through the inclusion file.
        {"read 1.1", read, -1, [&] { auto m = subset; m["bdose"] = all.at("bdose"); return m; }(),
         "1 1 1 0 | 2:S3 0:S1 3:S4 | 2:S3 0:S1 3:S4 | 2:S3 0:S1 3:S4"},
        {"read 1.0", read, -1, v10, "0 0 0 3"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = loadBdose(c.keys, c.version, c.map);
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(tail(r.out), c.out) << c.name;
        EXPECT_EQ(dir.read(c.map.at("bdose")).substr(0, 8), c.out[0] == '1' ? "bdose1.1" : "bdose1.0") << c.name;
    }
}

}  // namespace

namespace {

// A thread count far beyond the work makes only as many threads and per-thread readers as can
// run: every mode gives, byte for byte, what 8 threads give. 500 SNPs are far more work items
// (124,750 pairs to encode) than threads a process can start.
TEST(DataThreads, AThreadCountBeyondTheWorkGivesTheSameFiles) {
    TempDir dir;
    DatasetOptions options;
    options.snps = 500;
    options.samples = 30;
    options.sampleFile = true;
    const Dataset data = makeDataset(dir.path(), options);
    auto columns = data.columns();
    columns["bcor"] = "out.bcor";
    columns["bdose"] = "out.bdose";
    columns["ld"] = "out.ld";
    writeMasterFile(dir.file("master.txt"), {"z", "bgen", "bgi", "sample", "bcor", "bdose", "ld", "n_samples"},
                    {columns});
    const std::string rsids = data.snps[3].rsid + "," + data.snps[250].rsid + "," + data.snps[499].rsid;
    // 1 MB for 124,750 correlations leaves tiles of 18 SNPs: 406 tiles.
    const std::string tiles = "1.01e-3";
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> outputs;  // removed before each run, then compared
    } modes[] = {
        {{"--write-bcor", "--read-only-bgen"}, {"out.bcor"}},
        {{"--write-bcor", "--read-only-bgen", "--compression", "high"}, {"out.bcor"}},
        {{"--write-text", "--read-only-bgen"}, {"out.ld"}},
        {{"--write-text", "--read-only-bgen", "--rsids", rsids}, {"out.ld"}},
        {{"--write-bcor", "--write-bdose"}, {"out.bdose", "out.bcor"}},
        {{"--write-text", "--write-bdose", "--memory", tiles}, {"out.bdose", "out.ld"}},
        {{"--write-bcor", "--write-bdose", "--bdose-version", "1.1", "--memory", tiles}, {"out.bdose", "out.bcor"}},
        {{"--write-bdose", "--bdose-version", "1.1"}, {"out.bdose"}},
        {{"--write-bcor", "--read-bdose"}, {"out.bcor"}},
        {{"--write-text", "--read-bdose", "--memory", tiles, "--rsids", rsids}, {"out.ld"}},
    };
    for (const auto& mode : modes) {
        const std::string name = mode.args[0] + " " + (mode.args.size() > 1 ? mode.args[1] : "");
        std::string files[2];
        for (int k = 0; k < 2; ++k) {
            std::vector<std::string> args = mode.args;
            args.insert(args.end(), {"--in-files", "master.txt", "--n-threads", k == 0 ? "8" : "4294967295"});
            for (const std::string& output : mode.outputs) std::filesystem::remove(dir.file(output));
            const ProcessResult r = runTesmaro(args, dir.path());
            ASSERT_EQ(r.status, 0) << name << ": " << r.err;
            EXPECT_EQ(r.err, "") << name;
            EXPECT_NE(r.out.find(k == 0 ? "- n-threads     : 8\n" : "- n-threads     : 4294967295\n"),
                      std::string::npos)
                << name;
            files[k].clear();
            for (const std::string& output : mode.outputs) files[k] += dir.read(output) + "|";
        }
        EXPECT_GT(files[0].size(), 1000u) << name;
        EXPECT_EQ(files[0], files[1]) << name;
    }
}

}  // namespace
