// CorrCPU: the correlation engine of one dataset. It owns the dataset's loaded input (Data),
// the tile buffers and the correlation buffer R, and computes the Pearson correlation of every
// pair of SNPs (or of every --rsids SNP with every SNP) tile by tile with BLAS. Built, used and
// destroyed by the driver thread; run() starts BLAS threads and OpenMP regions of its own and
// joins them before it returns. Move-only.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "data.h"
#include "flag.h"
#include "masterfile.h"
#include "regionfiles.h"

class CorrCPU {
public:
    // A range of SNP numbers [start, end), 0-based.
    struct Tile {
        uint64_t start = 0;
        uint64_t end = 0;
        uint64_t size = 0;
    };

    // A column-major matrix of rows × cols doubles: either storage this buffer owns (alloc),
    // kept between tiles and grown only when a request exceeds it, or a view of rows held
    // elsewhere (view). Move-only.
    class Buffer {
    public:
        // Makes room for r × c doubles (not initialised); the storage is reused when it is
        // large enough and replaced otherwise.
        void alloc(uint64_t r, uint64_t c);
        // Points at r × c doubles owned by someone else.
        void view(double* source, uint64_t r, uint64_t c);
        // Element i of the current r × c extent; beyond it the run ends.
        double at(uint64_t i) const;
        // Ends the run unless the first n elements lie inside the current extent.
        void checkExtent(uint64_t n) const;
        // Frees owned storage and forgets any view.
        void release();

        double* data = nullptr;
        uint64_t rows = 0;
        uint64_t cols = 0;
        bool owned = false;

    private:
        std::unique_ptr<double[]> storage_;
        uint64_t capacity_ = 0;
    };

    CorrCPU(const FlagMap& flags, const Masterfile& master, const Flag::Values& options);

    // Loads the dataset at 0-based position i among the selected datasets into `data`.
    void readData(uint32_t i);
    // Computes R: all pairs (packed strict upper triangle), or with --rsids K rows of M values.
    void run();

    // Sets tileSize, tilesPerDim and nTiles from --memory (else one tile of all SNPs) and
    // prints the tile count.
    void computeTileSize();
    // Sizes R for all pairs, M(M-1)/2 zeros / for the --rsids rows, K·M zeros.
    void allocOverallR();
    void allocOneSNPR();
    // Fill X from tile x / Y from tile y with the tile's dosages, N per SNP, column-major.
    void memcpyInX();
    void memcpyInY();
    // The product of the off-diagonal tile pair (x, y), then storeTile.
    void sgemm();
    // Turns tileResult into correlations (product / (N - 1)) and stores them in R, NaN for a
    // pair with an excluded SNP. SNP numbers are 0-based.
    void storeTile(bool diag, uint64_t xStart, uint64_t yStart, uint64_t xSize, uint64_t ySize);
    // Index in R of the pair (a, b), a ≠ b, in either order: the packed strict upper triangle
    // of M × M in row order.
    uint64_t getIndex(uint64_t a, uint64_t b) const;
    // Row and column tile (r ≤ c) of the k-th tile pair of nT tiles per dimension, 0-based, in
    // the order (0,0), (0,1) … (0,nT-1), (1,1) … (nT-1,nT-1).
    static std::pair<uint64_t, uint64_t> tileCoordinates(uint64_t k, uint64_t nT);

    Data data;
    uint64_t tileSize = 0;
    Regionfiles regionfiles;
    FlagMap flagMap;
    Masterfile masterfile;
    uint64_t tilesPerDim = 0;
    uint64_t rsidRow = 0;
    uint64_t nTiles = 0;
    std::vector<double> R;
    Flag::Values values;
    Tile x;
    Tile y;
    Buffer X;
    Buffer Y;
    Buffer tileResult;

private:
    // Tile i of the SNP range: [i·T, min(M, i·T + T)).
    Tile tile(uint64_t i) const;
    // Loads the dosages of `t` into `buffer` from the dosage source (values.bdoseVersion: 0 the
    // mapped BDOSE 1.0 rows, copied; 1 the BDOSE 1.1 parsers, decoded; otherwise the in-memory
    // BGEN rows, in place), then marks which of the tile's SNPs are excluded by the missing-data rule.
    void loadTile(const Tile& t, Buffer* buffer);
    // Decodes the SNPs of `t` into `columns` (N doubles each) with the BDOSE 1.1 parsers, in one
    // parallel region of teamSize(thread count, tile size) threads.
    void loadParsedTile(const Tile& t, double* columns);
    void markExcluded(const Tile& t);
    // Opens the mapping of a BDOSE 1.0 source (after the tile count and R are settled).
    void mapBdoseFile();
    // The fraction of missing dosages of SNP s.
    double missingRate(uint64_t s) const;
    // Ends the run unless the in-memory dosages hold M rows of N values and M missing counts.
    void checkDosages() const;
    void runAllPairs();
    void runRsids();
    void storeRsidTile(uint64_t s, uint64_t yStart, uint64_t ySize);
    // "...insufficient..." for the --memory budget; nCorr is the number of stored correlations.
    [[noreturn]] void failMemory(uint64_t nCorr) const;

    // Per SNP: 1 when its missing rate exceeds --sample-miss.
    std::vector<uint8_t> excluded_;
};
