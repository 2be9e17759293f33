// Data: everything loaded for one dataset (one line of the master file) — copies of the
// options and of the dataset's file set, the SNP index read from the Z file, the BGEN dosage
// reader with its in-memory Dosage rows, the BDOSE writer and the BDOSE readers (the 1.0
// mapper, one 1.1 parser per thread that decodes a tile). The engine and the correlation reader
// each own one per dataset and read its fields directly once it is loaded. Driver thread only;
// the parallel work happens inside the readers and the writer, and in the set-up of the 1.1
// parsers.
// Move-only (the BDOSE members own open files).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bdose.h"
#include "bdosemapper.h"
#include "bdoseparser.h"
#include "bgenindexparser.h"
#include "bgenparser.h"
#include "flag.h"
#include "meta.h"
#include "regionfiles.h"
#include "sampleparser.h"
#include "sumstatsparser.h"

class Data {
public:
    // Copies the three inputs; with a master file in use ("in-files"), nSamples becomes the
    // dataset's n_samples value.
    void init(const FlagMap& flags, const Flag::Values& options, const Regionfiles& files);
    // Reads the Z file into sumStatsData and sets nSNPs; fills rsids->index for --rsids.
    void readSumStats(RsIDs* rsids);
    // The sample and SNP counts on standard output.
    void printSummaryData() const;
    // Decodes the BGEN genotypes of every SNP of the Z file into bgenParser's Dosage rows.
    void readBgenNoWriteDose();
    // Writes the dataset's BDOSE file (its `bdose` column) from its BGEN file, as version 1.0 or
    // 1.1 by values.bdoseVersion.
    void readBgenWriteDose();
    // Sets up the BDOSE reader of the engine: the 1.0 mapper, or one 1.1 parser for each thread
    // that decodes a tile (teamSize(thread count, SNP count), at least one).
    // With --read-bdose, values.bdoseVersion becomes the version of the file. Stores the dosage
    // source (0 mapper, 1 parsers) through `bdoseVersion` and returns it.
    int32_t initBdose(int32_t* bdoseVersion);

    // Opens the dataset's BGEN file with `bgen` and reads its header.
    void openBgen(BgenParser* bgen) const;
    // The place of every SNP of the Z file (element n is SNP n) in `bgenFile`, looked up in the
    // dataset's .bgi index. Every SNP must be found, else the run ends.
    std::vector<BgenIndex> findBgenPlaces(const std::string& bgenFile) const;
    // The included samples of a BGEN file with `nBgen` samples, in dosage-column order: all of
    // them without a sample file, else those of the sample file or of the inclusion file.
    SampleList selectSamples(uint32_t nBgen) const;

    FlagMap flagMap;
    Flag::Values values;
    Regionfiles regionfiles;
    SumStatsParser sumStatsParser;
    SumStatsData sumStatsData;
    BgenParser bgenParser;
    Bdose bdose;
    BdoseMapper bdoseMapper;
    std::vector<BdoseParser> bdoseParsers;
    uint64_t nSamples = 0;
    uint64_t nSNPs = 0;

private:
    bool hasColumn(const std::string& column) const { return regionfiles.files.count(column) != 0; }
    // The master file's name, "" without --in-files.
    std::string masterfileName() const { return flagMap.get("in-files"); }
    // nSamples as the 32-bit count the sample readers take.
    uint32_t nSamples32() const;
    // Makes teamSize(thread count, SNP count) BDOSE parsers (at least one) and opens each on the
    // dataset's BDOSE file in one parallel region, with the inclusion file when `withInclusion`
    // is set and the dataset has one.
    void initParsers(bool withInclusion);
};
