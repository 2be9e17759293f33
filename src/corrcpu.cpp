#include "corrcpu.h"

#include <cblas.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "error.h"
#include "threads.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A matrix dimension as BLAS takes it; beyond its integer range the run ends.
blasint blasDim(uint64_t n) {
    if (n > static_cast<uint64_t>(INT_MAX))
        Error::fail("Matrix dimension " + std::to_string(n) + " is too large for BLAS!");
    return static_cast<blasint>(n);
}

// h(h+1)/2 without overflow for every h whose value fits in 64 bits.
uint64_t triangle(uint64_t h) { return h % 2 == 0 ? h / 2 * (h + 1) : (h + 1) / 2 * h; }

const char* const kProcessing = "\r- Processing            : ";

}  // namespace

void CorrCPU::Buffer::alloc(uint64_t r, uint64_t c) {
    const uint64_t n = r * c;
    if (n > capacity_) {
        try {
            storage_.reset(new double[n]);
        } catch (const std::bad_alloc&) {
            Error::fail("Cannot allocate buffer for computing SNP correlations!. At least " +
                        convertByteToHumanReadableCount(static_cast<double>(n) * 8) + " memory are required.");
        }
        capacity_ = n;
    }
    data = storage_.get();
    rows = r;
    cols = c;
    owned = true;
}

void CorrCPU::Buffer::view(double* source, uint64_t r, uint64_t c) {
    data = source;
    rows = r;
    cols = c;
    owned = false;
}

void CorrCPU::Buffer::checkExtent(uint64_t n) const {
    if (n > rows * cols)
        Error::fail("Cannot access value at index " + std::to_string(n - 1) + " because buffer has length " +
                    std::to_string(rows * cols) + "!");
}

void CorrCPU::Buffer::release() {
    storage_.reset();
    capacity_ = 0;
    data = nullptr;
    rows = 0;
    cols = 0;
    owned = false;
}

CorrCPU::CorrCPU(const FlagMap& flags, const Masterfile& master, const Flag::Values& options)
    : flagMap(flags), masterfile(master), values(options) {}

void CorrCPU::readData(uint32_t i) {
    regionfiles = Regionfiles();
    regionfiles.files = masterfile.files.at(i);
    data.init(flagMap, values, regionfiles);
    data.readSumStats(&values.rsids);
    data.printSummaryData();
    if (regionfiles.files.count("bgen") != 0) {
        if (flagMap.has("write-bdose"))
            data.readBgenWriteDose();
        else
            data.readBgenNoWriteDose();
    }
    if ((flagMap.has("write-bcor") || flagMap.has("write-text")) &&
        (flagMap.has("read-bdose") || flagMap.has("write-bdose")))
        data.initBdose(&values.bdoseVersion);
}

uint64_t CorrCPU::getIndex(uint64_t a, uint64_t b) const {
    const uint64_t i = std::min(a, b);
    const uint64_t j = std::max(a, b);
    // Row i starts after the i rows above it, of M-1, M-2 … M-i pairs: i(2M-i-1)/2 (an even product).
    const uint64_t M = data.nSNPs;
    const uint64_t product = i % 2 == 0 ? i / 2 * (2 * M - i - 1) : i * ((2 * M - i - 1) / 2);
    return product + (j - i - 1);
}

std::pair<uint64_t, uint64_t> CorrCPU::tileCoordinates(uint64_t k, uint64_t nT) {
    // Counting from the last tile pair backwards, u = e - k falls in the (h+1)-th row from the
    // bottom, h the largest integer with h(h+1)/2 ≤ u. The estimate in double is corrected exactly.
    const uint64_t e = triangle(nT) - 1;
    const uint64_t u = e - k;
    uint64_t h = static_cast<uint64_t>(std::min(std::floor((std::sqrt(8.0 * static_cast<double>(u) + 1) - 1) * 0.5),
                                                static_cast<double>(nT - 1)));
    while (h > 0 && triangle(h) > u) --h;
    while (h + 1 < nT && triangle(h + 1) <= u) ++h;
    const uint64_t r = nT - 1 - h;
    const uint64_t c = r + (triangle(h) + h - u);
    return {r, c};
}

