#include "support/dataset.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>

#include "support/bgenwriter.h"
#include "support/bgiwriter.h"
#include "support/oracle.h"

namespace {

double single(double x) { return static_cast<double>(static_cast<float>(x)); }

// One sample of one SNP: what the BGEN writer is given, and what a reader decodes from it.
struct SampleDraw {
    BgenSampleProbs written;
    std::array<double, 3> decoded{};
};

// Draws genotype probabilities on the grid of the stored integers, so that the decoded values
// are known exactly: layout 1 stores a/32768 for each genotype, layout 2 a/(2^bits - 1) for AA
// and AB.
class Generator {
public:
    explicit Generator(const DatasetOptions& options) : options_(options), rng_(options.seed) {
        top_ = options.layout == 1 ? 32768.0 : static_cast<double>((uint64_t{1} << options.bits) - 1);
    }

    SampleDraw missing() const {
        const double d = options_.layout == 1 ? 0.0 : -1.0;
        return {missingDiploid(), {d, d, d}};
    }

    // The stored integers a (AA) and b (AB), c = top - a - b.
    SampleDraw fromCounts(uint64_t a, uint64_t b) const {
        const double x0 = static_cast<double>(a) / top_;
        const double x1 = static_cast<double>(b) / top_;
        if (options_.layout == 1) {
            const double x2 = static_cast<double>(uint64_t(top_) - a - b) / top_;
            return {diploid(x0, x1, x2), {single(x0), single(x1), single(x2)}};
        }
        // Layout 2 stores AA and AB; BB is 1 minus their unrounded sum.
        const double rest = 1.0 - (x0 + x1);
        return {diploid(x0, x1, rest), {single(x0), single(x1), single(rest)}};
    }

    std::pair<uint64_t, uint64_t> drawCounts() {
        const auto top = static_cast<uint64_t>(top_);
        if (options_.hardCalls) {
            switch (std::uniform_int_distribution<int>(0, 2)(rng_)) {
                case 0: return {top, 0};
                case 1: return {0, top};
                default: return {0, 0};
            }
        }
        const uint64_t a = std::uniform_int_distribution<uint64_t>(0, top)(rng_);
        const uint64_t b = std::uniform_int_distribution<uint64_t>(0, top - a)(rng_);
        return {a, b};
    }

    bool drawMissing() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < options_.missingRate; }

    uint32_t drawIndex(std::size_t size) {
        return static_cast<uint32_t>(std::uniform_int_distribution<std::size_t>(0, size - 1)(rng_));
    }

private:
    const DatasetOptions& options_;
    std::mt19937_64 rng_;
    double top_ = 0;
};

std::string stem(const std::string& directory, const DatasetOptions& options, const std::string& extension) {
    return directory + "/" + options.name + "." + extension;
}

// The bytes of the first variant of a one-variant file built with the settings of `file`.
std::vector<uint8_t> variantBytes(const BgenFile& file) {
    const BgenImage image = buildBgen(file);
    const BgenVariantPlace& place = image.places.at(0);
    const auto begin = image.bytes.begin() + static_cast<std::ptrdiff_t>(place.file_start_position);
    return std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(place.size_in_bytes));
}

}  // namespace

std::map<std::string, std::string> Dataset::columns() const {
    std::map<std::string, std::string> map{
        {"z", z}, {"bgen", bgen}, {"bgi", bgi}, {"n_samples", std::to_string(included.size())}};
    if (!sample.empty()) map["sample"] = sample;
    if (!incl.empty()) map["incl"] = incl;
    return map;
}

