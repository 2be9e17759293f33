// Stand-ins for the correlation engine and its dataset record, so that the run driver builds
// and runs before their real implementations arrive. Each has the interface the driver uses,
// does no work and writes nothing; this header goes away when the real classes are merged.
// Driver thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flag.h"
#include "masterfile.h"
#include "meta.h"
#include "regionfiles.h"

// Stand-in: one dataset's loaded input.
class Data {
public:
    // Stand-in: the real one copies the options and the dataset's file set.
    void init(const FlagMap&, const Flag::Values&, const Regionfiles&) {}
    // Stand-in: the real one reads the Z file into the SNP index.
    void readSumStats(RsIDs*) {}
    // Stand-in: the real one prints the dataset summary.
    void printSummaryData() const {}

    uint64_t nSNPs = 0;
    uint64_t nSamples = 0;
    SumStatsData sumStatsData;
};

// Stand-in: the correlation engine of one dataset.
class CorrCPU {
public:
    CorrCPU(const FlagMap&, const Masterfile&, const Flag::Values& options) : values(options) {}
    // Stand-in: the real one loads the dataset at 0-based position i.
    void readData(uint32_t) {}
    // Stand-in: the real one computes the correlations into R.
    void run() {}

    Data data;
    Flag::Values values;
    std::vector<double> R;
};
