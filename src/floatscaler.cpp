#include "floatscaler.h"

#include <cmath>

void computeWelfordMeanSD(uint64_t n, const double* x, double* mean, double* sd, uint32_t* missing) {
    uint64_t k = 0;
    double m = 0.0;
    double spread = 0.0;
    for (uint64_t j = 0; j < n; ++j) {
        const double value = x[j];
        if (std::isnan(value)) {
            ++*missing;
            continue;
        }
        ++k;
        if (k == 1) {
            m = value;
        } else {
            const double old = m;
            m = old + (value - old) / static_cast<double>(k);
            spread += (value - m) * (value - old);
        }
    }
    *mean = m;
    *sd = n <= 1 ? 0.0 : std::sqrt(spread / static_cast<double>(n - 1));
}

void standardiseRow(uint64_t n, double mean, double sd, double* x) {
    for (uint64_t j = 0; j < n; ++j) x[j] = std::isnan(x[j]) ? 0.0 : (x[j] - mean) / sd;
}

FloatScaler::FloatScaler(uint32_t n, double*& x, uint32_t* missing) {
    double mean = 0.0;
    double sd = 0.0;
    computeWelfordMeanSD(n, x, &mean, &sd, missing);
    standardiseRow(n, mean, sd, x);
}
