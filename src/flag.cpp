#include "flag.h"

#include <sys/stat.h>

#include <cmath>
#include <ios>
#include <new>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "error.h"

void FlagMap::insert(const std::string& key, const Entry& entry) {
    if (!map.emplace(key, entry).second) {
        if (!entry.second.empty())
            Error::fail("Command-line flag '" + key + "' with value '" + entry.second + "' has already been set!");
        Error::fail("Command-line flag '" + key + "' has already been set!");
    }
}

std::string FlagMap::get(const std::string& key) const {
    const auto found = map.find(key);
    return found == map.end() ? std::string() : found->second.second;
}

namespace {

constexpr double maxU32 = 4294967295.0;

// Every argument the program recognises, with the key it is recorded under.
const struct {
    const char* argument;
    const char* key;
} flagTable[] = {
    {"-h", "help"},
    {"-help", "help"},
    {"--help", "help"},
    {"--bcor-file", "bcor-file"},
    {"--bcor-to-text", "bcor-to-text"},
    {"--bdose-version", "bdose-version"},
    {"--compression", "compression"},
    {"--dataset", "dataset"},
    {"--in-files", "in-files"},
    {"--ld-file", "ld-file"},
    {"--memory", "cpu-mem"},
    {"--n-threads", "n-threads"},
    {"--range", "range"},
    {"--read-bdose", "read-bdose"},
    {"--read-only-bgen", "read-only-bgen"},
    {"--rsids", "rsids"},
    {"--sample-miss", "miss"},
    {"--text-to-bcor", "text-to-bcor"},
    {"--write-bcor", "write-bcor"},
    {"--write-bdose", "write-bdose"},
    {"--write-text", "write-text"},
};

enum class Whole { invalid, tooLarge, ok };

// A positive whole number from the whole text (strtod forms allowed). The double is compared
// with the 32-bit range before it is converted, so inf and huge values are safe.
Whole parsePositiveWhole(const std::string& text, uint32_t* value) {
    double parsed = 0;
    if (!parseWholeDouble(text, &parsed) || !(parsed > 0) || parsed != std::ceil(parsed)) return Whole::invalid;
    if (parsed > maxU32) return Whole::tooLarge;
    *value = static_cast<uint32_t>(parsed);
    return Whole::ok;
}

// A token of decimal digits of any length; values beyond 32 bits saturate above the range.
uint64_t parseDigits(const std::string& token) {
    uint64_t value = 0;
    for (const char c : token) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > static_cast<uint64_t>(maxU32)) return value;
    }
    return value;
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

std::string datasetList(const boost::container::flat_set<uint32_t>& dataset) {
    std::string list;
    for (const uint32_t number : dataset) list += std::to_string(number) + " ";
    return list;
}

const char* compressionWord(uint8_t code) {
    if (code == 2) return "high";
    if (code > 2) return "ultra-low";
    if (code == 1) return "medium";
    return "low";
}

}  // namespace

void Flag::init(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) Error::fail("No flags detected!");
    args.assign(arguments.begin() + 1, arguments.end());
    nArgs = static_cast<uint32_t>(args.size());
}

void Flag::parse() {
    for (uint32_t n = 0; n < nArgs; ++n) {
        const std::string& argument = args[n];
        bool known = false;
        for (const auto& entry : flagTable) {
            if (argument == entry.argument) {
                setFlag(n, entry.key);
                known = true;
                break;
            }
        }
        if (!known && argument.compare(0, 2, "--") == 0) Error::fail("Cannot recognize flag '" + argument + "'!");
    }
    checkFlags();
    setValues();
}

void Flag::setFlag(uint32_t n, const std::string& key) {
    const std::string following = n + 1 < nArgs ? args[n + 1] : std::string();
    flags.insert(key, {n, following});
}

