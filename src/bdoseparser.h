// BdoseParser: the stream reader of BDOSE 1.1 dosage files, and the header probes of BDOSE
// files used by the master-file checks. One parser owns one open stream on its file, the
// file's header, the matching of the file's SNPs to the Z file's, the included samples and
// its scratch buffers; after initBdose it decodes one SNP's dosage block per call.
//
// A parser belongs to one thread at a time: the loader opens one per thread and the engine's
// thread t reads through parser t only. The probes keep no state.
//
// Also here: the checked reads of BDOSE files shared with the 1.0 reader (namespace bdoseread).
#pragma once

#include <boost/bimap.hpp>
#include <boost/bimap/set_of.hpp>
#include <zstd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bdose.h"
#include "meta.h"
#include "sampleparser.h"

namespace bdoseread {

// Reads from a stream on a BDOSE file and checks every read against the bytes left in the
// file: a read that cannot be satisfied ends the run with
// "BDOSE file '<path>' is cut short in its <section>!". One reader per stream and thread.
class CheckedInput {
public:
    // The stream's current position and the file's size are taken once, here.
    CheckedInput(std::istream& stream, const std::string& path);

    // Bytes between the current position and the end of the file.
    uint64_t left() const { return size - position; }
    uint64_t tell() const { return position; }
    uint64_t fileSize() const { return size; }

    void bytes(void* data, uint64_t count, const char* section);
    // Advances over `count` bytes without reading them.
    void skip(uint64_t count, const char* section);
    std::string text(uint64_t length, const char* section);

    template <class T>
    T value(const char* section) {
        uint8_t raw[sizeof(T)];
        bytes(raw, sizeof raw, section);
        return binio::loadLE<T>(raw);
    }

    // Ends the run with the cut-short message for `section`.
    [[noreturn]] void cutShort(const char* section) const;

private:
    std::istream& stream;
    const std::string& path;
    uint64_t position = 0;
    uint64_t size = 0;
};

// Ends the run with "BDOSE file '<path>' is cut short in its <section>!".
[[noreturn]] void cutShort(const std::string& path, const std::string& section);

// True when the 8 bytes are "bdose1." followed by '0' or '1'.
bool isMagic(const char* bytes);

// Reads the 8 bytes of the magic number; a file too short for one or with another magic ends the
// run with "File '<path>' is not a file from Tesmaro!".
std::array<char, 8> readMagic(CheckedInput& in, const std::string& path);

// Reads the magic number, which must be that of version 1.`version` (0 or 1), else the run ends
// with "File '<path>' is not a file of v1.<version> from Tesmaro!"; then the header fields common
// to both versions: BGEN path, BGEN size, first bytes, BDOSE size, N and M. Sets the context's
// magic number and version.
void readCommonHeader(CheckedInput& in, const std::string& path, uint8_t version, Bdose::Context& context);

// Reads the u32 length and the bytes of the record of BDOSE SNP `fileSnp` (0-based) from the
// meta block, and decodes it. A record that cannot be decoded exactly, or whose SNP-number field
// is not `fileSnp`, ends the run.
Meta readRecord(CheckedInput& in, const std::string& path, uint32_t fileSnp, std::vector<uint8_t>* scratch);

}  // namespace bdoseread

class BdoseParser {
public:
    // A decoded flag and the number of missing dosages among the included samples.
    using SnpStatus = std::pair<bool, uint32_t>;

    BdoseParser();
    // A parser whose probes name `bdoseFile` in their messages.
    explicit BdoseParser(std::string bdoseFile);
    ~BdoseParser();
    BdoseParser(BdoseParser&&) noexcept;
    BdoseParser& operator=(BdoseParser&&) noexcept;
    BdoseParser(const BdoseParser&) = delete;
    BdoseParser& operator=(const BdoseParser&) = delete;

    // Both forms take the SNP index as the Z-file reader builds it, numbering its SNPs 0 to
    // size - 1.
    //
    // Opens `bdoseFile` and reads it for the SNPs of `snpIndex` (the Z file `zFile`), using every
    // sample of the file, which must hold exactly `nSamples` samples. Every SNP of the Z file
    // must be in the file (matched by identity, in any order; further SNPs are ignored).
    void initBdose(const std::string& bdoseFile, const std::string& zFile, const SnpIndex& snpIndex,
                   uint32_t nSamples);
    // The same, using the `nSamples` samples listed in `inclFile`, in that file's order.
    // `masterFile` names the master file in messages.
    void initBdose(const std::string& masterFile, const std::string& zFile, const std::string& inclFile,
                   const std::string& bdoseFile, const SnpIndex& snpIndex, uint32_t nSamples);

