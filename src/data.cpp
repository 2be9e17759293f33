#include "data.h"

#include <cstdlib>
#include <iostream>

#include "error.h"

void Data::init(const FlagMap& flags, const Flag::Values& options, const Regionfiles& files) {
    flagMap = flags;
    values = options;
    regionfiles = files;
    if (flagMap.has("in-files")) {
        // The master-file reader validated the text as a positive whole number up to 2^32 - 1.
        const std::string text = regionfiles.get("n_samples");
        nSamples = static_cast<uint64_t>(std::strtod(text.c_str(), nullptr));
    }
}

void Data::readSumStats(RsIDs* rsids) {
    sumStatsParser.regionfiles = regionfiles;
    nSNPs = sumStatsParser.readSumStats(flagMap.has("rsids"), rsids, &sumStatsData);
}

void Data::printSummaryData() const {
    std::cout << std::endl
              << "- Number of samples     : " << nSamples << std::endl
              << "- Number of SNPs        : " << nSNPs << std::endl
              << std::endl;
}

std::vector<BgenIndex> Data::findBgenPlaces(const std::string& bgenFile) const {
    std::vector<BgenIndex> places(nSNPs);
    // Constructed for its effect only: it fills `places` and closes the index when destroyed.
    BgenIndexParser(bgenFile, regionfiles.get("bgi"), regionfiles.get("z"), sumStatsData.snpIndex, &places);
    return places;
}

uint32_t Data::nSamples32() const {
    return static_cast<uint32_t>(nSamples);
}

SampleList Data::selectSamples(uint32_t nBgen) const {
    SampleList samples;
    const SampleParser parser;
    if (!hasColumn("sample")) {
        parser.setSamples(nBgen, &samples);
    } else if (!hasColumn("incl")) {
        parser.readSample(masterfileName(), regionfiles.get("sample"), regionfiles.get("bgen"), nBgen, nSamples32(),
                          &samples);
    } else {
        parser.readSample(masterfileName(), regionfiles.get("sample"), regionfiles.get("incl"),
                          regionfiles.get("bgen"), nBgen, nSamples32(), &samples);
    }
    return samples;
}

void Data::readBgenNoWriteDose() {
    bgenParser.zFile = regionfiles.get("z");
    bgenParser.bgenFile = regionfiles.get("bgen");
    bgenParser.initBgen();
    const std::vector<BgenIndex> places = findBgenPlaces(bgenParser.bgenFile);
    const SampleList samples = selectSamples(bgenParser.context.number_of_samples);
    // The engine takes every Dosage row to be nSamples long; any other width would misread rows.
    if (samples.size() != nSamples)
        Error::fail("File '" + bgenParser.bgenFile + "' gives " + std::to_string(samples.size()) +
                    " included samples but " + std::to_string(nSamples) +
                    " samples are specified in the master file '" + masterfileName() + "'!");
    bgenParser.parseBgen(places, samples, values.nThreads);
}
