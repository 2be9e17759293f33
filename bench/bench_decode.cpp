// Decoding benchmark: generates a dataset of 20,000 samples x 2,000 SNPs (layout 2, 8 bits,
// zlib, 5% missing) and decodes it into standardised Dosage rows with 1 and 8 threads, printing
// the time of each and the speedup. The rows of both runs must be bit-identical.
// Usage: bench_decode [samples] [snps]

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "data.h"
#include "support/dataset.h"
#include "support/tempdir.h"

namespace {

struct Run {
    double seconds = 0;
    std::vector<double> rows;
};

// Loads the dataset's SNP list, places and samples, then times parseBgen alone.
Run decode(const Dataset& dataset, const std::string& master, uint32_t threads) {
    FlagMap flags;
    flags.insert("in-files", {0, master});
    Flag::Values values;
    values.nThreads = threads;
    Regionfiles files;
    files.files = dataset.columns();

    std::ostringstream quiet;
    std::streambuf* const console = std::cout.rdbuf(quiet.rdbuf());
    Data data;
    data.init(flags, values, files);
    data.readSumStats(&values.rsids);
    BgenParser& parser = data.bgenParser;
    parser.zFile = dataset.z;
    parser.bgenFile = dataset.bgen;
    parser.initBgen();
    const std::vector<BgenIndex> places = data.findBgenPlaces(parser.bgenFile);
    const SampleList samples = data.selectSamples(parser.context.number_of_samples);
    const auto start = std::chrono::steady_clock::now();
    parser.parseBgen(places, samples, threads);
    const auto stop = std::chrono::steady_clock::now();
    std::cout.rdbuf(console);
    return {std::chrono::duration<double>(stop - start).count(), std::move(parser.dosages)};
}

}  // namespace

int main(int argc, char** argv) {
    DatasetOptions options;
    options.seed = 2024;
    options.samples = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    options.snps = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 2000;
    options.layout = 2;
    options.bits = 8;
    options.compression = 1;
    options.missingRate = 0.05;

    TempDir dir;
    std::cout << "Generating " << options.samples << " samples x " << options.snps << " SNPs ..." << std::endl;
    const Dataset dataset = makeDataset(dir.path(), options, false);
    const std::string master = dir.file("master.txt");

    const Run one = decode(dataset, master, 1);
    const Run eight = decode(dataset, master, 8);
    const bool identical = one.rows.size() == eight.rows.size() &&
                           std::memcmp(one.rows.data(), eight.rows.data(), one.rows.size() * sizeof(double)) == 0;
    std::cout << std::fixed << std::setprecision(3) << "1 thread  : " << one.seconds << " s\n"
              << "8 threads : " << eight.seconds << " s\n"
              << "speedup   : " << one.seconds / eight.seconds << "x\n"
              << "rows bit-identical: " << (identical ? "yes" : "NO") << std::endl;
    return identical ? 0 : 1;
}
