// Stand-in for the correlation engine, so that the run driver builds and runs before its real
// implementation arrives. It has the interface the driver uses, does no work and writes
// nothing; this header goes away when the real class is merged. Driver thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data.h"
#include "flag.h"
#include "masterfile.h"
#include "meta.h"

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
