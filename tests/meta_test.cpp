#include "meta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/snpmeta.h"

TEST(MetaRecord, GoldenBytes) {
    const std::vector<uint8_t> expected = {0x07, 0x00, 0x00, 0x00, 0x03, 0x00, 'r',  's',  '1',
                                           0x64, 0x00, 0x00, 0x00, 0x01, 0x00, '1',  0x01, 0x00,
                                           0x00, 0x00, 'A',  0x01, 0x00, 0x00, 0x00, 'C'};
    EXPECT_EQ(snpMeta("rs1", "1", 100, "A", "C").toBuffer(7), expected);
}

TEST(MetaRecord, WideValuesAndEmptyTexts) {
    const std::vector<uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(snpMeta("", "", 2147483648u, "", "").toBuffer(4294967295u), expected);
}

TEST(MetaRecord, LongestTextsFitTheirLengthFields) {
    const std::string rsid(65535, 'r');
    const std::vector<uint8_t> record = snpMeta(rsid, std::string(65535, 'c'), 1, "AT", "G").toBuffer(0);
    ASSERT_EQ(record.size(), 20u + 65535 + 65535 + 2 + 1);
    EXPECT_EQ(record[4], 0xFF);
    EXPECT_EQ(record[5], 0xFF);
    EXPECT_EQ(std::string(record.begin() + 6, record.begin() + 6 + 65535), rsid);
}

TEST(MetaRecord, TooLongTextIsReported) {
    const Meta cases[] = {
        snpMeta(std::string(65536, 'r'), "1", 1, "A", "C"),
        snpMeta("rs1", std::string(65536, 'c'), 1, "A", "C"),
    };
    for (const Meta& meta : cases) {
        const ProcessResult r = runInChild([&] { meta.toBuffer(0); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error : Failed to write meta information!\n\n");
    }
}

TEST(Meta, Ordering) {
    const struct {
        Meta before;
        Meta after;
    } cases[] = {
        // Texts compare byte by byte: "10" before "2", "rs10" before "rs2".
        {snpMeta("rs1", "10", 1, "A", "C"), snpMeta("rs1", "2", 5, "A", "C")},
        {snpMeta("rs1", "2", 99, "A", "C"), snpMeta("rs1", "2", 100, "A", "C")},
        {snpMeta("rs1", "9", 9, "T", "T"), snpMeta("rs10", "1", 1, "A", "A")},
        {snpMeta("rs10", "9", 9, "T", "T"), snpMeta("rs2", "1", 1, "A", "A")},
        // The rsid decides before the chromosome, the chromosome before the position.
        {snpMeta("rsA", "2", 1, "A", "C"), snpMeta("rsB", "1", 1, "A", "C")},
        {snpMeta("rs1", "1", 500, "A", "C"), snpMeta("rs1", "X", 1, "A", "C")},
        // Positions are unsigned.
        {snpMeta("rs1", "1", 2147483647u, "A", "C"), snpMeta("rs1", "1", 2147483648u, "A", "C")},
        {snpMeta("rs1", "1", 5, "A", "C"), snpMeta("rs1", "1", 4294967295u, "A", "C")},
        // Alleles: first allele, then the second; a proper prefix sorts first.
        {snpMeta("rs1", "1", 5, "A", "T"), snpMeta("rs1", "1", 5, "C", "A")},
        {snpMeta("rs1", "1", 5, "A", "C"), snpMeta("rs1", "1", 5, "A", "G")},
        {snpMeta("rs1", "1", 5, "A", "C"), snpMeta("rs1", "1", 5, "AT", "C")},
        {snpMeta("", "1", 5, "A", "C"), snpMeta("r", "1", 5, "A", "C")},
        // Bytes are unsigned: 0x80 sorts after every ASCII byte, case matters.
        {snpMeta("rs~", "1", 5, "A", "C"), snpMeta("rs\x80", "1", 5, "A", "C")},
        {snpMeta("RS1", "1", 5, "A", "C"), snpMeta("rs1", "1", 5, "A", "C")},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.before < c.after) << c.before.rsid << " " << c.before.chromosome << " " << c.before.position;
        EXPECT_FALSE(c.after < c.before) << c.after.rsid;
        EXPECT_FALSE(c.before == c.after);
    }
    const Meta a = snpMeta("rs1", "1", 5, "A", "C");
    EXPECT_TRUE(a == snpMeta("rs1", "1", 5, "A", "C"));
    EXPECT_FALSE(a < snpMeta("rs1", "1", 5, "A", "C"));
}

TEST(SnpIndex, BothSidesUniqueAndLookedUpEitherWay) {
    SnpIndex index;
    const Meta a = snpMeta("rs2", "1", 10, "A", "C");
    const Meta b = snpMeta("rs1", "1", 20, "A", "C");
    EXPECT_TRUE(index.insert(SnpIndex::value_type(a, 0)).second);
    EXPECT_TRUE(index.insert(SnpIndex::value_type(b, 1)).second);
    EXPECT_FALSE(index.insert(SnpIndex::value_type(a, 2)).second);
    EXPECT_FALSE(index.insert(SnpIndex::value_type(snpMeta("rs3", "1", 1, "A", "C"), 1)).second);
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index.left.at(b), 1u);
    EXPECT_TRUE(index.right.at(0) == a);
    // The left side is in Meta order.
    EXPECT_TRUE(index.left.begin()->first == b);
}
