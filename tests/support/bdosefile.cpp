#include "support/bdosefile.h"

#include <zstd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Width in bytes and scaling exponent of each compression code.
struct CodeTable {
    unsigned width;
    int exponent;
    uint64_t missing;
};
const CodeTable kCodes[4] = {
    {2, 14, 0xD000ull},
    {4, 30, 0xD0000000ull},
    {8, 62, 0xD000000000000000ull},
    {1, 6, 0xD0ull},
};

const CodeTable& codeTable(uint8_t code) {
    if (code > 3) throw std::runtime_error("bad compression code " + std::to_string(code));
    return kCodes[code];
}

class Cursor {
public:
    Cursor(const std::string& bytes, uint64_t at) : data(bytes), pos(at) {}

    uint64_t uint(unsigned width) {
        need(width);
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) {
            value |= static_cast<uint64_t>(static_cast<unsigned char>(data[pos + i])) << (8 * i);
        }
        pos += width;
        return value;
    }
    std::string text(uint64_t length) {
        need(length);
        std::string value = data.substr(pos, length);
        pos += length;
        return value;
    }
    uint64_t at() const { return pos; }

private:
    void need(uint64_t count) const {
        if (pos > data.size() || count > data.size() - pos) throw std::runtime_error("file ends early");
    }
    const std::string& data;
    uint64_t pos;
};

void expect(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error(what);
}

void parseBody10(const std::string& bytes, Cursor& c, BdoseFileContent* f) {
    for (uint32_t i = 0; i < f->numSNPs; ++i) f->missing.push_back(static_cast<uint32_t>(c.uint(4)));
    for (uint32_t i = 0; i < f->numSNPs; ++i) f->rowOffsets.push_back(c.uint(8));
    const uint64_t rowsStart = c.at();
    for (uint32_t i = 0; i < f->numSNPs; ++i) {
        expect(f->rowOffsets[i] == rowsStart + uint64_t{i} * f->numSamples * 8, "row offset " + std::to_string(i));
        std::vector<double> row(f->numSamples);
        for (auto& value : row) {
            const uint64_t bits = c.uint(8);
            std::memcpy(&value, &bits, sizeof value);
        }
        f->rows.push_back(std::move(row));
    }
    expect(c.at() == bytes.size(), "bytes after the last row");
}

void parseBody11(const std::string& bytes, Cursor& c, BdoseFileContent* f) {
    expect(f->sampleIdStart == c.at(), "sample-ID position");
    for (uint32_t j = 0; j < f->numSamples; ++j) f->sampleIds.push_back(c.text(c.uint(4)));
    expect(f->offsetTableStart == c.at(), "offset-table position");
    for (uint32_t i = 0; i < f->numSNPs; ++i) f->blockOffsets.push_back(c.uint(8));
    expect(f->dosageStart == c.at(), "first-block position");
    const CodeTable& code = codeTable(f->compression);
    for (uint32_t i = 0; i < f->numSNPs; ++i) {
        expect(f->blockOffsets[i] == c.at(), "block offset " + std::to_string(i));
        const uint64_t b = c.uint(4);
        expect(b >= 4, "block too short");
        const uint64_t u = c.uint(4);
        expect(u == uint64_t{f->numSamples} * code.width, "uncompressed size");
        const std::string frame = c.text(b - 4);
        std::string plain(u, '\0');
        const size_t got = ZSTD_decompress(plain.data(), plain.size(), frame.data(), frame.size());
        expect(!ZSTD_isError(got) && got == u, "zstd frame");
        Cursor values(plain, 0);
        std::vector<uint64_t> row;
        for (uint32_t j = 0; j < f->numSamples; ++j) row.push_back(values.uint(code.width));
        f->codes.push_back(std::move(row));
    }
    expect(c.at() == bytes.size(), "bytes after the last block");
}

}  // namespace

BdoseFileContent parseBdoseFile(const std::string& bytes) {
    BdoseFileContent f;
    Cursor c(bytes, 0);
    f.magic = c.text(8);
    expect(f.magic == "bdose1.0" || f.magic == "bdose1.1", "magic");
    f.bgenPath = c.text(c.uint(4));
    f.bgenSize = c.uint(8);
    const std::string first = c.text(f.bgenSize < 1000 ? f.bgenSize : 1000);
    f.firstBytes.assign(first.begin(), first.end());
    f.recordedSize = c.uint(8);
    expect(f.recordedSize == bytes.size(), "recorded size");
    f.numSamples = static_cast<uint32_t>(c.uint(4));
    f.numSNPs = static_cast<uint32_t>(c.uint(4));
    const bool v11 = f.magic == "bdose1.1";
    if (v11) {
        f.compression = static_cast<uint8_t>(c.uint(1));
        f.sampleIdStart = c.uint(8);
        f.offsetTableStart = c.uint(8);
        f.dosageStart = c.uint(8);
    }
    f.headerEnd = c.at();
    for (uint32_t i = 0; i < f.numSNPs; ++i) {
        const std::string record = c.text(c.uint(4));
        f.snps.push_back(parseSnpRecord(record));
        expect(f.snps.back().number == i, "record number " + std::to_string(i));
    }
    if (v11) {
        parseBody11(bytes, c, &f);
    } else {
        parseBody10(bytes, c, &f);
    }
    return f;
}

double decodeBdoseDosage(uint8_t code, uint64_t value) {
    const CodeTable& table = codeTable(code);
    if (value == table.missing) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / std::pow(2.0, table.exponent);
}
