// The program end to end through the binary on generated datasets: LD matrices written as BCOR
// and as text, the LD vector of --rsids, and the conversions between BCOR and text, each checked
// against a naive two-pass Pearson correlation of the mean-imputed dosages computed here.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/bcorfile.h"
#include "support/dataset.h"
#include "support/oracle.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// BCOR "medium" codes: truncated to 2^-30, read back in single precision.
constexpr double kBcorTolerance = 1e-6;
// Text fields hold six significant digits.
constexpr double kTextTolerance = 1e-5;

// The correlations a dataset must give, from its decoded dosages.
class Oracle {
public:
    explicit Oracle(const Dataset& data, double miss = 0.1) {
        for (uint32_t n = 0; n < data.nSnps(); ++n) {
            std::vector<double> row;
            uint32_t missing = 0;
            for (uint32_t j = 0; j < data.nIncluded(); ++j) {
                row.push_back(expectedDosage(data, n, j));
                missing += std::isnan(row.back()) ? 1 : 0;
            }
            excluded_.push_back(static_cast<double>(missing) / data.nIncluded() > miss);
            constant_.push_back(isConstant(row));
            rows_.push_back(meanImputed(row));
        }
    }

    uint32_t size() const { return static_cast<uint32_t>(rows_.size()); }
    bool excluded(uint32_t n) const { return excluded_[n]; }

    // Pearson correlation of SNPs a and b; NaN when either is excluded or has no variance.
    double r(uint32_t a, uint32_t b) const {
        if (excluded_[a] || excluded_[b] || constant_[a] || constant_[b]) return kNaN;
        return pearson(rows_[a], rows_[b]);
    }

    // The value of listed SNP s against SNP b as the engine stores it: its own column holds 1 when
    // the SNP is excluded.
    double listed(uint32_t s, uint32_t b) const {
        if (b == s && excluded_[s]) return 1.0;
        return b == s ? r(s, s) : r(s, b);
    }

private:
    // All non-missing values equal (one or none included).
    static bool isConstant(const std::vector<double>& row) {
        double first = kNaN;
        for (double v : row) {
            if (std::isnan(v)) continue;
            if (std::isnan(first)) first = v;
            if (v != first) return false;
        }
        return true;
    }

    std::vector<std::vector<double>> rows_;
    std::vector<bool> excluded_;
    std::vector<bool> constant_;
};

void expectValue(double want, double got, double tolerance, const std::string& where) {
    if (std::isnan(want))
        EXPECT_TRUE(std::isnan(got)) << where << ": " << got;
    else
        EXPECT_NEAR(want, got, tolerance) << where;
}

// A correlation stored with compression code 1.
double decodeMedium(uint64_t code) { return code == 0xD0000000u ? kNaN : static_cast<double>(code) / 1073741824.0 - 1; }

// The fields of every line of a text file, split at blanks.
std::vector<std::vector<std::string>> textFields(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        lines.emplace_back();
        for (std::string field; fields >> field;) lines.back().push_back(field);
    }
    return lines;
}

double number(const std::string& field) { return std::strtod(field.c_str(), nullptr); }

// The LD matrix text of SNPs first … first + count - 1 holds the oracle's correlations.
void checkMatrixText(const std::string& text, const Oracle& oracle, uint32_t first, uint32_t count,
                     double tolerance) {
    const auto lines = textFields(text);
    ASSERT_EQ(lines.size(), count);
    for (uint32_t r = 0; r < count; ++r) {
        ASSERT_EQ(lines[r].size(), count) << "line " << r;
        for (uint32_t c = 0; c < count; ++c) {
            if (r == c) {
                EXPECT_EQ(lines[r][c], "1");
                continue;
            }
            expectValue(oracle.r(first + r, first + c), number(lines[r][c]), tolerance,
                        "line " + std::to_string(r) + " field " + std::to_string(c));
        }
    }
    EXPECT_EQ(text.substr(text.size() - 2), " \n");
}

