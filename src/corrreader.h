// Reads one dataset's correlations back for the conversions: a BCOR file (all pairs, the pairs
// of the SNPs in a --range, or the --rsids SNPs against every SNP) or an LD matrix text file
// (with the dataset's SNP list from its Z file). Every field of a BCOR file is checked before it
// is used. Owns its dataset loader and buffers; one reader per dataset, driver thread only.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "data.h"
#include "flag.h"
#include "masterfile.h"
#include "meta.h"
#include "regionfiles.h"

class CorrReader {
public:
    CorrReader(const FlagMap& flagMap, const Flag::Values& values, const Masterfile& masterfile);

    // Loads dataset i (0-based position among the selected datasets) and reads its correlations.
    void read(uint32_t i);
    // Reads the dataset's BCOR file into R (and meta with --range or --rsids).
    void readBCOR();
    // The file must begin with the BCOR magic.
    void readMagicNumber(std::istream& stream);
    // Reads the M SNP records that follow the header into meta; they must end at offset D.
    void readMeta(std::istream& stream, uint64_t D);
    // Parses the record of SNP `number` (without its length) and inserts it into meta.
    void bufferToMeta(std::vector<uint8_t>&& buffer, uint32_t number);
    // Reads all pairs, or the pairs of the range, from the block at offset D.
    void readCorr(std::istream& stream, uint64_t D);
    // Reads the correlations of every SNP with each --rsids SNP (M rows of K values).
    void readCorr_oneSNP(std::istream& stream, uint64_t D);
    // True when r is NaN or within [-1, 1]; otherwise ends the run naming SNP row+1, SNP
    // column+1 and the dataset's file of column `columnName`.
    bool checkRange(uint64_t row, uint64_t column, double r, const std::string& columnName) const;
    // Index of the pair (a, b), a != b in either order, in the packed upper triangle of M SNPs.
    uint64_t getIndex(uint64_t a, uint64_t b, uint64_t M) const;
    // "\r" + label + (i+1)*100/(n-1) with three decimals + "%" on standard output.
    void printStatus(uint64_t i, uint64_t n, const std::string& label) const;

    // Reads the dataset's LD matrix text file into R.
    void readText();
    // Appends the upper-triangle values of 0-based row r of the text matrix to R.
    void parseLine(const std::string& line, uint64_t r);
    // Row r must have held M fields (n counts them as parseLine does).
    void checkNumOfSNPsLine(uint64_t n, uint64_t r) const;

    uint8_t compression = 0;
    Data data;
    Regionfiles regionfiles;
    FlagMap flagMap;
    Masterfile masterfile;
    SnpIndex meta;
    uint64_t nValues = 0;
    uint64_t nSamples = 0;
    uint64_t nSNPs = 0;
    uint64_t nRange = 0;
    std::vector<uint32_t> rangeIndices{0, 0};
    std::vector<double> R;
    RsIDs rsids;
    Flag::Values values;

private:
    // Makes room in R for `count` values read from `file`; a failed allocation ends the run
    // naming the file.
    void reserveValues(uint64_t count, const std::string& file);
    // Reads `count` codes at the stream's position into `codes`; a short read ends the run.
    void readCodes(std::istream& stream, uint64_t count);
    // The value of the code at `at` (NaN for the sentinel); a code above 3 ends the run.
    double decode(const uint8_t* at) const;
    // Appends the decoded value of code `k` of `codes` after its range check.
    void appendDecoded(uint64_t k, uint64_t row, uint64_t column);
    // Selects the SNPs of the --range; positions must not decrease along the file.
    void selectRange();
    // Fills the SNP numbers of the --rsids identifiers; an absent one ends the run.
    void findRsids();
    // "SNP record <number+1> of file '<bcor file>'", for messages.
    std::string recordName(uint64_t number) const;

    std::string bcorFile;
    uint64_t bcorSize = 0;
    unsigned width = 0;
    std::vector<uint8_t> codes;
};
