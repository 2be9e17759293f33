// CorrReader: BCOR files (built by the test-side writer or by CorrWriter) read back in full, by
// --range and by --rsids; the corruption table; the LD text reader and its errors; and the
// conversion through the binary.

#include "corrreader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "corrwriter.h"
#include "support/bcorfile.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

// Options of a --bcor-to-text run on one BCOR file, with an optional --range or --rsids.
struct Conversion {
    FlagMap flags;
    Flag::Values values;
    Masterfile masterfile;

    Conversion(const std::string& bcor, const std::vector<uint32_t>& range = {},
               const std::vector<std::string>& ids = {}) {
        flags.insert("bcor-to-text", {0, ""});
        if (!range.empty()) {
            flags.insert("range", {1, ""});
            values.range = range;
        }
        if (!ids.empty()) {
            flags.insert("rsids", {1, ""});
            values.rsids.order = ids;
            values.rsids.ids = {ids.begin(), ids.end()};
            values.rsids.index.assign(ids.size(), -1);
        }
        masterfile.init(flags, values);
        masterfile.setRegionFiles({{"bcor", bcor}, {"ld", bcor + ".ld"}});
    }

    CorrReader read() const {
        CorrReader reader(flags, values, masterfile);
        reader.read(0);
        return reader;
    }
};

std::vector<BcorSnp> snpsAt(const std::vector<uint32_t>& positions) {
    std::vector<BcorSnp> snps;
    for (uint32_t i = 0; i < positions.size(); ++i)
        snps.push_back({i, "rs" + std::to_string(i + 1), positions[i], "7", "A", "G"});
    return snps;
}

SnpIndex indexOf(const std::vector<BcorSnp>& snps) {
    SnpIndex index;
    for (const BcorSnp& s : snps)
        index.insert(SnpIndex::value_type(Meta{s.rsid, s.chromosome, s.position, {s.allele1, s.allele2}}, s.number));
    return index;
}

// Code-0 value of pair (i, j) of an m-SNP file: distinct per pair and exact in single precision.
uint64_t pairCode(uint64_t i, uint64_t j, uint64_t m) { return 0x2000 + 64 * (i * m + j); }
double pairValue(uint64_t i, uint64_t j, uint64_t m) { return pairCode(i, j, m) / 16384.0 - 1.0; }

std::vector<uint64_t> pairCodes(uint64_t m) {
    std::vector<uint64_t> codes;
    for (uint64_t i = 0; i < m; ++i)
        for (uint64_t j = i + 1; j < m; ++j) codes.push_back(pairCode(i, j, m));
    return codes;
}

void expectSameValues(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance,
                      const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (std::isnan(expected[k]))
            EXPECT_TRUE(std::isnan(actual[k])) << what << " value " << k;
        else
            EXPECT_NEAR(actual[k], expected[k], tolerance) << what << " value " << k;
    }
}

TEST(CorrReaderBcor, WrittenFilesReadBackWithinEachCodesResolution) {
    const std::vector<double> values = {-1, 0, 1, 0.3, -0.7, nan, 0.999, -0.123456, 0.5, 1e-4};
    const double resolution[] = {0x1p-14, 0x1p-30, 0x1p-62, 0x1p-6};
    for (uint8_t code = 0; code < 4; ++code) {
        TempDir dir;
        const std::string file = dir.file("in.bcor");
        std::vector<double> R = values;
        CorrWriter writer(5, 321, 3, code, RsIDs{}, file, CorrWriter::Output::bcor);
        writer.header(indexOf(snpsAt({1, 2, 3, 4, 5})));
        writer.denseData(R.data());

        const CorrReader reader = Conversion(file).read();
        EXPECT_EQ(reader.nSamples, 321u);
        EXPECT_EQ(reader.nSNPs, 5u);
        EXPECT_EQ(reader.compression, code);
        EXPECT_TRUE(reader.meta.empty());
        // Truncation toward zero, then single precision.
        expectSameValues(reader.R, values, resolution[code] + 1e-7, "code " + std::to_string(code));
        EXPECT_EQ(reader.R[0], -1.0);
        EXPECT_EQ(reader.R[1], 0.0);
        EXPECT_EQ(reader.R[2], 1.0);
    }
}

