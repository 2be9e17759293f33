#include "regionfiles.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "bdoseparser.h"
#include "bgenparser.h"
#include "error.h"

namespace {

bool isVersion11(const FlagMap& flagMap) {
    return flagMap.has("bdose-version") && flagMap.get("bdose-version") == "1.1";
}

// The header word at each 0-based position; "" where no word keeps that position.
std::vector<std::string> wordsByPosition(const std::map<std::string, uint32_t>& header) {
    std::vector<std::string> words;
    for (const auto& [word, position] : header) {
        if (position >= words.size()) words.resize(uint64_t{position} + 1);
        words[position] = word;
    }
    return words;
}

}  // namespace

bool Regionfiles::isColumnRequired(const FlagMap& flagMap, const std::string& column) {
    const bool writeBcor = flagMap.has("write-bcor");
    const bool writeText = flagMap.has("write-text");
    const bool writeBdose = flagMap.has("write-bdose");
    const bool readBdose = flagMap.has("read-bdose");
    const bool bcorToText = flagMap.has("bcor-to-text");
    const bool textToBcor = flagMap.has("text-to-bcor");
    const bool snpList = textToBcor || writeBcor || writeText || (writeBdose && isVersion11(flagMap));
    if (column == "z" || column == "n_samples") return snpList;
    if (column == "bdose") return readBdose || writeBdose;
    if (column == "bgen" || column == "bgi") return (writeBcor || writeText || writeBdose) && !readBdose;
    if (column == "bcor") return writeBcor || bcorToText || textToBcor;
    if (column == "ld") return writeText || bcorToText || textToBcor;
    if (column == "sample") return writeBdose && isVersion11(flagMap);
    return false;
}

uint32_t Regionfiles::parse(uint32_t n, const std::string& text) {
    files.clear();
    lineNumber = n;
    line = text;
    const std::vector<std::string> words = wordsByPosition(header);
    const std::vector<std::string> fields = splitFields(line, ';');
    for (std::size_t j = 0; j < fields.size(); ++j) {
        if (j >= words.size() || words[j].empty())
            Error::fail("Master file '" + masterfileName + "' includes more entries in line " +
                        std::to_string(lineNumber) + " than there are entries in the header!");
        const std::string& column = words[j];
        if (column == "n_samples")
            setPosIntColumn(column, fields[j]);
        else if (!fields[j].empty())
            setFilename(static_cast<uint32_t>(j), column, fields[j]);
    }
    checkFilenamesSet();
    // Validated when stored, so the conversion stays within 32 bits; "" (column removed) gives 0.
    const std::string& count = files["n_samples"];
    return static_cast<uint32_t>(std::strtod(count.c_str(), nullptr));
}

std::string Regionfiles::get(const std::string& column) const {
    const auto found = files.find(column);
    if (found == files.end()) Error::fail("Cannot find file with extension '" + column + "'!");
    return found->second;
}

void Regionfiles::isSet(const std::string& column, bool required) {
    if (!required) {
        files.erase(column);
    } else if (files.count(column) == 0) {
        Error::fail("Master file '" + masterfileName + "' is missing an entry in line " +
                    std::to_string(lineNumber) + " column '" + column + "'!");
    }
}

void Regionfiles::setFilename(uint32_t j, const std::string& column, const std::string& field) {
    const std::size_t dot = field.rfind('.');
    const std::string extension = dot == std::string::npos ? field : field.substr(dot + 1);
    const auto found = header.find(extension);
    const std::string where = " in line " + std::to_string(lineNumber);
    if (found == header.end())
        Error::fail("Extension '" + extension + "' of file '" + field + "'" + where +
                    " cannot be found in the header of the master file '" + masterfileName + "'!");
    if (found->second != j)
        Error::fail("File '" + field + "'" + where + " with extension '" + extension + "' is in column '" + column +
                    "' of the master file '" + masterfileName + "'!");
    files[column] = field;
}

void Regionfiles::setPosIntColumn(const std::string& column, const std::string& field) {
    const std::string message = "Expected a positive integer value in line " + std::to_string(lineNumber) +
                                " column '" + column + "' of the master file '" + masterfileName;
    double value = 0;
    if (!parseWholeDouble(field, &value) || !(value > 0) || value != std::ceil(value)) Error::fail(message + "'!");
    if (value > 4294967295.0) Error::fail(message + " smaller than or equal to 4,294,967,295!");
    files[column] = field;
}

void Regionfiles::checkFilenamesSet() {
    for (const char* column : {"z", "bdose", "bgen", "bgi", "bcor", "ld", "n_samples"})
        isSet(column, isColumnRequired(flagMap, column));
    const bool writeBdose = flagMap.has("write-bdose");
    if (writeBdose && isVersion11(flagMap)) isSet("sample", true);
    if (flagMap.has("bcor-to-text") || flagMap.has("text-to-bcor")) {
        files.erase("sample");
        files.erase("incl");
    }
    const bool engine = flagMap.has("write-bcor") || flagMap.has("write-text");
    const bool bgenCheck =
        engine ? flagMap.has("read-only-bgen") || writeBdose : writeBdose && isVersion11(flagMap);
    if (bgenCheck)
        checkBgen();
    else if (engine && flagMap.has("read-bdose"))
        checkBdose();
}

bool Regionfiles::usesFewerSamples(const std::string& path, const char* format, uint32_t n, uint32_t b,
                                   const char* because) const {
    if (b < n)
        Error::fail("File '" + path + "' contains " + std::to_string(b) + " samples but " + std::to_string(n) +
                    " samples are specified in the master file '" + masterfileName + "'!");
    if (n == b) return false;
    for (const char* column : {"sample", "incl"})
        if (files.count(column) == 0)
            Error::fail("Master file '" + masterfileName + "' is missing an entry in line " +
                        std::to_string(lineNumber) + " column '" + column + because + files.at("n_samples") +
                        " samples are specified in the master file but " + format + " file includes " +
                        std::to_string(b) + " samples!");
    return true;
}

void Regionfiles::checkBgen() {
    BgenParser bgen;
    bgen.bgenFile = files["bgen"];
    bgen.initBgen();
    const uint32_t n = stringToPosInt(files["n_samples"], masterfileName, lineNumber);
    if (usesFewerSamples(bgen.bgenFile, "BGEN", n, bgen.context.number_of_samples, "', because ")) return;
    if (!isVersion11(flagMap)) files.erase("sample");
    files.erase("incl");
}

void Regionfiles::checkBdose() {
    const uint32_t n = stringToPosInt(files["n_samples"], masterfileName, lineNumber);
    const std::string& path = files["bdose"];
    if (path.empty()) Error::fail("", "No filename is specified!");
    std::ifstream stream(path, std::ios::binary);
    std::error_code error;
    if (!stream.is_open() || std::filesystem::is_directory(path, error))
        Error::fail("", "File '" + path + "' cannot be opened!");
    uint32_t b = 0;
    guardMemory(path, [&] { b = BdoseParser(path).readNumSamples(stream, path); });
    if (usesFewerSamples(path, "BDOSE", n, b, "' because ")) return;
    files.erase("sample");
    files.erase("incl");
}
