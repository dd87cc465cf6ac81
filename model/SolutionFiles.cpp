// The file lifecycle: the server folder's names, opening and closing database files (and
// the solution database's Open and Close), temporary solution files, integrity checks.
#include "model/SolutionFiles.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string_view>
#include <system_error>

#include "model/SolutionDbStatement.h"
#include "runtime/RPaths.h"

namespace DUve {

namespace fs = std::filesystem;

namespace {

// Counts the opens of temporary databases; the first one cleans the temporary folder.
std::atomic<unsigned> s_nTempOpen{0};

fs::path NumberedFile(const fs::path& folder, const char* format, uint32_t id) {
    char name[40];
    std::snprintf(name, sizeof name, format, id);
    return folder / name;
}

CRStatus SqliteFailure(sqlite3* db, int rc, std::string doing) {
    return CRStatus::Failure(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), std::move(doing));
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

bool Exec(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

fs::path SolutionFileOf(const fs::path& folder, uint32_t id) {
    return NumberedFile(folder, "%04u_solution.db", id);
}

fs::path ActivityLogFileOf(const fs::path& folder, uint32_t id) {
    return NumberedFile(folder, "%04u.db", id);
}

namespace SolutionFiles {

sqlite3* OpenForWriting(const fs::path& file, int pageSize, CRStatus& status) {
    if (file.has_parent_path()) EnsureFolder(file.parent_path());
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        status = SqliteFailure(db, rc, "opening " + file.string());
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    // Errors of these settings are not fatal: the file still works, only slower or with
    // SQLite's defaults. Page size first: it only takes effect before anything is written.
    if (pageSize > 0) Exec(db, "PRAGMA page_size=" + std::to_string(pageSize));
    Exec(db, "PRAGMA JOURNAL_MODE=WAL");
    // NORMAL in WAL mode syncs only at checkpoints; OFF could leave a corrupt file after a
    // power cut.
    Exec(db, "PRAGMA SYNCHRONOUS=NORMAL");
    status = CRStatus();
    return db;
}

int SetCheckpointBytes(sqlite3* db, int64_t bytes) {
    sqlite3_stmt* st = nullptr;
    int pageSize = 0;
    if (sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        pageSize = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (pageSize <= 0) return 0;
    const int pages = static_cast<int>(std::max<int64_t>(1, bytes / pageSize));
    return sqlite3_wal_autocheckpoint(db, pages) == SQLITE_OK ? pages : 0;
}

CRStatus Checkpoint(sqlite3* db) {
    if (!db) return CRStatus::Failure(SQLITE_MISUSE, "nothing is open", "checkpointing");
    const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (rc == SQLITE_OK) return CRStatus();
    return SqliteFailure(db, rc, "checkpointing " + std::string(sqlite3_db_filename(db, "main")));
}

CRStatus CheckpointAndClose(sqlite3*& db) {
    if (!db) return CRStatus::Failure(SQLITE_MISUSE, "nothing is open", "closing");
    CRStatus status;
    sqlite3_stmt* st = nullptr;
    // Busy when a reader of another connection holds the log: then it stays.
    int rc = sqlite3_prepare_v2(db, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(st);
    if (rc != SQLITE_ROW)
        status = SqliteFailure(db, rc, "checkpointing " + std::string(sqlite3_db_filename(db, "main")));
    else if (sqlite3_column_int(st, 0) != 0)
        status = CRStatus::Failure(SQLITE_BUSY, "the write-ahead log is in use",
                                   "checkpointing " + std::string(sqlite3_db_filename(db, "main")));
    sqlite3_finalize(st);
    if (sqlite3_close(db) != SQLITE_OK) {
        if (status.Ok())
            status = SqliteFailure(db, SQLITE_BUSY, "closing " + std::string(sqlite3_db_filename(db, "main")));
        sqlite3_close_v2(db);  // a statement still in use: closes when it is finalised
    }
    db = nullptr;
    return status;
}

std::string CheckIntegrity(const fs::path& file) {
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

}  // namespace SolutionFiles

std::vector<CRFileCheck> CheckServerFiles(const fs::path& folder, std::optional<uint32_t> solution) {
    std::vector<fs::path> files;
    std::error_code ec;
    const bool exists = fs::exists(folder, ec);
    if (!ec && exists && solution) {
        for (const fs::path& file : {SolutionFileOf(folder, *solution), ActivityLogFileOf(folder, *solution)})
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
    for (const fs::path& file : files) result.push_back({file, SolutionFiles::CheckIntegrity(file)});
    return result;
}

// --- Temporary solution files ---

namespace SolutionDbInner {

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

// --- The solution database's file ---

CSolutionDb::CSolutionDb() = default;

CSolutionDb::~CSolutionDb() {
    CloseReporting();
}

void CSolutionDb::CloseReporting() {
    if (m_db && !Close()) Report(m_status);
}

bool CSolutionDb::Close() {
    if (!m_db) return false;
    FinalizeCached();
    m_status = SolutionFiles::CheckpointAndClose(m_db);
    return m_status.Ok();
}

bool CSolutionDb::Checkpoint() {
    if (!m_db) return false;
    m_status = SolutionFiles::Checkpoint(m_db);
    return m_status.Ok();
}

bool CSolutionDb::Open(const fs::path& path) {
    CloseReporting();
    // Runs as an operation that reports nothing: the caller says that the open failed.
    m_status = CRStatus();
    m_pDoing = "opening the solution database";
    ++m_nOperation;
    const bool opened = RunOrReport(
        "opening the solution database",
        [&] {
            fs::path file = path;
            fs::path tempFolder;
            if (file.empty()) {
                tempFolder = PalvorFolder("tmpsolution");
                if (!EnsureFolder(tempFolder) || (file = CreateTempFile(tempFolder)).empty()) {
                    m_status = CRStatus::Failure(CRStatus::kException, "cannot create a temporary file",
                                                 "opening " + tempFolder.string());
                    return false;
                }
            }
            m_db = SolutionFiles::OpenForWriting(file, kPageSize, m_status);
            if (!m_db) return false;
            m_path = file;
            Exec(m_db, "PRAGMA cache_size=-" + std::to_string(kCacheKiB));  // performance only
            // Every write runs inside savepoints, which keep the pages they change in a
            // sub-journal to roll back to; kept in memory, not in a temporary file. It only
            // serves rollbacks inside a transaction: what is committed is as durable as before.
            Exec(m_db, "PRAGMA temp_store=MEMORY");
            for (const SolutionDbRows::CTable* table : SolutionDbRows::kTables) {
                int rc;
                {
                    CStatement check(*this, table->sCheck, false);
                    rc = check.Step();
                }
                if (rc == SQLITE_DONE) {
                    CStatement create(*this, table->sCreate, false);
                    create.Run();
                } else if (rc != SQLITE_ROW) {
                    // Not a database (or unreadable): nothing will work on it, nor be kept.
                    const CRStatus cause = m_status;
                    (void)Close();
                    m_status = cause;
                    return false;
                }
            }
            if (!tempFolder.empty() && s_nTempOpen.fetch_add(1) == 0)
                SolutionDbInner::RemoveStaleTempFiles(tempFolder, file);
            return true;
        },
        [this](const CRStatus& s) { m_status = s; });
    --m_nOperation;
    if (!opened && m_db) {
        const CRStatus cause = m_status;
        (void)Close();
        m_status = cause;
    }
    return opened;
}

std::string CSolutionDb::CheckIntegrity(const fs::path& file) {
    return SolutionFiles::CheckIntegrity(file);
}

}  // namespace DUve
