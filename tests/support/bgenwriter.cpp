#include "support/bgenwriter.h"

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "binio.h"
#include "support/bgiwriter.h"

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("bgen fixture: " + what); }

void putText16(std::vector<uint8_t>& out, const std::string& text, std::optional<uint16_t> length = {}) {
    binio::appendLE<uint16_t>(out, length ? *length : static_cast<uint16_t>(text.size()));
    binio::appendBytes(out, text.data(), text.size());
}

void putText32(std::vector<uint8_t>& out, const std::string& text, std::optional<uint32_t> length = {}) {
    binio::appendLE<uint32_t>(out, length ? *length : static_cast<uint32_t>(text.size()));
    binio::appendBytes(out, text.data(), text.size());
}

// Number of genotypes of `ploidy` copies over `alleles` alleles: multisets of size ploidy.
uint64_t genotypeCount(uint32_t ploidy, uint32_t alleles) {
    // Prefix sums over the alleles: after a alleles, ways[c] counts the multisets of size c.
    std::vector<uint64_t> ways(ploidy + 1, 0);
    ways[0] = 1;
    for (uint32_t a = 0; a < alleles; ++a)
        for (uint32_t c = 1; c <= ploidy; ++c) ways[c] += ways[c - 1];
    return ways[ploidy];
}

// Packs unsigned values of `bits` bits each, least significant bit first.
class BitPacker {
public:
    explicit BitPacker(uint32_t bits) : bits_(bits) {}
    void put(uint64_t value) {
        for (uint32_t b = 0; b < bits_; ++b) {
            if (used_ % 8 == 0) bytes_.push_back(0);
            if ((value >> b) & 1u) bytes_.back() = static_cast<uint8_t>(bytes_.back() | (1u << (used_ % 8)));
            ++used_;
        }
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    uint32_t bits_;
    uint64_t used_ = 0;
    std::vector<uint8_t> bytes_;
};

// The probability as an integer of 0 .. top (= 2^B - 1, or 32768 in layout 1), rounded to nearest.
uint64_t quantise(double probability, uint64_t top) {
    const double scaled = std::round(probability * static_cast<double>(top));
    if (!(scaled >= 0.0)) return 0;
    return scaled >= static_cast<double>(top) ? top : static_cast<uint64_t>(scaled);
}

std::vector<uint8_t> layout1Data(const BgenVariant& variant) {
    std::vector<uint8_t> data;
    for (const BgenSampleProbs& sample : variant.samples) {
        if (!sample.missing && sample.probs.size() != 3) fail("layout 1 samples need 3 probabilities");
        for (int g = 0; g < 3; ++g)
            binio::appendLE<uint16_t>(data, sample.missing ? 0 : static_cast<uint16_t>(quantise(sample.probs[g], 32768)));
    }
    return data;
}

std::vector<uint8_t> layout2Data(const BgenVariant& variant, uint32_t bits) {
    const BgenVariantFaults& faults = variant.faults;
    const uint32_t alleles = static_cast<uint32_t>(variant.alleles.size());
    const uint32_t samples = static_cast<uint32_t>(variant.samples.size());
    uint8_t minPloidy = 63, maxPloidy = 0;
    for (const BgenSampleProbs& sample : variant.samples) {
        minPloidy = std::min(minPloidy, sample.ploidy);
        maxPloidy = std::max(maxPloidy, sample.ploidy);
    }
    if (samples == 0) minPloidy = 0;

    std::vector<uint8_t> data;
    binio::appendLE<uint32_t>(data, faults.dataSampleCount.value_or(samples));
    binio::appendLE<uint16_t>(data, faults.dataAlleleCount.value_or(static_cast<uint16_t>(alleles)));
    data.push_back(faults.minPloidy.value_or(minPloidy));
    data.push_back(faults.maxPloidy.value_or(maxPloidy));
    for (const BgenSampleProbs& sample : variant.samples)
        data.push_back(static_cast<uint8_t>(sample.ploidy | (sample.missing ? 0x80 : 0)));
    data.push_back(faults.phasedByte.value_or(variant.phased ? 1 : 0));
    data.push_back(faults.bitsByte.value_or(static_cast<uint8_t>(bits)));

    const uint64_t top = (uint64_t(1) << bits) - 1;
    BitPacker packer(bits);
    for (const BgenSampleProbs& sample : variant.samples) {
        // The values of one group (a haplotype when phased, all genotypes otherwise); the last
        // of each group is implied by the others and not written.
        const uint64_t groupSize = variant.phased ? alleles : genotypeCount(sample.ploidy, alleles);
        const uint64_t groups = variant.phased ? sample.ploidy : 1;
        if (!sample.missing && sample.probs.size() != groupSize * groups) fail("wrong number of probabilities");
        for (uint64_t g = 0; g < groups; ++g)
            for (uint64_t v = 0; v + 1 < groupSize; ++v)
                packer.put(sample.missing ? 0 : quantise(sample.probs[g * groupSize + v], top));
    }
    binio::appendBytes(data, packer.bytes().data(), packer.bytes().size());
    return data;
}

std::vector<uint8_t> compress(const std::vector<uint8_t>& data, uint32_t compression) {
    std::vector<uint8_t> out;
    if (compression == 1) {
        uLongf size = compressBound(static_cast<uLong>(data.size()));
        out.resize(size);
        if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 6) != Z_OK) fail("zlib");
        out.resize(size);
    } else {
        out.resize(ZSTD_compressBound(data.size()));
        const std::size_t size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3);
        if (ZSTD_isError(size)) fail("zstd");
        out.resize(size);
    }
    return out;
}

