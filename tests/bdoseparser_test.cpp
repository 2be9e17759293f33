#include "bdoseparser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/bdosefixture.h"
#include "support/oracle.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

void expectRow(const std::vector<double>& got, const std::vector<double>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t j = 0; j < got.size(); ++j) EXPECT_NEAR(got[j], expected[j], 1e-12) << "sample " << j;
}

std::vector<double> readRow(BdoseParser& parser, uint32_t snpNumber) {
    std::vector<double> row(parser.includedSamples.size());
    double* out = row.data();
    parser.readDosageDataBlock(snpNumber, out);
    return row;
}

// Three SNPs whose dosages are exact in every code but ultra-low, over four samples.
std::vector<BdoseFixtureSnp> threeSnps() {
    return {fixtureSnp("rs1", 100, {0.0, 0.5, 1.0, 2.0}), fixtureSnp("rs2", 200, {1.5, NaN, 0.25, 0.75}),
            fixtureSnp("rs3", 300, {2.0, 2.0, 0.0, 1.25})};
}

BdoseFixture fileWith(const std::vector<BdoseFixtureSnp>& snps, uint32_t n) {
    BdoseFixture fixture;
    fixture.numSamples = n;
    fixture.snps = snps;
    return fixture;
}

TEST(BdoseParserDecode, FourCodesWithSentinels) {
    const std::vector<double> dosages = {0.0, 0.5, 1.999, 2.0, NaN};
    struct Code {
        uint8_t code;
        uint64_t two;       // the stored integer of 2.0
        uint64_t sentinel;  // the stored integer of a missing dosage
        int k;
    };
    const Code codes[] = {{0, 0x8000, 0xD000, 14},
                          {1, 0x80000000, 0xD0000000, 30},
                          {2, 0x8000000000000000, 0xD000000000000000, 62},
                          {3, 0x80, 0xD0, 6}};
    for (const Code& c : codes) {
        SCOPED_TRACE(static_cast<int>(c.code));
        EXPECT_EQ(encodeFixtureDosage(c.code, 2.0), c.two);
        EXPECT_EQ(encodeFixtureDosage(c.code, NaN), c.sentinel);
        TempDir dir;
        BdoseFixture fixture = fileWith({fixtureSnp("rs1", 1, dosages)}, 5);
        fixture.compression = c.code;
        const std::string path = buildBdose(fixture).save(dir.file("c.bdose"));
        BdoseParser parser;
        parser.initBdose(path, "z.txt", zIndex(fixture.snps), 5);

        std::vector<uint8_t> bytes;
        for (double d : dosages) {
            const uint64_t v = encodeFixtureDosage(c.code, d);
            for (uint32_t b = 0; b < fixtureCodeWidth(c.code); ++b) bytes.push_back(static_cast<uint8_t>(v >> (8 * b)));
        }
        std::vector<double> out(5);
        double* data = out.data();
        EXPECT_TRUE(parser.convertIntegerToFloatDosages(bytes, data));
        EXPECT_EQ(out[0], 0.0);
        EXPECT_EQ(out[1], 0.5);
        EXPECT_EQ(out[2], std::trunc(std::ldexp(1.999, c.k)) / std::ldexp(1.0, c.k));
        EXPECT_EQ(out[3], 2.0);
        EXPECT_TRUE(std::isnan(out[4]));
        if (c.code == 3) {
            EXPECT_EQ(out[2], 1.984375);
        }
        // One step above 2 is no dosage.
        for (uint32_t b = 0; b < fixtureCodeWidth(c.code); ++b) bytes[b] = static_cast<uint8_t>((c.two + 1) >> (8 * b));
        EXPECT_FALSE(parser.convertIntegerToFloatDosages(bytes, data));
    }
}

