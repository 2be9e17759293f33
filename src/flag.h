// The command line: the flag map (which flags were given, with the argument after each), the
// typed option values, and the --rsids identifiers. Small value types that every component
// copies and keeps as its own; used from the driver thread only, read-only once parsed.
#pragma once

#include <boost/container/flat_set.hpp>

#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Flag key (the flag without dashes; --memory is "cpu-mem", --sample-miss is "miss") to the
// flag's 0-based position among the arguments and the argument after it ("" when last).
class FlagMap {
public:
    using Entry = std::pair<uint32_t, std::string>;

    // Adds the key; a key already present ends the run.
    void insert(const std::string& key, const Entry& entry);
    // The text recorded after the flag, or "" when the key is absent.
    std::string get(const std::string& key) const;
    bool has(const std::string& key) const { return map.count(key) != 0; }

    std::unordered_map<std::string, Entry> map;
};

// The --rsids identifiers: a set for membership, the list as given, and per listed identifier
// its 0-based SNP number in the dataset's Z file (-1 until found).
struct RsIDs {
    std::set<std::string> ids;
    std::vector<std::string> order;
    std::vector<int32_t> index;
};

class Flag {
public:
    struct Values {
        int32_t bdoseVersion = -1;  // -1 none, 0 BDOSE 1.0, 1 BDOSE 1.1
        uint8_t compression = 1;    // 0 low, 1 medium, 2 high, 3 ultra-low
        double cpuMem = 1.0;        // memory budget in gigabytes
        boost::container::flat_set<uint32_t> dataset;  // 1-based dataset numbers; empty = all
        double miss = 0.1;          // missing-data threshold
        uint32_t nThreads = 1;
        std::vector<uint32_t> range;  // one or two base-pair positions
        RsIDs rsids;
    };

    // Keeps the arguments after the program name (`arguments` includes it).
    void init(const std::vector<std::string>& arguments);
    // Records every flag, checks the combination rules, then converts the values.
    void parse();
    // The combination rules, in their fixed order.
    void checkFlags() const;
    // The SETTINGS block (long or short form, or nothing) on standard output.
    void print() const;
    // The table of command-line parameters on standard output.
    void help() const;

    uint32_t nArgs = 0;
    std::vector<std::string> args;
    FlagMap flags;
    Values values;

private:
    void setFlag(uint32_t n, const std::string& key);
    void setValues();
    void doesFileExist(const std::string& key) const;
    void setDataset(const std::string& key);
    void setCompression(const std::string& key, uint8_t& field);
    void setPositiveFloat(const std::string& key, double& field);
    void setFloat(const std::string& key, double& field);
    void setPositiveInteger(const std::string& key, uint32_t& field);
    void setRange();
    void setRSIDs();
    void setBdoseVersion(const std::string& key, int32_t& field);
};