void appendVariant(std::vector<uint8_t>& out, const BgenFile& file, const BgenVariant& variant, uint32_t samples) {
    const BgenVariantFaults& faults = variant.faults;
    const bool layout1 = file.layout == 1;
    if (layout1 && variant.alleles.size() != 2) fail("layout 1 variants have two alleles");
    if (variant.samples.size() != samples) fail("every variant needs the same number of samples");

    if (layout1) binio::appendLE<uint32_t>(out, faults.leadingSampleCount.value_or(samples));
    putText16(out, variant.varid);
    putText16(out, variant.rsid, faults.rsidLength);
    putText16(out, variant.chromosome);
    binio::appendLE<uint32_t>(out, variant.position);
    const std::vector<std::string>& alleles = faults.identifyingAlleles ? *faults.identifyingAlleles : variant.alleles;
    if (!layout1) binio::appendLE<uint16_t>(out, faults.alleleCount.value_or(static_cast<uint16_t>(alleles.size())));
    for (std::size_t a = 0; a < alleles.size(); ++a)
        putText32(out, alleles[a], a == 0 ? faults.allele0Length : std::nullopt);

    std::vector<uint8_t> data = layout1 ? layout1Data(variant) : layout2Data(variant, file.bits);
    data.resize(data.size() - std::min<std::size_t>(faults.dropDataBytes, data.size()));

    std::vector<uint8_t> stored;
    if (faults.storedBlock) {
        stored = *faults.storedBlock;
    } else if (file.compression == 0) {
        stored = data;
    } else {
        if (!layout1) binio::appendLE<uint32_t>(stored, faults.decompressedLength.value_or(static_cast<uint32_t>(data.size())));
        const std::vector<uint8_t> packed = compress(data, file.compression);
        binio::appendBytes(stored, packed.data(), packed.size());
    }
    const bool lengthField = !layout1 || file.compression != 0;
    if (lengthField && !faults.omitStoredLength)
        binio::appendLE<uint32_t>(out, faults.storedLength.value_or(static_cast<uint32_t>(stored.size())));
    stored.resize(stored.size() - std::min<std::size_t>(faults.dropStoredBytes, stored.size()));
    binio::appendBytes(out, stored.data(), stored.size());
}

}  // namespace

uint32_t bgenSampleCount(const BgenFile& file) {
    if (!file.variants.empty()) return static_cast<uint32_t>(file.variants.front().samples.size());
    return static_cast<uint32_t>(file.sampleIds.size());
}

