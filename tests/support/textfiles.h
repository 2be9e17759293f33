// Test fixtures: writes Z files (SNP lists), sample files and inclusion files from plain rows,
// each into a given path. Plain functions without state; one test thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One SNP line of a Z file.
struct ZRow {
    std::string rsid;
    std::string chromosome;
    uint32_t position = 0;
    std::string allele1;
    std::string allele2;
};

// A Z file: the header "rsid chromosome position allele1 allele2", then one line per row.
std::string zFileText(const std::vector<ZRow>& rows);
// Writes zFileText(rows) to `path`; returns `path`.
std::string writeZFile(const std::string& path, const std::vector<ZRow>& rows);

// A sample file: the two header lines "ID_1 ID_2 missing sex" and "0 0 0 D", then "<id> <id> 0 1"
// for each ID in order.
std::string sampleFileText(const std::vector<std::string>& ids);
std::string writeSampleFile(const std::string& path, const std::vector<std::string>& ids);

// An inclusion file: one ID per line.
std::string inclusionFileText(const std::vector<std::string>& ids);
std::string writeInclusionFile(const std::string& path, const std::vector<std::string>& ids);
