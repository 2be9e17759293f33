#include "bgenindexparser.h"

#include <iostream>

#include "error.h"

namespace {

const char* const metadataProbeSql = "SELECT * FROM sqlite_master WHERE name == 'Metadata' AND type == 'table'";
const char* const metadataSelectSql = "SELECT filename, file_size, first_1000_bytes FROM Metadata";
const char* const tempTableSql =
    "CREATE TEMP TABLE IF NOT EXISTS tmpIncluded (  chromosome TEXT NOT NULL,  position INT NOT NULL,  rsid TEXT "
    "NOT NULL,  allele1 TEXT NOT NULL,  allele2 TEXT NOT NULL,  PRIMARY KEY ( chromosome, position, rsid, allele1, "
    "allele2 ) ) WITHOUT ROWID";
const char* const insertSql =
    "INSERT INTO tmpIncluded (  chromosome,  position,  rsid,  allele1,  allele2 ) VALUES( ?, ?, ?, ?, ? )";
const char* const joinSql =
    "SELECT VARIANT.rsid, VARIANT.chromosome, VARIANT.position, VARIANT.allele1, VARIANT.allele2, "
    "VARIANT.file_start_position, VARIANT.size_in_bytes FROM VARIANT INNER JOIN tmpIncluded TI  ON  TI.rsid       "
    "== VARIANT.rsid  AND TI.chromosome == VARIANT.chromosome  AND TI.position   == VARIANT.position  AND "
    "TI.allele1    == VARIANT.allele1  AND TI.allele2    == VARIANT.allele2";

const char* const progressLabel = "- Reading BGEN indexes  : ";

const char* const negativeOrMissing = "a negative or missing file position or size";
const char* const notInteger = "a file position or size that is not an integer";

// Ends the run: `bgiFile` holds `what` for the SNP `rsid`.
[[noreturn]] void failOffset(const std::string& bgiFile, const std::string& what, const std::string& rsid) {
    Error::fail("\n\n", "BGEN index file '" + bgiFile + "' holds " + what + " for SNP with rsID '" + rsid + "'!");
}

// Column `column` of a join row as a byte offset or size. Only a value stored as an INTEGER is
// taken: the index declares these columns as integers, so REAL, TEXT (even the text of an
// integer) and BLOB values are damage rather than something to convert. The storage class is
// asked first, since reading the value may convert it.
int64_t readOffset(const db::SQLStatement& join, int column, const std::string& bgiFile, const std::string& rsid) {
    const db::ColumnType type = join.get_column_type(column);
    if (type == db::ColumnType::Null) failOffset(bgiFile, negativeOrMissing, rsid);
    if (type != db::ColumnType::Integer) failOffset(bgiFile, notInteger, rsid);
    const int64_t value = join.get_column<long long>(column);
    if (value < 0) failOffset(bgiFile, negativeOrMissing, rsid);
    return value;
}

}  // namespace

BgenIndexParser::BgenIndexParser(const std::string& bgiFile, MetaData* metaData) {
    guardMemory(bgiFile, [&] {
        connection = db::Connection::create(bgiFile, "r");
        const std::string malformed = "File '" + bgiFile + "' appears malformed (empty Metadata table)";
        const db::SQLStatement::UniquePtr probe = connection->get_statement(metadataProbeSql);
        if (!probe->step()) Error::fail(malformed);
        // Declared after the probe, so destroyed before it.
        const db::SQLStatement::UniquePtr select = connection->get_statement(metadataSelectSql);
        if (!select->step()) Error::fail(malformed);
        metaData->filename = select->get_column<std::string>(0);
        metaData->file_size = select->get_column<long long>(1);
        metaData->first_1000_bytes = select->get_column<std::vector<uint8_t>>(2);
    });
}

BgenIndexParser::BgenIndexParser(const std::string& bgenFile, const std::string& bgiFile, const std::string& zFile,
                                 const SnpIndex& snpIndex, std::vector<BgenIndex>* records) {
    // The SNP numbers must be exactly 0 to n-1 and name a record each.
    const std::size_t count = snpIndex.size();
    if (records->size() != count || (count > 0 && snpIndex.right.rbegin()->first != count - 1))
        Error::fail("The SNP numbers of file '" + zFile + "' do not match the " + std::to_string(records->size()) +
                    " index records of BGEN file '" + bgenFile + "'!");
    std::cout << "\r" << progressLabel << std::flush;
    guardMemory(bgiFile, [&] {
        connection = db::Connection::create(bgiFile, "r");
        connection->run_statement(tempTableSql);
        const db::SQLStatement::UniquePtr insert = connection->get_statement(insertSql);
        insertMetaIntoTable(snpIndex, *insert);
        const db::SQLStatement::UniquePtr join = connection->get_statement(joinSql);
        getMetaFromTable(snpIndex, *join, records);
        checkNotMatchedSNPs(bgenFile, zFile);
    });
}

void BgenIndexParser::insertMetaIntoTable(const SnpIndex& snpIndex, db::SQLStatement& insert) {
    for (uint32_t k = 0; k < snpIndex.size(); ++k) {
        const Meta& meta = snpIndex.right.find(k)->second;
        requestedSnps.insert(meta);
        // A position above 2^31 - 1 is bound with the same bits as a negative number.
        insert.bind(1, meta.chromosome)
            .bind(2, static_cast<int>(meta.position))
            .bind(3, meta.rsid)
            .bind(4, meta.allele(0))
            .bind(5, meta.allele(1));
        insert.step();
        insert.reset();
    }
}

void BgenIndexParser::getMetaFromTable(const SnpIndex& snpIndex, db::SQLStatement& join,
                                       std::vector<BgenIndex>* records) {
    const std::string bgiFile = connection->get_spec();
    uint32_t rows = 0;
    while (join.step()) {
        printStatus(progressLabel, &rows);
        Meta meta;
        meta.rsid = join.get_column<std::string>(0);
        meta.chromosome = join.get_column<std::string>(1);
        meta.position = static_cast<uint32_t>(join.get_column<int>(2));
        meta.alleles = {join.get_column<std::string>(3), join.get_column<std::string>(4)};
        const auto found = snpIndex.left.find(meta);
        if (found == snpIndex.left.end()) continue;
        matchedSnps.insert(meta);
        // Offsets come from an untrusted file; their bounds in the BGEN file are checked by its reader.
        const int64_t start = readOffset(join, 5, bgiFile, meta.rsid);
        const int64_t size = readOffset(join, 6, bgiFile, meta.rsid);
        BgenIndex& record = (*records)[found->second];
        record.rsid = meta.rsid;
        record.position = meta.position;
        record.file_start_position = start;
        record.size_in_bytes = size;
    }
    std::cout << "\r" << progressLabel << "done!   " << std::flush;
}

void BgenIndexParser::checkNotMatchedSNPs(const std::string& bgenFile, const std::string& zFile) const {
    std::string report;
    for (const Meta& meta : requestedSnps) {
        if (matchedSnps.count(meta) != 0) continue;
        report += "Error : SNP with rsID '" + meta.rsid + "' in file '" + zFile +
                  "' could not be matched with SNP in BGEN file '" + bgenFile + "'!\n";
    }
    if (!report.empty()) failure::report("\n\n" + report, "\n");
}

void BgenIndexParser::printStatus(const std::string& label, uint32_t* rows) const {
    ++*rows;
    if (*rows % 10 == 0) {
        std::cout << "\r" << label << "+" << std::flush;
    } else if (*rows % 5 == 0) {
        std::cout << "\r" << label << "-" << std::flush;
    }
}
