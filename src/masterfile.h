// The master file: its header, the selected datasets' column-to-value maps, the checks of
// the whole file against the run, and queries for a dataset's files by column name.
// Copied by value into the engine and the reader; driver thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flag.h"

class Masterfile {
public:
    void init(const FlagMap& flagMap, const Flag::Values& values);
    // Reads and checks the file named by --in-files; creates or empties the output files.
    void parse();
    // Registers one dataset (number 0) without a master file (--bcor-file, --ld-file).
    void setRegionFiles(const std::map<std::string, std::string>& map);
    // The file list of the dataset at 0-based position i on standard output.
    void print(uint32_t i) const;
    // The column's value for dataset position i, "" when unset.
    std::string getRegionFile(uint32_t i, const std::string& column) const;
    // Whether dataset position i has the column.
    bool findDatasetFile(uint32_t i, const std::string& column) const;

    void setHeader(const std::string& line);
    void isHeaderEntrySet(const std::string& column, bool required) const;
    void setFiles(uint32_t k, const std::map<std::string, std::string>& map);
    void checkNumOfRegions(uint32_t count) const;
    void checkReadWrite();
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
