// BDOSE files through the real binary: written alone or on the way to a BCOR file, read back
// with --read-bdose (version 1.0 mapped, 1.1 decoded per thread, with and without --memory
// tiles and an inclusion file), each BCOR compared with the one computed from the BGEN dosages
// in memory; the sample-count and size checks of a BDOSE file to read.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "error.h"
#include "support/bcorfile.h"
#include "support/bdosefixture.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/tempdir.h"

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

}  // namespace
