#include "model/SolutionDb.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>
#include <system_error>

#include "runtime/RNoThrow.h"
#include "runtime/RPaths.h"
#include "runtime/RString.h"

namespace DUve {

namespace fs = std::filesystem;
using namespace CRSeq;

namespace {

// Counts the opens of temporary databases; the first one cleans the temporary folder.
std::atomic<unsigned> s_nTempOpen{0};


bool IsConstraint(int rc) {
    return (rc & 0xff) == SQLITE_CONSTRAINT;
}

// A BLOB shorter than an identifier reads as null, a longer one is cut.
CRUid ColumnUid(sqlite3_stmt* st, int col) {
    CRUid id;
    const void* p = sqlite3_column_blob(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (p && n >= static_cast<int>(CRUid::kSize)) std::memcpy(id.Data(), p, CRUid::kSize);
    return id;
}

std::u16string ColumnText(sqlite3_stmt* st, int col) {
    const unsigned char* p = sqlite3_column_text(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (!p || n <= 0) return {};
    return Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
}

// Steps are stored as signed 32-bit values; the low 32 bits give the unsigned step back.
uint32_t ColumnStep(sqlite3_stmt* st, int col) {
    return static_cast<uint32_t>(sqlite3_column_int64(st, col));
}

// The event property of a propertyData BLOB, or null when it does not hold one.
std::shared_ptr<const Property::CEventBase> ColumnEventProperty(sqlite3_stmt* st, int col) {
    const void* p = sqlite3_column_blob(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (!p || n < 2) return nullptr;
    auto objects = Property::CSerialize::LoadObjects(static_cast<const uint8_t*>(p),
                                                     static_cast<size_t>(n), 1);
    if (objects.size() != 1 || !objects[0]) return nullptr;
    const Property::CEventBase* event = objects[0]->AsEvent();
    if (!event) return nullptr;
    return std::shared_ptr<const Property::CEventBase>(std::move(objects[0]), event);
}

// sTitle, sInstrument, nChannel, bEnable from column `col` on.
void ColumnPortFields(sqlite3_stmt* st, int col, Property::CPort& p) {
    p.sTitle = ColumnText(st, col);
    p.sInstrument = ColumnText(st, col + 1);
    p.nChannel = static_cast<uint8_t>(sqlite3_column_int64(st, col + 2));
    p.bEnable = sqlite3_column_int64(st, col + 3) != 0;
}

// The SQL template with its "%s" replaced by the BLOB literals of the set.
std::string WithIdList(std::string_view sqlTemplate, const CRUidSet& ids) {
    const size_t at = sqlTemplate.find("%s");
    std::string sql(sqlTemplate.substr(0, at));
    sql += SolutionDbInner::BlobList(ids);
    sql += sqlTemplate.substr(at + 2);
    return sql;
}

std::string Depth(const char* prefix, unsigned depth) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s_%u", prefix, depth);
    return buffer;
}

fs::path CreateTempFile(const fs::path& folder) {
    std::string pattern = (folder / "solXXXXXX.tmp").string();
    const int fd = mkstemps(pattern.data(), 4);
    if (fd < 0) return {};
    ::close(fd);
    return fs::path(pattern);
}

// True when another connection holds a lock on the file. The open file description
// of this probe conflicts with the record locks of every other owner.
bool IsLockedByOther(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    const bool locked = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}

// "sol*.tmp*"
bool IsTempName(std::string_view name) {
    return name.size() >= 7 && name.substr(0, 3) == "sol" && name.find(".tmp", 3) != name.npos;
}

// The database file a companion file belongs to.
std::string DatabaseName(std::string name) {
    for (const std::string_view suffix : {"-wal", "-shm", "-journal"}) {
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            name.resize(name.size() - suffix.size());
            break;
        }
    }
    return name;
}

constexpr std::string_view kTables[] = {"sequence", "track", "port", "event"};
constexpr const char* kTableChecks[] = {
    "SELECT * FROM sqlite_master WHERE type='table' AND name='sequence'",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='track'",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='port'",
    "SELECT * FROM sqlite_master WHERE type='table' AND name='event'",
};
constexpr const char* kTableCreates[] = {
    "CREATE TABLE sequence ( idSequence BLOB PRIMARY KEY, sTitle TEXT )",
    "CREATE TABLE track ( idTrack BLOB PRIMARY KEY, idSequence BLOB, sTitle TEXT, sMml TEXT )",
    "CREATE TABLE port ( idPort BLOB PRIMARY KEY, idSequence BLOB, idTrack BLOB, sTitle TEXT, "
    "sInstrument TEXT, nChannel INTEGER, bEnable INTEGER)",
    "CREATE TABLE event ( idEvent BLOB PRIMARY KEY, idPort BLOB, nStep INTEGER, propertyId "
    "INTEGER, propertyData BLOB)",
};
static_assert(std::size(kTables) == std::size(kTableChecks));

}  // namespace

namespace SolutionDbInner {

std::string BlobList(const CRUidSet& ids) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string list;
    list.reserve(ids.size() * (4 + 2 * CRUid::kSize));
    for (const CRUid& id : ids) {
        list += list.empty() ? "X'" : ",X'";
        for (size_t i = 0; i < CRUid::kSize; ++i) {
            list += kDigits[id.Data()[i] >> 4];
            list += kDigits[id.Data()[i] & 15];
        }
        list += '\'';
    }
    return list;
}

void RemoveStaleTempFiles(const fs::path& folder, const fs::path& keep) {
    std::error_code ec;
    std::vector<fs::path> candidates;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsTempName(name) && it->is_regular_file(ec)) candidates.push_back(it->path());
    }
    const std::string kept = keep.filename().string();
    for (const fs::path& file : candidates) {
        const std::string database = DatabaseName(file.filename().string());
        if (database == kept) continue;
        const fs::path base = folder / database;
        if (IsLockedByOther(base) || IsLockedByOther(folder / (database + "-shm"))) continue;
        fs::remove(file, ec);  // one that cannot go is skipped
    }
}

}  // namespace SolutionDbInner

