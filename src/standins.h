// Stand-ins for the correlation reader and the correlation writer, so that the run driver
// builds and runs before their real implementations arrive. Each has the interface the driver uses, does no work and writes nothing; this header
// goes away when the real classes are merged. Driver thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flag.h"
#include "masterfile.h"
#include "meta.h"

// Stand-in: reads one dataset's BCOR or LD text file.
class CorrReader {
public:
    CorrReader(const FlagMap&, const Flag::Values&, const Masterfile&) {}
    // Stand-in: the real one reads the dataset at 0-based position i into R and meta.
    void read(uint32_t) {}

    std::vector<double> R;
    SnpIndex meta;
    uint64_t nSNPs = 0;
    uint64_t nSamples = 0;
    uint64_t nRange = 0;
};

// Stand-in: writes a correlation buffer as BCOR or text.
class CorrWriter {
public:
    CorrWriter(uint32_t, uint32_t, uint32_t, uint8_t, RsIDs, const std::string&) {}
    void header(const SnpIndex&) {}
    void denseData(double*) {}
    void matrix(const double*) {}
    // engineLayout: true for K rows of M values (the engine's), false for M rows of K (the reader's).
    void vector(const std::vector<double>&, const SnpIndex&, bool) {}
};