TEST(CorrReaderBcor, SummaryAndProgressOnStandardOutput) {
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(1000, 0, snpsAt({1, 2, 3}), pairCodes(3)));
    const ProcessResult r = runInChild([&] { Conversion(file).read(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "\n- Number of samples     : 1000\n- Number of SNPs        : 3\n"
              "\r- Reading BCOR LD       : 50.000%\r- Reading BCOR file     : done!   \n");
}

TEST(CorrReaderBcor, RangeSelectsTheSnpsBetweenItsPositions) {
    const std::vector<uint32_t> positions = {100, 200, 200, 300, 400, 500};
    const uint64_t m = positions.size();
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(10, 0, snpsAt(positions), pairCodes(m)));
    const struct {
        std::vector<uint32_t> range;
        uint32_t first, last;
    } cases[] = {
        {{100, 500}, 0, 6}, {{200}, 1, 3}, {{150, 350}, 1, 4},
        {{200, 400}, 1, 5}, {{500}, 5, 6}, {{250, 260}, 3, 3},  // between two SNPs: empty
    };
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.range.front()) + "-" + std::to_string(c.range.back());
        const CorrReader reader = Conversion(file, c.range).read();
        EXPECT_EQ(reader.rangeIndices, (std::vector<uint32_t>{c.first, c.last})) << what;
        EXPECT_EQ(reader.nRange, uint64_t{c.last} - c.first) << what;
        std::vector<double> expected;
        for (uint64_t i = c.first; i < c.last; ++i)
            for (uint64_t j = i + 1; j < c.last; ++j) expected.push_back(pairValue(i, j, m));
        expectSameValues(reader.R, expected, 0, what);
    }
    // An empty range reports 0 of the file's SNPs and reads nothing.
    const ProcessResult r = runInChild([&] { Conversion(file, {250, 260}).read(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "\n- Number of samples     : 10\n- Number of SNPs        : 0/6\n\r- Reading BCOR file     : done!   \n");
}

TEST(CorrReaderBcor, RangeErrors) {
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(10, 0, snpsAt({100, 200, 300}), pairCodes(3)));
    const std::string unsorted = dir.write("unsorted.bcor", buildBcor(10, 0, snpsAt({100, 300, 200}), pairCodes(3)));
    const std::string bounds = "in between the range of coordinates of SNPs (100-300) in file '" + file + "'!\n\n";
    const struct {
        std::string file;
        std::vector<uint32_t> range;
        std::string err;
    } cases[] = {
        {file, {99, 300}, "\nError : Starting coordinate in --range must be " + bounds},
        {file, {301}, "\nError : Starting coordinate in --range must be " + bounds},
        {file, {100, 301}, "\nError : End coordinate in --range must be " + bounds},
        {unsorted,
         {100, 200},
         "\nError : The SNPs in file '" + unsorted +
             "' are not in ascending order of position, which '--range' requires!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] { Conversion(c.file, c.range).read(); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(CorrReaderBcor, RsidsGiveEverySnpAgainstEachListedSnp) {
    const uint64_t m = 5;
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(10, 0, snpsAt({1, 2, 3, 4, 5}), pairCodes(m)));
    const CorrReader reader = Conversion(file, {}, {"rs4", "rs2"}).read();
    EXPECT_EQ(reader.rsids.index, (std::vector<int32_t>{3, 1}));
    EXPECT_EQ(reader.meta.size(), m);
    std::vector<double> expected;
    for (uint64_t j = 0; j < m; ++j)
        for (uint64_t s : {3u, 1u}) expected.push_back(j == s ? 1.0 : pairValue(std::min(j, s), std::max(j, s), m));
    expectSameValues(reader.R, expected, 0, "rsids");
}

TEST(CorrReaderBcor, IdentifiersAZFileCanHoldAreReadBack) {
    // A Z file may give an empty rsid or chromosome, a tab inside a field and a carriage return
    // at the end of allele2 (a file with Windows line ends).
    std::vector<BcorSnp> snps = snpsAt({1, 2, 3});
    snps[0].rsid = "";
    snps[1].chromosome = "";
    snps[1].allele1 = "A\tT";
    snps[2].allele2 = "G\r";
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(10, 0, snps, pairCodes(3)));
    const CorrReader reader = Conversion(file, {}, {"rs3", ""}).read();
    EXPECT_EQ(reader.rsids.index, (std::vector<int32_t>{2, 0}));
    EXPECT_EQ(reader.meta.right.at(1).allele(0), "A\tT");
    EXPECT_EQ(reader.meta.right.at(2).allele(1), "G\r");
}

