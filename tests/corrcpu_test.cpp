#include "corrcpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/oracle.h"
#include "support/process.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Raw dosages of M SNPs over N samples (raw[m][n], NaN for a missing sample).
using RawDosages = std::vector<std::vector<double>>;

// Dosages in [0, 2] with neighbouring SNPs correlated; `missing` gives, per SNP, how many of its
// first samples are missing.
RawDosages makeDosages(uint64_t M, uint64_t N, const std::map<uint64_t, uint64_t>& missing, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 2.0);
    std::bernoulli_distribution keep(0.7);
    RawDosages raw(M, std::vector<double>(N));
    for (uint64_t m = 0; m < M; ++m)
        for (uint64_t n = 0; n < N; ++n) raw[m][n] = m > 0 && keep(random) ? raw[m - 1][n] : uniform(random);
    for (const auto& [m, count] : missing)
        for (uint64_t n = 0; n < count; ++n) raw[m][n] = kNaN;
    return raw;
}

uint64_t missingCount(const std::vector<double>& row) {
    uint64_t count = 0;
    for (double v : row) count += std::isnan(v) ? 1 : 0;
    return count;
}

// Loads `raw` into the engine's dataset as the BGEN loader leaves it.
void load(CorrCPU* engine, const RawDosages& raw) {
    Data& data = engine->data;
    data.nSNPs = raw.size();
    data.nSamples = raw[0].size();
    for (const auto& row : raw) {
        const std::vector<double> z = twoPassStandardised(row);
        data.bgenParser.dosages.insert(data.bgenParser.dosages.end(), z.begin(), z.end());
        data.bgenParser.missingCounts.push_back(static_cast<uint32_t>(missingCount(row)));
    }
    for (uint32_t n = 0; n < data.nSamples; ++n) data.bgenParser.includedSamples.emplace_back(n, "");
}

// Options of an engine: --memory in gigabytes (0: none), the --rsids SNP numbers, threads.
struct Options {
    double memory = 0;
    std::vector<int32_t> rsids;
    uint32_t threads = 1;
    double miss = 0.1;
};

CorrCPU makeEngine(const Options& options) {
    FlagMap flags;
    Flag::Values values;
    values.nThreads = options.threads;
    values.miss = options.miss;
    if (options.memory > 0) {
        flags.insert("cpu-mem", {0, std::to_string(options.memory)});
        values.cpuMem = options.memory;
    }
    if (!options.rsids.empty()) {
        flags.insert("rsids", {2, "list"});
        for (int32_t s : options.rsids) {
            values.rsids.order.push_back("rs" + std::to_string(s));
            values.rsids.ids.insert("rs" + std::to_string(s));
            values.rsids.index.push_back(s);
        }
    }
    return CorrCPU(flags, Masterfile(), values);
}

// Runs the engine on `raw`; returns R and what it printed.
std::vector<double> runEngine(const RawDosages& raw, const Options& options, std::string* printed = nullptr) {
    CorrCPU engine = makeEngine(options);
    load(&engine, raw);
    testing::internal::CaptureStdout();
    engine.run();
    const std::string out = testing::internal::GetCapturedStdout();
    if (printed != nullptr) *printed = out;
    EXPECT_EQ(engine.X.data, nullptr);
    EXPECT_EQ(engine.tileResult.data, nullptr);
    return engine.R;
}

bool excluded(const std::vector<double>& row, double miss) {
    return static_cast<double>(missingCount(row)) / static_cast<double>(row.size()) > miss;
}

// The expected correlation of SNPs a and b: NaN when either is excluded.
double expected(const RawDosages& raw, uint64_t a, uint64_t b, double miss) {
    if (excluded(raw[a], miss) || excluded(raw[b], miss)) return kNaN;
    return pearson(meanImputed(raw[a]), meanImputed(raw[b]));
}

void expectNear(double want, double got, const std::string& where) {
    if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << where << ": " << got;
    else
        EXPECT_NEAR(want, got, 1e-12) << where;
}

