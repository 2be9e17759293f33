// The run driver through the real binary: exact standard output, standard error and exit status.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "flag.h"
#include "support/bcorfile.h"
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
    EXPECT_EQ(dir.read("a.bcor"), "");
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

TEST(Main, ALineTooLongForTheMemoryEndsWithOneReportNamingTheFile) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit allows";
#else
    // The binary under a 150 MB address-space limit (one BLAS thread fits it).
    const auto runWithLittleMemory = [](const Args& args, const std::string& workdir) {
        std::string command = std::string("ulimit -v 150000 && OPENBLAS_NUM_THREADS=1 exec '") + TESMARO_BINARY + "'";
        for (const std::string& a : args) command += " '" + a + "'";
        return runProcess("/bin/sh", {"-c", command}, workdir);
    };
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

}  // namespace
