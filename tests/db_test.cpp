#include <gtest/gtest.h>
#include <sqlite3.h>

#include <climits>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/sqlite3connection.h"
#include "db/sqlstatement.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

std::string dbReport(const std::string& text, const std::string& path) {
    return "Error : " + text + " (using BGEN index file '" + path + "')!\n\n";
}

// Runs an SQL script on a new or existing database with the plain sqlite3 interface.
void runScript(const std::string& path, const std::string& sql) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
    sqlite3_close(handle);
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

void expectDbFailure(const ProcessResult& r, const std::string& text, const std::string& path) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dbReport(text, path));
}

TEST(DbError, EveryCodeTextAndTheMessageBytes) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {1, "SQL error or missing database"},
        {2, "Internal logic error in SQLite"},
        {3, "Access permission denied"},
        {4, "Callback routine requested an abort"},
        {5, "The database file is locked"},
        {6, "A table in the database is locked"},
        {7, "A malloc() failed"},
        {8, "Attempt to write a readonly database"},
        {9, "Operation terminated by sqlite3_interrupt()"},
        {10, "Some kind of disk I/O error occurred"},
        {11, "The database disk image is malformed"},
        {12, "NOT USED. Table or record not found"},
        {13, "Insertion failed because database is full"},
        {14, "Unable to open the database file"},
        {15, "Database lock protocol error"},
        {16, "Database is empty"},
        {17, "The database schema changed"},
        {18, "String or BLOB exceeds size limit"},
        {19, "Abort due to constraint violation"},
        {20, "Data type mismatch"},
        {21, "Library used incorrectly"},
        {22, "Uses OS features not supported on host"},
        {23, "Authorization denied"},
        {24, "Auxiliary database format error"},
        {25, "2nd parameter to sqlite3_bind out of range"},
        {26, "File opened that is not a database file"},
        {100, "sqlite3_step() has another row ready"},
        {101, "sqlite3_step() has finished executing"},
        // Codes without a text: "Error : " is followed at once by " (using", two blanks.
        {0, ""},
        {27, ""},
        {99, ""},
        {102, ""},
        {-1, ""},
        {INT32_MIN, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::Error::codeText(c.code), c.text) << c.code;
        const ProcessResult r = runInChild([&] { db::Error("dir/x.bgi", c.code); });
        expectDbFailure(r, c.text, "dir/x.bgi");
    }
    EXPECT_EQ(runInChild([] { db::Error("a.bgi", 0); }).err, "Error :  (using BGEN index file 'a.bgi')!\n\n");
}

TEST(DbError, SubclassesReportTheSameMessage) {
    const std::function<void()> raise[] = {
        [] { db::ValueBindError("v.bgi", 25); },
        [] { db::TransactionError("v.bgi", 25); },
        [] { db::StatementStepError("v.bgi", 25); },
    };
    for (const auto& body : raise)
        expectDbFailure(runInChild(body), "2nd parameter to sqlite3_bind out of range", "v.bgi");
}

TEST(DbConnection, OpenAndPrepareFailuresNameTheFile) {
    TempDir dir;
    const std::string missing = dir.file("missing.bgi");
    const std::string text = dir.write("text.bgi", std::string(4096, 'x'));
    const std::string shortText = dir.write("short.bgi", "not a database\n");
    const std::string db = dir.file("ok.db");
    runScript(db, "CREATE TABLE t (a INT);");
    const struct {
        std::string path;
        std::string mode;
        std::string sql;
        std::string message;
    } cases[] = {
        {missing, "r", "", "Unable to open the database file"},
        {dir.file("no/such/dir.bgi"), "rw", "", "Unable to open the database file"},
        {db, "x", "", "Library used incorrectly"},
        {text, "r", "SELECT name FROM sqlite_master", "File opened that is not a database file"},
        {shortText, "r", "SELECT name FROM sqlite_master", "File opened that is not a database file"},
        {db, "r", "SELECT a FROM u", "SQL error or missing database"},
        {db, "r", "SELECT b FROM t", "SQL error or missing database"},
        {db, "r", "SELEC 1", "SQL error or missing database"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            const db::Connection::UniquePtr connection = db::Connection::create(c.path, c.mode);
            if (!c.sql.empty()) connection->get_statement(c.sql);
            std::cout << "returned";
        });
        expectDbFailure(r, c.message, c.path);
    }
    // Read-only opening never creates the file.
    EXPECT_FALSE(fileExists(missing));
}