void checkAllPairs(const RawDosages& raw, const std::vector<double>& R, double miss) {
    const uint64_t M = raw.size();
    ASSERT_EQ(R.size(), M * (M - 1) / 2);
    uint64_t index = 0;
    for (uint64_t a = 0; a < M; ++a)
        for (uint64_t b = a + 1; b < M; ++b, ++index)
            expectNear(expected(raw, a, b, miss), R[index], "pair " + std::to_string(a) + "," + std::to_string(b));
}

void checkRsids(const RawDosages& raw, const std::vector<int32_t>& rsids, const std::vector<double>& R, double miss) {
    const uint64_t M = raw.size();
    ASSERT_EQ(R.size(), rsids.size() * M);
    for (uint64_t k = 0; k < rsids.size(); ++k) {
        const uint64_t s = static_cast<uint64_t>(rsids[k]);
        for (uint64_t b = 0; b < M; ++b) {
            const double want = b == s ? (excluded(raw[s], miss) ? 1.0 : pearson(meanImputed(raw[s]), meanImputed(raw[b])))
                                       : expected(raw, s, b, miss);
            expectNear(want, R[k * M + b], "row " + std::to_string(k) + " column " + std::to_string(b));
        }
    }
}

bool sameBytes(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// --memory budgets (GB) for 50 samples and 10 SNPs: all pairs in tiles of 4 SNPs (3 per dimension,
// 6 tile pairs); two --rsids SNPs in tiles of 3 SNPs (4 tiles).
constexpr double kFourSnpTiles = 4.12e-6;
constexpr double kThreeSnpRsidTiles = 2e-6;

// Largest tile size whose correlations and tile buffers fit in the budget, by trial.
uint64_t bruteForceTileSize(uint64_t M, uint64_t N, uint64_t K, bool rsids, double memory) {
    const double budget = 1e9 * memory * 0.125;
    const double nCorr = rsids ? static_cast<double>(K * M) : static_cast<double>(M * (M - 1) / 2);
    uint64_t best = 0;
    for (uint64_t t = 1; t <= M; ++t) {
        const double n = static_cast<double>(N), d = static_cast<double>(t);
        const double need = rsids ? nCorr + n + n * d + d : nCorr + 2 * n * d + d * d;
        if (need <= budget) best = t;
    }
    return best;
}

}  // namespace