// A BCOR file of the whole dataset holds its SNP records and the oracle's correlations.
void checkBcor(const std::string& bytes, const Dataset& data, const Oracle& oracle, double tolerance) {
    const BcorImage image = parseBcor(bytes);
    EXPECT_EQ(image.nSamples, data.nIncluded());
    ASSERT_EQ(image.nSNPs, data.nSnps());
    EXPECT_EQ(image.code, 1);
    for (uint32_t i = 0; i < data.nSnps(); ++i) {
        EXPECT_EQ(image.snps[i].rsid, data.snps[i].rsid);
        EXPECT_EQ(image.snps[i].position, data.snps[i].position);
    }
    uint64_t k = 0;
    for (uint32_t a = 0; a < data.nSnps(); ++a)
        for (uint32_t b = a + 1; b < data.nSnps(); ++b, ++k)
            expectValue(oracle.r(a, b), decodeMedium(image.codes.at(k)), tolerance,
                        "pair " + std::to_string(a) + "," + std::to_string(b));
}

const std::vector<std::string> kHeader{"z", "bgen", "bgi", "sample", "incl", "n_samples", "bcor", "ld"};

// Two generated regions with excluded, constant and nearly empty SNPs; the second uses a
// subset of its samples through sample and inclusion files, in layout 1.
struct Fixture {
    TempDir dir;
    std::vector<Dataset> datasets;

    Fixture() {
        DatasetOptions first;
        first.seed = 3;
        first.snps = 24;
        first.samples = 90;
        first.kinds = {{2, SnpKind::AllMissing}, {5, SnpKind::Constant}, {9, SnpKind::OneNonMissing}};
        first.name = "region1";
        datasets.push_back(makeDataset(dir.path(), first));

        DatasetOptions second;
        second.seed = 4;
        second.snps = 15;
        second.samples = 70;
        second.layout = 1;
        second.missingRate = 0.12;
        for (uint32_t i = 0; i < 60; ++i) second.included.push_back((i * 37) % 70);
        second.name = "region2";
        datasets.push_back(makeDataset(dir.path(), second));
    }

    // A master file of both regions whose bcor and ld columns carry `tag`; returns its name.
    std::string master(const std::string& tag) const {
        std::vector<std::map<std::string, std::string>> lines;
        for (size_t d = 0; d < datasets.size(); ++d) {
            auto columns = datasets[d].columns();
            columns["bcor"] = "d" + std::to_string(d + 1) + "_" + tag + ".bcor";
            columns["ld"] = "d" + std::to_string(d + 1) + "_" + tag + ".ld";
            lines.push_back(columns);
        }
        writeMasterFile(dir.file(tag + ".master"), kHeader, lines);
        return tag + ".master";
    }

    ProcessResult run(std::vector<std::string> args) const {
        const ProcessResult result = runTesmaro(args, dir.path());
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        return result;
    }
};

TEST(EndToEnd, WriteBcorMatchesPearsonAtOneAndEightThreads) {
    Fixture f;
    for (const char* threads : {"1", "8"})
        f.run({"--write-bcor", "--read-only-bgen", "--in-files", f.master(threads), "--n-threads", threads});
    for (size_t d = 0; d < f.datasets.size(); ++d) {
        SCOPED_TRACE("dataset " + std::to_string(d + 1));
        const std::string stem = "d" + std::to_string(d + 1);
        const std::string bytes = f.dir.read(stem + "_1.bcor");
        EXPECT_EQ(bytes, f.dir.read(stem + "_8.bcor"));
        checkBcor(bytes, f.datasets[d], Oracle(f.datasets[d]), kBcorTolerance);
    }
}

TEST(EndToEnd, WriteTextMatrixMatchesPearsonAtOneAndEightThreads) {
    Fixture f;
    for (const char* threads : {"1", "8"}) {
        const ProcessResult r =
            f.run({"--write-text", "--read-only-bgen", "--in-files", f.master(threads), "--n-threads", threads});
        EXPECT_NE(r.out.find("Computing correlations (2/2)"), std::string::npos);
        EXPECT_NE(r.out.find("- Number of tiles       : 1\n\r- Processing            : 0/100%"
                             "\r- Processing            : done!   \n"),
                  std::string::npos)
            << r.out;
    }
    for (size_t d = 0; d < f.datasets.size(); ++d) {
        SCOPED_TRACE("dataset " + std::to_string(d + 1));
        const std::string stem = "d" + std::to_string(d + 1);
        const std::string text = f.dir.read(stem + "_1.ld");
        EXPECT_EQ(text, f.dir.read(stem + "_8.ld"));
        checkMatrixText(text, Oracle(f.datasets[d]), 0, f.datasets[d].nSnps(), kTextTolerance);
    }
}

