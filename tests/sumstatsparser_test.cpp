#include "sumstatsparser.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"
#include "support/textfiles.h"

namespace {

const std::string label = "\r- Reading SNP file      : ";
const std::string done = label + "done!   \n";

// Every "{Z}" of `text` replaced by `path`.
std::string withPath(std::string text, const std::string& path) {
    for (std::size_t at = text.find("{Z}"); at != std::string::npos; at = text.find("{Z}", at + path.size()))
        text.replace(at, 3, path);
    return text;
}

// Reads `zFile` (the z entry of the dataset; none when `hasZ` is false) in a child. After a
// normal return the child writes "M=<count>\n", one line per SNP in number order and, with
// --rsids, "<id>=<number>" per listed identifier.
ProcessResult readZ(const std::string& zFile, const std::vector<std::string>& rsids = {}, bool hasZ = true) {
    return runInChild([&] {
        SumStatsParser parser;
        if (hasZ) parser.regionfiles.files["z"] = zFile;
        RsIDs ids;
        for (const std::string& id : rsids) {
            ids.ids.insert(id);
            ids.order.push_back(id);
            ids.index.push_back(-1);
        }
        SumStatsData data;
        const uint32_t m = parser.readSumStats(!rsids.empty(), &ids, &data);
        std::cout << "M=" << m << "\n";
        for (const auto& entry : data.snpIndex.right) {
            const Meta& meta = entry.second;
            std::cout << entry.first << ":" << meta.rsid << "|" << meta.chromosome << "|" << meta.position << "|"
                      << meta.allele(0) << "|" << meta.allele(1) << "\n";
        }
        for (std::size_t p = 0; p < ids.order.size(); ++p) std::cout << ids.order[p] << "=" << ids.index[p] << "\n";
    });
}

const std::string header = "rsid chromosome position allele1 allele2\n";

}  // namespace

