#include "support/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>

double timed(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double best(int rounds, const std::function<void()>& work) {
    double shortest = timed(work);
    for (int k = 1; k < rounds; ++k) shortest = std::min(shortest, timed(work));
    return shortest;
}

uint32_t argument(int argc, char** argv, int i, uint32_t fallback) {
    return argc > i ? static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)) : fallback;
}

DatasetOptions benchDatasetOptions(int argc, char** argv, uint64_t seed, uint32_t defaultSnps) {
    DatasetOptions options;
    options.seed = seed;
    options.samples = argument(argc, argv, 1, 20000);
    options.snps = argument(argc, argv, 2, defaultSnps);
    options.layout = 2;
    options.bits = 8;
    options.compression = 1;
    options.missingRate = 0.05;
    return options;
}

Dataset makeBenchDataset(const std::string& directory, const DatasetOptions& options) {
    std::cout << "Generating " << options.samples << " samples x " << options.snps << " SNPs ..." << std::endl;
    return makeDataset(directory, options, false);
}
