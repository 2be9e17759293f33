#include "bgen/bgen.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zstd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bgenindexparser.h"
#include "support/bgenwriter.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace bgen = genfile::bgen;

namespace {

struct DecodedVariant {
    std::string varid;
    std::string rsid;
    std::string chromosome;
    uint32_t position = 0;
    std::vector<std::string> alleles;
    bgen::ProbabilityTable probs;
};

struct Decoded {
    uint32_t offset = 0;
    uint32_t headerLength = 0;
    bgen::Context context;
    std::vector<DecodedVariant> variants;
};

// Reads the header and every variant at its place, reusing one set of buffers and one table
// for all variants as the dosage readers do.
Decoded decode(const std::string& path, const std::vector<BgenVariantPlace>& places) {
    std::ifstream stream(path, std::ios::binary);
    Decoded decoded;
    decoded.context.path = path;
    bgen::read_offset(stream, decoded.context, &decoded.offset);
    decoded.headerLength = bgen::read_header_block(stream, &decoded.context);
    std::vector<uint8_t> stored, uncompressed;
    bgen::ProbabilityTable table;
    for (const BgenVariantPlace& place : places) {
        stream.seekg(static_cast<std::streamoff>(place.file_start_position));
        DecodedVariant v;
        bgen::read_snp_identifying_data(
            stream, decoded.context, &v.varid, &v.rsid, &v.chromosome, &v.position,
            [&](std::size_t k) { v.alleles.resize(k); },
            [&](std::size_t i, const std::string& allele) { v.alleles.at(i) = allele; });
        bgen::read_probabilities(stream, decoded.context, &stored, &uncompressed, &table);
        EXPECT_EQ(static_cast<uint64_t>(stream.tellg()), place.file_start_position + place.size_in_bytes);
        v.probs = table;
        decoded.variants.push_back(v);
    }
    return decoded;
}

Decoded writeAndDecode(const TempDir& dir, const BgenFile& file) {
    const std::string path = dir.file("data.bgen");
    return decode(path, writeBgen(path, file));
}

// A value rounded to single precision. Through a volatile: GCC 12 at -O2 and above vectorises
// neighbouring double -> float -> double round trips into no rounding at all.
double single(double value) {
    volatile float rounded = static_cast<float>(value);
    return static_cast<double>(rounded);
}

// A genotype matrix of diploid, biallelic, unphased samples: variants x samples x (AA, AB, BB).
using Matrix = std::vector<std::vector<std::vector<double>>>;

// Probabilities that every layout returns unchanged: multiples of 1/16 are exact in layout 1
// (u16 / 32768); in layout 2 at 32 bits, k / (2^32 - 1) and the implied last value lie within
// 3e-10 of them and round to them in single precision (0 and 1 are exact, and an implied 0
// arises only where the stored values are 0 and 1).
const Matrix sharedMatrix = {
    {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.25, 0.5, 0.25}, {0.125, 0.75, 0.125}},
    {{0.5, 0.25, 0.25}, {0, 0, 1}, {0.0625, 0.875, 0.0625}, {1, 0, 0}, {0.75, 0, 0.25}},
    {{0, 1, 0}, {0.375, 0.375, 0.25}, {1, 0, 0}, {0, 0.5, 0.5}, {0, 0.0625, 0.9375}},
};

BgenFile fileOf(const Matrix& matrix, uint32_t layout, uint32_t compression, bool ids) {
    BgenFile file;
    file.layout = layout;
    file.compression = compression;
    file.bits = 32;
    file.freeData = "free";
    for (std::size_t v = 0; v < matrix.size(); ++v) {
        BgenVariant variant;
        variant.varid = "var" + std::to_string(v);
        variant.rsid = "rs" + std::to_string(100 + v);
        variant.chromosome = "0" + std::to_string(v + 1);
        variant.position = 1000u * static_cast<uint32_t>(v + 1);
        variant.alleles = {"A", "GT" + std::string(v, 'C')};
        for (const auto& p : matrix[v]) variant.samples.push_back(diploid(p[0], p[1], p[2]));
        file.variants.push_back(variant);
    }
    if (ids)
        for (std::size_t s = 0; s < matrix.front().size(); ++s) file.sampleIds.push_back("sample_" + std::to_string(s));
    return file;
}

