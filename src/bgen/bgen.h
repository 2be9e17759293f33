// Reader of BGEN genotype files (layouts 1 and 2; blocks stored plain, zlib- or zstd-compressed)
// and the zstd helper of the dosage block writer.
//
// Free functions without state: several threads may use them at once, each with its own
// stream, its own Context copy, its own byte buffers and its own probability table. A
// malformed file ends the run through `Error` (exit status 1) with a message naming the file
// and saying what is wrong; faults of layout-2 probability data throw `BGenError` instead,
// which the caller catches where it knows the file and the variant. Every length read from the
// file is checked against the bytes that the file still holds before anything is allocated.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace genfile {

// Compresses [begin, end) into one zstd frame at `level`, written at byte `offset` of
// `destination`: the first `offset` bytes of the list stay as they are (a shorter list is
// padded with zeros) and the list ends with the frame. A compression failure ends the run.
void zstd_compress(const uint8_t* begin, const uint8_t* end, std::vector<uint8_t>* destination,
                   std::size_t offset, int level);

namespace bgen {

using byte_t = uint8_t;

// One list of doubles per BGEN sample in file order: probabilities rounded to single
// precision, or -1.0 for every value of a missing sample.
using ProbabilityTable = std::vector<std::vector<double>>;

// What the header says about the file, plus the file's size for bounding lengths.
// Fill it with read_header_block; each thread keeps its own copy. The header's free data are
// skipped, not kept: nothing uses them, and they may be as large as the file.
struct Context {
    uint32_t number_of_samples = 0;
    uint32_t number_of_variants = 0;
    std::string magic = "bgen";
    uint32_t flags = 0;
    // Size of the whole file in bytes, measured by read_header_block.
    uint64_t file_size = 0;
    // Path of the file, named in the messages about its structure; set by the caller.
    std::string path;
    // Set by a caller that reads variants at the places an index gives: while `identifying`
    // holds, the messages about a variant name the index `index_file` and the SNP
    // `indexed_rsid` as well, since a stale or damaged index is as likely as a damaged file.
    // The caller sets it before reading the identifying data and clears it once the variant
    // proved to be that SNP.
    std::string index_file;
    std::string indexed_rsid;
    bool identifying = false;

    // Bits 0-1 of the flags: 0 none, 1 zlib, 2 zstd.
    uint32_t compression() const { return flags & 3u; }
    // Bits 2-5 of the flags: 1 or 2.
    uint32_t layout() const { return (flags >> 2) & 15u; }
};

// Thrown for layout-2 probability data shorter than 8 bytes or whose packed values run past
// the end of the data. Carries no data; what() is "BGenError".
class BGenError : public virtual std::exception {
public:
    const char* what() const noexcept override;
};

// Thrown for layout-2 probability data in which the stored values of one sample (of one
// haplotype, when phased) add up to more than 2^B - 1: the implied last probability would be
// negative. The caller knows the variant and names it.
class ProbabilitySumError : public BGenError {
public:
    const char* what() const noexcept override;
};

// The sink through which the probability parsers fill a ProbabilityTable. The table is reused
// from variant to variant: its entries keep their capacity, so that once the table has seen a
// variant of the same shape no further memory is allocated.
struct ProbSetter {
    explicit ProbSetter(ProbabilityTable* table) : probabilities(table) {}

    // Step 1: the table holds `number_of_samples` entries; each is set anew at step 3, so
    // entries kept from the variant before keep their values until then.
    void initialise(std::size_t number_of_samples) { probabilities->resize(number_of_samples); }
    // Step 2: every entry gets room for `max_entries` values; the data are of `alleles` alleles.
    void reserve_entries(std::size_t max_entries, uint32_t alleles) {
        for (auto& entry : *probabilities) entry.reserve(max_entries);
        numberOfAlleles = alleles;
    }
    // Step 3: sample `sample` (0-based) starts with `number_of_entries` values, all 0.0.
    void set_number_of_entries(std::size_t sample, std::size_t number_of_entries) {
        sampleIndex = sample;
        std::vector<double>& entry = (*probabilities)[sample];
        // Most variants have the shape of the one before: then only the values are reset.
        if (entry.size() == number_of_entries)
            std::fill(entry.begin(), entry.end(), 0.0);
        else
            entry.assign(number_of_entries, 0.0);
        entryIndex = 0;
    }
    // Step 4: the next value of the current sample.
    void set_value(double value) { (*probabilities)[sampleIndex].at(entryIndex++) = value; }