TEST(CorrReaderBcor, RsidsAbsentFromTheFileAreListedOnStandardOutput) {
    TempDir dir;
    const std::string file = dir.write("in.bcor", buildBcor(10, 0, snpsAt({1, 2, 3}), pairCodes(3)));
    const ProcessResult r = runInChild([&] { Conversion(file, {}, {"rsX", "rs2", "rsY"}).read(); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "\nError: Encountered SNP with rsID 'rsX' in '--rsids' but it is not included in file '" + file +
                         "'!\n\nError: Encountered SNP with rsID 'rsY' in '--rsids' but it is not included in file '" +
                         file + "'!\n\n");
}

TEST(CorrReaderBcor, CorruptFilesEndWithAClearMessage) {
    TempDir dir;
    const std::vector<BcorSnp> snps = snpsAt({1, 2, 3, 4});
    const std::string good =
        buildBcor(10, 1, snps, {0x40000000, 0x40000000, 0x40000000, 0x40000000, 0x40000000, 0x40000000});
    const uint64_t size = good.size();
    const uint64_t record2 = 32 + 4 + snpRecordBytes(snps[0]).size();  // length field of the second record
    auto patched = [&](std::size_t offset, uint64_t value, unsigned width) {
        std::string bytes = good;
        putLE(bytes, offset, value, width);
        return bytes;
    };
    std::vector<BcorSnp> repeated = snps;
    repeated[2] = snps[1];
    repeated[2].number = 2;
    std::vector<BcorSnp> blankRsid = snps;
    blankRsid[1].rsid = "rs 2";
    std::vector<BcorSnp> lineEndRsid = snps;
    lineEndRsid[1].rsid = "rs2\n";
    // Four bytes between the last record and the block, with offset and size moved to match.
    const uint64_t offset = getLE(good, 24, 8);
    std::string padded = good.substr(0, offset) + std::string(4, '\0') + good.substr(offset);
    putLE(padded, 7, size + 4, 8);
    putLE(padded, 24, offset + 4, 8);
    const std::string name = dir.file("bad.bcor");
    const std::string recordsEnd =
        "The SNP records of file '" + name + "' do not end where its correlation block begins!";
    const struct {
        std::string what;
        std::string bytes;
        std::vector<std::string> rsids;
        std::string err;
    } cases[] = {
        {"bad magic", patched(0, 'B', 1), {}, "Error : File '" + name + "' is not a file from Tesmaro!\n\n"},
        {"shorter than the magic", "bcor", {}, "Error : File '" + name + "' is not a file from Tesmaro!\n\n"},
        {"truncated header", good.substr(0, 20), {}, "Error : File '" + name + "' ends within its header!\n\n"},
        {"truncated records",
         good.substr(0, 60),
         {"rs1"},
         "Error : File '" + name + "' is truncated: it holds 60 bytes but its header gives " + std::to_string(size) +
             " bytes!\n\n"},
        {"truncated block",
         good.substr(0, size - 1),
         {},
         "Error : File '" + name + "' is truncated: it holds " + std::to_string(size - 1) +
             " bytes but its header gives " + std::to_string(size) + " bytes!\n\n"},
        {"trailing byte",
         good + "x",
         {},
         "Error : File '" + name + "' holds " + std::to_string(size + 1) + " bytes but its header gives " +
             std::to_string(size) + " bytes!\n\n"},
        {"size field zero",
         patched(7, 0, 8),
         {},
         "Error : File '" + name + "' holds " + std::to_string(size) + " bytes but its header gives 0 bytes!\n\n"},
        {"one SNP", patched(19, 1, 4), {}, "Error : File '" + name + "' holds fewer than two SNPs!\n\n"},
        {"no SNP", patched(19, 0, 4), {}, "Error : File '" + name + "' holds fewer than two SNPs!\n\n"},
        {"block offset past the end",
         patched(24, size + 1, 8),
         {},
         "Error : File '" + name + "' gives an offset of its correlation block outside the file!\n\n"},
        {"block offset inside the header",
         patched(24, 40, 8),
         {},
         "Error : File '" + name + "' gives an offset of its correlation block outside the file!\n\n"},
        {"block size against M",
         patched(19, 3, 4),
         {},
         "Error : The correlation block of file '" + name + "' does not match its number of SNPs!\n\n"},
        {"record number mismatch",
         patched(record2 + 4, 7, 4),
         {"rs1"},
         "Error : SNP record 2 of file '" + name + "' carries SNP number 8 instead of 2!\n\n"},
        {"record inner length beyond L",
         patched(record2 + 8, 200, 2),
         {"rs1"},
         "Error : The fields of SNP record 2 of file '" + name + "' do not match its length!\n\n"},
        {"record shorter than its fields",
         patched(record2, 25, 4),
         {"rs1"},
         "Error : The fields of SNP record 2 of file '" + name + "' do not match its length!\n\n"},
        {"record length beyond the block",
         patched(record2, 1000, 4),
         {"rs1"},
         "Error : SNP record 2 of file '" + name + "' has an invalid length!\n\n"},
        {"record length below its fixed fields",
         patched(record2, 19, 4),
         {"rs1"},
         "Error : SNP record 2 of file '" + name + "' has an invalid length!\n\n"},
        {"repeated SNP",
         buildBcor(10, 1, repeated, std::vector<uint64_t>(6, 0x40000000)),
         {"rs1"},
         "Error : SNP record 3 of file '" + name + "' repeats an earlier SNP!\n\n"},
        {"gap between records and block", padded, {"rs1"}, "Error : " + recordsEnd + "\n\n"},
        {"rsid with a blank",
         buildBcor(10, 1, blankRsid, std::vector<uint64_t>(6, 0x40000000)),
         {"rs1"},
         "Error : SNP record 2 of file '" + name + "' holds an rsID with a blank or a line end!\n\n"},
        {"rsid with a line end",
         buildBcor(10, 1, lineEndRsid, std::vector<uint64_t>(6, 0x40000000)),
         {"rs1"},
         "Error : SNP record 2 of file '" + name + "' holds an rsID with a blank or a line end!\n\n"},
    };
    for (const auto& c : cases) {
        dir.write("bad.bcor", c.bytes);
        const ProcessResult r = runInChild([&] { Conversion(name, {}, c.rsids).read(); });
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
    }
}

TEST(CorrReaderBcor, BadCodesFailWhenTheFirstCorrelationIsDecoded) {
    TempDir dir;
    const std::string summary = "\n- Number of samples     : 10\n- Number of SNPs        : 3\n";
    const struct {
        std::string what;
        std::string bytes;
        std::vector<std::string> rsids;
        std::string out;
        std::string err;
    } cases[] = {
        {"compression code 7",
         buildBcor(10, 7, snpsAt({1, 2, 3}), {0, 0, 0}),
         {},
         summary + "\r- Reading BCOR LD       : 50.000%",
         "Error : Invalid compression setting in BCOR file 'FILE'!\n\n"},
        {"compression code 4 with --rsids",
         buildBcor(10, 4, snpsAt({1, 2, 3}), {0, 0, 0}),
         {"rs2"},
         summary + "\r- Reading BCOR LD       : 50.000%",
         "Error : Invalid compression setting in BCOR file 'FILE'!\n\n"},
        {"code above the value of 1",
         buildBcor(10, 0, snpsAt({1, 2, 3}), {0x4000, 0x4000, 0x8001}),
         {},
         summary + "\r- Reading BCOR LD       : 50.000%",
         "\n\nError : Correlation 1.0001 between SNP 2 and SNP 3 in file 'FILE' is not between -1.0 and 1.0!\n\n"},
        {"code above the value of 1 with --rsids",
         buildBcor(10, 3, snpsAt({1, 2, 3}), {0xC0, 0x40, 0x40}),
         {"rs1"},
         summary,
         "\n\nError : Correlation 2.0000 between SNP 2 and SNP 1 in file 'FILE' is not between -1.0 and 1.0!\n\n"},
    };
    for (const auto& c : cases) {
        const std::string file = dir.write("bad.bcor", c.bytes);
        const ProcessResult r = runInChild([&] { Conversion(file, {}, c.rsids).read(); });
        std::string err = c.err;
        const std::size_t at = err.find("FILE");
        if (at != std::string::npos) err.replace(at, 4, file);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, err) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
}

// The reader returns single precision and rejects a value above 1 after that rounding. Codes 0
// and 3 decode exactly, so the first code above 2^(k+1) is rejected; codes 1 and 2 round the
// code itself to 24 significant bits first, so codes up to half a step above 2^(k+1) read as 1.
TEST(CorrReaderBcor, CodesJustAboveTheValueOf1) {
    TempDir dir;
    const struct {
        uint8_t code;
        uint64_t one;       // the largest code that reads as 1
        std::string above;  // how the next code is reported
    } cases[] = {
        {0, 0x8000, "1.0001"},
        {3, 0x80, "1.0156"},
        {1, 0x80000000u + 128, "1.0000"},
        {2, 0x8000000000000000u + (uint64_t{1} << 39), "1.0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        for (const uint64_t code : {c.one, c.one + 1}) {
            const std::string file = dir.write("edge.bcor", buildBcor(10, c.code, snpsAt({1, 2}), {code}));
            const ProcessResult r = runInChild([&] { std::cerr << Conversion(file).read().R.at(0); });
            if (code == c.one) {
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(r.err, "1");
            } else {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, "\n\nError : Correlation " + c.above + " between SNP 1 and SNP 2 in file '" + file +
                                     "' is not between -1.0 and 1.0!\n\n");
            }
        }
    }
}