TEST(DbConnection, ReadOnlyRefusesWritesAndReadWriteCreates) {
    TempDir dir;
    const std::string created = dir.file("new.db");
    {
        const db::Connection::UniquePtr connection = db::Connection::create(created, "rw");
        EXPECT_EQ(connection->get_spec(), created);
        connection->run_statement("CREATE TABLE t (a INT)");
        connection->run_statement("INSERT INTO t VALUES (7)");
        connection->run_statement("INSERT INTO t VALUES (8)");
        EXPECT_EQ(connection->get_last_insert_row_id(), 2);
    }
    const db::Connection::UniquePtr reader = db::Connection::create(created, "r");
    const db::SQLStatement::UniquePtr sum = reader->get_statement("SELECT sum(a) FROM t");
    ASSERT_TRUE(sum->step());
    EXPECT_EQ(sum->get_column<int>(0), 15);
    // A temporary table lives outside the read-only file and may be written.
    reader->run_statement("CREATE TEMP TABLE x (a INT)");
    reader->run_statement("INSERT INTO x VALUES (1)");
    expectDbFailure(runInChild([&] { reader->run_statement("INSERT INTO t VALUES (9)"); }),
                    "Attempt to write a readonly database", created);
}

class DbStatement : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("s.db");
    db::Connection::UniquePtr connection;

    void SetUp() override {
        runScript(path, "CREATE TABLE t (a INT, b TEXT); INSERT INTO t VALUES (1, 'one'), (2, 'two');");
        connection = db::Connection::create(path, "r");
    }
};

TEST_F(DbStatement, StepAndEmpty) {
    const db::SQLStatement::UniquePtr rows = connection->get_statement("SELECT a, b FROM t ORDER BY a");
    EXPECT_TRUE(rows->empty());
    ASSERT_TRUE(rows->step());
    EXPECT_FALSE(rows->empty());
    EXPECT_EQ(rows->get_column<int>(0), 1);
    EXPECT_EQ(rows->get_column<std::string>(1), "one");
    ASSERT_TRUE(rows->step());
    EXPECT_EQ(rows->get_column<std::string>(1), "two");
    EXPECT_FALSE(rows->step());
    EXPECT_TRUE(rows->empty());

    const db::SQLStatement::UniquePtr none = connection->get_statement("SELECT a FROM t WHERE a > 5");
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(none->step());
    EXPECT_TRUE(none->empty());
}

TEST_F(DbStatement, ResetKeepsBindingsAndRestarts) {
    const db::SQLStatement::UniquePtr query = connection->get_statement("SELECT b FROM t WHERE a >= ? ORDER BY a");
    query->bind(1, 1);
    ASSERT_TRUE(query->step());
    EXPECT_EQ(query->get_column<std::string>(0), "one");
    query->reset();
    ASSERT_TRUE(query->step());
    EXPECT_EQ(query->get_column<std::string>(0), "one");
    query->reset().bind(1, 2);
    ASSERT_TRUE(query->step());
    EXPECT_EQ(query->get_column<std::string>(0), "two");
    EXPECT_FALSE(query->step());
}

TEST_F(DbStatement, BoundValuesArriveWithTypeAndEveryByte) {
    const std::string withNul("a\0b", 3);
    const uint8_t bytes[] = {0x00, 0xFF, 0x10};
    const char* chars = "xyz";
    const struct {
        const char* name;
        std::function<void(db::SQLStatement&)> bind;
        const char* type;
        const char* hex;
    } cases[] = {
        {"int", [](db::SQLStatement& s) { s.bind(1, -7); }, "integer", "-7"},
        {"unsigned", [](db::SQLStatement& s) { s.bind(1, 4294967295u); }, "integer", "-1"},
        {"long long", [](db::SQLStatement& s) { s.bind(1, -1099511627776LL); }, "integer", "-1099511627776"},
        {"unsigned long long", [](db::SQLStatement& s) { s.bind(1, 9223372036854775807ULL); }, "integer",
         "9223372036854775807"},
        // Above the signed 64-bit range: the same bits, read back as a negative number.
        {"unsigned long long 2^63", [](db::SQLStatement& s) { s.bind(1, 9223372036854775808ULL); }, "integer",
         "-9223372036854775808"},
        {"unsigned long long max", [](db::SQLStatement& s) { s.bind(1, 18446744073709551615ULL); }, "integer",
         "-1"},
        {"double", [](db::SQLStatement& s) { s.bind(1, 0.5); }, "real", "0.5"},
        {"text with NUL", [&](db::SQLStatement& s) { s.bind(1, withNul); }, "text", "610062"},
        {"empty text", [](db::SQLStatement& s) { s.bind(1, std::string()); }, "text", ""},
        {"C string", [](db::SQLStatement& s) { s.bind(1, "ab"); }, "text", "6162"},
        {"null C string", [](db::SQLStatement& s) { s.bind(1, static_cast<const char*>(nullptr)); }, "null", ""},
        {"char range", [&](db::SQLStatement& s) { s.bind(1, chars, chars + 2); }, "blob", "7879"},
        {"char range with NUL", [&](db::SQLStatement& s) { s.bind(1, withNul.data(), withNul.data() + 3); }, "blob",
         "610062"},
        {"empty char range", [](db::SQLStatement& s) { s.bind(1, static_cast<const char*>(nullptr), nullptr); },
         "blob", ""},
        {"byte range", [&](db::SQLStatement& s) { s.bind(1, bytes, bytes + 3); }, "blob", "00FF10"},
        {"empty byte range", [](db::SQLStatement& s) { s.bind(1, static_cast<const uint8_t*>(nullptr), nullptr); },
         "blob", ""},
        {"NULL", [](db::SQLStatement& s) { s.bind_NULL(1); }, "null", ""},
    };
    const db::SQLStatement::UniquePtr query = connection->get_statement(
        "SELECT typeof(?1), CASE typeof(?1) WHEN 'text' THEN hex(?1) WHEN 'blob' THEN hex(?1) ELSE "
        "coalesce(CAST(?1 AS TEXT), '') END");
    for (const auto& c : cases) {
        c.bind(*query);
        ASSERT_TRUE(query->step()) << c.name;
        EXPECT_EQ(query->get_column<std::string>(0), c.type) << c.name;
        EXPECT_EQ(query->get_column<std::string>(1), c.hex) << c.name;
        query->reset();
    }
}

