#include "bgen/bgen.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <limits>

#include "binio.h"
#include "error.h"

namespace genfile {

void zstd_compress(const uint8_t* begin, const uint8_t* end, std::vector<uint8_t>* destination,
                   std::size_t offset, int level) {
    const std::size_t sourceSize = static_cast<std::size_t>(end - begin);
    const std::size_t bound = ZSTD_compressBound(sourceSize);
    if (ZSTD_isError(bound)) Error::fail("Could not compress data with zstd!");
    destination->resize(offset + bound);
    const std::size_t written = ZSTD_compress(destination->data() + offset, bound, begin, sourceSize, level);
    if (ZSTD_isError(written)) Error::fail("Could not compress data with zstd!");
    destination->resize(offset + written);
}

namespace bgen {

namespace {

// "BGEN file 'P'", for the messages about a file's structure; while a variant at an indexed
// place is identified, followed by that place.
std::string bgenFile(const Context& context) {
    std::string file = "BGEN file '" + context.path + "'";
    if (context.identifying)
        file += " at the place that BGEN index file '" + context.index_file + "' gives for SNP with rsID '" +
                context.indexed_rsid + "'";
    return file;
}

[[noreturn]] void failInteger(const Context& context) {
    Error::fail("Could not read integer value from " + bgenFile(context) + "!");
}

[[noreturn]] void failString(const Context& context) {
    Error::fail("Could not read string from " + bgenFile(context) + "!");
}

[[noreturn]] void failParse(const Context& context) {
    Error::fail("Could not parse probability data in " + bgenFile(context) + "!");
}

[[noreturn]] void failNoAlleles(const Context& context) {
    Error::fail("Encountered variant without alleles in " + bgenFile(context) + "!");
}

[[noreturn]] void failBlock(const Context& context) {
    Error::fail("Could not read genotype data block from " + bgenFile(context) + "!");
}

[[noreturn]] void failLayout(const Context& context) {
    Error::fail("Unsupported layout " + std::to_string(context.layout()) + " in " + bgenFile(context) + "!");
}

// Most bytes that one compressed byte can expand to: deflate codes at most 258 bytes in two
// bits; a zstd block of at most 128 KiB needs at least 4 bytes.
constexpr uint64_t zlibMaxRatio = 1032;
constexpr uint64_t zstdMaxRatio = 32768;

// Value counts above this are taken as "more than any file can hold".
constexpr uint64_t countCap = uint64_t(1) << 40;

// Bytes from the stream's position to the end of the file (0 when the position is unknown).
uint64_t bytes_left(std::istream& stream, const Context& context) {
    const std::streamoff position = stream.tellg();
    if (position < 0 || static_cast<uint64_t>(position) > context.file_size) return 0;
    return context.file_size - static_cast<uint64_t>(position);
}

// Reads `length` bytes as the whole of `data`; `left` is what the file still holds.
void read_text_bytes(std::istream& stream, const Context& context, uint64_t length, std::string* data,
                     uint64_t left) {
    if (length > left) failString(context);
    data->resize(static_cast<std::size_t>(length));
    if (!binio::readExact(stream, data->data(), data->size())) failString(context);
}

template <class Length>
void read_length_and_text(std::istream& stream, const Context& context, Length* length, std::string* data,
                          uint64_t max_length) {
    read_little_endian_integer(stream, context, length);
    read_text_bytes(stream, context, *length, data, max_length);
}

// A length-prefixed text inside a block whose remaining size `left` shrinks as it is read.
template <class Length>
void read_text(std::istream& stream, const Context& context, std::string* data, uint64_t* left) {
    Length length = 0;
    read_length_and_text(stream, context, &length, data, *left >= sizeof(Length) ? *left - sizeof(Length) : 0);
    *left = *left >= sizeof(Length) + uint64_t(length) ? *left - sizeof(Length) - length : 0;
}

// C(n, k), or countCap + 1 when it is larger than countCap.
uint64_t n_choose_k(uint64_t n, uint64_t k) {
    if (k > n) return 0;
    k = std::min(k, n - k);
    uint64_t result = 1;
    for (uint64_t i = 1; i <= k; ++i) {
        result = result * (n - k + i) / i;
        if (result > countCap) return countCap + 1;
    }
    return result;
}

// Value counts of a layout-2 sample of one ploidy: `stored` values in the table, `packed` of
// them read from the bit stream.
struct ValueCounts {
    uint64_t stored = 0;
    uint64_t packed = 0;
};

ValueCounts value_counts(uint32_t ploidy, uint32_t alleles, bool phased) {
    if (phased) return {uint64_t(ploidy) * alleles, uint64_t(ploidy) * (alleles - 1)};
    if (alleles == 1) return {1, 0};
    const uint64_t stored = n_choose_k(uint64_t(ploidy) + alleles - 1, alleles - 1);
    return {stored, stored - 1};
}

// Takes B-bit values least significant bit first from packed bytes.
class BitReader {
public:
    BitReader(const byte_t* next, const byte_t* end, uint32_t bits)
        : next_(next), end_(end), bits_(bits), mask_((uint64_t(1) << bits) - 1),
          divisor_(static_cast<double>(mask_)) {}

