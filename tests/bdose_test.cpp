#include "bdose.h"
#include "floatscaler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "support/bdosefile.h"
#include "support/bgenwriter.h"
#include "support/oracle.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The little-endian bytes of `value` in `width` bytes.
std::vector<uint8_t> littleEndian(uint64_t value, unsigned width) {
    std::vector<uint8_t> bytes;
    for (unsigned i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return bytes;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// ----------------------------------------------------------------------------------------------
// Dosage codes

TEST(BdoseCodes, EncodeTableOfDosagesForEveryCode) {
    const std::vector<double> dosages = {0.0, 0.5, 1.999, 2.0, kNaN};
    struct Case {
        uint8_t code;
        unsigned width;
        std::vector<uint64_t> stored;
        std::vector<double> decoded;  // what each stored integer stands for
    };
    const std::vector<Case> cases = {
        {0, 2, {0, 8192, 32751, 32768, 0xD000}, {0.0, 0.5, 32751.0 / 16384, 2.0, kNaN}},
        {1, 4, {0, 536870912, 2146409906, 2147483648ull, 0xD0000000ull},
         {0.0, 0.5, 2146409906.0 / 1073741824.0, 2.0, kNaN}},
        {2, 8, {0, 2305843009213693952ull, 9218760350836348928ull, 9223372036854775808ull, 0xD000000000000000ull},
         {0.0, 0.5, 1.999, 2.0, kNaN}},
        {3, 1, {0, 32, 127, 128, 0xD0}, {0.0, 0.5, 1.984375, 2.0, kNaN}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        const Bdose::DosageCode* code = Bdose::dosageCode(c.code);
        ASSERT_NE(code, nullptr);
        EXPECT_EQ(code->width, c.width);
        std::vector<uint8_t> out(dosages.size() * c.width);
        Bdose::writeDosagesToBuffer(c.code, dosages.data(), &out);
        std::vector<uint8_t> expected;
        for (uint64_t v : c.stored) {
            const std::vector<uint8_t> bytes = littleEndian(v, c.width);
            expected.insert(expected.end(), bytes.begin(), bytes.end());
        }
        EXPECT_EQ(out, expected);
        for (std::size_t i = 0; i < c.stored.size(); ++i) {
            const double back = decodeBdoseDosage(c.code, c.stored[i]);
            if (std::isnan(c.decoded[i])) {
                EXPECT_TRUE(std::isnan(back));
            } else {
                EXPECT_EQ(back, c.decoded[i]) << i;
            }
        }
    }
    EXPECT_EQ(Bdose::dosageCode(4), nullptr);
}

TEST(BdoseCodes, InvalidCodeEndsTheRun) {
    const ProcessResult r = runInChild([] {
        const double dosage = 1.0;
        std::vector<uint8_t> out(8);
        Bdose::writeDosagesToBuffer(4, &dosage, &out);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error : Invalid compression setting!\n\n");
}

// ----------------------------------------------------------------------------------------------
// Dosages and standardisation

TEST(BdoseDosages, ExpectedAlleleCountOfIncludedSamples) {
    const genfile::bgen::ProbabilityTable table = {
        {0.25, 0.5, 0.25}, {0.0, 0.0, 1.0}, {1.0, 0.0, 0.0}, {-1.0, -1.0, -1.0},
        {-1.0, 0.5, 0.5},  {0.0, 0.0, 0.0}, {0.5, 0.25, 0.25}};
    // Samples in a different order than the file, one left out.
    const SampleList samples = {{6, "g"}, {0, "a"}, {1, "b"}, {2, "c"}, {3, "d"}, {4, "e"}, {5, "f"}};
    const std::vector<double> expected = {0.75, 1.0, 2.0, 0.0, kNaN, kNaN, kNaN};
    std::vector<double> row(samples.size());
    Bdose::computeDosages(table, samples, row.data());
    for (std::size_t j = 0; j < row.size(); ++j) {
        if (std::isnan(expected[j])) {
            EXPECT_TRUE(std::isnan(row[j])) << j;
        } else {
            EXPECT_EQ(row[j], expected[j]) << j;
        }
    }
}

void expectRowNear(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t j = 0; j < got.size(); ++j) {
        if (std::isnan(want[j])) {
            EXPECT_TRUE(std::isnan(got[j])) << j;
        } else {
            EXPECT_NEAR(got[j], want[j], 1e-12) << j;
        }
    }
}

TEST(BdoseStandardise, TableOfRows) {
    struct Case {
        std::vector<double> x;
        std::vector<double> expected;  // empty: compare with the naive computation only
        uint32_t missing;
    };
    const double r = std::sqrt(1.5);
    const std::vector<Case> cases = {
        {{0.0, 1.0, 2.0}, {-1.0, 0.0, 1.0}, 0},
        {{0.0, 1.0, 2.0, kNaN}, {-r, 0.0, r, 0.0}, 1},
        {{1.0, 1.0, 1.0}, {kNaN, kNaN, kNaN}, 0},
        {{kNaN, 1.5, kNaN}, {0.0, kNaN, 0.0}, 2},
        {{kNaN, kNaN}, {0.0, 0.0}, 2},
        {{0.7}, {kNaN}, 0},
        {{0.1, 1.9, 0.4, kNaN, 1.3, 0.0, 2.0, 1.1}, {}, 1},
    };
    for (const Case& c : cases) {
        std::vector<double> row = c.x;
        uint32_t missing = 5;  // the counter only grows
        double mean = 0.0, sd = 0.0;
        Bdose::computeMeanSD(static_cast<uint32_t>(row.size()), row.data(), &mean, &sd, &missing);
        standardiseRow(row.size(), mean, sd, row.data());
        EXPECT_EQ(missing, 5 + c.missing);
        expectRowNear(row, twoPassStandardised(c.x));
        if (!c.expected.empty()) expectRowNear(row, c.expected);
    }
}

// ----------------------------------------------------------------------------------------------
// Version probe

TEST(BdoseVersion, ProbeTable) {
    struct Case {
        std::string content;  // empty: no file
        int status;
        std::string out;  // standard output of a successful probe, or the message
    };
    const std::vector<Case> cases = {
        {"bdose1.0 and more", 0, "0 0 0"},
        {"bdose1.1 and more", 0, "1 1 1"},
        {"bdose1.0", 1, "Error : BDOSE file '%' cannot be opened!\n\n"},
        {"", 1, "Error : BDOSE file '%' cannot be opened!\n\n"},
        {"bdose1.2 and more", 1, "Error : File '%' is not a file from Tesmaro!\n\n"},
        {"BDOSE1.0 and more", 1, "Error : File '%' is not a file from Tesmaro!\n\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("x.bdose");
        if (!c.content.empty()) dir.write("x.bdose", c.content);
        const ProcessResult r = runInChild([&] {
            int32_t stored = -1;
            const int32_t returned = Bdose().readVersion(path, &stored);
            const char character = Bdose::readVersion(path);
            std::cout << returned << " " << stored << " " << character;
        });
        EXPECT_EQ(r.status, c.status) << c.content;
        std::string message = c.out;
        const std::size_t at = message.find('%');
        if (at != std::string::npos) message.replace(at, 1, path);
        EXPECT_EQ(c.status == 0 ? r.out : r.err, message) << c.content;
    }
}

// ----------------------------------------------------------------------------------------------
// Whole files written from BGEN fixtures

// Probabilities of one BGEN sample and the raw dosage they give (NaN when missing).
struct Genotype {
    BgenSampleProbs probs;
    double dosage;
};
Genotype hard(int copies) {
    return {diploid(copies == 0, copies == 1, copies == 2), static_cast<double>(copies)};
}
Genotype quarters(int p0, int p1, int p2) {
    return {diploid(p0 / 4.0, p1 / 4.0, p2 / 4.0), (2.0 * p2 + p1) / (p0 + p1 + p2)};
}
Genotype missing() { return {missingDiploid(), kNaN}; }
// Layout 1 has no missing flag: a sample stored as 0, 0, 0 has no dosage.
Genotype zeros() { return {diploid(0.0, 0.0, 0.0), kNaN}; }

// A dataset: a BGEN file with its variants, the included samples and the writer's inputs.
struct Dataset {
    TempDir dir;
    std::string bgenPath;
    std::vector<std::vector<double>> dosages;  // per SNP, per included sample
    std::vector<Meta> metas;
    std::vector<BgenIndex> indexes;
    SnpIndex snpIndex;
    SampleList samples;

    Dataset(BgenFile file, const std::vector<std::vector<Genotype>>& genotypes, const SampleList& included) {
        bgenPath = dir.file("data.bgen");
        samples = included;
        for (std::size_t i = 0; i < genotypes.size(); ++i) {
            BgenVariant v;
            v.varid = "v" + std::to_string(i);
            v.rsid = "rs" + std::to_string(100 + i);
            v.chromosome = i % 2 ? "22" : "X";
            v.position = static_cast<uint32_t>(1000 + 37 * i);
            v.alleles = {"A", i % 3 ? "G" : "TTC"};
            std::vector<double> row;
            for (const Genotype& g : genotypes[i]) v.samples.push_back(g.probs);
            for (const auto& sample : included) row.push_back(genotypes[i][sample.first].dosage);
            dosages.push_back(row);
            Meta meta{v.rsid, v.chromosome, v.position, v.alleles};
            metas.push_back(meta);
            snpIndex.insert({meta, static_cast<uint32_t>(i)});
            file.variants.push_back(v);
        }
        const std::vector<BgenVariantPlace> places = writeBgen(bgenPath, file);
        for (std::size_t i = 0; i < places.size(); ++i) {
            indexes.push_back({metas[i].rsid, metas[i].position, static_cast<int64_t>(places[i].file_start_position),
                               static_cast<int64_t>(places[i].size_in_bytes)});
        }
    }

    Bdose::Context context(uint8_t version, uint8_t compression, const std::string& bdosePath) const {
        Bdose::Context c;
        const std::string bgen = fileBytes(bgenPath);
        c.firstBytes.assign(bgen.begin(), bgen.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bgen.size(), 1000)));
        c.bgenPath = bgenPath;
        c.bdosePath = bdosePath;
        c.bgiPath = "data.bgi";
        std::memcpy(c.magicNumber.data(), version ? "bdose1.1" : "bdose1.0", 8);
        c.numSamples = static_cast<uint32_t>(samples.size());
        c.numSNPs = static_cast<uint32_t>(metas.size());
        c.bgenSize = bgen.size();
        c.version = version;
        c.compression = compression;
        return c;
    }

    // Writes `name` in a child process (the parent runs no OpenMP region) and returns its result.
    ProcessResult write(uint8_t version, uint32_t threads, const std::string& name, uint8_t compression = 1) const {
        const Bdose::Context c = context(version, compression, dir.file(name));
        return runInChild([&] {
            Bdose writer;
            writer.init(threads, c, indexes, snpIndex, samples);
            if (version == 0) {
                writer.write_v10();
            } else {
                writer.write_v11();
            }
        });
    }
};

// The closing status line, padded to 57 characters with its carriage return.
const std::string kDone = "\r- Writing BDOSE file    : done!" + std::string(25, ' ') + "\n";

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Seven SNPs over five BGEN samples, layout 2 with hard calls and missing samples (one SNP
// constant, one with a single observed value), four of them included in a new order.
Dataset layout2Dataset() {
    BgenFile file;
    file.layout = 2;
    file.compression = 2;
    const std::vector<std::vector<Genotype>> g = {
        {hard(0), hard(1), hard(2), hard(1), hard(0)},
        {hard(2), missing(), hard(2), hard(0), hard(1)},
        {hard(1), hard(1), hard(1), hard(1), hard(1)},
        {missing(), missing(), hard(2), missing(), missing()},
        {hard(0), hard(0), hard(1), hard(2), missing()},
        {hard(2), hard(2), hard(0), missing(), hard(1)},
        {hard(1), hard(0), missing(), hard(2), hard(2)},
    };
    return Dataset(file, g, {{3, "s4"}, {0, "s1"}, {4, "sample five"}, {1, ""}});
}

// Four SNPs over three samples, layout 1 zlib with quarter probabilities, all included.
Dataset layout1Dataset() {
    BgenFile file;
    file.layout = 1;
    file.compression = 1;
    const std::vector<std::vector<Genotype>> g = {
        {quarters(1, 2, 1), quarters(0, 1, 3), quarters(4, 0, 0)},
        {zeros(), quarters(2, 2, 0), quarters(0, 0, 4)},
        {quarters(3, 1, 0), quarters(1, 1, 2), zeros()},
        {quarters(1, 3, 0), quarters(1, 3, 0), quarters(2, 1, 1)},
    };
    return Dataset(file, g, {{0, "a"}, {1, "b"}, {2, "c"}});
}

// The expected header bytes, written field by field from the format's table.
std::string expectedHeader(const Dataset& d, uint8_t version, const BdoseFileContent& f) {
    std::string h = version ? "bdose1.1" : "bdose1.0";
    auto put = [&h](uint64_t value, unsigned width) {
        for (uint8_t b : littleEndian(value, width)) h.push_back(static_cast<char>(b));
    };
    const std::string bgen = fileBytes(d.bgenPath);
    put(d.bgenPath.size(), 4);
    h += d.bgenPath;
    put(bgen.size(), 8);
    h += bgen.substr(0, 1000);
    put(f.recordedSize, 8);
    put(d.samples.size(), 4);
    put(d.metas.size(), 4);
    if (version) {
        h.push_back(static_cast<char>(f.compression));
        put(f.sampleIdStart, 8);
        put(f.offsetTableStart, 8);
        put(f.dosageStart, 8);
    }
    return h;
}

void expectRecords(const Dataset& d, const BdoseFileContent& f) {
    ASSERT_EQ(f.snps.size(), d.metas.size());
    for (std::size_t i = 0; i < f.snps.size(); ++i) {
        EXPECT_EQ(f.snps[i].rsid, d.metas[i].rsid);
        EXPECT_EQ(f.snps[i].chromosome, d.metas[i].chromosome);
        EXPECT_EQ(f.snps[i].position, d.metas[i].position);
        EXPECT_EQ(f.snps[i].allele1, d.metas[i].alleles[0]);
        EXPECT_EQ(f.snps[i].allele2, d.metas[i].alleles[1]);
    }
}

TEST(BdoseWriter, Version10RowsAreTheStandardisedDosages) {
    for (Dataset (*make)() : {layout2Dataset, layout1Dataset}) {
        const Dataset d = make();
        const ProcessResult r = d.write(0, 2, "out.bdose");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(endsWith(r.out, kDone));
        const std::string bytes = fileBytes(d.dir.file("out.bdose"));
        const BdoseFileContent f = parseBdoseFile(bytes);
        EXPECT_EQ(bytes.substr(0, f.headerEnd), expectedHeader(d, 0, f));
        EXPECT_EQ(f.headerEnd, 36 + d.bgenPath.size() + std::min<uint64_t>(f.bgenSize, 1000));
        expectRecords(d, f);
        ASSERT_EQ(f.rows.size(), d.dosages.size());
        for (std::size_t i = 0; i < f.rows.size(); ++i) {
            SCOPED_TRACE("SNP " + std::to_string(i));
            uint32_t missingCount = 0;
            expectRowNear(f.rows[i], twoPassStandardised(d.dosages[i], &missingCount));
            EXPECT_EQ(f.missing[i], missingCount);
        }
    }
}

TEST(BdoseWriter, Version11BlocksHoldTheEncodedDosages) {
    const Dataset d = layout2Dataset();
    for (uint8_t code = 0; code < 4; ++code) {
        SCOPED_TRACE("code " + std::to_string(code));
        const std::string name = "out" + std::to_string(code) + ".bdose";
        const ProcessResult r = d.write(1, 3, name, code);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(endsWith(r.out, kDone));
        const std::string bytes = fileBytes(d.dir.file(name));
        const BdoseFileContent f = parseBdoseFile(bytes);
        EXPECT_EQ(bytes.substr(0, f.headerEnd), expectedHeader(d, 1, f));
        EXPECT_EQ(f.compression, code);
        expectRecords(d, f);
        std::vector<std::string> ids;
        for (const auto& s : d.samples) ids.push_back(s.second);
        EXPECT_EQ(f.sampleIds, ids);
        ASSERT_EQ(f.codes.size(), d.dosages.size());
        const int exponent = Bdose::dosageCode(code)->exponent;
        for (std::size_t i = 0; i < f.codes.size(); ++i) {
            for (std::size_t j = 0; j < d.samples.size(); ++j) {
                const double want = d.dosages[i][j];
                const double got = decodeBdoseDosage(code, f.codes[i][j]);
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(got)) << i << " " << j;
                } else {
                    EXPECT_EQ(f.codes[i][j], static_cast<uint64_t>(std::ldexp(want, exponent))) << i << " " << j;
                }
            }
        }
    }
}

// The exact progress output of a two-SNP dataset written on one thread.
TEST(BdoseWriter, ProgressLines) {
    const std::string stage = "\r- Writing BDOSE file    : ";
    auto fixed = [&](const std::string& text) {
        std::string line = stage + text;
        return line + std::string(57 - line.size(), ' ');
    };
    auto entries = [&](const std::string& text) {
        return fixed(text + " 0.000%") + stage + text + " 50.000%" + stage + text + " 100.000%" + fixed(text + " done!");
    };
    auto whole = [&](const std::string& text, int items) {
        std::string out = fixed(text + " 0.000%");
        for (int i = 0; i < items; ++i) out += stage + text + " " + std::to_string(i * 100 / items) + "/100%";
        return out + fixed(text + " done!");
    };
    const std::string header = fixed("header") + fixed("header done!");
    const std::string v10 = header + fixed("meta information 0.000%") + stage + "meta information 0.000%" + stage +
                            "meta information 50.000%" + fixed("meta information done!") + entries("init missingness") +
                            entries("init offsets") + whole("dosages", 2) + entries("missingness") +
                            entries("offsets") + kDone;
    const std::string v11 = header + whole("meta information (1/2)", 2) + whole("meta information (2/2)", 1) +
                            entries("sample IDs") + fixed("init offsets 0.000%") + fixed("init offsets done!") +
                            whole("dosages (1/2)", 2) + whole("dosages (2/2)", 1) + fixed("offsets 0.000%") +
                            "\r- Writing BDOSE file    :offsets 0/100%" + fixed("offsets done!") + kDone;
    BgenFile file;
    const Dataset d(file, {{hard(0), hard(1)}, {hard(2), hard(1)}}, {{0, "a"}, {1, "b"}});
    EXPECT_EQ(d.write(0, 1, "p10.bdose").out, v10);
    EXPECT_EQ(d.write(1, 1, "p11.bdose").out, v11);
}

TEST(BdoseWriter, FilesAreIdenticalAtAnyThreadCount) {
    const Dataset d = layout2Dataset();
    for (uint8_t version = 0; version < 2; ++version) {
        SCOPED_TRACE("version " + std::to_string(version));
        std::vector<std::string> files;
        for (uint32_t threads : {1u, 3u, 8u}) {
            const std::string name = "t" + std::to_string(threads) + "v" + std::to_string(version) + ".bdose";
            const ProcessResult r = d.write(version, threads, name, 2);
            ASSERT_EQ(r.status, 0) << r.err;
            files.push_back(fileBytes(d.dir.file(name)));
        }
        EXPECT_NO_THROW(parseBdoseFile(files[0]));
        EXPECT_EQ(files[1], files[0]);
        EXPECT_EQ(files[2], files[0]);
    }
}

TEST(BdoseWriter, PartFilesStayAndStaleOnesAreNeverMerged) {
    const Dataset d = layout2Dataset();
    ASSERT_EQ(d.write(1, 1, "one.bdose").status, 0);
    EXPECT_TRUE(exists(d.dir.file("one.bdose.meta.tmp0")));
    EXPECT_TRUE(exists(d.dir.file("one.bdose.bdose.tmp0")));
    EXPECT_FALSE(exists(d.dir.file("one.bdose.meta.tmp1")));
    // Part files of an earlier run with more threads, and junk in the ones this run uses.
    for (int t = 0; t < 8; ++t) {
        d.dir.write("two.bdose.meta.tmp" + std::to_string(t), std::string(5000, 'x'));
        d.dir.write("two.bdose.bdose.tmp" + std::to_string(t), std::string(5000, 'y'));
    }
    ASSERT_EQ(d.write(1, 2, "two.bdose").status, 0);
    // More threads than SNPs: one part file of each kind per SNP.
    ASSERT_EQ(d.write(1, 8, "eight.bdose").status, 0);
    EXPECT_TRUE(exists(d.dir.file("eight.bdose.bdose.tmp6")));
    EXPECT_FALSE(exists(d.dir.file("eight.bdose.bdose.tmp7")));
    EXPECT_FALSE(exists(d.dir.file("eight.bdose.meta.tmp7")));
    EXPECT_EQ(fileBytes(d.dir.file("two.bdose")), fileBytes(d.dir.file("one.bdose")));
    for (const std::string part : {"two.bdose.meta.tmp", "two.bdose.bdose.tmp"}) {
        EXPECT_NE(fileBytes(d.dir.file(part + "0")), std::string(5000, part[10] == 'm' ? 'x' : 'y'));
        EXPECT_NE(fileBytes(d.dir.file(part + "1")), std::string(5000, part[10] == 'm' ? 'x' : 'y'));
        EXPECT_EQ(fileBytes(d.dir.file(part + "2")).size(), 5000u);
    }
}

TEST(BdoseWriter, NoSnpsGivesHeaderOnlyFiles) {
    Dataset d(BgenFile{}, {}, {{0, "a"}, {1, "bb"}});
    for (uint8_t version = 0; version < 2; ++version) {
        const std::string name = "empty" + std::to_string(version) + ".bdose";
        const ProcessResult r = d.write(version, 4, name);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(endsWith(r.out, kDone));
        const BdoseFileContent f = parseBdoseFile(fileBytes(d.dir.file(name)));
        EXPECT_EQ(f.numSNPs, 0u);
        EXPECT_FALSE(exists(d.dir.file(name + ".meta.tmp0")));
    }
}

TEST(BdoseWriter, FailuresEndTheRunWithoutDone) {
    const Dataset d = layout2Dataset();
    std::vector<BgenIndex> outside = d.indexes;
    outside[2].file_start_position = 1 << 30;
    struct Case {
        std::string bdosePath;
        std::string bgenPath;
        const std::vector<BgenIndex>* indexes;
        std::string errStart;  // the message begins with this
        std::string errEnd;    // and ends with this
        bool writesNothing;    // no stage gets its bytes written, so none says "done!"
    };
    const std::string noDir = d.dir.file("no/such/dir/out.bdose");
    const std::string noBgen = d.dir.file("missing.bgen");
    for (uint8_t version = 0; version < 2; ++version) {
        SCOPED_TRACE("version " + std::to_string(version));
        const std::vector<Case> cases = {
            // The header stage checks its own bytes before it says "done!".
            {noDir, d.bgenPath, &d.indexes, "\n\nError : Failed to write the header to file '", noDir + "'!\n\n",
             true},
            {d.dir.file("a.bdose"), noBgen, &d.indexes, "Error : Failed to open file '", noBgen + "'!\n\n", false},
            {d.dir.file("b.bdose"), d.bgenPath, &outside,
             "Error : BGEN index file 'data.bgi' places SNP with rsID 'rs102' outside of BGEN file '",
             d.bgenPath + "'!\n\n", false},
            // Every write fails on a full device: whichever check sees it first ends the run.
            {"/dev/full", d.bgenPath, &d.indexes, "\n\nError : Failed to write ", " file '/dev/full'!\n\n", true},
        };
        for (const Case& c : cases) {
            Bdose::Context context = d.context(version, 1, c.bdosePath);
            context.bgenPath = c.bgenPath;
            const ProcessResult r = runInChild([&] {
                Bdose writer;
                writer.init(3, context, *c.indexes, d.snpIndex, d.samples);
                if (version == 0) {
                    writer.write_v10();
                } else {
                    writer.write_v11();
                }
            });
            EXPECT_EQ(r.status, 1) << c.errStart;
            EXPECT_EQ(r.err.rfind(c.errStart, 0), 0u) << r.err;
            EXPECT_TRUE(endsWith(r.err, c.errEnd)) << r.err;
            EXPECT_EQ(r.out.find("done!\n"), std::string::npos) << c.errStart;
            if (c.writesNothing) {
                EXPECT_EQ(r.out.find("done!"), std::string::npos) << r.out;
            }
        }
    }
}

TEST(BdoseWriter, DiploidCheckCoversSamplesNotIncluded) {
    BgenFile file;
    BgenSampleProbs haploid;
    haploid.ploidy = 1;
    haploid.probs = {0.0, 1.0};
    Dataset d(file, {{hard(0), hard(1), hard(2)}, {hard(1), {haploid, kNaN}, hard(0)}}, {{0, "a"}, {2, "c"}});
    for (uint8_t version = 0; version < 2; ++version) {
        const ProcessResult r = d.write(version, 2, "d" + std::to_string(version) + ".bdose");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(endsWith(r.out, "\n\nError : Expected diploid genotype probability data at SNP with rsID 'rs101' "
                                    "in file '" + d.bgenPath + "'!\n")) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST(BdoseWriter, MalformedVariantIsReportedWithSnpAndFile) {
    BgenFile file;
    Dataset d(file, {{hard(0), hard(1)}, {hard(1), hard(2)}}, {{0, "a"}, {1, "b"}});
    // Rewrite the second variant with its packed values cut short.
    file.variants.clear();
    for (std::size_t i = 0; i < 2; ++i) {
        BgenVariant v;
        v.varid = "v" + std::to_string(i);
        v.rsid = d.metas[i].rsid;
        v.chromosome = d.metas[i].chromosome;
        v.position = d.metas[i].position;
        v.alleles = d.metas[i].alleles;
        v.samples = {diploid(0, 1, 0), diploid(0, 0, 1)};
        if (i == 1) v.faults.dropDataBytes = 2;
        file.variants.push_back(v);
    }
    const std::vector<BgenVariantPlace> places = writeBgen(d.bgenPath, file);
    for (std::size_t i = 0; i < places.size(); ++i) {
        d.indexes[i].file_start_position = static_cast<int64_t>(places[i].file_start_position);
    }
    const ProcessResult r = d.write(1, 2, "bad.bdose");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.err, "Error : Could not parse probability data of SNP with rsID 'rs101' in BGEN file '" +
                                    d.bgenPath + "'!\n\n")) << r.err;
}

}  // namespace
