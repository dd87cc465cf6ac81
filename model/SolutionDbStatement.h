// The statements of the solution database and how their failures are kept: a statement
// for the span of one use (cached per connection and reused), and the operation frame that
// turns a failure into LastStatus and one report. (Used by the solution database's own
// files only.)
#pragma once

#include <sqlite3.h>

#include <string>
#include <utility>

#include "model/SolutionDb.h"

namespace DUve {

// A prepared statement for the span of one use; cached statements go back to the cache
// reset and unbound, others are finalized. A failure to prepare or to step is recorded
// with the database (an expected constraint failure excepted).
class CSolutionDb::CStatement {
public:
    // `cache` false for texts that are seldom the same twice (identifier lists).
    CStatement(CSolutionDb& db, std::string sql, bool cache = true);
    ~CStatement();
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt* Get() const { return m_stmt; }

    void BindUid(int i, const CRUid& id) {
        sqlite3_bind_blob(m_stmt, i, id.Data(), CRUid::kSize, SQLITE_TRANSIENT);
    }
    // Binds a record with its table's row mapper.
    template <class TRow>
    void BindRow(const TRow& row);

    // One step: SQLite's result. A result other than a row or the end is recorded as a
    // failure, except a constraint failure when `constraintExpected`.
    int Step(bool constraintExpected = false);
    // Steps through every row; true when the statement completed.
    bool Run() {
        int rc;
        while ((rc = Step()) == SQLITE_ROW) {
        }
        return rc == SQLITE_DONE;
    }
    // True when the statement completed and changed at least one row.
    bool RunChanging() { return Step() == SQLITE_DONE && sqlite3_changes(m_db.m_db) > 0; }
    void Reset() {
        if (m_stmt) sqlite3_reset(m_stmt);
    }

private:
    CSolutionDb& m_db;
    std::string m_sql;
    bool m_bCache;
    sqlite3_stmt* m_stmt = nullptr;
};

template <class F>
auto CSolutionDb::Operation(const char* doing, F&& f) noexcept -> decltype(f()) {
    const bool outermost = m_nOperation++ == 0;
    if (outermost) {
        m_status = CRStatus();
        m_pDoing = doing;
    }
    auto result = RunOrReport(doing, std::forward<F>(f), [this](const CRStatus& s) { Fail(s); });
    --m_nOperation;
    if (outermost && !m_status.Ok()) Report(m_status);
    return result;
}

}  // namespace DUve

#include "model/SolutionDbRows.h"

template <class TRow>
void DUve::CSolutionDb::CStatement::BindRow(const TRow& row) {
    if (m_stmt) SolutionDbRows::Bind(m_stmt, row);
}