void Flag::setValues() {
    if (flags.has("help")) return;
    if (flags.has("in-files")) doesFileExist("in-files");
    if (flags.has("dataset")) setDataset("dataset");
    if (flags.has("compression")) setCompression("compression", values.compression);
    if (flags.has("cpu-mem")) setPositiveFloat("cpu-mem", values.cpuMem);
    if (flags.has("miss")) setFloat("miss", values.miss);
    if (flags.has("n-threads")) setPositiveInteger("n-threads", values.nThreads);
    if (flags.has("range")) setRange();
    if (flags.has("rsids")) setRSIDs();
    if (flags.has("write-bdose")) {
        if (flags.has("bdose-version"))
            setBdoseVersion("bdose-version", values.bdoseVersion);
        else
            values.bdoseVersion = 0;
    }
}

void Flag::doesFileExist(const std::string& key) const {
    const std::string path = flags.get(key);
    if (isDirectory(path) || path.empty()) Error::fail("'--" + key + "' must be followed by a filename!");
    std::ifstream file(path);
    if (!file.is_open()) Error::fail("File '" + path + "' cannot be opened!");
}

void Flag::setDataset(const std::string& key) {
    const std::string malformed =
        "'--" + key + "' must be followed by delimiter-separated positive integer values for instance by ',' or '/'!";
    std::string text = flags.get(key);
    if (text.empty()) Error::fail(malformed);
    for (char& c : text)
        if (c < '0' || c > '9') c = ' ';
    for (const std::string& token : splitFields(text, ' ')) {
        const uint64_t number = token.empty() ? 0 : parseDigits(token);
        if (number == 0) Error::fail(malformed);
        if (number > static_cast<uint64_t>(maxU32))
            Error::fail("'--" + key +
                        "' must be followed by a positive integer values smaller than or equal to 4,294,967,295!");
        if (!values.dataset.insert(static_cast<uint32_t>(number)).second)
            Error::fail("'--" + key + "' contains a duplicated entry!");
    }
}

void Flag::setCompression(const std::string& key, uint8_t& field) {
    static const struct {
        const char* word;
        uint8_t code;
    } words[] = {{"ultra-low", 3}, {"low", 0}, {"medium", 1}, {"high", 2}};
    const std::string text = flags.get(key);
    if (text.empty()) Error::fail("'--" + key + "' must be followed by a positive integer value!");
    for (const auto& w : words) {
        if (text == w.word) {
            field = w.code;
            return;
        }
    }
    Error::fail("'--" + key + "' must be followed by 'low', 'medium' or 'high'!");
}

void Flag::setPositiveFloat(const std::string& key, double& field) {
    double value = 0;
    if (!parseWholeDouble(flags.get(key), &value) || !(value > 0))
        Error::fail("'--" + key + "' must be followed by a positive float value!");
    field = value;
}

void Flag::setFloat(const std::string& key, double& field) {
    double value = 0;
    if (!parseWholeDouble(flags.get(key), &value) || !(value > 0 && value < 1))
        Error::fail("'--" + key + "' must be followed by a floating point value between 0.0 and 1.0!");
    field = value;
}

void Flag::setPositiveInteger(const std::string& key, uint32_t& field) {
    const std::string message = "'--" + key + "' must be followed by a positive integer value";
    switch (parsePositiveWhole(flags.get(key), &field)) {
        case Whole::invalid:
            Error::fail(message + "!");
        case Whole::tooLarge:
            Error::fail(message + " smaller than or equal to 4,294,967,295!");
        case Whole::ok:
            break;
    }
}

void Flag::setRange() {
    const std::string message = "'--range' must be followed by two dash-separated ";
    const std::string text = flags.get("range");
    if (text.empty()) Error::fail(message + "positive integer values!");
    for (const std::string& token : splitFields(text, '-')) {
        uint32_t position = 0;
        switch (parsePositiveWhole(token, &position)) {
            case Whole::invalid:
                Error::fail(message + "positive integer values!");
            case Whole::tooLarge:
                Error::fail(message + "positive integer values smaller than or equal to 4,294,967,295!");
            case Whole::ok:
                values.range.push_back(position);
                break;
        }
    }
    if (values.range.size() > 2) Error::fail(message + "values positive integer values!");
    if (values.range.back() < values.range.front())
        Error::fail(message + "values xx-yy where xx is smaller than yy!");
}

