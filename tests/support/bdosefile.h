// Test-side reader of BDOSE 1.0 and 1.1 files, written from the format's byte tables and
// sharing no code with the program, so that a mistake shared by writer and reader still shows.
// It parses a whole file held in memory and checks every length, position and size it meets;
// any inconsistency throws std::runtime_error. Plain values; one test thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/snprecord.h"

// One SNP record of the meta block.
using BdoseSnpRecord = SnpRecord;

struct BdoseFileContent {
    // Header, both versions.
    std::string magic;
    std::string bgenPath;
    uint64_t bgenSize = 0;
    std::vector<uint8_t> firstBytes;
    uint64_t recordedSize = 0;
    uint32_t numSamples = 0;
    uint32_t numSNPs = 0;
    uint64_t headerEnd = 0;
    // Header, version 1.1.
    uint8_t compression = 0;
    uint64_t sampleIdStart = 0;
    uint64_t offsetTableStart = 0;
    uint64_t dosageStart = 0;

    std::vector<BdoseSnpRecord> snps;

    // Version 1.0 body.
    std::vector<uint32_t> missing;
    std::vector<uint64_t> rowOffsets;
    std::vector<std::vector<double>> rows;

    // Version 1.1 body: sample IDs, block positions, and each block's stored integers.
    std::vector<std::string> sampleIds;
    std::vector<uint64_t> blockOffsets;
    std::vector<std::vector<uint64_t>> codes;
};

// Parses the file `bytes` (its whole content); the version comes from the magic.
BdoseFileContent parseBdoseFile(const std::string& bytes);

// The dosage that integer `value` of compression code `code` stands for (NaN for the sentinel).
double decodeBdoseDosage(uint8_t code, uint64_t value);
