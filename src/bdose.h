// Bdose: the BDOSE dosage-file writer, and the pieces of the format shared with the readers:
// the header in memory (Bdose::Context), the version probe, the dosage of one sample from its
// genotype probabilities, the standardisation of one SNP and the integer dosage codes.
//
// One Bdose writes one dataset's file: init once, then exactly one of write_v10 and write_v11.
// Those two run their own OpenMP regions and must be called from one thread; the static
// helpers keep no state and may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bgen/bgen.h"
#include "bgenindexparser.h"
#include "binio.h"
#include "meta.h"
#include "sampleparser.h"

class Bdose {
public:
    // The header of a BDOSE file in memory. The writer's owner fills every field but bdoseSize
    // and the three 1.1 positions, which the writer works out and patches into the file.
    struct Context {
        std::vector<uint8_t> firstBytes;      // the first min(BGEN size, 1000) bytes of the BGEN file
        std::string bgenPath;                 // as written in the master file
        std::string bdosePath;                // the writer's output (unused by the readers)
        std::string bgiPath;                  // the writer's BGEN index, named in messages
        std::array<char, 8> magicNumber{};    // "bdose1.0" or "bdose1.1", no terminator
        uint32_t numSamples = 0;              // N, included samples
        uint32_t numSNPs = 0;                 // M
        uint64_t bdoseSize = 0;               // size of the BDOSE file as recorded in its header
        uint64_t bgenSize = 0;                // size of the BGEN file in bytes
        uint64_t dosageStart = 0;             // 1.1: position of the first dosage block
        uint64_t offsetTableStart = 0;        // 1.1: position of the offset table
        uint64_t sampleIdStart = 0;           // 1.1: position of the sample-ID block
        uint8_t version = 0;                  // 0 for 1.0, 1 for 1.1
        uint8_t compression = 0;              // 1.1: dosage code of the blocks (0 to 3)
    };

    // What one first-pass thread of the 1.1 writer wrote into its part file: its pieces (SNP
    // number, bytes the piece occupies) in the order written, and where each piece goes.
    struct Ordering {
        uint32_t count = 0;
        std::vector<std::pair<uint32_t, uint64_t>> written;
        std::vector<std::pair<uint32_t, uint64_t>> sorted;  // written, by SNP number
        std::vector<uint64_t> partOffsets;                  // position in the part file, written order
        std::vector<uint64_t> finalOffsets;                 // position in the BDOSE file, sorted order
    };

    // An integer dosage code: a dosage d in [0, 2] is stored as trunc(d * 2^exponent) in `width`
    // bytes, little-endian; a missing dosage as `sentinel` (3.25 * 2^exponent).
    struct DosageCode {
        uint32_t width;
        int exponent;
        uint64_t sentinel;
    };
    // The code with number `compression` (0 low, 1 medium, 2 high, 3 ultra-low), or nullptr.
    static const DosageCode* dosageCode(uint8_t compression);

    // Copies the thread count and the inputs: the Context, the BGEN block of every SNP (entry i
    // for SNP i), the SNP index and the included samples (N of them, in column order).
    void init(uint32_t threads, const Context& bdoseContext, const std::vector<BgenIndex>& indexes,
              const SnpIndex& index, const SampleList& includedSamples);

    // Writes the whole file named by the Context's bdosePath, as version 1.0 or 1.1. Every
    // failure ends the run with an error; "done!" is printed only for a complete file.
    void write_v10();
    void write_v11();

    // The part files of the first `count` threads of the 1.1 writer of `bdosePath`: the meta parts
    // "<bdosePath>.meta.tmp<t>", then the dosage parts "<bdosePath>.bdose.tmp<t>", t = 0 .. count-1.
    static std::vector<std::string> partFiles(const std::string& bdosePath, uint64_t count);
    // "Part file 'P' of BDOSE file 'B' is a symbolic link!": part files are never opened through a
    // link, which could point at any file.
    static std::string partFileLinkMessage(const std::string& partPath, const std::string& bdosePath);

    // The version of the BDOSE file at `path`: 0 or 1, also stored through `version`. A file that
    // cannot be opened, is 8 bytes or shorter, or has no BDOSE magic ends the run.
    int32_t readVersion(const std::string& path, int32_t* version) const;
    // The same check; returns the magic's last character, '0' or '1'.
    static char readVersion(const std::string& path);

    // row[j] := the expected count of the second allele of included sample j (samples[j].first
    // is its 0-based BGEN index): (2 p2 + p1) / (p0 + p1 + p2), NaN when any value is -1.0.
    // Every listed sample must have three values.
    static void computeDosages(const genfile::bgen::ProbabilityTable& probabilities, const SampleList& samples, double* row);

