#include "bdosemapper.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "error.h"
#include "floatscaler.h"
#include "support/bdosefixture.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

BdoseFixture v10File(const std::vector<BdoseFixtureSnp>& snps, uint32_t n) {
    BdoseFixture fixture;
    fixture.v11 = false;
    fixture.numSamples = n;
    fixture.snps = snps;
    return fixture;
}

// n SNPs of `samples` values each; SNP i's value j is i + j / 8 (or -1 for odd j), missing i mod 3.
std::vector<BdoseFixtureSnp> snps(uint32_t n, uint32_t samples) {
    std::vector<BdoseFixtureSnp> out;
    for (uint32_t i = 0; i < n; ++i) {
        std::vector<double> row;
        for (uint32_t j = 0; j < samples; ++j) row.push_back(j % 2 ? -1.0 : i + j / 8.0);
        out.push_back(fixtureSnp("rs" + std::to_string(i + 1), 100 * (i + 1), row, i % 3));
    }
    return out;
}

std::vector<double> copyRow(BdoseMapper& mapper, uint32_t n) {
    const double* row = nullptr;
    const double* returned = mapper.mapRegion(n, row);
    EXPECT_EQ(returned, row);
    std::vector<double> values(mapper.header().numSamples);
    std::memcpy(values.data(), row, values.size() * sizeof(double));
    return values;
}

TEST(BdoseMapper, MapsEveryRowAndReportsMissingness) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = snps(4, 5);
    const std::string path = buildBdose(v10File(z, 5)).save(dir.file("a.bdose"));
    BdoseMapper mapper;
    mapper.init(path, "z.txt", zIndex(z), 5);
    EXPECT_EQ(mapper.getMissingness(2), 2.0 / 5.0);
    mapper.memmapFile();
    for (uint32_t i : {3u, 0u, 2u, 1u, 3u}) EXPECT_EQ(copyRow(mapper, i), z[i].dosages) << i;
    EXPECT_EQ(mapper.header().version, 0);
    EXPECT_EQ(mapper.header().bgenPath, "data.bgen");
}

// Rows of the program's 1.0 writer are bit for bit what the 1.1 reader's standardiser makes
// of the same dosages.
TEST(BdoseMapper, FilesOfTheProgramsWriter) {
    const double NaN = std::nan("");
    const std::vector<BdoseFixtureSnp> z = {fixtureSnp("rs1", 1, {0, 1, 2, NaN, 1, 2, 0}, 0),
                                            fixtureSnp("rs2", 2, {2, 2, NaN, 0, NaN, 1, 1}, 0),
                                            fixtureSnp("rs3", 3, {1, 1, 1, 1, NaN, 1, 1}, 0)};
    TempDir dir;
    const std::string path = dir.file("w.bdose");
    const ProcessResult written = writeBdoseWithProgram(dir.path(), z, false, 1, 3, path);
    ASSERT_EQ(written.status, 0) << written.err;
    BdoseMapper mapper;
    mapper.init(path, "z.txt", zIndex(z), 7);
    mapper.memmapFile();
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        std::vector<double> expected = z[i].dosages;
        double* data = expected.data();
        uint32_t missing = 0;
        FloatScaler(7, data, &missing);
        const std::vector<double> row = copyRow(mapper, i);
        for (std::size_t j = 0; j < row.size(); ++j) {
            if (std::isnan(expected[j])) {
                EXPECT_TRUE(std::isnan(row[j])) << j;
            } else {
                EXPECT_EQ(row[j], expected[j]) << j;
            }
        }
        EXPECT_EQ(mapper.getMissingness(i), missing / 7.0);
    }
}