    // Decodes the dosage block of Z-file SNP `snp` (0-based) into out[0 .. k-1], k the number of
    // included samples, standardised (missing values 0.0), and records its missing count in
    // snpStatus at the first decoding.
    void readDosageDataBlock(uint32_t snp, double*& out);

    // Header probes, each reading from the stream's position. A wrong magic number or a file
    // cut short ends the run naming the parser's BDOSE file (or `path`).
    bool readMagicNumber(std::istream& stream) const;
    bool readMagicNumber(std::istream& stream, const std::string& path) const;
    std::string readFilename(std::istream& stream) const;
    uint64_t readFileSize(std::istream& stream) const;
    std::vector<uint8_t> readFirstBytes(std::istream& stream, int64_t n) const;
    // The sample count N of the file, from a stream at its start.
    uint32_t readNumSamples(std::istream& stream, const std::string& path) const;

    // Reads a 1.1 header from a stream at the start of the file into `bdoseContext`. A file
    // that is not BDOSE, or is version 1.0, ends the run.
    void readHeader(std::istream& stream, const std::string& path, Bdose::Context& bdoseContext) const;

    // Reads the u32 length B at the stream's position and the B bytes that follow into *block.
    // `span` is the distance in bytes from the block's start to the next block (or to the end of
    // the file), which the block must fill exactly: B + 4 = span. `fileSnp` (0-based BDOSE SNP
    // number) names the block in messages.
    void readCompressedDosageData(std::istream& stream, uint64_t span, std::vector<uint8_t>* block,
                                  uint32_t fileSnp) const;
    // Decompresses a block read by readCompressedDosageData into *out, which ends up exactly
    // N x width bytes long.
    void uncompressDosageData(const std::vector<uint8_t>& block, std::vector<uint8_t>* out, uint32_t fileSnp);
    // out[i] := the decoded dosage of the i-th included sample (NaN for the missing sentinel).
    // `bytes` holds the file's N values. False when a value is neither the sentinel nor a dosage
    // from 0 to 2.
    bool convertIntegerToFloatDosages(const std::vector<uint8_t>& bytes, double*& out) const;

    // The file's header. Filled by initBdose.
    Bdose::Context context;
    // One entry per Z-file SNP, (false, 0) until this parser first decodes the SNP. The engine
    // reads it after its loading region.
    std::vector<SnpStatus> snpStatus;
    // (position in the file's sample-ID block, sample ID), in the order of the decoded values.
    SampleList includedSamples;

private:
    using SnpMatch = boost::bimap<boost::bimaps::set_of<uint32_t>, boost::bimaps::set_of<uint32_t>>;

    struct DCtxFree {
        void operator()(ZSTD_DCtx* dctx) const;
    };

    // Opens the file, reads its header and checks its SNP count, then its code.
    void openAndReadHeader(const std::string& bdose, const std::string& z, const SnpIndex& snpIndex);
    // Reads the meta block (matching every Z-file SNP), the sample-ID block into `samples`
    // and the offset table.
    void readBody(const SnpIndex& snpIndex, SampleList* samples);
    void readMeta(bdoseread::CheckedInput& in, const SnpIndex& snpIndex);
    void bufferToMeta(uint32_t fileSnp, const Meta& record, const SnpIndex& snpIndex);
    void checkAllMatched(const SnpIndex& snpIndex) const;
    void readSampleIDs(bdoseread::CheckedInput& in, SampleList* samples) const;
    // Reads the offset table and checks all M entries against the layout of the blocks; keeps
    // where the block of each matched Z-file SNP starts and ends.
    void readOffsets(bdoseread::CheckedInput& in, const SnpIndex& snpIndex);
    void finishInit(const SnpIndex& snpIndex);
    [[noreturn]] void invalid(const std::string& what) const;

    std::string bdoseFile;
    std::string zFile;
    SnpMatch snpMatch;                   // left: Z-file SNP number, right: BDOSE SNP number
    std::vector<uint64_t> blockOffsets;  // by Z-file SNP number
    std::vector<uint64_t> blockEnds;     // by Z-file SNP number: where the next block starts
    std::unique_ptr<std::ifstream> stream;
    uint32_t state = 0;
    uint64_t fileSize = 0;
    uint32_t codeWidth = 0;
    std::vector<uint8_t> blockBuffer;
    std::vector<uint8_t> dosageBuffer;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx;
};
