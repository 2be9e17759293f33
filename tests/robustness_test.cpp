// Malformed input files through the real binary: small valid fixtures of every input kind (BGEN
// file and its .bgi index, BCOR, BDOSE 1.0 and 1.1, LD text, Z, sample, inclusion and master
// files) are mutated with a fixed-seed generator — a flipped bit, a byte set to 0x00 or 0xFF, a
// cut, an inserted or deleted byte, a 4- or 8-byte field overwritten with 0, all ones or a huge
// value, and for the index changed column values — and each mutant must end with exit status 0
// and well-formed output, or exit status 1 and exactly one error report: no signal, no
// sanitizer report, no hang (a time limit kills it), no allocation failure (in the Release
// build the run has an address-space limit). Structure-aware mutants — a field that locates or
// identifies data set to a value a reader could take for a valid one — must all be rejected.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "error.h"
#include "support/bcorfile.h"
#include "support/bdosefile.h"
#include "support/bgiwriter.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

using Args = std::vector<std::string>;
using Columns = std::map<std::string, std::string>;

#ifdef __SANITIZE_ADDRESS__
// The sanitizer build is several times slower and needs unlimited address space.
constexpr unsigned kMutantDivisor = 4;
const char* const kRunner = "exec timeout -s KILL 60 \"$@\"";
#else
constexpr unsigned kMutantDivisor = 1;
const char* const kRunner = "ulimit -v 2000000 && OPENBLAS_NUM_THREADS=1 exec timeout -s KILL 20 \"$@\"";
#endif

unsigned mutants(unsigned releaseCount) { return std::max(1u, releaseCount / kMutantDivisor); }

// The binary under a time limit (and, in Release, an address-space limit).
ProcessResult runGuarded(const Args& args, const std::string& workdir) {
    Args shellArgs{"-c", kRunner, "sh", TESMARO_BINARY};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return runProcess("/bin/sh", shellArgs, workdir);
}