struct Combination {
    uint32_t layout;
    uint32_t compression;
    bool ids;
};

void PrintTo(const Combination& c, std::ostream* os) {
    *os << "layout " << c.layout << ", compression " << c.compression << (c.ids ? ", sample identifiers" : "");
}

class BgenRoundTrip : public ::testing::TestWithParam<Combination> {};

TEST_P(BgenRoundTrip, DecodesTheWrittenMatrixAndIdentifyingData) {
    const Combination c = GetParam();
    TempDir dir;
    const BgenFile file = fileOf(sharedMatrix, c.layout, c.compression, c.ids);
    const std::string path = dir.file("data.bgen");
    const std::vector<BgenVariantPlace> places = writeBgen(path, file);
    const Decoded d = decode(path, places);

    EXPECT_EQ(d.context.number_of_samples, 5u);
    EXPECT_EQ(d.context.number_of_variants, 3u);
    EXPECT_EQ(d.context.magic, "bgen");
    EXPECT_EQ(d.context.layout(), c.layout);
    EXPECT_EQ(d.context.compression(), c.compression);
    EXPECT_EQ((d.context.flags >> 31) != 0, c.ids);
    EXPECT_EQ(d.headerLength, 24u);
    // The first variant follows the header (and the sample identifiers) at offset + 4.
    EXPECT_EQ(places.front().file_start_position, uint64_t(d.offset) + 4);
    EXPECT_EQ(d.context.file_size, places.back().file_start_position + places.back().size_in_bytes);

    ASSERT_EQ(d.variants.size(), 3u);
    for (std::size_t v = 0; v < 3; ++v) {
        const DecodedVariant& got = d.variants[v];
        EXPECT_EQ(got.varid, file.variants[v].varid);
        EXPECT_EQ(got.rsid, file.variants[v].rsid);
        EXPECT_EQ(got.chromosome, file.variants[v].chromosome);
        EXPECT_EQ(got.position, file.variants[v].position);
        EXPECT_EQ(got.alleles, file.variants[v].alleles);
        ASSERT_EQ(got.probs.size(), 5u);
        for (std::size_t s = 0; s < 5; ++s)
            EXPECT_EQ(got.probs[s], sharedMatrix[v][s]) << "variant " << v << " sample " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, BgenRoundTrip,
                         ::testing::Values(Combination{1, 0, false}, Combination{1, 1, false}, Combination{1, 2, false},
                                           Combination{2, 0, false}, Combination{2, 1, false}, Combination{2, 2, false},
                                           Combination{1, 0, true}, Combination{1, 1, true}, Combination{1, 2, true},
                                           Combination{2, 0, true}, Combination{2, 1, true}, Combination{2, 2, true}),
                         [](const ::testing::TestParamInfo<Combination>& param) {
                             return "layout" + std::to_string(param.param.layout) + "_compression" +
                                    std::to_string(param.param.compression) + (param.param.ids ? "_ids" : "_noids");
                         });

// Layout 2 at bit depths that split values across bytes: each sample's two stored values are
// a/(2^B - 1) and b/(2^B - 1); a missing sample in the middle still consumes its bits.
TEST(BgenLayout2, BitDepthsAcrossByteBoundariesWithMissingSamples) {
    TempDir dir;
    for (uint32_t bits : {1u, 2u, 3u, 5u, 7u, 8u, 9u, 13u, 16u, 17u, 24u, 31u, 32u}) {
        const uint64_t top = (uint64_t(1) << bits) - 1;
        const std::vector<std::pair<uint64_t, uint64_t>> values = {
            {top, 0}, {0, top}, {top / 3, top / 5}, {0, 0}, {top / 2, top - top / 2}, {1 % (top + 1), 0}};
        BgenFile file;
        file.bits = bits;
        file.compression = bits % 3;
        BgenVariant variant;
        variant.rsid = "rs1";
        for (std::size_t s = 0; s < values.size(); ++s) {
            const double a = static_cast<double>(values[s].first) / static_cast<double>(top);
            const double b = static_cast<double>(values[s].second) / static_cast<double>(top);
            variant.samples.push_back(diploid(a, b, 1.0 - a - b));
            if (s == 2) variant.samples.push_back(missingDiploid());
        }
        file.variants = {variant, variant};
        const Decoded d = writeAndDecode(dir, file);
        for (const DecodedVariant& got : d.variants) {
            ASSERT_EQ(got.probs.size(), values.size() + 1) << "bits " << bits;
            std::size_t s = 0;
            for (std::size_t i = 0; i < got.probs.size(); ++i) {
                if (i == 3) {
                    EXPECT_EQ(got.probs[i], std::vector<double>({-1.0, -1.0, -1.0})) << "bits " << bits;
                    continue;
                }
                const double a = static_cast<double>(values[s].first) / static_cast<double>(top);
                const double b = static_cast<double>(values[s].second) / static_cast<double>(top);
                EXPECT_EQ(got.probs[i], std::vector<double>({single(a), single(b), single(1.0 - (a + b))}))
                    << "bits " << bits << " sample " << i;
                ++s;
            }
        }
    }
}

// Probability data built by hand, parsed directly as data of the file "hand.bgen".
bgen::ProbabilityTable parseLayout2(const std::vector<uint8_t>& data, uint32_t samples) {
    bgen::Context context;
    context.path = "hand.bgen";
    context.number_of_samples = samples;
    context.flags = 2u << 2;
    bgen::ProbabilityTable table;
    bgen::ProbSetter setter(&table);
    bgen::v12::parse_probability_data(data.data(), data.data() + data.size(), context, setter);
    return table;
}

TEST(BgenLayout2, ThreeBitValuesAreTakenLeastSignificantBitFirst) {
    // Values 1, 2, 3, 4, 5, 2 of 3 bits: 1 | 2<<3 | 3<<6 | 4<<9 | 5<<12 | 2<<15 = 0x0158D1.
    const std::vector<uint8_t> data = {3, 0, 0, 0, 2, 0, 2, 2, 2, 2, 2, 0, 3, 0xD1, 0x58, 0x01};
    const bgen::ProbabilityTable table = parseLayout2(data, 3);
    const auto s = [](double x) { return single(x); };
    EXPECT_EQ(table, bgen::ProbabilityTable({{s(1 / 7.0), s(2 / 7.0), s(1 - 3 / 7.0)},
                                             {s(3 / 7.0), s(4 / 7.0), s(1 - (3 / 7.0 + 4 / 7.0))},
                                             {s(5 / 7.0), s(2 / 7.0), s(1 - (5 / 7.0 + 2 / 7.0))}}));
}

TEST(BgenLayout2, ShortData) {
    // 7 bytes: not even the fixed fields.
    EXPECT_THROW(parseLayout2({1, 0, 0, 0, 2, 0, 2}, 1), bgen::BGenError);
    // 9 bytes with N = 1: the phased flag and the bit depth are missing.
    const ProcessResult result = runInChild([] { parseLayout2({1, 0, 0, 0, 2, 0, 2, 2, 2}, 1); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error : Could not parse probability data in BGEN file 'hand.bgen'!\n\n");
}

// The stored values of a sample (of each haplotype, when phased) stand for probabilities whose
// sum must not exceed 1, or the implied last one would be negative.
TEST(BgenLayout2, StoredValuesOfAGroupAddUpToAtMostOne) {
    const auto s = [](double x) { return single(x); };
    const struct {
        const char* name;
        std::vector<uint8_t> data;
        bool accepted;
        bgen::ProbabilityTable table;
    } cases[] = {
        {"unphased, exactly 255", {1, 0, 0, 0, 2, 0, 2, 2, 2, 0, 8, 153, 102}, true,
         {{s(153 / 255.0), s(102 / 255.0), s(1 - (153 / 255.0 + 102 / 255.0))}}},
        {"unphased, 256", {1, 0, 0, 0, 2, 0, 2, 2, 2, 0, 8, 154, 102}, false, {}},
        {"unphased, every bit set", {1, 0, 0, 0, 2, 0, 2, 2, 2, 0, 8, 255, 255}, false, {}},
        {"phased, 255 in each haplotype", {1, 0, 0, 0, 3, 0, 2, 2, 2, 1, 8, 100, 155, 200, 55}, true,
         {{s(100 / 255.0), s(155 / 255.0), s(1 - (100 / 255.0 + 155 / 255.0)), s(200 / 255.0), s(55 / 255.0),
           s(1 - (200 / 255.0 + 55 / 255.0))}}},
        {"phased, 256 in the second haplotype", {1, 0, 0, 0, 3, 0, 2, 2, 2, 1, 8, 100, 155, 200, 56}, false, {}},
        // A missing sample's values are dropped unread.
        {"missing sample", {1, 0, 0, 0, 2, 0, 2, 2, 0x82, 0, 8, 255, 255}, true, {{-1.0, -1.0, -1.0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.accepted) {
            EXPECT_EQ(parseLayout2(c.data, 1), c.table);
        } else {
            EXPECT_THROW(parseLayout2(c.data, 1), bgen::ProbabilitySumError);
        }
    }
}

TEST(BgenLayout2, EightBitCornerValues) {
    const std::vector<uint8_t> data = {2, 0, 0, 0, 2, 0, 2, 2, 2, 2, 0, 8, 255, 0, 0, 0};
    EXPECT_EQ(parseLayout2(data, 2), bgen::ProbabilityTable({{1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}));
}

TEST(BgenLayout2, PhasedPloidiesAndAlleleCounts) {
    TempDir dir;
    BgenFile file;
    file.bits = 8;
    BgenVariant phased;
    phased.rsid = "rs_phased";
    phased.phased = true;
    phased.samples = {BgenSampleProbs{{51 / 255.0, 204 / 255.0, 1.0, 0.0}, 2, false},
                      BgenSampleProbs{{}, 2, true},
                      BgenSampleProbs{{0.0, 1.0, 1.0, 0.0, 0.0, 1.0}, 3, false},
                      BgenSampleProbs{{}, 0, false}};
    BgenVariant triallelic;
    triallelic.rsid = "rs_three";
    triallelic.alleles = {"A", "C", "T"};
    // Unphased diploid over three alleles: six genotypes, five stored.
    triallelic.samples = {BgenSampleProbs{{0, 1, 0, 0, 0, 0}, 2, false},
                          BgenSampleProbs{{}, 2, true},
                          BgenSampleProbs{{0, 0, 0, 0, 0, 1}, 2, false},
                          BgenSampleProbs{{1}, 0, false}};
    BgenVariant monoallelic;
    monoallelic.rsid = "rs_one";
    monoallelic.alleles = {"A"};
    monoallelic.samples = std::vector<BgenSampleProbs>(4, BgenSampleProbs{{1}, 2, false});
    file.variants = {phased, triallelic, monoallelic};
    const Decoded d = writeAndDecode(dir, file);

    const double m = -1.0;
    EXPECT_EQ(d.variants[0].probs, bgen::ProbabilityTable({{single(0.2), single(0.8), 1.0, 0.0},
                                                            {m, m, m, m},
                                                            {0.0, 1.0, 1.0, 0.0, 0.0, 1.0},
                                                            {}}));
    EXPECT_EQ(d.variants[1].alleles, std::vector<std::string>({"A", "C", "T"}));
    EXPECT_EQ(d.variants[1].probs, bgen::ProbabilityTable({{0, 1, 0, 0, 0, 0},
                                                            {m, m, m, m, m, m},
                                                            {0, 0, 0, 0, 0, 1},
                                                            {0.0}}));
    // One allele: nothing is stored and the single value stays 0.0.
    EXPECT_EQ(d.variants[2].probs, bgen::ProbabilityTable(4, {0.0}));
}

TEST(BgenLayout1, SixteenBitValuesAndMissingSamples) {
    TempDir dir;
    BgenFile file;
    file.layout = 1;
    BgenVariant variant;
    variant.rsid = "rs1";
    variant.samples = {diploid(0, 0.5, 0.5), diploid(32767 / 32768.0, 0, 1 / 32768.0), missingDiploid()};
    file.variants = {variant};
    const Decoded d = writeAndDecode(dir, file);
    EXPECT_EQ(d.variants[0].probs,
              bgen::ProbabilityTable({{0.0, 0.5, 0.5}, {single(32767 / 32768.0), 0.0, single(1 / 32768.0)}, {0, 0, 0}}));
}

TEST(BgenHeader, ZeroMagicFreeDataWithNulBytesAndEmptyFreeData) {
    TempDir dir;
    BgenFile file = fileOf(sharedMatrix, 2, 0, false);
    file.freeData = std::string("a\0b\0", 4);
    file.faults.magic = std::string(4, '\0');
    Decoded d = writeAndDecode(dir, file);
    EXPECT_EQ(d.context.magic, std::string(4, '\0'));
    // The free data are skipped, not kept: the flags after them and the variants still decode.
    EXPECT_EQ(d.headerLength, 24u);
    EXPECT_EQ(d.context.layout(), 2u);
    EXPECT_EQ(d.variants.size(), 3u);

    file.freeData.clear();
    d = writeAndDecode(dir, file);
    EXPECT_EQ(d.headerLength, 20u);
    EXPECT_EQ(d.context.layout(), 2u);
    EXPECT_EQ(d.variants.size(), 3u);
}

TEST(ZstdCompress, KeepsTheLeadingBytesAndAppendsOneFrame) {
    std::vector<uint8_t> source(5000);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * i % 7);
    std::vector<uint8_t> destination = {9, 8, 7, 6};
    genfile::zstd_compress(source.data(), source.data() + source.size(), &destination, 4, 17);
    ASSERT_GT(destination.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(destination.begin(), destination.begin() + 4), std::vector<uint8_t>({9, 8, 7, 6}));
    std::vector<uint8_t> back(source.size());
    const std::size_t size = ZSTD_decompress(back.data(), back.size(), destination.data() + 4, destination.size() - 4);
    EXPECT_EQ(size, source.size());
    EXPECT_EQ(back, source);
}

// The .bgi written beside a file records its size, its first bytes and every variant's place,
// and the index reader finds the variants there.
TEST(BgenWithIndex, IndexLeadsToEveryVariant) {
    TempDir dir;
    for (std::size_t samples : {5u, 400u}) {
        Matrix matrix = sharedMatrix;
        for (auto& variant : matrix) variant.resize(samples, {0.25, 0.5, 0.25});
        const BgenFile file = fileOf(matrix, 2, 0, true);
        const std::string bgenPath = dir.file("data.bgen");
        const std::string bgiPath = dir.file("data.bgen.bgi");
        const std::vector<BgenVariantPlace> places = writeBgenWithIndex(bgenPath, bgiPath, file);
        const std::string bytes = dir.read(bgenPath);

        BgenIndexParser::MetaData meta;
        BgenIndexParser(bgiPath, &meta);
        EXPECT_EQ(meta.filename, "data.bgen");
        EXPECT_EQ(meta.file_size, static_cast<int64_t>(bytes.size()));
        const std::size_t first = std::min<std::size_t>(bytes.size(), 1000);
        EXPECT_EQ(meta.first_1000_bytes, std::vector<uint8_t>(bytes.begin(), bytes.begin() + first));

        SnpIndex snps;
        for (uint32_t v = 0; v < file.variants.size(); ++v) {
            Meta m;
            m.rsid = file.variants[v].rsid;
            m.chromosome = file.variants[v].chromosome;
            m.position = file.variants[v].position;
            m.alleles = file.variants[v].alleles;
            snps.insert(SnpIndex::value_type(m, v));
        }
        std::vector<BgenIndex> records(file.variants.size());
        BgenIndexParser(bgenPath, bgiPath, dir.file("z.txt"), snps, &records);
        std::vector<BgenVariantPlace> indexed;
        for (const BgenIndex& record : records)
            indexed.push_back({static_cast<uint64_t>(record.file_start_position),
                               static_cast<uint64_t>(record.size_in_bytes)});
        ASSERT_EQ(indexed.size(), places.size());
        for (std::size_t v = 0; v < places.size(); ++v) {
            EXPECT_EQ(indexed[v].file_start_position, places[v].file_start_position);
            EXPECT_EQ(indexed[v].size_in_bytes, places[v].size_in_bytes);
        }
        const Decoded d = decode(bgenPath, indexed);
        for (std::size_t v = 0; v < matrix.size(); ++v) {
            EXPECT_EQ(d.variants[v].rsid, file.variants[v].rsid);
            ASSERT_EQ(d.variants[v].probs.size(), samples);
            EXPECT_EQ(d.variants[v].probs.back(), matrix[v].back());
        }
    }
}

// Malformed files: each ends the run with exit status 1 and the exact message, or throws
// BGenError, never crashes or allocates without bound.
struct Corruption {
    const char* name;
    uint32_t layout;
    uint32_t compression;
    std::function<void(BgenFile&)> spoil;
    std::string message;  // "BGenError" or "ProbabilitySumError" for the exceptions
};

BgenVariant& last(BgenFile& f) { return f.variants.back(); }

// '@' stands for the path of the damaged file.
const std::string integerMsg = "Could not read integer value from BGEN file '@'!";
const std::string stringMsg = "Could not read string from BGEN file '@'!";
const std::string blockMsg = "Could not read genotype data block from BGEN file '@'!";
const std::string parseMsg = "Could not parse probability data in BGEN file '@'!";
const std::string noAllelesMsg = "Encountered variant without alleles in BGEN file '@'!";
const std::string bitsMsg = "Invalid number of bits per probability in BGEN file '@'!";

const std::vector<Corruption> corruptions = {
    {"file of 11 bytes", 2, 0, [](BgenFile& f) { f.faults.truncateTo = 11; }, integerMsg},
    {"header length 19", 2, 0, [](BgenFile& f) { f.faults.headerLength = 19; },
     "Header block of BGEN file '@' is shorter than 20 bytes!"},
    {"header length beyond the file", 2, 0, [](BgenFile& f) { f.faults.headerLength = 0xFFFFFFF0u; }, integerMsg},
    {"file ends inside the magic", 2, 0, [](BgenFile& f) { f.faults.truncateTo = 22; }, integerMsg},
    {"bad magic", 2, 0, [](BgenFile& f) { f.faults.magic = "bgem"; }, "File '@' is not a BGEN file!"},
    {"layout 0", 2, 0, [](BgenFile& f) { f.faults.flags = 0; }, "Unsupported layout 0 in BGEN file '@'!"},
    {"layout 3", 2, 0, [](BgenFile& f) { f.faults.flags = 3u << 2; }, "Unsupported layout 3 in BGEN file '@'!"},
    {"compression 3", 2, 0, [](BgenFile& f) { f.faults.flags = 3u | (2u << 2); },
     "Unsupported compression type 3 in BGEN file '@'!"},
    {"layout 1 sample count N + 1", 1, 0, [](BgenFile& f) { last(f).faults.leadingSampleCount = 4; },
     "Encountered problem with number of samples in BGEN file '@'!"},
    {"rsid longer than the file", 2, 0, [](BgenFile& f) { last(f).faults.rsidLength = 0xFFFF; }, stringMsg},
    {"allele longer than the file", 2, 1, [](BgenFile& f) { last(f).faults.allele0Length = 0xFFFFFFFFu; }, stringMsg},
    {"no alleles", 2, 0, [](BgenFile& f) { last(f).faults.alleleCount = 0; }, noAllelesMsg},
    {"more alleles than the file holds", 2, 0, [](BgenFile& f) { last(f).faults.alleleCount = 0xFFFF; }, integerMsg},
    {"file ends in the identifying data", 2, 0, [](BgenFile& f) { f.faults.truncateTo = 40; }, integerMsg},
    {"stored length beyond the file", 2, 0, [](BgenFile& f) { last(f).faults.storedLength = 0xFFFFFFFFu; },
     blockMsg},
    {"layout 1 plain block cut short", 1, 0, [](BgenFile& f) { last(f).faults.dropStoredBytes = 1; }, blockMsg},
    {"layout 2 plain block cut short", 2, 0, [](BgenFile& f) { last(f).faults.dropStoredBytes = 1; }, blockMsg},
    {"layout 1 zlib block cut short", 1, 1, [](BgenFile& f) { last(f).faults.dropStoredBytes = 3; }, blockMsg},
    {"zstd block cut short", 2, 2, [](BgenFile& f) { last(f).faults.dropStoredBytes = 1; }, blockMsg},
    {"compressed block below 4 bytes", 2, 1, [](BgenFile& f) { last(f).faults.storedBlock = {{1, 2, 3}}; }, parseMsg},
    {"zlib declared length too long", 2, 1, [](BgenFile& f) { last(f).faults.decompressedLength = 20; }, parseMsg},
    {"zlib declared length too short", 2, 1, [](BgenFile& f) { last(f).faults.decompressedLength = 18; }, parseMsg},
    {"zstd declared length too long", 2, 2, [](BgenFile& f) { last(f).faults.decompressedLength = 20; }, parseMsg},
    {"zstd declared length too short", 2, 2, [](BgenFile& f) { last(f).faults.decompressedLength = 18; }, parseMsg},
    {"zstd declared length 4 GiB", 2, 2, [](BgenFile& f) { last(f).faults.decompressedLength = 0xFFFFFFFFu; },
     parseMsg},
    {"zlib declared length 4 GiB", 2, 1, [](BgenFile& f) { last(f).faults.decompressedLength = 0xFFFFFFFFu; },
     parseMsg},
    // Three samples of two alleles need at most 10 + 3 + 756 bytes, whatever their ploidy and depth.
    {"zlib declared length at the two-allele bound", 2, 1, [](BgenFile& f) { last(f).faults.decompressedLength = 769; },
     parseMsg},
    {"zlib declared length above the two-allele bound", 2, 1,
     [](BgenFile& f) { last(f).faults.decompressedLength = 770; }, "BGenError"},
    {"zstd declared length above the two-allele bound", 2, 2,
     [](BgenFile& f) { last(f).faults.decompressedLength = 770; }, "BGenError"},
    {"zlib garbage", 2, 1, [](BgenFile& f) { last(f).faults.storedBlock = {{23, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}}; },
     parseMsg},
    {"zstd garbage", 2, 2, [](BgenFile& f) { last(f).faults.storedBlock = {{23, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}}; },
     parseMsg},
    {"layout 1 zlib data too short", 1, 1, [](BgenFile& f) { last(f).faults.dropDataBytes = 2; }, parseMsg},
    {"layout 1 zstd data too short", 1, 2, [](BgenFile& f) { last(f).faults.dropDataBytes = 2; }, parseMsg},
    {"layout 2 data of 7 bytes", 2, 0, [](BgenFile& f) { last(f).faults.storedBlock = {{3, 0, 0, 0, 2, 0, 2}}; },
     "BGenError"},
    {"layout 2 data shorter than N + 10", 2, 0, [](BgenFile& f) { last(f).faults.dropDataBytes = 11; }, parseMsg},
    {"layout 2 data sample count N + 1", 2, 1, [](BgenFile& f) { last(f).faults.dataSampleCount = 4; }, parseMsg},
    {"layout 2 data without alleles", 2, 0, [](BgenFile& f) { last(f).faults.dataAlleleCount = 0; }, noAllelesMsg},
    {"bit depth 0", 2, 0, [](BgenFile& f) { last(f).faults.bitsByte = 0; }, bitsMsg},
    {"bit depth 33", 2, 2, [](BgenFile& f) { last(f).faults.bitsByte = 33; }, bitsMsg},
    {"bit depth 255", 2, 0, [](BgenFile& f) { last(f).faults.bitsByte = 255; }, bitsMsg},
    {"packed values run past the end", 2, 0, [](BgenFile& f) { last(f).faults.dropDataBytes = 1; }, "BGenError"},
    {"stored values above 2^B - 1", 2, 2, [](BgenFile& f) { last(f).samples[1] = diploid(0.75, 0.5, -0.25); },
     "ProbabilitySumError"},
    {"bit depth larger than written", 2, 1, [](BgenFile& f) { last(f).faults.bitsByte = 9; }, "BGenError"},
    {"value counts that overflow", 2, 0, [](BgenFile& f) { last(f).faults.dataAlleleCount = 0xFFFF; }, "BGenError"},
    {"ploidy bytes of 63", 2, 0,
     [](BgenFile& f) {
         last(f).faults.dataAlleleCount = 300;
         last(f).faults.maxPloidy = 63;
         for (auto& s : last(f).samples) s = BgenSampleProbs{{}, 63, true};
     },
     "BGenError"},
};

void PrintTo(const Corruption& c, std::ostream* os) { *os << c.name; }

// Makes any allocation of a length taken unchecked from a file fail in this process (not under
// AddressSanitizer, which reserves far more address space for itself).
void limitAddressSpace() {
#ifndef __SANITIZE_ADDRESS__
    const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
    setrlimit(RLIMIT_AS, &limit);
#endif
}

class BgenCorruption : public ::testing::TestWithParam<Corruption> {};

TEST_P(BgenCorruption, EndsWithTheExpectedReport) {
    const Corruption& c = GetParam();
    TempDir dir;
    BgenFile file;
    file.layout = c.layout;
    file.compression = c.compression;
    for (const char* rsid : {"rs1", "rs2"}) {
        BgenVariant variant;
        variant.rsid = rsid;
        variant.samples = {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1)};
        file.variants.push_back(variant);
    }
    c.spoil(file);
    const std::string path = dir.file("bad.bgen");
    std::vector<BgenVariantPlace> places;
    try {
        places = writeBgen(path, file);
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
    const ProcessResult result = runInChild([&] {
        limitAddressSpace();
        try {
            decode(path, places);
        } catch (const bgen::BGenError& e) {
            std::cout << e.what();
            return;
        }
        std::cout << "decoded";
    });
    if (c.message == "BGenError" || c.message == "ProbabilitySumError") {
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.message);
    } else {
        EXPECT_EQ(result.status, 1) << result.out;
        EXPECT_EQ(result.out, "");
        std::string message = c.message;
        const std::size_t at = message.find('@');
        if (at != std::string::npos) message.replace(at, 1, path);
        EXPECT_EQ(result.err, "Error : " + message + "\n\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BgenCorruption, ::testing::ValuesIn(corruptions),
                         [](const ::testing::TestParamInfo<Corruption>& param) {
                             std::string name;
                             for (const char* p = param.param.name; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