void Flag::setRSIDs() {
    const std::string text = flags.get("rsids");
    // A directory opens like a file but cannot be read as one.
    if (text.empty() || isDirectory(text))
        Error::fail("'--rsids' must be followed by comma-separated values or a filename!");
    try {
        std::vector<std::string> identifiers;
        std::ifstream file(text, std::ios::binary);
        if (file.is_open()) {
            const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            identifiers = splitFields(content, '\n');
            if (identifiers.empty()) Error::fail("File '" + text + "' is empty!");
        } else {
            identifiers = splitFields(text, ',');
        }
        for (const std::string& id : identifiers) {
            if (!values.rsids.ids.insert(id).second) Error::fail("'--rsids' contains a duplicated entry!");
            values.rsids.order.push_back(id);
            values.rsids.index.push_back(-1);
        }
    } catch (const std::bad_alloc&) {
        Error::fail("Not enough memory to read the identifiers in '" + text + "'!");
    } catch (const std::ios_base::failure&) {
        Error::fail("File '" + text + "' cannot be read!");
    }
}

void Flag::setBdoseVersion(const std::string& key, int32_t& field) {
    const std::string text = flags.get(key);
    if (text.empty()) Error::fail("'--" + key + "' must be followed by a positive integer value!");
    if (text == "1.0")
        field = 0;
    else if (text == "1.1")
        field = 1;
    else
        Error::fail("'--" + key + "' must be followed by a positive floating point value 1.0 or 1.1!");
    const bool correlations = flags.has("write-bcor") || flags.has("write-text");
    if (!correlations && flags.has("write-bdose") && field == 0)
        Error::fail("'--bdose-version' must be followed by a positive floating point value 1.1!");
    if (correlations && flags.has("write-bdose") && flags.has("compression") && field == 0)
        Error::fail("'--bdose-version 1.0' cannot be used together with '--compression'");
}

