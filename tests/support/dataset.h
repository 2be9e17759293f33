// Test fixtures: a whole generated dataset — BGEN file and .bgi index, Z file, sample file and
// optional inclusion file — from a seed, with the genotype probabilities as a reader decodes
// them and an independent two-pass computation of the standardised Dosage rows. Also writes
// master files. Failures throw std::runtime_error. Plain values; one test thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/textfiles.h"

// How the genotypes of one SNP are drawn.
enum class SnpKind {
    Random,         // soft probabilities, some samples missing (missingRate)
    Constant,       // the same probabilities for every non-missing sample
    OneNonMissing,  // only one included sample is not missing
    AllMissing,     // every sample is missing
};

struct DatasetOptions {
    uint64_t seed = 1;
    uint32_t snps = 20;     // M
    uint32_t samples = 50;  // N, the samples of the BGEN file
    uint32_t layout = 2;    // 1 or 2
    uint32_t compression = 1;  // 0 none, 1 zlib, 2 zstd
    uint32_t bits = 16;        // layout 2: bits per stored probability
    bool sampleIdBlock = true;  // write the sample identifiers into the BGEN file
    double missingRate = 0.05;
    bool hardCalls = false;  // only (1,0,0), (0,1,0), (0,0,1): the same decoded values in every layout
    std::map<uint32_t, SnpKind> kinds;  // SNP number -> kind; the others are Random
    // BGEN sample indices to include, in the inclusion file's order; empty: all samples and no
    // inclusion file.
    std::vector<uint32_t> included;
    bool sampleFile = false;  // write a sample file also when every sample is used
    std::string name = "data";  // stem of the file names
};

struct Dataset {
    // Paths; `sample` and `incl` are empty when not written.
    std::string bgen, bgi, z, sample, incl;
    std::vector<ZRow> snps;               // the SNPs in Z-file order
    std::vector<std::string> sampleIds;   // all N samples of the BGEN file
    std::vector<uint32_t> included;       // BGEN sample indices in dosage-column order
    uint32_t layout = 2;
    // probs[snp][bgenSample]: AA, AB, BB exactly as a reader decodes them (each value rounded
    // to single precision); a missing sample holds -1 (layout 2) or 0, 0, 0 (layout 1).
    // Empty when DatasetOptions::keepProbabilities was false.
    std::vector<std::vector<std::array<double, 3>>> probs;

    uint32_t nSnps() const { return static_cast<uint32_t>(snps.size()); }
    uint32_t nIncluded() const { return static_cast<uint32_t>(included.size()); }
    // The master-file columns of this dataset: z, bgen, bgi, n_samples, and sample and incl
    // when written. Add bcor, ld, bdose as a test needs.
    std::map<std::string, std::string> columns() const;
};

// Generates the dataset into `directory`. `keepProbabilities` false leaves Dataset::probs
// empty (for datasets too large to hold twice).
Dataset makeDataset(const std::string& directory, const DatasetOptions& options, bool keepProbabilities = true);

// Expected dosage of included sample j (0-based, column order) of SNP n: expected count of the
// second allele, NaN when missing (a layout-1 sample stored as zeros included).
double expectedDosage(const Dataset& data, uint32_t n, uint32_t j);

// The expected standardised rows, SNP-major (row n at n * nIncluded()), computed in two passes:
// mean over the non-missing dosages, SD over the mean-imputed row with denominator S - 1
// (0 when S = 1); missing values 0.0, non-missing (x - mean) / SD, NaN where SD is 0.
// missingCounts (optional) receives each SNP's number of missing included samples.
std::vector<double> expectedRows(const Dataset& data, std::vector<uint32_t>* missingCounts = nullptr);

// Generates one dataset per name (the file stem) of `samples` samples and `snps` SNPs, otherwise
// with the default options.
void makeSmallDatasets(const std::string& directory, const std::vector<std::string>& names, uint32_t samples,
                       uint32_t snps);

// A master file: the header words joined by ";", then one line per dataset with each header
// column's value (empty when the map has none). Written to `path`; returns `path`.
std::string writeMasterFile(const std::string& path, const std::vector<std::string>& header,
                            const std::vector<std::map<std::string, std::string>>& lines);
