// The solution database: the persistent store of one solution in an SQLite file with the
// tables sequence, track, port and event. Rows come back as records carrying the property
// objects; every write runs inside a nestable transaction scope (BEGIN/COMMIT outermost,
// savepoints inside), so a failed inner step undoes only its own changes. A write reports
// success only once it is committed: when the commit fails it reports failure (false,
// nothing, or an empty result) and nothing of it is stored. Inside a caller's scope its
// commit is the caller's: the caller's Commit tells whether it was stored.
//
// A failure of the storage itself (an SQLite error, memory running out) is not told apart
// from "no such item" by the results; LastStatus gives its cause, and the operation that
// gave up because of it reports it once (to the report function, standard error unless
// set). Open and Close report nothing: their callers say what failed, with LastStatus.
//
// The file lifecycle (opening, checking, checkpoints, the server folder's file names) is in
// SolutionFiles.cpp, the tables' column lists and row mappers in SolutionDbRows.*, the
// statements and transaction scopes in SolutionDbStatement.*, the queries in SolutionDb.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RArchive.h"
#include "runtime/RStatus.h"
#include "runtime/RUid.h"

struct sqlite3;
struct sqlite3_stmt;

namespace DUve {

class CSolutionDb {
public:
    // Page size of newly created solution files (existing files keep theirs). Every commit
    // writes each page it touched, and a batch of events with random identifiers touches
    // pages all over the id index: fewer, larger pages make a commit of 1,000 events take
    // about half the time of 4 KiB pages (measured by bench_server).
    static constexpr int kPageSize = 32768;
    // Page cache of a connection, in KiB. A batch of events touches pages all over the id
    // index; keeping them in memory spares each commit re-reading them.
    static constexpr int kCacheKiB = 65536;

    struct CSequence {
        CRUid idSequence;
        CRSeq::Property::CSequence property;
    };
    struct CTrack {
        CRUid idTrack;
        CRUid idSequence;
        CRSeq::Property::CTrack property;
        std::u16string sMml;
    };
    struct CPort {
        CRUid idPort;
        CRUid idSequence;
        CRSeq::Property::CPort property;
    };
    template <class T>
    struct CEventT {
        CRUid idEvent;
        CRUid idPort;
        uint32_t nStep = 0;
        std::shared_ptr<const T> property;
    };
    using CEvent = CEventT<CRSeq::Property::CEventBase>;
    // What Delete removed of the identifiers it was given (not the items removed with them).
    struct CDeleted {
        CRUidSet setSequence, setTrack, setPort, setEvent;
    };

    // One nestable transaction scope. The outermost runs "BEGIN", every inner scope sets
    // the savepoint "_<depth>". Commit ends the scope keeping its changes: an inner scope
    // releases its savepoint, the outermost commits. A Commit that fails (the disk is full,
    // the file cannot be written) rolls the whole scope back and returns false, so what it
    // wrote is not stored; an inner scope's Commit only fails when the transaction around
    // it is already lost. Scopes end innermost first; a scope ends once.
    // Rollback undoes what was done since the scope began; the scope stays open.
    // A scope left without Commit (early, or by an exception) is undone.
    class CTransaction {
    public:
        explicit CTransaction(CSolutionDb& db);
        ~CTransaction();
        CTransaction(const CTransaction&) = delete;
        CTransaction& operator=(const CTransaction&) = delete;
        [[nodiscard]] bool Commit();
        void Rollback();

    private:
        // Ends the scope, keeping or undoing its changes; true when kept and stored.
        bool Finish(bool keep);

        CSolutionDb& m_db;
        unsigned m_nDepth;
        bool m_bStarted = false;
        bool m_bFinished = false;
    };

    CSolutionDb();
    ~CSolutionDb();
    CSolutionDb(const CSolutionDb&) = delete;
    CSolutionDb& operator=(const CSolutionDb&) = delete;

    // Opens (creating when missing) the file and the missing tables; an open database is
    // closed first. An empty path opens a new temporary file "sol*.tmp" under the
    // "tmpsolution" folder; the first such open in the process also removes the temporary
    // databases that earlier runs left there. False when the file is not a usable database.
    // Writes are synchronised with the disk at checkpoints (WAL, synchronous NORMAL): a
    // crash of the program loses nothing committed, a power cut at most the last commits,
    // and neither corrupts the file.
    bool Open(const std::filesystem::path& path);
    // Copies the write-ahead log into the database file and empties it, so the file alone
    // is complete, then closes. False when that copy failed (then the -wal file keeps the
    // changes and the next open reads them) or when nothing was open.
    bool Close();
    // Copies the committed changes from the write-ahead log into the file, synchronised
    // with the disk (as the automatic checkpoints do); false, with LastStatus, when it
    // failed or nothing is open. Cheap when there is nothing to copy.
    bool Checkpoint();
    bool IsOpen() const { return m_db != nullptr; }
    // Commits that failed (and were rolled back) since the database was made: a caller can
    // tell "refused by the storage" from "nothing to do".
    uint64_t CommitFailures() const { return m_nCommitFailures; }
    const std::filesystem::path& GetPath() const { return m_path; }
    // The cause of the last failure of the last operation (or of the open scope's own
    // statements); Ok when it succeeded or only found nothing.
    const CRStatus& LastStatus() const { return m_status; }
    // Where the operations report their failures, once each; standard error when empty.
    void SetReport(std::function<void(const CRStatus&)> report) { m_report = std::move(report); }

