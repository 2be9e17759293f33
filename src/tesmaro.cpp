// The run driver: banner, command line, SETTINGS or help, master file, then one loop over the
// selected datasets for the chosen subprogram. Single-threaded; the parallel work happens
// inside the components it calls. Every failure ends the process inside them (exit status 1).

#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "corrcpu.h"
#include "corrreader.h"
#include "corrwriter.h"
#include "error.h"
#include "flag.h"
#include "masterfile.h"

namespace {

void printBanner() {
    std::cout << "\n|--------------------------------------|\n"
                 "| Welcome to Tesmaro v2.0              |\n"
                 "|                                      |\n"
                 "|                                      |\n"
                 "| Help :                               |\n"
                 "| - ./tesmaro --help                   |\n"
                 "|                                      |\n"
                 "|--------------------------------------|\n\n"
              << std::flush;
}

// The writer takes 32-bit counts; a count beyond that cannot be written and ends the run.
uint32_t writerCount(uint64_t count, const char* what, const std::string& file) {
    if (count > UINT32_MAX)
        Error::fail("The " + std::string(what) + " count " + std::to_string(count) + " for file '" + file +
                    "' exceeds 4,294,967,295!");
    return static_cast<uint32_t>(count);
}

// The number of selected datasets; read again after every dataset.
uint32_t datasetCount(const Masterfile& masterfile) {
    return static_cast<uint32_t>(masterfile.values.dataset.size());
}

// Frames one dataset of a loop: the constructor takes the start time and prints the title
// "<title> (i+1/N)" between dash lines and the dataset's file list; printRunTime closes it.
class DatasetFrame {
public:
    DatasetFrame(const std::string& title, uint32_t i, const Masterfile& masterfile)
        : start_(std::chrono::steady_clock::now()) {
        const std::string dashes(title.size(), '-');
        std::cout << dashes << "\n"
                  << title << " (" << uint64_t{i} + 1 << "/" << datasetCount(masterfile) << ")\n"
                  << dashes << std::endl;
        masterfile.print(i);
    }

    // "- Run time : H hours, M minutes, S seconds" (whole units of the elapsed time), then an empty line.
    void printRunTime() const {
        const int64_t d = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - start_).count();
        const int64_t hour = 3600000000000, minute = 60000000000, second = 1000000000;
        std::cout << "- Run time              : " << d / hour << " hours, " << d % hour / minute << " minutes, "
                  << d % minute / second << " seconds\n"
                  << std::endl;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// The writer of a conversion: sized by the SNPs in the range with --range, else all the file's SNPs.
CorrWriter conversionWriter(const CorrReader& reader, const FlagMap& flagMap, const Flag::Values& values,
                            const std::string& file, CorrWriter::Output output) {
    return CorrWriter(writerCount(flagMap.has("range") ? reader.nRange : reader.nSNPs, "SNP", file),
                      writerCount(reader.nSamples, "sample", file), values.nThreads, values.compression,
                      values.rsids, file, output);
}

}  // namespace

int main(int argc, char** argv) {
    failure::installTerminateHandler();
    printBanner();

    Flag flag;
    flag.init(std::vector<std::string>(argv, argv + argc));
    flag.parse();
    const FlagMap flagMap = flag.flags;
    const Flag::Values values = flag.values;

    if (flagMap.has("help")) {
        flag.help();
        return 0;
    }
    flag.print();

    Masterfile masterfile;
    masterfile.init(flagMap, values);
    if (flagMap.has("in-files"))
        masterfile.parse();
    else if (flagMap.has("bcor-to-text"))
        masterfile.setRegionFiles({{"bcor", flagMap.get("bcor-file")}, {"ld", flagMap.get("ld-file")}});

    const bool correlations = flagMap.has("write-bcor") || flagMap.has("write-text");
    if (correlations) {
        for (uint32_t i = 0; i < datasetCount(masterfile); ++i) {
            const DatasetFrame frame("Computing correlations", i, masterfile);
            CorrCPU engine(flagMap, masterfile, values);
            engine.readData(i);
            engine.run();
            const bool bcor = flagMap.has("write-bcor");
            const std::string file = masterfile.getRegionFile(i, bcor ? "bcor" : "ld");
            CorrWriter writer(writerCount(engine.data.nSNPs, "SNP", file),
                              writerCount(engine.data.nSamples, "sample", file), values.nThreads,
                              values.compression, engine.values.rsids, file,
                              bcor ? CorrWriter::Output::bcor : CorrWriter::Output::text);
            if (bcor) {
                writer.header(engine.data.sumStatsData.snpIndex);
                writer.denseData(engine.R.data());
            } else if (flagMap.has("rsids")) {
                writer.vector(engine.R, engine.data.sumStatsData.snpIndex, true);
            } else {
                writer.matrix(engine.R.data());
            }
            frame.printRunTime();
        }
    }
    if (flagMap.has("write-bdose") && !correlations && values.bdoseVersion == 1) {
        for (uint32_t i = 0; i < datasetCount(masterfile); ++i) {
            const DatasetFrame frame("Computing dosages", i, masterfile);
            CorrCPU engine(flagMap, masterfile, values);
            engine.readData(i);
            engine.data.printSummaryData();
            frame.printRunTime();
        }
    }
    if (flagMap.has("bcor-to-text")) {
        for (uint32_t i = 0; i < datasetCount(masterfile); ++i) {
            const DatasetFrame frame("Converting BCOR to text", i, masterfile);
            CorrReader reader(flagMap, values, masterfile);
            reader.read(i);
            CorrWriter writer = conversionWriter(reader, flagMap, values, masterfile.getRegionFile(i, "ld"),
                                                 CorrWriter::Output::text);
            if (flagMap.has("rsids"))
                writer.vector(reader.R, reader.meta, false);
            else
                writer.matrix(reader.R.data());
            frame.printRunTime();
        }
    }
    if (flagMap.has("text-to-bcor")) {
        for (uint32_t i = 0; i < datasetCount(masterfile); ++i) {
            const DatasetFrame frame("Converting text to BCOR", i, masterfile);
            CorrReader reader(flagMap, values, masterfile);
            reader.read(i);
            CorrWriter writer = conversionWriter(reader, flagMap, values, masterfile.getRegionFile(i, "bcor"),
                                                 CorrWriter::Output::bcor);
            writer.header(reader.meta);
            writer.denseData(reader.R.data());
            frame.printRunTime();
        }
    }
    return 0;
}
