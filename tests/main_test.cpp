// The run driver through the real binary: exact standard output, standard error and exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "flag.h"
#include "support/bcorfile.h"
#include "support/bdosefile.h"
#include "support/bgenwriter.h"
#include "support/bgiwriter.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

using Args = std::vector<std::string>;

const std::string banner =
    "\n"
    "|--------------------------------------|\n"
    "| Welcome to Tesmaro v2.0              |\n"
    "|                                      |\n"
    "|                                      |\n"
    "| Help :                               |\n"
    "| - ./tesmaro --help                   |\n"
    "|                                      |\n"
    "|--------------------------------------|\n"
    "\n";

const std::string runTimeZero = "- Run time              : 0 hours, 0 minutes, 0 seconds\n\n";

std::string joined(const Args& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

TEST(Main, NoArgumentsPrintsTheBannerThenFails) {
    const ProcessResult r = runTesmaro({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Error : No flags detected!\n\n");
}

TEST(Main, HelpPrintsBannerAndParameterTableAndExitsZero) {
    const std::string help = runInChild([] { Flag().help(); }).out;
    ASSERT_EQ(help.rfind("-----------------------\nCOMMAND-LINE PARAMETERS\n", 0), 0u);
    // A help flag skips the master-file rule and every value conversion.
    for (const Args& args : {Args{"-h"}, Args{"-help"}, Args{"--help"}, Args{"-h", "--write-bcor", "--read-only-bgen"},
                             Args{"--help", "--bcor-to-text", "--in-files", "/no/such/file", "--dataset", "0"}}) {
        const ProcessResult r = runTesmaro(args);
        EXPECT_EQ(r.status, 0) << joined(args);
        EXPECT_EQ(r.out, banner + help) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
    }
}

TEST(Main, FailuresBeforeAnyWorkPrintOnlyTheBanner) {
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--help", "--write-bcor"},
         "'--write-bcor' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {{"-h", "--dataset", "1"},
         "'--dataset' must be used together with '--bcor-to-text', '--text-to-bcor', --write-bcor', "
         "'--write-bdose' or '--write-text'!"},
        {{"--read-only-bgen"},
         "'--bcor-to-text', '--text-to-bcor', '--write-bcor', '--write-bdose' or '--write-text' must be used!"},
        // Without a master file these would have nothing to do, yet would end with status 0.
        {{"--write-bcor", "--read-only-bgen"},
         "'--write-bcor', '--write-bdose', '--write-text' and '--text-to-bcor' must be used together with "
         "'--in-files'!"},
        {{"--write-bcor", "--read-only-bgen", "--dataset", "3"},
         "'--write-bcor', '--write-bdose', '--write-text' and '--text-to-bcor' must be used together with "
         "'--in-files'!"},
        {{"--text-to-bcor"},
         "'--write-bcor', '--write-bdose', '--write-text' and '--text-to-bcor' must be used together with "
         "'--in-files'!"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--range", "1-2", "--rsids", "rs1"},
         "'--range' and '--rsids' cannot be used together!"},
        {{"--write-bcor", "--x"}, "Cannot recognize flag '--x'!"},
        {{"--n-threads", "2", "--n-threads", "4"}, "Command-line flag 'n-threads' with value '4' has already been set!"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--range", std::string(400, '9')},
         "'--range' must be followed by two dash-separated positive integer values smaller than or equal to "
         "4,294,967,295!"},
        {{"--bcor-to-text", "--in-files", "/dev/null", "--dataset", "1," + std::string(400, '9')},
         "'--dataset' must be followed by a positive integer values smaller than or equal to 4,294,967,295!"},
        {{"--write-bcor", "--read-only-bgen", "--in-files", "/dev/null", "--n-threads", "inf"},
         "'--n-threads' must be followed by a positive integer value smaller than or equal to 4,294,967,295!"},
        {{"--write-bcor", "--read-only-bgen", "--in-files", "/dev/null", "--sample-miss", "nan"},
         "'--miss' must be followed by a floating point value between 0.0 and 1.0!"},
        {{"--write-bcor", "--read-bdose", "--in-files", "/dev/null", "--memory", "-nan"},
         "'--cpu-mem' must be followed by a positive float value!"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runTesmaro(c.args);
        EXPECT_EQ(r.status, 1) << joined(c.args);
        EXPECT_EQ(r.out, banner) << joined(c.args);
        EXPECT_EQ(r.err, "Error : " + c.message + "\n\n") << joined(c.args);
    }
}

TEST(Main, SettingsArePrintedBeforeTheMasterFileIsRead) {
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const ProcessResult r = runTesmaro({"--write-bcor", "--read-bdose", "--in-files", master, "--memory", "3",
                                        "--n-threads", "2"});
    EXPECT_EQ(r.out, banner +
                         "--------\nSETTINGS\n--------\n"
                         "- dataset       : all\n"
                         "- compression   : medium\n"
                         "- memory        : 3 GB\n"
                         "- n-threads     : 2\n"
                         "- sample-miss   : 0.1\n\n");
    // The (empty) master file cannot give a dataset: one report naming it, status 1.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error : ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("'" + master + "'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Error", 1), std::string::npos) << r.err;
}

TEST(Main, TextToBcorPrintsNoSettings) {
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const ProcessResult r = runTesmaro({"--text-to-bcor", "--in-files", master});
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.status, 1);
}

TEST(Main, BcorToTextWithoutMasterFileRunsOneTitledDataset) {
    const std::string settings = "--------\nSETTINGS\n--------\n- dataset : all\n";
    const std::string title = "-----------------------\nConverting BCOR to text (1/1)\n-----------------------\n";
    const std::string reading = "\n- Number of samples     : 10\n- Number of SNPs        : ";
    const std::string done = "\r- Reading BCOR file     : done!   \n";
    const std::string matrix =
        "- Writing correlations  : 0.000% \r- Writing correlations  : 0.000/100%\r- Writing correlations  : "
        "done!         \n";
    const struct {
        Args extra;
        std::string settings;
        std::string ldLabel;
        std::string work;
        std::string ld;
    } cases[] = {
        {{}, settings + "\n", "- LD matrix             : ",
         reading + "2\n\r- Reading BCOR LD       : 100.000%" + done + matrix, "1 0.5 \n0.5 1 \n"},
        {{"--range", "100-200"}, settings + "- range   : 100-200\n\n", "- LD matrix             : ",
         reading + "2/2\n\r- Reading BCOR LD       : 100.000%" + done + matrix, "1 0.5 \n0.5 1 \n"},
        {{"--rsids", "rs2,rs1"}, settings + "- rsids   : rs2,rs1\n\n", "- LD vector             : ",
         reading + "2\n\r- Reading BCOR LD       : 33.333%" + done +
             "- Writing LD vector     : 0.000% \r- Writing LD vector     : 0.000%\r- Writing LD vector     : "
             "25.000%\r- Writing LD vector     : 50.000%\r- Writing LD vector     : 75.000%\r- Writing LD vector"
             "     : done!  \n",
         "rsid rs2 rs1\nrs1 0.5 1\nrs2 1 0.5\n"},
    };
    TempDir dir;
    dir.write("in.bcor", buildBcor(10, 1, {{0, "rs1", 100, "1", "A", "C"}, {1, "rs2", 200, "1", "G", "T"}},
                                   {0x60000000}));
    for (const auto& c : cases) {
        Args args{"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", "out.ld"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const ProcessResult r = runTesmaro(args, dir.path());
        EXPECT_EQ(r.status, 0) << joined(args);
        EXPECT_EQ(r.err, "") << joined(args);
        EXPECT_EQ(r.out, banner + c.settings + title + "- BCOR file             : in.bcor\n" + c.ldLabel +
                             "out.ld\n" + c.work + runTimeZero)
            << joined(args);
        EXPECT_EQ(dir.read("out.ld"), c.ld) << joined(args);
    }
}

// A master file of three --text-to-bcor datasets r1, r2, r3 with valid Z and LD matrix files.
std::string writeTextToBcorRun(const TempDir& dir) {
    std::string master = "z;bcor;ld;n_samples\n";
    for (const std::string name : {"r1", "r2", "r3"}) {
        dir.write(name + ".z", "rsid chromosome position allele1 allele2\n" + name + "a 1 100 A G\n" + name +
                                   "b 1 200 C T\n");
        dir.write(name + ".ld", "1 0.5 \n0.5 1 \n");
        master += name + ".z;" + name + ".bcor;" + name + ".ld;100\n";
    }
    return dir.write("master.txt", master);
}

// The framed title of a text-to-BCOR dataset and its file list.
std::string textToBcorTitle(const std::string& counter, const std::string& name) {
    const std::string dashes(23, '-');
    return dashes + "\nConverting text to BCOR (" + counter + ")\n" + dashes + "\n" +
           "- SNP file              : " + name + ".z\n" + "- BCOR file             : " + name + ".bcor\n" +
           "- LD matrix             : " + name + ".ld\n";
}

// Each expected piece occurs in `out` after the previous one.
void expectInOrder(const std::string& out, const std::vector<std::string>& pieces) {
    std::size_t from = 0;
    for (const auto& piece : pieces) {
        const std::size_t found = out.find(piece, from);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << from << ": " << piece << "\nin:\n" << out;
        from = found + piece.size();
    }
}

TEST(Main, WalksEverySelectedDatasetOfTheMasterFile) {
    TempDir dir;
    const std::string master = writeTextToBcorRun(dir);
    const std::string runTime = "- Run time              : ";

    const ProcessResult all = runTesmaro({"--text-to-bcor", "--in-files", master}, dir.path());
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(all.out.rfind(banner, 0), 0u);
    expectInOrder(all.out, {banner, textToBcorTitle("1/3", "r1"), runTime, textToBcorTitle("2/3", "r2"), runTime,
                            textToBcorTitle("3/3", "r3"), runTime});

    const ProcessResult third = runTesmaro({"--text-to-bcor", "--in-files", master, "--dataset", "3"}, dir.path());
    EXPECT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(third.err, "");
    expectInOrder(third.out, {banner, textToBcorTitle("1/1", "r3"), runTime});
    EXPECT_EQ(third.out.find("r1."), std::string::npos);
    EXPECT_EQ(third.out.find("Converting text to BCOR", third.out.find("(1/1)")), std::string::npos);
}

TEST(Main, MasterFileFailuresEndTheRunBeforeAnyDataset) {
    TempDir dir;
    const std::string master = writeTextToBcorRun(dir);
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--text-to-bcor", "--in-files", master, "--dataset", "2,7"},
         "Requested dataset #7 but there are 3 dataset(s) in the master file '" + master + "'!"},
        {{"--text-to-bcor", "--in-files", dir.write("bad.txt", "z;bcor;ld\n")},
         "Master file '" + dir.file("bad.txt") + "' is missing column 'n_samples'!"},
        {{"--text-to-bcor", "--in-files", dir.write("line.txt", "z;bcor;ld;n_samples\nr1.z;r1.bcor;r1.ld;0\n")},
         "Expected a positive integer value in line 2 column 'n_samples' of the master file '" + dir.file("line.txt") +
             "'!"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runTesmaro(c.args, dir.path());
        EXPECT_EQ(r.status, 1) << joined(c.args);
        EXPECT_EQ(r.out, banner) << joined(c.args);
        EXPECT_EQ(r.err, "Error : " + c.message + "\n\n") << joined(c.args);
    }
}

// Until the sample-count and .bgi checks compare the lines with the BGEN files, these need not exist.
TEST(Main, AnOutputFileThatCannotBeCreatedEndsTheRunBeforeAnyDataset) {
    TempDir dir;
    makeSmallDatasets(dir.path(), {"a", "b"}, 10, 2);
    dir.write("a.bcor", "old");
    const std::string master = dir.write("master.txt", "z;bgen;bgi;bcor;n_samples\n"
                                                       "a.z;a.bgen;a.bgi;a.bcor;10\n"
                                                       "b.z;b.bgen;b.bgi;missing/b.bcor;10\n");
    const ProcessResult r = runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", master}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error : File 'missing/b.bcor' cannot be opened!\n\n");
    EXPECT_EQ(r.out.find("Computing correlations"), std::string::npos) << r.out;
    // Only its own writer empties an output: the first dataset's result survives the failure.
    EXPECT_EQ(dir.read("a.bcor"), "old");
}

