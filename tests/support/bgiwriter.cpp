#include "support/bgiwriter.h"

#include <sqlite3.h>

#include <cstdio>
#include <stdexcept>

namespace {

// An open database, closed on destruction.
class Database {
public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            fail("open " + path);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() { sqlite3_close(db_); }

    void exec(const std::string& sql) {
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
    }
    sqlite3* get() const { return db_; }
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("bgi fixture: " + what + ": " + sqlite3_errmsg(db_));
    }

private:
    sqlite3* db_ = nullptr;
};

// A prepared insert whose parameters are bound one after the other.
class Insert {
public:
    Insert(Database& db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) db.fail(sql);
    }
    Insert(const Insert&) = delete;
    Insert& operator=(const Insert&) = delete;
    ~Insert() { sqlite3_finalize(statement_); }

    Insert& text(const std::optional<std::string>& value) {
        return check(value ? sqlite3_bind_text(statement_, ++position_, value->data(),
                                               static_cast<int>(value->size()), SQLITE_TRANSIENT)
                           : sqlite3_bind_null(statement_, ++position_));
    }
    Insert& integer(const std::optional<int64_t>& value) {
        return check(value ? sqlite3_bind_int64(statement_, ++position_, *value)
                           : sqlite3_bind_null(statement_, ++position_));
    }
    Insert& blob(const std::optional<std::vector<uint8_t>>& value) {
        // A non-null pointer, so that an empty vector is written as an empty blob, not as NULL.
        static const uint8_t none = 0;
        return check(value ? sqlite3_bind_blob(statement_, ++position_, value->empty() ? &none : value->data(),
                                               static_cast<int>(value->size()), SQLITE_TRANSIENT)
                           : sqlite3_bind_null(statement_, ++position_));
    }
    // Inserts the bound row and starts the next one.
    void run() {
        if (sqlite3_step(statement_) != SQLITE_DONE) db_.fail("insert");
        sqlite3_reset(statement_);
        position_ = 0;
    }

private:
    Insert& check(int rc) {
        if (rc != SQLITE_OK) db_.fail("bind");
        return *this;
    }

    Database& db_;
    sqlite3_stmt* statement_ = nullptr;
    int position_ = 0;
};

}  // namespace

BgiMetadataRow bgiMetadata(const std::string& filename, int64_t fileSize, const std::vector<uint8_t>& firstBytes) {
    return BgiMetadataRow{filename, fileSize, firstBytes};
}

void writeBgi(const std::string& path, const BgiFile& file) {
    std::remove(path.c_str());
    Database db(path);
    // One transaction: a commit per row would sync the file for every row.
    db.exec("BEGIN");
    if (!file.metadataTable.empty()) {
        db.exec("CREATE TABLE " + file.metadataTable + " (filename TEXT, file_size INT, first_1000_bytes BLOB)");
        Insert insert(db, "INSERT INTO " + file.metadataTable + " VALUES (?, ?, ?)");
        for (const BgiMetadataRow& row : file.metadata)
            insert.text(row.filename).integer(row.file_size).blob(row.first_1000_bytes).run();
    }
    if (!file.variantTable.empty()) {
        const std::string& offsetType = file.offsetColumnType;
        db.exec("CREATE TABLE " + file.variantTable +
                " (chromosome TEXT, position INT, rsid TEXT, allele1 TEXT, allele2 TEXT, file_start_position " +
                offsetType + ", size_in_bytes " + offsetType + ")");
        Insert insert(db, "INSERT INTO " + file.variantTable + " VALUES (?, ?, ?, ?, ?, ?, ?)");
        for (const BgiVariantRow& row : file.variants)
            insert.text(row.chromosome)
                .integer(row.position)
                .text(row.rsid)
                .text(row.allele1)
                .text(row.allele2)
                .integer(row.file_start_position)
                .integer(row.size_in_bytes)
                .run();
    }
    db.exec("COMMIT");
    for (const std::string& sql : file.extraSql) db.exec(sql);
}

std::string runBgiSql(const std::string& path, const std::string& sql) {
    Database db(path);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) db.fail(sql);
    const int rc = sqlite3_step(statement);
    const unsigned char* text = rc == SQLITE_ROW ? sqlite3_column_text(statement, 0) : nullptr;
    const std::string value = text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) db.fail(sql);
    return value;
}
