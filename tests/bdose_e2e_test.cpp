// BDOSE files through the real binary: written alone or on the way to a BCOR file, read back
// with --read-bdose (version 1.0 mapped, 1.1 decoded per thread, with and without --memory
// tiles and an inclusion file), each BCOR compared with the one computed from the BGEN dosages
// in memory; the sample-count and size checks of a BDOSE file to read; damaged row positions,
// offset tables, blocks and record numbers, which end the run instead of giving wrong numbers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "support/bcorfile.h"
#include "support/bdosefixture.h"
#include "support/dataset.h"
#include "support/oracle.h"
#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

using Args = std::vector<std::string>;
using Columns = std::map<std::string, std::string>;

const std::vector<std::string> header{"z", "bgen", "bgi", "bdose", "bcor", "ld", "sample", "incl", "n_samples"};

// 40 SNPs of 80 samples, one of them constant (all its correlations NaN) and one missing for
// every sample (excluded); the inclusion file lists 60 of the samples in a shuffled order.
struct Fixture {
    Fixture() {
        DatasetOptions options;
        options.seed = 29;
        options.snps = 40;
        options.samples = 80;
        options.kinds = {{5, SnpKind::Constant}, {17, SnpKind::AllMissing}};
        for (uint32_t i = 0; i < 60; ++i) options.included.push_back((i * 37 + 11) % 80);
        data = makeDataset(dir.path(), options);
    }

    // The dataset with all 80 samples (sample file, no inclusion file) or with the 60 of the
    // inclusion file; `extra` adds or replaces columns.
    Columns columns(bool subset, const Columns& extra) const {
        Columns map{{"z", data.z}, {"bgen", data.bgen}, {"bgi", data.bgi}, {"sample", data.sample},
                    {"n_samples", subset ? "60" : "80"}};
        if (subset) map["incl"] = data.incl;
        for (const auto& [column, value] : extra) map[column] = value;
        return map;
    }

    // Runs tesmaro on a master file of the one dataset; the output files live in the directory.
    ProcessResult run(const std::string& name, const Columns& map, Args args) const {
        const std::string master = writeMasterFile(dir.file(name + ".txt"), header, {map});
        args.insert(args.end(), {"--in-files", master});
        return runTesmaro(args, dir.path());
    }

    // Runs and expects success; returns the parsed BCOR file `bcorName`.bcor.
    BcorImage bcor(const std::string& bcorName, const Columns& map, const Args& args) const {
        const ProcessResult r = run(bcorName, map, args);
        EXPECT_EQ(r.status, 0) << bcorName << ": " << r.err;
        EXPECT_EQ(r.err, "") << bcorName;
        return parseBcor(dir.read(bcorName + ".bcor"));
    }

    std::string file(const std::string& name) const { return dir.file(name); }

    TempDir dir;
    Dataset data;
};

Columns with(const std::string& bdose, const std::string& bcor) {
    Columns extra{{"bdose", bdose + ".bdose"}};
    if (!bcor.empty()) extra["bcor"] = bcor + ".bcor";
    return extra;
}

double decode(const BcorImage& image, uint64_t x) {
    const int k[] = {14, 30, 62, 6};
    const double scale = std::ldexp(1.0, k[image.code]);
    return x == static_cast<uint64_t>(3.25 * scale) ? std::numeric_limits<double>::quiet_NaN()
                                                    : static_cast<double>(x) / scale - 1.0;
}

// Same SNPs and sample count; every correlation within `tolerance` of the reference, NaN where
// it is NaN; tolerance 0 asks for identical stored values.
void expectSameCorrelations(const BcorImage& want, const BcorImage& got, double tolerance, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(got.nSamples, want.nSamples);
    ASSERT_EQ(got.nSNPs, want.nSNPs);
    ASSERT_EQ(got.code, want.code);
    for (uint32_t i = 0; i < want.nSNPs; ++i) EXPECT_EQ(got.snps[i].rsid, want.snps[i].rsid);
    ASSERT_EQ(got.codes.size(), want.codes.size());
    if (tolerance == 0) {
        EXPECT_EQ(got.codes, want.codes);
        return;
    }
    for (std::size_t p = 0; p < want.codes.size(); ++p) {
        const double a = decode(want, want.codes[p]), b = decode(got, got.codes[p]);
        if (std::isnan(a))
            EXPECT_TRUE(std::isnan(b)) << "pair " << p;
        else
            EXPECT_NEAR(a, b, tolerance) << "pair " << p;
    }
}

