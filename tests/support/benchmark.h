// Benchmark helpers: wall-clock timing, numeric command-line arguments and the generated
// dataset the benchmark programs share. Plain functions; call from one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/dataset.h"

// Runs `work` and returns its wall-clock time in seconds.
double timed(const std::function<void()>& work);

// The best time of `rounds` runs of `work`.
double best(int rounds, const std::function<void()>& work);

// argv[i] as an unsigned number, or `fallback` when the program has fewer arguments.
uint32_t argument(int argc, char** argv, int i, uint32_t fallback);

// The benchmarks' dataset: argv[1] samples and argv[2] SNPs (default 20,000 x `defaultSnps`),
// layout 2, 8 bits, zlib, 5% missing.
DatasetOptions benchDatasetOptions(int argc, char** argv, uint64_t seed, uint32_t defaultSnps);

// Generates the dataset into `directory` without keeping its probabilities, saying so first.
Dataset makeBenchDataset(const std::string& directory, const DatasetOptions& options);
