// FloatScaler: standardises one SNP's decoded dosages in place (mean imputation). It has no
// data members and is used only as a temporary whose constructor does all the work; any
// number of threads may use it at once, each on its own values and counter.
#pragma once

#include <cstdint>

// The one standardisation of the program, shared by every dosage path so that all give the
// same bits. Mean and SD of x[0] .. x[n-1] in one Welford pass over the non-missing (non-NaN)
// values, each NaN adding 1 to *missing; sd = sqrt(spread / (n - 1)) counts all n values, and
// is 0 when n <= 1 or when fewer than two values are not missing; the mean is 0 when all are.
void computeWelfordMeanSD(uint64_t n, const double* x, double* mean, double* sd, uint32_t* missing);

// Rewrites x[0] .. x[n-1]: NaN becomes 0.0 (mean imputation), any other value (x - mean) / sd.
// With sd 0 every non-missing value becomes 0/0, NaN.
void standardiseRow(uint64_t n, double mean, double sd, double* x);

class FloatScaler {
public:
    // Standardises x[0] .. x[n-1]: NaN (missing) values become 0.0 and add 1 to *missing; the
    // others become (x - mean) / sd, with the mean over the non-missing values and
    // sd = sqrt(spread / (n - 1)) counting all n values (sd 0 when n = 1). A SNP whose
    // non-missing values are all equal, or that has only one, thus gets NaN in their place.
    // n = 0 does nothing. The counter is only ever increased.
    FloatScaler(uint32_t n, double*& x, uint32_t* missing);
};