// A budget that cuts the 40 SNPs into tiles of 8 (15 tile pairs) with 80 samples, of 10 with 60.
const std::string tilesOf8 = "1.7e-5";

TEST(BdoseEndToEnd, WriteBdoseAloneRunsTheDosagesLoop) {
    const Fixture f;
    const ProcessResult r =
        f.run("alone", f.columns(false, with("alone", "")), {"--write-bdose", "--bdose-version", "1.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string summary = "\n- Number of samples     : 80\n- Number of SNPs        : 40\n\n";
    const std::size_t title = r.out.find("-----------------\nComputing dosages (1/1)\n-----------------\n");
    ASSERT_NE(title, std::string::npos) << r.out;
    const std::size_t first = r.out.find(summary, title);
    ASSERT_NE(first, std::string::npos) << r.out;
    const std::size_t second = r.out.find(summary, first + summary.size());
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("- Run time              : ", second), std::string::npos);
    EXPECT_EQ(r.out.find("Computing correlations"), std::string::npos);
    EXPECT_EQ(r.out.find("Number of tiles"), std::string::npos);
    EXPECT_EQ(f.dir.read("alone.bdose").substr(0, 8), "bdose1.1");
}

// Version 1.0 stores the standardised rows themselves: the correlations are those of the BGEN
// path bit for bit. Version 1.1 stores integer dosages: equal within the code's quantisation.
TEST(BdoseEndToEnd, BcorFromWrittenBdoseMatchesTheBgenPath) {
    const Fixture f;
    const Columns bgen = f.columns(false, {{"bcor", "ref.bcor"}});
    const BcorImage medium = f.bcor("ref", bgen, {"--write-bcor", "--read-only-bgen"});
    const BcorImage high =
        f.bcor("refhigh", f.columns(false, {{"bcor", "refhigh.bcor"}}),
               {"--write-bcor", "--read-only-bgen", "--compression", "high"});

    const Columns v10 = f.columns(false, with("w10", "w10"));
    expectSameCorrelations(medium, f.bcor("w10", v10, {"--write-bcor", "--write-bdose"}), 0, "1.0");
    EXPECT_EQ(f.dir.read("w10.bdose").substr(0, 8), "bdose1.0");
    const Columns v11 = f.columns(false, with("w11", "w11"));
    expectSameCorrelations(
        high, f.bcor("w11", v11, {"--write-bcor", "--write-bdose", "--bdose-version", "1.1", "--compression", "high"}),
        1e-12, "1.1 high");
    const Columns v11m = f.columns(false, with("w11m", "w11m"));
    expectSameCorrelations(medium, f.bcor("w11m", v11m, {"--write-bcor", "--write-bdose", "--bdose-version", "1.1"}),
                           1e-6, "1.1 medium");
    const Columns v11u = f.columns(false, with("w11u", "w11u"));
    const BcorImage ultra = f.bcor("w11u", v11u,
                                   {"--write-bcor", "--write-bdose", "--bdose-version", "1.1", "--compression",
                                    "ultra-low", "--n-threads", "3"});
    const BcorImage ultraRef = f.bcor("refu", f.columns(false, {{"bcor", "refu.bcor"}}),
                                      {"--write-bcor", "--read-only-bgen", "--compression", "ultra-low"});
    expectSameCorrelations(ultraRef, ultra, 0.1, "1.1 ultra-low");
}

// Each written file read back with --read-bdose, in one tile and in tiles of 8 SNPs, at 1 and 8
// threads: the same stored correlations as the BGEN path (1.0) or within quantisation (1.1), and
// the same bytes at every thread count.
TEST(BdoseEndToEnd, BcorFromReadBdoseMatchesTheBgenPathAtEveryThreadCount) {
    const Fixture f;
    const BcorImage high = f.bcor("ref", f.columns(false, {{"bcor", "ref.bcor"}}),
                                  {"--write-bcor", "--read-only-bgen", "--compression", "high"});
    ASSERT_EQ(f.run("w10", f.columns(false, with("v10", "w10")), {"--write-bcor", "--write-bdose"}).status, 0);
    ASSERT_EQ(f.run("w11", f.columns(false, with("v11", "")), {"--write-bdose", "--bdose-version", "1.1"}).status, 0);

    const struct {
        std::string bdose;
        double tolerance;
    } versions[] = {{"v10", 0}, {"v11", 1e-6}};
    for (const auto& v : versions) {
        std::string firstBytes;
        for (const Args& extra : {Args{}, Args{"--memory", tilesOf8}}) {
            for (const char* threads : {"1", "8"}) {
                const std::string name = v.bdose + "r" + threads + (extra.empty() ? "" : "m");
                Args args{"--write-bcor", "--read-bdose", "--compression", "high", "--n-threads", threads};
                args.insert(args.end(), extra.begin(), extra.end());
                const BcorImage got = f.bcor(name, f.columns(false, with(v.bdose, name)), args);
                // Tiles change only the order of the sums.
                const double tolerance = v.tolerance == 0 && !extra.empty() ? 1e-12 : v.tolerance;
                expectSameCorrelations(high, got, tolerance, name);
                const std::string bytes = f.dir.read(name + ".bcor");
                if (threads == std::string("1"))
                    firstBytes = bytes;
                else
                    EXPECT_EQ(bytes, firstBytes) << name;
            }
        }
    }
}

// A 1.1 file of all 80 samples read for the 60 samples of an inclusion file, in its order.
TEST(BdoseEndToEnd, ReadBdoseWithAnInclusionFile) {
    const Fixture f;
    ASSERT_EQ(f.run("w11", f.columns(false, with("all", "")), {"--write-bdose", "--bdose-version", "1.1",
                                                                "--compression", "high"}).status, 0);
    const BcorImage ref = f.bcor("ref", f.columns(true, {{"bcor", "ref.bcor"}}),
                                 {"--write-bcor", "--read-only-bgen", "--compression", "high"});
    for (const Args& extra : {Args{"--n-threads", "1"}, Args{"--n-threads", "8", "--memory", tilesOf8}}) {
        const std::string name = "sub" + extra[1];
        Args args{"--write-bcor", "--read-bdose", "--compression", "high"};
        args.insert(args.end(), extra.begin(), extra.end());
        expectSameCorrelations(ref, f.bcor(name, f.columns(true, with("all", name)), args), 1e-12, name);
    }
}

// --write-text --rsids from a 1.0 file gives the text of the BGEN path; from 1.1 at 8 threads
// in tiles too.
TEST(BdoseEndToEnd, LdVectorFromBdose) {
    const Fixture f;
    const std::string rsids = f.data.snps[3].rsid + "," + f.data.snps[17].rsid + "," + f.data.snps[30].rsid;
    ASSERT_EQ(f.run("w10", f.columns(false, with("v10", "w10")), {"--write-bcor", "--write-bdose"}).status, 0);
    const auto text = [&](const std::string& name, const Columns& extra, const Args& args) {
        Columns map = f.columns(false, extra);
        map["ld"] = name + ".ld";
        Args all{"--write-text", "--rsids", rsids};
        all.insert(all.end(), args.begin(), args.end());
        const ProcessResult r = f.run(name, map, all);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return f.dir.read(name + ".ld");
    };
    const std::string ref = text("ref", {}, {"--read-only-bgen"});
    EXPECT_EQ(text("t10", with("v10", ""), {"--read-bdose"}), ref);
    EXPECT_EQ(text("t10m", with("v10", ""), {"--read-bdose", "--memory", tilesOf8, "--n-threads", "8"}), ref);
}

TEST(BdoseEndToEnd, SampleCountAndSizeChecksOfABdoseFileToRead) {
    const Fixture f;
    ASSERT_EQ(f.run("w10", f.columns(false, with("v10", "w10")), {"--write-bcor", "--write-bdose"}).status, 0);
    ASSERT_EQ(f.run("w11", f.columns(false, with("v11", "")), {"--write-bdose", "--bdose-version", "1.1"}).status, 0);
    f.dir.write("long.bdose", f.dir.read("v11.bdose") + "x");
    const std::string master = f.file("m.txt");
    const auto columns = [&](const std::string& n, bool sample, bool incl, const std::string& bdose) {
        Columns map{{"z", f.data.z}, {"bdose", bdose + ".bdose"}, {"bcor", "out.bcor"}, {"n_samples", n}};
        if (sample) map["sample"] = f.data.sample;
        if (incl) map["incl"] = f.data.incl;
        return map;
    };
    const auto missing = [&](const std::string& column) {
        return "Master file '" + master + "' is missing an entry in line 2 column '" + column +
               "' because 60 samples are specified in the master file but BDOSE file includes 80 samples!";
    };
    const struct {
        Columns map;
        std::string message;
    } cases[] = {
        {columns("90", true, true, "v11"), "File 'v11.bdose' contains 80 samples but 90 samples are specified in the "
                                           "master file '" + master + "'!"},
        {columns("60", false, true, "v11"), missing("sample")},
        {columns("60", true, false, "v10"), missing("incl")},
        {columns("80", false, false, "none"), "File 'none.bdose' cannot be opened!"},
        {columns("80", false, false, "long"),
         "Recorded size of BDOSE file 'long.bdose' (" +
             convertByteToHumanReadableCount(static_cast<double>(f.dir.read("v11.bdose").size())) +
             ") is different from the actual filesize (" +
             convertByteToHumanReadableCount(static_cast<double>(f.dir.read("long.bdose").size())) + ")!"},
        // A 1.0 file stores no sample IDs: it cannot give the 60 samples of the inclusion file.
        {columns("60", true, true, "v10"),
         "File 'v10.bdose' contains 80 samples but 60 samples are specified for the dataset; a BDOSE file of "
         "version 1.0 stores no sample IDs, so it cannot select samples!"},
    };
    for (const auto& c : cases) {
        const std::string path = writeMasterFile(master, header, {c.map});
        const ProcessResult r = runTesmaro({"--write-bcor", "--read-bdose", "--in-files", path}, f.dir.path());
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "Error : " + c.message + "\n\n");
    }
}