TEST(EndToEnd, WriteTextRsidsVector) {
    Fixture f;
    // rs3 (SNP 2) has no dosage at all and is excluded; rs6 (SNP 5) is constant.
    const std::vector<uint32_t> listed{7, 2, 5, 0};
    f.run({"--write-text", "--read-only-bgen", "--in-files", f.master("v"), "--rsids", "rs8,rs3,rs6,rs1",
           "--dataset", "1"});
    const Dataset& data = f.datasets[0];
    const Oracle oracle(data);
    const auto lines = textFields(f.dir.read("d1_v.ld"));
    ASSERT_EQ(lines.size(), data.nSnps() + 1u);
    EXPECT_EQ(lines[0], (std::vector<std::string>{"rsid", "rs8", "rs3", "rs6", "rs1"}));
    for (uint32_t c = 0; c < data.nSnps(); ++c) {
        ASSERT_EQ(lines[c + 1].size(), listed.size() + 1);
        EXPECT_EQ(lines[c + 1][0], data.snps[c].rsid);
        for (size_t k = 0; k < listed.size(); ++k)
            expectValue(oracle.listed(listed[k], c), number(lines[c + 1][k + 1]), kTextTolerance,
                        "SNP " + std::to_string(c) + " listed " + std::to_string(k));
    }
    EXPECT_EQ(lines[3][2], "1");  // the excluded rs3 against itself
}

TEST(EndToEnd, BcorToTextAllRangeAndRsids) {
    Fixture f;
    f.run({"--write-bcor", "--read-only-bgen", "--in-files", f.master("b"), "--n-threads", "3"});
    const Dataset& data = f.datasets[0];
    const Oracle oracle(data);
    const double tolerance = kBcorTolerance + kTextTolerance;

    // All pairs, with the master file (the ld column names the output).
    f.run({"--bcor-to-text", "--in-files", f.master("b")});
    checkMatrixText(f.dir.read("d1_b.ld"), oracle, 0, data.nSnps(), tolerance);
    checkMatrixText(f.dir.read("d2_b.ld"), Oracle(f.datasets[1]), 0, f.datasets[1].nSnps(), tolerance);

    // SNPs 4 to 12 lie at positions 1040 … 1120.
    f.run({"--bcor-to-text", "--bcor-file", "d1_b.bcor", "--ld-file", "range.ld", "--range", "1035-1120"});
    checkMatrixText(f.dir.read("range.ld"), oracle, 4, 9, tolerance);

    // The BCOR reader holds M rows of K values, 1 where a SNP meets itself.
    f.run({"--bcor-to-text", "--bcor-file", "d1_b.bcor", "--ld-file", "rsids.ld", "--rsids", "rs3,rs10"});
    const auto lines = textFields(f.dir.read("rsids.ld"));
    ASSERT_EQ(lines.size(), data.nSnps() + 1u);
    EXPECT_EQ(lines[0], (std::vector<std::string>{"rsid", "rs3", "rs10"}));
    for (uint32_t c = 0; c < data.nSnps(); ++c) {
        ASSERT_EQ(lines[c + 1].size(), 3u);
        EXPECT_EQ(lines[c + 1][0], data.snps[c].rsid);
        const uint32_t listed[] = {2, 9};
        for (size_t k = 0; k < 2; ++k)
            expectValue(c == listed[k] ? 1.0 : oracle.r(c, listed[k]), number(lines[c + 1][k + 1]), tolerance,
                        "SNP " + std::to_string(c) + " listed " + std::to_string(k));
    }
}

TEST(EndToEnd, TextToBcorKeepsTheMatrix) {
    Fixture f;
    f.run({"--write-text", "--read-only-bgen", "--in-files", f.master("t"), "--n-threads", "8"});
    f.run({"--text-to-bcor", "--in-files", f.master("t")});
    for (size_t d = 0; d < f.datasets.size(); ++d) {
        SCOPED_TRACE("dataset " + std::to_string(d + 1));
        const std::string stem = "d" + std::to_string(d + 1);
        checkBcor(f.dir.read(stem + "_t.bcor"), f.datasets[d], Oracle(f.datasets[d]),
                  kBcorTolerance + kTextTolerance);
    }
    // And back: the text of the converted file equals the text it came from.
    f.run({"--bcor-to-text", "--bcor-file", "d1_t.bcor", "--ld-file", "back.ld"});
    checkMatrixText(f.dir.read("back.ld"), Oracle(f.datasets[0]), 0, f.datasets[0].nSnps(),
                    kBcorTolerance + kTextTolerance);
}

