// Stand-in for the Masterfile members the run driver calls, until the real master-file reader
// is merged (this file then goes away). It keeps the datasets registered without a master file
// and lists their files; reading a master file is not available and ends the run.

#include <iostream>

#include "error.h"
#include "masterfile.h"

void Masterfile::init(const FlagMap& flags, const Flag::Values& options) {
    flagMap = flags;
    values = options;
    filename = flagMap.get("in-files");
}

void Masterfile::parse() {
    Error::fail("Master file '" + filename + "' cannot be read by this build!");
}

void Masterfile::setRegionFiles(const std::map<std::string, std::string>& map) {
    files.push_back(map);
    values.dataset.insert(0);
}

void Masterfile::print(uint32_t i) const {
    static const struct {
        const char* column;
        const char* label;
    } rows[] = {
        {"z", "- SNP file              : "},        {"bgen", "- BGEN file             : "},
        {"bgi", "- BGEN BGI file         : "},      {"sample", "- Sample file           : "},
        {"incl", "- Sample inclusion file : "},     {"bcor", "- BCOR file             : "},
    };
    for (const auto& row : rows)
        if (findDatasetFile(i, row.column)) std::cout << row.label << files[i].at(row.column) << std::endl;
    if (findDatasetFile(i, "ld"))
        std::cout << (flagMap.has("rsids") ? "- LD vector             : " : "- LD matrix             : ")
                  << files[i].at("ld") << std::endl;
}

std::string Masterfile::getRegionFile(uint32_t i, const std::string& column) const {
    if (i >= files.size())
        Error::fail("Cannot request file with extension '" + column + "' for dataset #" + std::to_string(i) +
                    " because " + std::to_string(files.size()) + " dataset(s) in the master file '" + filename +
                    "' were parsed!");
    const auto found = files[i].find(column);
    return found == files[i].end() ? std::string() : found->second;
}

bool Masterfile::findDatasetFile(uint32_t i, const std::string& column) const {
    if (i >= files.size())
        Error::fail("Cannot find file with extension '" + column + "' for dataset #" + std::to_string(i) +
                    " because " + std::to_string(files.size()) + " dataset(s) in the master file '" + filename +
                    "' were parsed!");
    return files[i].count(column) != 0;
}