// A fixed status line of the BDOSE writer, padded to 57 characters with its carriage return.
std::string bdoseLine(const std::string& text) {
    std::string line = "\r- Writing BDOSE file    : " + text;
    line.resize(57, ' ');
    return line;
}

// "\r- Writing BDOSE file    : " + stage + each progress text, as the stages write them.
std::string bdoseSteps(const std::string& stage, const std::vector<std::string>& progress) {
    std::string text;
    for (const auto& p : progress) text += "\r- Writing BDOSE file    : " + stage + " " + p;
    return text;
}

// Three SNPs of ten samples with a sample file, in a master file whose bdose and bcor columns
// are t.bdose and t.bcor; the pieces of standard output that every run on it shares.
struct Transcript {
    Transcript() {
        DatasetOptions options;
        options.seed = 7;
        options.snps = 3;
        options.samples = 10;
        options.sampleFile = true;
        data = makeDataset(dir.path(), options);
        Columns map = data.columns();
        map["bdose"] = "t.bdose";
        map["bcor"] = "t.bcor";
        master = writeMasterFile(dir.file("m.txt"), header, {map});
    }

    ProcessResult run(Args args) const {
        args.insert(args.end(), {"--in-files", master});
        const ProcessResult r = runTesmaro(args, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r;
    }

    // Banner and SETTINGS, with the bdose-version line when `version` is not empty.
    static std::string start(const std::string& version) {
        return "\n|--------------------------------------|\n| Welcome to Tesmaro v2.0              |\n"
               "|                                      |\n|                                      |\n"
               "| Help :                               |\n| - ./tesmaro --help                   |\n"
               "|                                      |\n|--------------------------------------|\n\n"
               "--------\nSETTINGS\n--------\n- dataset       : all\n" +
               (version.empty() ? "" : "- bdose-version : " + version + "\n") +
               "- compression   : medium\n- n-threads     : 1\n- sample-miss   : 0.1\n\n";
    }

    // The file list; `bgen` adds the BGEN and index files (and the sample file, which only
    // version 1.1 keeps when the dataset uses every sample), `bcor` the BCOR file.
    std::string files(bool bgen, char version, bool bcor) const {
        std::string text = "- SNP file              : " + data.z + "\n";
        if (bgen) text += "- BGEN file             : " + data.bgen + "\n- BGEN BGI file         : " + data.bgi + "\n";
        text += std::string("- BDOSE file            : t.bdose (v1.") + version + ")\n";
        if (bgen && version == '1') text += "- Sample file           : " + data.sample + "\n";
        if (bcor) text += "- BCOR file             : t.bcor\n";
        return text;
    }

    static constexpr const char* summary = "\n- Number of samples     : 10\n- Number of SNPs        : 3\n\n";
    static constexpr const char* zDone = "\r- Reading SNP file      : done!   \n";
    static constexpr const char* index = "\r- Reading BGEN indexes  : \r- Reading BGEN indexes  : done!   ";
    // The sample file holds its ten IDs on lines 3 to 12: signs at lines 6 and 11.
    static constexpr const char* samples = "\r- Reading sample IDs    : -      \r- Reading sample IDs    : +      ";
    static constexpr const char* correlations =
        "- Number of tiles       : 1\n\r- Processing            : 0/100%\r- Processing            : done!   \n"
        "\r- Writing BCOR header   : 33.333%\r- Writing BCOR header   : done!\r- Converting BCOR data  :        "
        "\r- Converting BCOR data  : 0/100%\r- Converting BCOR data  : 33/100%\r- Converting BCOR data  : 66/100%"
        "\r- Writing BCOR file     : done!  \n";
    static constexpr const char* runTime = "- Run time              : 0 hours, 0 minutes, 0 seconds\n\n";
    static constexpr const char* correlationsTitle =
        "----------------------\nComputing correlations (1/1)\n----------------------\n";

    TempDir dir;
    Dataset data;
    std::string master;
};

const std::vector<std::string> thirds{"33.333%", "66.667%", "100.000%"};
const std::vector<std::string> wholeThirds{"0/100%", "33/100%", "66/100%"};

// The whole standard output of runs where the master file, the Z, index and sample readers, the
// BDOSE writer and reader, the engine and the BCOR writer meet (one thread, so that the shared
// progress counters are read in a fixed order).
TEST(BdoseEndToEnd, WholeStandardOutputOfWritingAndReadingAVersion10File) {
    const Transcript t;
    const std::string writing =
        bdoseLine("header") + bdoseLine("header done!") + bdoseLine("meta information 0.000%") +
        bdoseSteps("meta information", {"0.000%", "33.333%", "66.667%"}) + bdoseLine("meta information done!") +
        bdoseLine("init missingness 0.000%") + bdoseSteps("init missingness", thirds) +
        bdoseLine("init missingness done!") + bdoseLine("init offsets 0.000%") + bdoseSteps("init offsets", thirds) +
        bdoseLine("init offsets done!") + bdoseLine("dosages 0.000%") + bdoseSteps("dosages", wholeThirds) +
        bdoseLine("dosages done!") + bdoseLine("missingness 0.000%") + bdoseSteps("missingness", thirds) +
        bdoseLine("missingness done!") + bdoseLine("offsets 0.000%") + bdoseSteps("offsets", thirds) +
        bdoseLine("offsets done!") + bdoseLine("done!") + "\n";

    const ProcessResult write = t.run({"--write-bdose", "--write-bcor"});
    EXPECT_EQ(write.out, Transcript::start("1.0") + Transcript::correlationsTitle + t.files(true, '0', true) +
                             Transcript::zDone + Transcript::summary + Transcript::index + writing +
                             Transcript::correlations + Transcript::runTime);
    const std::string written = t.dir.read("t.bcor");

    const ProcessResult read = t.run({"--write-bcor", "--read-bdose"});
    EXPECT_EQ(read.out, Transcript::start("") + Transcript::correlationsTitle + t.files(false, '0', true) +
                            Transcript::zDone + Transcript::summary + Transcript::correlations + Transcript::runTime);
    EXPECT_EQ(t.dir.read("t.bcor"), written);
}

TEST(BdoseEndToEnd, WholeStandardOutputOfWritingAndReadingAVersion11File) {
    const Transcript t;
    const std::string writing =
        bdoseLine("header") + bdoseLine("header done!") + bdoseLine("meta information (1/2) 0.000%") +
        bdoseSteps("meta information (1/2)", wholeThirds) + bdoseLine("meta information (1/2) done!") +
        bdoseLine("meta information (2/2) 0.000%") + bdoseSteps("meta information (2/2)", {"0/100%"}) +
        bdoseLine("meta information (2/2) done!") + bdoseLine("sample IDs 0.000%") +
        bdoseSteps("sample IDs", {"10.000%", "20.000%", "30.000%", "40.000%", "50.000%", "60.000%", "70.000%",
                                  "80.000%", "90.000%", "100.000%"}) +
        bdoseLine("sample IDs done!") + bdoseLine("init offsets 0.000%") + bdoseLine("init offsets done!") +
        bdoseLine("dosages (1/2) 0.000%") + bdoseSteps("dosages (1/2)", wholeThirds) +
        bdoseLine("dosages (1/2) done!") + bdoseLine("dosages (2/2) 0.000%") +
        bdoseSteps("dosages (2/2)", {"0/100%"}) + bdoseLine("dosages (2/2) done!") + bdoseLine("offsets 0.000%") +
        "\r- Writing BDOSE file    :offsets 0/100%" + bdoseLine("offsets done!") + bdoseLine("done!") + "\n";

    const ProcessResult write = t.run({"--write-bdose", "--bdose-version", "1.1"});
    EXPECT_EQ(write.out, Transcript::start("1.1") + "-----------------\nComputing dosages (1/1)\n-----------------\n" +
                             t.files(true, '1', false) + Transcript::zDone + Transcript::summary +
                             Transcript::index + Transcript::samples + writing + Transcript::summary +
                             Transcript::runTime);

    const ProcessResult read = t.run({"--write-bcor", "--read-bdose"});
    EXPECT_EQ(read.out, Transcript::start("") + Transcript::correlationsTitle + t.files(false, '1', true) +
                            Transcript::zDone + Transcript::summary + Transcript::correlations + Transcript::runTime);
}

// Another process cuts a 1.0 file short while the run reads its rows through the map (the fault
// shim truncates it right after its first row is mapped): one report naming the file and status
// 1 instead of SIGBUS; standard output stops where the run did. The run without the shim prints
// the whole transcript.
TEST(BdoseEndToEnd, AVersion10FileCutShortWhileItsRowsAreReadEndsWithOneReport) {
    const Transcript t;
    t.run({"--write-bdose", "--write-bcor"});
    const std::string upToTheRows = Transcript::start("") + Transcript::correlationsTitle +
                                    t.files(false, '0', true) + Transcript::zDone + Transcript::summary;
    EXPECT_EQ(t.run({"--write-bcor", "--read-bdose"}).out,
              upToTheRows + Transcript::correlations + Transcript::runTime);

    const ProcessResult cut = runTesmaroWithEnv(faultShim("TESMARO_SHIM_CUT_AFTER_MMAP", t.dir.file("t.bdose")),
                                                {"--write-bcor", "--read-bdose", "--in-files", t.master}, t.dir.path());
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "Error : BDOSE file 't.bdose' changed while it was being read!\n\n");
    EXPECT_EQ(cut.out, upToTheRows + "- Number of tiles       : 1\n\r- Processing            : 0/100%");
    EXPECT_EQ(t.dir.read("t.bdose"), "");
}

