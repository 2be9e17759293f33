// BdoseMapper: the memory-mapped reader of BDOSE 1.0 dosage files. It owns the file's header,
// its missingness and offset tables, a read-only file mapping, the mapped region of the one
// row handed out last and the guard of that region. init reads and checks the file against the
// Z file once; memmapFile opens the mapping; mapRegion then maps one SNP's row of standardised
// doubles at a time. A file cut short while its rows are read ends the run with a report
// naming it instead of a SIGBUS.
//
// One thread at a time, except getMissingness, which only reads and may be called from
// several threads once init has run.
#pragma once

#include <boost/interprocess/file_mapping.hpp>
#include <boost/interprocess/mapped_region.hpp>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "bdose.h"
#include "bdoseparser.h"
#include "mapguard.h"
#include "meta.h"

class BdoseMapper {
public:
    // Reads and checks `bdoseFile` against the SNPs of `snpIndex` (the Z file `zFile`): the file
    // must hold exactly the Z file's SNPs in Z-file order and exactly `nSamples` samples (a 1.0
    // file stores no sample IDs, so it cannot select samples). The index numbers its SNPs 0 to
    // size - 1, as the Z-file reader builds it.
    void init(const std::string& bdoseFile, const std::string& zFile, const SnpIndex& snpIndex, uint32_t nSamples);

    // Opens the read-only file mapping and takes the guard of its rows; only after init.
    void memmapFile();

    // Maps the row of SNP n (0-based): N doubles, the file's samples in file order, standardised.
    // The pointer, also stored in `row`, stays valid until the next call or the mapper's end.
    // The row is not 8-byte aligned in general: copy it out with memcpy, do not index it.
    const double* mapRegion(uint32_t n, const double*& row);

    // The missing fraction of SNP n: its stored missing count divided by N.
    double getMissingness(uint32_t n) const;

    const Bdose::Context& header() const { return context; }
    // The bytes mapped per row: N * 8 raised to a whole number of pages.
    uint64_t bytesPerRow() const { return rowSpan; }

private:
    // Reads a 1.0 header from a stream at the start of the file into `bdoseContext`.
    void readHeader(std::istream& stream, const std::string& path, Bdose::Context& bdoseContext) const;
    void readMeta(bdoseread::CheckedInput& in, const SnpIndex& snpIndex) const;
    // Record i must describe SNP i of the Z file.
    void bufferToMeta(uint32_t i, const Meta& record, const SnpIndex& snpIndex) const;
    void readMissingness(bdoseread::CheckedInput& in);
    // Entry i must be the fixed position of row i, D + i * N * 8 (D right after the table).
    void readOffsets(bdoseread::CheckedInput& in);
    [[noreturn]] void invalid(const std::string& what) const;

    Bdose::Context context;
    std::string bdoseFile;
    boost::interprocess::file_mapping fileMapping;
    std::vector<uint32_t> missingCounts;
    std::vector<uint64_t> rowOffsets;
    boost::interprocess::mapped_region currentRow;
    // Covers currentRow. Declared after it: it stops covering the region before the region goes.
    mapguard::Guard rowGuard;
    uint64_t rowSpan = 0;
    std::string zFile;
    uint32_t state = 0;
    uint64_t pageSize = 0;
    uint64_t fileSize = 0;
};
