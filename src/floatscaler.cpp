#include "floatscaler.h"

#include <cmath>

FloatScaler::FloatScaler(uint32_t n, double*& x, uint32_t* missing) {
    if (n == 0) return;
    // One Welford pass over the non-missing values; the same order of operations as the other
    // standardisations of the program, so that every path gives the same bits.
    uint64_t k = 0;
    double mean = 0.0;
    double m2 = 0.0;
    for (uint32_t j = 0; j < n; ++j) {
        const double value = x[j];
        if (std::isnan(value)) {
            ++*missing;
            continue;
        }
        ++k;
        if (k == 1) {
            mean = value;
        } else {
            const double old = mean;
            mean = old + (value - old) / static_cast<double>(k);
            m2 = m2 + (value - mean) * (value - old);
        }
    }
    const double sd = n == 1 ? 0.0 : std::sqrt(m2 / static_cast<double>(n - 1));
    for (uint32_t j = 0; j < n; ++j) x[j] = std::isnan(x[j]) ? 0.0 : (x[j] - mean) / sd;
}
