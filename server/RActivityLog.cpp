#include "server/RActivityLog.h"

#include <sqlite3.h>

#include <string>

namespace DUve {

CRActivityLog::~CRActivityLog() {
    if (m_db && !Close()) ReportOnStderr(m_status);
}

void CRActivityLog::Fail(int rc, const char* doing) {
    m_status = CRStatus::Failure(rc, m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc), doing);
}

bool CRActivityLog::Close() {
    if (!m_db) return false;
    sqlite3_finalize(m_append);
    m_append = nullptr;
    m_status = SolutionFiles::CheckpointAndClose(m_db);
    return m_status.Ok();
}

bool CRActivityLog::Checkpoint() {
    if (!m_db) return false;
    m_status = SolutionFiles::Checkpoint(m_db);
    return m_status.Ok();
}

bool CRActivityLog::Open(const std::filesystem::path& file) {
    if (m_db) (void)Close();  // reopening: the rows are in one file or the other
    // A row per message must not cost a disk flush per message: in WAL mode NORMAL
    // flushes at checkpoints only, and a crash or power cut still leaves a sound file.
    m_db = SolutionFiles::OpenForWriting(file, kPageSize, m_status);
    if (!m_db) return false;
    // A message's row is often one large blob: large pages store it in few pages and few
    // writes. The log is still copied into the file, with its disk flushes, after as many
    // bytes as before (a file made with smaller pages keeps them, and its threshold).
    SolutionFiles::SetCheckpointBytes(m_db, kCheckpointBytes);
    // Performance only: a failure leaves SQLite's default cache.
    sqlite3_exec(m_db, ("PRAGMA cache_size=-" + std::to_string(kCacheKiB)).c_str(), nullptr, nullptr,
                 nullptr);
    int rc = SQLITE_ERROR;
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(m_db, "SELECT * FROM sqlite_master WHERE type='table' AND name='log'",
                            -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc == SQLITE_DONE)
        rc = sqlite3_exec(m_db,
                          "CREATE TABLE log ( id INTEGER PRIMARY KEY, date TEXT DEFAULT "
                          "(datetime(CURRENT_TIMESTAMP,'localtime')), data BLOB )",
                          nullptr, nullptr, nullptr) == SQLITE_OK
                 ? SQLITE_ROW
                 : sqlite3_errcode(m_db);
    if (rc == SQLITE_ROW)
        rc = sqlite3_prepare_v3(m_db, "INSERT INTO log ( data ) VALUES ( ? )", -1,
                                SQLITE_PREPARE_PERSISTENT, &m_append, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_ROW) {
        Fail(rc, "opening the activity log");
        const CRStatus cause = m_status;
        (void)Close();
        m_status = cause;
        return false;
    }
    return true;
}

bool CRActivityLog::AppendLog(const std::vector<uint8_t>& data) {
    if (!m_db) {
        m_status = CRStatus::Failure(SQLITE_MISUSE, "the activity log is not open", "recording");
        return false;
    }
    sqlite3_bind_blob(m_append, 1, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(m_append);
    if (rc != SQLITE_DONE) Fail(rc, "recording in the activity log");
    sqlite3_reset(m_append);
    sqlite3_clear_bindings(m_append);
    return rc == SQLITE_DONE;
}

}  // namespace DUve
