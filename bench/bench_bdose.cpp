// BDOSE benchmark: generates a dataset (default 20,000 samples x 4,000 SNPs, layout 2, 8 bits,
// zlib, 5% missing), writes its BDOSE 1.0 and 1.1 files in process through the loader (default
// 8 threads), then computes the BCOR through the binary from each with --read-bdose, in one tile
// and with --memory tiles, beside --read-only-bgen. Each run is timed twice and the best time
// reported (the machine may be shared). The BCOR from BDOSE 1.0 must equal the one from the
// BGEN file byte for byte; for 1.1 the largest difference of a correlation is printed.
// Usage: bench_bdose [samples] [snps] [threads] [memory GB]

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "data.h"
#include "flag.h"
#include "support/bcorfile.h"
#include "support/benchmark.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

// Writes the dataset's BDOSE file `bdose` of version 0 (1.0) or 1 (1.1) as the loader does for
// --write-bdose; returns the time of the writing alone.
double writeBdose(const Dataset& dataset, const std::string& master, const std::string& bdose, int32_t version,
                  uint32_t threads) {
    FlagMap flags;
    flags.insert("in-files", {0, master});
    flags.insert("write-bdose", {2, ""});
    Flag::Values values;
    values.nThreads = threads;
    values.bdoseVersion = version;
    Regionfiles files;
    files.files = dataset.columns();
    files.files["bdose"] = bdose;

    // Progress lines, some written through stdio, go to /dev/null meanwhile.
    std::cout.flush();
    std::fflush(stdout);
    const int console = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    Data data;
    data.init(flags, values, files);
    data.readSumStats(&values.rsids);
    const double seconds = timed([&] { data.readBgenWriteDose(); });
    std::cout.flush();
    std::fflush(stdout);
    ::dup2(console, STDOUT_FILENO);
    ::close(null);
    ::close(console);
    return seconds;
}

// The largest difference between the correlations of two BCOR files of medium code (NaN pairs
// must agree); -1 when the files differ in shape or in a NaN.
double largestDifference(const std::string& a, const std::string& b) {
    const BcorImage x = parseBcor(a), y = parseBcor(b);
    if (x.codes.size() != y.codes.size() || x.code != 1 || y.code != 1) return -1;
    const double scale = std::ldexp(1.0, 30);
    const uint64_t sentinel = 0xD0000000u;
    double largest = 0;
    for (std::size_t p = 0; p < x.codes.size(); ++p) {
        if ((x.codes[p] == sentinel) != (y.codes[p] == sentinel)) return -1;
        if (x.codes[p] != sentinel)
            largest = std::max(
                largest, std::fabs(static_cast<double>(x.codes[p]) - static_cast<double>(y.codes[p])) / scale);
    }
    return largest;
}

}  // namespace

int main(int argc, char** argv) {
    DatasetOptions options = benchDatasetOptions(argc, argv, 4000, 4000);
    const uint32_t threads = argument(argc, argv, 3, 8);
    const std::string memory = argc > 4 ? argv[4] : "0.5";
    options.sampleFile = true;  // version 1.1 stores the sample IDs
    options.name = "bench";

    TempDir dir;
    const Dataset dataset = makeBenchDataset(dir.path(), options);
    const std::string master = dir.file("master.txt");

    const double write10 = best(2, [&] { writeBdose(dataset, master, dir.file("v10.bdose"), 0, threads); });
    const double write11 = best(2, [&] { writeBdose(dataset, master, dir.file("v11.bdose"), 1, threads); });

    // One BCOR run through the binary; returns its best time, the BCOR in `bcor`.
    bool failed = false;
    const auto bcorRun = [&](const std::string& name, const std::string& bdose, const std::vector<std::string>& flags,
                             std::string* bcor) {
        auto columns = dataset.columns();
        columns["bcor"] = dir.file(name + ".bcor");
        if (!bdose.empty()) columns["bdose"] = dir.file(bdose);
        const std::string path = writeMasterFile(dir.file(name + ".txt"), {"z", "bgen", "bgi", "bdose", "bcor",
                                                                           "sample", "n_samples"}, {columns});
        std::vector<std::string> args{"--write-bcor", "--in-files", path, "--n-threads", std::to_string(threads)};
        args.insert(args.end(), flags.begin(), flags.end());
        ProcessResult result;
        const double seconds = best(2, [&] { result = runTesmaro(args, dir.path()); });
        if (result.status != 0) {
            std::cerr << name << " failed: " << result.err;
            failed = true;
        }
        *bcor = dir.read(name + ".bcor");
        return seconds;
    };

    std::string bgen, r10, r10m, r11, r11m;
    const double fromBgen = bcorRun("bgen", "", {"--read-only-bgen"}, &bgen);
    const double from10 = bcorRun("r10", "v10.bdose", {"--read-bdose"}, &r10);
    const double from10m = bcorRun("r10m", "v10.bdose", {"--read-bdose", "--memory", memory}, &r10m);
    const double from11 = bcorRun("r11", "v11.bdose", {"--read-bdose"}, &r11);
    const double from11m = bcorRun("r11m", "v11.bdose", {"--read-bdose", "--memory", memory}, &r11m);
    if (failed) return 1;

    std::cout << std::fixed << std::setprecision(3) << options.samples << " samples x " << options.snps << " SNPs, "
              << threads << " threads, --memory " << memory << "\n"
              << "  write BDOSE 1.0 (in process)        : " << write10 << " s\n"
              << "  write BDOSE 1.1 (in process)        : " << write11 << " s\n"
              << "  BCOR --read-only-bgen               : " << fromBgen << " s\n"
              << "  BCOR --read-bdose 1.0               : " << from10 << " s\n"
              << "  BCOR --read-bdose 1.0 --memory      : " << from10m << " s\n"
              << "  BCOR --read-bdose 1.1               : " << from11 << " s\n"
              << "  BCOR --read-bdose 1.1 --memory      : " << from11m << " s\n"
              << "  1.0 BCOR identical to BGEN BCOR     : " << (r10 == bgen ? "yes" : "NO") << "\n"
              << std::scientific << std::setprecision(2)
              << "  largest difference, 1.0 tiles       : " << largestDifference(bgen, r10m) << "\n"
              << "  largest difference, 1.1             : " << largestDifference(bgen, r11) << "\n"
              << "  largest difference, 1.1 tiles       : " << largestDifference(bgen, r11m) << std::endl;
    return r10 == bgen ? 0 : 1;
}
