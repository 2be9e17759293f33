// BgenIndexParser: reads a BGEN index file (.bgi, an SQLite database) through the db layer.
// One constructor reads the index's Metadata row, the other finds the variant block of every
// SNP of a SNP index. All work is done inside the constructors; the object only keeps the
// read-only connection, closed when it is destroyed. Main thread only.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/sqlstatement.h"
#include "meta.h"

// The place of one SNP's variant block in its BGEN file.
struct BgenIndex {
    std::string rsid;
    uint32_t position = 0;
    int64_t file_start_position = -1;  // absolute byte offset of the block in the BGEN file
    int64_t size_in_bytes = -1;        // size of the block in bytes
};

class BgenIndexParser {
public:
    // The Metadata row: the BGEN file that was indexed, its size and its first bytes.
    struct MetaData {
        std::string filename;
        int64_t file_size = -1;
        std::vector<uint8_t> first_1000_bytes;
    };

    // Fills `metaData` from the first Metadata row of `bgiFile`; a missing or empty Metadata
    // table, or an allocation that fails while the index is read, ends the run naming it.
    BgenIndexParser(const std::string& bgiFile, MetaData* metaData);

    // Overwrites records[k] with the index row of the SNP numbered k (0-based Z-file order)
    // for every SNP of `snpIndex`; `records` must hold one record per SNP. Any SNP without a
    // row is listed on standard output and ends the run, and so does a matched row whose file
    // position or size is missing, negative or not stored as an integer; an allocation that
    // fails meanwhile ends it naming `bgiFile`. `bgenFile` and `zFile` are used in messages only.
    BgenIndexParser(const std::string& bgenFile, const std::string& bgiFile, const std::string& zFile,
                    const SnpIndex& snpIndex, std::vector<BgenIndex>* records);

private:
    void insertMetaIntoTable(const SnpIndex& snpIndex, db::SQLStatement& insert);
    void getMetaFromTable(const SnpIndex& snpIndex, db::SQLStatement& join, std::vector<BgenIndex>* records);
    void checkNotMatchedSNPs(const std::string& bgenFile, const std::string& zFile) const;
    // Spinner: counts one more row; every 10th writes "\r" + label + "+", every other 5th "-".
    void printStatus(const std::string& label, uint32_t* rows) const;

    std::set<Meta> matchedSnps;
    std::set<Meta> requestedSnps;
    db::Connection::UniquePtr connection;
};