// A prepared statement for the span of one use; cached statements go back to the cache
// reset and unbound, others are finalized.
class CSolutionDb::CStatement {
public:
    CStatement(CSolutionDb& db, std::string sql, bool cache = true)
        : m_db(db), m_sql(std::move(sql)), m_bCache(cache) {
        if (m_bCache) {
            m_stmt = db.Acquire(m_sql);
        } else if (db.m_db) {
            if (sqlite3_prepare_v2(db.m_db, m_sql.c_str(), static_cast<int>(m_sql.size()), &m_stmt,
                                   nullptr) != SQLITE_OK) {
                sqlite3_finalize(m_stmt);
                m_stmt = nullptr;
            }
        }
    }
    ~CStatement() {
        if (!m_stmt) return;
        if (m_bCache) {
            m_db.Release(m_sql, m_stmt);
        } else {
            sqlite3_finalize(m_stmt);
        }
    }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }
    sqlite3_stmt* Get() const { return m_stmt; }

    void BindUid(int i, const CRUid& id) {
        sqlite3_bind_blob(m_stmt, i, id.Data(), CRUid::kSize, SQLITE_TRANSIENT);
    }
    void BindText(int i, const std::u16string& text) {
        const std::string utf8 = Utf16ToUtf8(text);
        sqlite3_bind_text(m_stmt, i, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
    }
    void BindInt(int i, int64_t v) { sqlite3_bind_int64(m_stmt, i, v); }

    int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
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

sqlite3_stmt* CSolutionDb::Acquire(const std::string& sql) {
    if (!m_db) return nullptr;
    if (const auto it = m_mapStatement.find(sql); it != m_mapStatement.end()) {
        sqlite3_stmt* stmt = it->second;
        m_mapStatement.erase(it);
        return stmt;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
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
    } catch (...) {
        // Out of memory: the statement is not kept for reuse, only prepared again next time.
        std::fprintf(stderr, "palvor: a prepared statement could not be kept for reuse\n");
    }
    sqlite3_finalize(stmt);
}

bool CSolutionDb::Execute(const std::string& sql) {
    CStatement st(*this, sql);
    return st.Run();
}

// --- Transaction scopes ---

CSolutionDb::CTransaction::CTransaction(CSolutionDb& db)
    : m_db(db),
      m_nDepth(static_cast<unsigned>(db.m_vTransaction.size())) {
    db.m_vTransaction.push_back(this);
    // A transaction still open here belongs to a scope that could not end: it is undone.
    if (m_nDepth == 0 && db.m_db && !sqlite3_get_autocommit(db.m_db)) db.Execute("ROLLBACK");
    m_bStarted = (m_nDepth > 0 || db.Execute("BEGIN")) &&
                 db.Execute(Depth("SAVEPOINT ", m_nDepth));
}

CSolutionDb::CTransaction::~CTransaction() {
    if (m_bFinished) return;
    // A scope that was not committed (left early, or by an exception) is undone.
    try {
        Finish(false);
    } catch (const std::exception& e) {
        // Out of memory for a statement's text: what stays open is rolled back when the
        // next outermost scope begins, or when the connection closes.
        std::fprintf(stderr, "palvor: a transaction on %s could not be ended: %s\n",
                     m_db.m_path.c_str(), e.what());
    }
}

bool CSolutionDb::CTransaction::Commit() {
    if (Finish(true)) return true;
    ++m_db.m_nCommitFailures;
    return false;
}

void CSolutionDb::CTransaction::Rollback() {
    if (!m_bFinished && m_bStarted) m_db.Execute(Depth("ROLLBACK TO SAVEPOINT ", m_nDepth));
}

bool CSolutionDb::CTransaction::Finish(bool keep) {
    std::vector<CTransaction*>& open = m_db.m_vTransaction;
    // Ends once, and only when every inner scope has ended.
    if (m_bFinished || open.empty() || open.back() != this) return false;
    if (!keep) Rollback();
    m_bFinished = true;
    open.pop_back();
    // The release fails only when the transaction is already lost (rolled back by SQLite
    // after an error, or never begun).
    bool ok = m_bStarted && m_db.Execute(Depth("RELEASE SAVEPOINT ", m_nDepth));
    if (m_nDepth == 0) {
        ok = ok && m_db.Execute("COMMIT");
        // A failed COMMIT can leave the transaction open (a busy or constraint failure):
        // it must not linger into the next scope.
        if (!ok && m_db.m_db && !sqlite3_get_autocommit(m_db.m_db)) m_db.Execute("ROLLBACK");
    }
    return ok && keep;
}

// --- Opening ---

CSolutionDb::CSolutionDb() = default;

CSolutionDb::~CSolutionDb() {
    CloseReporting();
}

void CSolutionDb::CloseReporting() {
    if (m_db && !Close())
        std::fprintf(stderr, "palvor: %s closed with its last changes left in the -wal file\n",
                     m_path.c_str());
}

bool CSolutionDb::Close() {
    if (!m_db) return false;
    bool complete = false;
    {
        // Busy, when a reader of another connection holds the log: then it stays.
        CStatement st(*this, "PRAGMA wal_checkpoint(TRUNCATE)", false);
        complete = st.Step() == SQLITE_ROW && sqlite3_column_int(st.Get(), 0) == 0;
    }
    for (auto& [sql, stmt] : m_mapStatement) sqlite3_finalize(stmt);
    m_mapStatement.clear();
    if (sqlite3_close(m_db) != SQLITE_OK) {
        complete = false;
        sqlite3_close_v2(m_db);  // a statement still in use: closes when it is finalised
    }
    m_db = nullptr;
    return complete;
}

bool CSolutionDb::Open(const fs::path& path) {
    return NoThrow([&] {
        CloseReporting();
        fs::path file = path;
        fs::path tempFolder;
        if (file.empty()) {
            tempFolder = PalvorFolder("tmpsolution");
            if (!EnsureFolder(tempFolder)) return false;
            file = CreateTempFile(tempFolder);
            if (file.empty()) return false;
        } else if (file.is_absolute()) {
            EnsureFolder(file.parent_path());
        }
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return false;
        }
        m_db = db;
        m_path = file;
        // Only takes effect on a file without tables yet, so before anything is written.
        Execute("PRAGMA page_size=" + std::to_string(kPageSize));
        Execute("PRAGMA JOURNAL_MODE=WAL");
        // NORMAL in WAL mode syncs only at checkpoints; OFF could leave a corrupt file
        // after a power cut.
        Execute("PRAGMA SYNCHRONOUS=NORMAL");
        // A batch of events touches pages all over the id index; keeping the pages in
        // memory spares each commit re-reading them (performance only).
        Execute("PRAGMA cache_size=-65536");
        for (size_t i = 0; i < std::size(kTables); ++i) {
            int rc;
            {
                CStatement check(*this, kTableChecks[i], false);
                rc = check.Step();
            }
            if (rc == SQLITE_DONE) {
                CStatement create(*this, kTableCreates[i], false);
                create.Run();
            } else if (rc != SQLITE_ROW) {
                // Not a database (or unreadable): nothing will work on it, nor be kept.
                (void)Close();
                return false;
            }
        }
        if (!tempFolder.empty() && s_nTempOpen.fetch_add(1) == 0)
            SolutionDbInner::RemoveStaleTempFiles(tempFolder, file);
        return true;
    });
}

