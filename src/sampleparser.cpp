#include "sampleparser.h"

#include <cstdio>
#include <fstream>

#include "error.h"

namespace {

const char* const kSampleLabel = "\r- Reading sample IDs    : ";
const char* const kInclusionLabel = "\r- Reading inclusions    : ";

// Writes `text` to standard output with one stdio call and flushes. stdio locks the stream
// for each call, so texts written by several threads at once stay whole.
void writeWhole(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The spinner before line `line` (1-based): "+" when line - 1 is a multiple of 10, else "-"
// when it is a multiple of 5.
void progressSign(const char* label, uint32_t line) {
    if ((line - 1) % 10 == 0)
        writeWhole(std::string(label) + "+      ");
    else if ((line - 1) % 5 == 0)
        writeWhole(std::string(label) + "-      ");
}

// The first field of a data line (the text before the first blank); an empty line ends the run.
std::string firstField(const std::string& text, const std::string& file, uint32_t line) {
    if (text.empty())
        Error::fail("\n\n", "File '" + file + "' contains a missing value in line " + std::to_string(line) +
                                " column 1!");
    return text.substr(0, text.find(' '));
}

// Reads and checks the whole sample file into `known`; with `samples`, also appends every
// sample in file order.
void readSampleFile(const std::string& sampleFile, const std::string& bgenFile, uint32_t nBgen,
                    std::set<Sample>* known, SampleList* samples) {
    std::ifstream stream;
    openTextFile(stream, sampleFile);
    uint32_t n = 0;
    guardTextRead(stream, sampleFile, [&] {
        checkMinNumOfCols(stream, sampleFile, 2);
        checkLine(stream, sampleFile, {"ID_1", "ID_2"}, 1);
        checkLine(stream, sampleFile, {"0", "0"}, 2);

        std::string text;
        for (uint32_t line = 3; std::getline(stream, text); ++line, ++n) {
            progressSign(kSampleLabel, line);
            const std::string id = firstField(text, sampleFile, line);
            if (!known->insert(Sample{line - 3, id}).second)
                Error::fail("\n\n", "File '" + sampleFile + "' with sample IDs contains a duplicate '" + id +
                                        "' in line " + std::to_string(line) + "!");
            if (samples != nullptr) samples->emplace_back(line - 3, id);
        }
    });
    checkReadToEnd(stream, sampleFile);
    if (n != nBgen)
        Error::fail("\n\n", "File '" + sampleFile + "' with sample IDs contains " + std::to_string(n) +
                                " samples but file '" + bgenFile + "' contains " + std::to_string(nBgen) +
                                " samples!");
}

}  // namespace

void SampleParser::setSamples(uint32_t n, SampleList* samples) const {
    samples->reserve(samples->size() + n);
    for (uint32_t i = 0; i < n; ++i) samples->emplace_back(i, std::string());
}

void SampleParser::readSample(const std::string&, const std::string& sampleFile, const std::string& bgenFile,
                              uint32_t nBgen, uint32_t, SampleList* samples) const {
    std::set<Sample> known;
    readSampleFile(sampleFile, bgenFile, nBgen, &known, samples);
}

void SampleParser::readSample(const std::string& masterFile, const std::string& sampleFile,
                              const std::string& inclFile, const std::string& bgenFile, uint32_t nBgen,
                              uint32_t nSamples, SampleList* samples) const {
    std::set<Sample> known;
    readSampleFile(sampleFile, bgenFile, nBgen, &known, nullptr);
    readIncl(masterFile, sampleFile, inclFile, nSamples, known, samples);
}

void SampleParser::readSample(const std::string& masterFile, const std::string& inclFile,
                              const std::string& sourceFile, uint32_t, uint32_t nSamples, const SampleList& given,
                              SampleList* samples) const {
    std::set<Sample> known;
    for (const auto& [index, id] : given) {
        if (!known.insert(Sample{index, id}).second)
            Error::fail("\n\n", "File '" + sourceFile + "' contains a duplicate sample '" + id + "'!");
    }
    readIncl(masterFile, sourceFile, inclFile, nSamples, known, samples);
}

void SampleParser::readIncl(const std::string& masterFile, const std::string& sourceFile,
                            const std::string& inclFile, uint32_t nSamples, const std::set<Sample>& known,
                            SampleList* samples) const {
    std::ifstream stream;
    openTextFile(stream, inclFile);
    uint32_t n = 0;
    guardTextRead(stream, inclFile, [&] {
        std::string text;
        std::getline(stream, text);
        if (splitFields(text, ' ').size() != 1)
            Error::fail("\n\n", "File '" + inclFile + "' must contain 1 column(s)!");
        stream.clear();
        stream.seekg(0, std::ios::beg);

        std::set<std::string> taken;
        for (uint32_t line = 1; std::getline(stream, text); ++line, ++n) {
            progressSign(kInclusionLabel, line);
            const std::string id = firstField(text, inclFile, line);
            if (!taken.insert(id).second)
                Error::fail("\n\n", "File '" + inclFile + "' with sample inclusions contains a duplicate '" + id +
                                        "' in line " + std::to_string(line) + "!");
            const auto found = known.find(Sample{0, id});
            if (found == known.end())
                Error::fail("\n\n", "File '" + inclFile + "' with sample inclusions contains a sample '" + id +
                                        "' in line " + std::to_string(line) + " that is missing from file '" +
                                        sourceFile + "'!");
            samples->emplace_back(found->index, id);
        }
    });
    checkReadToEnd(stream, inclFile);
    if (n != nSamples)
        Error::fail("\n\n", "File '" + inclFile + "' with sample inclusions contains " + std::to_string(n) +
                                " samples but file '" + masterFile + "' contains " + std::to_string(nSamples) +
                                " samples!");
    writeWhole(std::string(kInclusionLabel) + "done!\n");
}
