// The activity log of a solution: an append-only SQLite table with one row per received
// message that changed the solution, holding those commands in their wire encoding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

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
    // printed: the caller reports it).
    bool AppendLog(const std::vector<uint8_t>& data);
    // Copies the write-ahead log into the file and empties it, then closes; false when
    // that copy failed (the -wal file keeps the rows) or nothing was open.
    bool Close();

    // "%04u.db" in the server folder for solution `id`.
    static std::filesystem::path FileOf(const std::filesystem::path& folder, uint32_t id);

private:
    sqlite3* m_db = nullptr;
};

// The integrity of the server folder's databases.
struct CRFileCheck {
    std::filesystem::path file;
    std::string sResult;  // "ok" or the first problem
    bool Ok() const { return sResult == "ok"; }
};
// Every solution file ("%04u_solution.db") and activity log ("%04u.db") of `folder` in
// name order, or the ones of `solution` only, checked with CSolutionDb::CheckIntegrity.
// Creates and changes nothing; a missing folder has no files, an unreadable one is a
// single entry with the error.
std::vector<CRFileCheck> CheckServerFiles(const std::filesystem::path& folder,
                                          std::optional<uint32_t> solution = std::nullopt);

}  // namespace DUve