// --- Sequences ---

std::shared_ptr<const Property::CSequence> CSolutionDb::GetSequence(const CRUid& id) {
    return NoThrow([&]() -> std::shared_ptr<const Property::CSequence> {
        CStatement st(*this, "SELECT sTitle FROM sequence WHERE idSequence=?");
        st.BindUid(1, id);
        if (st.Step() != SQLITE_ROW) return nullptr;
        return std::make_shared<const Property::CSequence>(ColumnText(st.Get(), 0));
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CSequence>> CSolutionDb::SelectSequences(
    const CRUidSet& ids) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CSequence>> result;
        if (ids.empty()) return result;
        CStatement st(
            *this,
            WithIdList("SELECT idSequence, sTitle FROM sequence WHERE idSequence IN (%s)", ids),
            false);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CSequence>();
            row->idSequence = ColumnUid(st.Get(), 0);
            row->property.sTitle = ColumnText(st.Get(), 1);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CSequence>> CSolutionDb::SelectAllSequences() {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CSequence>> result;
        CStatement st(*this, "SELECT idSequence, sTitle FROM sequence");
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CSequence>();
            row->idSequence = ColumnUid(st.Get(), 0);
            row->property.sTitle = ColumnText(st.Get(), 1);
            result.push_back(std::move(row));
        }
        return result;
    });
}

