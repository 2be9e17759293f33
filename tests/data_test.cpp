// The dataset loader: options and sample count from init, the Z file and summary, and the BGEN
// path with its sample selection (all samples, sample file, inclusion order) and the check
// that the Dosage rows are as wide as the master file's sample count.

#include "data.h"

#include <gtest/gtest.h>

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

}  // namespace