std::size_t count(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// A fixed-seed source of mutations; the same seed gives the same mutants everywhere.
class Mutator {
public:
    explicit Mutator(uint64_t seed) : rng_(seed) {}

    uint64_t below(uint64_t n) { return n == 0 ? 0 : rng_() % n; }

    // A position, half of the time within the first 256 bytes where the headers lie.
    std::size_t position(std::size_t size) {
        return below(2) == 0 ? below(std::min<std::size_t>(size, 256)) : below(size);
    }

    // Applies one random byte-level mutation to `bytes`; returns its description.
    std::string mutate(std::string& bytes) {
        if (bytes.empty()) {
            bytes.push_back(static_cast<char>(below(256)));
            return "insert into an empty file";
        }
        const std::size_t at = position(bytes.size());
        std::ostringstream what;
        switch (below(8)) {
            case 0: {
                const unsigned bit = static_cast<unsigned>(below(8));
                bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
                what << "flip bit " << bit << " at " << at;
                break;
            }
            case 1:
                bytes[at] = '\0';
                what << "0x00 at " << at;
                break;
            case 2:
                bytes[at] = '\xFF';
                what << "0xFF at " << at;
                break;
            case 3:
                bytes.resize(below(bytes.size()));
                what << "cut to " << bytes.size();
                break;
            case 4:
                bytes.insert(at, 1, static_cast<char>(below(256)));
                what << "insert at " << at;
                break;
            case 5:
                bytes.erase(at, 1);
                what << "delete at " << at;
                break;
            default: {
                const unsigned width = below(2) == 0 ? 4 : 8;
                const uint64_t values[] = {0, 0xFFFFFFFFu, width == 4 ? 0x7FFFFFFFu : uint64_t{1} << 62,
                                           ~uint64_t{0}};
                const uint64_t value = values[below(4)];
                const std::size_t field = std::min(at, bytes.size() - std::min<std::size_t>(bytes.size(), width));
                const unsigned fits = static_cast<unsigned>(std::min<std::size_t>(width, bytes.size() - field));
                putLE(bytes, field, fits == 8 ? value : value & ((uint64_t{1} << (8 * fits)) - 1), fits);
                what << width << "-byte field " << value << " at " << field;
            }
        }
        return what.str();
    }

private:
    std::mt19937_64 rng_;
};

// One mutant's run must end cleanly; `wellFormed` checks the output of a run that exits 0 and
// returns "" or what is wrong with it.
void expectCleanEnd(const ProcessResult& r, const std::string& mutant,
                    const std::function<std::string()>& wellFormed) {
    SCOPED_TRACE(mutant + "\nstdout tail: " + r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), 300)) +
                 "\nstderr: " + r.err);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status;
    EXPECT_EQ(count(r.err, "Sanitizer"), 0u);
    EXPECT_EQ(count(r.err, "runtime error"), 0u);
    const std::string both = r.out + r.err;
    if (r.status == 0) {
        EXPECT_EQ(count(both, "Error :") + count(both, "Error: "), 0u);
        const std::string problem = wellFormed();
        EXPECT_EQ(problem, "") << "exit 0 with malformed output";
        return;
    }
    // Two reports list their items on "Error" lines of their own: unmatched SNPs
    // ("Error : SNP with rsID ...") and missing --rsids identifiers ("Error: Encountered ...").
    std::size_t reports = count(both, "Error :") + count(both, "Error: ");
    for (const char* listLine : {"Error : SNP with rsID '", "Error: Encountered SNP with rsID '"}) {
        const std::size_t lines = count(both, listLine);
        if (lines > 1) reports -= lines - 1;
    }
    EXPECT_EQ(reports, 1u) << "not exactly one report";
    for (const char* allocationFailure : {"bad_alloc", "Cannot allocate", "Not enough memory", "memory are required"})
        EXPECT_EQ(count(both, allocationFailure), 0u) << "an allocation failed";
    const std::size_t reportOnStdout = r.out.find("Error");
    if (reportOnStdout != std::string::npos) {
        EXPECT_EQ(r.out.find("done!", reportOnStdout), std::string::npos);
    }
}

