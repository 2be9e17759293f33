#include "masterfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "bdose.h"
#include "bdoseparser.h"
#include "bgenindexparser.h"
#include "bgenparser.h"
#include "binio.h"
#include "error.h"
#include "regionfiles.h"
#include "threads.h"

namespace {

// Opens `path` with the open(2) `flags` and closes it again. False when the open or the close
// fails, or when the path is a directory (which cannot serve as any of the dataset's files).
bool openAndClose(const std::string& path, int flags) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    struct stat status {};
    const bool usable = ::fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode);
    const bool closed = ::close(fd) == 0 || errno == EINTR;
    return usable && closed;
}

// Ends the run unless `path` opens with `flags`.
void requireOpen(const std::string& path, int flags) {
    if (!openAndClose(path, flags)) Error::fail("", "File '" + path + "' cannot be opened!");
}

// Ends the run unless the output `path`, which its writer fills with positional writes, opens
// for writing; creates it when it is not there, and empties nothing: only its own writer does
// that, so a run that fails before it leaves the file as it was.
void requireOutput(const std::string& path) {
    binio::FileDescriptor fd = binio::FileDescriptor::openPositional(path, O_WRONLY | O_CREAT);
    if (!fd.valid() || !fd.close()) Error::fail("", "File '" + path + "' cannot be opened!");
}

std::string valueOf(const std::map<std::string, std::string>& map, const std::string& column) {
    const auto found = map.find(column);
    return found == map.end() ? std::string() : found->second;
}

// The columns that can name a file the run reads or writes.
const char* const fileColumns[] = {"z", "bgen", "bgi", "bdose", "sample", "incl", "bcor", "ld"};

// The columns whose files the subprogram writes. The BDOSE file of --write-bdose is
// one even when the run reads it back afterwards.
std::vector<std::string> outputColumns(const FlagMap& flagMap) {
    std::vector<std::string> columns;
    if (flagMap.has("write-bcor") || flagMap.has("text-to-bcor")) columns.push_back("bcor");
    if (flagMap.has("write-text") || flagMap.has("bcor-to-text")) columns.push_back("ld");
    if (flagMap.has("write-bdose")) columns.push_back("bdose");
    return columns;
}

// A regular file's device and inode: a relative path, a symbolic link and a hard link to one
// file give the same identity.
using FileId = std::pair<dev_t, ino_t>;

// False when `path` is empty or names no regular file. Devices such as /dev/null, FIFOs and
// directories are not compared: several outputs may share a device, and an output that cannot
// be a directory is reported by its open.
bool identify(const std::string& path, FileId* id) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    *id = {status.st_dev, status.st_ino};
    return true;
}

// The file that writing to `path` creates, when nothing exists there yet: its resolved folder
// and name, after any dangling symbolic links at its end (writing through one creates its
// target). Empty when the folder does not resolve, since then nothing can be created there.
std::string futurePath(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path p = fs::absolute(path, error);
    if (error) return "";
    for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(p, error)); ++hop) {
        const fs::path target = fs::read_symlink(p, error);
        if (error) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    const fs::path folder = fs::canonical(p.parent_path(), error);
    if (error || !fs::is_directory(folder, error)) return "";
    return (folder / p.filename()).string();
}

// A key that two outputs share exactly when writing to them writes one regular file: device and
// inode of an existing regular file, else the file that writing would create. Empty for an
// output that is not compared: anything else that exists, and a path whose folder does not
// resolve (its open reports why).
std::string outputKey(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) return "";
        return "inode " + std::to_string(status.st_dev) + " " + std::to_string(status.st_ino);
    }
    const std::string future = futurePath(path);
    return future.empty() ? "" : "path " + future;
}

// The entry as a message names it: "output file 'P'" or "part file 'P' of BDOSE file 'B'".
std::string describe(const Masterfile::Output& output) {
    if (output.bdose.empty()) return "output file '" + output.path + "'";
    return "part file '" + output.path + "' of BDOSE file '" + output.bdose + "'";
}

