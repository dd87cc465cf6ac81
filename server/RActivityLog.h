// The activity log of a solution: an append-only SQLite table with one row per received
// message that changed the solution, holding those commands in their wire encoding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "model/SolutionFiles.h"
#include "runtime/RStatus.h"

struct sqlite3;
struct sqlite3_stmt;

namespace DUve {

class CRActivityLog {
public:
    CRActivityLog() = default;
    ~CRActivityLog();
    CRActivityLog(const CRActivityLog&) = delete;
    CRActivityLog& operator=(const CRActivityLog&) = delete;

    // Opens (creating folders, file and table when missing); false when the file cannot be
    // opened or is not a usable database, and then the log records nothing. Writes are
    // synchronised with the disk at checkpoints, as the solution file's are.
    bool Open(const std::filesystem::path& file);
    bool IsOpen() const { return m_db != nullptr; }
    // One row with the given bytes; false when it could not be written (nothing is
    // printed: the caller reports it, with LastStatus).
    bool AppendLog(const std::vector<uint8_t>& data);
    // Copies the write-ahead log into the file and empties it, then closes; false when
    // that copy failed (the -wal file keeps the rows) or nothing was open.
    bool Close();
    // Copies the write-ahead log into the file, synchronised with the disk; false, with
    // LastStatus, when that failed or nothing is open.
    bool Checkpoint();
    // The cause of the last failure of Open, AppendLog or Close.
    const CRStatus& LastStatus() const { return m_status; }

    // Page size of a new log file.
    static constexpr int kPageSize = 32768;
    // The write-ahead log is copied into the file, and both synchronised with the disk,
    // once it holds this many bytes: SQLite's default of 1,000 pages of 4 KiB.
    static constexpr int64_t kCheckpointBytes = 1000 * 4096;
    // Page cache of the log's connection. The log is only appended to and never read back
    // here: an insert needs the path to the last leaf, not the pages written before, which
    // would otherwise stay cached up to SQLite's default of 2 MB per open solution.
    static constexpr int kCacheKiB = 256;

    // "%04u.db" in the server folder for solution `id`.
    static std::filesystem::path FileOf(const std::filesystem::path& folder, uint32_t id) {
        return ActivityLogFileOf(folder, id);
    }

private:
    void Fail(int rc, const char* doing);

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_append = nullptr;  // prepared once per connection
    CRStatus m_status;
};

}  // namespace DUve