bool CSolutionDb::CreateSequence(const CRUid& id, const Property::CSequence& p) {
    return NoThrow([&] {
        CTransaction tr(*this);
        {
            // An identifier that exists keeps its row; the update below overwrites it.
            CStatement st(*this, "INSERT INTO sequence (idSequence) VALUES(?)");
            st.BindUid(1, id);
            st.Step();
        }
        if (UpdateSequence(id, p)) return tr.Commit();
        tr.Rollback();
        return false;
    });
}

bool CSolutionDb::UpdateSequence(const CRUid& id, const Property::CSequence& p) {
    return NoThrow([&] {
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE sequence SET sTitle=? WHERE idSequence=?");
            st.BindText(1, p.sTitle);
            st.BindUid(2, id);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

// --- Tracks ---

bool CSolutionDb::CreateTrack(const CRUid& idTrack, const CRUid& idSequence,
                              const Property::CTrack& p) {
    return NoThrow([&] {
        CTransaction tr(*this);
        if (!GetSequence(idSequence)) {
            tr.Rollback();
            return false;
        }
        int rc;
        {
            CStatement st(*this, "INSERT INTO track (idTrack,idSequence) VALUES(?,?)");
            st.BindUid(1, idTrack);
            st.BindUid(2, idSequence);
            rc = st.Step();
        }
        if (IsConstraint(rc)) {
            // The track exists: it is overwritten only where it already belongs.
            const auto stored = GetTrack(idTrack);
            if (!stored || stored->idSequence != idSequence) {
                tr.Rollback();
                return false;
            }
        }
        if (UpdateTrack(idTrack, p)) return tr.Commit();
        tr.Rollback();
        return false;
    });
}

bool CSolutionDb::UpdateTrack(const CRUid& idTrack, const Property::CTrack& p) {
    return NoThrow([&] {
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE track SET sTitle=? WHERE idTrack=?");
            st.BindText(1, p.sTitle);
            st.BindUid(2, idTrack);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

std::shared_ptr<const CSolutionDb::CTrack> CSolutionDb::GetTrack(const CRUid& id) {
    return NoThrow([&]() -> std::shared_ptr<const CTrack> {
        CStatement st(*this, "SELECT idSequence, sTitle, sMml FROM track WHERE idTrack=?");
        st.BindUid(1, id);
        if (st.Step() != SQLITE_ROW) return nullptr;
        auto row = std::make_shared<CTrack>();
        row->idTrack = id;
        row->idSequence = ColumnUid(st.Get(), 0);
        row->property.sTitle = ColumnText(st.Get(), 1);
        row->sMml = ColumnText(st.Get(), 2);
        return row;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CTrack>> CSolutionDb::SelectTracks(
    const CRUidSet& ids) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CTrack>> result;
        if (ids.empty()) return result;
        CStatement st(
            *this,
            WithIdList("SELECT idTrack, idSequence, sTitle, sMml FROM track WHERE idTrack IN (%s)",
                       ids),
            false);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CTrack>();
            row->idTrack = ColumnUid(st.Get(), 0);
            row->idSequence = ColumnUid(st.Get(), 1);
            row->property.sTitle = ColumnText(st.Get(), 2);
            row->sMml = ColumnText(st.Get(), 3);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CTrack>> CSolutionDb::SelectTracksOfSequence(
    const CRUid& idSequence) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CTrack>> result;
        CStatement st(*this, "SELECT idTrack, sTitle, sMml FROM track WHERE idSequence=?");
        st.BindUid(1, idSequence);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CTrack>();
            row->idTrack = ColumnUid(st.Get(), 0);
            row->idSequence = idSequence;
            row->property.sTitle = ColumnText(st.Get(), 1);
            row->sMml = ColumnText(st.Get(), 2);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::pair<std::shared_ptr<const CSolutionDb::CTrack>, bool> CSolutionDb::ChangeMml(
    const CRUid& idTrack, const std::u16string& mml) {
    using CResult = std::pair<std::shared_ptr<const CTrack>, bool>;
    return NoThrow([&]() -> CResult {
        const auto stored = GetTrack(idTrack);
        if (!stored) return {nullptr, false};
        if (stored->sMml == mml) return {stored, false};
        CTransaction tr(*this);
        {
            CStatement st(*this, "UPDATE track SET sMml=? WHERE idTrack=?");
            st.BindText(1, mml);
            st.BindUid(2, idTrack);
            if (st.Step() == SQLITE_DONE && sqlite3_changes(m_db) == 1) {
                st.Reset();  // the statement must be done before the commit
                if (!tr.Commit()) return {stored, false};
                auto changed = std::make_shared<CTrack>(*stored);
                changed->sMml = mml;
                return {std::move(changed), true};
            }
        }
        tr.Rollback();
        return {stored, false};
    });
}

// --- Ports ---

std::shared_ptr<const CSolutionDb::CTrack> CSolutionDb::CreatePort(const CRUid& idPort,
                                                                   const Property::CPort& p) {
    return NoThrow([&]() -> std::shared_ptr<const CTrack> {
        auto track = GetTrack(p.idTrack);
        if (!track) return nullptr;
        CTransaction tr(*this);
        int rc;
        {
            CStatement st(*this, "INSERT INTO port (idPort,idSequence) VALUES(?,?)");
            st.BindUid(1, idPort);
            st.BindUid(2, track->idSequence);
            rc = st.Step();
        }
        if (IsConstraint(rc)) {
            // The port exists: its stored sequence must stay the one of its track.
            const auto stored = GetPort(idPort);
            if (!stored || stored->idSequence != track->idSequence) {
                tr.Rollback();
                return nullptr;
            }
        }
        if (UpdatePort(idPort, p) && tr.Commit()) return track;
        tr.Rollback();
        return nullptr;
    });
}

bool CSolutionDb::UpdatePort(const CRUid& idPort, const Property::CPort& p) {
    return NoThrow([&] {
        CTransaction tr(*this);
        {
            CStatement st(*this,
                          "UPDATE port SET idTrack=?, sTitle=?, sInstrument=?, nChannel=?, "
                          "bEnable=? WHERE idPort=?");
            st.BindUid(1, p.idTrack);
            st.BindText(2, p.sTitle);
            st.BindText(3, p.sInstrument);
            st.BindInt(4, p.nChannel);
            st.BindInt(5, p.bEnable ? 1 : 0);
            st.BindUid(6, idPort);
            if (st.RunChanging()) return tr.Commit();
        }
        tr.Rollback();
        return false;
    });
}

std::shared_ptr<const CSolutionDb::CPort> CSolutionDb::GetPort(const CRUid& id) {
    return NoThrow([&]() -> std::shared_ptr<const CPort> {
        CStatement st(*this,
                      "SELECT idSequence, idTrack, sTitle, sInstrument, nChannel, bEnable FROM "
                      "port WHERE idPort=?");
        st.BindUid(1, id);
        if (st.Step() != SQLITE_ROW) return nullptr;
        auto row = std::make_shared<CPort>();
        row->idPort = id;
        row->idSequence = ColumnUid(st.Get(), 0);
        row->property.idTrack = ColumnUid(st.Get(), 1);
        ColumnPortFields(st.Get(), 2, row->property);
        return row;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPorts(
    const CRUidSet& ids) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CPort>> result;
        if (ids.empty()) return result;
        CStatement st(*this,
                      WithIdList("SELECT idPort, idTrack, sTitle, sInstrument, nChannel, bEnable "
                                 "FROM port WHERE idPort IN (%s)",
                                 ids),
                      false);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CPort>();
            row->idPort = ColumnUid(st.Get(), 0);
            row->property.idTrack = ColumnUid(st.Get(), 1);
            ColumnPortFields(st.Get(), 2, row->property);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfTrack(
    const CRUid& idTrack) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CPort>> result;
        CStatement st(*this,
                      "SELECT idPort, idSequence, sTitle, sInstrument, nChannel, bEnable FROM "
                      "port WHERE idTrack=?");
        st.BindUid(1, idTrack);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CPort>();
            row->idPort = ColumnUid(st.Get(), 0);
            row->idSequence = ColumnUid(st.Get(), 1);
            row->property.idTrack = idTrack;
            ColumnPortFields(st.Get(), 2, row->property);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfTracks(
    const CRUidSet& ids) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CPort>> result;
        if (ids.empty()) return result;
        CStatement st(*this,
                      WithIdList("SELECT idPort, idSequence, idTrack, sTitle, sInstrument, "
                                 "nChannel, bEnable FROM port WHERE idTrack IN (%s)",
                                 ids),
                      false);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CPort>();
            row->idPort = ColumnUid(st.Get(), 0);
            row->idSequence = ColumnUid(st.Get(), 1);
            row->property.idTrack = ColumnUid(st.Get(), 2);
            ColumnPortFields(st.Get(), 3, row->property);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CPort>> CSolutionDb::SelectPortsOfSequence(
    const CRUid& idSequence) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CPort>> result;
        CStatement st(*this,
                      "SELECT idPort, idTrack, sTitle, sInstrument, nChannel, bEnable FROM port "
                      "WHERE idSequence=?");
        st.BindUid(1, idSequence);
        while (st.Step() == SQLITE_ROW) {
            auto row = std::make_shared<CPort>();
            row->idPort = ColumnUid(st.Get(), 0);
            row->idSequence = idSequence;
            row->property.idTrack = ColumnUid(st.Get(), 1);
            ColumnPortFields(st.Get(), 2, row->property);
            result.push_back(std::move(row));
        }
        return result;
    });
}

// --- Events ---

std::shared_ptr<const CSolutionDb::CPort> CSolutionDb::InsertEvents(
    const CRUid& idPort, const Property::CListEvent& events,
    std::vector<const Property::CEventCommon*>* pSkipped) {
    return NoThrow([&]() -> std::shared_ptr<const CPort> {
        CTransaction tr(*this);
        auto port = GetPort(idPort);
        if (!port) {
            tr.Rollback();
            return nullptr;
        }
        bool ok = true;
        {
            CStatement st(*this, "INSERT INTO event VALUES(?,?,?,?,?)");
            sqlite3_stmt* const stmt = st.Get();
            ok = stmt != nullptr;
            CRBytes data;
            for (auto it = events.begin(); ok && it != events.end(); ++it) {
                const Property::CEventCommon* event = it->get();
                data.clear();
                if (!event || !event->property ||
                    !Property::CSerialize::AppendObject(data, *event->property) || data.empty()) {
                    ok = false;
                    break;
                }
                // The bound memory (event id, port id, data) outlives the step.
                sqlite3_reset(stmt);
                sqlite3_bind_blob(stmt, 1, event->idEvent.Data(), CRUid::kSize, SQLITE_STATIC);
                sqlite3_bind_blob(stmt, 2, port->idPort.Data(), CRUid::kSize, SQLITE_STATIC);
                sqlite3_bind_int(stmt, 3, static_cast<int32_t>(event->nStep));
                sqlite3_bind_int(stmt, 4, event->property->GetSerializeId());
                sqlite3_bind_blob(stmt, 5, data.data(), static_cast<int>(data.size()),
                                  SQLITE_STATIC);
                const int rc = sqlite3_step(stmt);
                // An identifier already stored keeps its row.
                if (rc != SQLITE_DONE && !IsConstraint(rc)) ok = false;
                if (IsConstraint(rc) && pSkipped) pSkipped->push_back(event);
            }
        }
        if (ok && tr.Commit()) return port;
        tr.Rollback();
        if (pSkipped) pSkipped->clear();
        return nullptr;
    });
}

Property::CListEvent CSolutionDb::Without(const Property::CListEvent& events,
                                         const std::vector<const Property::CEventCommon*>& skipped) {
    Property::CListEvent rest;
    for (const auto& e : events)
        if (std::find(skipped.begin(), skipped.end(), e.get()) == skipped.end()) rest.Insert(e);
    return rest;
}

std::shared_ptr<const CSolutionDb::CEvent> CSolutionDb::GetEvent(const CRUid& id) {
    return NoThrow([&]() -> std::shared_ptr<const CEvent> {
        CStatement st(*this, "SELECT idPort, nStep, propertyData FROM event WHERE idEvent=?");
        st.BindUid(1, id);
        if (st.Step() != SQLITE_ROW) return nullptr;
        auto property = ColumnEventProperty(st.Get(), 2);
        if (!property) return nullptr;
        auto row = std::make_shared<CEvent>();
        row->idEvent = id;
        row->idPort = ColumnUid(st.Get(), 0);
        row->nStep = ColumnStep(st.Get(), 1);
        row->property = std::move(property);
        return row;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CEvent>> CSolutionDb::SelectEventsOfPorts(
    const CRUidSet& ids) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CEvent>> result;
        if (ids.empty()) return result;
        CStatement st(
            *this,
            WithIdList(
                "SELECT idEvent, idPort, nStep, propertyData FROM event WHERE idPort IN (%s)", ids),
            false);
        while (st.Step() == SQLITE_ROW) {
            auto property = ColumnEventProperty(st.Get(), 3);
            if (!property) continue;
            auto row = std::make_shared<CEvent>();
            row->idEvent = ColumnUid(st.Get(), 0);
            row->idPort = ColumnUid(st.Get(), 1);
            row->nStep = ColumnStep(st.Get(), 2);
            row->property = std::move(property);
            result.push_back(std::move(row));
        }
        return result;
    });
}

std::vector<std::shared_ptr<const CSolutionDb::CEvent>> CSolutionDb::SelectEventsOfPort(
    const CRUid& idPort) {
    return NoThrow([&] {
        std::vector<std::shared_ptr<const CEvent>> result;
        {
            CStatement st(*this,
                          "SELECT idEvent, nStep, propertyData FROM event WHERE idPort=? ORDER "
                          "BY nStep ASC");
            st.BindUid(1, idPort);
            while (st.Step() == SQLITE_ROW) {
                auto property = ColumnEventProperty(st.Get(), 2);
                if (!property) continue;
                auto row = std::make_shared<CEvent>();
                row->idEvent = ColumnUid(st.Get(), 0);
                row->idPort = idPort;
                row->nStep = ColumnStep(st.Get(), 1);
                row->property = std::move(property);
                result.push_back(std::move(row));
            }
        }
        // The column holds steps of 2^31 and above as negative numbers, which the query
        // sorts first; order them as the unsigned steps they are.
        std::stable_sort(result.begin(), result.end(),
                         [](const auto& a, const auto& b) { return a->nStep < b->nStep; });
        return result;
    });
}

std::map<CRUid, Property::CListEvent> CSolutionDb::SelectEventListsOfPorts(const CRUidSet& ids) {
    return NoThrow([&] {
        std::map<CRUid, Property::CListEvent> result;
        for (const auto& row : SelectEventsOfPorts(ids)) {
            result[row->idPort].Insert(std::make_shared<const Property::CEventCommon>(
                row->idEvent, row->nStep, row->property));
        }
        return result;
    });
}

// --- Deleting ---

CSolutionDb::CDeleted CSolutionDb::Delete(const CRUidSet& ids) {
    return NoThrow([&]() -> CDeleted {
        CTransaction tr(*this);
        CDeleted result;
        CRUidSet pending = ids;
        CRUidSet trackIds;
        CRUidSet portIds;

        for (const auto& sequence : SelectSequences(pending)) {
            result.setSequence.insert(sequence->idSequence);
            pending.erase(sequence->idSequence);
            for (const auto& track : SelectTracksOfSequence(sequence->idSequence)) {
                trackIds.insert(track->idTrack);
                pending.erase(track->idTrack);
            }
        }
        for (const auto& track : SelectTracks(pending)) {
            result.setTrack.insert(track->idTrack);
            trackIds.insert(track->idTrack);
            pending.erase(track->idTrack);
        }
        for (const auto& port : SelectPortsOfTracks(trackIds)) {
            portIds.insert(port->idPort);
            pending.erase(port->idPort);
        }
        for (const auto& port : SelectPorts(pending)) {
            result.setPort.insert(port->idPort);
            portIds.insert(port->idPort);
            pending.erase(port->idPort);
        }
        // What is left can only name single events; those under a removed port go with it.
        if (!pending.empty()) {
            for (const auto& event : SelectEventsOfPorts(portIds)) pending.erase(event->idEvent);
            for (const CRUid& id : pending)
                if (GetEvent(id)) result.setEvent.insert(id);
        }

        const auto remove = [this](std::string_view sqlTemplate, const CRUidSet& set) {
            if (set.empty()) return true;
            CStatement st(*this, WithIdList(sqlTemplate, set), false);
            return st.Run();
        };
        const bool ok =
            remove("DELETE FROM sequence WHERE idSequence IN (%s)", result.setSequence) &&
            remove("DELETE FROM track WHERE idTrack IN (%s)", trackIds) &&
            remove("DELETE FROM port WHERE idPort IN (%s)", portIds) &&
            remove("DELETE FROM event WHERE idPort IN (%s)", portIds) &&
            remove("DELETE FROM event WHERE idEvent IN (%s)", result.setEvent);
        if (ok && tr.Commit()) return result;
        tr.Rollback();
        return {};
    });
}

// --- Checking ---

std::string CSolutionDb::CheckIntegrity(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return ec ? ec.message() : "not a regular file";
    // A read-only connection to a database in WAL mode creates the -wal and -shm files
    // when they are missing, and leaves them. Without a -wal file there is nothing beyond
    // the main file, which can then be read as immutable: no lock, no companion file.
    fs::path wal = file;
    wal += "-wal";
    const bool withLog = fs::exists(wal, ec);
    std::string uri = "file:";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (const unsigned char c : file.string()) {
        if (std::isalnum(c) || std::strchr("/-_.~", c)) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += kDigits[c >> 4];
            uri += kDigits[c & 15];
        }
    }
    uri += withLog ? "?mode=ro" : "?immutable=1";

    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
        result = db ? sqlite3_errmsg(db) : "cannot be opened";
    } else {
        sqlite3_busy_timeout(db, 2000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) != SQLITE_OK) {
            result = sqlite3_errmsg(db);
        } else if (sqlite3_step(st) != SQLITE_ROW) {
            result = sqlite3_errmsg(db);
        } else {
            const unsigned char* text = sqlite3_column_text(st, 0);
            result = text ? reinterpret_cast<const char*>(text) : "no answer";
            // Problems of the main schema come after a heading line.
            static constexpr std::string_view kHeading = "*** in database main ***\n";
            if (result.compare(0, kHeading.size(), kHeading) == 0) result.erase(0, kHeading.size());
            if (const size_t eol = result.find('\n'); eol != std::string::npos) result.resize(eol);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return result.empty() ? "unknown problem" : result;
}

}  // namespace DUve