TEST(BdoseParserRead, SnpsInReverseOrderExtraAndRepeatedSnps) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = threeSnps();
    // The file holds the Z file's SNPs backwards, with two SNPs the Z file does not list and a
    // second record of rs2, which is never read: the first record of a SNP counts.
    BdoseFixtureSnp again = z[1];
    again.dosages = {2, 0, 2, 0};
    const std::vector<BdoseFixtureSnp> file = {fixtureSnp("rs9", 900, {1, 1, 0, 0}), z[2], z[1],
                                               fixtureSnp("rs8", 800, {0, 2, 0, 2}), z[0], again};
    const std::string path = buildBdose(fileWith(file, 4)).save(dir.file("r.bdose"));
    BdoseParser parser;
    parser.initBdose(path, "z.txt", zIndex(z), 4);
    ASSERT_EQ(parser.includedSamples.size(), 4u);
    EXPECT_EQ(parser.includedSamples[3], SampleList::value_type(3, "S4"));
    for (uint32_t s : {2u, 0u, 1u, 2u}) {
        SCOPED_TRACE(s);
        expectRow(readRow(parser, s), twoPassStandardised(z[s].dosages));
    }
}

TEST(BdoseParserRead, InclusionFileSelectsSamplesInItsOrder) {
    TempDir dir;
    std::vector<double> dosages;
    for (int j = 0; j < 10; ++j) dosages.push_back(0.125 * j);
    const std::vector<BdoseFixtureSnp> z = {fixtureSnp("rs1", 1, dosages), fixtureSnp("rs2", 2, std::vector<double>(10, 1.0))};
    const std::string path = buildBdose(fileWith(z, 10)).save(dir.file("i.bdose"));
    const std::string incl = writeInclusionFile(dir.file("incl.txt"), {"S6", "S3", "S10"});
    BdoseParser parser;
    parser.initBdose("master.txt", "z.txt", incl, path, zIndex(z), 3);
    EXPECT_EQ(parser.includedSamples, (SampleList{{5, "S6"}, {2, "S3"}, {9, "S10"}}));
    expectRow(readRow(parser, 0), twoPassStandardised({dosages[5], dosages[2], dosages[9]}));
}

TEST(BdoseParserRead, SnpStatusRecordsTheFirstDecoding) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = {fixtureSnp("rs1", 1, {NaN, 1.0, NaN, 0.5, 2.0, NaN}),
                                            fixtureSnp("rs2", 2, {0, 1, 2, 1, 0, 1})};
    const std::string path = buildBdose(fileWith(z, 6)).save(dir.file("m.bdose"));
    BdoseParser parser;
    parser.initBdose(path, "z.txt", zIndex(z), 6);
    const BdoseParser::SnpStatus unread(false, 0);
    EXPECT_EQ(parser.snpStatus, std::vector<BdoseParser::SnpStatus>(2, unread));
    const std::vector<double> row = readRow(parser, 0);
    EXPECT_EQ(parser.snpStatus[0], BdoseParser::SnpStatus(true, 3));
    EXPECT_EQ(parser.snpStatus[1], unread);
    for (std::size_t j : {0u, 2u, 5u}) EXPECT_EQ(row[j], 0.0);
    expectRow(readRow(parser, 0), row);
    EXPECT_EQ(parser.snpStatus[0], BdoseParser::SnpStatus(true, 3));
}

// A file written by the program's writer reads back as the standardised dosages, in every code.
TEST(BdoseParserRead, FilesOfTheProgramsWriter) {
    const std::vector<BdoseFixtureSnp> z = {fixtureSnp("rs1", 1, {0, 1, 2, NaN, 1}), fixtureSnp("rs2", 2, {2, 2, NaN, 0, 0}),
                                            fixtureSnp("rs3", 3, {1, 1, 1, 1, NaN})};
    for (uint8_t code = 0; code < 4; ++code) {
        SCOPED_TRACE(static_cast<int>(code));
        TempDir dir;
        const std::string path = dir.file("w.bdose");
        const ProcessResult written = writeBdoseWithProgram(dir.path(), z, true, code, 2, path);
        ASSERT_EQ(written.status, 0) << written.err;
        BdoseParser parser;
        parser.initBdose(path, "z.txt", zIndex(z), 5);
        EXPECT_EQ(parser.includedSamples[4], SampleList::value_type(4, "S5"));
        for (uint32_t s = 0; s < 2; ++s) expectRow(readRow(parser, s), twoPassStandardised(z[s].dosages));
        const std::vector<double> constant = readRow(parser, 2);
        for (std::size_t j = 0; j < 4; ++j) EXPECT_TRUE(std::isnan(constant[j]));
        EXPECT_EQ(constant[4], 0.0);
        EXPECT_EQ(parser.snpStatus[1], BdoseParser::SnpStatus(true, 1));
    }
}