void CorrCPU::failMemory(uint64_t nCorr) const {
    const double needed = (2.0 * static_cast<double>(data.nSamples) + static_cast<double>(nCorr) + 1) * 8;
    Error::fail("\n", "Specified memory of " + convertByteToHumanReadableCount(1e9 * values.cpuMem) +
                          " is insufficient for storing SNP correlations and performing computations! At least " +
                          convertByteToHumanReadableCount(needed) + " memory are required!");
}

void CorrCPU::computeTileSize() {
    const uint64_t M = data.nSNPs;
    const bool rsids = flagMap.has("rsids");
    if (!flagMap.has("cpu-mem")) {
        tileSize = M;
    } else {
        const uint64_t nCorr = rsids ? values.rsids.index.size() * M : M * (M - 1) / 2;
        const double avail = 1e9 * values.cpuMem * 0.125 - static_cast<double>(nCorr);
        if (!(avail > 0)) failMemory(nCorr);
        const double n = static_cast<double>(data.nSamples);
        // The largest t with nCorr + 2Nt + t² doubles (with --rsids nCorr + N + Nt + t) in the budget.
        const double t = std::floor(rsids ? (avail - n) / (n + 1) : std::sqrt(avail + n * n) - n);
        if (!(t >= 1)) failMemory(nCorr);
        tileSize = t >= static_cast<double>(M) ? M : static_cast<uint64_t>(t);
        if (tileSize == 0) failMemory(nCorr);
    }
    tilesPerDim = tileSize == 0 ? 0 : (M + tileSize - 1) / tileSize;
    nTiles = rsids ? tilesPerDim : triangle(tilesPerDim);
    std::cout << "- Number of tiles       : " << nTiles << std::endl;
}

void CorrCPU::allocOverallR() {
    const uint64_t M = data.nSNPs;
    try {
        R.assign(M * (M - 1) / 2, 0.0);
    } catch (const std::exception&) {
        const double m = static_cast<double>(M);
        Error::fail("\n\n", "Cannot allocate buffer for storing SNP correlations!. At least " +
                                convertByteToHumanReadableCount(((0.5 * m) * (m + 1) - m) * 8) +
                                " memory are required.");
    }
}

void CorrCPU::allocOneSNPR() {
    const uint64_t M = data.nSNPs;
    try {
        R.assign(values.rsids.index.size() * M, 0.0);
    } catch (const std::exception&) {
        Error::fail("Cannot allocate buffer for storing SNP correlations!. At least " +
                    convertByteToHumanReadableCount(static_cast<double>(M) * 8) + " memory are required.");
    }
}

CorrCPU::Tile CorrCPU::tile(uint64_t i) const {
    Tile t;
    t.start = i * tileSize;
    t.end = std::min(data.nSNPs, t.start + tileSize);
    t.size = t.end - t.start;
    return t;
}

void CorrCPU::checkDosages() const {
    const BgenParser& parser = data.bgenParser;
    const uint64_t M = data.nSNPs, N = data.nSamples;
    if (parser.includedSamples.size() != N || parser.missingCounts.size() != M || parser.dosages.size() != M * N)
        Error::fail("The dosages in memory do not hold " + std::to_string(M) + " SNPs of " + std::to_string(N) +
                    " samples!");
}