// The whole standard output of the BGEN path where the master file, the Z, index, sample and
// inclusion readers, the dosage decoder, the engine and the text writers meet: three SNPs, six
// of ten samples, one thread.
TEST(EndToEnd, WholeStandardOutputOfTheTextWriters) {
    TempDir dir;
    DatasetOptions options;
    options.seed = 11;
    options.snps = 3;
    options.samples = 10;
    options.included = {9, 2, 4, 7, 0, 5};
    const Dataset data = makeDataset(dir.path(), options);
    auto columns = data.columns();
    columns["bcor"] = "t.bcor";
    columns["ld"] = "t.ld";
    const std::string master = writeMasterFile(dir.file("m.txt"), kHeader, {columns});

    const auto start = [](const std::string& rsids) {
        return "\n|--------------------------------------|\n| Welcome to Tesmaro v2.0              |\n"
               "|                                      |\n|                                      |\n"
               "| Help :                               |\n| - ./tesmaro --help                   |\n"
               "|                                      |\n|--------------------------------------|\n\n"
               "--------\nSETTINGS\n--------\n- dataset       : all\n- compression   : medium\n"
               "- n-threads     : 1\n" +
               rsids + "- sample-miss   : 0.1\n\n" +
               "----------------------\nComputing correlations (1/1)\n----------------------\n";
    };
    const std::string files = "- SNP file              : " + data.z + "\n- BGEN file             : " + data.bgen +
                              "\n- BGEN BGI file         : " + data.bgi + "\n- Sample file           : " +
                              data.sample + "\n- Sample inclusion file : " + data.incl + "\n";
    // Sample IDs on lines 3 to 12 (signs at lines 6 and 11), inclusions on lines 1 to 6.
    const std::string loading =
        "\r- Reading SNP file      : done!   \n\n- Number of samples     : 6\n- Number of SNPs        : 3\n\n"
        "\r- Reading BGEN indexes  : \r- Reading BGEN indexes  : done!   "
        "\r- Reading sample IDs    : -      \r- Reading sample IDs    : +      "
        "\r- Reading inclusions    : +      \r- Reading inclusions    : -      \r- Reading inclusions    : done!\n"
        "\r- Parsing dosages       : 0.000%\r- Parsing dosages       : 33.333%\r- Parsing dosages       : 66.667%"
        "\r- Parsing dosages       : done!   \n- Number of tiles       : 1\n";
    const std::string runTime = "- Run time              : 0 hours, 0 minutes, 0 seconds\n\n";

    const ProcessResult matrix = runTesmaro({"--write-text", "--read-only-bgen", "--in-files", master}, dir.path());
    EXPECT_EQ(matrix.status, 0) << matrix.err;
    EXPECT_EQ(matrix.err, "");
    EXPECT_EQ(matrix.out, start("") + files + "- LD matrix             : t.ld\n" + loading +
                              "\r- Processing            : 0/100%\r- Processing            : done!   \n"
                              "- Writing correlations  : 0.000% \r- Writing correlations  : 0.000/100%"
                              "\r- Writing correlations  : done!         \n" +
                              runTime);

    const ProcessResult vector = runTesmaro(
        {"--write-text", "--read-only-bgen", "--in-files", master, "--rsids", "rs3,rs1"}, dir.path());
    EXPECT_EQ(vector.status, 0) << vector.err;
    EXPECT_EQ(vector.err, "");
    std::string progress;
    for (const char* p : {"0.000%", "16.667%", "33.333%", "50.000%", "66.667%", "83.333%"})
        progress += std::string("\r- Writing LD vector     : ") + p;
    EXPECT_EQ(vector.out, start("- rsids         : rs3,rs1\n") + files + "- LD vector             : t.ld\n" + loading +
                              "\r- Processing            : done!   \n- Writing LD vector     : 0.000% " + progress +
                              "\r- Writing LD vector     : done!  \n" + runTime);
}

}  // namespace
