// CorrWriter: BCOR bytes checked with the test-side parser, the LD matrix and LD vector texts,
// progress output and failure reports.

#include "corrwriter.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/bcorfile.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

constexpr CorrWriter::Output kBcor = CorrWriter::Output::bcor;
constexpr CorrWriter::Output kText = CorrWriter::Output::text;

const double nan = std::numeric_limits<double>::quiet_NaN();

SnpIndex makeIndex(const std::vector<BcorSnp>& snps) {
    SnpIndex index;
    for (const BcorSnp& s : snps)
        index.insert(SnpIndex::value_type(Meta{s.rsid, s.chromosome, s.position, {s.allele1, s.allele2}}, s.number));
    return index;
}

std::vector<BcorSnp> numberedSnps(uint32_t m) {
    std::vector<BcorSnp> snps;
    for (uint32_t i = 0; i < m; ++i)
        snps.push_back({i, "rs" + std::to_string(i + 1), 1000 + 10 * i, "22", "A", i % 2 ? "GT" : "C"});
    return snps;
}

// Writes a BCOR file through header and denseData and returns its bytes.
std::string writeBcor(const TempDir& dir, const std::vector<BcorSnp>& snps, std::vector<double> R, uint8_t code,
                      uint32_t threads, uint32_t samples = 1000) {
    const std::string file = dir.file("out.bcor");
    CorrWriter writer(static_cast<uint32_t>(snps.size()), samples, threads, code, RsIDs{}, file, kBcor);
    writer.header(makeIndex(snps));
    writer.denseData(R.data());
    return dir.read(file);
}

std::string hex(const std::string& bytes) {
    std::string text;
    char buffer[4];
    for (unsigned char b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x", b);
        text += buffer;
    }
    return text;
}

TEST(CorrWriterBcor, GoldenHeaderAndRecordBytes) {
    TempDir dir;
    const std::vector<BcorSnp> snps = {
        {0, "rs1", 100, "1", "A", "C"}, {1, "rs22", 200, "1", "G", "TT"}, {2, "rs3", 4294967295u, "X", "A", "G"}};
    const std::string bytes = writeBcor(dir, snps, {0.5, -0.25, nan}, 1, 1, 1000);

    // magic, size, N = 1000, M = 3, code 1, D = 32 + (4+26) + (4+28) + (4+26) = 124.
    EXPECT_EQ(hex(bytes.substr(0, 32)),
              hex("bcor1.1") + "8800000000000000" + "e8030000" + "03000000" + "01" + "7c00000000000000");
    EXPECT_EQ(hex(bytes.substr(32, 30)),
              "1a000000"
              "00000000"
              "0300" +
                  hex("rs1") +
                  "64000000"
                  "0100" +
                  hex("1") + "01000000" + hex("A") + "01000000" + hex("C"));
    // Codes: (0.5+1)*2^30, (-0.25+1)*2^30, the NaN sentinel.
    EXPECT_EQ(hex(bytes.substr(124)),
              "00000060"
              "00000030"
              "000000d0");

    const BcorImage image = parseBcor(bytes);
    EXPECT_EQ(image.magic, "bcor1.1");
    EXPECT_EQ(image.fileSize, bytes.size());
    EXPECT_EQ(image.nSamples, 1000u);
    EXPECT_EQ(image.nSNPs, 3u);
    EXPECT_EQ(image.code, 1);
    EXPECT_EQ(image.offset, 124u);
    EXPECT_EQ(image.recordLengths, (std::vector<uint32_t>{26, 28, 26}));
    for (std::size_t i = 0; i < snps.size(); ++i) {
        EXPECT_EQ(image.snps[i].number, snps[i].number);
        EXPECT_EQ(image.snps[i].rsid, snps[i].rsid);
        EXPECT_EQ(image.snps[i].position, snps[i].position);
        EXPECT_EQ(image.snps[i].chromosome, snps[i].chromosome);
        EXPECT_EQ(image.snps[i].allele1, snps[i].allele1);
        EXPECT_EQ(image.snps[i].allele2, snps[i].allele2);
    }
}