TEST_F(DbStatement, BindsChainOnTheSameStatement) {
    const db::SQLStatement::UniquePtr query = connection->get_statement("SELECT ?1 || ?2 || ?3");
    query->bind(1, "a").bind(2, 5).bind(3, std::string("c"));
    ASSERT_TRUE(query->step());
    EXPECT_EQ(query->get_column<std::string>(0), "a5c");
}

TEST_F(DbStatement, BindFailuresEndTheRun) {
    const struct {
        std::function<void(db::SQLStatement&)> bind;
        const char* text;
    } cases[] = {
        {[](db::SQLStatement& s) { s.bind(0, 1); }, "2nd parameter to sqlite3_bind out of range"},
        {[](db::SQLStatement& s) { s.bind(2, "x"); }, "2nd parameter to sqlite3_bind out of range"},
        {[](db::SQLStatement& s) { s.bind_NULL(-1); }, "2nd parameter to sqlite3_bind out of range"},
        // A range whose end lies before its begin.
        {[](db::SQLStatement& s) {
             const char chars[] = "ab";
             s.bind(1, chars + 2, chars);
         },
         "Library used incorrectly"},
        {[](db::SQLStatement& s) {
             const uint8_t bytes[] = {1, 2};
             s.bind(1, bytes + 2, bytes);
         },
         "Library used incorrectly"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] {
            const db::SQLStatement::UniquePtr query = connection->get_statement("SELECT ?1");
            c.bind(*query);
            std::cout << "returned";
        });
        expectDbFailure(r, c.text, path);
    }
}

TEST_F(DbStatement, ColumnValuesNullEmptyAndNul) {
    const db::SQLStatement::UniquePtr row = connection->get_statement(
        "SELECT NULL, X'', '', CAST(X'610062' AS TEXT), X'610062', 4294967301, -9223372036854775808, 2.25, 'xyz'");
    ASSERT_TRUE(row->step());
    EXPECT_EQ(row->get_number_of_columns(), 9);
    EXPECT_EQ(row->get_column_count(), 9);

    EXPECT_TRUE(row->is_null(0));
    EXPECT_EQ(row->get_column<std::string>(0), "");
    EXPECT_EQ(row->get_column<std::vector<uint8_t>>(0), std::vector<uint8_t>{});
    EXPECT_EQ(row->get_column<char>(0), '\0');
    EXPECT_EQ(row->get_column<int>(0), 0);
    EXPECT_EQ(row->get_column<long long>(0), 0);
    EXPECT_EQ(row->get_column<double>(0), 0.0);

    EXPECT_FALSE(row->is_null(1));
    EXPECT_EQ(row->get_column<std::vector<uint8_t>>(1), std::vector<uint8_t>{});
    EXPECT_EQ(row->get_column<std::string>(1), "");
    EXPECT_FALSE(row->is_null(2));
    EXPECT_EQ(row->get_column<std::string>(2), "");
    EXPECT_EQ(row->get_column<char>(2), '\0');

    // Text stops at its first NUL; a blob keeps every byte.
    EXPECT_EQ(row->get_column<std::string>(3), "a");
    EXPECT_EQ(row->get_column<std::vector<uint8_t>>(3), (std::vector<uint8_t>{0x61, 0x00, 0x62}));
    EXPECT_EQ(row->get_column<std::vector<uint8_t>>(4), (std::vector<uint8_t>{0x61, 0x00, 0x62}));

    // 2^32 + 5: the 32-bit getter keeps the low 32 bits.
    EXPECT_EQ(row->get_column<int>(5), 5);
    EXPECT_EQ(row->get_column<long long>(5), 4294967301LL);
    EXPECT_EQ(row->get_column<long long>(6), INT64_MIN);
    EXPECT_EQ(row->get_column<double>(7), 2.25);
    EXPECT_EQ(row->get_column<int>(7), 2);
    EXPECT_EQ(row->get_column<char>(8), 'x');
    EXPECT_EQ(row->get_column<std::string>(8), "xyz");
}