void Flag::checkFlags() const {
    const bool help = flags.has("help");
    const bool wbc = flags.has("write-bcor");
    const bool wbd = flags.has("write-bdose");
    const bool wt = flags.has("write-text");
    const bool b2t = flags.has("bcor-to-text");
    const bool t2b = flags.has("text-to-bcor");
    const bool any = wbc || wbd || wt || b2t || t2b;
    const bool readBdose = flags.has("read-bdose");
    const bool source = readBdose || flags.has("read-only-bgen") || wbd;
    const bool version = flags.has("bdose-version");
    const bool mem = flags.has("cpu-mem");
    const bool inFiles = flags.has("in-files");
    const bool bcorFile = flags.has("bcor-file");
    const bool ldFile = flags.has("ld-file");
    const bool dataset = flags.has("dataset");

    // In their fixed order; the first rule that holds ends the run.
    const struct {
        bool fails;
        const char* message;
    } rules[] = {
        {!help && !any,
         "'--bcor-to-text', '--text-to-bcor', '--write-bcor', '--write-bdose' or '--write-text' must be used!"},
        {wbc && wt, "'--write-bcor' and '--write-text' cannot be used together!"},
        {wbc && b2t, "'--write-bcor' and '--bcor-to-text' cannot be used together!"},
        {wbc && t2b, "'--write-bcor' and '--text-to-bcor' cannot be used together!"},
        {wbd && b2t, "'--write-bdose' and '--bcor-to-text' cannot be used together!"},
        {wbd && t2b, "'--write-bdose' and '--text-to-bcor' cannot be used together!"},
        {wt && b2t, "'--write-text' and '--bcor-to-text' cannot be used together!"},
        {wt && t2b, "'--write-text' and '--text-to-bcor' cannot be used together!"},
        {b2t && t2b, "'--bcor-to-text' and '--text-to-bcor' cannot be used together!"},
        {wbc && !source,
         "'--write-bcor' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {wt && !source,
         "'--write-text' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {dataset && !any,
         "'--dataset' must be used together with '--bcor-to-text', '--text-to-bcor', --write-bcor', "
         "'--write-bdose' or '--write-text'!"},
        {inFiles && !any,
         "'--in-files' must be used together with '--text-to-bcor', --write-bcor', '--write-bdose' or "
         "'--write-text'!"},
        {version && !readBdose && !wbd,
         "'--bdose-version' must be used together with either '--read-bdose' or '--write-bdose!"},
        {wbd && !wbc && !wt && !version,
         "'--bdose-version' must be followed by a positive floating point value 1.1 when using '--write-bdose' by "
         "itself!"},
        {mem && (wbc || wt) && !readBdose && !wbd,
         "'--cpu-mem' must be used with either '--read-bdose' or '--write-bdose!"},
        {readBdose && version, "'--read-bdose' and '--bdose-version' cannot be used together!"},
        {flags.has("miss") && !wbc && !wt,
         "'--sample-miss' must be used together with either '--write-bcor' or '--write-text'!"},
        {flags.has("n-threads") && !wbc && !wbd && !wt,
         "'--n-threads' must be used together with either '--write-bcor', '--write-bdose' or '--write-text'!"},
        {readBdose && !wbc && !wt,
         "'--read-bdose' must be used together with either '--write-bcor' or '--write-text'!"},
        {readBdose && wbd && (wbc || wt), "'--read-bdose' cannot be used together with '--write-bdose'!"},
        {b2t && !inFiles && !bcorFile && !ldFile,
         "'--in-files' or '--bcor-file' and '--ld-file' must be used together with '--bcor-to-text'!"},
        {b2t && inFiles && bcorFile, "'--in-files' and '--bcor-file' cannot be used together with '--bcor-to-text'!"},
        {b2t && inFiles && ldFile, "'--in-files' and '--ld-file' cannot be used together with '--bcor-to-text'!"},
        {b2t && ldFile && !bcorFile, "'--bcor-file' must be used together with '--ld-file'!"},
        {b2t && bcorFile && !ldFile, "'--ld-file' must be used together with '--bcor-file'!"},
        {bcorFile && !b2t, "'--bcor-file' must be used together with '--bcor-to-text'!"},
        {ldFile && !b2t, "'--ld-file' must be used together with '--bcor-to-text'!"},
        {b2t && bcorFile && ldFile && dataset, "'--dataset' must be used together '--in-files' and '--bcor-to-text'!"},
        {flags.has("range") && !b2t, "'--range' must be used together with '--bcor-to-text'!"},
        {flags.has("compression") && !wbc && !wbd,
         "'--compression' must be used together with either '--write-bcor' or '--write-bdose!"},
        {mem && !wbc && !wt && !readBdose && !wbd,
         "'--memory' must be used together with either '--write-bcor' or '--write-text!"},
        {flags.has("rsids") && !b2t && !wt, "'--rsids' must be used together with '--bcor-to-text' or '--write-text'!"},
        // The reader cannot select a range and chosen SNPs at once.
        {flags.has("range") && flags.has("rsids"), "'--range' and '--rsids' cannot be used together!"},
        // Without a master file these subprograms would have no dataset and do nothing.
        {!help && !inFiles && !b2t && (wbc || wbd || wt || t2b),
         "'--write-bcor', '--write-bdose', '--write-text' and '--text-to-bcor' must be used together with "
         "'--in-files'!"},
    };
    for (const auto& rule : rules)
        if (rule.fails) Error::fail(rule.message);
}

void Flag::print() const {
    std::ostringstream out;
    const bool longForm = flags.has("write-bcor") || flags.has("write-bdose") || flags.has("write-text");
    if (!longForm && !flags.has("bcor-to-text")) return;
    out << "--------\nSETTINGS\n--------\n";
    const std::size_t width = longForm ? 14 : 8;
    const auto line = [&](const std::string& name, const std::string& value) {
        out << "- " << padded(name, width) << ": " << value << "\n";
    };
    line("dataset", flags.has("dataset") ? datasetList(values.dataset) : "all");
    if (longForm) {
        if (values.bdoseVersion != -1) line("bdose-version", "1." + std::to_string(values.bdoseVersion));
        line("compression", compressionWord(values.compression));
        if (flags.has("cpu-mem")) line("memory", convertByteToHumanReadableCount(1000000000.0 * values.cpuMem));
        line("n-threads", std::to_string(values.nThreads));
        if (flags.has("rsids")) line("rsids", setToString(values.rsids.order, ","));
        std::ostringstream miss;
        miss << values.miss;
        line("sample-miss", miss.str());
    } else {
        if (flags.has("range"))
            line("range", std::to_string(values.range.front()) + "-" + std::to_string(values.range.back()));
        if (flags.has("rsids")) line("rsids", setToString(values.rsids.order, ","));
    }
    out << "\n";
    std::cout << out.str() << std::flush;
}

