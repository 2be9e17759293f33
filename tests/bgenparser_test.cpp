// Decoding BGEN genotypes into standardised Dosage rows: every layout, compression and
// identifier block, several thread counts, an independent two-pass oracle on edge cases, the
// progress line, and the failures of the decoding region with their exact reports.
//
// Every decoding runs in a forked child (OpenMP never runs in the test process itself), which
// writes the rows and missing counts to a file for the parent to compare.

#include "bgenparser.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "data.h"
#include "support/bgenwriter.h"
#include "support/bgiwriter.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

struct Decoded {
    ProcessResult run;
    std::string rowBytes;  // the dosages exactly as stored
    std::vector<double> rows;
    std::vector<uint32_t> missing;
};

template <class T>
std::vector<T> fromBytes(const std::string& bytes) {
    std::vector<T> values(bytes.size() / sizeof(T));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

void writeBytes(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Loads `data` through the dataset loader with `threads` threads in a child process.
Decoded load(const TempDir& dir, const Dataset& data, uint32_t threads) {
    Decoded d;
    d.run = runInChild([&] {
        FlagMap flags;
        flags.insert("in-files", {0, dir.file("master.txt")});
        Flag::Values values;
        values.nThreads = threads;
        Regionfiles files;
        files.files = data.columns();
        Data loader;
        loader.init(flags, values, files);
        loader.readSumStats(&values.rsids);
        loader.readBgenNoWriteDose();
        const BgenParser& parser = loader.bgenParser;
        writeBytes(dir.file("rows.bin"), parser.dosages.data(), parser.dosages.size() * sizeof(double));
        writeBytes(dir.file("missing.bin"), parser.missingCounts.data(), parser.missingCounts.size() * 4);
    });
    if (d.run.status == 0) {
        d.rowBytes = dir.read("rows.bin");
        d.rows = fromBytes<double>(d.rowBytes);
        d.missing = fromBytes<uint32_t>(dir.read("missing.bin"));
    }
    return d;
}

// The rows agree with the two-pass oracle within 1e-12, NaN exactly where it has NaN.
void expectOracle(const Dataset& data, const Decoded& d) {
    std::vector<uint32_t> missing;
    const std::vector<double> expected = expectedRows(data, &missing);
    ASSERT_EQ(d.rows.size(), expected.size());
    EXPECT_EQ(d.missing, missing);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (std::isnan(expected[k]))
            EXPECT_TRUE(std::isnan(d.rows[k])) << "value " << k;
        else
            EXPECT_NEAR(d.rows[k], expected[k], 1e-12) << "value " << k;
    }
}

TEST(BgenParserDecode, EveryLayoutCompressionAndIdentifierBlockGivesTheSameRows) {
    // Hard calls decode to the same probabilities in both layouts; layout 1 stores a missing
    // sample as zeros, which also reads as missing.
    Decoded reference;
    for (const uint32_t layout : {1u, 2u})
        for (const uint32_t compression : {0u, 1u, 2u})
            for (const bool ids : {false, true}) {
                TempDir dir;
                DatasetOptions options;
                options.seed = 7;
                options.snps = 12;
                options.samples = 30;
                options.layout = layout;
                options.compression = compression;
                options.sampleIdBlock = ids;
                options.hardCalls = true;
                options.missingRate = 0.1;
                options.bits = layout == 2 ? 8 : 16;
                const Dataset data = makeDataset(dir.path(), options);
                const Decoded d = load(dir, data, 2);
                const std::string label = "layout " + std::to_string(layout) + " compression " +
                                          std::to_string(compression) + " ids " + std::to_string(ids);
                ASSERT_EQ(d.run.status, 0) << label << d.run.err;
                expectOracle(data, d);
                if (reference.rowBytes.empty()) {
                    reference = d;
                    continue;
                }
                EXPECT_EQ(d.rowBytes, reference.rowBytes) << label;
                EXPECT_EQ(d.missing, reference.missing) << label;
            }
}

TEST(BgenParserDecode, RowsAreBitIdenticalAtOneThreeAndEightThreads) {
    TempDir dir;
    DatasetOptions options;
    options.seed = 11;
    options.snps = 37;
    options.samples = 64;
    options.missingRate = 0.08;
    const Dataset data = makeDataset(dir.path(), options);
    const Decoded one = load(dir, data, 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    expectOracle(data, one);
    for (const uint32_t threads : {3u, 8u}) {
        const Decoded d = load(dir, data, threads);
        ASSERT_EQ(d.run.status, 0) << d.run.err;
        EXPECT_EQ(d.rowBytes, one.rowBytes) << threads << " threads";
        EXPECT_EQ(d.missing, one.missing) << threads << " threads";
    }
}

TEST(BgenParserDecode, AgreesWithTheTwoPassOracleOnEdgeCases) {
    struct Case {
        uint32_t layout;
        uint32_t bits;
        std::vector<uint32_t> included;  // inclusion order; empty: all samples
    };
    const std::vector<Case> cases{
        {2, 16, {}},
        {2, 3, {}},
        {1, 16, {}},
        {2, 16, {17, 3, 40, 0, 22, 9, 31, 5, 12, 38}},
        {1, 16, {8, 2, 33, 19, 1}},
        {2, 32, {4}},  // one included sample: SD 0, every non-missing value NaN
    };
    for (const Case& c : cases) {
        TempDir dir;
        DatasetOptions options;
        options.seed = 23 + c.layout + c.bits;
        options.snps = 9;
        options.samples = 41;
        options.layout = c.layout;
        options.bits = c.bits;
        options.compression = 2;
        options.missingRate = 0.15;
        options.included = c.included;
        options.kinds = {{2, SnpKind::Constant}, {4, SnpKind::OneNonMissing}, {6, SnpKind::AllMissing}};
        const Dataset data = makeDataset(dir.path(), options);
        const Decoded d = load(dir, data, 3);
        ASSERT_EQ(d.run.status, 0) << d.run.err;
        SCOPED_TRACE("layout " + std::to_string(c.layout) + " bits " + std::to_string(c.bits) + " included " +
                     std::to_string(c.included.size()));
        expectOracle(data, d);
        const uint64_t S = data.nIncluded();
        // The constant SNP: NaN wherever a value is present, 0.0 where missing.
        for (uint64_t j = 0; j < S; ++j) {
            const double v = d.rows[2 * S + j];
            EXPECT_TRUE(std::isnan(expectedDosage(data, 2, static_cast<uint32_t>(j))) ? v == 0.0 : std::isnan(v));
        }
        // All missing: a row of zeros and a missing count of S.
        EXPECT_EQ(d.missing[6], S);
        for (uint64_t j = 0; j < S; ++j) EXPECT_EQ(d.rows[6 * S + j], 0.0);
        EXPECT_EQ(d.missing[4], S - 1);
    }
}

// Runs `body` in a child on a parser opened on `bgen`; `places` are the places of `variants`,
// which are also the SNPs of the Z file.
ProcessResult parseDirectly(const std::string& bgen, const std::vector<BgenVariant>& variants,
                            const std::vector<BgenVariantPlace>& places, uint32_t samples, uint32_t threads,
                            const std::function<void(BgenParser&)>& beforeParse = {}) {
    return runInChild([&] {
        BgenParser parser;
        parser.bgenFile = bgen;
        parser.zFile = "region.z";
        parser.bgiFile = "region.bgi";
        parser.initBgen();
        std::vector<BgenIndex> indexes;
        SnpIndex snps;
        for (uint32_t v = 0; v < places.size(); ++v) {
            const BgenVariant& variant = variants.at(v);
            indexes.push_back({variant.rsid, variant.position, static_cast<int64_t>(places[v].file_start_position),
                               static_cast<int64_t>(places[v].size_in_bytes)});
            snps.insert({Meta{variant.rsid, variant.chromosome, variant.position,
                              {variant.alleles.at(0), variant.alleles.at(1)}},
                         v});
        }
        SampleList list;
        SampleParser().setSamples(samples, &list);
        if (beforeParse) beforeParse(parser);
        parser.parseBgen(indexes, snps, list, threads);
        std::cout << "\n";
        // The sign of a 0/0 NaN depends on how the division was compiled; print every NaN alike.
        for (std::size_t k = 0; k < parser.dosages.size(); ++k) {
            const double v = parser.dosages[k];
            if (std::isnan(v))
                std::cout << "nan ";
            else
                std::cout << v << " ";
        }
        for (const uint32_t m : parser.missingCounts) std::cout << "| " << m;
    });
}

BgenVariant variantOf(uint32_t n, std::vector<BgenSampleProbs> samples) {
    BgenVariant v;
    v.varid = "v" + std::to_string(n);
    v.rsid = "rs" + std::to_string(n);
    v.chromosome = "1";
    v.position = 100 * n;
    v.samples = std::move(samples);
    return v;
}

TEST(BgenParserDecode, StandardisesAsWelfordWithTheSdOverAllSamples) {
    TempDir dir;
    BgenFile file;
    file.layout = 2;
    file.bits = 8;
    file.variants = {
        variantOf(1, {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1)}),
        variantOf(2, {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1)}),
        variantOf(3, {diploid(0.25, 0.5, 0.25), diploid(0.25, 0.5, 0.25), missingDiploid()}),
    };
    const std::string bgen = dir.file("d.bgen");
    const auto places = writeBgen(bgen, file);
    // Dosages 0, 1, 2: mean 1, SD 1. 0.25/0.5 are not exact in 8 bits, but both samples
    // decode alike, so the third SNP is constant: 0/0 (NaN) for both, 0 for the missing sample.
    const ProcessResult r = parseDirectly(bgen, file.variants, places, 3, 1);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "\r- Parsing dosages       : 0.000%\r- Parsing dosages       : 33.333%"
              "\r- Parsing dosages       : 66.667%\r- Parsing dosages       : done!   \n\n"
              "-1.000 0.000 1.000 -1.000 0.000 1.000 nan nan 0.000 | 0| 0| 1");
    EXPECT_EQ(r.err, "");

    // A fourth, missing sample: the SD counts it, sqrt(2/3), and it becomes 0.
    file.variants = {variantOf(1, {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1), missingDiploid()}),
                     variantOf(2, {diploid(0, 0, 1), missingDiploid(), missingDiploid(), missingDiploid()})};
    const auto places4 = writeBgen(bgen, file);
    const ProcessResult r4 = parseDirectly(bgen, file.variants, places4, 4, 2);
    ASSERT_EQ(r4.status, 0) << r4.err;
    EXPECT_NE(r4.out.find("\n-1.225 0.000 1.225 0.000 nan 0.000 0.000 0.000 | 1| 3"), std::string::npos) << r4.out;
}

