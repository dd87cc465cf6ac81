// The activity log of a solution: an append-only SQLite table with one row per received
// message that changed the solution, holding those commands in their wire encoding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

struct sqlite3;

namespace DUve {

class CRActivityLog {
public:
    CRActivityLog() = default;
    ~CRActivityLog();
    CRActivityLog(const CRActivityLog&) = delete;
    CRActivityLog& operator=(const CRActivityLog&) = delete;

    // Opens (creating folders, file and table when missing). Failures leave a log that
    // records nothing; the server serves normally.
    bool Open(const std::filesystem::path& file);
    bool IsOpen() const { return m_db != nullptr; }
    // One row with the given bytes; false when it could not be written.
    bool AppendLog(const std::vector<uint8_t>& data);
    void Close();

    // "%04u.db" in the server folder for solution `id`.
    static std::filesystem::path FileOf(const std::filesystem::path& folder, uint32_t id);

private:
    sqlite3* m_db = nullptr;
};

}  // namespace DUve
