#include "data.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "error.h"
#include "threads.h"

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
    const std::string bgi = regionfiles.get("bgi");
    // Constructed for its effect only: it fills `places` and closes the index when destroyed.
    BgenIndexParser(bgenFile, bgi, regionfiles.get("z"), sumStatsData.snpIndex, &places);
    return places;
}

void Data::openBgen(BgenParser* bgen) const {
    bgen->bgenFile = regionfiles.get("bgen");
    bgen->initBgen();
}

uint32_t Data::nSamples32() const {
    return static_cast<uint32_t>(nSamples);
}

SampleList Data::selectSamples(uint32_t nBgen) const {
    SampleList samples;
    const SampleParser parser;
    if (!hasColumn("sample")) {
        // As many samples as the BGEN header claims.
        guardMemory(regionfiles.get("bgen"), [&] { parser.setSamples(nBgen, &samples); });
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
    openBgen(&bgenParser);
    const std::vector<BgenIndex> places = findBgenPlaces(bgenParser.bgenFile);
    const SampleList samples = selectSamples(bgenParser.context.number_of_samples);
    // The engine takes every Dosage row to be nSamples long; any other width would misread rows.
    if (samples.size() != nSamples)
        Error::fail("File '" + bgenParser.bgenFile + "' gives " + std::to_string(samples.size()) +
                    " included samples but " + std::to_string(nSamples) +
                    " samples are specified in the master file '" + masterfileName() + "'!");
    bgenParser.bgiFile = regionfiles.get("bgi");
    bgenParser.parseBgen(places, sumStatsData.snpIndex, samples, values.nThreads);
}

void Data::readBgenWriteDose() {
    BgenParser bgen;
    openBgen(&bgen);
    const std::vector<BgenIndex> places = findBgenPlaces(bgen.bgenFile);
    const SampleList samples = selectSamples(bgen.context.number_of_samples);

    Bdose::Context context;
    const char* magic = values.bdoseVersion == 1 ? "bdose1.1" : "bdose1.0";
    std::copy(magic, magic + context.magicNumber.size(), context.magicNumber.begin());
    context.bgenSize = bgen.context.file_size;
    context.firstBytes = bgen.readFirstBytes(static_cast<int64_t>(std::min<uint64_t>(context.bgenSize, 1000)));
    context.bgenPath = bgen.bgenFile;
    context.bdosePath = regionfiles.get("bdose");
    context.bgiPath = regionfiles.get("bgi");
    context.numSamples = nSamples32();
    // Bdose::init ends the run when the narrowed count no longer matches the SNP index.
    context.numSNPs = static_cast<uint32_t>(nSNPs);
    context.version = static_cast<uint8_t>(values.bdoseVersion);
    context.compression = values.compression;

    // The writer keeps its own copy of the samples, as many as the BGEN header may claim.
    guardMemory(bgen.bgenFile, [&] { bdose.init(values.nThreads, context, places, sumStatsData.snpIndex, samples); });
    if (values.bdoseVersion == 0)
        bdose.write_v10();
    else
        bdose.write_v11();
}

int32_t Data::initBdose(int32_t* bdoseVersion) {
    if (flagMap.has("read-bdose")) {
        if (bdose.readVersion(regionfiles.get("bdose"), &values.bdoseVersion) == 1) initParsers(true);
    } else if (flagMap.has("write-bdose") && values.bdoseVersion == 1) {
        // The file just written holds exactly the included samples.
        initParsers(false);
    }
    if (values.bdoseVersion == 0) {
        const std::string bdoseFile = regionfiles.get("bdose");
        guardMemory(bdoseFile, [&] {
            bdoseMapper.init(bdoseFile, regionfiles.get("z"), sumStatsData.snpIndex, nSamples32());
        });
    }
    *bdoseVersion = values.bdoseVersion;
    return values.bdoseVersion;
}

void Data::initParsers(bool withInclusion) {
    const std::string bdoseFile = regionfiles.get("bdose");
    const std::string zFile = regionfiles.get("z");
    const bool inclusion = withInclusion && hasColumn("incl");
    const std::string inclFile = inclusion ? regionfiles.get("incl") : std::string();
    const std::string master = masterfileName();
    const uint32_t n = nSamples32();
    // The engine decodes a tile on at most teamSize(thread count, SNP count) threads, one parser each.
    bdoseParsers.resize(static_cast<std::size_t>(std::max(1, teamSize(values.nThreads, nSNPs))));
    const int64_t slots = static_cast<int64_t>(bdoseParsers.size());
#pragma omp parallel for num_threads(teamSize(values.nThreads, static_cast<uint64_t>(slots))) schedule(static)
    for (int64_t slot = 0; slot < slots; ++slot) {
        try {
            const SnpIndex& index = sumStatsData.snpIndex;
            BdoseParser& parser = bdoseParsers.at(static_cast<std::size_t>(slot));
            if (inclusion)
                parser.initBdose(master, zFile, inclFile, bdoseFile, index, n);
            else
                parser.initBdose(bdoseFile, zFile, index, n);
        } catch (const std::exception& e) {
            Error::fail("Cannot read BDOSE file '" + bdoseFile + "': " + e.what() + "!");
        }
    }
}
