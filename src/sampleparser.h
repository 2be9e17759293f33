// SampleParser: reads and checks a dataset's sample file (the sample IDs in genotype-file
// order) and inclusion file (the IDs of the samples to use), producing the list of included
// samples. It holds no state; every function is const and works only on its arguments.
// The given-list form of readSample may run on several threads at once, each call with its
// own lists; its progress lines are written whole.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Included samples: (0-based index of the sample in its source's order, sample ID), in the
// order the dosage rows use.
using SampleList = std::vector<std::pair<uint32_t, std::string>>;

// One known sample; ordered by ID alone, so a set holds each ID once.
struct Sample {
    uint32_t index = 0;
    std::string id;

    bool operator<(const Sample& other) const { return id < other.id; }
};

class SampleParser {
public:
    // Appends (i, "") for i = 0 .. n - 1.
    void setSamples(uint32_t n, SampleList* samples) const;

    // Sample file only: appends every sample of `sampleFile` in file order. `nBgen` is the
    // sample count of `bgenFile`, which the file must match. `masterFile` and `nSamples` are
    // not consulted.
    void readSample(const std::string& masterFile, const std::string& sampleFile, const std::string& bgenFile,
                    uint32_t nBgen, uint32_t nSamples, SampleList* samples) const;

    // Sample file and inclusion file: checks the whole sample file, then appends the samples
    // of `inclFile` in its order with their index in the sample file. The inclusion file
    // must hold `nSamples` lines (the master file's count).
    void readSample(const std::string& masterFile, const std::string& sampleFile, const std::string& inclFile,
                    const std::string& bgenFile, uint32_t nBgen, uint32_t nSamples, SampleList* samples) const;

    // Given list and inclusion file: the known samples are `given` (as stored in `sourceFile`),
    // then as above. `nSource` is not consulted.
    void readSample(const std::string& masterFile, const std::string& inclFile, const std::string& sourceFile,
                    uint32_t nSource, uint32_t nSamples, const SampleList& given, SampleList* samples) const;

    // Reads `inclFile` against the samples `known` (from `sourceFile`) and appends each
    // included sample in file order.
    void readIncl(const std::string& masterFile, const std::string& sourceFile, const std::string& inclFile,
                  uint32_t nSamples, const std::set<Sample>& known, SampleList* samples) const;
};
