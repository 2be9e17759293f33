// Test fixtures: writes BGEN genotype files (layouts 1 and 2; blocks plain, zlib or zstd; with
// or without the sample-identifier block) from a matrix of genotype probabilities, written from
// the format's byte tables and sharing no code with the reader. Hooks write malformed fields.
// Also writes the matching .bgi index through the .bgi fixture writer.
// Failures throw std::runtime_error. Plain values; one test thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One sample of one variant.
struct BgenSampleProbs {
    // All probabilities of the sample, implied ones included: unphased, one per genotype
    // (C(ploidy + K - 1, K - 1) values; AA, AB, BB for a diploid with two alleles); phased,
    // K per haplotype (ploidy * K values). Layout 1 takes exactly 3 values.
    std::vector<double> probs;
    uint8_t ploidy = 2;    // layout 2 only
    bool missing = false;  // layout 1 writes 0, 0, 0
};

// Malformed fields of one variant; an empty optional writes the correct value.
struct BgenVariantFaults {
    std::optional<uint32_t> leadingSampleCount;  // layout 1: the count before the identifier
    std::optional<uint16_t> rsidLength;          // length field of the rsid
    std::optional<uint32_t> allele0Length;       // length field of the first allele
    std::optional<uint16_t> alleleCount;         // layout 2: K in the identifying data
    // Layout 2: the alleles written in the identifying data (K counts them) in place of
    // `alleles`, which still shape the probability data.
    std::optional<std::vector<std::string>> identifyingAlleles;
    std::optional<uint32_t> storedLength;        // C, the stored block's length field
    bool omitStoredLength = false;               // layout 1 compressed: write no C field at all
    std::optional<uint32_t> decompressedLength;  // D of a compressed layout-2 block
    std::optional<uint32_t> dataSampleCount;     // layout 2: N inside the probability data
    std::optional<uint16_t> dataAlleleCount;     // layout 2: K inside the probability data
    std::optional<uint8_t> minPloidy;            // layout 2
    std::optional<uint8_t> maxPloidy;            // layout 2
    std::optional<uint8_t> phasedByte;           // layout 2
    std::optional<uint8_t> bitsByte;             // layout 2: B as written (values packed with the real B)
    uint32_t dropDataBytes = 0;                  // cut from the end of the probability data, before compression
    uint32_t dropStoredBytes = 0;                // cut from the end of the stored block (C counts them)
    std::optional<std::vector<uint8_t>> storedBlock;  // replaces the stored block bytes after C (C follows them)
};

struct BgenVariant {
    std::string varid;
    std::string rsid;
    std::string chromosome;
    uint32_t position = 0;
    std::vector<std::string> alleles{"A", "G"};  // layout 1 needs exactly two
    bool phased = false;                          // layout 2 only
    std::vector<BgenSampleProbs> samples;        // one per sample, file order
    BgenVariantFaults faults;
};

// Malformed header fields; an empty optional writes the correct value.
struct BgenHeaderFaults {
    std::optional<uint32_t> offset;
    std::optional<uint32_t> headerLength;     // L_H as written (the free data keep their size)
    std::optional<uint32_t> numberOfVariants;
    std::optional<uint32_t> numberOfSamples;  // N of the header
    std::optional<std::string> magic;         // 4 bytes
    std::optional<uint32_t> flags;            // the whole flags word
    std::optional<uint64_t> truncateTo;       // cut the finished file to this many bytes
};

struct BgenFile {
    uint32_t layout = 2;       // 1 or 2
    uint32_t compression = 0;  // 0 none, 1 zlib, 2 zstd
    uint32_t bits = 8;         // layout 2: bits per stored probability, 1 to 32
    std::string freeData;
    // Written as the sample-identifier block (flag bit 31) when not empty; one per sample.
    std::vector<std::string> sampleIds;
    std::vector<BgenVariant> variants;
    BgenHeaderFaults faults;
};

// Where a variant stands in the file, as a .bgi records it.
struct BgenVariantPlace {
    uint64_t file_start_position = 0;  // first byte of the identifying data
    uint64_t size_in_bytes = 0;        // identifying data and genotype data block together
};

struct BgenImage {
    std::vector<uint8_t> bytes;
    std::vector<BgenVariantPlace> places;  // one per variant
};

// The number of samples of `file`: that of its first variant, else its sample identifiers.
uint32_t bgenSampleCount(const BgenFile& file);

// Builds the file in memory.
BgenImage buildBgen(const BgenFile& file);

// Writes the file to `path`; returns each variant's place.
std::vector<BgenVariantPlace> writeBgen(const std::string& path, const BgenFile& file);

// Writes the file to `bgenPath` and its index to `bgiPath`: a Metadata row with the file name,
// its size and its first min(size, 1000) bytes, and one Variant row per variant (rsid,
// chromosome, position, first and second allele, place). Returns the places.
std::vector<BgenVariantPlace> writeBgenWithIndex(const std::string& bgenPath, const std::string& bgiPath,
                                                 const BgenFile& file);

// A diploid, biallelic, unphased sample with probabilities AA, AB, BB.
BgenSampleProbs diploid(double pAA, double pAB, double pBB);
// A missing diploid, biallelic sample.
BgenSampleProbs missingDiploid();
