// The activity log's file: rows, a complete file after closing, refusing a file that is
// not a database; and the integrity check over the server folder's databases.
#include "server/RActivityLog.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

#include "model/SolutionDb.h"
#include "support/TempDir.h"

using namespace DUve;
namespace fs = std::filesystem;

namespace {

// The data of every row of a log file, read by another connection.
std::vector<std::vector<uint8_t>> Rows(const fs::path& file) {
    std::vector<std::vector<uint8_t>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT data FROM log ORDER BY id", -1, &st, nullptr);
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 0));
            rows.emplace_back(p, p + sqlite3_column_bytes(st, 0));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

int PragmaInt(sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    int value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        value = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    return value;
}

// A log row is often one large blob, stored in large pages; the log is still copied into
// the file (with its disk flushes) after as many bytes as with SQLite's default pages, and
// an older file keeps its pages and that same threshold in bytes.
TEST(ActivityLog, NewFilesTakeLargePagesAndEveryFileCheckpointsAfterTheSameBytes) {
    PalvorTest::CTempDir dir;
    struct Case {
        int existingPageSize;  // 0: a new file
        int expectedPageSize;
    };
    for (const Case c : {Case{0, CRActivityLog::kPageSize}, Case{4096, 4096}, Case{1024, 1024}}) {
        SCOPED_TRACE(c.existingPageSize);
        const fs::path file = dir.Path() / ("log" + std::to_string(c.existingPageSize) + ".db");
        if (c.existingPageSize) {
            CRStatus status;
            sqlite3* old = SolutionFiles::OpenForWriting(file, c.existingPageSize, status);
            ASSERT_NE(old, nullptr);
            ASSERT_EQ(sqlite3_exec(old, "CREATE TABLE older (x)", nullptr, nullptr, nullptr), SQLITE_OK);
            ASSERT_TRUE(SolutionFiles::CheckpointAndClose(old).Ok());
        }
        {
            CRActivityLog log;
            ASSERT_TRUE(log.Open(file));
            ASSERT_TRUE(log.AppendLog(std::vector<uint8_t>(100000, 7)));
            EXPECT_TRUE(log.Checkpoint());
            EXPECT_TRUE(log.Close());
        }
        CRStatus status;
        sqlite3* db = SolutionFiles::OpenForWriting(file, 0, status);
        ASSERT_NE(db, nullptr);
        EXPECT_EQ(PragmaInt(db, "PRAGMA page_size"), c.expectedPageSize);
        EXPECT_EQ(SolutionFiles::SetCheckpointBytes(db, CRActivityLog::kCheckpointBytes),
                  CRActivityLog::kCheckpointBytes / c.expectedPageSize);
        EXPECT_EQ(PragmaInt(db, "PRAGMA wal_autocheckpoint"),
                  CRActivityLog::kCheckpointBytes / c.expectedPageSize);
        EXPECT_EQ(SolutionFiles::SetCheckpointBytes(db, 1), 1);  // at least one page
        sqlite3_close(db);
        EXPECT_EQ(Rows(file).size(), 1u);
    }
}

TEST(ActivityLog, RowsAreAppendedAndClosingLeavesTheFileComplete) {
    PalvorTest::CTempDir dir;
    const fs::path file = CRActivityLog::FileOf(dir.Path() / "a" / "b", 12);
    EXPECT_EQ(file.filename(), "0012.db");
    CRActivityLog log;
    ASSERT_TRUE(log.Open(file));  // creates the folders
    const std::vector<std::vector<uint8_t>> rows = {{1, 2, 3}, {}, std::vector<uint8_t>(5000, 7)};
    for (const auto& row : rows) EXPECT_TRUE(log.AppendLog(row));

    // Another connection keeps the -wal file from going away on its own.
    sqlite3* reader = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(reader, "SELECT count(*) FROM log", nullptr, nullptr, nullptr), SQLITE_OK);
    const fs::path wal = file.string() + "-wal";
    ASSERT_GT(fs::file_size(wal), 0u);
    EXPECT_TRUE(log.Close());
    EXPECT_EQ(fs::file_size(wal), 0u);
    EXPECT_FALSE(log.AppendLog({1}));
    EXPECT_FALSE(log.Close());
    sqlite3_close(reader);

    const fs::path copy = dir.Path() / "copy.db";
    fs::copy_file(file, copy);
    const auto stored = Rows(copy);
    ASSERT_EQ(stored.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(stored[i], rows[i]) << "row " << i;

    // Reopening appends after the rows there.
    ASSERT_TRUE(log.Open(file));
    EXPECT_TRUE(log.AppendLog({9}));
    EXPECT_TRUE(log.Close());
    EXPECT_EQ(Rows(file).size(), rows.size() + 1);
}

