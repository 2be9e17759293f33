#include "support/bdosefixture.h"

#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "bdose.h"
#include "support/bgenwriter.h"
#include "support/snprecord.h"

namespace {

// Little-endian bytes, written out by hand so that no helper is shared with the program.
void put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int b = 0; b < bytes; ++b) out.push_back(static_cast<uint8_t>((value >> (8 * b)) & 0xFF));
}

void putText(std::vector<uint8_t>& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

void overwrite(std::vector<uint8_t>& bytes, uint64_t at, uint64_t value, int width) {
    for (int b = 0; b < width; ++b) bytes.at(at + static_cast<uint64_t>(b)) = static_cast<uint8_t>((value >> (8 * b)) & 0xFF);
}

int exponentOf(uint8_t code) {
    static const int exponents[] = {14, 30, 62, 6};
    return exponents[code];
}

// The SNP record of `snp` numbered `number`, then any extra bytes.
std::vector<uint8_t> record(const BdoseFixtureSnp& snp, uint32_t number) {
    const std::string bytes =
        snpRecordBytes({number, snp.rsid, snp.position, snp.chromosome, snp.allele1, snp.allele2}) + snp.recordTail;
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> block(const BdoseFixture& fixture, const BdoseFixtureSnp& snp) {
    const uint32_t width = fixtureCodeWidth(fixture.compression);
    std::vector<uint8_t> raw;
    for (double d : snp.dosages) put(raw, encodeFixtureDosage(fixture.compression, d), static_cast<int>(width));
    std::vector<uint8_t> frame;
    if (snp.frame) {
        frame = *snp.frame;
    } else {
        frame.resize(ZSTD_compressBound(raw.size()));
        const std::size_t got = ZSTD_compress(frame.data(), frame.size(), raw.data(), raw.size(), 3);
        if (ZSTD_isError(got)) throw std::runtime_error("fixture: zstd compression failed");
        frame.resize(got);
    }
    std::vector<uint8_t> out;
    put(out, 4 + frame.size(), 4);
    put(out, snp.uncompressedSize ? *snp.uncompressedSize : raw.size(), 4);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

}  // namespace

uint32_t fixtureCodeWidth(uint8_t code) {
    static const uint32_t widths[] = {2, 4, 8, 1};
    return widths[code];
}

uint64_t encodeFixtureDosage(uint8_t code, double d) {
    const int k = exponentOf(code);
    if (std::isnan(d)) return uint64_t{13} << (k - 2);  // 3.25 * 2^k
    return static_cast<uint64_t>(std::ldexp(d, k));
}

void BdoseImage::putU8(uint64_t at, uint8_t value) { overwrite(bytes, at, value, 1); }
void BdoseImage::putU32(uint64_t at, uint32_t value) { overwrite(bytes, at, value, 4); }
void BdoseImage::putU64(uint64_t at, uint64_t value) { overwrite(bytes, at, value, 8); }
void BdoseImage::truncate(uint64_t size) { bytes.resize(size); }

std::string BdoseImage::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("fixture: cannot write " + path);
    return path;
}

BdoseFixtureSnp fixtureSnp(const std::string& rsid, uint32_t position, std::vector<double> dosages,
                           uint32_t missing) {
    BdoseFixtureSnp s;
    s.rsid = rsid;
    s.chromosome = "1";
    s.position = position;
    s.allele1 = "A";
    s.allele2 = "G";
    s.dosages = std::move(dosages);
    s.missing = missing;
    return s;
}

SnpIndex zIndex(const std::vector<BdoseFixtureSnp>& snps) {
    SnpIndex index;
    for (uint32_t k = 0; k < snps.size(); ++k) {
        Meta meta;
        meta.rsid = snps[k].rsid;
        meta.chromosome = snps[k].chromosome;
        meta.position = snps[k].position;
        meta.alleles = {snps[k].allele1, snps[k].allele2};
        index.insert(SnpIndex::value_type(meta, k));
    }
    return index;
}

BdoseImage buildBdose(const BdoseFixture& fixture) {
    BdoseImage image;
    std::vector<uint8_t>& out = image.bytes;
    BdoseLayout& at = image.layout;
    const uint32_t n = fixture.numSamples;
    const uint32_t m = static_cast<uint32_t>(fixture.snps.size());

    putText(out, fixture.magic.empty() ? (fixture.v11 ? "bdose1.1" : "bdose1.0") : fixture.magic);
    at.bgenPathLength = out.size();
    put(out, fixture.bgenPath.size(), 4);
    putText(out, fixture.bgenPath);
    put(out, fixture.bgenSize, 8);
    for (uint64_t b = 0; b < std::min<uint64_t>(fixture.bgenSize, 1000); ++b) out.push_back(static_cast<uint8_t>(b * 31 + 7));
    at.bdoseSizeField = out.size();
    put(out, 0, 8);
    at.numSamplesField = out.size();
    put(out, n, 4);
    at.numSnpsField = out.size();
    put(out, m, 4);
    if (fixture.v11) {
        at.compressionField = out.size();
        put(out, fixture.compression, 1);
        at.sampleIdStartField = out.size();
        put(out, 0, 8);
        at.offsetTableStartField = out.size();
        put(out, 0, 8);
        at.dosageStartField = out.size();
        put(out, 0, 8);
    }
    at.headerEnd = out.size();

    for (uint32_t i = 0; i < m; ++i) {
        const std::vector<uint8_t> bytes = record(fixture.snps[i], i);
        at.records.push_back(out.size());
        put(out, bytes.size(), 4);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }

    if (fixture.v11) {
        at.sampleIds = out.size();
        for (uint32_t j = 0; j < n; ++j) {
            const std::string id = fixture.sampleIds.empty() ? "S" + std::to_string(j + 1) : fixture.sampleIds.at(j);
            put(out, id.size(), 4);
            putText(out, id);
        }
        at.offsetTable = out.size();
        out.resize(out.size() + 8 * uint64_t{m});
        const uint64_t dosageStart = out.size();
        for (uint32_t i = 0; i < m; ++i) {
            at.blocks.push_back(out.size());
            overwrite(out, at.offsetTable + 8 * uint64_t{i}, out.size(), 8);
            const std::vector<uint8_t> bytes = block(fixture, fixture.snps[i]);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        overwrite(out, at.sampleIdStartField, at.sampleIds, 8);
        overwrite(out, at.offsetTableStartField, at.offsetTable, 8);
        overwrite(out, at.dosageStartField, dosageStart, 8);
    } else {
        at.missingTable = out.size();
        for (const BdoseFixtureSnp& snp : fixture.snps) put(out, snp.missing, 4);
        at.offsetTable = out.size();
        const uint64_t rowsStart = out.size() + 8 * uint64_t{m};
        for (uint32_t i = 0; i < m; ++i) put(out, rowsStart + uint64_t{i} * n * 8, 8);
        for (const BdoseFixtureSnp& snp : fixture.snps) {
            at.blocks.push_back(out.size());
            for (double d : snp.dosages) {
                uint64_t bits = 0;
                std::memcpy(&bits, &d, sizeof bits);
                put(out, bits, 8);
            }
        }
    }
    overwrite(out, at.bdoseSizeField, out.size(), 8);
    return image;
}

std::string namingPath(std::string text, const std::string& path) {
    const std::size_t at = text.find("'P'");
    if (at != std::string::npos) text.replace(at, 3, "'" + path + "'");
    return text;
}

ProcessResult writeBdoseWithProgram(const std::string& dir, const std::vector<BdoseFixtureSnp>& snps, bool v11,
                                    uint8_t compression, uint32_t threads, const std::string& bdosePath) {
    BgenFile file;
    file.layout = 2;
    file.compression = 2;
    SnpIndex index;
    for (uint32_t i = 0; i < snps.size(); ++i) {
        const BdoseFixtureSnp& snp = snps[i];
        BgenVariant variant;
        variant.varid = "v" + std::to_string(i);
        variant.rsid = snp.rsid;
        variant.chromosome = snp.chromosome;
        variant.position = snp.position;
        variant.alleles = {snp.allele1, snp.allele2};
        for (double d : snp.dosages)
            variant.samples.push_back(std::isnan(d) ? missingDiploid() : diploid(d == 0, d == 1, d == 2));
        file.variants.push_back(variant);
        index.insert(SnpIndex::value_type(Meta{snp.rsid, snp.chromosome, snp.position, variant.alleles}, i));
    }
    const std::string bgenPath = dir + "/data.bgen";
    const std::vector<BgenVariantPlace> places = writeBgen(bgenPath, file);
    std::vector<BgenIndex> indexes;
    for (uint32_t i = 0; i < snps.size(); ++i)
        indexes.push_back({snps[i].rsid, snps[i].position, static_cast<int64_t>(places[i].file_start_position),
                           static_cast<int64_t>(places[i].size_in_bytes)});
    const uint32_t n = snps.empty() ? 0 : static_cast<uint32_t>(snps[0].dosages.size());
    SampleList samples;
    for (uint32_t j = 0; j < n; ++j) samples.emplace_back(j, "S" + std::to_string(j + 1));

    std::ifstream bgen(bgenPath, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(bgen)), std::istreambuf_iterator<char>());
    Bdose::Context context;
    context.firstBytes.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 1000)));
    context.bgenPath = bgenPath;
    context.bdosePath = bdosePath;
    std::memcpy(context.magicNumber.data(), v11 ? "bdose1.1" : "bdose1.0", 8);
    context.numSamples = n;
    context.numSNPs = static_cast<uint32_t>(snps.size());
    context.bgenSize = bytes.size();
    context.version = v11 ? 1 : 0;
    context.compression = compression;
    return runInChild([&] {
        Bdose writer;
        writer.init(threads, context, indexes, index, samples);
        if (v11) {
            writer.write_v11();
        } else {
            writer.write_v10();
        }
    });
}