TEST(Main, AllocationFailureEndsWithOneReportNotAnAbort) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#else
    // A sparse file of 8 GB without line ends as the --rsids list, read under a 150 MB limit.
    // OpenBLAS starts its thread pool when the program loads; one BLAS thread fits the limit.
    TempDir dir;
    const std::string ids = dir.write("ids.txt", "");
    std::filesystem::resize_file(ids, uint64_t{8} << 30);
    const ProcessResult r = runProcess(
        "/bin/sh", {"-c", std::string("ulimit -v 150000 && OPENBLAS_NUM_THREADS=1 exec '") + TESMARO_BINARY +
                                         "' --bcor-to-text --bcor-file a --ld-file b --rsids '" + ids + "'"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, "Error : Not enough memory to read the identifiers in '" + ids + "'!\n\n");
#endif
}

TEST(Main, AnLdFileThatIsTheBcorFileToConvertLeavesItUntouched) {
    TempDir dir;
    const std::string bcor = buildBcor(10, 1, {{0, "rs1", 100, "1", "A", "C"}, {1, "rs2", 200, "1", "G", "T"}},
                                       {0x60000000});
    dir.write("in.bcor", bcor);
    std::filesystem::create_symlink("in.bcor", dir.file("link.ld"));
    std::filesystem::create_hard_link(dir.file("in.bcor"), dir.file("hard.ld"));
    const std::vector<std::string> names{"in.bcor", "./in.bcor", "link.ld", "hard.ld", dir.file("in.bcor")};
    for (const std::string& ld : names) {
        const ProcessResult r = runTesmaro({"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", ld}, dir.path());
        EXPECT_EQ(r.status, 1) << ld;
        EXPECT_EQ(r.out, banner + "--------\nSETTINGS\n--------\n- dataset : all\n\n") << ld;
        EXPECT_EQ(r.err, "Error : Output file '" + ld + "' is the same file as input file 'in.bcor'!\n\n") << ld;
        EXPECT_EQ(dir.read("in.bcor"), bcor) << ld;
    }
}