// The log is only appended to: the pages it has written do not stay in memory. A server
// that runs for days writes megabytes of rows; its memory must not follow them.
TEST(ActivityLog, AppendingManyRowsKeepsTheMemoryOfAFewPages) {
    PalvorTest::CTempDir dir;
    for (const int existingPageSize : {0, 4096}) {  // a new file, an older file's pages
        SCOPED_TRACE(existingPageSize);
        const fs::path file = dir.Path() / ("grow" + std::to_string(existingPageSize) + ".db");
        if (existingPageSize) {
            CRStatus status;
            sqlite3* old = SolutionFiles::OpenForWriting(file, existingPageSize, status);
            ASSERT_NE(old, nullptr);
            sqlite3_close(old);
        }
        CRActivityLog log;
        ASSERT_TRUE(log.Open(file));
        const std::vector<uint8_t> row(3000, 5);
        ASSERT_TRUE(log.AppendLog(row));
        const sqlite3_int64 before = sqlite3_memory_used();
        constexpr int kRows = 1500;  // about 4.5 MB, more than twice SQLite's default cache
        int appended = 1;
        for (int i = 1; i < kRows; ++i) appended += log.AppendLog(row) ? 1 : 0;
        const sqlite3_int64 grown = sqlite3_memory_used() - before;
        EXPECT_EQ(appended, kRows);
        EXPECT_LT(grown, 2 * CRActivityLog::kCacheKiB * 1024) << "bytes held after the appends";
        EXPECT_TRUE(log.Close());
        EXPECT_EQ(Rows(file).size(), static_cast<size_t>(kRows));
    }
}

TEST(ActivityLog, AFileThatIsNotADatabaseIsRefused) {
    PalvorTest::CTempDir dir;
    const fs::path file = dir.Path() / "0001.db";
    std::ofstream(file) << std::string(4096, 'x');
    CRActivityLog log;
    EXPECT_FALSE(log.Open(file));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(log.AppendLog({1}));
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(4096, 'x'));
}

TEST(ActivityLog, TheServerFolderCheckCoversEachSolutionsTwoFilesInNameOrder) {
    PalvorTest::CTempDir dir;
    const fs::path folder = dir.Path() / "server";
    {
        CSolutionDb db;
        ASSERT_TRUE(db.Open(folder / "0002_solution.db"));
        CRActivityLog log;
        ASSERT_TRUE(log.Open(folder / "0002.db"));
        ASSERT_TRUE(log.AppendLog({1, 2}));
    }
    std::ofstream(folder / "0010.db") << std::string(4096, 'x');  // damaged
    for (const char* other : {"notes.db", "12.db", "0003_solution.db.bak", "0004.db-wal"})
        std::ofstream(folder / other) << std::string(4096, 'x');
    fs::create_directories(folder / "0005_solution.db" / "x");  // not a file: a problem

    const struct {
        std::optional<uint32_t> solution;
        std::vector<std::pair<std::string, bool>> expected;  // (name, ok)
    } cases[] = {
        {std::nullopt,
         {{"0002.db", true}, {"0002_solution.db", true}, {"0005_solution.db", false}, {"0010.db", false}}},
        {2, {{"0002_solution.db", true}, {"0002.db", true}}},
        {10, {{"0010.db", false}}},
        {7, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.solution ? std::to_string(*c.solution) : "all");
        std::vector<std::pair<std::string, bool>> got;
        for (const CRFileCheck& check : CheckServerFiles(folder, c.solution)) {
            EXPECT_EQ(check.file.parent_path(), folder);
            got.emplace_back(check.file.filename().string(), check.Ok());
        }
        EXPECT_EQ(got, c.expected);
    }

    // A missing folder has nothing to check, and stays missing.
    EXPECT_TRUE(CheckServerFiles(dir.Path() / "none").empty());
    EXPECT_TRUE(CheckServerFiles(dir.Path() / "none", 2).empty());
    EXPECT_FALSE(fs::exists(dir.Path() / "none"));
}

}  // namespace