// BDOSE files made by the fixture builder, intact or damaged, read with --write-bcor --read-bdose.

// SNP i of a fixture: 12 samples, dosages in steps of 1/4 (exact in every code but ultra-low),
// none constant; SNPs with an even number miss one sample (below the 10% missing-data limit).
BdoseFixtureSnp patternSnp(uint32_t i) {
    std::vector<double> dosages;
    for (uint32_t j = 0; j < 12; ++j) dosages.push_back(static_cast<double>((i * 7 + j * 5 + i * j * j) % 9) / 4.0);
    if (i % 2 == 0) dosages[(i + 3) % 12] = std::numeric_limits<double>::quiet_NaN();
    return fixtureSnp("rs" + std::to_string(i + 1), 1000 + 10 * i, dosages);
}

struct FixtureRun {
    explicit FixtureRun(const std::vector<BdoseFixtureSnp>& zSnps) {
        std::vector<ZRow> rows;
        for (const BdoseFixtureSnp& snp : zSnps)
            rows.push_back({snp.rsid, snp.chromosome, snp.position, snp.allele1, snp.allele2});
        writeZFile(dir.file("f.z"), rows);
        master = writeMasterFile(dir.file("m.txt"), header,
                                 {{{"z", "f.z"}, {"bdose", "f.bdose"}, {"bcor", "f.bcor"}, {"n_samples", "12"}}});
    }