BgenImage buildBgen(const BgenFile& file) {
    const BgenHeaderFaults& faults = file.faults;
    const uint32_t samples = bgenSampleCount(file);
    if (!file.sampleIds.empty() && file.sampleIds.size() != samples) fail("one identifier per sample");
    if (file.bits < 1 || file.bits > 32) fail("bits per probability must be 1 to 32");

    std::vector<uint8_t> sampleBlock;
    if (!file.sampleIds.empty()) {
        std::vector<uint8_t> ids;
        for (const std::string& id : file.sampleIds) putText16(ids, id);
        binio::appendLE<uint32_t>(sampleBlock, static_cast<uint32_t>(8 + ids.size()));
        binio::appendLE<uint32_t>(sampleBlock, samples);
        binio::appendBytes(sampleBlock, ids.data(), ids.size());
    }

    const uint32_t headerLength = static_cast<uint32_t>(20 + file.freeData.size());
    BgenImage image;
    std::vector<uint8_t>& out = image.bytes;
    binio::appendLE<uint32_t>(out, faults.offset.value_or(static_cast<uint32_t>(headerLength + sampleBlock.size())));
    binio::appendLE<uint32_t>(out, faults.headerLength.value_or(headerLength));
    binio::appendLE<uint32_t>(out, faults.numberOfVariants.value_or(static_cast<uint32_t>(file.variants.size())));
    binio::appendLE<uint32_t>(out, faults.numberOfSamples.value_or(samples));
    const std::string magic = faults.magic.value_or("bgen");
    binio::appendBytes(out, magic.data(), magic.size());
    binio::appendBytes(out, file.freeData.data(), file.freeData.size());
    const uint32_t flags = file.compression | (file.layout << 2) | (file.sampleIds.empty() ? 0u : 0x80000000u);
    binio::appendLE<uint32_t>(out, faults.flags.value_or(flags));
    binio::appendBytes(out, sampleBlock.data(), sampleBlock.size());

    for (const BgenVariant& variant : file.variants) {
        const uint64_t start = out.size();
        appendVariant(out, file, variant, samples);
        image.places.push_back({start, out.size() - start});
    }
    if (faults.truncateTo && *faults.truncateTo < out.size()) out.resize(static_cast<std::size_t>(*faults.truncateTo));
    return image;
}

namespace {

void writeImage(const std::string& path, const BgenImage& image) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
    stream.close();
    if (!stream) fail("cannot write " + path);
}

}  // namespace

std::vector<BgenVariantPlace> writeBgen(const std::string& path, const BgenFile& file) {
    const BgenImage image = buildBgen(file);
    writeImage(path, image);
    return image.places;
}

std::vector<BgenVariantPlace> writeBgenWithIndex(const std::string& bgenPath, const std::string& bgiPath,
                                                 const BgenFile& file) {
    const BgenImage image = buildBgen(file);
    writeImage(bgenPath, image);
    BgiFile index;
    const std::size_t first = std::min<std::size_t>(image.bytes.size(), 1000);
    const std::string name = bgenPath.substr(bgenPath.find_last_of('/') + 1);
    index.metadata.push_back(bgiMetadata(name, static_cast<int64_t>(image.bytes.size()),
                                         std::vector<uint8_t>(image.bytes.begin(), image.bytes.begin() + first)));
    for (std::size_t v = 0; v < file.variants.size(); ++v) {
        const BgenVariant& variant = file.variants[v];
        index.variants.push_back(BgiVariantRow{variant.rsid, variant.chromosome, variant.position,
                                               variant.alleles.size() > 0 ? variant.alleles[0] : "",
                                               variant.alleles.size() > 1 ? variant.alleles[1] : "",
                                               static_cast<int64_t>(image.places[v].file_start_position),
                                               static_cast<int64_t>(image.places[v].size_in_bytes)});
    }
    writeBgi(bgiPath, index);
    return image.places;
}

BgenSampleProbs diploid(double pAA, double pAB, double pBB) { return BgenSampleProbs{{pAA, pAB, pBB}, 2, false}; }

BgenSampleProbs missingDiploid() { return BgenSampleProbs{{}, 2, true}; }