std::string capitalised(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

void Masterfile::init(const FlagMap& flags, const Flag::Values& options) {
    flagMap = flags;
    values = options;
    filename = flagMap.get("in-files");
}

void Masterfile::parse() {
    const std::string path = flagMap.get("in-files");
    if (path.empty()) Error::fail("", "No filename is specified!");
    std::ifstream stream(path, std::ios::binary);
    if (!stream.is_open()) Error::fail("", "File '" + path + "' cannot be opened!");

    const bool selected = flagMap.has("dataset");
    uint64_t k = 0;
    guardTextRead(stream, path, [&] {
        Regionfiles regionfiles;
        for (std::string line; std::getline(stream, line); ++k) {
            if (k == 0) {
                setHeader(line);
                regionfiles.flagMap = flagMap;
                regionfiles.masterfileName = path;
                regionfiles.header = header;
                continue;
            }
            // Line k + 1 must be numbered in 32 bits.
            if (k >= UINT32_MAX)
                Error::fail("Master file '" + filename + "' contains more than 4,294,967,294 datasets!");
            const uint32_t number = static_cast<uint32_t>(k);
            if (selected && values.dataset.count(number) == 0) continue;
            nSamples = regionfiles.parse(number + 1, line);
            setFiles(number, regionfiles.files);
        }
    });
    if (stream.bad()) Error::fail("", "File '" + path + "' cannot be read!");

    numOfRegions = k == 0 ? 0 : static_cast<uint32_t>(k - 1);
    checkNumOfRegions(numOfRegions);
    checkReadWrite();
}

void Masterfile::setRegionFiles(const std::map<std::string, std::string>& map) {
    files.push_back(map);
    values.dataset.insert(0);
    checkOutputsAreNotInputs();
}

void Masterfile::print(uint32_t i) const {
    // Writes the label and the column's value, without a line end, when the dataset has the column.
    const auto row = [&](const char* column, const char* label) {
        if (!findDatasetFile(i, column)) return false;
        std::cout << label << files[i].at(column);
        return true;
    };
    const auto line = [&](const char* column, const char* label) {
        if (row(column, label)) std::cout << std::endl;
    };
    const char* const bdoseLabel = "- BDOSE file            : ";

    line("z", "- SNP file              : ");
    line("bgen", "- BGEN file             : ");
    line("bgi", "- BGEN BGI file         : ");
    if (flagMap.has("write-bdose") && row("bdose", bdoseLabel))
        std::cout << " (v1." << values.bdoseVersion << ")" << std::endl;
    if (flagMap.has("read-bdose") && row("bdose", bdoseLabel)) {
        // The line so far stays on standard output when the file's version cannot be read.
        std::cout << " (v1.";
        const char digit = Bdose::readVersion(files[i].at("bdose"));
        std::cout << digit << ")" << std::endl;
    }
    line("sample", "- Sample file           : ");
    line("incl", "- Sample inclusion file : ");
    line("bcor", "- BCOR file             : ");
    line("ld", flagMap.has("rsids") ? "- LD vector             : " : "- LD matrix             : ");
}

std::string Masterfile::getRegionFile(uint32_t i, const std::string& column) const {
    if (i >= files.size())
        Error::fail("Cannot request file with extension '" + column + "' for dataset #" + std::to_string(i) +
                    " because " + std::to_string(files.size()) + " dataset(s) in the master file '" + filename +
                    "' were parsed!");
    return valueOf(files[i], column);
}

bool Masterfile::findDatasetFile(uint32_t i, const std::string& column) const {
    if (i >= files.size())
        Error::fail("Cannot find file with extension '" + column + "' for dataset #" + std::to_string(i) +
                    " because " + std::to_string(files.size()) + " dataset(s) in the master file '" + filename +
                    "' were parsed!");
    return files[i].count(column) != 0;
}

void Masterfile::setHeader(const std::string& line) {
    const std::vector<std::string> words = splitFields(line, ';');
    if (words.size() > UINT32_MAX)
        Error::fail("Master file '" + filename + "' has more than 4,294,967,295 columns!");
    for (std::size_t j = 0; j < words.size(); ++j) header[words[j]] = static_cast<uint32_t>(j);
    for (const char* column : {"z", "bdose", "bgen", "bgi", "bcor", "sample", "ld", "n_samples"})
        isHeaderEntrySet(column, Regionfiles::isColumnRequired(flagMap, column));
}

void Masterfile::isHeaderEntrySet(const std::string& column, bool required) const {
    if (required && header.count(column) == 0)
        Error::fail("Master file '" + filename + "' is missing column '" + column + "'!");
}

void Masterfile::setFiles(uint32_t k, const std::map<std::string, std::string>& map) {
    if (flagMap.has("dataset")) {
        if (values.dataset.count(k) == 0) return;
    } else {
        values.dataset.insert(k);
    }
    files.push_back(map);
}

void Masterfile::checkNumOfRegions(uint32_t count) const {
    if (count == 0 || values.dataset.empty())
        Error::fail("Master file '" + filename + "' contains 0 datasets!");
    const uint32_t largest = *values.dataset.rbegin();
    if (largest > count)
        Error::fail("Requested dataset #" + std::to_string(largest) + " but there are " + std::to_string(count) +
                    " dataset(s) in the master file '" + filename + "'!");
}

void Masterfile::checkReadWrite() {
    checkOutputsAreNotInputs();
    checkOutputsAreDistinct();
    checkPartFiles();
    for (const auto& map : files) {
        if (map.count("bgi") != 0) checkBgi(map);
        for (const char* column : {"incl", "sample"})
            if (map.count(column) != 0) requireOpen(map.at(column), O_RDONLY);
        if (flagMap.has("write-bcor")) requireOutput(valueOf(map, "bcor"));
        if (flagMap.has("read-bdose")) checkBdoseRead(map);
        if (flagMap.has("write-bdose")) requireOutput(valueOf(map, "bdose"));
    }
}

void Masterfile::checkOutputsAreNotInputs() const {
    std::map<FileId, std::string> inputs;
    const auto addInput = [&](const std::string& path) {
        FileId id;
        if (identify(path, &id)) inputs.emplace(id, path);
    };
    if (flagMap.has("in-files")) addInput(filename);
    // --rsids names a file when it opens as one; otherwise it is a list of identifiers.
    const std::string rsids = flagMap.get("rsids");
    if (flagMap.has("rsids") && std::ifstream(rsids, std::ios::binary).is_open()) addInput(rsids);
    const std::vector<std::string> outputs = outputColumns(flagMap);
    const auto isOutput = [&](const std::string& column) {
        return std::find(outputs.begin(), outputs.end(), column) != outputs.end();
    };
    for (const auto& map : files)
        for (const char* column : fileColumns)
            if (!isOutput(column)) addInput(valueOf(map, column));

    for (const Output& output : outputFiles()) {
        FileId id;
        if (!identify(output.path, &id)) continue;
        const auto input = inputs.find(id);
        if (input != inputs.end())
            Error::fail("", capitalised(describe(output)) + " is the same file as input file '" + input->second + "'!");
    }
}

std::vector<Masterfile::Output> Masterfile::outputFiles() const {
    std::vector<Output> outputs;
    const std::vector<std::string> columns = outputColumns(flagMap);
    // The 1.1 writer makes one part file of each kind per thread, for at most this many threads.
    const bool parts = flagMap.has("write-bdose") && values.bdoseVersion == 1;
    const uint64_t threads = static_cast<uint64_t>(teamSize(values.nThreads, UINT64_MAX));
    for (const auto& map : files) {
        for (const std::string& column : columns) {
            const std::string path = valueOf(map, column);
            if (!path.empty()) outputs.push_back({path, ""});
        }
        if (parts && map.count("bdose") != 0)
            for (const std::string& part : Bdose::partFiles(map.at("bdose"), threads))
                outputs.push_back({part, map.at("bdose")});
    }
    return outputs;
}

void Masterfile::checkOutputsAreDistinct() const {
    std::map<std::string, Output> seen;
    for (const Output& output : outputFiles()) {
        const std::string key = outputKey(output.path);
        if (key.empty()) continue;
        const auto [earlier, added] = seen.emplace(key, output);
        if (!added)
            Error::fail("", capitalised(describe(output)) + " is the same file as " + describe(earlier->second) + "!");
    }
}

void Masterfile::checkPartFiles() const {
    for (const Output& output : outputFiles()) {
        struct stat status {};
        if (output.bdose.empty() || ::lstat(output.path.c_str(), &status) != 0) continue;
        if (S_ISLNK(status.st_mode)) Error::fail("", Bdose::partFileLinkMessage(output.path, output.bdose));
        if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))
            Error::fail("", "File '" + output.path + "' cannot be opened!");
    }
}