    ProcessResult run(const BdoseImage& image, const std::string& threads) const {
        image.save(dir.file("f.bdose"));
        return runTesmaro({"--write-bcor", "--read-bdose", "--compression", "high", "--n-threads", threads,
                           "--in-files", master},
                          dir.path());
    }

    // The run ends with exactly `message` as its one report, exit status 1, and nothing on
    // standard output after the dataset summary says "done!".
    void expectFailure(const BdoseImage& image, const std::string& threads, const std::string& message) const {
        SCOPED_TRACE("threads " + threads);
        const ProcessResult r = run(image, threads);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error : " + message + "\n\n");
        const std::size_t summary = r.out.rfind("- Number of SNPs        : ");
        ASSERT_NE(summary, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("done!", summary), std::string::npos) << r.out.substr(summary);
        EXPECT_EQ(r.out.find("- Run time"), std::string::npos);
    }

    // The run succeeds and its BCOR file holds, pair by pair in Z-file order, the Pearson
    // correlations of the mean-imputed dosages of `zSnps`.
    void expectPearson(const BdoseImage& image, const std::string& threads,
                       const std::vector<BdoseFixtureSnp>& zSnps) const {
        SCOPED_TRACE("threads " + threads);
        const ProcessResult r = run(image, threads);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const BcorImage bcor = parseBcor(dir.read("f.bcor"));
        ASSERT_EQ(bcor.nSNPs, zSnps.size());
        EXPECT_EQ(bcor.nSamples, 12u);
        std::size_t pair = 0;
        for (std::size_t a = 0; a < zSnps.size(); ++a) {
            EXPECT_EQ(bcor.snps[a].rsid, zSnps[a].rsid);
            for (std::size_t b = a + 1; b < zSnps.size(); ++b, ++pair)
                EXPECT_NEAR(decode(bcor, bcor.codes.at(pair)),
                            pearson(meanImputed(zSnps[a].dosages), meanImputed(zSnps[b].dosages)), 1e-12)
                    << zSnps[a].rsid << " " << zSnps[b].rsid;
        }
    }