struct Failure {
    std::string label;
    BgenFile file;
    uint32_t threads;
    std::string out;
    std::string err;
};

TEST(BgenParserDecode, FailuresEndTheRunWithOneReportNamingTheSnpAndFile) {
    TempDir dir;
    const std::string bgen = dir.file("g.bgen");
    const auto good = [](uint32_t n) {
        return variantOf(n, {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1)});
    };
    const auto withSamples = [&](uint32_t n, std::vector<BgenSampleProbs> samples, bool phased = false) {
        BgenVariant v = variantOf(n, std::move(samples));
        v.phased = phased;
        return v;
    };
    const std::string diploidMessage = "\n\nError : Expected diploid genotype probability data at SNP with rsID 'rs2' "
                                       "in file '" + bgen + "'!\n";
    std::vector<Failure> cases;
    {
        BgenFile f;
        f.variants = {good(1), withSamples(2, {diploid(1, 0, 0), BgenSampleProbs{{0.5, 0.5}, 1, false},
                                              diploid(0, 0, 1)}),
                      good(3)};
        cases.push_back({"haploid sample", f, 2, diploidMessage, ""});
    }
    {
        BgenFile f;
        BgenVariant triallelic = withSamples(2, {BgenSampleProbs{{0.2, 0.3, 0.5}, 1, false},
                                                 BgenSampleProbs{{0.2, 0.3, 0.5}, 1, false},
                                                 BgenSampleProbs{{0.2, 0.3, 0.5}, 1, false}});
        triallelic.alleles = {"A", "C", "G"};
        f.variants = {good(1), triallelic, good(3)};
        cases.push_back({"haploid with three alleles", f, 1, diploidMessage, ""});
    }
    {
        BgenFile f;
        f.variants = {good(1), withSamples(2, {BgenSampleProbs{{1, 0, 0, 1}, 2, false},
                                              BgenSampleProbs{{1, 0, 0, 1}, 2, false},
                                              BgenSampleProbs{{0, 1, 0, 1}, 2, false}}, true),
                      good(3)};
        cases.push_back({"phased diploid", f, 3, diploidMessage, ""});
    }
    {
        BgenFile f;
        f.variants = {good(1), good(2), good(3)};
        f.variants[1].faults.dropDataBytes = 1;
        cases.push_back({"packed values run past the data", f, 2, "",
                         "Error : Could not parse probability data of SNP with rsID 'rs2' in BGEN file '" + bgen +
                             "'!\n\n"});
    }
    for (const Failure& c : cases) {
        const auto places = writeBgen(bgen, c.file);
        const ProcessResult r = parseDirectly(bgen, c.file.variants, places, 3, c.threads);
        EXPECT_EQ(r.status, 1) << c.label;
        EXPECT_EQ(r.err, c.err) << c.label;
        // Progress lines may precede the report on standard output.
        ASSERT_GE(r.out.size(), c.out.size()) << c.label;
        EXPECT_EQ(r.out.substr(r.out.size() - c.out.size()), c.out) << c.label;
        if (!c.out.empty()) {
            EXPECT_EQ(r.out.find("Error"), r.out.size() - c.out.size() + 2) << c.label;
        }
    }
}