    std::shared_ptr<const CRSeq::Property::CSequence> GetSequence(const CRUid& id);
    std::vector<std::shared_ptr<const CSequence>> SelectSequences(const CRUidSet& ids);
    std::vector<std::shared_ptr<const CSequence>> SelectAllSequences();
    // Creating an identifier that exists overwrites its title.
    bool CreateSequence(const CRUid& id, const CRSeq::Property::CSequence& p);
    bool UpdateSequence(const CRUid& id, const CRSeq::Property::CSequence& p);

    // Fails when the sequence does not exist, or when the track exists in another sequence.
    bool CreateTrack(const CRUid& idTrack, const CRUid& idSequence,
                     const CRSeq::Property::CTrack& p);
    bool UpdateTrack(const CRUid& idTrack, const CRSeq::Property::CTrack& p);
    std::shared_ptr<const CTrack> GetTrack(const CRUid& id);
    std::vector<std::shared_ptr<const CTrack>> SelectTracks(const CRUidSet& ids);
    std::vector<std::shared_ptr<const CTrack>> SelectTracksOfSequence(const CRUid& idSequence);
    // (record, changed): (nothing, false) for an unknown track, (stored, false) when the
    // text is the same or cannot be written, (record with the new text, true) otherwise.
    std::pair<std::shared_ptr<const CTrack>, bool> ChangeMml(const CRUid& idTrack,
                                                             const std::u16string& mml);

    // Returns the record of the owning track (p.idTrack); nothing when that track does not
    // exist or when the port exists in another sequence.
    std::shared_ptr<const CTrack> CreatePort(const CRUid& idPort, const CRSeq::Property::CPort& p);
    bool UpdatePort(const CRUid& idPort, const CRSeq::Property::CPort& p);
    std::shared_ptr<const CPort> GetPort(const CRUid& id);
    std::vector<std::shared_ptr<const CPort>> SelectPorts(const CRUidSet& ids);
    std::vector<std::shared_ptr<const CPort>> SelectPortsOfTrack(const CRUid& idTrack);
    std::vector<std::shared_ptr<const CPort>> SelectPortsOfTracks(const CRUidSet& ids);
    std::vector<std::shared_ptr<const CPort>> SelectPortsOfSequence(const CRUid& idSequence);

    // Stores every event of the list in the port and returns the port's record. All or
    // nothing: an unknown port, an event without a property or a failed write stores none.
    // An event whose identifier is already stored keeps its stored row. When `pSkipped` is
    // given and the call succeeds, it holds the events of the list that were not stored for
    // that reason (usually none).
    std::shared_ptr<const CPort> InsertEvents(
        const CRUid& idPort, const CRSeq::Property::CListEvent& events,
        std::vector<const CRSeq::Property::CEventCommon*>* pSkipped = nullptr);
    // The list without the given events (compared by object, so of two copies with one
    // identifier only the skipped one goes).
    static CRSeq::Property::CListEvent Without(
        const CRSeq::Property::CListEvent& events,
        const std::vector<const CRSeq::Property::CEventCommon*>& skipped);
    std::shared_ptr<const CEvent> GetEvent(const CRUid& id);
    std::vector<std::shared_ptr<const CEvent>> SelectEventsOfPorts(const CRUidSet& ids);
    // In step order (unsigned), equal steps in storage order.
    std::vector<std::shared_ptr<const CEvent>> SelectEventsOfPort(const CRUid& idPort);
    std::map<CRUid, CRSeq::Property::CListEvent> SelectEventListsOfPorts(const CRUidSet& ids);

    // Removes sequences, tracks, ports and events with everything below them.
    CDeleted Delete(const CRUidSet& ids);

    // Runs SQLite's integrity check over a database file without writing or creating
    // anything: "ok", or the first problem found (a file that cannot be read or is not a
    // database is a problem too). The file may be in use by a running server.
    static std::string CheckIntegrity(const std::filesystem::path& file);

private:
    class CStatement;
    friend class CStatement;

    // Runs one operation: an exception or a recorded SQLite failure ends up in LastStatus
    // and, when this is the outermost operation, is reported once; an exception gives the
    // value-initialised result.
    template <class F>
    auto Operation(const char* doing, F&& f) noexcept -> decltype(f());
    // Records the first failure of the running operation (reported when it ends); outside
    // any operation it is reported now.
    void Fail(const CRStatus& status);
    // Records SQLite's failure `rc` of the statement `sql`.
    void FailSqlite(int rc, const std::string& sql);
    void Report(const CRStatus& status) noexcept;

    // A cached statement for the text (taken out of the cache while in use), or a fresh one.
    sqlite3_stmt* Acquire(const std::string& sql);
    void Release(const std::string& sql, sqlite3_stmt* stmt);
    void FinalizeCached();
    // Runs a statement that returns no rows; true when it completed.
    bool Execute(const std::string& sql);
    // Close, reporting when the changes stayed in the -wal file.
    void CloseReporting();

    std::filesystem::path m_path;
    sqlite3* m_db = nullptr;
    std::vector<CTransaction*> m_vTransaction;
    uint64_t m_nCommitFailures = 0;
    std::unordered_map<std::string, sqlite3_stmt*> m_mapStatement;
    CRStatus m_status;
    const char* m_pDoing = "";  // the outermost running operation
    unsigned m_nOperation = 0;  // depth of the running operations
    std::function<void(const CRStatus&)> m_report;
};

namespace SolutionDbInner {
// The identifiers as SQL BLOB literals, comma separated: X'..',X'..'.
template <class CRange>
std::string BlobList(const CRange& ids) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string list;
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
// Removes the files "sol*.tmp*" of `folder` except those of the database `keep` and those
// another connection has locked (databases in use).
void RemoveStaleTempFiles(const std::filesystem::path& folder, const std::filesystem::path& keep);
}  // namespace SolutionDbInner

}  // namespace DUve