TEST(CorrWriterBcor, EachCodeStoresLimitsOutOfRangeAndNaN) {
    // Five SNPs give ten pairs.
    const std::vector<double> values = {-1, 0, 1, 1.0000001, -3, nan, -nan, 0.3, -0.3, 0.999999};
    const struct {
        uint8_t code;
        std::vector<uint64_t> expected;
    } cases[] = {
        {0, {0, 0x4000, 0x8000, 0x8000, 0, 0xD000, 0xD000, 0x5333, 0x2ccc, 0x7fff}},
        {1, {0, 0x40000000, 0x80000000, 0x80000000, 0, 0xD0000000, 0xD0000000, 0x53333333, 0x2ccccccc, 0x7ffffbce}},
        {2,
         {0, 0x4000000000000000, 0x8000000000000000, 0x8000000000000000, 0, 0xD000000000000000, 0xD000000000000000,
          0x5333333333333400, 0x2ccccccccccccc00, 0x7ffffbce4217d000}},
        {3, {0, 0x40, 0x80, 0x80, 0, 0xD0, 0xD0, 0x53, 0x2c, 0x7f}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string bytes = writeBcor(dir, numberedSnps(5), values, c.code, 2);
        const BcorImage image = parseBcor(bytes);
        EXPECT_EQ(image.code, c.code);
        EXPECT_EQ(image.codes, c.expected) << "code " << int{c.code};
        EXPECT_EQ(bytes.size(), image.offset + 10 * bcorTestWidth(c.code));
    }
}

TEST(CorrWriterBcor, FilesAreByteIdenticalAtOneThreeAndEightThreads) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> value(-1.2, 1.2);
    const uint32_t m = 41;
    std::vector<double> R(m * (m - 1) / 2);
    for (double& r : R) r = random() % 13 == 0 ? nan : value(random);
    for (uint8_t code = 0; code < 4; ++code) {
        TempDir dir;
        const std::string one = writeBcor(dir, numberedSnps(m), R, code, 1);
        EXPECT_EQ(parseBcor(one).codes.size(), R.size());
        EXPECT_EQ(writeBcor(dir, numberedSnps(m), R, code, 3), one) << "code " << int{code};
        EXPECT_EQ(writeBcor(dir, numberedSnps(m), R, code, 8), one) << "code " << int{code};
    }
}

TEST(CorrWriterBcor, TwoSnpsWithMoreThreadsThanPairs) {
    TempDir dir;
    const std::string bytes = writeBcor(dir, numberedSnps(2), {-0.5}, 0, 8);
    const BcorImage image = parseBcor(bytes);
    EXPECT_EQ(image.codes, std::vector<uint64_t>{0x2000});
    EXPECT_EQ(image.fileSize, image.offset + 2);
}