TEST(BdoseMapper, RowSpanIsWholePages) {
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const struct {
        uint32_t n;
        uint64_t spanAt4096;  // with pages of 4096 bytes
        double missingness;   // of a SNP with 25 missing dosages
    } cases[] = {{1000, 8192, 0.025}, {512, 4096, 25.0 / 512}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        TempDir dir;
        const std::vector<BdoseFixtureSnp> z = snps(2, c.n);
        std::vector<BdoseFixtureSnp> file = z;
        file[1].missing = 25;
        const std::string path = buildBdose(v10File(file, c.n)).save(dir.file("p.bdose"));
        BdoseMapper mapper;
        mapper.init(path, "z.txt", zIndex(z), c.n);
        mapper.memmapFile();
        EXPECT_EQ(mapper.bytesPerRow(), (uint64_t{c.n} * 8 + page - 1) / page * page);
        if (page == 4096) {
            EXPECT_EQ(mapper.bytesPerRow(), c.spanAt4096);
        }
        EXPECT_EQ(copyRow(mapper, 1), z[1].dosages);
        EXPECT_EQ(mapper.getMissingness(1), c.missingness);
    }
}

TEST(BdoseMapper, CallsOutOfOrder) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = snps(2, 3);
    const std::string path = buildBdose(v10File(z, 3)).save(dir.file("o.bdose"));
    const ProcessResult early = runInChild([&] {
        BdoseMapper mapper;
        mapper.init(path, "z.txt", zIndex(z), 3);
        const double* row = nullptr;
        mapper.mapRegion(0, row);
    });
    EXPECT_EQ(early.err, "Error : BDOSE file '" + path + "' has not been memory-mapped!\n\n");
    EXPECT_EQ(early.status, 1);
    const ProcessResult uninitialised = runInChild([] { BdoseMapper().memmapFile(); });
    EXPECT_EQ(uninitialised.err, "Error : BDOSE mapper has not been intialized!\n\n");
    EXPECT_EQ(uninitialised.status, 1);
}

TEST(BdoseMapper, FileRemovedBeforeMapping) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = snps(2, 3);
    const std::string path = buildBdose(v10File(z, 3)).save(dir.file("gone.bdose"));
    const ProcessResult result = runInChild([&] {
        BdoseMapper mapper;
        mapper.init(path, "z.txt", zIndex(z), 3);
        std::remove(path.c_str());
        mapper.memmapFile();
    });
    EXPECT_EQ(result.err, "Error : BDOSE file '" + path + "' has changed since it was read!\n\n");
    EXPECT_EQ(result.status, 1);
}

// Another process cuts the file short after rows were mapped: reading the row handed out last
// ends the run with one report naming the file, not with SIGBUS.
TEST(BdoseMapper, FileCutShortUnderTheMap) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = snps(3, 600);
    const std::string path = buildBdose(v10File(z, 600)).save(dir.file("cut\r.bdose"));
    const ProcessResult result = runInChild([&] {
        BdoseMapper mapper;
        mapper.init(path, "z.txt", zIndex(z), 600);
        mapper.memmapFile();
        copyRow(mapper, 0);
        const double* row = nullptr;
        mapper.mapRegion(2, row);
        truncate(path.c_str(), 0);
        double value = 0;
        std::memcpy(&value, row, sizeof value);
        const volatile double kept = value;
        static_cast<void>(kept);
    });
    EXPECT_EQ(result.err, "Error : BDOSE file '" + failure::visible(path) + "' changed while it was being read!\n\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
}

