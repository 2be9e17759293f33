// Test fixtures: writes BGEN index files (.bgi, SQLite databases) from plain rows with the
// sqlite3 C interface, independently of the production db layer and of the BGEN writer.
// Failures throw std::runtime_error. Plain values; one test thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One row of the variant table. An empty optional writes NULL.
struct BgiVariantRow {
    std::string rsid;
    std::string chromosome;
    int64_t position = 0;
    std::string allele1;
    std::string allele2;
    std::optional<int64_t> file_start_position;
    std::optional<int64_t> size_in_bytes;
};

// One row of the Metadata table. An empty optional writes NULL.
struct BgiMetadataRow {
    std::optional<std::string> filename;
    std::optional<int64_t> file_size;
    std::optional<std::vector<uint8_t>> first_1000_bytes;
};

struct BgiFile {
    // Table names; an empty name leaves the table out.
    std::string metadataTable = "Metadata";
    std::string variantTable = "Variant";
    std::vector<BgiMetadataRow> metadata;  // in insertion order; none leaves the table empty
    std::vector<BgiVariantRow> variants;   // in insertion order; repeat a row to duplicate it
    // Statements run after the tables are filled (e.g. to drop a column).
    std::vector<std::string> extraSql;
    // Declared type of the variant table's file_start_position and size_in_bytes columns; an
    // empty text declares none (no type affinity, so SQLite keeps every value as it is given).
    std::string offsetColumnType = "INT";
};

// Metadata naming `filename`, `fileSize` bytes long, whose first bytes are `firstBytes`.
BgiMetadataRow bgiMetadata(const std::string& filename, int64_t fileSize, const std::vector<uint8_t>& firstBytes);

// Writes `file` as a new database at `path`, replacing any file there.
void writeBgi(const std::string& path, const BgiFile& file);

// Runs one SQL statement on the database at `path` (e.g. to damage a value in place); returns
// the first column of its first row as text, "" when it yields no row or NULL.
std::string runBgiSql(const std::string& path, const std::string& sql);