    ProbabilityTable* probabilities;  // not owned
    std::size_t sampleIndex = 0;
    std::size_t entryIndex = 0;
    // K of the probability data (2 in layout 1), set at step 2.
    uint32_t numberOfAlleles = 0;
};

// The readers below name the file `context.path` in their messages, so set it before the
// first read.

// Reads a 2- or 4-byte little-endian integer; a short read ends the run.
void read_little_endian_integer(std::istream& stream, const Context& context, uint16_t* value);
void read_little_endian_integer(std::istream& stream, const Context& context, uint32_t* value);

// Reads a 2- or 4-byte length and then that many bytes as the whole text (NUL bytes kept).
// A length above `max_length` (the bytes the file still holds) or a short read ends the run
// before anything is allocated.
void read_length_followed_by_data(std::istream& stream, const Context& context, uint16_t* length,
                                  std::string* data, uint64_t max_length);
void read_length_followed_by_data(std::istream& stream, const Context& context, uint32_t* length,
                                  std::string* data, uint64_t max_length);

// Reads the 4-byte offset at the start of the file; the first variant begins at offset + 4.
void read_offset(std::istream& stream, const Context& context, uint32_t* offset);

// Reads the header block (stream just after the offset) into `context` and measures the file;
// the free data are skipped. Rejects a header length below 20, a magic other than "bgen" or four
// zero bytes, a layout other than 1 or 2 and compression code 3. Returns the header length.
uint32_t read_header_block(std::istream& stream, Context* context);

// Reads a variant's identifying data at the stream's position: the variant identifier, rsid,
// chromosome, position, then calls `set_number_of_alleles(K)` and `set_allele(i, allele)` for
// i = 0 .. K-1 (K is 2 in layout 1; K = 0 ends the run). Text arguments are overwritten (their
// capacity is reused). Returns true.
bool read_snp_identifying_data(std::istream& stream, const Context& context, std::string* SNPID,
                               std::string* RSID, std::string* chromosome, uint32_t* SNP_position,
                               const std::function<void(std::size_t)>& set_number_of_alleles,
                               const std::function<void(std::size_t, const std::string&)>& set_allele);

// Reads the stored genotype data block that follows the identifying data: `buffer` holds
// exactly its C bytes (its capacity is reused). A block the file cannot hold ends the run.
void read_genotype_data_block(std::istream& stream, const Context& context, std::vector<byte_t>* buffer);

// Turns a stored block into probability data: a copy when the file is not compressed, else
// exactly the declared number of decompressed bytes (anything else ends the run). A layout-2
// declared size that the block cannot expand to ends the run too; one above what two-allele
// data of N samples can need at the format's limits (10 + N + 63 * 32 * N / 8 bytes: ploidy 63,
// 32 bits) throws BGenError, for the caller to name the variant. Both before anything is
// allocated.
void uncompress_probability_data(const Context& context, const std::vector<byte_t>& compressed_data,
                                 std::vector<byte_t>* buffer);

// Reads the stored block, decompresses it when needed and parses it with the parser of the
// file's layout into `probabilities`. `stored` and `uncompressed` are scratch buffers that the
// caller keeps from variant to variant (an uncompressed block is parsed where it was read).
// Returns the number of alleles of the probability data (2 in layout 1).
uint32_t read_probabilities(std::istream& stream, const Context& context, std::vector<byte_t>* stored,
                        std::vector<byte_t>* uncompressed, ProbabilityTable* probabilities);

namespace v11 {
// Layout-1 probability data [begin, end): exactly 6 N bytes, three u16 values per sample,
// each divided by 32768. The table gets N entries of 3 values.
void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context, ProbSetter& setter);
}  // namespace v11

namespace v12 {
// Layout-2 probability data [begin, end): the table gets N entries, entry i with sample i's
// value count; a missing sample's values are all -1.0. A sample count other than N, K = 0 or
// a bit depth outside 1-32 ends the run; data shorter than 8 bytes, or packed values that do
// not fit into the data (checked before the table grows), throw BGenError; stored values that
// add up to more than probability 1 throw ProbabilitySumError.
void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context, ProbSetter& setter);
}  // namespace v12

}  // namespace bgen
}  // namespace genfile