// The header probes in the order of the master-file check.
TEST(BdoseParserProbes, ReadTheHeaderFieldByField) {
    for (uint64_t bgenSize : {uint64_t{600}, uint64_t{5000000000}}) {
        SCOPED_TRACE(bgenSize);
        TempDir dir;
        BdoseFixture fixture = fileWith(threeSnps(), 4);
        fixture.bgenSize = bgenSize;
        const BdoseImage image = buildBdose(fixture);
        const std::string path = image.save(dir.file("p.bdose"));
        const BdoseParser parser(path);
        std::ifstream stream(path, std::ios::binary);
        EXPECT_TRUE(parser.readMagicNumber(stream));
        EXPECT_EQ(parser.readFilename(stream), "data.bgen");
        EXPECT_EQ(parser.readFileSize(stream), bgenSize);
        const int64_t first = bgenSize < 1000 ? static_cast<int64_t>(bgenSize) : 1000;
        const std::vector<uint8_t> bytes = parser.readFirstBytes(stream, first);
        const auto start = image.bytes.begin() + static_cast<std::ptrdiff_t>(image.layout.bdoseSizeField) - first;
        EXPECT_EQ(bytes, std::vector<uint8_t>(start, start + first));
        EXPECT_EQ(parser.readFileSize(stream), image.bytes.size());
        std::ifstream again(path, std::ios::binary);
        EXPECT_EQ(parser.readNumSamples(again, path), 4u);
    }
}

TEST(BdoseParserProbes, EmptyBgenPath) {
    TempDir dir;
    BdoseFixture fixture = fileWith(threeSnps(), 4);
    fixture.bgenPath = "";
    const std::string path = buildBdose(fixture).save(dir.file("e.bdose"));
    const BdoseParser parser(path);
    std::ifstream stream(path, std::ios::binary);
    parser.readMagicNumber(stream);
    EXPECT_EQ(parser.readFilename(stream), "");
    EXPECT_EQ(parser.readFileSize(stream), 600u);
}

TEST(BdoseParserProbes, Failures) {
    TempDir dir;
    BdoseFixture fixture = fileWith(threeSnps(), 4);
    fixture.magic = "bdose1.2";
    const std::string wrong = buildBdose(fixture).save(dir.file("wrong.bdose"));
    const std::string shortFile = dir.write("short.bdose", "bdose1");
    fixture.magic = "";
    BdoseImage image = buildBdose(fixture);
    image.putU32(image.layout.bgenPathLength, 0xFFFFFFFF);
    const std::string longPath = image.save(dir.file("long.bdose"));
    struct Case {
        std::string file;
        std::function<void(std::istream&)> probe;
        std::string err;
    };
    const BdoseParser parser("held.bdose");
    const Case cases[] = {
        {wrong, [&](std::istream& s) { parser.readMagicNumber(s); },
         "Error : File 'held.bdose' is not a file from Tesmaro!\n\n"},
        {wrong, [&](std::istream& s) { parser.readNumSamples(s, wrong); },
         "Error : File '" + wrong + "' is not a file from Tesmaro!\n\n"},
        {shortFile, [&](std::istream& s) { parser.readMagicNumber(s, "x.bdose"); },
         "Error : File 'x.bdose' is not a file from Tesmaro!\n\n"},
        {longPath, [&](std::istream& s) { parser.readNumSamples(s, longPath); },
         "Error : BDOSE file '" + longPath + "' is cut short in its header!\n\n"},
        {longPath,
         [&](std::istream& s) {
             parser.readMagicNumber(s);
             parser.readFilename(s);
         },
         "Error : BDOSE file 'held.bdose' is cut short in its header!\n\n"},
        {longPath,
         [&](std::istream& s) { parser.readFirstBytes(s, static_cast<int64_t>(buildBdose(fixture).bytes.size()) + 1); },
         "Error : BDOSE file 'held.bdose' is cut short in its header!\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const ProcessResult result = runInChild([&] {
            std::ifstream stream(c.file, std::ios::binary);
            c.probe(stream);
        });
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 1);
    }
}