void Masterfile::checkBgi(const std::map<std::string, std::string>& map) const {
    BgenParser bgen;
    bgen.bgenFile = valueOf(map, "bgen");
    bgen.initBgen();
    const std::string bgi = valueOf(map, "bgi");
    BgenIndexParser::MetaData recorded;
    BgenIndexParser(bgi, &recorded);
    const uint64_t size = bgen.context.file_size;
    if (recorded.file_size < 0 || uint64_t(recorded.file_size) != size)
        Error::fail("Size of BGEN file '" + bgen.bgenFile + "' (" +
                    convertByteToHumanReadableCount(static_cast<double>(size)) +
                    ") is different from the BGEN file size recorded in file '" + bgi + "' (" +
                    convertByteToHumanReadableCount(static_cast<double>(recorded.file_size)) + ")!");
    const std::vector<uint8_t> first = bgen.readFirstBytes(static_cast<int64_t>(std::min<uint64_t>(size, 1000)));
    if (first != recorded.first_1000_bytes)
        Error::fail("Initial bytes of BGEN file '" + bgen.bgenFile +
                    "' are different from initial bytes of the BGEN file recorded in file '" + bgi + "'!");
}

void Masterfile::checkBdoseRead(const std::map<std::string, std::string>& map) const {
    const std::string path = valueOf(map, "bdose");
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = stream.is_open() ? static_cast<std::streamoff>(stream.tellg()) : -1;
    std::error_code error;
    if (size < 0 || std::filesystem::is_directory(path, error))
        Error::fail("", "File '" + path + "' cannot be opened!");
    stream.seekg(0);
    // Every probe checks its bytes against the file, so a file too short for a header (8 bytes
    // or fewer among them) ends the run with the probe's message before any size is compared.
    const BdoseParser parser(path);
    uint64_t recorded = 0;
    guardMemory(path, [&] {
        parser.readMagicNumber(stream);
        parser.readFilename(stream);
        const uint64_t bgenSize = parser.readFileSize(stream);
        parser.readFirstBytes(stream, static_cast<int64_t>(std::min<uint64_t>(bgenSize, 1000)));
        recorded = parser.readFileSize(stream);
    });
    const uint64_t actual = static_cast<uint64_t>(size);
    if (recorded != actual)
        Error::fail("Recorded size of BDOSE file '" + path + "' (" +
                    convertByteToHumanReadableCount(static_cast<double>(recorded)) +
                    ") is different from the actual filesize (" +
                    convertByteToHumanReadableCount(static_cast<double>(actual)) + ")!");
}