    // Mean and SD of row[0 .. n-1] as computeWelfordMeanSD (floatscaler.h) gives them; adds the
    // number of missing values to *missing. The row is then rewritten with standardiseRow.
    static void computeMeanSD(uint32_t n, const double* row, double* mean, double* sd, uint32_t* missing);

    // Encodes dosages[0 .. n-1] in the code `compression` into `out`, which must already hold
    // n * width bytes. An invalid code ends the run with "Invalid compression setting!".
    static void writeDosagesToBuffer(uint8_t compression, const double* dosages, std::vector<uint8_t>* out);

private:
    // A part file of the 1.1 writer: created (truncated) by its first pass and kept open, so
    // that the second pass reads exactly the bytes this run wrote and never an older file. A
    // symbolic link at its path is not followed: the run ends instead.
    struct PartFile {
        std::string path;
        binio::FileDescriptor fd;
        uint64_t size = 0;
        // Writes `bytes` bytes at the end; a failure ends the run.
        void append(const void* data, std::size_t bytes);
    };
    struct Worker;

    // The threads of the first-pass regions, and so the number of part files and dosage rows in
    // use at once: teamSize(nThreads, M).
    int team() const;
    // Opens the output stream on the file with open(2) `flags` and stream `mode`. The file is
    // written at positions: a FIFO or a socket at its path ends the run, unopened. Other open
    // failures are reported where the stream is first checked.
    void openStream(int flags, std::ios::openmode mode);
    // Writes the header and makes sure it is written (1.0: flushed, 1.1: closed) before the
    // stage says "done!".
    void writeHeader();
    // Ends the run with "Failed to " + what + " file '<path>'!" when the output stream failed.
    void checkStream(const std::string& what) const;
    // Flushes the output stream, then checkStream(what): a stage's bytes are with the system
    // before it says "done!".
    void flushStream(const std::string& what);
    // Closes the output stream; a failed close ends the run as checkStream(what) does.
    void closeStream(const std::string& what);
    void writeFilesize();
    void initDosageBuffer();
    // SNP n's record (u32 length not included), from the SNP index.
    std::vector<uint8_t> metaRecord(uint32_t n) const;

    // Opens the calling thread's BGEN stream and reads the header; a failure ends the run.
    void initBgen(Worker* worker) const;
    // Reads the genotype probabilities of the variant at the stream's position, after its
    // identifying data, into worker->probabilities.
    void readProbs(Worker* worker) const;
    uint32_t maxSampleIndex() const;
    // Reads SNP n's variant at its indexed position, checks that every sample is diploid and
    // writes the N raw dosages to `row`.
    void readDosages(uint32_t n, Worker* worker, double* row) const;

    void writeMeta_v10();
    void writeEmptyMissingnessOffsets_v10();
    void writeDosages_v10();
    void writeMissingnessOffsets_v10();

    // `suffix` is ".meta.tmp" or ".bdose.tmp".
    std::vector<PartFile> createPartFiles(const char* suffix, std::size_t count) const;
    void writeMeta_v11(uint64_t* sampleIdPosition);
    void writeMetaSNP_v11(std::vector<PartFile>* parts);
    void writeSampleIDs_v11();
    // Reserves the offset table; write_v11 ends the stage once the stream is closed.
    void writeEmptyOffsets_v11();
    void writeDosages_v11();
    // Compresses one SNP's encoded dosages into a block with the worker's zstd context, appends
    // it to `part` and records it in `ordering`.
    void writeCompressedBufferToStream(uint32_t snp, const std::vector<uint8_t>& buffer, Worker* worker,
                                       PartFile* part, Ordering* ordering) const;
    // Second pass of one section: works out every piece's place from `base` on and copies the
    // pieces of each part file there. Returns the section's size in bytes.
    uint64_t mergeParts(std::vector<Ordering>& orderings, const std::vector<PartFile>& parts, uint64_t base,
                        const std::string& prefix);
    void writeBufferToStreamMPI(const Ordering& ordering, const PartFile& part,
                                const binio::FileDescriptor& out) const;
    void writeOffsets_v11();

    Context context;
    uint32_t nThreads = 1;
    std::vector<Ordering> dosageOrderings;
    std::vector<Ordering> metaOrderings;
    uint64_t sizeFieldPos = 0;
    SnpIndex snpIndex;
    std::vector<uint32_t> missingCounts;
    uint64_t headerEnd = 0;
    uint64_t sampleIdSlot = 0;
    uint64_t sampleIdStart = 0;
    uint64_t offsetTableSlot = 0;
    uint64_t offsetTableStart = 0;
    uint64_t dosageStart = 0;
    uint64_t dosageStartSlot = 0;
    uint64_t missingnessStart = 0;
    uint64_t rowsStart = 0;
    std::vector<uint64_t> rowOffsets;
    std::vector<BgenIndex> bgenIndexes;
    binio::DescriptorStream bdoseStream;
    SampleList samples;
    std::vector<double> dosageBuffer;
};