TEST(BdoseParserInit, SnpAndSampleMismatches) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = threeSnps();
    const std::string fewer = buildBdose(fileWith({z[0], z[2]}, 4)).save(dir.file("fewer.bdose"));
    const std::string other =
        buildBdose(fileWith({z[0], fixtureSnp("rs7", 700, {0, 0, 0, 1}), z[2]}, 4)).save(dir.file("other.bdose"));
    const std::string full = buildBdose(fileWith(z, 4)).save(dir.file("full.bdose"));
    struct Case {
        std::string file;
        uint32_t nSamples;
        std::string err;
    };
    const Case cases[] = {
        {dir.file("absent.bdose"), 4, "Error : File '" + dir.file("absent.bdose") + "' cannot be opened!\n\n"},
        {fewer, 4, "Error : Different number of SNPs in file 'z.txt' (3 SNPs) and file '" + fewer + "' (2 SNPs)!\n\n"},
        {other, 4,
         "Error : SNP with rsID 'rs2' in line 3 of file 'z.txt' could not be matched with SNP in BDOSE file '" + other +
             "'!\n\n"},
        {full, 3, "Error : File '" + full + "' contains 4 samples but 3 samples are specified for the dataset!\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        const ProcessResult result = runInChild([&] { BdoseParser().initBdose(c.file, "z.txt", zIndex(z), c.nSamples); });
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 1);
    }
}

TEST(BdoseParserInit, InclusionFileNamesTheBdoseFile) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = threeSnps();
    const std::string path = buildBdose(fileWith(z, 4)).save(dir.file("i.bdose"));
    const std::string incl = writeInclusionFile(dir.file("incl.txt"), {"S2", "S7"});
    const ProcessResult result =
        runInChild([&] { BdoseParser().initBdose("master.txt", "z.txt", incl, path, zIndex(z), 2); });
    EXPECT_EQ(result.err, "\n\nError : File '" + incl + "' with sample inclusions contains a sample 'S7' in line 2 "
                          "that is missing from file '" + path + "'!\n\n");
    EXPECT_EQ(result.status, 1);
}