// Reads `ld` as the LD matrix of an m-SNP dataset whose Z file is snps.z.
CorrReader readTextMatrix(const std::string& ld, uint64_t m) {
    FlagMap flags;
    flags.insert("text-to-bcor", {0, ""});
    CorrReader reader(flags, Flag::Values(), Masterfile());
    reader.nSNPs = m;
    reader.regionfiles.files = {{"ld", ld}, {"z", "snps.z"}};
    reader.readText();
    return reader;
}

TEST(CorrReaderText, UpperTriangleIsReadInRowOrder) {
    const struct {
        std::string text;
        uint64_t m;
        std::vector<double> expected;
    } cases[] = {
        {"1 0.5\n0.5 1\n", 2, {0.5}},
        // Diagonal and lower triangle are not read; the last row may hold anything up to M fields.
        {"1 0.1 -0.2 \nNA 1 0.3 \nx y 1 \n", 3, {0.1, -0.2, 0.3}},
        {"1 0.1 -0.2 \n0.1 1 0.3 \n\n", 3, {0.1, -0.2, 0.3}},
        {"9 nan -1 \n9 9 1e-05 \n9\n", 3, {nan, -1, 1e-05}},
        {"1 -nan 1 \n1 1 0.123456789012 \n\n", 3, {nan, 1, 0.123456789012}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const CorrReader reader = readTextMatrix(dir.write("m.ld", c.text), c.m);
        expectSameValues(reader.R, c.expected, 0, c.text);
    }
    TempDir dir;
    const std::string ld = dir.write("m.ld", "1 0.1 0.2 \n0.1 1 0.3 \n0.2 0.3 1 \n");
    const ProcessResult r = runInChild([&] { readTextMatrix(ld, 3); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "- Reading correlations  :\r- Reading correlations  : 50.000%\r- Reading correlations  : done!");
}

TEST(CorrReaderText, MalformedMatricesEndWithTheirMessage) {
    TempDir dir;
    const std::string ld = dir.file("m.ld");
    const std::string rows =
        "Different number of SNPs in file 'snps.z' (3 SNPs) and file '" + ld + "'. Expected 3 SNPs in row ";
    const std::string progress = "- Reading correlations  :\r- Reading correlations  : 50.000%";
    const struct {
        std::string text;
        std::string out;
        std::string err;
    } cases[] = {
        {"1 NA 0.5 \n", progress,
         "\n\nError : Missing floating point value in line 1 column 2 of file '" + ld + "'!\n\n"},
        {"1 0.5 abc \n", progress,
         "\n\nError : Expected a floating point value in line 1 column 3 of file '" + ld + "'!\n\n"},
        {"1 0.1 0.2\r\n", progress,
         "\n\nError : Expected a floating point value in line 1 column 3 of file '" + ld + "'!\n\n"},
        {"1 0.1 0.2 \n0.1 1 -1.5 \n", progress,
         "\n\nError : Correlation -1.5000 between SNP 2 and SNP 3 in file '" + ld +
             "' is not between -1.0 and 1.0!\n\n"},
        {"1 0.1 0.2 0.3 \n", progress,
         "\n\nError : " + rows + "1 in file '" + ld + "' but encountered only 4 SNPs!\n\n"},
        {"1 0.1 0.2 \n\n0.2 0.3 1 \n", progress,
         "\n\nError : " + rows + "2 in file '" + ld + "' but encountered only 2 SNPs!\n\n"},
        {"1 0.1 0.2 \n0.1 1 0.3 \n0.2 0.3 1 \n\n", progress,
         "\n\nError : " + rows + "4 in file '" + ld + "' but encountered only 4 SNPs!\n\n"},
        {"1 0.1 0.2 \n0.1 1 0.3 \n", progress + "\r- Reading correlations  : done!",
         "\n\nError : Different number of SNPs in file 'snps.z' (3 SNPs) and file '" + ld + "' (2 SNPs)!\n\n"},
    };
    for (const auto& c : cases) {
        dir.write("m.ld", c.text);
        const ProcessResult r = runInChild([&] { readTextMatrix(ld, 3); });
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_EQ(r.out, c.out) << c.text;
        EXPECT_EQ(r.err, c.err) << c.text;
    }
    for (const auto& [name, err] :
         {std::pair<std::string, std::string>{"", "Error : No filename is specified!\n\n"},
          {dir.file("none.ld"), "Error : File '" + dir.file("none.ld") + "' cannot be opened!\n\n"}}) {
        const ProcessResult r = runInChild([&] { readTextMatrix(name, 3); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }
}

// The binary: text -> BCOR with a master file, then BCOR -> text without one.
TEST(CorrReaderBinary, TextToBcorToTextRoundTrip) {
    TempDir dir;
    writeZFile(dir.file("d.z"),
               {{"rs1", "1", 100, "A", "C"}, {"rs2", "1", 200, "G", "T"}, {"rs3", "1", 300, "A", "G"}});
    const std::string text = "1 0.5 -0.123457 \n0.5 1 nan \n-0.123457 nan 1 \n";
    dir.write("d.ld", text);
    dir.write("master.txt", "z;bcor;ld;n_samples\nd.z;d.bcor;d.ld;10\n");

    const ProcessResult toBcor = runTesmaro({"--text-to-bcor", "--in-files", "master.txt"}, dir.path());
    EXPECT_EQ(toBcor.status, 0);
    EXPECT_EQ(toBcor.err, "");
    EXPECT_NE(toBcor.out.find("\n- Number of samples     : 10\n- Number of SNPs        : 3\n\n"
                              "- Reading correlations  :\r- Reading correlations  : 50.000%"
                              "\r- Reading correlations  : done!"),
              std::string::npos)
        << toBcor.out;
    EXPECT_NE(toBcor.out.find("\r- Writing BCOR file     : done!  \n"), std::string::npos) << toBcor.out;

    const BcorImage image = parseBcor(dir.read("d.bcor"));
    EXPECT_EQ(image.nSamples, 10u);
    EXPECT_EQ(image.nSNPs, 3u);
    EXPECT_EQ(image.code, 1);
    ASSERT_EQ(image.snps.size(), 3u);
    EXPECT_EQ(image.snps[1].rsid, "rs2");
    EXPECT_EQ(image.snps[1].position, 200u);
    EXPECT_EQ(image.snps[1].allele2, "T");
    EXPECT_EQ(image.codes, (std::vector<uint64_t>{0x60000000, 0x381947cf, 0xD0000000}));

    const ProcessResult back =
        runTesmaro({"--bcor-to-text", "--bcor-file", "d.bcor", "--ld-file", "back.ld"}, dir.path());
    EXPECT_EQ(back.status, 0);
    EXPECT_EQ(back.err, "");
    EXPECT_EQ(dir.read("back.ld"), text);
}

TEST(CorrReaderBinary, EmptyRangeWritesAnEmptyMatrix) {
    TempDir dir;
    dir.write("in.bcor", buildBcor(10, 1, snpsAt({100, 200, 300}), {0, 0, 0}));
    dir.write("out.ld", "old content");
    const ProcessResult r = runTesmaro(
        {"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", "out.ld", "--range", "150-160"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("- Number of SNPs        : 0/3\n\r- Reading BCOR file     : done!   \n"
                         "- Writing correlations  : 0.000% \r- Writing correlations  : done!         \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(dir.read("out.ld"), "");
}

TEST(CorrReaderBinary, ConversionFailuresExitWithStatusOne) {
    TempDir dir;
    dir.write("bad.bcor", "BCOR1.1 and more");
    dir.write("code.bcor", buildBcor(10, 5, snpsAt({100, 200, 300}), {0, 0, 0}));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--bcor-to-text", "--bcor-file", "none.bcor", "--ld-file", "out.ld"},
         "Error : File 'none.bcor' cannot be opened!\n\n"},
        {{"--bcor-to-text", "--bcor-file", "bad.bcor", "--ld-file", "out.ld"},
         "Error : File 'bad.bcor' is not a file from Tesmaro!\n\n"},
        {{"--bcor-to-text", "--bcor-file", "code.bcor", "--ld-file", "out.ld"},
         "Error : Invalid compression setting in BCOR file 'code.bcor'!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runTesmaro(c.args, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("done!"), std::string::npos);
    }
}

// The correlations of a large file that do not fit into the memory end the run naming the file,
// not with an exception that names nothing.
TEST(CorrReaderBinary, CorrelationsBeyondTheMemoryEndWithOneReportNamingTheFile) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#else
    TempDir dir;
    // 8000 SNPs: 31,996,000 pairs, 256 MB of doubles, under a 150 MB address-space limit.
    const uint32_t m = 8000;
    std::vector<BcorSnp> snps;
    std::vector<ZRow> rows;
    for (uint32_t i = 0; i < m; ++i) {
        snps.push_back({i, "rs" + std::to_string(i + 1), i + 1, "1", "A", "G"});
        rows.push_back({snps.back().rsid, "1", i + 1, "A", "G"});
    }
    // A consistent BCOR file of code 3 (one byte per pair), every correlation 0.
    std::string bcor = buildBcor(10, 3, snps, {});
    bcor.append(uint64_t{m} * (m - 1) / 2, '\x40');
    putLE(bcor, 7, bcor.size(), 8);
    dir.write("big.bcor", bcor);
    writeZFile(dir.file("big.z"), rows);
    dir.write("big.ld", "");
    dir.write("master.txt", "z;bcor;ld;n_samples\nbig.z;out.bcor;big.ld;10\n");
    const struct {
        std::vector<std::string> args;
        std::string file;
    } cases[] = {
        {{"--bcor-to-text", "--bcor-file", "big.bcor", "--ld-file", "out.ld"}, "big.bcor"},
        {{"--text-to-bcor", "--in-files", "master.txt"}, "big.ld"},
    };
    for (const auto& c : cases) {
        std::string command = std::string("ulimit -v 150000 && OPENBLAS_NUM_THREADS=1 exec '") + TESMARO_BINARY + "'";
        for (const std::string& a : c.args) command += " '" + a + "'";
        const ProcessResult r = runProcess("/bin/sh", {"-c", command}, dir.path());
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.err, "\n\nError : Not enough memory to read file '" + c.file + "'!\n\n") << c.file;
        EXPECT_EQ(r.out.find("Error"), std::string::npos) << c.file;
    }
#endif
}

TEST(CorrReaderBinary, ADirectoryToConvertCannotBeOpened) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("folder.bcor"));
    std::filesystem::create_directory(dir.file("folder.ld"));
    writeZFile(dir.file("d.z"), {{"rs1", "1", 100, "A", "C"}, {"rs2", "1", 200, "G", "T"}});
    const std::string bcorList = "- BCOR file             : folder.bcor\n- LD matrix             : out.ld\n";
    const struct {
        std::vector<std::string> args;
        std::string path;
        std::string out;  // the end of standard output
    } cases[] = {
        {{"--bcor-to-text", "--bcor-file", "folder.bcor", "--ld-file", "out.ld"}, "folder.bcor", bcorList},
        {{"--bcor-to-text", "--in-files", dir.write("b.txt", "bcor;ld\nfolder.bcor;out.ld\n")}, "folder.bcor",
         bcorList},
        {{"--text-to-bcor", "--in-files", dir.write("t.txt", "z;bcor;ld;n_samples\nd.z;out.bcor;folder.ld;10\n")},
         "folder.ld",
         "- LD matrix             : folder.ld\n\r- Reading SNP file      : done!   \n\n"
         "- Number of samples     : 10\n- Number of SNPs        : 2\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runTesmaro(c.args, dir.path());
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.err, "Error : File '" + c.path + "' cannot be opened!\n\n");
        ASSERT_GE(r.out.size(), c.out.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - c.out.size()), c.out) << r.out;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.ld"))) << c.path;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.bcor"))) << c.path;
    }
}

}  // namespace