TEST(CorrWriterBcor, ProgressLinesWithOneThread) {
    TempDir dir;
    const ProcessResult r = runInChild([&] { writeBcor(dir, numberedSnps(3), {0.1, 0.2, 0.3}, 1, 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\r- Writing BCOR header   : 33.333%\r- Writing BCOR header   : done!"
              "\r- Converting BCOR data  :        "
              "\r- Converting BCOR data  : 0/100%\r- Converting BCOR data  : 33/100%"
              "\r- Converting BCOR data  : 66/100%"
              "\r- Writing BCOR file     : done!  \n");
}

TEST(CorrWriterBcor, FailuresEndWithOneMessageAndStatusOne) {
    TempDir dir;
    const std::string existing = dir.write("old.bcor", "previous content");
    const std::string longName(65536, 'r');
    const struct {
        std::string name;
        std::function<void()> body;
        std::string err;
    } cases[] = {
        {"unopenable", [&] { CorrWriter(2, 10, 1, 1, RsIDs{}, dir.file("no/such/dir.bcor"), kBcor); },
         "Error : File '" + dir.file("no/such/dir.bcor") + "' cannot be opened!\n\n"},
        {"compression code 4", [&] { CorrWriter(2, 10, 1, 4, RsIDs{}, existing, kBcor); },
         "Error : Invalid compression setting!\n\n"},
        {"rsid longer than its length field",
         [&] {
             CorrWriter writer(2, 10, 1, 1, RsIDs{}, dir.file("long.bcor"), kBcor);
             writer.header(makeIndex({{0, longName, 1, "1", "A", "C"}, {1, "rs2", 2, "1", "A", "C"}}));
         },
         "Error : Failed to write meta information!\n\n"},
        {"chromosome longer than its length field",
         [&] {
             CorrWriter writer(2, 10, 1, 1, RsIDs{}, dir.file("long.bcor"), kBcor);
             writer.header(makeIndex({{0, "rs1", 1, longName, "A", "C"}, {1, "rs2", 2, "1", "A", "C"}}));
         },
         "Error : Failed to write meta information!\n\n"},
        {"header to a full device",
         [&] {
             std::vector<double> R = {0.5};
             CorrWriter writer(2, 10, 1, 1, RsIDs{}, "/dev/full", kBcor);
             writer.header(makeIndex(numberedSnps(2)));
             writer.denseData(R.data());
         },
         "\n\nError : Failed to write to file '/dev/full'!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild(c.body);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        // Not even the header stage is done: its bytes are only written once the file is closed.
        EXPECT_EQ(r.out.find("done!"), std::string::npos) << c.name;
    }
    // The rejected code still emptied the existing file.
    EXPECT_EQ(dir.read(existing), "");
}

TEST(CorrWriterBcor, FailedPositionalWriteNamesLengthOffsetAndFile) {
    TempDir dir;
    const std::string file = dir.file("limited.bcor");
    const std::vector<BcorSnp> snps = numberedSnps(100);
    uint64_t offset = 32;
    for (const BcorSnp& snp : snps) offset += 4 + snpRecordBytes(snp).size();
    const ProcessResult r = runInChild([&] {
        std::vector<double> R(100 * 99 / 2, 0.25);
        // Writes past offset + 10 bytes fail with EFBIG instead of raising SIGXFSZ.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{offset + 10, offset + 10};
        setrlimit(RLIMIT_FSIZE, &limit);
        CorrWriter writer(100, 10, 1, 1, RsIDs{}, file, kBcor);
        writer.header(makeIndex(snps));
        writer.denseData(R.data());
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n\nError : Failed to write " + std::to_string(4950 * 4) + " bytes at offset " +
                         std::to_string(offset) + " in file '" + file + "'!\n\n");
    EXPECT_EQ(r.out.find("done!  \n"), std::string::npos);
}

TEST(CorrWriterText, LdValuesMatchPrintfGeneralWithSixDigits) {
    const double values[] = {0,
                             -0.0,
                             1,
                             -1,
                             0.5,
                             0.123456789,
                             -0.987654321,
                             1e-05,
                             1.5e-10,
                             123456,
                             1234567,
                             1e300,
                             -2.5e-7,
                             0.1,
                             0.3333333333,
                             0.9999996,
                             0.99999949,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::denorm_min()};
    for (double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", v);
        std::string text;
        appendLdValue(text, v);
        EXPECT_EQ(text, expected) << v;
    }
    for (double v : {nan, -nan}) {
        std::string text;
        appendLdValue(text, v);
        EXPECT_EQ(text, "nan");
    }
}

TEST(CorrWriterText, MatrixOfThreeSnps) {
    TempDir dir;
    const std::string file = dir.file("ld.txt");
    const std::vector<double> R = {1.0000001, -0.123456789, -nan};
    const ProcessResult r = runInChild([&] {
        CorrWriter writer(3, 10, 1, 1, RsIDs{}, file, kText);
        writer.matrix(R.data());
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "- Writing correlations  : 0.000% \r- Writing correlations  : 0.000/100%"
              "\r- Writing correlations  : done!         \n");
    EXPECT_EQ(dir.read(file), "1 1 -0.123457 \n1 1 nan \n-0.123457 nan 1 \n");
}

TEST(CorrWriterText, MatrixLimitsValuesAndMirrorsPairs) {
    TempDir dir;
    const std::string file = dir.file("ld.txt");
    // Four SNPs: pairs (0,1) (0,2) (0,3) (1,2) (1,3) (2,3).
    const std::vector<double> R = {-3, 1e-05, 0.25, -0.5, 2, 0.75};
    CorrWriter writer(4, 10, 1, 1, RsIDs{}, file, kText);
    writer.matrix(R.data());
    EXPECT_EQ(dir.read(file),
              "1 -1 1e-05 0.25 \n"
              "-1 1 -0.5 1 \n"
              "1e-05 -0.5 1 0.75 \n"
              "0.25 1 0.75 1 \n");
}

TEST(CorrWriterText, MatrixMatchesNaiveFormattingAtOneThreeAndEightThreads) {
    const uint64_t m = 157;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> value(-1.1, 1.1);
    std::vector<double> R(m * (m - 1) / 2);
    for (double& r : R) r = random() % 17 == 0 ? -nan : value(random);
    // Expected text from a direct pair lookup and printf.
    std::vector<std::vector<double>> full(m, std::vector<double>(m, 1.0));
    for (uint64_t i = 0, k = 0; i < m; ++i)
        for (uint64_t j = i + 1; j < m; ++j, ++k) full[i][j] = full[j][i] = R[k];
    std::string expected;
    for (uint64_t i = 0; i < m; ++i) {
        for (uint64_t j = 0; j < m; ++j) {
            const double v = full[i][j];
            char field[64];
            std::snprintf(field, sizeof field, "%g ", v > 1 ? 1.0 : v < -1 ? -1.0 : v);
            expected += std::isnan(v) ? "nan " : field;
        }
        expected += "\n";
    }
    for (const uint32_t threads : {1u, 3u, 8u}) {
        TempDir dir;
        const std::string file = dir.file("ld.txt");
        CorrWriter writer(static_cast<uint32_t>(m), 10, threads, 1, RsIDs{}, file, kText);
        writer.matrix(R.data());
        EXPECT_EQ(dir.read(file), expected) << threads << " threads";
    }
}

TEST(CorrWriterText, VectorInBothLayouts) {
    const std::vector<BcorSnp> snps = {
        {0, "rsA", 1, "1", "A", "C"}, {1, "rsB", 2, "1", "A", "C"}, {2, "rsC", 3, "1", "A", "C"}};
    RsIDs rsids;
    rsids.order = {"rsC", "rsA"};
    rsids.ids = {"rsA", "rsC"};
    rsids.index = {2, 0};
    const std::string expected =
        "rsid rsC rsA\n"
        "rsA 0.5 1\n"
        "rsB nan -0.25\n"
        "rsC 1 0.5\n";
    // K x M (engine) and M x K (reader) forms of the same values; values are written unlimited.
    const std::vector<double> engine = {0.5, -nan, 1, 1, -0.25, 0.5};
    const std::vector<double> reader = {0.5, 1, nan, -0.25, 1, 0.5};
    for (const bool engineLayout : {true, false}) {
        TempDir dir;
        const std::string file = dir.file("ld.txt");
        const ProcessResult r = runInChild([&] {
            CorrWriter writer(3, 10, 1, 1, rsids, file, kText);
            writer.vector(engineLayout ? engine : reader, makeIndex(snps), engineLayout);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.read(file), expected) << engineLayout;
        EXPECT_EQ(r.out,
                  "- Writing LD vector     : 0.000% "
                  "\r- Writing LD vector     : 0.000%\r- Writing LD vector     : 16.667%"
                  "\r- Writing LD vector     : 33.333%\r- Writing LD vector     : 50.000%"
                  "\r- Writing LD vector     : 66.667%\r- Writing LD vector     : 83.333%"
                  "\r- Writing LD vector     : done!  \n");
    }
    TempDir dir;
    const std::string file = dir.file("ld.txt");
    CorrWriter writer(3, 10, 1, 1, rsids, file, kText);
    writer.vector({2, 0, 0, 0, 0, 0}, makeIndex(snps), false);
    EXPECT_EQ(dir.read(file), "rsid rsC rsA\nrsA 2 0\nrsB 0 0\nrsC 0 0\n");
}

TEST(CorrWriterText, WriteFailureEndsWithAnError) {
    for (const bool asVector : {false, true}) {
        const ProcessResult r = runInChild([&] {
            RsIDs rsids;
            rsids.order = {"rs1"};
            CorrWriter writer(2, 10, 1, 1, rsids, "/dev/full", kText);
            if (asVector)
                writer.vector({1, 0.5}, makeIndex(numberedSnps(2)), false);
            else
                writer.matrix(std::vector<double>{0.5}.data());
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\n\nError : Failed to write to file '/dev/full'!\n\n");
        EXPECT_EQ(r.out.find("done!"), std::string::npos);
    }
}

}  // namespace