double CorrCPU::missingRate(uint64_t s) const {
    if (values.bdoseVersion == 0) return data.bdoseMapper.getMissingness(static_cast<uint32_t>(s));
    if (values.bdoseVersion == 1) {
        // Whichever parser decoded the SNP recorded its missing count.
        for (const BdoseParser& parser : data.bdoseParsers)
            if (parser.snpStatus.at(s).first)
                return static_cast<double>(parser.snpStatus[s].second) /
                       static_cast<double>(parser.includedSamples.size());
        Error::fail("The dosages of SNP number " + std::to_string(s + 1) + " have not been read!");
    }
    const BgenParser& parser = data.bgenParser;
    return static_cast<double>(parser.missingCounts[s]) / static_cast<double>(parser.includedSamples.size());
}

void CorrCPU::markExcluded(const Tile& t) {
    for (uint64_t s = t.start; s < t.end; ++s) excluded_[s] = missingRate(s) > values.miss ? 1 : 0;
}

void CorrCPU::loadTile(const Tile& t, Buffer* buffer) {
    const uint64_t n = data.nSamples;
    if (values.bdoseVersion == 0) {
        buffer->alloc(n, t.size);
        // A mapped row need not be aligned for doubles: it is copied bytewise.
        const double* row = nullptr;
        for (uint64_t s = t.start; s < t.end; ++s)
            std::memcpy(buffer->data + (s - t.start) * n, data.bdoseMapper.mapRegion(static_cast<uint32_t>(s), row),
                        n * sizeof(double));
    } else if (values.bdoseVersion == 1) {
        buffer->alloc(n, t.size);
        loadParsedTile(t, buffer->data);
    } else {
        // The BGEN dosage rows in memory are used in place: the tile's rows are contiguous.
        buffer->view(data.bgenParser.dosages.data() + t.start * n, n, t.size);
    }
    markExcluded(t);
}

void CorrCPU::loadParsedTile(const Tile& t, double* columns) {
    const uint64_t n = data.nSamples;
    const int threads = teamSize(std::min<uint64_t>(values.nThreads, data.bdoseParsers.size()), t.size);
    const int64_t size = static_cast<int64_t>(t.size);
    // Thread t decodes its share of the tile's SNPs with parser t only.
#pragma omp parallel num_threads(std::max(threads, 1))
    {
        BdoseParser& parser = data.bdoseParsers[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
        for (int64_t i = 0; i < size; ++i) {
            const uint64_t s = t.start + static_cast<uint64_t>(i);
            double* column = columns + static_cast<uint64_t>(i) * n;
            try {
                parser.readDosageDataBlock(static_cast<uint32_t>(s), column);
            } catch (const std::exception& e) {
                Error::fail("Cannot read the dosages of SNP number " + std::to_string(s + 1) + " from BDOSE file '" +
                            regionfiles.files.at("bdose") + "': " + e.what() + "!");
            }
        }
    }
}

void CorrCPU::mapBdoseFile() {
    if (values.bdoseVersion == 0) data.bdoseMapper.memmapFile();
}

void CorrCPU::memcpyInX() { loadTile(x, &X); }

void CorrCPU::memcpyInY() { loadTile(y, &Y); }

void CorrCPU::sgemm() {
    const blasint n = blasDim(std::max<uint64_t>(data.nSamples, 1));
    tileResult.alloc(x.size, y.size);
    cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, blasDim(y.size), blasDim(x.size), blasDim(data.nSamples), 1.0,
                Y.data, n, X.data, n, 0.0, tileResult.data, blasDim(std::max<uint64_t>(y.size, 1)));
    storeTile(false, x.start, y.start, x.size, y.size);
}