    TempDir dir;
    std::string master;
};

// `count` zero bytes inserted at `at`, and the new size recorded in the header (the master-file
// check compares it with the file's size).
void insertBytes(BdoseImage& image, uint64_t at, uint64_t count) {
    image.bytes.insert(image.bytes.begin() + static_cast<std::ptrdiff_t>(at), count, 0);
    image.putU64(image.layout.bdoseSizeField, image.bytes.size());
}

// The first two records trade places, each keeping its SNP number.
void swapFirstRecords(BdoseImage& image) {
    const auto at = [&](std::size_t k) {
        return image.bytes.begin() + static_cast<std::ptrdiff_t>(image.layout.records.at(k));
    };
    std::rotate(at(0), at(1), at(2));
}

using Damage = std::function<void(BdoseImage&)>;

struct DamageCase {
    std::string name;
    Damage damage;
    std::string message;  // after "Error : "
};

// Version 1.0 rows stand at fixed places and each record holds its own place as its number: a
// row position one byte late (misaligned rows), two rows at one place, rows traded or a record
// with another number end the run instead of giving wrong correlations.
TEST(BdoseEndToEnd, DamagedVersion10RowPositionsAndRecordNumbersEndTheRun) {
    // The file stores the standardised rows; the correlations are those of the raw dosages.
    std::vector<BdoseFixtureSnp> raw, stored;
    for (uint32_t i = 0; i < 5; ++i) {
        raw.push_back(patternSnp(i));
        stored.push_back(raw.back());
        stored.back().dosages = twoPassStandardised(raw.back().dosages, &stored.back().missing);
    }
    BdoseFixture fixture;
    fixture.v11 = false;
    fixture.numSamples = 12;
    fixture.snps = stored;
    const BdoseImage good = buildBdose(fixture);
    const BdoseLayout& at = good.layout;
    const FixtureRun run(raw);
    run.expectPearson(good, "1", raw);

    const auto entry = [&](uint32_t i) { return at.offsetTable + 8 * uint64_t{i}; };
    const std::vector<DamageCase> cases = {
        {"row 2 one byte late", [&](BdoseImage& i) { i.putU64(entry(1), at.blocks[1] + 1); },
         "BDOSE file 'f.bdose' holds an invalid offset for the row of the #2 SNP!"},
        {"rows 3 and 4 at one place", [&](BdoseImage& i) { i.putU64(entry(3), at.blocks[2]); },
         "BDOSE file 'f.bdose' holds an invalid offset for the row of the #4 SNP!"},
        {"rows 2 and 3 traded", [&](BdoseImage& i) {
             i.putU64(entry(1), at.blocks[2]);
             i.putU64(entry(2), at.blocks[1]);
         },
         "BDOSE file 'f.bdose' holds an invalid offset for the row of the #2 SNP!"},
        {"records 1 and 2 traded with their numbers", swapFirstRecords,
         "BDOSE file 'f.bdose' holds an invalid SNP number in the record of the #1 SNP!"},
        {"record 4 holding number 7", [&](BdoseImage& i) { i.putU32(at.records[3] + 4, 7); },
         "BDOSE file 'f.bdose' holds an invalid SNP number in the record of the #4 SNP!"},
        // Read as version 1.1, the first byte of the meta block (a record's length) is the code.
        {"magic of version 1.1", [&](BdoseImage& i) { i.bytes[7] = '1'; },
         "Invalid compression setting in BDOSE file 'f.bdose'!"},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        BdoseImage image = good;
        c.damage(image);
        run.expectFailure(image, "1", c.message);
    }
}