// "" when `path` holds a BCOR file of `snps` SNPs (any number when 0) that parses.
std::string checkBcor(const TempDir& dir, const std::string& path, uint32_t snps) {
    try {
        const BcorImage image = parseBcor(dir.read(path));
        if (snps != 0 && image.nSNPs != snps) return "BCOR file with " + std::to_string(image.nSNPs) + " SNPs";
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

// "" when `path` holds a BDOSE file of `snps` SNPs that parses.
std::string checkBdose(const TempDir& dir, const std::string& path, uint32_t snps) {
    try {
        const BdoseFileContent content = parseBdoseFile(dir.read(path));
        if (content.numSNPs != snps) return "BDOSE file with " + std::to_string(content.numSNPs) + " SNPs";
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

// "" when `path` holds a square matrix of numbers written as text, or with `vector` an LD
// vector: a "rsid" header naming k SNPs, then rows of an identifier and k numbers.
std::string checkTextMatrix(const TempDir& dir, const std::string& path, bool vector) {
    std::istringstream text(dir.read(path));
    std::vector<std::size_t> widths;
    std::size_t header = 0;
    for (std::string line; std::getline(text, line);) {
        // Fields are separated by single blanks; an LD vector row may start with an empty rsid.
        const std::vector<std::string> fields = splitFields(line, ' ');
        std::size_t n = 0;
        for (const std::string& field : fields) {
            ++n;
            if (field.empty() && !(vector && n == 1)) return "an empty field";
            if (vector && n == 1) continue;
            char* end = nullptr;
            std::strtod(field.c_str(), &end);
            if (*end != '\0' && !(vector && widths.empty())) return "field '" + field + "' is not a number";
        }
        if (vector && widths.empty() && line.rfind("rsid ", 0) != 0) return "no rsid header";
        widths.push_back(n);
    }
    if (vector) header = widths.empty() ? 0 : widths.front();
    for (std::size_t w : widths)
        if (w != (vector ? header : widths.size())) return "rows of different widths";
    return "";
}

// Mutates `name` inside `dir` `n` times from its original bytes, running `run` on each mutant.
void mutateFile(const TempDir& dir, const std::string& name, uint64_t seed, unsigned n,
                const std::function<void(const std::string&)>& run) {
    const std::string original = dir.read(name);
    Mutator mutator(seed);
    for (unsigned i = 0; i < n; ++i) {
        std::string bytes = original;
        const std::string what = name + " mutant " + std::to_string(i) + ": " + mutator.mutate(bytes);
        dir.write(name, bytes);
        run(what);
        if (::testing::Test::HasFatalFailure()) break;
    }
    dir.write(name, original);
}

// --- the .bgi index through SQLite ----------------------------------------------------------

struct Database {
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path);
    }
    ~Database() { sqlite3_close(db); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    sqlite3* db = nullptr;
};

struct Statement {
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) throw std::runtime_error(sql);
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    std::string text(int column) const {
        const unsigned char* value = sqlite3_column_text(stmt, column);
        return value == nullptr ? "" : reinterpret_cast<const char*>(value);
    }
    sqlite3_stmt* stmt = nullptr;
};

// The rows of a well-formed index written by the fixture writer.
BgiFile readBgi(const std::string& path) {
    Database database(path);
    BgiFile file;
    Statement variants(database.db,
                       "SELECT rsid, chromosome, position, allele1, allele2, file_start_position, size_in_bytes "
                       "FROM Variant ORDER BY rowid");
    while (sqlite3_step(variants.stmt) == SQLITE_ROW)
        file.variants.push_back({variants.text(0), variants.text(1), sqlite3_column_int64(variants.stmt, 2),
                                 variants.text(3), variants.text(4), sqlite3_column_int64(variants.stmt, 5),
                                 sqlite3_column_int64(variants.stmt, 6)});
    Statement metadata(database.db, "SELECT filename, file_size, first_1000_bytes FROM Metadata");
    while (sqlite3_step(metadata.stmt) == SQLITE_ROW) {
        const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(metadata.stmt, 2));
        file.metadata.push_back(
            {metadata.text(0), sqlite3_column_int64(metadata.stmt, 1),
             std::vector<uint8_t>(blob, blob + sqlite3_column_bytes(metadata.stmt, 2))});
    }
    return file;
}

// The index of a mutated BGEN file: its metadata follows the file, so that the mutation itself
// is what the reader meets.
void followBgen(const BgiFile& original, const std::string& bgiPath, const std::string& bgenBytes) {
    BgiFile file = original;
    file.metadata[0].file_size = static_cast<int64_t>(bgenBytes.size());
    file.metadata[0].first_1000_bytes =
        std::vector<uint8_t>(bgenBytes.begin(), bgenBytes.begin() + std::min<std::size_t>(bgenBytes.size(), 1000));
    writeBgi(bgiPath, file);
}

// Changes one value of the index; returns its description.
std::string mutateBgi(BgiFile& file, Mutator& mutator) {
    const int64_t values[] = {0, -1, 1, INT64_MAX, int64_t{1} << 40, 0xFFFFFFFF};
    const int64_t value = values[mutator.below(6)];
    BgiVariantRow& row = file.variants[mutator.below(file.variants.size())];
    switch (mutator.below(9)) {
        case 0:
            row.file_start_position = value;
            return "file_start_position " + std::to_string(value) + " of " + row.rsid;
        case 1:
            row.size_in_bytes = value;
            return "size_in_bytes " + std::to_string(value) + " of " + row.rsid;
        case 2: {
            const int64_t shift = static_cast<int64_t>(mutator.below(9)) - 4;
            row.file_start_position = *row.file_start_position + shift;
            return "file_start_position shifted by " + std::to_string(shift) + " of " + row.rsid;
        }
        case 3:
            row.file_start_position.reset();
            return "NULL file_start_position of " + row.rsid;
        case 4:
            row.position = value;
            return "position " + std::to_string(value) + " of " + row.rsid;
        case 5: {
            const BgiVariantRow copy = row;
            file.variants.push_back(copy);
            return "duplicated " + copy.rsid;
        }
        case 6:
            file.metadata[0].file_size = value;
            return "metadata file_size " + std::to_string(value);
        case 7:
            row.allele2 = row.allele1;
            return "allele2 = allele1 of " + row.rsid;
        default: {
            const std::size_t other = mutator.below(file.variants.size());
            std::swap(row.file_start_position, file.variants[other].file_start_position);
            return "swapped file_start_position of " + row.rsid + " and " + file.variants[other].rsid;
        }
    }
}

// --- fixtures -------------------------------------------------------------------------------

const Args kHeader{"z", "bgen", "bgi", "bdose", "bcor", "ld", "sample", "incl", "n_samples"};
constexpr uint32_t kSnps = 12;

// A small dataset with a sample file and an inclusion file; runs on one master file.
struct GenotypeFixture {
    explicit GenotypeFixture(uint32_t layout, uint32_t compression, uint64_t seed) {
        DatasetOptions options;
        options.seed = seed;
        options.snps = kSnps;
        options.samples = 30;
        options.layout = layout;
        options.compression = compression;
        options.sampleFile = true;
        for (uint32_t i = 0; i < 24; ++i) options.included.push_back((i * 7 + 3) % 30);
        options.kinds = {{4, SnpKind::Constant}};
        data = makeDataset(dir.path(), options);
        columns = data.columns();
        columns["bcor"] = "out.bcor";
        columns["bdose"] = "data.bdose";
        master = writeMasterFile(dir.file("master.txt"), kHeader, {columns});
    }

    // Runs with the master file and checks the output BCOR file of a run that exits 0: the SNPs
    // of the Z file unless `textMutant` (a mutated Z file may hold fewer; a mutated master file
    // may name another output, so that this one is absent). Every other run uses three threads,
    // so that failures inside parallel regions are met too.
    // `bdoseOutput` names the BDOSE file the run writes instead.
    void run(const std::string& mutant, Args args, bool textMutant = false, const std::string& bdoseOutput = "") {
        const std::string output = bdoseOutput.empty() ? "out.bcor" : bdoseOutput;
        std::filesystem::remove(dir.file(output));
        args.insert(args.end(), {"--in-files", "master.txt", "--n-threads", runs++ % 2 == 0 ? "1" : "3"});
        const ProcessResult r = runGuarded(args, dir.path());
        expectCleanEnd(r, mutant, [&] {
            if (textMutant && !std::filesystem::exists(dir.file(output))) return std::string();
            if (!bdoseOutput.empty()) return checkBdose(dir, bdoseOutput, kSnps);
            return checkBcor(dir, output, textMutant ? 0 : kSnps);
        });
    }

    TempDir dir;
    Dataset data;
    Columns columns;
    std::string master;
    unsigned runs = 0;
};

std::string fileName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

const Args kFromBgen{"--write-bcor", "--read-only-bgen"};

// --- the tests --------------------------------------------------------------------------------

TEST(Robustness, MutatedBgenFiles) {
    const struct {
        uint32_t layout, compression;
    } kinds[] = {{2, 1}, {2, 2}, {2, 0}, {1, 1}};
    uint64_t seed = 100;
    for (const auto& kind : kinds) {
        SCOPED_TRACE("layout " + std::to_string(kind.layout) + " compression " + std::to_string(kind.compression));
        GenotypeFixture f(kind.layout, kind.compression, seed);
        const BgiFile index = readBgi(f.data.bgi);
        const std::string bgen = fileName(f.data.bgen);
        mutateFile(f.dir, bgen, seed++, mutants(80), [&](const std::string& mutant) {
            followBgen(index, f.data.bgi, f.dir.read(bgen));
            f.run(mutant, kFromBgen);
        });
    }
}

// The BDOSE writer reads the BGEN file through its own loop; its output must parse.
TEST(Robustness, MutatedBgenFilesWrittenAsBdose) {
    uint64_t seed = 150;
    for (const bool v11 : {false, true}) {
        SCOPED_TRACE(v11 ? "1.1" : "1.0");
        GenotypeFixture f(2, v11 ? 2 : 1, seed);
        const BgiFile index = readBgi(f.data.bgi);
        const std::string bgen = fileName(f.data.bgen);
        // Version 1.0 is only written together with a BCOR file.
        const Args args = v11 ? Args{"--write-bdose", "--bdose-version", "1.1"} : Args{"--write-bdose", "--write-bcor"};
        mutateFile(f.dir, bgen, seed++, mutants(50), [&](const std::string& mutant) {
            followBgen(index, f.data.bgi, f.dir.read(bgen));
            f.run(mutant, args, false, "data.bdose");
        });
    }
}

TEST(Robustness, MutatedBgiIndexes) {
    GenotypeFixture f(2, 1, 7);
    const BgiFile index = readBgi(f.data.bgi);
    Mutator mutator(7);
    for (unsigned i = 0; i < mutants(60); ++i) {
        BgiFile file = index;
        const std::string what = "bgi mutant " + std::to_string(i) + ": " + mutateBgi(file, mutator);
        writeBgi(f.data.bgi, file);
        f.run(what, kFromBgen);
        if (HasFatalFailure()) return;
    }
    writeBgi(f.data.bgi, index);
    mutateFile(f.dir, fileName(f.data.bgi), 8, mutants(12),
               [&](const std::string& mutant) { f.run(mutant, kFromBgen); });
}

TEST(Robustness, MutatedTextInputs) {
    GenotypeFixture f(2, 1, 11);
    uint64_t seed = 200;
    for (const std::string& path : {f.data.z, f.data.sample, f.data.incl, f.master})
        mutateFile(f.dir, fileName(path), seed++, mutants(25),
                   [&](const std::string& mutant) { f.run(mutant, kFromBgen, true); });
}

TEST(Robustness, MutatedBdoseFiles) {
    for (const bool v11 : {false, true}) {
        SCOPED_TRACE(v11 ? "1.1" : "1.0");
        GenotypeFixture f(2, 1, v11 ? 31 : 30);
        Args write{"--write-bcor", "--write-bdose", "--in-files", "master.txt"};
        if (v11) write.insert(write.end(), {"--bdose-version", "1.1"});
        ASSERT_EQ(runTesmaro(write, f.dir.path()).status, 0);
        // Every third run reads the file in tiles of a few SNPs.
        unsigned runs = 0;
        mutateFile(f.dir, "data.bdose", v11 ? 301 : 300, mutants(80), [&](const std::string& mutant) {
            Args args{"--write-bcor", "--read-bdose"};
            if (runs++ % 3 == 2) args.insert(args.end(), {"--memory", "5e-6"});
            f.run(mutant, args);
        });
    }
}

// A BCOR file written by the program from a small dataset, converted to text.
TEST(Robustness, MutatedBcorFiles) {
    GenotypeFixture f(2, 1, 41);
    ASSERT_EQ(runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", "master.txt"}, f.dir.path()).status, 0);
    const std::string rsids = f.data.snps[2].rsid + "," + f.data.snps[7].rsid;
    const std::string range = std::to_string(f.data.snps[3].position) + "-" + std::to_string(f.data.snps[9].position);
    const Args modes[] = {{}, {"--range", range}, {"--rsids", rsids}};
    uint64_t seed = 400;
    f.dir.write("in.bcor", f.dir.read("out.bcor"));
    for (const Args& mode : modes) {
        mutateFile(f.dir, "in.bcor", seed++, mutants(50), [&](const std::string& mutant) {
            f.dir.write("out.ld", "");
            Args args{"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", "out.ld"};
            args.insert(args.end(), mode.begin(), mode.end());
            const ProcessResult r = runGuarded(args, f.dir.path());
            expectCleanEnd(r, mutant, [&] { return checkTextMatrix(f.dir, "out.ld", mode.size() == 2 && mode[0] == "--rsids"); });
        });
    }
}

TEST(Robustness, MutatedLdTextFiles) {
    TempDir dir;
    writeZFile(dir.file("d.z"), {{"rs1", "1", 100, "A", "C"},
                                 {"rs2", "1", 200, "G", "T"},
                                 {"rs3", "1", 300, "A", "G"},
                                 {"rs4", "2", 50, "C", "T"}});
    dir.write("d.ld",
              "1 0.5 -0.123457 0.25 \n0.5 1 nan 0.75 \n-0.123457 nan 1 -1 \n0.25 0.75 -1 1 \n");
    dir.write("master.txt", "z;bcor;ld;n_samples\nd.z;d.bcor;d.ld;10\n");
    mutateFile(dir, "d.ld", 500, mutants(40), [&](const std::string& mutant) {
        dir.write("d.bcor", "");
        const ProcessResult r = runGuarded({"--text-to-bcor", "--in-files", "master.txt"}, dir.path());
        expectCleanEnd(r, mutant, [&] { return checkBcor(dir, "d.bcor", 4); });
    });
}

// --- outputs that are other files -----------------------------------------------------------

// A run that would write through a link at a part-file path of the BDOSE 1.1 writer, or through
// two entries of the master file that name one output, ends with one report before any file
// changes, whatever the link points at and however the entry spells the file.
TEST(Robustness, LinksAtPartFilesAndSharedOutputsAreRejected) {
    namespace fs = std::filesystem;
    GenotypeFixture f(2, 2, 71);
    f.dir.write("victim.txt", "a file that is not an input");
    const Args v11{"--write-bdose", "--bdose-version", "1.1"};
    const Args partModes[] = {v11, {"--write-bcor", "--write-bdose", "--bdose-version", "1.1"},
                              {"--write-text", "--write-bdose", "--bdose-version", "1.1"}};
    const std::string targets[] = {fileName(f.data.z), fileName(f.data.bgen), fileName(f.data.bgi),
                                   fileName(f.data.sample), fileName(f.data.incl), "master.txt", "victim.txt",
                                   "nowhere.txt", f.dir.file("victim.txt")};
    Columns columns = f.columns;
    columns["ld"] = "out.ld";
    writeMasterFile(f.master, kHeader, {columns});
    Mutator mutator(71);
    const auto expectRejected = [&](const Args& mode, const std::string& threads, const std::string& what) {
        const std::map<std::string, std::string> before = f.dir.regularFiles();
        Args args = mode;
        args.insert(args.end(), {"--in-files", "master.txt", "--n-threads", threads});
        const ProcessResult r = runGuarded(args, f.dir.path());
        expectCleanEnd(r, what, [] { return std::string("accepted"); });
        EXPECT_EQ(r.out.find("(1/1)"), std::string::npos) << what;
        EXPECT_EQ(changedFiles(before, f.dir.regularFiles()), "") << what;
    };
    for (unsigned k = 0; k < mutants(24); ++k) {
        const std::string threads = mutator.below(2) == 0 ? "1" : "3";
        const uint64_t t = mutator.below(threads == "1" ? 1 : 3);
        const std::string part = std::string("data.bdose") + (mutator.below(2) == 0 ? ".meta.tmp" : ".bdose.tmp") +
                                 std::to_string(t);
        const std::string& target = targets[mutator.below(std::size(targets))];
        const Args& mode = partModes[mutator.below(std::size(partModes))];
        fs::create_symlink(target, f.dir.file(part));
        expectRejected(mode, threads, "link " + part + " -> " + target + ", " + mode[0] + ", " + threads + " threads");
        EXPECT_FALSE(fs::exists(f.dir.file("nowhere.txt")));
        fs::remove(f.dir.file(part));
        if (HasFatalFailure()) return;
    }

    // The second line names the output of the first: as written, through "./", as an absolute
    // path, through a symbolic link or a hard link; the output may exist already or not.
    const struct {
        Args mode;
        std::string column;
    } outputs[] = {{kFromBgen, "bcor"},
                   {{"--write-text", "--read-only-bgen"}, "ld"},
                   {v11, "bdose"},
                   {{"--write-bcor", "--write-bdose"}, "bdose"}};
    for (unsigned k = 0; k < mutants(24); ++k) {
        const auto& output = outputs[mutator.below(std::size(outputs))];
        const std::string first = columns.at(output.column);
        const bool exists = mutator.below(2) == 0;
        fs::remove(f.dir.file(first));
        if (exists) f.dir.write(first, "an earlier output");
        const unsigned spelling = static_cast<unsigned>(mutator.below(exists ? 5 : 4));
        std::string second = first;
        std::string what = output.column + (exists ? " (existing)" : "") + " named again ";
        switch (spelling) {
            case 0: what += "as written"; break;
            case 1: second = "./" + first; what += "through ./"; break;
            case 2: second = f.dir.file(first); what += "by its absolute path"; break;
            case 3:
                second = "link." + output.column;
                fs::create_symlink(first, f.dir.file(second));
                what += "through a symbolic link";
                break;
            default:
                second = "hard." + output.column;
                fs::create_hard_link(f.dir.file(first), f.dir.file(second));
                what += "through a hard link";
        }
        Columns again = columns;
        again[output.column] = second;
        writeMasterFile(f.master, kHeader, {columns, again});
        expectRejected(output.mode, mutator.below(2) == 0 ? "1" : "3", what);
        if (second != first && spelling >= 3) fs::remove(f.dir.file(second));
        if (HasFatalFailure()) return;
    }
}

// --- structure-aware mutants ----------------------------------------------------------------

// The place of every record's u32 length field in the meta block of BDOSE `bytes`.
std::vector<uint64_t> recordPlaces(const std::string& bytes, const BdoseFileContent& content) {
    std::vector<uint64_t> places;
    uint64_t at = content.headerEnd;
    for (uint32_t i = 0; i < content.numSNPs; ++i) {
        places.push_back(at);
        at += 4 + getLE(bytes, at, 4);
    }
    return places;
}

// Mutants of a valid BDOSE file that move or renumber its data without changing its size.
std::vector<std::pair<std::string, std::string>> bdoseStructureMutants(const std::string& bytes, Mutator& mutator) {
    const BdoseFileContent content = parseBdoseFile(bytes);
    const bool v11 = content.magic == "bdose1.1";
    const uint32_t m = content.numSNPs;
    const std::vector<uint64_t>& offsets = v11 ? content.blockOffsets : content.rowOffsets;
    const uint64_t table = v11 ? content.offsetTableStart : offsets[0] - uint64_t{m} * 8;
    std::vector<std::pair<std::string, std::string>> mutants;
    const auto add = [&](const std::string& what, const std::function<void(std::string&)>& change) {
        std::string mutant = bytes;
        change(mutant);
        mutants.emplace_back(what, mutant);
    };
    for (unsigned k = 0; k < 3; ++k) {
        const uint32_t i = static_cast<uint32_t>(mutator.below(m - 1)) + 1;
        const uint32_t j = static_cast<uint32_t>((i + 1 + mutator.below(m - 1)) % m);
        add("offset entry " + std::to_string(i) + " + 1",
            [&](std::string& b) { putLE(b, table + 8 * i, offsets[i] + 1, 8); });
        add("offset entry " + std::to_string(i) + " = entry " + std::to_string(j),
            [&](std::string& b) { putLE(b, table + 8 * i, offsets[j], 8); });
        add("record number " + std::to_string(i) + " = " + std::to_string(j), [&](std::string& b) {
            putLE(b, recordPlaces(bytes, content)[i] + 4, j, 4);
        });
    }
    add("offset entry 0 - 1", [&](std::string& b) { putLE(b, table, offsets[0] - 1, 8); });
    // Two records of the same length trade places, each keeping its own number.
    const std::vector<uint64_t> records = recordPlaces(bytes, content);
    for (uint32_t i = 0; i + 1 < m; ++i) {
        const uint64_t length = getLE(bytes, records[i], 4);
        if (getLE(bytes, records[i + 1], 4) != length) continue;
        add("records " + std::to_string(i) + " and " + std::to_string(i + 1) + " swapped", [&](std::string& b) {
            const std::string first = bytes.substr(records[i], 4 + length);
            b.replace(records[i], 4 + length, bytes.substr(records[i + 1], 4 + length));
            b.replace(records[i + 1], 4 + length, first);
        });
        break;
    }
    if (v11) {
        const uint32_t i = static_cast<uint32_t>(mutator.below(m));
        add("block length " + std::to_string(i) + " - 1",
            [&](std::string& b) { putLE(b, offsets[i], getLE(bytes, offsets[i], 4) - 1, 4); });
    }
    return mutants;
}

// Every mutant must end with exit status 1 and one report: read with exit 0, it would give
// correlations of the wrong dosages.
TEST(Robustness, StructureAwareMutantsAreRejected) {
    const auto rejected = [](const ProcessResult& r, const std::string& mutant) {
        expectCleanEnd(r, mutant, [] { return std::string("accepted"); });
    };
    {
        SCOPED_TRACE("bgi");
        GenotypeFixture f(2, 1, 61);
        const BgiFile index = readBgi(f.data.bgi);
        Mutator mutator(61);
        for (unsigned k = 0; k < mutants(8); ++k) {
            BgiFile file = index;
            const std::size_t r = mutator.below(kSnps);
            const std::size_t o = (r + 1 + mutator.below(kSnps - 1)) % kSnps;
            file.variants[r].file_start_position = index.variants[o].file_start_position;
            file.variants[r].size_in_bytes = index.variants[o].size_in_bytes;
            writeBgi(f.data.bgi, file);
            for (Args args : {kFromBgen, Args{"--write-bcor", "--write-bdose"}}) {
                args.insert(args.end(), {"--in-files", "master.txt"});
                rejected(runGuarded(args, f.dir.path()),
                         "row of " + file.variants[r].rsid + " at the place of " + file.variants[o].rsid);
            }
        }
        BgiFile same = index;
        for (BgiVariantRow& row : same.variants) row.file_start_position = index.variants[3].file_start_position;
        writeBgi(f.data.bgi, same);
        rejected(runGuarded({"--write-bcor", "--read-only-bgen", "--in-files", "master.txt", "--n-threads", "3"},
                            f.dir.path()),
                 "every row at the place of the fourth variant");
    }
    for (const bool v11 : {false, true}) {
        SCOPED_TRACE(v11 ? "1.1" : "1.0");
        GenotypeFixture f(2, 1, v11 ? 63 : 62);
        Args write{"--write-bcor", "--write-bdose", "--in-files", "master.txt"};
        if (v11) write.insert(write.end(), {"--bdose-version", "1.1"});
        ASSERT_EQ(runTesmaro(write, f.dir.path()).status, 0);
        const std::string valid = f.dir.read("data.bdose");
        Mutator mutator(v11 ? 631 : 621);
        unsigned runs = 0;
        for (const auto& [what, bytes] : bdoseStructureMutants(valid, mutator)) {
            f.dir.write("data.bdose", bytes);
            Args args{"--write-bcor", "--read-bdose", "--in-files", "master.txt", "--n-threads", runs % 2 ? "3" : "1"};
            if (runs++ % 3 == 2) args.insert(args.end(), {"--memory", "5e-6"});
            rejected(runGuarded(args, f.dir.path()), what);
        }
        f.dir.write("data.bdose", valid);
    }
}

}  // namespace
