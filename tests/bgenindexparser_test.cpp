#include "bgenindexparser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "support/bgiwriter.h"
#include "support/dataset.h"
#include "support/process.h"
#include "support/snpmeta.h"
#include "support/tempdir.h"

namespace {

const std::string progress = "\r- Reading BGEN indexes  : ";
const std::string progressDone = progress + "done!   ";

// The SNP index of a Z file listing `snps` in this order.
SnpIndex zIndex(const std::vector<Meta>& snps) {
    SnpIndex index;
    for (uint32_t k = 0; k < snps.size(); ++k) index.insert(SnpIndex::value_type(snps[k], k));
    return index;
}

BgiVariantRow row(const Meta& meta, int64_t start, int64_t size) {
    return BgiVariantRow{meta.rsid, meta.chromosome, meta.position, meta.allele(0), meta.allele(1), start, size};
}

BgiFile withVariants(const std::vector<BgiVariantRow>& variants) {
    BgiFile file;
    file.metadata = {bgiMetadata("data.bgen", 100, {1, 2, 3})};
    file.variants = variants;
    return file;
}

std::string recordLine(const std::string& rsid, uint32_t position, int64_t start, int64_t size) {
    return rsid + " " + std::to_string(position) + " " + std::to_string(start) + " " + std::to_string(size) + "\n";
}

// Runs the lookup in a child on records in their loader's initial state; after a normal
// return the child appends one line per record (see recordLine) after a line end.
ProcessResult runLookup(const std::string& bgi, const SnpIndex& index) {
    return runInChild([&] {
        std::vector<BgenIndex> records(index.size());
        BgenIndexParser("g.bgen", bgi, "z.z", index, &records);
        std::cout << "\n";
        for (const BgenIndex& r : records)
            std::cout << recordLine(r.rsid, r.position, r.file_start_position, r.size_in_bytes);
    });
}

std::string unmatched(const std::string& rsid) {
    return "Error : SNP with rsID '" + rsid + "' in file 'z.z' could not be matched with SNP in BGEN file 'g.bgen'!\n";
}

std::string dbReport(const std::string& text, const std::string& path) {
    return "Error : " + text + " (using BGEN index file '" + path + "')!\n\n";
}

TEST(BgenIndexMetadata, ReadsTheFirstRowWithEveryByte) {
    TempDir dir;
    std::vector<uint8_t> first(1000);
    for (std::size_t k = 0; k < first.size(); ++k) first[k] = static_cast<uint8_t>(k * 7 % 256);
    BgiFile file;
    file.metadata = {bgiMetadata("cohort/chr1.bgen", 5000000123LL, first), bgiMetadata("other.bgen", 7, {9})};
    const std::string bgi = dir.file("a.bgi");
    writeBgi(bgi, file);
    const std::string before = dir.read(bgi);

    BgenIndexParser::MetaData meta;
    { BgenIndexParser parser(bgi, &meta); }
    EXPECT_EQ(meta.filename, "cohort/chr1.bgen");
    EXPECT_EQ(meta.file_size, 5000000123LL);
    EXPECT_EQ(meta.first_1000_bytes, first);
    EXPECT_EQ(dir.read(bgi), before);
}

TEST(BgenIndexMetadata, NullAndEmptyValuesReadAsEmpty) {
    TempDir dir;
    const struct {
        BgiMetadataRow row;
        std::string filename;
        int64_t size;
    } cases[] = {
        {BgiMetadataRow{std::nullopt, std::nullopt, std::nullopt}, "", 0},
        {BgiMetadataRow{std::string(), int64_t{0}, std::vector<uint8_t>{}}, "", 0},
        {BgiMetadataRow{std::string("x.bgen"), int64_t{-3}, std::nullopt}, "x.bgen", -3},
    };
    for (const auto& c : cases) {
        BgiFile file;
        file.metadata = {c.row};
        const std::string bgi = dir.file("n.bgi");
        writeBgi(bgi, file);
        BgenIndexParser::MetaData meta;
        meta.first_1000_bytes = {42};
        BgenIndexParser(bgi, &meta);
        EXPECT_EQ(meta.filename, c.filename);
        EXPECT_EQ(meta.file_size, c.size);
        EXPECT_TRUE(meta.first_1000_bytes.empty());
    }
}

TEST(BgenIndexMetadata, MissingEmptyOrMisnamedTableIsMalformed) {
    TempDir dir;
    BgiFile noTable;
    noTable.metadataTable = "";
    BgiFile emptyTable;
    BgiFile lowerCase;
    lowerCase.metadataTable = "metadata";
    lowerCase.metadata = {bgiMetadata("a.bgen", 1, {1})};
    BgiFile upperCase = lowerCase;
    upperCase.metadataTable = "METADATA";
    // A view of that name is no table.
    BgiFile view;
    view.metadataTable = "Meta";
    view.metadata = {bgiMetadata("a.bgen", 1, {1})};
    view.extraSql = {"CREATE VIEW Metadata AS SELECT * FROM Meta"};
    const BgiFile* cases[] = {&noTable, &emptyTable, &lowerCase, &upperCase, &view};
    for (const BgiFile* file : cases) {
        const std::string bgi = dir.file("m.bgi");
        writeBgi(bgi, *file);
        const ProcessResult r = runInChild([&] {
            BgenIndexParser::MetaData meta;
            BgenIndexParser(bgi, &meta);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error : File '" + bgi + "' appears malformed (empty Metadata table)\n\n");
    }
    // A file of no bytes is an empty database.
    const std::string empty = dir.write("empty.bgi", "");
    const ProcessResult r = runInChild([&] {
        BgenIndexParser::MetaData meta;
        BgenIndexParser(empty, &meta);
    });
    EXPECT_EQ(r.err, "Error : File '" + empty + "' appears malformed (empty Metadata table)\n\n");
}

// A .bgi that SQLite cannot read as the index, and the text its report holds.
struct DatabaseCase {
    std::string path;
    const char* text;
};

// The files no reading of an index gets past: a missing file and a file that is no database.
std::vector<DatabaseCase> unopenableIndexes(const TempDir& dir) {
    return {{dir.file("missing.bgi"), "Unable to open the database file"},
            {dir.write("text.bgi", std::string(2048, 'b')), "File opened that is not a database file"}};
}

TEST(BgenIndexMetadata, DatabaseFailures) {
    TempDir dir;
    std::vector<DatabaseCase> cases = unopenableIndexes(dir);
    BgiFile noFilename;
    noFilename.metadata = {bgiMetadata("a.bgen", 1, {1})};
    noFilename.extraSql = {"ALTER TABLE Metadata DROP COLUMN filename"};
    const std::string dropped = dir.file("dropped.bgi");
    writeBgi(dropped, noFilename);
    cases.push_back({dropped, "SQL error or missing database"});
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            BgenIndexParser::MetaData meta;
            BgenIndexParser(c.path, &meta);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, dbReport(c.text, c.path));
    }
    EXPECT_FALSE(std::ifstream(cases[0].path).good());
}

TEST(BgenIndexLookup, FillsEveryRecordAtItsZFileNumber) {
    TempDir dir;
    const Meta a = snpMeta("rs9", "2", 500, "A", "G");
    const Meta b = snpMeta("rs1", "10", 70, "C", "T");
    const Meta c = snpMeta("rs5", "2", 3000000000u, "AT", "A");  // above 2^31 - 1
    const Meta d = snpMeta("rs1", "9", 70, "C", "T");            // same rsid, other chromosome
    // The index holds c's position as the signed 32-bit number with the same bits, rows for
    // variants that are not in the Z file, and near misses that must not match.
    BgiVariantRow cRow = row(c, 4000000000LL, 12);
    cRow.position = 3000000000LL - 4294967296LL;
    const std::vector<BgiVariantRow> rows = {
        row(snpMeta("rs7", "2", 1, "A", "C"), 10, 5),
        row(d, 900, 40),
        cRow,
        row(snpMeta("rs9", "2", 500, "A", "GG"), 1, 1),
        row(a, 50, 25),
        row(snpMeta("rs1", "10", 71, "C", "T"), 2, 2),
        row(b, 0, 0),
    };
    const std::string bgi = dir.file("l.bgi");
    writeBgi(bgi, withVariants(rows));
    const std::string before = dir.read(bgi);

    const ProcessResult r = runLookup(bgi, zIndex({a, b, c, d}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, progress + progressDone + "\n" + recordLine("rs9", 500, 50, 25) + recordLine("rs1", 70, 0, 0) +
                         recordLine("rs5", 3000000000u, 4000000000LL, 12) + recordLine("rs1", 70, 900, 40));
    // Nothing is written to the index.
    EXPECT_EQ(dir.read(bgi), before);
}

TEST(BgenIndexLookup, UnmatchedSnpsAreListedInMetaOrder) {
    TempDir dir;
    const Meta found = snpMeta("rs4", "1", 10, "A", "G");
    const Meta swapped = snpMeta("rs8", "1", 20, "A", "G");
    const Meta high = snpMeta("rs2", "1", 2147483648u, "C", "T");
    const Meta absentX = snpMeta("rs3", "X", 5, "A", "C");
    const Meta absent1 = snpMeta("rs3", "1", 5, "A", "C");
    const std::vector<BgiVariantRow> rows = {
        row(found, 100, 10),
        row(snpMeta("rs8", "1", 20, "G", "A"), 200, 10),
        // Stored as the positive number: the lookup binds the position as a negative one.
        row(high, 300, 10),
        row(snpMeta("rs3", "2", 5, "A", "C"), 400, 10),
    };
    const std::string bgi = dir.file("u.bgi");
    writeBgi(bgi, withVariants(rows));
    const ProcessResult r = runLookup(bgi, zIndex({swapped, found, absentX, high, absent1}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, progress + progressDone + "\n\n" + unmatched("rs2") + unmatched("rs3") + unmatched("rs3") +
                         unmatched("rs8"));
    EXPECT_EQ(r.err, "\n");
}

TEST(BgenIndexLookup, NoMatchReportsEverySnp) {
    TempDir dir;
    const std::string bgi = dir.file("none.bgi");
    writeBgi(bgi, withVariants({row(snpMeta("rsX", "1", 1, "A", "C"), 1, 1)}));
    const ProcessResult r =
        runLookup(bgi, zIndex({snpMeta("rsb", "1", 2, "A", "C"), snpMeta("rsa", "1", 3, "A", "C"), snpMeta("rsB", "1", 4, "A", "C")}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, progress + progressDone + "\n\n" + unmatched("rsB") + unmatched("rsa") + unmatched("rsb"));
    EXPECT_EQ(r.err, "\n");
}

TEST(BgenIndexLookup, DuplicateRowsTheLastWins) {
    TempDir dir;
    const Meta a = snpMeta("rs1", "1", 10, "A", "G");
    const Meta b = snpMeta("rs2", "1", 20, "A", "G");
    const std::string bgi = dir.file("d.bgi");
    writeBgi(bgi, withVariants({row(a, 100, 1), row(b, 500, 5), row(a, 200, 2), row(a, 300, 3)}));
    const ProcessResult r = runLookup(bgi, zIndex({a, b}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress + progressDone + "\n" + recordLine("rs1", 10, 300, 3) + recordLine("rs2", 20, 500, 5));
}

TEST(BgenIndexLookup, EmptySnpIndexFinishesAtOnce) {
    TempDir dir;
    const std::string bgi = dir.file("e.bgi");
    writeBgi(bgi, withVariants({row(snpMeta("rs1", "1", 1, "A", "C"), 1, 1)}));
    const ProcessResult r = runLookup(bgi, SnpIndex());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress + progressDone + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(BgenIndexLookup, SpinnerSignEveryFifthRow) {
    TempDir dir;
    const std::string minus = progress + "-";
    const std::string plus = progress + "+";
    const struct {
        uint32_t rows;
        std::string signs;
    } cases[] = {
        {0, ""},
        {4, ""},
        {5, minus},
        {9, minus},
        {10, minus + plus},
        {14, minus + plus},
        {15, minus + plus + minus},
        {20, minus + plus + minus + plus},
    };
    for (const auto& c : cases) {
        std::vector<Meta> snps;
        std::vector<BgiVariantRow> rows;
        std::string records;
        for (uint32_t k = 0; k < c.rows; ++k) {
            snps.push_back(snpMeta("rs" + std::to_string(k), "1", 100 + k, "A", "C"));
            rows.push_back(row(snps.back(), 1000 + k, 10));
            records += recordLine(snps.back().rsid, 100 + k, 1000 + k, 10);
        }
        const std::string bgi = dir.file("s.bgi");
        writeBgi(bgi, withVariants(rows));
        const ProcessResult r = runLookup(bgi, zIndex(snps));
        EXPECT_EQ(r.status, 0) << c.rows;
        EXPECT_EQ(r.out, progress + c.signs + progressDone + "\n" + records) << c.rows;
    }
}

TEST(BgenIndexLookup, NegativeOrMissingOffsetsAreRejected) {
    TempDir dir;
    const Meta a = snpMeta("rs1", "1", 10, "A", "G");
    const struct {
        std::optional<int64_t> start;
        std::optional<int64_t> size;
    } cases[] = {{-1, 10}, {10, -1}, {INT64_MIN, 0}, {std::nullopt, 10}, {10, std::nullopt}};
    for (const auto& c : cases) {
        const std::string bgi = dir.file("o.bgi");
        BgiVariantRow bad = row(a, 0, 0);
        bad.file_start_position = c.start;
        bad.size_in_bytes = c.size;
        writeBgi(bgi, withVariants({bad}));
        const ProcessResult r = runLookup(bgi, zIndex({a}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, progress);
        EXPECT_EQ(r.err, "\n\nError : BGEN index file '" + bgi +
                             "' holds a negative or missing file position or size for SNP with rsID 'rs1'!\n\n");
    }
}

std::string notIntegerReport(const std::string& bgi, const std::string& rsid) {
    return "\n\nError : BGEN index file '" + bgi + "' holds a file position or size that is not an integer for SNP "
           "with rsID '" + rsid + "'!\n\n";
}

// The statement that sets `column` of the variant `rsid` to the SQL literal `literal`.
std::string setVariantValue(const std::string& column, const std::string& literal, const std::string& rsid) {
    return "UPDATE Variant SET " + column + " = " + literal + " WHERE rsid = '" + rsid + "'";
}

// The storage class SQLite holds for `column` of the variant `rsid`.
std::string storageClass(const std::string& bgi, const std::string& column, const std::string& rsid) {
    return runBgiSql(bgi, "SELECT typeof(" + column + ") FROM Variant WHERE rsid = '" + rsid + "'");
}

// The whole program on an ordinary index (offset columns declared INT) whose file position or
// size of one SNP is stored as a REAL, a TEXT or a BLOB: the run ends in the index lookup,
// before any genotype is read, with one report that names the index and the SNP.
TEST(BgenIndexLookup, NonIntegerOffsetEndsTheRunOfTheProgram) {
    TempDir dir;
    DatasetOptions options;
    options.snps = 3;
    options.samples = 10;
    const Dataset data = makeDataset(dir.path(), options);
    std::map<std::string, std::string> columns = data.columns();
    columns["bcor"] = "out.bcor";
    writeMasterFile(dir.file("master.txt"), {"z", "bgen", "bgi", "n_samples", "bcor"}, {columns});
    const std::string intact = dir.read(data.bgi);
    const std::string rsid = data.snps[1].rsid;
    const struct {
        const char* column;
        const char* literal;
        const char* storage;
    } cases[] = {
        {"file_start_position", "9.5", "real"},
        {"file_start_position", "'abc'", "text"},
        {"file_start_position", "X'0102'", "blob"},
        {"size_in_bytes", "9.5", "real"},
        {"size_in_bytes", "'abc'", "text"},
        {"size_in_bytes", "X'0102'", "blob"},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.column) + " = " + c.literal;
        dir.write(options.name + ".bgi", intact);
        runBgiSql(data.bgi, setVariantValue(c.column, c.literal, rsid));
        ASSERT_EQ(storageClass(data.bgi, c.column, rsid), c.storage) << what;
        const ProcessResult r = runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", "master.txt"}, dir.path());
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.err, notIntegerReport(data.bgi, rsid)) << what;
        // Nothing follows the lookup's progress label: no "done!", no other report.
        const std::size_t last = r.out.rfind(progress);
        EXPECT_NE(last, std::string::npos) << what;
        EXPECT_EQ(r.out.size() - last, progress.size()) << what;
        EXPECT_EQ((r.out + r.err).find("Error"), (r.out + r.err).rfind("Error")) << what;
    }
}

// What decides is the storage class of the value, not its text: in an INT column SQLite's
// integer affinity stores integral text and reals as integers, which are taken; in a column
// without a declared type they stay text or real and are rejected like any other damage.
TEST(BgenIndexLookup, OnlyValuesStoredAsIntegersAreTaken) {
    TempDir dir;
    const Meta a = snpMeta("rs1", "1", 10, "A", "G");
    const struct {
        const char* type;
        const char* column;
        const char* literal;
        const char* storage;
    } cases[] = {
        {"INT", "file_start_position", "'12'", "integer"},
        {"INT", "size_in_bytes", "12.0", "integer"},
        {"", "size_in_bytes", "12", "integer"},
        {"", "file_start_position", "'12'", "text"},
        {"", "size_in_bytes", "'12'", "text"},
        {"", "file_start_position", "12.0", "real"},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.type) + " " + c.column + " = " + c.literal;
        BgiFile file = withVariants({row(a, 30, 40)});
        file.offsetColumnType = c.type;
        file.extraSql = {setVariantValue(c.column, c.literal, "rs1")};
        const std::string bgi = dir.file("t.bgi");
        writeBgi(bgi, file);
        ASSERT_EQ(storageClass(bgi, c.column, "rs1"), c.storage) << what;
        const ProcessResult r = runLookup(bgi, zIndex({a}));
        if (std::string(c.storage) == "integer") {
            const bool start = std::string(c.column) == "file_start_position";
            EXPECT_EQ(r.status, 0) << what;
            EXPECT_EQ(r.err, "") << what;
            EXPECT_EQ(r.out, progress + progressDone + "\n" + recordLine("rs1", 10, start ? 12 : 30, start ? 40 : 12))
                << what;
        } else {
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(r.out, progress) << what;
            EXPECT_EQ(r.err, notIntegerReport(bgi, "rs1")) << what;
        }
    }
}

TEST(BgenIndexLookup, DatabaseFailures) {
    TempDir dir;
    std::vector<DatabaseCase> cases = unopenableIndexes(dir);
    BgiFile noVariant = withVariants({});
    noVariant.variantTable = "";
    const std::string noVariantPath = dir.file("novariant.bgi");
    writeBgi(noVariantPath, noVariant);
    BgiFile noSize = withVariants({});
    noSize.extraSql = {"ALTER TABLE Variant DROP COLUMN size_in_bytes"};
    const std::string noSizePath = dir.file("nosize.bgi");
    writeBgi(noSizePath, noSize);
    cases.push_back({noVariantPath, "SQL error or missing database"});
    cases.push_back({noSizePath, "SQL error or missing database"});
    for (const auto& c : cases) {
        const ProcessResult r = runLookup(c.path, zIndex({snpMeta("rs1", "1", 1, "A", "C")}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, progress);
        EXPECT_EQ(r.err, dbReport(c.text, c.path));
    }
}

TEST(BgenIndexLookup, RecordsMustFitTheSnpNumbers) {
    TempDir dir;
    const std::string bgi = dir.file("r.bgi");
    writeBgi(bgi, withVariants({}));
    SnpIndex gap;
    gap.insert(SnpIndex::value_type(snpMeta("rs1", "1", 1, "A", "C"), 0));
    gap.insert(SnpIndex::value_type(snpMeta("rs2", "1", 2, "A", "C"), 2));
    const struct {
        SnpIndex index;
        std::size_t records;
    } cases[] = {
        {zIndex({snpMeta("rs1", "1", 1, "A", "C")}), 2},
        {zIndex({snpMeta("rs1", "1", 1, "A", "C")}), 0},
        {gap, 2},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            std::vector<BgenIndex> records(c.records);
            BgenIndexParser("g.bgen", bgi, "z.z", c.index, &records);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error : The SNP numbers of file 'z.z' do not match the " + std::to_string(c.records) +
                             " index records of BGEN file 'g.bgen'!\n\n");
    }
}

}  // namespace

namespace {

// A folder inside `dir` whose path, followed by "/d.bgi", is `length` bytes long once resolved.
std::string folderForIndexPath(const TempDir& dir, std::size_t length) {
    std::string folder = std::filesystem::canonical(dir.path()).string();
    std::size_t left = length - folder.size() - std::string("/d.bgi").size();
    while (left > 0) {
        // Each level adds a slash and its name; the last takes what is left.
        const std::size_t name = left > 201 ? 200 : left - 1;
        folder += "/" + std::string(name, 'x');
        left -= name + 1;
        std::filesystem::create_directory(folder);
    }
    return folder;
}

}  // namespace

// SQLite opens no database whose absolute path leaves no room for its journal's name: the
// refusal says so, even for a relative name from a deep working folder, and for an index that
// is a link to a short path (SQLite builds the path from the working folder and the name before
// it resolves the link).
TEST(BgenIndexMetadata, AnIndexPathTooLongForSqliteIsNamedAsTheCause) {
    enum class Outcome { runs, refused, runsOrRefused };
    const struct {
        std::size_t length;  // of the working folder joined with "/d.bgi"
        bool linked;         // d.bgi is a link to the index in a short folder
        Outcome outcome;
    } cases[] = {
        {504, false, Outcome::runs},
        {505, false, Outcome::refused},
        {900, false, Outcome::refused},
        // SQLite resolves the link as it builds the path, and this one stays short enough on the
        // way; a version that builds the whole name first refuses it, and must say why.
        {505, true, Outcome::runsOrRefused},
        {520, true, Outcome::refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.linked ? " linked" : ""));
        TempDir dir;
        const std::string folder = folderForIndexPath(dir, c.length);
        DatasetOptions options;
        options.name = "d";
        options.snps = 3;
        options.samples = 10;
        // The fixture writes the index with SQLite too, so the files are made higher up and moved.
        makeDataset(dir.path(), options);
        for (const char* name : {"d.z", "d.bgen"}) std::filesystem::rename(dir.file(name), folder + "/" + name);
        if (c.linked) {
            std::filesystem::create_symlink(std::filesystem::canonical(dir.file("d.bgi")), folder + "/d.bgi");
        } else {
            std::filesystem::rename(dir.file("d.bgi"), folder + "/d.bgi");
        }
        ASSERT_EQ(std::filesystem::canonical(folder).string().size() + 6, c.length);
        writeMasterFile(folder + "/m.txt", {"z", "bgen", "bgi", "bcor", "n_samples"},
                        {{{"z", "d.z"}, {"bgen", "d.bgen"}, {"bgi", "d.bgi"}, {"bcor", "d.bcor"}, {"n_samples", "10"}}});
        const ProcessResult r = runTesmaro({"--write-bcor", "--read-only-bgen", "--in-files", "m.txt"}, folder);
        const std::string refusal = "Error : Unable to open the database file (using BGEN index file 'd.bgi', whose "
                                    "absolute path of " + std::to_string(c.length) +
                                    " bytes is longer than the 504 bytes that SQLite can open)!\n\n";
        switch (c.outcome) {
            case Outcome::runs:
                EXPECT_EQ(r.status, 0) << r.err;
                break;
            case Outcome::refused:
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.err, refusal);
                break;
            case Outcome::runsOrRefused:
                EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.err == refusal)) << r.err;
                break;
        }
    }
}