// The binary under an address-space limit of `kilobytes` (one BLAS thread fits 150 MB, but a
// BLAS call that cannot get its buffers spins instead of failing: give BLAS work 600 MB).
// Unused where AddressSanitizer skips the tests that limit the address space.
[[maybe_unused]] ProcessResult runWithLittleMemory(const Args& args, const std::string& workdir,
                                                   const char* kilobytes = "150000") {
    std::string command = std::string("ulimit -v ") + kilobytes + " && OPENBLAS_NUM_THREADS=1 exec '" + TESMARO_BINARY + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    return runProcess("/bin/sh", {"-c", command}, workdir);
}

TEST(Main, ALineTooLongForTheMemoryEndsWithOneReportNamingTheFile) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#else
    TempDir dir;
    // 4 GiB without a line end, sparse: it costs no disk.
    const auto endless = [&](const std::string& name) {
        const std::string path = dir.write(name, "");
        std::filesystem::resize_file(path, uint64_t{4} << 30);
        return name;
    };
    DatasetOptions options;
    options.snps = 3;
    options.samples = 10;
    options.included = {8, 1, 4, 6, 2, 0};
    options.name = "g";
    const Dataset data = makeDataset(dir.path(), options);
    dir.write("t.z", "rsid chromosome position allele1 allele2\nrs1 1 100 A C\nrs2 1 200 G T\n");
    const std::vector<std::string> bgenColumns{"z", "bgen", "bgi", "sample", "incl", "n_samples", "bcor"};
    const auto bgenRun = [&](const std::string& name, const std::string& column, const std::string& file) {
        auto columns = data.columns();
        columns["bcor"] = "g.bcor";
        columns[column] = file;
        writeMasterFile(dir.file(name), bgenColumns, {columns});
        return Args{"--write-bcor", "--read-only-bgen", "--in-files", name};
    };
    const std::string bgenStart = "----------------------\nComputing correlations (1/1)\n----------------------\n"
                                  "- SNP file              : " + data.z + "\n- BGEN file             : " + data.bgen +
                                  "\n- BGEN BGI file         : " + data.bgi + "\n";
    const std::string zDone = "\r- Reading SNP file      : done!   \n\n- Number of samples     : 6\n"
                              "- Number of SNPs        : 3\n\n\r- Reading BGEN indexes  : "
                              "\r- Reading BGEN indexes  : done!   ";
    const std::string bgenSettings = "--------\nSETTINGS\n--------\n- dataset       : all\n"
                                     "- compression   : medium\n- n-threads     : 1\n- sample-miss   : 0.1\n\n";
    const std::string textTitle = "-----------------------\nConverting text to BCOR (1/1)\n-----------------------\n";
    const struct {
        Args args;
        std::string file;  // the file whose line never ends
        std::string out;   // standard output after the banner
    } cases[] = {
        {{"--text-to-bcor", "--in-files", endless("m.txt")}, "m.txt", ""},
        {{"--text-to-bcor", "--in-files",
          dir.write("z.txt", "z;bcor;ld;n_samples\n" + endless("e.z") + ";t.bcor;t.ld;5\n")},
         "e.z", textTitle + "- SNP file              : e.z\n- BCOR file             : t.bcor\n"
                            "- LD matrix             : t.ld\n"},
        {{"--text-to-bcor", "--in-files",
          dir.write("ld.txt", "z;bcor;ld;n_samples\nt.z;t.bcor;" + endless("e.ld") + ";5\n")},
         "e.ld", textTitle + "- SNP file              : t.z\n- BCOR file             : t.bcor\n"
                             "- LD matrix             : e.ld\n\r- Reading SNP file      : done!   \n\n"
                             "- Number of samples     : 5\n- Number of SNPs        : 2\n\n"
                             "- Reading correlations  :"},
        {bgenRun("s.txt", "sample", endless("e.sample")), "e.sample",
         bgenSettings + bgenStart + "- Sample file           : e.sample\n- Sample inclusion file : " + data.incl +
             "\n- BCOR file             : g.bcor\n" + zDone},
        {bgenRun("i.txt", "incl", endless("e.incl")), "e.incl",
         bgenSettings + bgenStart + "- Sample file           : " + data.sample +
             "\n- Sample inclusion file : e.incl\n- BCOR file             : g.bcor\n" + zDone +
             "\r- Reading sample IDs    : -      \r- Reading sample IDs    : +      "},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runWithLittleMemory(c.args, dir.path());
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.out, banner + c.out) << c.file;
        EXPECT_EQ(r.err, "\n\nError : Not enough memory to read file '" + c.file + "'!\n\n") << c.file;
    }