TEST(BgenParserDecode, OpenAndPlaceFailures) {
    TempDir dir;
    const std::string bgen = dir.file("g.bgen");
    BgenFile file;
    file.variants = {variantOf(1, {diploid(1, 0, 0), diploid(0, 1, 0)}),
                     variantOf(2, {diploid(1, 0, 0), diploid(0, 0, 1)})};
    const auto places = writeBgen(bgen, file);
    const std::string cannotOpen = "Error : File '" + bgen + "' cannot be opened!\n\n";

    // Every worker thread fails to open the file (removed after the header was read): one report.
    for (const uint32_t threads : {1u, 2u}) {
        const ProcessResult r =
            parseDirectly(bgen, file.variants, places, 2, threads,
                          [&](BgenParser&) { ASSERT_EQ(::unlink(bgen.c_str()), 0); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, cannotOpen);
        writeBgen(bgen, file);
    }

    // The single stream cannot open the file.
    const ProcessResult missing = parseDirectly(dir.file("none.bgen"), file.variants, places, 2, 1);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Error : File '" + dir.file("none.bgen") + "' cannot be opened!\n\n");

    // A place at or beyond the end of the file.
    auto outside = places;
    outside[1].file_start_position = std::filesystem::file_size(bgen);
    const ProcessResult beyond = parseDirectly(bgen, file.variants, outside, 2, 2);
    EXPECT_EQ(beyond.status, 1);
    EXPECT_EQ(beyond.err, "Error : BGEN index file 'region.bgi' places SNP with rsID 'rs2' outside of BGEN file '" +
                              bgen + "'!\n\n");
    EXPECT_EQ(beyond.out, "");
}

TEST(BgenParserDecode, ADosageBufferThatCannotBeAllocatedEndsTheRun) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer reports oversized allocations itself";
#else
    // 100,000 SNPs x 100,000 samples need 80 GB of rows; the child may use 2 GB.
    TempDir dir;
    BgenFile file;
    file.faults.numberOfSamples = 100000;
    const std::string bgen = dir.file("wide.bgen");
    writeBgen(bgen, file);
    const ProcessResult r = runInChild([&] {
        const rlimit limit{uint64_t{2} << 30, uint64_t{2} << 30};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(99);
        BgenParser parser;
        parser.bgenFile = bgen;
        parser.initBgen();
        const std::vector<BgenIndex> places(100000, BgenIndex{"rs", 0, 0, 1});
        SampleList samples;
        SampleParser().setSamples(100000, &samples);
        parser.parseBgen(places, SnpIndex(), samples, 1);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error : Cannot allocate buffer for storing allelic dosages!. At least 80 GB memory are "
                     "required.\n\n");
#endif
}

// Damaged variants through the binary, in every path that reads BGEN variants: the dosages in
// memory, and the BDOSE writers of version 1.0 (with a BCOR file) and 1.1. Three SNPs rs1, rs2,
// rs3 (chromosome 1, positions 100, 200, 300, alleles A and G) of four samples; each case damages
// rs2 (or the index rows), so that the report is the same at any thread count.
struct DamagedVariant {
    std::string name;
    std::function<void(BgenFile&)> spoil;
    std::vector<uint32_t> rowPlaces;  // index row v gives the place of variant rowPlaces[v]
    std::string err;                  // the whole standard error
    std::string outTail;              // the end of standard output (the diploid report), or ""
    std::vector<std::string> threads;
    // When set, the place that the row of rs2 gives instead, from the file's bytes and places.
    std::function<int64_t(const BgenImage&)> rs2At = nullptr;
};

// Makes rs2 a variant of `alleles` alleles ("A", "G" and more), every sample diploid and certain
// of the first genotype, stored at `bits` bits. From 11 alleles on (unphased at 32 bits) such a
// block is larger than two-allele data of the same samples can ever be.
std::function<void(BgenFile&)> manyAlleles(uint32_t alleles, bool phased, uint32_t bits) {
    return [=](BgenFile& f) {
        f.bits = bits;
        BgenVariant& v = f.variants[1];
        v.alleles = {"A", "G"};
        for (uint32_t k = 2; k < alleles; ++k) v.alleles.push_back("T" + std::to_string(k));
        v.phased = phased;
        // Unphased: one probability per genotype, C(K + 1, K - 1) = K (K + 1) / 2 of them.
        const std::size_t values = phased ? 2 * alleles : std::size_t{alleles} * (alleles + 1) / 2;
        std::vector<double> probs(values, 0.0);
        probs[0] = 1.0;
        if (phased) probs[alleles] = 1.0;
        for (BgenSampleProbs& sample : v.samples) sample = BgenSampleProbs{probs, 2, false};
    };
}

TEST(BgenParserIntegrity, DamagedVariantsEndTheRunInEveryPathThatReadsThem) {
    const std::string rs2Place = "BGEN file 'd.bgen' at the place that BGEN index file 'd.bgi' gives for SNP with "
                                 "rsID 'rs2'";
    const std::string notDiploid = "\n\nError : Expected diploid genotype probability data at SNP with rsID 'rs2' in "
                                   "file 'd.bgen'!\n";
    const std::string other = "Error : BGEN index file 'd.bgi' places SNP with rsID 'rs2' at a variant of BGEN file "
                              "'d.bgen' that is not this SNP!\n\n";
    const std::vector<std::string> oneAndThree{"1", "3"};
    const std::vector<DamagedVariant> cases = {
        {"undamaged", [](BgenFile&) {}, {0, 1, 2}, "", "", oneAndThree},
        {"the row of rs2 gives the place of rs3", [](BgenFile&) {}, {0, 2, 2}, other, "", oneAndThree},
        // rs3 is met first by the second of three threads: only one thread reads, rs2 is reported.
        {"every row gives the place of rs1", [](BgenFile&) {}, {0, 0, 0}, other, "", {"1"}},
        {"another chromosome at the place of rs2", [](BgenFile& f) { f.variants[1].chromosome = "2"; }, {0, 1, 2},
         other, "", oneAndThree},
        {"another position at the place of rs2", [](BgenFile& f) { f.variants[1].position = 201; }, {0, 1, 2}, other,
         "", oneAndThree},
        {"the alleles of rs2 swapped", [](BgenFile& f) { f.variants[1].faults.identifyingAlleles = {{"G", "A"}}; },
         {0, 1, 2}, other, "", oneAndThree},
        {"three alleles in the identifying data, two in the probability data",
         [](BgenFile& f) { f.variants[1].faults.identifyingAlleles = {{"A", "G", "T"}}; }, {0, 1, 2}, "", notDiploid,
         oneAndThree},
        {"two alleles in the identifying data, three in the probability data",
         [](BgenFile& f) {
             BgenVariant& v = f.variants[1];
             v.alleles = {"A", "G", "T"};
             v.faults.identifyingAlleles = {{"A", "G"}};
             for (BgenSampleProbs& sample : v.samples) sample = BgenSampleProbs{{0.25, 0.25, 0.5}, 1, false};
         },
         {0, 1, 2}, "", notDiploid, oneAndThree},
        // However large its genotype block, a variant of more than two alleles is not read further.
        {"three alleles", manyAlleles(3, false, 8), {0, 1, 2}, "", notDiploid, oneAndThree},
        {"11 alleles at 32 bits", manyAlleles(11, false, 32), {0, 1, 2}, "", notDiploid, oneAndThree},
        {"16 alleles at 16 bits", manyAlleles(16, false, 16), {0, 1, 2}, "", notDiploid, oneAndThree},
        {"23 alleles at 8 bits", manyAlleles(23, false, 8), {0, 1, 2}, "", notDiploid, oneAndThree},
        {"100 alleles, phased, at 32 bits", manyAlleles(100, true, 32), {0, 1, 2}, "", notDiploid, oneAndThree},
        {"stored probabilities that add up to more than 1 (all bits set)",
         [](BgenFile& f) { f.variants[1].samples[2] = diploid(1.0, 1.0, -1.0); }, {0, 1, 2},
         "Error : Genotype probabilities of a sample at SNP with rsID 'rs2' in BGEN file 'd.bgen' add up to more "
         "than 1!\n\n",
         "", oneAndThree},
        // A stale or damaged index: a place at which no variant can be read blames the index too.
        {"the row of rs2 gives a place inside the variant of rs1", [](BgenFile&) {}, {0, 1, 2},
         "Error : Could not read string from " + rs2Place + "!\n\n", "", oneAndThree,
         [](const BgenImage& image) { return static_cast<int64_t>(image.places[0].file_start_position) + 3; }},
        {"the row of rs2 gives a place in the header", [](BgenFile&) {}, {0, 1, 2},
         "Error : Could not read string from " + rs2Place + "!\n\n", "", oneAndThree,
         [](const BgenImage&) { return int64_t{4}; }},
        {"the row of rs2 gives the last byte of the file", [](BgenFile&) {}, {0, 1, 2},
         "Error : Could not read integer value from " + rs2Place + "!\n\n", "", oneAndThree,
         [](const BgenImage& image) { return static_cast<int64_t>(image.bytes.size()) - 1; }},
        {"the row of rs2 gives the end of the file", [](BgenFile&) {}, {0, 1, 2},
         "Error : BGEN index file 'd.bgi' places SNP with rsID 'rs2' outside of BGEN file 'd.bgen'!\n\n", "",
         oneAndThree, [](const BgenImage& image) { return static_cast<int64_t>(image.bytes.size()); }},
        {"the row of rs2 gives a place past the end of the file", [](BgenFile&) {}, {0, 1, 2},
         "Error : BGEN index file 'd.bgi' places SNP with rsID 'rs2' outside of BGEN file 'd.bgen'!\n\n", "",
         oneAndThree, [](const BgenImage& image) { return static_cast<int64_t>(image.bytes.size()) + 1000; }},
        // Once the variant proved to be rs2, its damage is the BGEN file's alone.
        {"a declared size beyond two-allele data of four samples",
         [](BgenFile& f) { f.variants[1].faults.decompressedLength = 10 + 4 + 252 * 4 + 1; }, {0, 1, 2},
         "Error : Could not parse probability data of SNP with rsID 'rs2' in BGEN file 'd.bgen'!\n\n", "",
         oneAndThree},
    };
    const std::vector<std::vector<std::string>> paths = {{"--write-bcor", "--read-only-bgen"},
                                                         {"--write-bcor", "--write-bdose"},
                                                         {"--write-bdose", "--bdose-version", "1.1"}};
    for (const DamagedVariant& c : cases) {
        TempDir dir;
        BgenFile file;
        file.layout = 2;
        file.compression = 1;
        file.bits = 8;
        for (uint32_t n = 1; n <= 3; ++n)
            file.variants.push_back(variantOf(n, {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1),
                                                  diploid(0.5, 0.25, 0.25)}));
        std::vector<ZRow> rows;
        for (const BgenVariant& v : file.variants) rows.push_back({v.rsid, v.chromosome, v.position, "A", "G"});
        c.spoil(file);
        const BgenImage image = buildBgen(file);
        writeBgen(dir.file("d.bgen"), file);
        BgiFile index;
        index.metadata.push_back(bgiMetadata(
            "d.bgen", static_cast<int64_t>(image.bytes.size()),
            std::vector<uint8_t>(image.bytes.begin(), image.bytes.begin() + std::min<std::size_t>(image.bytes.size(), 1000))));
        for (uint32_t v = 0; v < 3; ++v) {
            const BgenVariantPlace& place = image.places[c.rowPlaces[v]];
            index.variants.push_back({rows[v].rsid, rows[v].chromosome, rows[v].position, "A", "G",
                                      static_cast<int64_t>(place.file_start_position),
                                      static_cast<int64_t>(place.size_in_bytes)});
        }
        if (c.rs2At) index.variants[1].file_start_position = c.rs2At(image);
        writeBgi(dir.file("d.bgi"), index);
        writeZFile(dir.file("d.z"), rows);
        writeSampleFile(dir.file("d.sample"), {"S1", "S2", "S3", "S4"});
        writeMasterFile(dir.file("master.txt"), {"z", "bgen", "bgi", "sample", "bcor", "bdose", "n_samples"},
                        {{{"z", "d.z"}, {"bgen", "d.bgen"}, {"bgi", "d.bgi"}, {"sample", "d.sample"},
                          {"bcor", "d.bcor"}, {"bdose", "d.bdose"}, {"n_samples", "4"}}});
        for (const auto& path : paths) {
            for (const std::string& threads : c.threads) {
                std::vector<std::string> args = path;
                args.insert(args.end(), {"--in-files", "master.txt", "--n-threads", threads});
                const ProcessResult r = runTesmaro(args, dir.path());
                SCOPED_TRACE(c.name + " | " + path.back() + " | " + threads + " threads\n" + r.out + "\n" + r.err);
                const bool damaged = c.name != "undamaged";
                EXPECT_EQ(r.status, damaged ? 1 : 0);
                EXPECT_EQ(r.err, c.err);
                ASSERT_GE(r.out.size(), c.outTail.size());
                EXPECT_EQ(r.out.substr(r.out.size() - c.outTail.size()), c.outTail);
                const std::string both = r.out + r.err;
                std::size_t reports = 0;
                for (std::size_t at = both.find("Error"); at != std::string::npos; at = both.find("Error", at + 1))
                    ++reports;
                EXPECT_EQ(reports, damaged ? 1u : 0u);
                // The stage that met the damage never finishes.
                for (const char* finished : {"Parsing dosages       : done!", "dosages done!", "dosages (1/2) done!"})
                    EXPECT_EQ(damaged && r.out.find(finished) != std::string::npos, false) << finished;
            }
        }
    }
}