void CorrCPU::storeTile(bool diag, uint64_t xStart, uint64_t yStart, uint64_t xSize, uint64_t ySize) {
    tileResult.checkExtent(xSize * ySize);
    const double scale = static_cast<double>(data.nSamples) - 1;
    const double* product = tileResult.data;
    const uint8_t* excluded = excluded_.data();
    if (flagMap.has("rsids")) {
        // One listed SNP s against the SNPs of the tile, into row rsidRow.
        const uint64_t s = xStart;
        double* row = R.data() + rsidRow * data.nSNPs;
        for (uint64_t i = 0; i < ySize; ++i) {
            const uint64_t b = yStart + i;
            row[b] = excluded[s] || excluded[b] ? (b == s ? 1.0 : kNaN) : product[i] / scale;
        }
        return;
    }
    // Row e of the tile (SNP a) against SNPs yStart + first … yStart + ySize - 1: one contiguous
    // run of R and of the product.
    double* out = R.data();
#pragma omp parallel for num_threads(std::max(teamSize(values.nThreads, xSize), 1)) schedule(static, 16)
    for (uint64_t e = 0; e < xSize; ++e) {
        const uint64_t first = diag ? e + 1 : 0;
        if (first >= ySize) continue;
        const uint64_t a = xStart + e;
        // The pairs (a, yStart + first) ... (a, yStart + ySize - 1), from the run's first element.
        double* dst = out + getIndex(a, yStart + first);
        const uint64_t count = ySize - first;
        if (excluded[a]) {
            std::fill(dst, dst + count, kNaN);
            continue;
        }
        const double* src = product + e * ySize + first;
        const uint8_t* excludedB = excluded + yStart + first;
        for (uint64_t j = 0; j < count; ++j) dst[j] = excludedB[j] ? kNaN : src[j] / scale;
    }
}

void CorrCPU::runAllPairs() {
    const blasint n = blasDim(std::max<uint64_t>(data.nSamples, 1));
    computeTileSize();
    allocOverallR();
    mapBdoseFile();
    const uint64_t step = nTiles / 10;
    uint64_t next = step;
    std::cout << std::fixed << std::setprecision(3);
    for (uint64_t k = 0; k < nTiles; ++k) {
        if (k >= next) {
            next += step;
            std::cout << kProcessing << k * 100 / nTiles << "/100%" << std::flush;
        }
        const auto [r, c] = tileCoordinates(k, tilesPerDim);
        if (r != c) {
            y = tile(c);
            memcpyInY();
            sgemm();
            continue;
        }
        // A diagonal tile opens row r: X keeps its dosages for the rest of the row.
        x = tile(r);
        memcpyInX();
        tileResult.alloc(x.size, x.size);
        const blasint size = blasDim(x.size);
        cblas_dsyrk(CblasColMajor, CblasLower, CblasTrans, size, blasDim(data.nSamples), 1.0, X.data, n, 0.0,
                    tileResult.data, std::max<blasint>(size, 1));
        storeTile(true, x.start, x.start, x.size, x.size);
    }
}

void CorrCPU::runRsids() {
    const blasint n = blasDim(std::max<uint64_t>(data.nSamples, 1));
    allocOneSNPR();
    computeTileSize();
    mapBdoseFile();
    for (const int32_t s : values.rsids.index) {
        // The listed SNP stays loaded while its row is filled tile by tile.
        x.start = static_cast<uint64_t>(s);
        x.end = x.start + 1;
        x.size = 1;
        memcpyInX();
        for (uint64_t i = 0; i < nTiles; ++i) {
            y = tile(i);
            memcpyInY();
            tileResult.alloc(1, y.size);
            cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, blasDim(y.size), 1, blasDim(data.nSamples), 1.0,
                        Y.data, n, X.data, n, 0.0, tileResult.data, std::max<blasint>(blasDim(y.size), 1));
            storeTile(false, x.start, y.start, 1, y.size);
        }
        ++rsidRow;
    }
}

void CorrCPU::run() {
    const uint64_t M = data.nSNPs;
    if (values.bdoseVersion != 0 && values.bdoseVersion != 1) checkDosages();
    openblas_set_num_threads(std::max(teamSize(values.nThreads, M), 1));
    excluded_.assign(M, 0);
    if (flagMap.has("rsids"))
        runRsids();
    else
        runAllPairs();
    X.release();
    Y.release();
    tileResult.release();
    std::cout << kProcessing << "done!   " << std::endl;
}