TEST(SumStatsParser, ZFileLines) {
    const struct {
        const char* name;
        std::string content;
        std::string out;  // "{Z}" stands for the file's path
        std::string err;
    } cases[] = {
        {"extra columns",
         "rsid chromosome position allele1 allele2 beta se\nrs1 1 100 A C 0.1 0.2\nrs2 1 200 G T x y\n",
         done + "M=2\n0:rs1|1|100|A|C\n1:rs2|1|200|G|T\n", ""},
        {"no final line end", header + "rs1 1 100 A C\nrs2 1 4294967295 G T",
         done + "M=2\n0:rs1|1|100|A|C\n1:rs2|1|4294967295|G|T\n", ""},
        {"empty fields", header + "rs1  100 A C\n 1 7 A \x80\n",
         done + "M=2\n0:rs1||100|A|C\n1:|1|7|A|\x80\n", ""},
        {"position forms", header + "rs1 chr1 1e3 a c\nrs1 01 +12 A\tT C\n",
         done + "M=2\n0:rs1|chr1|1000|a|c\n1:rs1|01|12|A\tT|C\n", ""},
        {"differ in allele2 only", header + "rs1 1 100 A C\nrs1 1 100 A G\n",
         done + "M=2\n0:rs1|1|100|A|C\n1:rs1|1|100|A|G\n", ""},
        {"crlf after extra header column",
         "rsid chromosome position allele1 allele2 beta\r\nrs1 1 100 A C\r\nrs2 1 5 A C\r\n",
         done + "M=2\n0:rs1|1|100|A|C\r\n1:rs2|1|5|A|C\r\n", ""},
        {"crlf header", "rsid chromosome position allele1 allele2\r\nrs1 1 100 A C\r\n", "",
         "\nError : Expected 'allele2' in line 1 column 5 of file '{Z}'!\n\n"},
        {"header word", "rsid chromosome pos allele1 allele2\nrs1 1 100 A C\n", "",
         "\nError : Expected 'position' in line 1 column 3 of file '{Z}'!\n\n"},
        {"header case", "rsid Chromosome position allele1 allele2\n", "",
         "\nError : Expected 'chromosome' in line 1 column 2 of file '{Z}'!\n\n"},
        {"header four fields", "rsid chromosome position allele1\nrs1 1 100 A C\n", "",
         "\n\nError : File '{Z}' must contain at least 5 column(s)!\n\n"},
        {"header four fields, trailing blank", "rsid chromosome position allele1 \n", "",
         "\n\nError : File '{Z}' must contain at least 5 column(s)!\n\n"},
        {"empty file", "", "", "\n\nError : File '{Z}' must contain at least 5 column(s)!\n\n"},
        {"missing column 5", header + "rs1 1 100 A\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 2 column 5!\n\n"},
        {"trailing blank is no field", header + "rs1 1 100 A \n", "",
         "\n\nError : File '{Z}' contains a missing value in line 2 column 5!\n\n"},
        {"missing column 4", header + "rs1 1 100\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 2 column 4!\n\n"},
        {"missing column 3", header + "rs1 1\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 2 column 3!\n\n"},
        {"missing column 2", header + "rs1 1 1 A C\nrs1\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 3 column 2!\n\n"},
        {"bad position before missing alleles", header + "rs1 1 x\n", "",
         "\n\nError : Expected a positive integer value in line 2 column 3 of file '{Z}'!\n\n"},
        {"position zero", header + "rs1 1 0 A C\n", "",
         "\n\nError : Expected a positive integer value in line 2 column 3 of file '{Z}'!\n\n"},
        {"empty position", header + "rs1 1  A C\n", "",
         "\n\nError : Expected a positive integer value in line 2 column 3 of file '{Z}'!\n\n"},
        {"position too large", header + "rs1 1 100 A C\nrs2 1 4294967296\n", "",
         "\n\nError : Expected a positive integer value in line 3 column 3 of file '{Z} smaller than or equal to "
         "4,294,967,295!\n\n"},
        {"empty line", header + "rs1 1 100 A C\n\nrs2 1 100 A C\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 3 column 1!\n\n"},
        {"empty last line", header + "rs1 1 100 A C\nrs2 1 100 A C\n\n", "",
         "\n\nError : File '{Z}' contains a missing value in line 4 column 1!\n\n"},
        {"duplicate", header + "rs1 1 100 A C\nrs2 1 100 A C\nrs1 1 100 A C\n", "",
         "\n\nError : File '{Z}' contains a duplicated SNP with rsID 'rs1' in line 4!\n\n"},
        {"duplicate after extra columns", header + "rs1 1 100 A C 5\nrs1 1 100 A C 6\n", "",
         "\n\nError : File '{Z}' contains a duplicated SNP with rsID 'rs1' in line 3!\n\n"},
        {"no SNPs", header, done, "\nError : File '{Z}' contains no SNPs!\n\n"},
        {"one SNP", header + "rs1 1 100 A C\n", done, "\nError : File '{Z}' contains only 1 SNP!\n\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string z = dir.write("snps.z", c.content);
        const ProcessResult r = readZ(z);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.name;
        EXPECT_EQ(r.out, withPath(c.out, z)) << c.name;
        EXPECT_EQ(r.err, withPath(c.err, z)) << c.name;
    }
}

TEST(SumStatsParser, OpeningTheFile) {
    TempDir dir;
    const std::string missing = dir.file("missing.z");
    const struct {
        std::string z;
        bool hasZ;
        std::string err;
    } cases[] = {
        {"", true, "Error : No filename is specified!\n\n"},
        {missing, true, "Error : File '" + missing + "' cannot be opened!\n\n"},
        {dir.path(), true, "Error : File '" + dir.path() + "' cannot be opened!\n\n"},
        {"", false, "Error : Cannot find file with extension 'z'!\n\n"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = readZ(c.z, {}, c.hasZ);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(SumStatsParser, SpinnerAtEveryFifthLine) {
    const struct {
        uint32_t snps;
        std::string signs;
    } cases[] = {
        {4, ""},
        {5, label + "+"},
        {12, label + "+" + label + "-"},
        {25, label + "+" + label + "-" + label + "+" + label + "-" + label + "+"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        std::vector<ZRow> rows;
        std::string listed;
        for (uint32_t i = 0; i < c.snps; ++i) {
            rows.push_back(ZRow{"rs" + std::to_string(i), "1", i + 1, "A", "C"});
            listed += std::to_string(i) + ":rs" + std::to_string(i) + "|1|" + std::to_string(i + 1) + "|A|C\n";
        }
        const std::string z = writeZFile(dir.file("spin.z"), rows);
        const ProcessResult r = readZ(z);
        EXPECT_EQ(r.status, 0) << c.snps;
        EXPECT_EQ(r.out, c.signs + done + "M=" + std::to_string(c.snps) + "\n" + listed) << c.snps;
    }
}

TEST(SumStatsParser, RsidsTakeTheLastMatchingLine) {
    TempDir dir;
    const std::string z = dir.write("r.z", header + "rs3 1 5 A C\nrs1 1 100 A C\nrs2 1 7 A C\nrs1 1 100 A G\n");
    const ProcessResult r = readZ(z, {"rs1", "rs3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, done + "M=4\n0:rs3|1|5|A|C\n1:rs1|1|100|A|C\n2:rs2|1|7|A|C\n3:rs1|1|100|A|G\nrs1=3\nrs3=0\n");
}

TEST(SumStatsParser, MissingRsidsAreListedOnStandardOutput) {
    const auto message = [](const std::string& id) {
        return "\nError: Encountered SNP with rsID '" + id + "' in '--rsids' but it is not included in file '{Z}'!\n";
    };
    const struct {
        const char* name;
        std::string content;
        std::vector<std::string> rsids;
        std::string out;
    } cases[] = {
        {"one missing", header + "rs1 1 1 A C\nrs2 1 2 A C\nrs3 1 3 A C\n", {"rs2", "rs9"},
         done + message("rs9") + "\n"},
        {"in the given order", header + "rs1 1 1 A C\nrs2 1 2 A C\n", {"rs9", "rs2", "rs8", "RS1"},
         done + message("rs9") + message("rs8") + message("RS1") + "\n"},
        {"before the SNP count", header + "rs1 1 1 A C\n", {"rs9"}, done + message("rs9") + "\n"},
        {"no SNPs at all", header, {"rs1"}, done + message("rs1") + "\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string z = dir.write("m.z", c.content);
        const ProcessResult r = readZ(z, c.rsids);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, withPath(c.out, z)) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}