// Every malformed field of a 1.1 file ends the run with its message, at initBdose or at the
// first read of the SNP's block.
TEST(BdoseParserCorruption, EachMalformedFieldHasItsMessage) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = threeSnps();
    const BdoseImage good = buildBdose(fileWith(z, 4));
    const BdoseLayout& at = good.layout;
    const uint64_t size = good.bytes.size();
    auto withSnp0 = [&](const std::function<void(BdoseFixtureSnp&)>& change) {
        BdoseFixture fixture = fileWith(z, 4);
        change(fixture.snps[0]);
        return buildBdose(fixture);
    };
    auto patched = [&](const std::function<void(BdoseImage&)>& change) {
        BdoseImage image = good;
        change(image);
        return image;
    };
    BdoseFixture v10 = fileWith(z, 4);
    v10.v11 = false;
    BdoseFixture wrongMagic = fileWith(z, 4);
    wrongMagic.magic = "BDOSE1.1";
    struct Case {
        std::string name;
        BdoseImage image;
        bool atRead;
        std::string message;  // after "Error : "; P stands for the path
    };
    const std::vector<Case> cases = {
        {"upper-case magic", buildBdose(wrongMagic), false, "File 'P' is not a file from Tesmaro!"},
        {"a 1.0 file", buildBdose(v10), false, "File 'P' is not a file of v1.1 from Tesmaro!"},
        {"5 bytes", patched([](BdoseImage& i) { i.truncate(5); }), false, "File 'P' is not a file from Tesmaro!"},
        {"BGEN path length", patched([&](BdoseImage& i) { i.putU32(at.bgenPathLength, 0xFFFFFFF0); }), false,
         "BDOSE file 'P' is cut short in its header!"},
        {"header cut", patched([&](BdoseImage& i) { i.truncate(at.headerEnd - 3); }), false,
         "BDOSE file 'P' is cut short in its header!"},
        {"compression code", patched([&](BdoseImage& i) { i.putU8(at.compressionField, 4); }), false,
         "Invalid compression setting in BDOSE file 'P'!"},
        {"record length", patched([&](BdoseImage& i) { i.putU32(at.records[1], 0x7FFFFFFF); }), false,
         "BDOSE file 'P' is cut short in its meta block!"},
        {"record too short", patched([&](BdoseImage& i) { i.putU32(at.records[0], 3); }), false,
         "Could not read information for the #1 SNP in BDOSE file 'P'!"},
        {"rsid length", patched([&](BdoseImage& i) { i.bytes[at.records[1] + 8] = 0xFF; }), false,
         "Could not read information for the #2 SNP in BDOSE file 'P'!"},
        {"allele length", withSnp0([](BdoseFixtureSnp& s) { s.recordTail = "x"; }), false,
         "Could not read information for SNP with rsid 'rs1'!"},
        {"sample-ID block position", patched([&](BdoseImage& i) { i.putU64(at.sampleIdStartField, at.sampleIds + 1); }),
         false, "BDOSE file 'P' holds an invalid position of its sample-ID block!"},
        {"sample ID length", patched([&](BdoseImage& i) { i.putU32(at.sampleIds, 0xFFFFFF); }), false,
         "BDOSE file 'P' is cut short in its sample-ID block!"},
        {"offset table position", patched([&](BdoseImage& i) { i.putU64(at.offsetTableStartField, 8); }), false,
         "BDOSE file 'P' holds an invalid position of its offset table!"},
        {"dosage position", patched([&](BdoseImage& i) { i.putU64(at.dosageStartField, at.blocks[1]); }), false,
         "BDOSE file 'P' holds an invalid position of its first dosage block!"},
        {"offset table cut", patched([&](BdoseImage& i) { i.truncate(at.offsetTable + 12); }), false,
         "BDOSE file 'P' is cut short in its offset table!"},
        {"block offset past the end", patched([&](BdoseImage& i) { i.putU64(at.offsetTable + 8, size - 7); }), false,
         "BDOSE file 'P' holds an invalid offset for the dosage block of the #2 SNP!"},
        {"block offset in the table", patched([&](BdoseImage& i) { i.putU64(at.offsetTable, at.offsetTable); }), false,
         "BDOSE file 'P' holds an invalid offset for the dosage block of the #1 SNP!"},
        {"block length", patched([&](BdoseImage& i) { i.putU32(at.blocks[0], 0xFFFFFFFF); }), true,
         "BDOSE file 'P' holds an invalid length of the dosage block of the #1 SNP!"},
        {"block length below 4", patched([&](BdoseImage& i) { i.putU32(at.blocks[0], 3); }), true,
         "BDOSE file 'P' holds an invalid length of the dosage block of the #1 SNP!"},
        {"last block cut", patched([&](BdoseImage& i) { i.truncate(size - 1); }), true,
         "BDOSE file 'P' holds an invalid length of the dosage block of the #3 SNP!"},
        {"uncompressed size", withSnp0([](BdoseFixtureSnp& s) { s.uncompressedSize = 15; }), true,
         "BDOSE file 'P' holds an invalid uncompressed size of the dosage block of the #1 SNP!"},
        {"not a frame", withSnp0([](BdoseFixtureSnp& s) { s.frame = std::vector<uint8_t>(12, 0x41); }), true,
         "Could not decompress the dosage block of the #1 SNP in BDOSE file 'P'!"},
        {"short frame", withSnp0([](BdoseFixtureSnp& s) {
             s.dosages.pop_back();
             s.uncompressedSize = 16;
         }), true,
         "Could not decompress the dosage block of the #1 SNP in BDOSE file 'P'!"},
        {"dosage above 2", withSnp0([](BdoseFixtureSnp& s) { s.dosages[1] = 2.5; }), true,
         "BDOSE file 'P' holds an invalid dosage in the dosage block of the #1 SNP!"},
        {"long frame", withSnp0([](BdoseFixtureSnp& s) {
             s.dosages.push_back(1.0);
             s.uncompressedSize = 16;
         }),
         true, "Could not decompress the dosage block of the #1 SNP in BDOSE file 'P'!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.image.save(dir.file("bad.bdose"));
        const std::string expected = namingPath("Error : " + c.message + "\n\n", path);
        const ProcessResult result = runInChild([&] {
            BdoseParser parser;
            parser.initBdose(path, "z.txt", zIndex(z), 4);
            if (c.atRead) readRow(parser, c.name == "last block cut" ? 2 : 0);
        });
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 1);
    }
}

}  // namespace
