// Test oracles: the standardised Dosage row and the Pearson correlation computed naively in two
// passes, written out plainly and sharing no code with the program. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <vector>

// Standardises `x` (NaN = missing) in two passes: the mean over the non-missing values, the SD
// over the mean-imputed row with denominator x.size() - 1. Missing values become 0.0, the others
// (v - mean) / SD; every non-missing value is NaN when the row has no spread (all non-missing
// values equal, none or one of them, or x.size() <= 1). `missing` (optional) receives the number
// of missing values.
std::vector<double> twoPassStandardised(const std::vector<double>& x, uint32_t* missing = nullptr);

// `row` with each missing value (NaN) replaced by the mean of the non-missing ones.
std::vector<double> meanImputed(std::vector<double> row);

// Two-pass Pearson correlation of two complete rows of the same length.
double pearson(const std::vector<double>& a, const std::vector<double>& b);
