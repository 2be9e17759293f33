// One dataset of the master file: the value of every column (file names and the sample
// count) for one data line, with the field checks and the column rules of the subprogram.
// A plain value type, copied by every component that needs a dataset's files; driver thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "flag.h"

class Regionfiles {
public:
    // Whether the subprogram chosen on the command line needs the column, both in the header
    // of the master file and in every selected data line. Unknown columns are never required.
    static bool isColumnRequired(const FlagMap& flagMap, const std::string& column);

    // Splits data line `n` (1-based, for messages) at ";", checks every field, applies the
    // column rules and the sample-count check. Returns the sample count (0 when none).
    // Before the first call, `flagMap`, `masterfileName` and `header` must be filled.
    uint32_t parse(uint32_t n, const std::string& text);
    // The column's value; a column without entry ends the run.
    std::string get(const std::string& column) const;
    // Required: the column must have an entry; not required: its entry is removed.
    void isSet(const std::string& column, bool required);
    // Stores a file field after checking that its extension is the header word at 0-based
    // position `j`.
    void setFilename(uint32_t j, const std::string& column, const std::string& field);
    // Stores the n_samples field, unchanged, after checking that it is a positive whole number
    // no greater than 4,294,967,295.
    void setPosIntColumn(const std::string& column, const std::string& field);
    // The column rules of the subprogram, then the sample-count check.
    void checkFilenamesSet();
    // Sample-count checks against the BGEN or BDOSE file; may remove `sample` and `incl`.
    void checkBgen();
    void checkBdose();
    // The sample-count check against `path`, a `format` file of `b` samples, for `n` samples in
    // n_samples: more than the file holds ends the run; fewer need sample and incl entries
    // (`because` joins the column name to the reason in that message). True when fewer.
    bool usesFewerSamples(const std::string& path, const char* format, uint32_t n, uint32_t b,
                          const char* because) const;

    FlagMap flagMap;
    uint32_t lineNumber = 0;
    std::string line;
    std::string masterfileName;
    std::map<std::string, uint32_t> header;
    std::map<std::string, std::string> files;
};