#endif
}

std::size_t reports(const ProcessResult& r) {
    const std::string both = r.out + r.err;
    std::size_t n = 0;
    for (std::size_t at = both.find("Error"); at != std::string::npos; at = both.find("Error", at + 1)) ++n;
    return n;
}

// A BGEN file `name`.bgen of four samples and three SNPs rs1 .. rs3, with its index, Z file and
// sample file; `spoil` changes the file before it is written.
BgenFile smallBgen(const std::function<void(BgenFile&)>& spoil = {}) {
    BgenFile file;
    file.compression = 1;
    for (uint32_t n = 1; n <= 3; ++n) {
        BgenVariant v;
        v.varid = "v" + std::to_string(n);
        v.rsid = "rs" + std::to_string(n);
        v.chromosome = "1";
        v.position = 100 * n;
        v.samples = {diploid(1, 0, 0), diploid(0, 1, 0), diploid(0, 0, 1), diploid(0.5, 0.25, 0.25 * n / 3)};
        file.variants.push_back(v);
    }
    if (spoil) spoil(file);
    return file;
}

void writeSmallDataset(const TempDir& dir, const std::string& name, const BgenFile& file, uint32_t nSamples) {
    writeBgenWithIndex(dir.file(name + ".bgen"), dir.file(name + ".bgi"), file);
    std::vector<ZRow> rows;
    for (const BgenVariant& v : file.variants) rows.push_back({v.rsid, v.chromosome, v.position, "A", "G"});
    writeZFile(dir.file(name + ".z"), rows);
    writeSampleFile(dir.file(name + ".sample"), {"S1", "S2", "S3", "S4"});
    writeMasterFile(dir.file(name + ".txt"), {"z", "bgen", "bgi", "sample", "bcor", "bdose", "n_samples"},
                    {{{"z", name + ".z"}, {"bgen", name + ".bgen"}, {"bgi", name + ".bgi"}, {"sample", name + ".sample"},
                      {"bcor", name + ".bcor"}, {"bdose", name + ".bdose"}, {"n_samples", std::to_string(nSamples)}}});
}