TEST_F(DbStatement, ColumnTypeIsTheStorageClassOfTheValue) {
    // A column without a declared type keeps every value in the class it was given.
    connection->run_statement("CREATE TEMP TABLE v (a)");
    connection->run_statement("INSERT INTO v VALUES (-5), (9.5), ('12'), ('abc'), (X'0102'), (X''), (NULL)");
    const struct {
        db::ColumnType type;
        const char* storage;
    } expected[] = {
        {db::ColumnType::Integer, "integer"}, {db::ColumnType::Real, "real"}, {db::ColumnType::Text, "text"},
        {db::ColumnType::Text, "text"},       {db::ColumnType::Blob, "blob"}, {db::ColumnType::Blob, "blob"},
        {db::ColumnType::Null, "null"},
    };
    const db::SQLStatement::UniquePtr rows = connection->get_statement("SELECT a, typeof(a) FROM v ORDER BY rowid");
    for (const auto& e : expected) {
        ASSERT_TRUE(rows->step());
        EXPECT_EQ(rows->get_column_type(0), e.type) << e.storage;
        EXPECT_EQ(rows->is_null(0), e.type == db::ColumnType::Null) << e.storage;
        EXPECT_EQ(rows->get_column<std::string>(1), e.storage);
    }
    EXPECT_FALSE(rows->step());
}

TEST_F(DbStatement, NamesAndSql) {
    const std::string sql = "SELECT a AS first, b FROM t";
    const db::SQLStatement::UniquePtr query = connection->get_statement(sql);
    EXPECT_EQ(query->get_sql(), sql);
    EXPECT_EQ(query->get_number_of_columns(), 2);
    EXPECT_EQ(query->get_name_of_column(0), "first");
    EXPECT_EQ(query->get_name_of_column(1), "b");
    EXPECT_EQ(query->get_name_of_column(2), "");
}

TEST_F(DbStatement, StepFailureEndsTheRun) {
    // A constraint violation in a temporary table fails at the step.
    connection->run_statement("CREATE TEMP TABLE k (a INT PRIMARY KEY)");
    connection->run_statement("INSERT INTO k VALUES (1)");
    expectDbFailure(runInChild([&] { connection->run_statement("INSERT INTO k VALUES (1)"); }),
                    "Abort due to constraint violation", path);
}

TEST(DbConnection, DestructionFinalisesStatementsLeftAndReleasesTheLock) {
    TempDir dir;
    const std::string path = dir.file("lock.db");
    runScript(path, "CREATE TABLE t (a INT); INSERT INTO t VALUES (1), (2);");
    const ProcessResult r = runInChild([&] {
        auto connection = db::Connection::create(path, "r");
        // A statement halfway through its rows holds a read lock on the file. Its object is
        // abandoned on purpose: the connection must finalise the handle itself.
        db::SQLStatement* reading = connection->get_statement("SELECT a FROM t").release();
        reading->step();
        connection.reset();
        sqlite3* writer = nullptr;
        sqlite3_open_v2(path.c_str(), &writer, SQLITE_OPEN_READWRITE, nullptr);
        std::cout << sqlite3_exec(writer, "BEGIN EXCLUSIVE; DELETE FROM t; COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(writer);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "");
}

TEST(DbConnection, LockedDatabaseIsRetriedThenReported) {
    TempDir dir;
    const std::string path = dir.file("busy.db");
    runScript(path, "CREATE TABLE t (a INT);");
    const ProcessResult r = runInChild([&] {
        sqlite3* holder = nullptr;
        sqlite3_open_v2(path.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr);
        if (sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) return;
        const db::Connection::UniquePtr connection = db::Connection::create(path, "r");
        connection->get_statement("SELECT a FROM t")->step();
        std::cout << "returned";
    });
    expectDbFailure(r, "The database file is locked", path);
}

TEST(DbConnection, BusyHandlerRetriesElevenTimesWithoutDelay) {
    for (int calls = 0; calls <= 10; ++calls) EXPECT_EQ(db::sqlite3_busy_callback(nullptr, calls), 1) << calls;
    for (int calls : {11, 12, 1000, INT_MAX}) EXPECT_EQ(db::sqlite3_busy_callback(nullptr, calls), 0) << calls;
}

}  // namespace
