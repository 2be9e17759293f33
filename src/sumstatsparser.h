// SumStatsParser: reads a dataset's Z file (the SNP list of one region) into the SNP index,
// checks every field, and records the SNP numbers of the --rsids identifiers. It owns a copy
// of the dataset's file set and the count of lines read. Driver thread only.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "flag.h"
#include "meta.h"
#include "regionfiles.h"

class SumStatsParser {
public:
    // Reads the Z file named by the `z` column of `regionfiles` into data->snpIndex (SNP i is the
    // data line i + 2 of the file, 0-based). With `rsids`, rsidsOut->index[p] becomes the number
    // of the last line whose rsid is rsidsOut->order[p]; an identifier never found ends the run.
    // Returns the number of SNPs (at least 2); every failure ends the run.
    uint32_t readSumStats(bool rsids, RsIDs* rsidsOut, SumStatsData* data);

    Regionfiles regionfiles;
    uint32_t lineCount = 0;  // lines read so far, header included

private:
    // Checks the header line (at least five fields, the first five fixed words); leaves the
    // stream at line 2.
    void checkHeader(std::istream& stream);
    // Reads the five fields of the data line in `line` (line number lineCount) and, when
    // `insert`, adds the SNP to the index.
    Meta parseMeta(bool insert, const std::string& zFile, std::istream* line, SumStatsData* data);
    void insertMeta(bool insert, const std::string& zFile, const Meta& meta, SumStatsData* data) const;
    // At least two SNPs must have been read.
    void checkNumOfSNPs() const;
    // Spinner: counts one more line; the 5th of every ten writes "+", the 10th "-".
    void printStatus(const std::string& label, uint32_t* counter) const;
};
