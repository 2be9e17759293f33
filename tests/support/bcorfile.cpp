#include "support/bcorfile.h"

#include <stdexcept>

unsigned bcorTestWidth(uint8_t code) {
    switch (code) {
        case 0:
            return 2;
        case 1:
            return 4;
        case 2:
            return 8;
        case 3:
            return 1;
        default:
            throw std::runtime_error("no width for code " + std::to_string(code));
    }
}

void putLE(std::string& bytes, std::size_t offset, uint64_t value, unsigned width) {
    if (offset + width > bytes.size()) bytes.resize(offset + width);
    for (unsigned b = 0; b < width; ++b) bytes[offset + b] = static_cast<char>((value >> (8 * b)) & 0xFF);
}

void appendLE(std::string& bytes, uint64_t value, unsigned width) { putLE(bytes, bytes.size(), value, width); }

uint64_t getLE(const std::string& bytes, std::size_t offset, unsigned width) {
    if (offset + width > bytes.size()) throw std::runtime_error("read past the end at " + std::to_string(offset));
    uint64_t value = 0;
    for (unsigned b = 0; b < width; ++b)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + b])) << (8 * b);
    return value;
}

namespace {

// Sequential reader over a byte string.
struct Cursor {
    const std::string& bytes;
    std::size_t at;
    uint64_t take(unsigned width) {
        const uint64_t value = getLE(bytes, at, width);
        at += width;
        return value;
    }
    std::string text(uint64_t length) {
        if (at + length > bytes.size()) throw std::runtime_error("text past the end at " + std::to_string(at));
        std::string value = bytes.substr(at, length);
        at += length;
        return value;
    }
};

}  // namespace

BcorImage parseBcor(const std::string& bytes) {
    BcorImage image;
    Cursor in{bytes, 0};
    image.magic = in.text(7);
    image.fileSize = in.take(8);
    image.nSamples = static_cast<uint32_t>(in.take(4));
    image.nSNPs = static_cast<uint32_t>(in.take(4));
    image.code = static_cast<uint8_t>(in.take(1));
    image.offset = in.take(8);
    for (uint32_t i = 0; i < image.nSNPs; ++i) {
        const uint32_t length = static_cast<uint32_t>(in.take(4));
        image.recordLengths.push_back(length);
        image.snps.push_back(parseSnpRecord(in.text(length)));
    }
    if (in.at != image.offset) throw std::runtime_error("records end at " + std::to_string(in.at));
    const unsigned width = bcorTestWidth(image.code);
    const uint64_t pairs = uint64_t{image.nSNPs} * (image.nSNPs - 1) / 2;
    for (uint64_t p = 0; p < pairs; ++p) image.codes.push_back(in.take(width));
    if (in.at != bytes.size()) throw std::runtime_error("trailing bytes after the block");
    if (image.fileSize != bytes.size()) throw std::runtime_error("size field disagrees with the file");
    return image;
}

std::string buildBcor(uint32_t nSamples, uint8_t code, const std::vector<BcorSnp>& snps,
                      const std::vector<uint64_t>& codes) {
    std::string records;
    for (const BcorSnp& snp : snps) {
        const std::string record = snpRecordBytes(snp);
        appendLE(records, record.size(), 4);
        records += record;
    }
    const unsigned width = code < 4 ? bcorTestWidth(code) : 4;
    std::string bytes = "bcor1.1";
    const uint64_t offset = 32 + records.size();
    appendLE(bytes, offset + width * codes.size(), 8);
    appendLE(bytes, nSamples, 4);
    appendLE(bytes, snps.size(), 4);
    appendLE(bytes, code, 1);
    appendLE(bytes, offset, 8);
    bytes += records;
    for (uint64_t value : codes) appendLE(bytes, value, width);
    return bytes;
}