void Flag::help() const {
    // Option, description and note of each row; empty texts print as blanks.
    static const char* const rows[][3] = {
        {"--bcor-file", "Option to specify a BCOR file", "With --bcor-to-text"},
        {"--bcor-to-text", "Convert BCOR file to a text file", "Subprogram"},
        {"--bdose-version", "Option to set the BDOSE file version", "With --write-bdose"},
        {"--compression", "Option to specify the compression level (see below) of a", "Default is medium"},
        {"", "BDOSE/BCOR file as 'ultra-low' (1 byte), 'low' (2 bytes),", "With --write-bcor and"},
        {"", "'medium' (4 bytes) or 'high' (8 bytes)", "--write-bdose"},
        {"--dataset", "Option to specify a delimiter-separated list of datasets", "All by default"},
        {"", "as given in the master file (e.g. 1,2 or 1|2)", ""},
        {"--in-files", "Option to specify a semicolon separated master file.", "With --bcor-to-text,"},
        {"", "Each line is a dataset with file extensions corresponding", "--write-bcor, --write-bdose"},
        {"", "with column names. The column 'n_samples' represents the", " and --write-text"},
        {"", "number of samples to use for computation", ""},
        {"--ld-file", "Option to specify a LD file", "With --bcor-to-text"},
        {"--memory", "Option to limit the amount of memory in gigabyte that", "Default is 1Gb."},
        {"", "can be used during computation of SNP correlations", "With --read-bdose or"},
        {"", "", "--write-bdose when using"},
        {"", "", "either --write-bcor or"},
        {"", "", "--write-text"},
        {"--n-threads", "Option to specify the number of parallel threads", "Default is 1"},
        {"", "", "With --write-bcor,"},
        {"", "", "--write-bdose or --write-text"},
        {"--range", "Option to specify a genomic range xx-yy to operate on", "With --bcor-to-text"},
        {"", "when converting a BCOR file to a LD file where xx and yy", ""},
        {"", "are the start and end coordinates in base pairs", ""},
        {"--read-bdose", "Read dosage data from a BDOSE file", "With --write-bcor or"},
        {"", "", "--write-text"},
        {"--read-only-bgen", "Read genotype probabilities from a BGEN file and store", "With --write-bcor or"},
        {"", "dosage data in memory", "--write-text"},
        {"--rsids", "Option to specify a comma-separated list of SNP identi-", "With --bcor-to-text or"},
        {"", "fiers corresponding with the 'rsid' column in Z files as", "--write-text"},
        {"", "specified in column 'z' in the master file", ""},
        {"--sample-miss", "Option to set a missing data threshold between 0 and 1.", "Default is 0.1"},
        {"", "If the missing data rate for a SNP is above the specified", "With --write-bcor or"},
        {"", "threshold, then the correlation of any SNP pair that", "--write-text"},
        {"", "includes this SNP is set to NA. If the missing data rate", ""},
        {"", "for a SNP is below the specified threshold, then missing", ""},
        {"", "data is mean-imputed", ""},
        {"--write-bcor", "Write SNP correlations to a BCOR file", "Subprogram"},
        {"--write-bdose", "Write dosage data to a BDOSE file", "Subprogram and with"},
        {"", "", "--write-bcor or --write-text"},
        {"--write-text", "Write SNP correlations to a text file", "Subprogram"},
    };
    std::ostringstream out;
    out << "-----------------------\nCOMMAND-LINE PARAMETERS\n-----------------------\n\n";
    for (const auto& row : rows) out << padded(row[0], 20) << padded(row[1], 58) << row[2] << "\n";
    out << "\n";
    std::cout << out.str() << std::flush;
}
