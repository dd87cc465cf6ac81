#include "server/RActivityLog.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <system_error>

#include "model/SolutionDb.h"
#include "runtime/RPaths.h"
#include "server/RSeqServer.h"

namespace DUve {

namespace fs = std::filesystem;

namespace {

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

CRActivityLog::~CRActivityLog() {
    if (m_db && !Close())
        std::fprintf(stderr, "palvor: an activity log closed with its last rows left in the -wal file\n");
}

bool CRActivityLog::Close() {
    if (!m_db) return false;
    bool complete = false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &st, nullptr) == SQLITE_OK)
        complete = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) == 0;
    sqlite3_finalize(st);
    if (sqlite3_close(m_db) != SQLITE_OK) {
        complete = false;
        sqlite3_close_v2(m_db);  // closes once its last statement is finalised
    }
    m_db = nullptr;
    return complete;
}

std::filesystem::path CRActivityLog::FileOf(const std::filesystem::path& folder, uint32_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "%04u.db", id);
    return folder / name;
}

bool CRActivityLog::Open(const std::filesystem::path& file) {
    if (m_db) (void)Close();  // reopening: the rows are in one file or the other
    if (file.has_parent_path()) EnsureFolder(file.parent_path());
    if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(m_db, 2000);
    // A row per message must not cost a disk flush per message: in WAL mode NORMAL
    // flushes at checkpoints only, and a crash or power cut still leaves a sound file.
    Exec(m_db, "PRAGMA JOURNAL_MODE=WAL");
    Exec(m_db, "PRAGMA SYNCHRONOUS=NORMAL");
    int rc = SQLITE_ERROR;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT * FROM sqlite_master WHERE type='table' AND name='log'",
                           -1, &st, nullptr) == SQLITE_OK)
        rc = sqlite3_step(st);
    sqlite3_finalize(st);
    const bool usable =
        rc == SQLITE_ROW ||
        (rc == SQLITE_DONE &&
         Exec(m_db,
              "CREATE TABLE log ( id INTEGER PRIMARY KEY, date TEXT DEFAULT "
              "(datetime(CURRENT_TIMESTAMP,'localtime')), data BLOB )"));
    if (!usable) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    return usable;
}

bool CRActivityLog::AppendLog(const std::vector<uint8_t>& data) {
    if (!m_db) return false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "INSERT INTO log ( data ) VALUES ( ? )", -1, &st, nullptr) !=
        SQLITE_OK)
        return false;
    sqlite3_bind_blob(st, 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok;
}

std::vector<CRFileCheck> CheckServerFiles(const fs::path& folder, std::optional<uint32_t> solution) {
    std::vector<fs::path> files;
    std::error_code ec;
    const bool exists = fs::exists(folder, ec);
    if (!ec && exists && solution) {
        for (const fs::path& file :
             {CRSeqServer::SolutionFileOf(folder, *solution), CRActivityLog::FileOf(folder, *solution)})
            if (fs::exists(file, ec) || ec) files.push_back(file);  // an error shows in the check
        ec.clear();
    } else if (!ec && exists) {
        static const std::regex kName("[0-9]{4,}(_solution)?\\.db");
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (std::regex_match(it->path().filename().string(), kName))
                files.push_back(it->path());
        std::sort(files.begin(), files.end());
    }
    if (ec) return {{folder, "cannot be read: " + ec.message()}};
    std::vector<CRFileCheck> result;
    for (const fs::path& file : files) result.push_back({file, CSolutionDb::CheckIntegrity(file)});
    return result;
}

}  // namespace DUve