// Every malformed or mismatched 1.0 file ends init with its message and status 1.
TEST(BdoseMapper, CorruptionAndMismatchTable) {
    TempDir dir;
    const std::vector<BdoseFixtureSnp> z = snps(7, 4);
    const BdoseImage good = buildBdose(v10File(z, 4));
    const BdoseLayout& at = good.layout;
    const uint64_t size = good.bytes.size();
    auto patched = [&](const std::function<void(BdoseImage&)>& change) {
        BdoseImage image = good;
        change(image);
        return image;
    };
    auto changedFile = [&](const std::function<void(BdoseFixture&)>& change) {
        BdoseFixture fixture = v10File(z, 4);
        change(fixture);
        return buildBdose(fixture);
    };
    struct Case {
        std::string name;
        BdoseImage image;
        uint32_t nSamples;
        std::string err;  // P stands for the path
    };
    const std::vector<Case> cases = {
        {"a 1.1 file", changedFile([](BdoseFixture& f) {
             f.v11 = true;
             for (BdoseFixtureSnp& s : f.snps) s.dosages.assign(4, 0.5);
         }), 4,
         "Error : File 'P' is not a file of v1.0 from Tesmaro!\n\n"},
        {"foreign magic", changedFile([](BdoseFixture& f) { f.magic = "bdose1.2"; }), 4,
         "Error : File 'P' is not a file from Tesmaro!\n\n"},
        {"fewer SNPs", changedFile([](BdoseFixture& f) { f.snps.pop_back(); }), 4,
         "Error : Different number of SNPs in file 'z.txt' (7 SNPs) and file 'P' (6 SNPs)!\n\n"},
        {"more SNPs", changedFile([](BdoseFixture& f) { f.snps.push_back(f.snps[0]); }), 4,
         "Error : Different number of SNPs in file 'z.txt' (7 SNPs) and file 'P' (8 SNPs)!\n\n"},
        {"sample count", good, 3,
         "Error : File 'P' contains 4 samples but 3 samples are specified for the dataset; a BDOSE file of version "
         "1.0 stores no sample IDs, so it cannot select samples!\n\n"},
        {"record 5 on another chromosome", changedFile([](BdoseFixture& f) { f.snps[5].chromosome = "2"; }), 4,
         "\n\nError : Information for SNP with rsID 'rs6' in line 7 of file 'z.txt' does not match with the "
         "information for the #6 SNP with rsID 'rs6' in BDOSE file 'P'!\n\n"},
        {"record with a trailing byte", changedFile([](BdoseFixture& f) { f.snps[2].recordTail = "!"; }), 4,
         "Error : Could not read information for SNP with rsid 'rs3'!\n\n"},
        {"record length", patched([&](BdoseImage& i) { i.putU32(at.records[6], 0xFFFF); }), 4,
         "Error : BDOSE file 'P' is cut short in its meta block!\n\n"},
        {"header cut", patched([&](BdoseImage& i) { i.truncate(at.numSnpsField + 1); }), 4,
         "Error : BDOSE file 'P' is cut short in its header!\n\n"},
        {"missingness cut", patched([&](BdoseImage& i) { i.truncate(at.missingTable + 10); }), 4,
         "Error : BDOSE file 'P' is cut short in its missingness table!\n\n"},
        {"offsets cut", patched([&](BdoseImage& i) { i.truncate(at.offsetTable + 20); }), 4,
         "Error : BDOSE file 'P' is cut short in its offset table!\n\n"},
        {"missing count above N", patched([&](BdoseImage& i) { i.putU32(at.missingTable + 4, 5); }), 4,
         "Error : BDOSE file 'P' holds an invalid missing count for the #2 SNP!\n\n"},
        {"row offset past the end", patched([&](BdoseImage& i) { i.putU64(at.offsetTable + 8, size); }), 4,
         "Error : BDOSE file 'P' holds an invalid offset for the row of the #2 SNP!\n\n"},
        {"row offset in the tables", patched([&](BdoseImage& i) { i.putU64(at.offsetTable + 16, at.missingTable); }),
         4, "Error : BDOSE file 'P' holds an invalid offset for the row of the #3 SNP!\n\n"},
        {"last row cut", patched([&](BdoseImage& i) { i.truncate(size - 1); }), 4,
         "Error : BDOSE file 'P' holds an invalid offset for the row of the #7 SNP!\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.image.save(dir.file("bad.bdose"));
        const std::string expected = namingPath(c.err, path);
        const ProcessResult result = runInChild([&] { BdoseMapper().init(path, "z.txt", zIndex(z), c.nSamples); });
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 1);
    }
    const ProcessResult absent = runInChild([&] { BdoseMapper().init(dir.file("no.bdose"), "z.txt", zIndex(z), 4); });
    EXPECT_EQ(absent.err, "Error : File '" + dir.file("no.bdose") + "' cannot be opened!\n\n");
    EXPECT_EQ(absent.status, 1);
}

}  // namespace