// A version 1.1 file of rs1 .. rs6 whose Z file lists five of them in another order (rs3 is
// not listed): the SNPs are matched by identity.
struct Version11Files {
    Version11Files() {
        for (uint32_t i = 0; i < 6; ++i) fileSnps.push_back(patternSnp(i));
        for (uint32_t i : {4u, 0u, 3u, 1u, 5u}) zSnps.push_back(fileSnps[i]);
        BdoseFixture fixture;
        fixture.numSamples = 12;
        fixture.snps = fileSnps;
        good = buildBdose(fixture);
    }

    std::vector<BdoseFixtureSnp> fileSnps;
    std::vector<BdoseFixtureSnp> zSnps;
    BdoseImage good;
};

TEST(BdoseEndToEnd, Version11FileInAnotherOrderWithMoreSnpsGivesThePearsonCorrelations) {
    const Version11Files files;
    const FixtureRun run(files.zSnps);
    for (const char* threads : {"1", "3"}) run.expectPearson(files.good, threads, files.zSnps);
}

// The offset table is checked whole, listed SNPs or not; each block must fill the space up to
// the next one (the last up to the end of the file); each record holds its own place as its
// number. Each of these files would otherwise give shifted or permuted correlations.
TEST(BdoseEndToEnd, DamagedVersion11OffsetTablesBlocksAndRecordNumbersEndTheRun) {
    const Version11Files files;
    const BdoseImage& good = files.good;
    const BdoseLayout& at = good.layout;
    const FixtureRun run(files.zSnps);
    const auto entry = [&](uint32_t i) { return at.offsetTable + 8 * uint64_t{i}; };
    const std::vector<DamageCase> cases = {
        {"entry 1 at block 2", [&](BdoseImage& i) { i.putU64(entry(0), at.blocks[1]); },
         "BDOSE file 'f.bdose' holds an invalid offset for the dosage block of the #1 SNP!"},
        // rs3 is not in the Z file; its entry still must follow entry 2.
        {"entry 3 repeats entry 2", [&](BdoseImage& i) { i.putU64(entry(2), at.blocks[1]); },
         "BDOSE file 'f.bdose' holds an invalid offset for the dosage block of the #3 SNP!"},
        {"entry 2 repeats entry 1", [&](BdoseImage& i) { i.putU64(entry(1), at.blocks[0]); },
         "BDOSE file 'f.bdose' holds an invalid offset for the dosage block of the #2 SNP!"},
        {"entries 4 and 5 traded", [&](BdoseImage& i) {
             i.putU64(entry(3), at.blocks[4]);
             i.putU64(entry(4), at.blocks[3]);
         },
         "BDOSE file 'f.bdose' holds an invalid offset for the dosage block of the #5 SNP!"},
        {"three bytes between blocks 2 and 3", [&](BdoseImage& i) {
             insertBytes(i, at.blocks[2], 3);
             for (uint32_t k = 2; k < 6; ++k) i.putU64(entry(k), at.blocks[k] + 3);
         },
         "BDOSE file 'f.bdose' holds an invalid length of the dosage block of the #2 SNP!"},
        {"five bytes after the last block", [&](BdoseImage& i) { insertBytes(i, i.bytes.size(), 5); },
         "BDOSE file 'f.bdose' holds an invalid length of the dosage block of the #6 SNP!"},
        {"records 1 and 2 traded with their numbers", swapFirstRecords,
         "BDOSE file 'f.bdose' holds an invalid SNP number in the record of the #1 SNP!"},
        {"record 4 holding number 9", [&](BdoseImage& i) { i.putU32(at.records[3] + 4, 9); },
         "BDOSE file 'f.bdose' holds an invalid SNP number in the record of the #4 SNP!"},
        {"code 4", [&](BdoseImage& i) { i.putU8(at.compressionField, 4); },
         "Invalid compression setting in BDOSE file 'f.bdose'!"},
        // The SNP count is checked before the compression code.
        {"four SNPs and code 9", [&](BdoseImage& i) {
             i.putU32(at.numSnpsField, 4);
             i.putU8(at.compressionField, 9);
         },
         "Different number of SNPs in file 'f.z' (5 SNPs) and file 'f.bdose' (4 SNPs)!"},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        BdoseImage image = good;
        c.damage(image);
        // At three threads every thread sets up its own reader on the damaged file: still one report.
        for (const char* threads : {"1", "3"}) run.expectFailure(image, threads, c.message);
    }
}

}  // namespace