TEST(CorrCPUTest, TileSizeFromMemoryBudget) {
    struct Case {
        uint64_t M, N;
        double memory;  // 0: no --memory
        uint64_t K;     // 0: all pairs
        uint64_t tileSize, tiles;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {10, 50, 0, 0, 10, 1},          // one tile of all SNPs
        {10, 50, 0, 2, 10, 1},          // --rsids: one tile
        {10, 50, inf, 0, 10, 1},        // "inf": all SNPs
        {10, 50, 1e300, 0, 10, 1},      // a budget far beyond any tile
        {10, 50, kFourSnpTiles, 0, 4, 6},
        {10, 50, kThreeSnpRsidTiles, 2, 3, 4},
        {1000, 2000, 0.1, 0, 0, 0},     // sizes checked against the trial below
        {1000, 2000, 0.1, 7, 0, 0},
        {3000, 100, 0.05, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Options options;
        options.memory = c.memory;
        for (uint64_t k = 0; k < c.K; ++k) options.rsids.push_back(static_cast<int32_t>(k));
        CorrCPU engine = makeEngine(options);
        engine.data.nSNPs = c.M;
        engine.data.nSamples = c.N;
        testing::internal::CaptureStdout();
        engine.computeTileSize();
        const std::string out = testing::internal::GetCapturedStdout();

        uint64_t tileSize = c.tileSize;
        if (tileSize == 0) tileSize = bruteForceTileSize(c.M, c.N, c.K, c.K > 0, c.memory);
        const uint64_t nT = (c.M + tileSize - 1) / tileSize;
        const uint64_t tiles = c.K > 0 ? nT : nT * (nT + 1) / 2;
        if (c.tiles != 0) {
            EXPECT_EQ(tiles, c.tiles);
        }
        EXPECT_EQ(engine.tileSize, tileSize) << c.M << " " << c.memory;
        EXPECT_EQ(engine.tilesPerDim, nT);
        EXPECT_EQ(engine.nTiles, tiles);
        EXPECT_EQ(out, "- Number of tiles       : " + std::to_string(tiles) + "\n");
    }
}

TEST(CorrCPUTest, TileCountsBeyond32Bits) {
    // 100,000 tiles per dimension make 5,000,050,000 tile pairs.
    CorrCPU engine = makeEngine({1e-3, {}, 1, 0.1});
    engine.data.nSNPs = 100000;
    engine.data.nSamples = 1;
    // nCorr = 4,999,950,000 doubles: a budget of 40,000 GB leaves room for tiles of one SNP.
    engine.values.cpuMem = (4999950000.0 + 3.5) * 8 / 1e9;
    testing::internal::CaptureStdout();
    engine.computeTileSize();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(engine.tileSize, 1u);
    EXPECT_EQ(engine.tilesPerDim, 100000u);
    EXPECT_EQ(engine.nTiles, 5000050000u);
}

TEST(CorrCPUTest, MemoryBudgetTooSmall) {
    struct Case {
        double memory;
        uint64_t K;
        std::string message;
    };
    // 100 SNPs, 50 samples: 4950 pairs (or 200 --rsids values) and at least 2N + nCorr + 1 doubles.
    const Case cases[] = {
        {1e-5, 0, "Specified memory of 10 KB is insufficient for storing SNP correlations and performing "
                  "computations! At least 40.4 KB memory are required!"},
        // Room for the correlations but not for a tile of one SNP.
        {4e-5, 0, "Specified memory of 40 KB is insufficient for storing SNP correlations and performing "
                  "computations! At least 40.4 KB memory are required!"},
        {2e-6, 2, "Specified memory of 2 KB is insufficient for storing SNP correlations and performing "
                  "computations! At least 2.41 KB memory are required!"},
    };
    for (const Case& c : cases) {
        Options options;
        options.memory = c.memory;
        for (uint64_t k = 0; k < c.K; ++k) options.rsids.push_back(static_cast<int32_t>(k));
        const ProcessResult result = runInChild([&] {
            CorrCPU engine = makeEngine(options);
            engine.data.nSNPs = 100;
            engine.data.nSamples = 50;
            engine.computeTileSize();
        });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "\nError : " + c.message + "\n\n");
    }
}

TEST(CorrCPUTest, PackedIndexOfPairs) {
    CorrCPU engine = makeEngine({});
    for (uint64_t M : {2, 3, 7, 64}) {
        engine.data.nSNPs = M;
        uint64_t index = 0;
        for (uint64_t a = 0; a < M; ++a)
            for (uint64_t b = a + 1; b < M; ++b, ++index) {
                EXPECT_EQ(engine.getIndex(a, b), index);
                EXPECT_EQ(engine.getIndex(b, a), index);
            }
    }
    // 3,000,000,000 SNPs: the last pair is M(M-1)/2 - 1, beyond what a double holds exactly.
    const uint64_t M = 3000000000;
    engine.data.nSNPs = M;
    EXPECT_EQ(engine.getIndex(M - 2, M - 1), M * (M - 1) / 2 - 1);
    EXPECT_EQ(engine.getIndex(1, 0), 0u);
    EXPECT_EQ(engine.getIndex(1, 2), M - 1);
}

