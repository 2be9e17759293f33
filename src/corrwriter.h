// Writes one dataset's correlations to one output file: a BCOR file (header, SNP records and the
// packed upper triangle as fixed-width codes) or an LD text file (the full matrix, or the vector
// of chosen SNPs against all SNPs). Owns its output stream; one writer per file, used from the
// driver thread (denseData encodes and writes the BCOR block, and matrix formats its rows, on
// OpenMP threads of their own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binio.h"
#include "flag.h"
#include "meta.h"

class CorrWriter {
public:
    // What the writer writes: a BCOR file, which is written at positions and so can never be a
    // FIFO or a socket, or LD text, which may also stream into one.
    enum class Output { bcor, text };

    // Stores the counts and options and creates (or empties) `fileName`, opened once for the
    // stream. A file that does not open (for a BCOR file: one that cannot be written at
    // positions, refused without waiting for a reader), or a compression code above 3, ends
    // the run.
    CorrWriter(uint32_t nSNPs, uint32_t nSamples, uint32_t nThreads, uint8_t compression, RsIDs rsids,
               const std::string& fileName, Output output);
    CorrWriter(CorrWriter&&) = default;
    CorrWriter& operator=(CorrWriter&&) = default;
    CorrWriter(const CorrWriter&) = delete;
    CorrWriter& operator=(const CorrWriter&) = delete;

    // Writes the BCOR header and one record per SNP number 0 .. M-1 of `snpIndex`, and closes
    // the stream (denseData writes the rest with positional writes).
    void header(const SnpIndex& snpIndex);
    // Writes the correlation block (R: the M(M-1)/2 values of the packed upper triangle) after
    // the header and patches the file size. R is overwritten by the codes. Call after header.
    void denseData(double* R);
    // Encodes R in place on teamSize(nThreads, pairs) threads and writes the block with
    // positional writes.
    void corrToStream(double* R);
    // Stores the code of r (limited to [-1, 1]; NaN gives the sentinel) at *cursor, advances it.
    void convertAndWriteToBuffer(double r, uint8_t** cursor) const;
    // The binary record of SNP `number`.
    std::vector<uint8_t> metaToBuffer(uint32_t number, const Meta& meta) const;

    // Writes the M x M LD matrix text from the packed upper triangle R and closes the file. Rows
    // are formatted on teamSize(nThreads, M) threads; the text does not depend on the thread count.
    void matrix(const double* R);
    // Writes the LD vector text of the --rsids identifiers against every SNP of `snpIndex` and
    // closes the file. engineLayout: R holds K rows of M values; otherwise M rows of K values.
    void vector(const std::vector<double>& R, const SnpIndex& snpIndex, bool engineLayout);

    uint64_t fileSize = 0;
    uint64_t fileSizePos = 0;
    uint64_t dataOffset = 0;
    uint8_t compression = 0;
    std::string fileName;
    uint32_t nThreads = 1;
    uint64_t nSamples = 0;
    uint64_t nSNPs = 0;
    binio::DescriptorStream stream;
    RsIDs rsids;

private:
    // Ends the run when `stream` is in a failed state.
    void checkStream() const;
    // Closes `stream`; a failed close ends the run.
    void closeStream();
    // Writes the file size into the size field of the finished file.
    void patchFileSize();
};

// Width in bytes of one stored correlation for compression code 0 to 3 (2, 4, 8, 1); 0 for any
// other code.
unsigned bcorCodeWidth(uint8_t compression);

// Appends the text form of an LD value (general notation, 6 significant digits; "nan" for every
// NaN) to `out`.
void appendLdValue(std::string& out, double value);