TEST(BgenParserFirstBytes, ReadsTheFirstBytesAndNoMoreThanTheFileHolds) {
    TempDir dir;
    BgenFile file;
    file.variants = {variantOf(1, {diploid(1, 0, 0)})};
    const std::string bgen = dir.file("g.bgen");
    writeBgen(bgen, file);
    const std::string bytes = dir.read("g.bgen");
    const ProcessResult r = runInChild([&] {
        BgenParser parser;
        parser.bgenFile = bgen;
        parser.initBgen();
        const auto first = parser.readFirstBytes(10);
        const auto all = parser.readFirstBytes(static_cast<int64_t>(bytes.size()));
        std::cout << std::string(first.begin(), first.end()) << "|" << std::string(all.begin(), all.end()) << "|"
                  << parser.context.file_size << "|" << parser.context.number_of_samples;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, bytes.substr(0, 10) + "|" + bytes + "|" + std::to_string(bytes.size()) + "|1");

    // Bytes the file does not hold (asked beyond its end, or cut after its size was measured)
    // are never handed out as zeros.
    const struct {
        bool cut;
        uint64_t asked;
    } cases[] = {{false, bytes.size() + 3}, {true, bytes.size()}};
    for (const auto& c : cases) {
        const ProcessResult shorter = runInChild([&] {
            BgenParser parser;
            parser.bgenFile = bgen;
            parser.initBgen();
            if (c.cut) std::filesystem::resize_file(bgen, 7);
            parser.readFirstBytes(static_cast<int64_t>(c.asked));
        });
        EXPECT_EQ(shorter.status, 1) << c.cut;
        EXPECT_EQ(shorter.out, "") << c.cut;
        EXPECT_EQ(shorter.err, "Error : Could not read the first " + std::to_string(c.asked) + " bytes of BGEN file '" +
                                   bgen + "'!\n\n")
            << c.cut;
        writeBgen(bgen, file);
    }
}

}  // namespace
