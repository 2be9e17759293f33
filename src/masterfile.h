// The master file: its header, the selected datasets' column-to-value maps, the checks of
// the whole file against the run (no output may be an input; they also create the output
// files that do not exist yet, and empty none), and queries for a dataset's files by its
// 0-based position among the selected datasets.
// A plain value type copied into the engine and the reader; driver thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flag.h"

class Masterfile {
public:
    void init(const FlagMap& flagMap, const Flag::Values& values);
    // Reads and checks the file named by --in-files, then creates the output files of
    // --write-bcor and --write-bdose for every selected dataset that do not exist yet.
    void parse();
    // Registers one dataset (number 0) without a master file (--bcor-file, --ld-file) and checks
    // that its output file is not one of its inputs.
    void setRegionFiles(const std::map<std::string, std::string>& map);
    // The file list of the dataset at 0-based position i on standard output.
    void print(uint32_t i) const;
    // The column's value for dataset position i (0-based), "" when unset.
    std::string getRegionFile(uint32_t i, const std::string& column) const;
    // Whether dataset position i (0-based) has the column.
    bool findDatasetFile(uint32_t i, const std::string& column) const;

    // Records the column positions of the header line and checks the required columns.
    void setHeader(const std::string& line);
    void isHeaderEntrySet(const std::string& column, bool required) const;
    // Keeps the map of dataset number k (1-based) when it is selected.
    void setFiles(uint32_t k, const std::map<std::string, std::string>& map);
    // `count` is the number of data lines; checks it against the selected dataset numbers.
    void checkNumOfRegions(uint32_t count) const;
    // First that no output is an input, that all outputs are distinct files and that no part file
    // is a symbolic link, a FIFO or a socket; then per dataset: the index check, the input files
    // open, the output files open for positional writes (created when absent, never emptied).
    void checkReadWrite();

    // A file that the run writes. `bdose` names the BDOSE file of a part file of the
    // 1.1 writer, and is empty for every other output.
    struct Output {
        std::string path;
        std::string bdose;
    };
    // Every output of every selected dataset, in dataset order: the files of the subprogram's
    // columns (bcor, ld or bdose) and, when BDOSE 1.1 is written, the part files of as many
    // threads as the writer can run.
    std::vector<Output> outputFiles() const;
    // Ends the run when an existing output file is the same file, by device and inode, as the
    // master file, the --rsids file or a file that any dataset reads. Changes no file.
    void checkOutputsAreNotInputs() const;
    // Ends the run when two outputs are one regular file: by device and inode when it exists,
    // else by the resolved path that writing would create. A device such as /dev/null may be
    // named by several outputs. Changes no file.
    void checkOutputsAreDistinct() const;
    // Ends the run when a symbolic link, a FIFO or a socket sits at a part-file path. Changes no
    // file.
    void checkPartFiles() const;
    // The .bgi check and the check of a BDOSE file to read, for one dataset's map.
    void checkBgi(const std::map<std::string, std::string>& map) const;
    void checkBdoseRead(const std::map<std::string, std::string>& map) const;

    FlagMap flagMap;
    Flag::Values values;
    std::string filename;
    std::map<std::string, uint32_t> header;
    std::vector<std::map<std::string, std::string>> files;
    uint32_t nSamples = 0;
    uint32_t numOfRegions = 0;
};
