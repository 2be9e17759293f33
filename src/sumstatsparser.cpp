#include "sumstatsparser.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "error.h"

namespace {

const char* const kLabel = "- Reading SNP file      : ";

// The next blank-separated field of a data line; none left ends the run.
std::string nextField(std::istream* line, const std::string& zFile, uint32_t lineNumber, uint32_t column) {
    std::string field;
    if (!std::getline(*line, field, ' '))
        Error::fail("\n\n", "File '" + zFile + "' contains a missing value in line " + std::to_string(lineNumber) +
                                " column " + std::to_string(column) + "!");
    return field;
}

}  // namespace

uint32_t SumStatsParser::readSumStats(bool rsids, RsIDs* rsidsOut, SumStatsData* data) {
    const std::string zFile = regionfiles.get("z");
    std::ifstream stream;
    openTextFile(stream, zFile);
    guardTextRead(stream, zFile, [&] {
        checkHeader(stream);
        lineCount = 1;

        uint32_t counter = 0;
        std::string text;
        while (std::getline(stream, text)) {
            printStatus(kLabel, &counter);
            ++lineCount;
            std::istringstream line(text);
            const Meta meta = parseMeta(true, zFile, &line, data);
            if (rsids && rsidsOut->ids.count(meta.rsid) != 0) {
                const auto p = std::find(rsidsOut->order.begin(), rsidsOut->order.end(), meta.rsid) -
                               rsidsOut->order.begin();
                rsidsOut->index[static_cast<std::size_t>(p)] = static_cast<int32_t>(lineCount - 2);
            }
        }
    });
    checkReadToEnd(stream, zFile);
    std::cout << "\r" << kLabel << "done!   " << std::endl;

    std::string missing;
    for (std::size_t p = 0; rsids && p < rsidsOut->index.size(); ++p) {
        if (rsidsOut->index[p] == -1)
            missing += "\nError: Encountered SNP with rsID '" + rsidsOut->order[p] +
                       "' in '--rsids' but it is not included in file '" + zFile + "'!\n";
    }
    if (!missing.empty()) failure::report(missing + "\n", "");

    checkNumOfSNPs();
    return lineCount - 1;
}

void SumStatsParser::checkHeader(std::istream& stream) {
    lineCount = 0;
    const std::string zFile = regionfiles.get("z");
    checkMinNumOfCols(stream, zFile, 5);
    checkLine(stream, zFile, {"rsid", "chromosome", "position", "allele1", "allele2"}, 1);
}

Meta SumStatsParser::parseMeta(bool insert, const std::string& zFile, std::istream* line, SumStatsData* data) {
    Meta meta;
    meta.rsid = nextField(line, zFile, lineCount, 1);
    meta.chromosome = nextField(line, zFile, lineCount, 2);
    meta.position = stringToPosInt(nextField(line, zFile, lineCount, 3), zFile, lineCount, 3);
    meta.alleles.push_back(nextField(line, zFile, lineCount, 4));
    meta.alleles.push_back(nextField(line, zFile, lineCount, 5));
    insertMeta(insert, zFile, meta, data);
    return meta;
}

void SumStatsParser::insertMeta(bool insert, const std::string& zFile, const Meta& meta, SumStatsData* data) const {
    if (!insert) return;
    if (!data->snpIndex.insert(SnpIndex::value_type(meta, lineCount - 2)).second)
        Error::fail("\n\n", "File '" + zFile + "' contains a duplicated SNP with rsID '" + meta.rsid + "' in line " +
                                std::to_string(lineCount) + "!");
}

void SumStatsParser::checkNumOfSNPs() const {
    const std::string zFile = regionfiles.get("z");
    if (lineCount == 1) Error::fail("\n", "File '" + zFile + "' contains no SNPs!");
    if (lineCount == 2) Error::fail("\n", "File '" + zFile + "' contains only 1 SNP!");
}

void SumStatsParser::printStatus(const std::string& label, uint32_t* counter) const {
    ++*counter;
    if (*counter == 5) {
        std::cout << "\r" << label << "+" << std::flush;
    } else if (*counter == 10) {
        *counter = 0;
        std::cout << "\r" << label << "-" << std::flush;
    }
}
