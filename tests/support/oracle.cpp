#include "support/oracle.h"

#include <cmath>
#include <limits>

std::vector<double> twoPassStandardised(const std::vector<double>& x, uint32_t* missing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double sum = 0;
    uint32_t present = 0;
    for (double v : x)
        if (!std::isnan(v)) sum += v, ++present;
    if (missing != nullptr) *missing = static_cast<uint32_t>(x.size()) - present;
    std::vector<double> out(x.size(), 0.0);
    if (present == 0) return out;
    const double mean = sum / present;
    double squares = 0;
    bool allEqual = true;
    double first = nan;
    for (double v : x) {
        if (std::isnan(v)) continue;
        if (std::isnan(first)) first = v;
        allEqual = allEqual && v == first;
        squares += (v - mean) * (v - mean);
    }
    const bool constant = allEqual || x.size() <= 1;
    const double sd = constant ? 0.0 : std::sqrt(squares / static_cast<double>(x.size() - 1));
    for (std::size_t j = 0; j < x.size(); ++j)
        if (!std::isnan(x[j])) out[j] = constant ? nan : (x[j] - mean) / sd;
    return out;
}

std::vector<double> meanImputed(std::vector<double> row) {
    double sum = 0;
    uint32_t present = 0;
    for (double v : row)
        if (!std::isnan(v)) sum += v, ++present;
    for (double& v : row)
        if (std::isnan(v)) v = sum / present;
    return row;
}

double pearson(const std::vector<double>& a, const std::vector<double>& b) {
    double ma = 0, mb = 0;
    for (std::size_t n = 0; n < a.size(); ++n) ma += a[n], mb += b[n];
    ma /= static_cast<double>(a.size());
    mb /= static_cast<double>(b.size());
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t n = 0; n < a.size(); ++n) {
        ab += (a[n] - ma) * (b[n] - mb);
        aa += (a[n] - ma) * (a[n] - ma);
        bb += (b[n] - mb) * (b[n] - mb);
    }
    return ab / std::sqrt(aa * bb);
}
