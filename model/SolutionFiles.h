// The lifecycle of the server's database files, apart from what is stored in them: their
// names in the server folder, opening one for the program's writes (WAL journal,
// synchronous NORMAL), checkpointing and closing, and SQLite's integrity check.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "runtime/RStatus.h"

struct sqlite3;

namespace DUve {

// "%04u_solution.db" in the server folder: the solution database of solution `id`.
std::filesystem::path SolutionFileOf(const std::filesystem::path& folder, uint32_t id);
// "%04u.db" in the server folder: the activity log of solution `id`.
std::filesystem::path ActivityLogFileOf(const std::filesystem::path& folder, uint32_t id);

namespace SolutionFiles {

// Opens `file` for the program's writes, creating the folders of an absolute path and the
// file when missing: WAL journal, synchronous NORMAL (a crash of the program loses nothing
// committed, a power cut at most the last commits, neither corrupts the file), a busy
// timeout, and `pageSize` for a new file (0 leaves SQLite's). Null, with the cause in
// `status`, when it cannot be opened.
sqlite3* OpenForWriting(const std::filesystem::path& file, int pageSize, CRStatus& status);

// Makes SQLite copy the write-ahead log into the file (synchronising both with the disk)
// as soon as the log holds `bytes` bytes of pages, whatever the file's page size (at least
// one page). Returns the threshold in pages, 0 when it could not be set.
int SetCheckpointBytes(sqlite3* db, int64_t bytes);

// Copies what the write-ahead log holds into the database file, synchronising both with
// the disk, without waiting for other connections (what a reader still uses stays for the
// next checkpoint). Writes nothing when the log holds nothing new. The cause on failure.
CRStatus Checkpoint(sqlite3* db);

// Copies the write-ahead log into the database file and empties it, so the file alone is
// complete, then closes and sets `db` to null. A failure when the copy could not be made
// (the -wal file keeps the changes; a reader of another connection may hold it) or the
// connection could only be closed later (a statement still open).
CRStatus CheckpointAndClose(sqlite3*& db);

// SQLite's integrity check over a file, without writing or creating anything: "ok", or the
// first problem found (a file that cannot be read or is not a database is a problem too).
// The file may be in use by a running server.
std::string CheckIntegrity(const std::filesystem::path& file);

}  // namespace SolutionFiles

// The integrity of the server folder's databases.
struct CRFileCheck {
    std::filesystem::path file;
    std::string sResult;  // "ok" or the first problem
    bool Ok() const { return sResult == "ok"; }
};
// Every solution file ("%04u_solution.db") and activity log ("%04u.db") of `folder` in
// name order, or the ones of `solution` only, checked with SolutionFiles::CheckIntegrity.
// Creates and changes nothing; a missing folder has no files, an unreadable one is a
// single entry with the error.
std::vector<CRFileCheck> CheckServerFiles(const std::filesystem::path& folder,
                                          std::optional<uint32_t> solution = std::nullopt);

}  // namespace DUve
