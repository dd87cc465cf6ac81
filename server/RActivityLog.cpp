#include "server/RActivityLog.h"

#include <sqlite3.h>

#include <cstdio>

#include "runtime/RPaths.h"

namespace DUve {

CRActivityLog::~CRActivityLog() { Close(); }

void CRActivityLog::Close() {
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

std::filesystem::path CRActivityLog::FileOf(const std::filesystem::path& folder, uint32_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "%04u.db", id);
    return folder / name;
}

bool CRActivityLog::Open(const std::filesystem::path& file) {
    Close();
    if (file.has_parent_path()) EnsureFolder(file.parent_path());
    if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        Close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 2000);
    // Same durability trade as the solution database: a row per message must not cost a
    // disk flush per message.
    sqlite3_exec(m_db, "PRAGMA JOURNAL_MODE=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(m_db, "PRAGMA SYNCHRONOUS=OFF", nullptr, nullptr, nullptr);
    bool exists = false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT * FROM sqlite_master WHERE type='table' AND name='log'",
                           -1, &st, nullptr) == SQLITE_OK)
        exists = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    if (!exists)
        sqlite3_exec(m_db,
                     "CREATE TABLE log ( id INTEGER PRIMARY KEY, date TEXT DEFAULT "
                     "(datetime(CURRENT_TIMESTAMP,'localtime')), data BLOB )",
                     nullptr, nullptr, nullptr);
    return true;
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

}  // namespace DUve
