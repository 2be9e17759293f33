// Test-side reading and building of BCOR correlation files, written from the format's byte
// table alone (no production code), so that a mistake shared with the program still shows.
// Plain functions over byte strings; safe to use from any test thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/snprecord.h"

using BcorSnp = SnpRecord;

// Every field of a BCOR file as stored.
struct BcorImage {
    std::string magic;
    uint64_t fileSize = 0;
    uint32_t nSamples = 0;
    uint32_t nSNPs = 0;
    uint8_t code = 0;
    uint64_t offset = 0;
    std::vector<uint32_t> recordLengths;
    std::vector<BcorSnp> snps;
    std::vector<uint64_t> codes;  // one per pair (i, j), i < j, row by row
};

// Byte width of one stored correlation for code 0..3.
unsigned bcorTestWidth(uint8_t code);

// Parses a whole file; throws std::runtime_error naming the first inconsistency.
BcorImage parseBcor(const std::string& bytes);

// The bytes of a consistent file: record lengths, offset and size are computed from the rest
// (a code above 3 stores its values 4 bytes wide).
std::string buildBcor(uint32_t nSamples, uint8_t code, const std::vector<BcorSnp>& snps,
                      const std::vector<uint64_t>& codes);

// Little-endian helpers for crafting and patching files in tests.
void putLE(std::string& bytes, std::size_t offset, uint64_t value, unsigned width);
void appendLE(std::string& bytes, uint64_t value, unsigned width);
uint64_t getLE(const std::string& bytes, std::size_t offset, unsigned width);
