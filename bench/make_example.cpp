// Writes the bundled example: two generated regions with their BGEN file, .bgi index, Z file
// and (for the second) sample and inclusion files, and the master file that lists them, with
// the outputs of a run under <directory>/out (created empty). Paths in the master file start with <directory>,
// so runs are made from the directory that contains it.
// Usage: make_example [directory]   (default "examples")

#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/dataset.h"

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : "examples";
    try {
        std::filesystem::create_directories(directory + "/out");
        DatasetOptions first;
        first.seed = 101;
        first.snps = 100;
        first.samples = 300;
        first.bits = 8;
        first.missingRate = 0.02;
        first.name = "region1";

        // The second region uses 250 of its 320 samples, chosen by an inclusion file.
        DatasetOptions second = first;
        second.seed = 202;
        second.snps = 120;
        second.samples = 320;
        for (uint32_t i = 0; i < 250; ++i) second.included.push_back(i * 9 % 320);
        second.name = "region2";

        std::vector<std::map<std::string, std::string>> lines;
        for (const DatasetOptions& options : {first, second}) {
            auto columns = makeDataset(directory, options, false).columns();
            columns["bcor"] = directory + "/out/" + options.name + ".bcor";
            columns["ld"] = directory + "/out/" + options.name + ".ld";
            lines.push_back(columns);
        }
        writeMasterFile(directory + "/master.txt", {"z", "bgen", "bgi", "sample", "incl", "n_samples", "bcor", "ld"},
                        lines);
    } catch (const std::exception& e) {
        std::cerr << "make_example: " << e.what() << "\n";
        return 1;
    }
    std::cout << "Wrote the example into " << directory << "/ (master file " << directory << "/master.txt)\n";
    return 0;
}