TEST(CorrCPUTest, TileOrderRowByRow) {
    for (uint64_t nT = 1; nT <= 40; ++nT) {
        uint64_t k = 0;
        for (uint64_t r = 0; r < nT; ++r)
            for (uint64_t c = r; c < nT; ++c, ++k)
                EXPECT_EQ(CorrCPU::tileCoordinates(k, nT), std::make_pair(r, c)) << nT << " " << k;
    }
    const uint64_t nT = 5000000000;  // nT(nT+1)/2 tile pairs, beyond 2^64 / 2
    const uint64_t last = nT / 2 * (nT + 1) - 1;
    EXPECT_EQ(CorrCPU::tileCoordinates(0, nT), std::make_pair(uint64_t{0}, uint64_t{0}));
    EXPECT_EQ(CorrCPU::tileCoordinates(nT - 1, nT), std::make_pair(uint64_t{0}, nT - 1));
    EXPECT_EQ(CorrCPU::tileCoordinates(nT, nT), std::make_pair(uint64_t{1}, uint64_t{1}));
    EXPECT_EQ(CorrCPU::tileCoordinates(last, nT), std::make_pair(nT - 1, nT - 1));
    EXPECT_EQ(CorrCPU::tileCoordinates(last - 1, nT), std::make_pair(nT - 2, nT - 1));
}

