#include "model/SolutionDbStatement.h"

#include <cstdio>
#include <exception>

#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {

bool IsConstraint(int rc) {
    return (rc & 0xff) == SQLITE_CONSTRAINT;
}

std::string Depth(const char* prefix, unsigned depth) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s_%u", prefix, depth);
    return buffer;
}

// Statement texts in a report are cut here (identifier lists can be long).
constexpr size_t kReportedSql = 100;

}  // namespace

// --- Failures ---

void CSolutionDb::Fail(const CRStatus& status) {
    if (m_nOperation > 0) {
        if (m_status.Ok()) m_status = status;  // the first failure is the cause
        return;
    }
    m_status = status;
    Report(m_status);
}

void CSolutionDb::FailSqlite(int rc, const std::string& sql) {
    std::string doing = m_nOperation > 0 ? m_pDoing : "running a statement";
    doing += " (";
    doing.append(sql, 0, kReportedSql);
    if (sql.size() > kReportedSql) doing += "...";
    doing += ")";
    Fail(CRStatus::Failure(rc, m_db ? sqlite3_errmsg(m_db) : "the solution database is not open",
                           std::move(doing)));
}

void CSolutionDb::Report(const CRStatus& status) noexcept {
    try {
        if (m_report) {
            m_report(status);
            return;
        }
    } catch (const std::exception& e) {
        std::fprintf(OwnStderr(), "palvor: a failure of %s could not be reported: %s\n", m_path.c_str(),
                     e.what());
    }
    ReportOnStderr(status);
}

// --- Statements ---

CSolutionDb::CStatement::CStatement(CSolutionDb& db, std::string sql, bool cache)
    : m_db(db), m_sql(std::move(sql)), m_bCache(cache) {
    if (!db.m_db) {
        db.FailSqlite(SQLITE_MISUSE, m_sql);
    } else if (m_bCache) {
        m_stmt = db.Acquire(m_sql);
    } else if (sqlite3_prepare_v2(db.m_db, m_sql.c_str(), static_cast<int>(m_sql.size()), &m_stmt,
                                  nullptr) != SQLITE_OK) {
        db.FailSqlite(sqlite3_errcode(db.m_db), m_sql);
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
    }
}

CSolutionDb::CStatement::~CStatement() {
    if (!m_stmt) return;
    if (m_bCache) {
        m_db.Release(m_sql, m_stmt);
    } else {
        sqlite3_finalize(m_stmt);
    }
}

int CSolutionDb::CStatement::Step(bool constraintExpected) {
    if (!m_stmt) return SQLITE_MISUSE;  // the failure to prepare is recorded
    const int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE && !(constraintExpected && IsConstraint(rc)))
        m_db.FailSqlite(rc, m_sql);
    return rc;
}

sqlite3_stmt* CSolutionDb::Acquire(const std::string& sql) {
    if (const auto it = m_mapStatement.find(sql); it != m_mapStatement.end()) {
        sqlite3_stmt* stmt = it->second;
        m_mapStatement.erase(it);
        return stmt;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        FailSqlite(sqlite3_errcode(m_db), sql);
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

void CSolutionDb::Release(const std::string& sql, sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    try {
        if (m_db && m_mapStatement.emplace(sql, stmt).second) return;
    } catch (const std::exception& e) {
        // Out of memory: the statement is not kept for reuse, only prepared again next time.
        std::fprintf(OwnStderr(), "palvor: a prepared statement could not be kept for reuse: %s\n",
                     e.what());
    }
    sqlite3_finalize(stmt);
}

void CSolutionDb::FinalizeCached() {
    for (auto& [sql, stmt] : m_mapStatement) sqlite3_finalize(stmt);
    m_mapStatement.clear();
}

bool CSolutionDb::Execute(const std::string& sql) {
    CStatement st(*this, sql);
    return st.Run();
}

// --- Transaction scopes ---
// A scope's own statements run as an operation: a scope a caller holds reports the failure
// of its begin or its end once, a scope inside an operation leaves that to the operation.

CSolutionDb::CTransaction::CTransaction(CSolutionDb& db)
    : m_db(db),
      m_nDepth(static_cast<unsigned>(db.m_vTransaction.size())) {
    db.m_vTransaction.push_back(this);
    m_bStarted = db.Operation("beginning a transaction", [this, &db] {
        // A transaction still open here belongs to a scope that could not end: it is undone.
        if (m_nDepth == 0 && db.m_db && !sqlite3_get_autocommit(db.m_db)) db.Execute("ROLLBACK");
        // The outermost scope is the transaction itself: a savepoint around all of it would
        // only make SQLite keep a copy of every page the transaction changes.
        return m_nDepth == 0 ? db.Execute("BEGIN") : db.Execute(Depth("SAVEPOINT ", m_nDepth));
    });
}

CSolutionDb::CTransaction::~CTransaction() {
    if (m_bFinished) return;
    // A scope that was not committed (left early, or by an exception) is undone. When the
    // statements cannot even be made, what stays open is rolled back when the next
    // outermost scope begins, or when the connection closes.
    m_db.Operation("ending a transaction", [this] { return Finish(false); });
}

bool CSolutionDb::CTransaction::Commit() {
    if (m_db.Operation("committing", [this] { return Finish(true); })) return true;
    ++m_db.m_nCommitFailures;
    return false;
}

void CSolutionDb::CTransaction::Rollback() {
    if (!m_bFinished && m_bStarted)
        m_db.Operation("rolling back", [this] {
            // The outermost scope stays open after its rollback: a new transaction.
            return m_nDepth == 0 ? m_db.Execute("ROLLBACK") && m_db.Execute("BEGIN")
                                 : m_db.Execute(Depth("ROLLBACK TO SAVEPOINT ", m_nDepth));
        });
}

bool CSolutionDb::CTransaction::Finish(bool keep) {
    std::vector<CTransaction*>& open = m_db.m_vTransaction;
    // Ends once, and only when every inner scope has ended.
    if (m_bFinished || open.empty() || open.back() != this) return false;
    m_bFinished = true;
    open.pop_back();
    if (m_nDepth > 0) {
        if (!keep) m_db.Execute(Depth("ROLLBACK TO SAVEPOINT ", m_nDepth));
        // The release fails only when the transaction is already lost (rolled back by
        // SQLite after an error, or never begun).
        return m_bStarted && m_db.Execute(Depth("RELEASE SAVEPOINT ", m_nDepth)) && keep;
    }
    // The commit fails when the transaction is already lost, or cannot be stored.
    const bool ok = m_bStarted && keep && m_db.Execute("COMMIT");
    // Undone, or a failed COMMIT that left the transaction open (a busy or constraint
    // failure): it must not linger into the next scope.
    if (!ok && m_db.m_db && !sqlite3_get_autocommit(m_db.m_db)) m_db.Execute("ROLLBACK");
    return ok;
}

}  // namespace DUve