// The stored block of a compressed variant: a declared size D, then `bytes` bytes that start
// like a zstd frame without a content size (and mean nothing to zlib).
[[maybe_unused]] std::vector<uint8_t> declaredBlock(uint32_t declared, std::size_t bytes) {
    std::vector<uint8_t> block{static_cast<uint8_t>(declared), static_cast<uint8_t>(declared >> 8),
                               static_cast<uint8_t>(declared >> 16), static_cast<uint8_t>(declared >> 24),
                               0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x00};
    std::mt19937 rng(5);
    while (block.size() < 4 + bytes) block.push_back(static_cast<uint8_t>(rng()));
    return block;
}

// Every allocation sized from a field of a file is bounded by what the file can hold, or names
// that file when it fails: the run has 150 MB of address space.
TEST(Main, AllocationsSizedFromAFileAreBoundedOrNameTheFile) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#else
    TempDir dir;
    const std::vector<Args> bgenPaths = {{"--write-bcor", "--read-only-bgen"},
                                         {"--write-bcor", "--write-bdose"},
                                         {"--write-bdose", "--bdose-version", "1.1"}};
    const std::string parse = "Error : Could not parse probability data of SNP with rsID 'rs2' in BGEN file ";
    const struct {
        std::string name;
        BgenFile file;
        uint32_t nSamples;
        std::string err;
        std::size_t paths;  // the first paths of bgenPaths
    } bgenCases[] = {
        // Within the largest expansion of zlib (1 MB to 1 GB) and zstd (62 KB to 2 GB), but four
        // samples of two alleles never need more than 10 + 4 + 1008 bytes.
        {"zlib", smallBgen([](BgenFile& f) { f.variants[1].faults.storedBlock = declaredBlock(1000000000, 1000000); }),
         4, parse + "'zlib.bgen'!\n\n", 3},
        {"zstd", smallBgen([](BgenFile& f) {
             f.compression = 2;
             f.variants[1].faults.storedBlock = declaredBlock(2000000000, 62000);
         }),
         4, parse + "'zstd.bgen'!\n\n", 3},
        // A header that claims 4,294,967,295 samples: the list of all of them cannot be made
        // (BDOSE 1.1 would read them from the sample file instead).
        {"wide", smallBgen([](BgenFile& f) { f.faults.numberOfSamples = 4294967295u; }), 4294967295u,
         "\n\nError : Not enough memory to read file 'wide.bgen'!\n\n", 2},
    };
    for (const auto& c : bgenCases) {
        writeSmallDataset(dir, c.name, c.file, c.nSamples);
        for (std::size_t k = 0; k < c.paths; ++k) {
            Args args = bgenPaths[k];
            args.insert(args.end(), {"--in-files", c.name + ".txt", "--n-threads", "2"});
            const ProcessResult r = runWithLittleMemory(args, dir.path());
            SCOPED_TRACE(c.name + " " + joined(args));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(reports(r), 1u);
        }
    }

    // A BDOSE file to read whose BGEN path field claims 1 GiB (sparse: it costs no disk).
    {
        std::string head = "bdose1.1";
        appendLE(head, uint64_t{1} << 30, 4);
        std::string tail;
        appendLE(tail, 0, 8);   // BGEN size, so no first bytes
        appendLE(tail, 0, 8);   // BDOSE size
        appendLE(tail, 4, 4);   // samples
        appendLE(tail, 3, 4);   // SNPs
        std::ofstream out(dir.file("long.bdose"), std::ios::binary);
        out << head;
        out.seekp(static_cast<std::streamoff>(head.size() + (uint64_t{1} << 30)));
        out << tail;
        out.close();
        dir.write("long.txt", "z;bdose;bcor;n_samples\nzlib.z;long.bdose;long.bcor;4\n");
        const ProcessResult r = runWithLittleMemory({"--write-bcor", "--read-bdose", "--in-files", "long.txt"}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\n\nError : Not enough memory to read file 'long.bdose'!\n\n");
        EXPECT_EQ(reports(r), 1u);
    }

    // 1 GiB of free data in the BGEN header are skipped, not held by any thread that reads the
    // header: the runs give the BCOR file and the dosages of the same data without them. (BLAS
    // threads that cannot get their buffers spin instead of failing, so the run that computes
    // correlations under the limit uses one thread.)
    {
        const BgenFile file = smallBgen();
        writeSmallDataset(dir, "plain", file, 4);
        const BgenImage image = buildBgen(file);
        const uint64_t gap = uint64_t{1} << 30;
        std::string bytes(image.bytes.begin(), image.bytes.end());
        putLE(bytes, 0, getLE(bytes, 0, 4) + gap, 4);  // the offset of the first variant
        putLE(bytes, 4, getLE(bytes, 4, 4) + gap, 4);  // the header length
        // The free data start after offset, header length, variant and sample counts and magic.
        std::ofstream out(dir.file("free.bgen"), std::ios::binary);
        out << bytes.substr(0, 20);
        out.seekp(static_cast<std::streamoff>(20 + gap));
        out << bytes.substr(20);
        out.close();
        BgiFile index;
        std::vector<uint8_t> first(bytes.begin(), bytes.begin() + 20);
        first.resize(1000, 0);
        index.metadata.push_back(bgiMetadata("free.bgen", static_cast<int64_t>(bytes.size() + gap), first));
        for (std::size_t v = 0; v < file.variants.size(); ++v)
            index.variants.push_back({file.variants[v].rsid, "1", file.variants[v].position, "A", "G",
                                      static_cast<int64_t>(image.places[v].file_start_position + gap),
                                      static_cast<int64_t>(image.places[v].size_in_bytes)});
        writeBgi(dir.file("free.bgi"), index);
        dir.write("free.txt", "z;bgen;bgi;sample;bcor;bdose;n_samples\n"
                              "plain.z;free.bgen;free.bgi;plain.sample;free.bcor;free.bdose;4\n");
        const Args bcor{"--write-bcor", "--read-only-bgen", "--n-threads", "1"};
        const Args bdose{"--write-bdose", "--bdose-version", "1.1", "--n-threads", "3"};
        for (const Args& mode : {bcor, bdose}) {
            Args plainArgs = mode, freeArgs = mode;
            plainArgs.insert(plainArgs.end(), {"--in-files", "plain.txt"});
            freeArgs.insert(freeArgs.end(), {"--in-files", "free.txt"});
            const ProcessResult plain = runTesmaro(plainArgs, dir.path());
            ASSERT_EQ(plain.status, 0) << plain.err;
            const ProcessResult r = runWithLittleMemory(freeArgs, dir.path(), "600000");
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(dir.read("free.bcor"), dir.read("plain.bcor"));
        EXPECT_EQ(parseBdoseFile(dir.read("free.bdose")).codes, parseBdoseFile(dir.read("plain.bdose")).codes);
    }
#endif
}

// A carriage return that a file brings into a report is shown as "\\r": the Part keeps it as
// part of the identifier, but written raw, the end of the line would overwrite its start.
TEST(Main, ReportsShowCarriageReturnsFromFilesVisibly) {
    TempDir dir;
    writeSmallDataset(dir, "c", smallBgen(), 2);
    dir.write("c.incl", "S1\r\nS2\r\n");
    dir.write("c.txt", "z;bgen;bgi;sample;incl;ld;n_samples\nc.z;c.bgen;c.bgi;c.sample;c.incl;c.ld;2\n");
    dir.write("all.txt", "z;bgen;bgi;ld;n_samples\nc.z;c.bgen;c.bgi;c.ld;4\n");
    dir.write("ids.txt", "rs1\r\nrs2\n");
    const struct {
        Args args;
        std::string err;
        std::string outTail;
    } cases[] = {
        {{"--write-text", "--read-only-bgen", "--in-files", "c.txt"},
         "\n\nError : File 'c.incl' with sample inclusions contains a sample 'S1\\r' in line 1 that is missing from "
         "file 'c.sample'!\n\n",
         ""},
        {{"--write-text", "--read-only-bgen", "--in-files", "all.txt", "--rsids", "ids.txt"}, "",
         "\nError: Encountered SNP with rsID 'rs1\\r' in '--rsids' but it is not included in file 'c.z'!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runTesmaro(c.args, dir.path());
        SCOPED_TRACE(joined(c.args));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        ASSERT_GE(r.out.size(), c.outTail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.outTail.size()), c.outTail);
        EXPECT_EQ(reports(r), 1u);
    }
}

// The inputs of every writing mode in `dir`: a dataset of 10 samples and 3 SNPs in m.txt, with
// its outputs o.bdose, o.bcor and o.ld; a --text-to-bcor dataset in t.txt (t.z and t.ld into
// o.bcor); and in.bcor to convert to text.
struct WritingModes {
    std::string master;
    std::string textMaster;
    std::string secondRsid;  // of the dataset in m.txt

    explicit WritingModes(const TempDir& dir) {
        DatasetOptions options;
        options.snps = 3;
        options.samples = 10;
        options.sampleFile = true;
        const Dataset data = makeDataset(dir.path(), options);
        std::map<std::string, std::string> columns = data.columns();
        columns.insert({{"bdose", "o.bdose"}, {"bcor", "o.bcor"}, {"ld", "o.ld"}});
        const std::vector<std::string> header{"z", "bgen", "bgi", "sample", "bdose", "bcor", "ld", "n_samples"};
        master = writeMasterFile(dir.file("m.txt"), header, {columns});
        secondRsid = data.snps[1].rsid;
        dir.write("in.bcor", buildBcor(10, 1, {{0, "rs1", 100, "1", "A", "C"}, {1, "rs2", 200, "1", "G", "T"}},
                                       {0x60000000}));
        dir.write("t.z", "rsid chromosome position allele1 allele2\nrs1 1 100 A G\nrs2 1 200 C T\n");
        dir.write("t.ld", "1 0.5 \n0.5 1 \n");
        textMaster = dir.write("t.txt", "z;bcor;ld;n_samples\nt.z;o.bcor;t.ld;100\n");
    }
};

// Removes every output of WritingModes, part files included.
void removeOutputs(const TempDir& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("o.", 0) == 0) std::filesystem::remove(entry.path());
}

