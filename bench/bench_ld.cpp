// LD benchmark: generates a dataset (default 20,000 samples x 4,000 SNPs, layout 2, 8 bits,
// zlib, 5% missing) and runs --write-bcor --read-only-bgen on it (default 8 threads), first in
// process through the calls the driver makes, each stage timed, with a bare cblas_dsyrk of the
// same size timed in the same run; then through the binary, timed as a whole. The product and
// the correlation stage run three times, interleaved, and the whole run twice; the best time of
// each is reported (the machine may be shared). Prints each stage's time and the ratios to the
// bare product. The engine's correlations must equal the bare product divided by N - 1.
// Usage: bench_ld [samples] [snps] [threads]

#include <cblas.h>

#include <cmath>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "corrcpu.h"
#include "corrwriter.h"
#include "flag.h"
#include "masterfile.h"
#include "support/benchmark.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

// The largest difference between the engine's packed correlations and the bare product C
// (lower triangle, column-major M x M) divided by N - 1; NaN pairs are skipped.
double largestDifference(const CorrCPU& engine, const double* C, uint64_t M, uint64_t N) {
    double largest = 0;
    uint64_t k = 0;
    for (uint64_t a = 0; a < M; ++a)
        for (uint64_t b = a + 1; b < M; ++b, ++k)
            if (!std::isnan(engine.R[k]))
                largest = std::max(largest, std::fabs(engine.R[k] - C[b + a * M] / static_cast<double>(N - 1)));
    return largest;
}

}  // namespace

int main(int argc, char** argv) {
    DatasetOptions options = benchDatasetOptions(argc, argv, 4000, 4000);
    const uint32_t threads = argument(argc, argv, 3, 8);
    options.name = "bench";

    TempDir dir;
    const Dataset dataset = makeBenchDataset(dir.path(), options);
    auto columns = dataset.columns();
    columns["bcor"] = dir.file("bench.bcor");
    const std::string master = writeMasterFile(dir.file("master.txt"), {"z", "bgen", "bgi", "n_samples", "bcor"},
                                               {columns});
    const std::vector<std::string> args{"--write-bcor", "--read-only-bgen", "--in-files", master, "--n-threads",
                                        std::to_string(threads)};

    // In process: the driver's calls for one dataset, progress lines silenced.
    std::ostringstream quiet;
    std::streambuf* const console = std::cout.rdbuf(quiet.rdbuf());
    Flag flag;
    std::vector<std::string> all{"tesmaro"};
    all.insert(all.end(), args.begin(), args.end());
    flag.init(all);
    flag.parse();
    Masterfile masterfile;
    masterfile.init(flag.flags, flag.values);
    masterfile.parse();
    CorrCPU engine(flag.flags, masterfile, flag.values);

    const double load = timed([&] { engine.readData(0); });
    const uint64_t M = engine.data.nSNPs, N = engine.data.nSamples;
    // The product into fresh, untouched storage, as the engine's own tile result is.
    std::unique_ptr<double[]> C;
    const auto product = [&] {
        openblas_set_num_threads(static_cast<int>(threads));
        cblas_dsyrk(CblasColMajor, CblasLower, CblasTrans, static_cast<blasint>(M), static_cast<blasint>(N), 1.0,
                    engine.data.bgenParser.dosages.data(), static_cast<blasint>(N), 0.0, C.get(),
                    static_cast<blasint>(M));
    };
    double bare = 0, correlation = 0;
    for (int round = 0; round < 3; ++round) {
        C.reset(new double[M * M]);
        const double b = timed(product);
        const double c = timed([&] { engine.run(); });
        bare = round == 0 ? b : std::min(bare, b);
        correlation = round == 0 ? c : std::min(correlation, c);
    }
    const double difference = largestDifference(engine, C.get(), M, N);
    const double write = timed([&] {
        CorrWriter writer(static_cast<uint32_t>(M), static_cast<uint32_t>(N), threads, flag.values.compression,
                          engine.values.rsids, masterfile.getRegionFile(0, "bcor"), CorrWriter::Output::bcor);
        writer.header(engine.data.sumStatsData.snpIndex);
        writer.denseData(engine.R.data());
    });
    std::cout.rdbuf(console);

    // Through the binary, as a user runs it.
    ProcessResult result;
    const double whole = best(2, [&] { result = runTesmaro(args, dir.path()); });
    if (result.status != 0) {
        std::cerr << "tesmaro failed: " << result.err;
        return 1;
    }

    std::cout << std::fixed << std::setprecision(3) << "--write-bcor --read-only-bgen, " << N << " samples x " << M
              << " SNPs, " << threads << " threads\n"
              << "  load (Z, index, BGEN decoding) : " << load << " s\n"
              << "  correlation (CorrCPU::run)     : " << correlation << " s\n"
              << "  write BCOR                     : " << write << " s\n"
              << "  in-process total               : " << load + correlation + write << " s\n"
              << "  whole run through the binary   : " << whole << " s\n"
              << "  bare cblas_dsyrk, same size    : " << bare << " s\n"
              << "  correlation / bare dsyrk       : " << correlation / bare << "x (aim 1.2x)\n"
              << "  whole run / bare dsyrk         : " << whole / bare << "x (aim 2x)\n"
              << std::scientific << std::setprecision(2)
              << "  largest |R - dsyrk/(N-1)|      : " << difference << std::endl;
    return difference == 0 ? 0 : 1;
}