    // The next value, of B bits.
    uint64_t take() {
        while (count_ < bits_) {
            if (next_ == end_) throw BGenError();
            buffer_ |= uint64_t(*next_++) << count_;
            count_ += 8;
        }
        const uint64_t value = buffer_ & mask_;
        buffer_ >>= bits_;
        count_ -= bits_;
        return value;
    }

    // The largest value, 2^B - 1, which stands for probability 1.
    uint64_t mask() const { return mask_; }
    // `value` as a probability.
    double probability(uint64_t value) const { return static_cast<double>(value) / divisor_; }

private:
    const byte_t* next_;
    const byte_t* end_;
    uint32_t bits_;
    uint64_t mask_;
    double divisor_;
    uint64_t buffer_ = 0;
    uint32_t count_ = 0;
};

double to_single(double value) { return static_cast<double>(static_cast<float>(value)); }

}  // namespace

const char* BGenError::what() const noexcept { return "BGenError"; }

const char* ProbabilitySumError::what() const noexcept { return "ProbabilitySumError"; }

void read_little_endian_integer(std::istream& stream, const Context& context, uint16_t* value) {
    if (!binio::readLE(stream, value)) failInteger(context);
}

void read_little_endian_integer(std::istream& stream, const Context& context, uint32_t* value) {
    if (!binio::readLE(stream, value)) failInteger(context);
}

void read_length_followed_by_data(std::istream& stream, const Context& context, uint16_t* length,
                                  std::string* data, uint64_t max_length) {
    read_length_and_text(stream, context, length, data, max_length);
}

void read_length_followed_by_data(std::istream& stream, const Context& context, uint32_t* length,
                                  std::string* data, uint64_t max_length) {
    read_length_and_text(stream, context, length, data, max_length);
}

void read_offset(std::istream& stream, const Context& context, uint32_t* offset) {
    read_little_endian_integer(stream, context, offset);
}

uint32_t read_header_block(std::istream& stream, Context* context) {
    const std::streamoff start = stream.tellg();
    stream.seekg(0, std::ios::end);
    const std::streamoff size = stream.tellg();
    stream.seekg(start);
    if (start < 0 || size < 0 || !stream) Error::fail("Could not determine the size of " + bgenFile(*context) + "!");
    context->file_size = static_cast<uint64_t>(size);

    uint32_t headerLength = 0, variants = 0, samples = 0;
    read_little_endian_integer(stream, *context, &headerLength);
    read_little_endian_integer(stream, *context, &variants);
    read_little_endian_integer(stream, *context, &samples);
    if (headerLength < 20) Error::fail("Header block of " + bgenFile(*context) + " is shorter than 20 bytes!");

    // Magic, free data and flags must all be there.
    const uint64_t freeSize = uint64_t(headerLength) - 20;
    if (freeSize + 8 > bytes_left(stream, *context)) failInteger(*context);
    std::string magic(4, '\0');
    if (!binio::readExact(stream, magic.data(), magic.size())) failInteger(*context);
    stream.seekg(static_cast<std::streamoff>(freeSize), std::ios::cur);
    uint32_t flags = 0;
    read_little_endian_integer(stream, *context, &flags);
    if (magic != "bgen" && magic != std::string(4, '\0'))
        Error::fail("File '" + context->path + "' is not a BGEN file!");

    context->number_of_samples = samples;
    context->number_of_variants = variants;
    context->magic = magic;
    context->flags = flags;
    if (context->layout() != 1 && context->layout() != 2) failLayout(*context);
    if (context->compression() == 3) Error::fail("Unsupported compression type 3 in " + bgenFile(*context) + "!");
    return headerLength;
}

bool read_snp_identifying_data(std::istream& stream, const Context& context, std::string* SNPID,
                               std::string* RSID, std::string* chromosome, uint32_t* SNP_position,
                               const std::function<void(std::size_t)>& set_number_of_alleles,
                               const std::function<void(std::size_t, const std::string&)>& set_allele) {
    uint64_t left = bytes_left(stream, context);
    const bool layout1 = context.layout() == 1;
    if (layout1) {
        uint32_t samples = 0;
        read_little_endian_integer(stream, context, &samples);
        if (samples != context.number_of_samples)
            Error::fail("Encountered problem with number of samples in " + bgenFile(context) + "!");
        left = left >= 4 ? left - 4 : 0;
    }
    read_text<uint16_t>(stream, context, SNPID, &left);
    read_text<uint16_t>(stream, context, RSID, &left);
    read_text<uint16_t>(stream, context, chromosome, &left);
    read_little_endian_integer(stream, context, SNP_position);
    left = left >= 4 ? left - 4 : 0;

    uint16_t alleles = 2;
    if (!layout1) {
        read_little_endian_integer(stream, context, &alleles);
        left = left >= 2 ? left - 2 : 0;
        if (alleles == 0) failNoAlleles(context);
    }
    // Each allele needs at least its length field.
    if (uint64_t(alleles) * 4 > left) failInteger(context);
    set_number_of_alleles(alleles);
    std::string allele;
    for (std::size_t i = 0; i < alleles; ++i) {
        read_text<uint32_t>(stream, context, &allele, &left);
        set_allele(i, allele);
    }
    return true;
}

void read_genotype_data_block(std::istream& stream, const Context& context, std::vector<byte_t>* buffer) {
    uint64_t left = bytes_left(stream, context);
    uint64_t size = 6 * uint64_t(context.number_of_samples);
    if (context.layout() != 1 || context.compression() != 0) {
        uint32_t stored = 0;
        read_little_endian_integer(stream, context, &stored);
        size = stored;
        left = left >= 4 ? left - 4 : 0;
    }
    if (size > left) failBlock(context);
    buffer->resize(static_cast<std::size_t>(size));
    if (!binio::readExact(stream, buffer->data(), buffer->size())) failBlock(context);
}

void uncompress_probability_data(const Context& context, const std::vector<byte_t>& compressed_data,
                                 std::vector<byte_t>* buffer) {
    const uint32_t compression = context.compression();
    if (compression == 0) {
        buffer->assign(compressed_data.begin(), compressed_data.end());
        return;
    }
    const byte_t* source = compressed_data.data();
    uint64_t sourceSize = compressed_data.size();
    uint64_t expected = 6 * uint64_t(context.number_of_samples);
    if (context.layout() != 1) {
        if (sourceSize < 4) failParse(context);
        expected = binio::loadLE<uint32_t>(source);
        source += 4;
        sourceSize -= 4;
    }
    if (compression != 1 && compression != 2) failParse(context);
    const uint64_t maxRatio = compression == 1 ? zlibMaxRatio : zstdMaxRatio;
    if (expected > maxRatio * sourceSize) failParse(context);
    // Two-allele data: N, K, the ploidy limits, N ploidy bytes, phasing and bit depth, and at
    // most 63 values of 32 bits per sample.
    const uint64_t samples = context.number_of_samples;
    if (context.layout() != 1 && expected > 10 + samples + 63 * 32 * samples / 8) throw BGenError();
    if (compression == 2) {
        const unsigned long long declared = ZSTD_getFrameContentSize(source, static_cast<std::size_t>(sourceSize));
        if (declared == ZSTD_CONTENTSIZE_ERROR || (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != expected))
            failParse(context);
    }

    buffer->resize(static_cast<std::size_t>(expected));
    if (compression == 1) {
        uLongf produced = static_cast<uLongf>(expected);
        const int result = uncompress(buffer->data(), &produced, source, static_cast<uLong>(sourceSize));
        if (result != Z_OK || produced != expected) failParse(context);
    } else {
        const std::size_t produced = ZSTD_decompress(buffer->data(), buffer->size(), source,
                                                     static_cast<std::size_t>(sourceSize));
        if (ZSTD_isError(produced) || produced != expected) failParse(context);
    }
}

uint32_t read_probabilities(std::istream& stream, const Context& context, std::vector<byte_t>* stored,
                            std::vector<byte_t>* uncompressed, ProbabilityTable* probabilities) {
    read_genotype_data_block(stream, context, stored);
    const std::vector<byte_t>* data = stored;
    if (context.compression() != 0) {
        uncompress_probability_data(context, *stored, uncompressed);
        data = uncompressed;
    }
    ProbSetter setter(probabilities);
    const byte_t* begin = data->data();
    const byte_t* end = begin + data->size();
    switch (context.layout()) {
        case 1:
            v11::parse_probability_data(begin, end, context, setter);
            break;
        case 2:
            v12::parse_probability_data(begin, end, context, setter);
            break;
        default:
            failLayout(context);
    }
    return setter.numberOfAlleles;
}

namespace v11 {

void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context, ProbSetter& setter) {
    const uint32_t samples = context.number_of_samples;
    if (static_cast<uint64_t>(end - begin) != 6 * uint64_t(samples)) failParse(context);
    setter.initialise(samples);
    setter.reserve_entries(3, 2);
    const byte_t* next = begin;
    for (uint32_t i = 0; i < samples; ++i) {
        setter.set_number_of_entries(i, 3);
        for (int g = 0; g < 3; ++g, next += 2) setter.set_value(to_single(binio::loadLE<uint16_t>(next) / 32768.0));
    }
}

}  // namespace v11

namespace v12 {

void parse_probability_data(const byte_t* begin, const byte_t* end, const Context& context, ProbSetter& setter) {
    const uint64_t size = static_cast<uint64_t>(end - begin);
    if (size < 8) throw BGenError();
    const uint32_t samples = binio::loadLE<uint32_t>(begin);
    const uint32_t alleles = binio::loadLE<uint16_t>(begin + 4);
    if (samples != context.number_of_samples) failParse(context);
    if (size < uint64_t(samples) + 10) failParse(context);
    const byte_t* ploidies = begin + 8;
    const bool phased = (ploidies[samples] & 1u) != 0;
    const uint32_t bits = ploidies[samples + 1];
    if (alleles == 0) failNoAlleles(context);
    if (bits < 1 || bits > 32) Error::fail("Invalid number of bits per probability in " + bgenFile(context) + "!");

    // Value counts per ploidy (0-63), computed once each; the packed values of all samples must
    // fit into the data before the table grows.
    std::array<ValueCounts, 64> counts{};
    std::array<bool, 64> known{};
    const uint64_t availableBits = 8 * (size - samples - 10);
    uint64_t neededBits = 0;
    uint64_t largest = 0;
    for (uint32_t i = 0; i < samples; ++i) {
        const uint32_t ploidy = ploidies[i] & 63u;
        if (!known[ploidy]) {
            counts[ploidy] = value_counts(ploidy, alleles, phased);
            known[ploidy] = true;
        }
        const ValueCounts& c = counts[ploidy];
        if (c.packed > countCap || c.packed * bits > availableBits - neededBits) throw BGenError();
        neededBits += c.packed * bits;
        largest = std::max(largest, c.stored);
    }

    setter.initialise(samples);
    setter.reserve_entries(static_cast<std::size_t>(largest), alleles);
    BitReader reader(begin + samples + 10, end, bits);
    const uint32_t perGroup = phased ? alleles - 1 : 0;
    for (uint32_t i = 0; i < samples; ++i) {
        const ValueCounts& c = counts[ploidies[i] & 63u];
        setter.set_number_of_entries(i, static_cast<std::size_t>(c.stored));
        if ((ploidies[i] & 0x80u) != 0) {
            for (uint64_t r = 0; r < c.packed; ++r) reader.take();
            for (uint64_t r = 0; r < c.stored; ++r) setter.set_value(-1.0);
            continue;
        }
        if (c.packed == 0) continue;
        // Phased: groups of K - 1 values per haplotype; unphased: one group of all values. The
        // stored values of a group may add up to at most 2^B - 1, else the implied last
        // probability would be negative.
        const uint64_t group = phased ? perGroup : c.packed;
        double sum = 0.0;
        uint64_t storedSum = 0;  // below 2^62: the data hold at most 2^35 / B values of B bits
        uint64_t inGroup = 0;
        for (uint64_t r = 0; r < c.packed; ++r) {
            const uint64_t stored = reader.take();
            storedSum += stored;
            const double value = reader.probability(stored);
            setter.set_value(to_single(value));
            sum += value;
            if (++inGroup == group) {
                if (storedSum > reader.mask()) throw ProbabilitySumError();
                setter.set_value(to_single(1.0 - sum));
                sum = 0.0;
                storedSum = 0;
                inGroup = 0;
            }
        }
    }
}

}  // namespace v12

}  // namespace bgen
}  // namespace genfile