// A failed close of an output (the fault shim makes it fail with EIO after really closing the
// file, as a network file system may) ends the run with one report, and the stage that wrote
// the file never says "done!".
TEST(Main, AFailedCloseOfAnOutputEndsItsStageWithoutDone) {
    TempDir dir;
    const WritingModes modes(dir);
    const std::string& master = modes.master;
    const std::string& textMaster = modes.textMaster;
    const std::string& rsid = modes.secondRsid;
    const std::string matrixDone = "\r- Writing correlations  : done!";
    const std::string vectorDone = "\r- Writing LD vector     : done!";
    const std::string headerDone = "\r- Writing BCOR header   : done!";
    const std::string failed = "Failed to write to file '";
    const struct {
        Args args;
        std::string output;   // the file whose close fails
        std::string message;  // after "\n\nError : ", before the file name
        std::string done;     // the text of the stage's "done!"
    } cases[] = {
        {{"--write-text", "--read-only-bgen", "--in-files", master}, "o.ld", failed, matrixDone},
        {{"--write-text", "--read-only-bgen", "--rsids", rsid, "--in-files", master}, "o.ld", failed,
         vectorDone},
        {{"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", "o.ld"}, "o.ld", failed, matrixDone},
        {{"--write-bcor", "--read-only-bgen", "--in-files", master}, "o.bcor", failed, headerDone},
        {{"--text-to-bcor", "--in-files", textMaster}, "o.bcor", failed, headerDone},
        {{"--write-bdose", "--write-bcor", "--in-files", master}, "o.bdose", "Failed to write dosages to file '",
         "dosages done!"},
        {{"--write-bdose", "--bdose-version", "1.1", "--in-files", master}, "o.bdose",
         "Failed to write the header to file '", "header done!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.args));
        // Each row starts without outputs: the start-of-run checks create them empty.
        removeOutputs(dir);
        const ProcessResult r =
            runTesmaroWithEnv(faultShim("TESMARO_SHIM_FAIL_CLOSE", dir.file(c.output)), c.args, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\n\nError : " + c.message + c.output + "'!\n\n");
        EXPECT_EQ(reports(r), 1u);
        EXPECT_EQ(r.out.find(c.done), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("- Run time"), std::string::npos) << r.out;
    }
}

// Every writing mode, with the outputs it creates (m.txt and t.txt of WritingModes). BDOSE 1.1
// runs on two threads, so that it makes two part files of each kind.
struct WritingMode {
    Args args;
    std::vector<std::string> outputs;
};
std::vector<WritingMode> writingModes(const WritingModes& modes) {
    return {
        {{"--write-bcor", "--read-only-bgen", "--in-files", modes.master}, {"o.bcor"}},
        {{"--text-to-bcor", "--in-files", modes.textMaster}, {"o.bcor"}},
        {{"--write-text", "--read-only-bgen", "--in-files", modes.master}, {"o.ld"}},
        {{"--bcor-to-text", "--bcor-file", "in.bcor", "--ld-file", "o.ld"}, {"o.ld"}},
        {{"--write-bdose", "--write-bcor", "--in-files", modes.master}, {"o.bdose", "o.bcor"}},
        {{"--write-bdose", "--bdose-version", "1.1", "--n-threads", "2", "--in-files", modes.master},
         {"o.bdose", "o.bdose.meta.tmp0", "o.bdose.meta.tmp1", "o.bdose.bdose.tmp0", "o.bdose.bdose.tmp1"}},
    };
}

// Every file a run creates gets 0666 less the umask, as any plain create: a group-shared folder
// (umask 002) keeps the outputs writable for the group.
TEST(Main, EveryCreatedOutputGetsTheModeTheUmaskLeaves) {
    TempDir dir;
    const WritingModes modes(dir);
    for (const mode_t mask : {mode_t{002}, mode_t{022}, mode_t{077}}) {
        for (const WritingMode& mode : writingModes(modes)) {
            SCOPED_TRACE(joined(mode.args) + " under umask 0" + std::to_string(mask / 8) + std::to_string(mask % 8));
            removeOutputs(dir);
            const mode_t saved = umask(mask);
            const ProcessResult r = runTesmaro(mode.args, dir.path());
            umask(saved);
            ASSERT_EQ(r.status, 0) << r.err;
            for (const std::string& output : mode.outputs) {
                struct stat status {};
                ASSERT_EQ(stat(dir.file(output).c_str(), &status), 0) << output;
                EXPECT_EQ(status.st_mode & 07777, 0666 & ~mask) << output;
            }
        }
    }
}

int leasedFile = -1;

// Gives the lease up as soon as another process's open breaks it.
void giveUpLease(int) {
    fcntl(leasedFile, F_SETLEASE, F_UNLCK);
    _exit(0);
}

// A process that holds a read lease on `path` (as a file server's oplock or delegation does)
// until an open breaks it: it then gives the lease up and exits 0. Told the run is over while it
// still holds the lease (end()), it exits 3. Its word is 'y' once it holds the lease, 'n' when
// the file system grants none.
std::unique_ptr<HelperProcess> holdReadLease(const std::string& path) {
    using Ready = HelperProcess::Ready;
    using AwaitEnd = HelperProcess::AwaitEnd;
    return std::make_unique<HelperProcess>([&](const Ready& ready, const AwaitEnd& awaitEnd) {
        struct sigaction action {};
        action.sa_handler = giveUpLease;
        sigaction(SIGIO, &action, nullptr);
        leasedFile = open(path.c_str(), O_RDONLY);
        const bool granted = leasedFile >= 0 && fcntl(leasedFile, F_SETLEASE, F_RDLCK) == 0;
        ready(granted ? 'y' : 'n');
        if (!granted) return 2;
        awaitEnd();
        return 3;
    });
}

// An existing output on which another process holds a lease is opened as any program opens
// it: the open breaks the lease, waits for its holder to give it up, and the run writes what a
// fresh run writes. Also where /proc is not mounted.
TEST(Main, AnOutputUnderALeaseIsWrittenOnceTheHolderGivesItUp) {
    TempDir dir;
    const WritingModes modes(dir);
    for (const WritingMode& mode : writingModes(modes)) {
        removeOutputs(dir);
        ASSERT_EQ(runTesmaro(mode.args, dir.path()).status, 0);
        const std::map<std::string, std::string> fresh = dir.regularFiles();
        const std::string& leased = mode.outputs.front();
        for (const bool proc : {true, false}) {
            SCOPED_TRACE(joined(mode.args) + (proc ? "" : " without /proc"));
            dir.write(leased, "old bytes");
            const std::unique_ptr<HelperProcess> holderProcess = holdReadLease(dir.file(leased));
            if (holderProcess->word() != 'y') GTEST_SKIP() << "this file system grants no leases";
            const pid_t holder = holderProcess->pid();
            const std::map<std::string, std::string> environment =
                proc ? std::map<std::string, std::string>{} : faultShim("TESMARO_SHIM_NO_PROC_FD", "1");
            const ProcessResult r = runTesmaroWithEnv(environment, mode.args, dir.path(), 60);
            // The run is over: a lease that it broke was given up before its open returned.
            holderProcess->end();
            int code = -1;
            ASSERT_EQ(waitpid(holder, &code, 0), holder);
            EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 0) << "the lease was not broken";
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(changedFiles(fresh, dir.regularFiles()), "");
        }
    }
}

// A FIFO that takes an output's place after the writer opened it (the fault shim swaps it in
// right after the open that empties the file) never makes the run wait for a reader: no writer
// opens its output by name again without refusing a FIFO. A part file is only ever used
// through the descriptor its writer opened, so the run completes.
TEST(Main, AFifoSwappedInForAnOutputNeverBlocksTheRun) {
    TempDir dir;
    const WritingModes modes(dir);
    const std::vector<WritingMode> all = writingModes(modes);
    const Args& engineBcor = all[0].args;
    const Args& textToBcor = all[1].args;
    const Args& bdose10 = all[4].args;
    const Args& bdose11 = all[5].args;
    const struct {
        Args args;
        std::string swapped;
        std::string report;   // after "\n\nError : "; empty: the run succeeds
        uint64_t blockBytes;  // of a BCOR file whose block write is refused, named in the report
    } cases[] = {
        {engineBcor, "o.bcor", "", 12},
        {textToBcor, "o.bcor", "", 4},
        {bdose10, "o.bdose", "Failed to write dosages to file 'o.bdose'!", 0},
        {bdose11, "o.bdose", "Failed to write to file 'o.bdose'!", 0},
        {bdose11, "o.bdose.meta.tmp0", "", 0},
        {bdose11, "o.bdose.bdose.tmp1", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.args) + " " + c.swapped);
        removeOutputs(dir);
        ASSERT_EQ(runTesmaro(c.args, dir.path()).status, 0);
        const std::string fresh = dir.read(c.swapped.find(".tmp") != std::string::npos ? "o.bdose" : c.swapped);
        std::string report = c.report;
        if (c.blockBytes > 0)
            report = "Failed to write " + std::to_string(c.blockBytes) + " bytes at offset " +
                     std::to_string(fresh.size() - c.blockBytes) + " in file 'o.bcor'!";
        for (const bool proc : {true, false}) {
            SCOPED_TRACE(proc ? "" : "without /proc");
            removeOutputs(dir);
            std::map<std::string, std::string> environment =
                faultShim("TESMARO_SHIM_FIFO_AFTER_TRUNCATE", dir.file(c.swapped));
            if (!proc) environment["TESMARO_SHIM_NO_PROC_FD"] = "1";
            const ProcessResult r = runTesmaroWithEnv(environment, c.args, dir.path(), 20);
            struct stat status {};
            ASSERT_EQ(lstat(dir.file(c.swapped).c_str(), &status), 0);
            EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "the shim swapped no FIFO in";
            if (report.empty()) {
                EXPECT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(dir.read("o.bdose"), fresh);
                continue;
            }
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(r.err, "\n\nError : " + report + "\n\n");
            EXPECT_EQ(reports(r), 1u);
        }
    }
}

}  // namespace