Dataset makeDataset(const std::string& directory, const DatasetOptions& options, bool keepProbabilities) {
    if (options.layout != 1 && options.layout != 2) throw std::runtime_error("layout must be 1 or 2");
    if (options.samples == 0) throw std::runtime_error("a dataset needs samples");
    Generator generator(options);
    Dataset data;
    data.layout = options.layout;
    for (uint32_t i = 0; i < options.samples; ++i) data.sampleIds.push_back("S" + std::to_string(i + 1));
    data.included = options.included;
    if (data.included.empty())
        for (uint32_t i = 0; i < options.samples; ++i) data.included.push_back(i);
    for (const uint32_t i : data.included)
        if (i >= options.samples) throw std::runtime_error("included sample beyond the BGEN samples");

    data.bgen = stem(directory, options, "bgen");
    data.bgi = stem(directory, options, "bgi");
    data.z = stem(directory, options, "z");

    BgenFile settings;
    settings.layout = options.layout;
    settings.compression = options.compression;
    settings.bits = options.bits;
    BgenFile header = settings;
    if (options.sampleIdBlock) header.sampleIds = data.sampleIds;
    header.faults.numberOfVariants = options.snps;
    header.faults.numberOfSamples = options.samples;
    const std::vector<uint8_t> headerBytes = buildBgen(header).bytes;

    std::ofstream bgen(data.bgen, std::ios::binary | std::ios::trunc);
    bgen.write(reinterpret_cast<const char*>(headerBytes.data()), static_cast<std::streamsize>(headerBytes.size()));
    uint64_t size = headerBytes.size();
    std::vector<uint8_t> firstBytes(headerBytes.begin(),
                                    headerBytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(size, 1000)));
    BgiFile index;

    for (uint32_t n = 0; n < options.snps; ++n) {
        const ZRow row{"rs" + std::to_string(n + 1), "1", 1000 + 10 * n, "A", "G"};
        data.snps.push_back(row);
        const auto kind = options.kinds.count(n) ? options.kinds.at(n) : SnpKind::Random;
        const auto constant = generator.drawCounts();
        const uint32_t onlyOne = data.included[generator.drawIndex(data.included.size())];

        BgenVariant variant;
        variant.varid = "v" + std::to_string(n + 1);
        variant.rsid = row.rsid;
        variant.chromosome = row.chromosome;
        variant.position = row.position;
        std::vector<std::array<double, 3>> decoded;
        for (uint32_t i = 0; i < options.samples; ++i) {
            bool isMissing = kind == SnpKind::AllMissing || (kind == SnpKind::OneNonMissing && i != onlyOne);
            if (kind == SnpKind::Random || kind == SnpKind::Constant) isMissing = generator.drawMissing();
            SampleDraw draw;
            if (isMissing) {
                draw = generator.missing();
            } else if (kind == SnpKind::Constant) {
                draw = generator.fromCounts(constant.first, constant.second);
            } else {
                const auto counts = generator.drawCounts();
                draw = generator.fromCounts(counts.first, counts.second);
            }
            variant.samples.push_back(std::move(draw.written));
            if (keepProbabilities) decoded.push_back(draw.decoded);
        }
        if (keepProbabilities) data.probs.push_back(std::move(decoded));

        BgenFile one = settings;
        one.variants.push_back(std::move(variant));
        const std::vector<uint8_t> bytes = variantBytes(one);
        index.variants.push_back(BgiVariantRow{row.rsid, row.chromosome, row.position, row.allele1, row.allele2,
                                               static_cast<int64_t>(size), static_cast<int64_t>(bytes.size())});
        bgen.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        for (std::size_t k = 0; k < bytes.size() && firstBytes.size() < 1000; ++k) firstBytes.push_back(bytes[k]);
        size += bytes.size();
    }
    bgen.close();
    if (!bgen) throw std::runtime_error("cannot write " + data.bgen);

    index.metadata.push_back(
        bgiMetadata(options.name + ".bgen", static_cast<int64_t>(size), firstBytes));
    writeBgi(data.bgi, index);
    writeZFile(data.z, data.snps);
    if (options.sampleFile || !options.included.empty())
        data.sample = writeSampleFile(stem(directory, options, "sample"), data.sampleIds);
    if (!options.included.empty()) {
        std::vector<std::string> ids;
        for (const uint32_t i : data.included) ids.push_back(data.sampleIds[i]);
        data.incl = writeInclusionFile(stem(directory, options, "incl"), ids);
    }
    return data;
}

double expectedDosage(const Dataset& data, uint32_t n, uint32_t j) {
    const std::array<double, 3>& p = data.probs.at(n).at(data.included.at(j));
    const double total = p[0] + p[1] + p[2];
    if (p[0] < 0 || p[1] < 0 || p[2] < 0 || total == 0.0) return std::numeric_limits<double>::quiet_NaN();
    return (2 * p[2] + p[1]) / total;
}

std::vector<double> expectedRows(const Dataset& data, std::vector<uint32_t>* missingCounts) {
    const uint32_t S = data.nIncluded();
    std::vector<double> rows;
    rows.reserve(uint64_t{data.nSnps()} * S);
    if (missingCounts) missingCounts->assign(data.nSnps(), 0);
    for (uint32_t n = 0; n < data.nSnps(); ++n) {
        std::vector<double> x(S);
        for (uint32_t j = 0; j < S; ++j) x[j] = expectedDosage(data, n, j);
        const std::vector<double> row = twoPassStandardised(x, missingCounts ? &(*missingCounts)[n] : nullptr);
        rows.insert(rows.end(), row.begin(), row.end());
    }
    return rows;
}

void makeSmallDatasets(const std::string& directory, const std::vector<std::string>& names, uint32_t samples,
                       uint32_t snps) {
    for (const std::string& name : names) {
        DatasetOptions options;
        options.name = name;
        options.samples = samples;
        options.snps = snps;
        makeDataset(directory, options);
    }
}

std::string writeMasterFile(const std::string& path, const std::vector<std::string>& header,
                            const std::vector<std::map<std::string, std::string>>& lines) {
    std::string text;
    for (std::size_t k = 0; k < header.size(); ++k) text += (k ? ";" : "") + header[k];
    text += "\n";
    for (const auto& line : lines) {
        for (std::size_t k = 0; k < header.size(); ++k) {
            const auto found = line.find(header[k]);
            text += (k ? ";" : "") + (found == line.end() ? std::string() : found->second);
        }
        text += "\n";
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}