TEST(CorrCPUTest, CorrelationsMatchPearson) {
    struct Case {
        std::string name;
        uint64_t M, N;
        std::map<uint64_t, uint64_t> missing;
        Options options;
    };
    // With 50 samples the threshold 0.1 lets 5 missing samples pass and excludes 6.
    const std::map<uint64_t, uint64_t> someMissing{{1, 6}, {4, 5}, {7, 3}, {9, 40}};
    const Case cases[] = {
        {"one tile", 10, 50, {}, {}},
        {"one tile, missing", 10, 50, someMissing, {}},
        {"tiles of 4", 10, 50, someMissing, {kFourSnpTiles, {}, 1, 0.1}},
        {"tiles of 4, 8 threads", 10, 50, someMissing, {kFourSnpTiles, {}, 8, 0.1}},
        {"stricter threshold", 10, 50, someMissing, {0, {}, 1, 0.05}},
        {"two SNPs", 2, 30, {}, {}},
        {"many SNPs", 300, 120, {{17, 20}, {250, 1}}, {0, {}, 8, 0.1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RawDosages raw = makeDosages(c.M, c.N, c.missing, 7);
        checkAllPairs(raw, runEngine(raw, c.options), c.options.miss);
    }
}

TEST(CorrCPUTest, RsidRowsMatchPearson) {
    struct Case {
        std::string name;
        Options options;
    };
    // SNP 1 is excluded (6 of 50 missing), SNP 4 sits at the threshold (5 of 50) and stays.
    const Case cases[] = {
        {"one tile", {0, {3, 0, 8}, 1, 0.1}},
        {"tiles of 3", {kThreeSnpRsidTiles, {3, 8}, 1, 0.1}},
        {"excluded listed SNP, tiles of 3", {kThreeSnpRsidTiles, {1, 4}, 1, 0.1}},
        {"excluded listed SNP, 8 threads", {0, {1, 9, 4}, 8, 0.1}},
    };
    const RawDosages raw = makeDosages(10, 50, {{1, 6}, {4, 5}}, 11);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        checkRsids(raw, c.options.rsids, runEngine(raw, c.options), c.options.miss);
    }
}

TEST(CorrCPUTest, ExcludedSnpGivesNaNAndOneOnItsOwnColumn) {
    // SNP 2 has 3 of 10 samples missing, above 0.1.
    const RawDosages raw = makeDosages(4, 10, {{2, 3}}, 3);
    const std::vector<double> all = runEngine(raw, {});
    // Pairs (0,2), (1,2), (2,3) sit at 1, 3 and 5 of the packed triangle.
    for (uint64_t i : {1, 3, 5}) EXPECT_TRUE(std::isnan(all[i])) << i;
    for (uint64_t i : {0, 2, 4}) EXPECT_FALSE(std::isnan(all[i])) << i;

    const std::vector<double> row = runEngine(raw, {0, {2}, 1, 0.1});
    ASSERT_EQ(row.size(), 4u);
    EXPECT_TRUE(std::isnan(row[0]));
    EXPECT_TRUE(std::isnan(row[1]));
    EXPECT_EQ(row[2], 1.0);
    EXPECT_TRUE(std::isnan(row[3]));
}

TEST(CorrCPUTest, ConstantSnpGivesNaNWithoutExclusion) {
    RawDosages raw = makeDosages(3, 20, {}, 5);
    raw[1].assign(20, 1.0);
    const std::vector<double> R = runEngine(raw, {});
    EXPECT_TRUE(std::isnan(R[0]));
    EXPECT_FALSE(std::isnan(R[1]));
    EXPECT_TRUE(std::isnan(R[2]));
}

TEST(CorrCPUTest, ResultsIdenticalAcrossThreadsAndTiles) {
    const RawDosages raw = makeDosages(10, 50, {{1, 6}}, 13);
    const std::vector<double> one = runEngine(raw, {kFourSnpTiles, {}, 1, 0.1});
    EXPECT_TRUE(sameBytes(one, runEngine(raw, {kFourSnpTiles, {}, 8, 0.1})));
    const std::vector<double> oneTile = runEngine(raw, {0, {}, 1, 0.1});
    EXPECT_TRUE(sameBytes(oneTile, runEngine(raw, {0, {}, 8, 0.1})));

    const RawDosages big = makeDosages(400, 300, {{5, 100}}, 17);
    EXPECT_TRUE(sameBytes(runEngine(big, {0, {}, 1, 0.1}), runEngine(big, {0, {}, 8, 0.1})));
    EXPECT_TRUE(sameBytes(runEngine(big, {0, {4, 399, 5}, 1, 0.1}), runEngine(big, {0, {4, 399, 5}, 8, 0.1})));
}

TEST(CorrCPUTest, ProgressLines) {
    const RawDosages raw = makeDosages(10, 50, {}, 19);
    std::string out;
    runEngine(raw, {}, &out);
    EXPECT_EQ(out, "- Number of tiles       : 1\n\r- Processing            : 0/100%\r- Processing            : done!   \n");

    runEngine(raw, {kFourSnpTiles, {}, 1, 0.1}, &out);
    std::string want = "- Number of tiles       : 6\n";
    for (const char* percent : {"0", "16", "33", "50", "66", "83"})
        want += std::string("\r- Processing            : ") + percent + "/100%";
    EXPECT_EQ(out, want + "\r- Processing            : done!   \n");

    runEngine(raw, {0, {2, 3}, 1, 0.1}, &out);
    EXPECT_EQ(out, "- Number of tiles       : 1\n\r- Processing            : done!   \n");
}

TEST(CorrCPUTest, BufferReusesItsStorage) {
    CorrCPU::Buffer buffer;
    buffer.alloc(3, 4);
    double* first = buffer.data;
    buffer.alloc(2, 5);  // 10 values fit in the 12 already held
    EXPECT_EQ(buffer.data, first);
    EXPECT_EQ(buffer.rows * buffer.cols, 10u);
    buffer.alloc(4, 4);  // 16 do not: new storage of 16
    EXPECT_EQ(buffer.rows * buffer.cols, 16u);
    EXPECT_TRUE(buffer.owned);
    buffer.data[15] = 1.0;
    buffer.release();
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_FALSE(buffer.owned);

    const ProcessResult result = runInChild([] {
        CorrCPU::Buffer small;
        small.alloc(1, 5);
        small.alloc(2, 2);
        small.checkExtent(5);
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error : Cannot access value at index 4 because buffer has length 4!\n\n");
}

TEST(CorrCPUTest, DosagesNotMatchingTheSampleCount) {
    const ProcessResult result = runInChild([] {
        const RawDosages raw = makeDosages(3, 10, {}, 23);
        CorrCPU engine = makeEngine({});
        load(&engine, raw);
        engine.data.nSamples = 12;
        engine.run();
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error : The dosages in memory do not hold 3 SNPs of 12 samples!\n\n");
}
