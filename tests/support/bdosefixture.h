// Test fixtures: a BDOSE 1.0 / 1.1 file writer written from the format's byte tables, sharing no
// code with the program's readers or writer. It builds the whole file in memory and reports
// where every field lies, so that tests can overwrite single fields or cut the file short to
// make malformed files. Plain functions and values; one test thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "meta.h"
#include "support/process.h"

// One SNP of a fixture file.
struct BdoseFixtureSnp {
    std::string rsid;
    std::string chromosome;
    uint32_t position = 0;
    std::string allele1;
    std::string allele2;
    // 1.1: the raw dosages of the file's samples (NaN = missing), encoded with the file's code.
    // 1.0: the row as stored (already standardised), one double per sample.
    std::vector<double> dosages;
    uint32_t missing = 0;                               // 1.0: the missingness-table entry
    std::string recordTail;                             // extra bytes at the end of the record
    std::optional<std::vector<uint8_t>> frame;          // 1.1: replaces the zstd frame of the block
    std::optional<uint32_t> uncompressedSize;           // 1.1: replaces U of the block
};

// A SNP on chromosome 1 with alleles A and G.
BdoseFixtureSnp fixtureSnp(const std::string& rsid, uint32_t position, std::vector<double> dosages,
                           uint32_t missing = 0);

// The SNP index of a Z file listing `snps` in this order.
SnpIndex zIndex(const std::vector<BdoseFixtureSnp>& snps);

struct BdoseFixture {
    bool v11 = true;                     // version 1.1, else 1.0
    std::string magic;                   // empty: "bdose1.1" or "bdose1.0"
    std::string bgenPath = "data.bgen";
    uint64_t bgenSize = 600;             // the first min(bgenSize, 1000) bytes are patterned
    uint8_t compression = 1;             // 1.1 only
    uint32_t numSamples = 0;             // N
    std::vector<std::string> sampleIds;  // 1.1: empty means "S1" .. "SN"
    std::vector<BdoseFixtureSnp> snps;   // in file order; record i holds SNP number i
};

// Where the fields of a built file lie (absolute byte offsets).
struct BdoseLayout {
    uint64_t bgenPathLength = 0;
    uint64_t bdoseSizeField = 0;
    uint64_t numSamplesField = 0;
    uint64_t numSnpsField = 0;
    uint64_t compressionField = 0;     // 1.1
    uint64_t sampleIdStartField = 0;   // 1.1
    uint64_t offsetTableStartField = 0;
    uint64_t dosageStartField = 0;     // 1.1
    uint64_t headerEnd = 0;
    std::vector<uint64_t> records;     // each record's u32 length
    uint64_t sampleIds = 0;            // 1.1: the sample-ID block
    uint64_t missingTable = 0;         // 1.0
    uint64_t offsetTable = 0;
    std::vector<uint64_t> blocks;      // 1.1: dosage blocks; 1.0: rows
};

struct BdoseImage {
    std::vector<uint8_t> bytes;
    BdoseLayout layout;

    void putU8(uint64_t at, uint8_t value);
    void putU32(uint64_t at, uint32_t value);
    void putU64(uint64_t at, uint64_t value);
    void truncate(uint64_t size);
    // Writes the bytes to `path`; returns `path`.
    std::string save(const std::string& path) const;
};

BdoseImage buildBdose(const BdoseFixture& fixture);

// The stored integer of dosage d under `code` (0 low, 1 medium, 2 high, 3 ultra-low): NaN gives
// the sentinel 3.25 * 2^k, otherwise trunc(d * 2^k).
uint64_t encodeFixtureDosage(uint8_t code, double d);
// Bytes per value of `code`.
uint32_t fixtureCodeWidth(uint8_t code);

// `text` with its first "'P'" (a placeholder in tables of expected messages) replaced by the
// quoted `path`; unchanged when it has none.
std::string namingPath(std::string text, const std::string& path);

// Round trips through the program's own writer (not a fixture: it runs the production code).
// Writes `dir`/data.bgen, a layout-2 BGEN file whose SNPs are `snps` with hard calls (each
// dosage 0, 1 or 2; NaN for a missing sample), then `bdosePath` from it with the program's BDOSE
// writer on `threads` threads in a child process, every sample included as "S1" .. "SN".
ProcessResult writeBdoseWithProgram(const std::string& dir, const std::vector<BdoseFixtureSnp>& snps, bool v11,
                                    uint8_t compression, uint32_t threads, const std::string& bdosePath);
