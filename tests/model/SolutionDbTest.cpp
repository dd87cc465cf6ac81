#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <string>

#include "model/SolutionDb.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

CRUid Uid(uint8_t first, uint8_t last = 0) {
    uint8_t bytes[16] = {};
    bytes[0] = first;
    bytes[15] = last;
    return CRUid(bytes);
}

// A second, plain connection to the same file, to look at what was really stored.
class CRawDb {
public:
    explicit CRawDb(const fs::path& path) {
        sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~CRawDb() { sqlite3_close_v2(m_db); }
    int64_t Int(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        int64_t v = -1;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    }
    std::string Text(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        std::string v;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return v;
    }
    bool Exec(const std::string& sql) {
        return sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // Changes whenever another connection commits a change.
    int64_t DataVersion() { return Int("PRAGMA data_version"); }

private:
    sqlite3* m_db = nullptr;
};

class SolutionDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/palvor-soldb-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        if (const char* old = std::getenv("XDG_DATA_HOME")) m_oldXdg = old;
        setenv("XDG_DATA_HOME", (m_dir / "data").c_str(), 1);
        m_path = m_dir / "server" / "0007_solution.db";
        ASSERT_TRUE(m_db.Open(m_path));
    }
    void TearDown() override {
        m_db.Close();
        if (m_oldXdg.empty())
            unsetenv("XDG_DATA_HOME");
        else
            setenv("XDG_DATA_HOME", m_oldXdg.c_str(), 1);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // A sequence with one track (with MML) holding one port.
    void MakeTree(const CRUid& seq, const CRUid& track, const CRUid& port) {
        ASSERT_TRUE(m_db.CreateSequence(seq, CSequence(u"song")));
        ASSERT_TRUE(m_db.CreateTrack(track, seq, CTrack(u"lead")));
        ASSERT_TRUE(m_db.ChangeMml(track, u"cde").second);
        ASSERT_TRUE(m_db.CreatePort(port, CPort(track, u"p", u"synth", 3)));
    }

    fs::path m_dir;
    fs::path m_path;
    std::string m_oldXdg;
    CSolutionDb m_db;
};

CListEvent Events(std::initializer_list<std::pair<uint32_t, std::shared_ptr<const CEventBase>>> v) {
    CListEvent list;
    for (const auto& [step, property] : v) list.Insert(step, property);
    return list;
}

std::shared_ptr<const CEventBase> Note(uint8_t note) {
    return std::make_shared<CEventNote>(note, 100, 240);
}

}  // namespace

// --- opening ---

TEST_F(SolutionDbTest, OpenCreatesFoldersAndTablesOnceAndReopeningKeepsData) {
    EXPECT_TRUE(fs::is_regular_file(m_path));  // its folder did not exist
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"kept")));
    ASSERT_TRUE(m_db.Open(m_path));  // closes and opens again
    CSolutionDb second;
    ASSERT_TRUE(second.Open(m_path));
    CRawDb raw(m_path);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sqlite_master"), 8);  // 4 tables, 4 keys
    EXPECT_EQ(raw.Text("PRAGMA journal_mode"), "wal");
    ASSERT_NE(second.GetSequence(Uid(1)), nullptr);
    EXPECT_EQ(second.GetSequence(Uid(1))->sTitle, u"kept");
}

TEST_F(SolutionDbTest, NewFilesTakeTheLargePageSizeAndOlderFilesKeepTheirs) {
    EXPECT_EQ(CRawDb(m_path).Int("PRAGMA page_size"), CSolutionDb::kPageSize);

    // A file written with 4 KiB pages before (one table of it already there).
    const fs::path older = m_path.parent_path() / "older.db";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(older.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA page_size=4096", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "CREATE TABLE sequence ( idSequence BLOB PRIMARY KEY, sTitle TEXT )",
                     nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    CSolutionDb db;
    ASSERT_TRUE(db.Open(older));
    ASSERT_TRUE(db.CreateSequence(Uid(2), CSequence(u"old file")));
    ASSERT_TRUE(db.CreateTrack(Uid(3), Uid(2), CTrack(u"t")));
    ASSERT_TRUE(db.Open(older));
    EXPECT_EQ(db.GetSequence(Uid(2))->sTitle, u"old file");
    EXPECT_NE(db.GetTrack(Uid(3)), nullptr);
    CRawDb raw(older);
    EXPECT_EQ(raw.Int("PRAGMA page_size"), 4096);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sqlite_master"), 8);
}

TEST_F(SolutionDbTest, AFileThatIsNotADatabaseIsRejectedAndEverythingFails) {
    const fs::path junk = m_dir / "junk.db";
    std::ofstream(junk) << std::string(4096, 'x');
    CSolutionDb db;
    EXPECT_FALSE(db.Open(junk));
    EXPECT_FALSE(db.IsOpen());
    EXPECT_FALSE(db.CreateSequence(Uid(1), CSequence(u"a")));
    EXPECT_TRUE(db.SelectAllSequences().empty());
    EXPECT_EQ(db.InsertEvents(Uid(2), Events({{0, Note(60)}})), nullptr);
    EXPECT_TRUE(db.Delete({Uid(1)}).setSequence.empty());
    CSolutionDb::CTransaction scope(db);  // harmless without a connection
    scope.Rollback();
    EXPECT_FALSE(scope.Commit());
}

TEST_F(SolutionDbTest, EmptyPathOpensANewTemporaryFileInTheTemporaryFolder) {
    CSolutionDb a, b;
    ASSERT_TRUE(a.Open({}));
    ASSERT_TRUE(b.Open({}));
    const fs::path folder = m_dir / "data" / "palvor" / "tmpsolution";
    for (const CSolutionDb* db : {&a, &b}) {
        const std::string name = db->GetPath().filename().string();
        EXPECT_EQ(db->GetPath().parent_path(), folder);
        EXPECT_EQ(name.substr(0, 3), "sol");
        EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
        EXPECT_TRUE(fs::exists(db->GetPath()));
    }
    EXPECT_NE(a.GetPath(), b.GetPath());
    EXPECT_TRUE(a.CreateSequence(Uid(1), CSequence(u"t")));
    EXPECT_EQ(b.GetSequence(Uid(1)), nullptr);
}

TEST_F(SolutionDbTest, StaleTemporaryFilesGoButDatabasesInUseStay) {
    const fs::path folder = m_dir / "tmp";
    fs::create_directories(folder);
    for (const char* name : {"solA1.tmp", "solA1.tmp-wal", "solA1.tmp-shm", "solB2.TMP.tmp",
                             "other.tmp", "sol.db", "keep_solution.db"})
        std::ofstream(folder / name) << "x";
    const fs::path busy = folder / "solC3.tmp";
    const fs::path mine = folder / "solD4.tmp";
    CSolutionDb own;
    ASSERT_TRUE(own.Open(mine));

    // Another process keeps `busy` open, as a second server would.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSolutionDb db;
        char c = db.Open(busy) && db.CreateSequence(Uid(1), CSequence(u"x")) ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    SolutionDbInner::RemoveStaleTempFiles(folder, mine);
    EXPECT_FALSE(fs::exists(folder / "solA1.tmp"));
    EXPECT_FALSE(fs::exists(folder / "solA1.tmp-wal"));
    EXPECT_FALSE(fs::exists(folder / "solA1.tmp-shm"));
    EXPECT_FALSE(fs::exists(folder / "solB2.TMP.tmp"));
    EXPECT_TRUE(fs::exists(folder / "other.tmp"));
    EXPECT_TRUE(fs::exists(folder / "sol.db"));
    EXPECT_TRUE(fs::exists(folder / "keep_solution.db"));
    EXPECT_TRUE(fs::exists(busy));
    EXPECT_TRUE(fs::exists(folder / "solC3.tmp-wal"));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(folder / "solD4.tmp-wal"));
    EXPECT_TRUE(own.CreateSequence(Uid(2), CSequence(u"still works")));

    ASSERT_EQ(write(release[1], &c, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
    SolutionDbInner::RemoveStaleTempFiles(folder, mine);
    EXPECT_FALSE(fs::exists(busy));
    EXPECT_TRUE(fs::exists(mine));
}

// --- transaction scopes ---

TEST_F(SolutionDbTest, NestedScopesCommitOnceAndRollBackOnlyTheirOwnPart) {
    CRawDb raw(m_path);
    {
        CSolutionDb::CTransaction outer(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"a")));
        {
            CSolutionDb::CTransaction inner(m_db);
            ASSERT_TRUE(m_db.CreateSequence(Uid(2), CSequence(u"b")));
            {
                CSolutionDb::CTransaction innermost(m_db);
                ASSERT_TRUE(m_db.CreateSequence(Uid(3), CSequence(u"c")));
                EXPECT_FALSE(inner.Commit());  // not before the scopes inside it
                EXPECT_TRUE(innermost.Commit());
                EXPECT_FALSE(innermost.Commit());  // once
            }
            inner.Rollback();  // takes 2 and 3 back
            ASSERT_TRUE(m_db.CreateSequence(Uid(4), CSequence(u"d")));
            EXPECT_TRUE(inner.Commit());
        }
        // Nothing is visible to others before the outermost scope ends.
        EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 0);
        EXPECT_NE(m_db.GetSequence(Uid(1)), nullptr);
        EXPECT_TRUE(outer.Commit());
    }
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 2);
    EXPECT_NE(m_db.GetSequence(Uid(1)), nullptr);
    EXPECT_EQ(m_db.GetSequence(Uid(2)), nullptr);
    EXPECT_EQ(m_db.GetSequence(Uid(3)), nullptr);
    EXPECT_NE(m_db.GetSequence(Uid(4)), nullptr);
}

TEST_F(SolutionDbTest, RollingBackTheOutermostScopeOrLeavingItByExceptionKeepsNothing) {
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"a")));
        scope.Rollback();
    }
    try {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(2), CSequence(u"b")));
        throw std::runtime_error("abort");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(m_db.SelectAllSequences().empty());
    // The connection is usable afterwards: no transaction was left open.
    ASSERT_TRUE(m_db.CreateSequence(Uid(3), CSequence(u"c")));
    CRawDb raw(m_path);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 1);
    // A rolled-back outermost scope stays open: what follows commits with it, and only then.
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(4), CSequence(u"d")));
        scope.Rollback();
        ASSERT_TRUE(m_db.CreateSequence(Uid(5), CSequence(u"e")));
        EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 1);
        EXPECT_TRUE(scope.Commit());
    }
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 2);
    EXPECT_EQ(m_db.GetSequence(Uid(4)), nullptr);
    EXPECT_NE(m_db.GetSequence(Uid(5)), nullptr);
}

TEST_F(SolutionDbTest, AScopeLeftWithoutCommitIsUndone) {
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"a")));
    }
    EXPECT_EQ(CRawDb(m_path).Int("SELECT count(*) FROM sequence"), 0);
    // The database goes on working with the next scope.
    EXPECT_TRUE(m_db.CreateSequence(Uid(2), CSequence(u"b")));
    EXPECT_EQ(CRawDb(m_path).Int("SELECT count(*) FROM sequence"), 1);
}

TEST_F(SolutionDbTest, AFailedOperationInsideAScopeUndoesOnlyItself) {
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"a")));
        EXPECT_FALSE(m_db.CreateTrack(Uid(2), Uid(9), CTrack(u"orphan")));
        EXPECT_FALSE(m_db.UpdateTrack(Uid(2), CTrack(u"none")));
        EXPECT_EQ(m_db.CreatePort(Uid(3), CPort(Uid(2), u"p", u"i", 0)), nullptr);
        EXPECT_TRUE(scope.Commit());
    }
    CRawDb raw(m_path);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 1);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM track"), 0);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM port"), 0);
}

// --- sequences and tracks ---

TEST_F(SolutionDbTest, SequencesAreCreatedOverwrittenUpdatedAndSelected) {
    EXPECT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"first")));
    EXPECT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"again")));  // same id overwrites
    EXPECT_EQ(m_db.GetSequence(Uid(1))->sTitle, u"again");
    const std::u16string title = u"\u66f2 \U0001F3B5 \u00e9";
    EXPECT_TRUE(m_db.CreateSequence(Uid(2), CSequence(title)));
    EXPECT_TRUE(m_db.UpdateSequence(Uid(1), CSequence(u"renamed")));
    EXPECT_FALSE(m_db.UpdateSequence(Uid(3), CSequence(u"missing")));
    EXPECT_EQ(m_db.GetSequence(Uid(3)), nullptr);

    CRawDb raw(m_path);
    EXPECT_EQ(
        raw.Text(
            "SELECT sTitle FROM sequence WHERE idSequence=X'02000000000000000000000000000000'"),
        "\xe6\x9b\xb2 \xf0\x9f\x8e\xb5 \xc3\xa9");  // stored as UTF-8
    EXPECT_EQ(raw.Int("SELECT length(idSequence) FROM sequence LIMIT 1"), 16);

    const auto all = m_db.SelectAllSequences();
    ASSERT_EQ(all.size(), 2u);
    const auto some = m_db.SelectSequences({Uid(2), Uid(7)});
    ASSERT_EQ(some.size(), 1u);
    EXPECT_EQ(some[0]->idSequence, Uid(2));
    EXPECT_EQ(some[0]->property.sTitle, title);
    EXPECT_TRUE(m_db.SelectSequences({}).empty());
}

TEST_F(SolutionDbTest, CreateTrackNeedsItsSequenceAndStaysInIt) {
    CRawDb raw(m_path);
    EXPECT_FALSE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t")));
    EXPECT_EQ(raw.Int("SELECT count(*) FROM track"), 0);

    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"s1")));
    ASSERT_TRUE(m_db.CreateSequence(Uid(5), CSequence(u"s5")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t")));
    EXPECT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t2")));  // overwrite in place
    EXPECT_FALSE(m_db.CreateTrack(Uid(2), Uid(5), CTrack(u"moved")));
    const auto track = m_db.GetTrack(Uid(2));
    ASSERT_NE(track, nullptr);
    EXPECT_EQ(track->idSequence, Uid(1));
    EXPECT_EQ(track->property.sTitle, u"t2");
    EXPECT_EQ(track->sMml, u"");
    EXPECT_TRUE(m_db.SelectTracksOfSequence(Uid(5)).empty());
}

TEST_F(SolutionDbTest, UpdateTrackOfAMissingTrackFailsAndChangesNothing) {
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"s")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t")));
    CRawDb raw(m_path);
    const int64_t version = raw.DataVersion();
    EXPECT_FALSE(m_db.UpdateTrack(Uid(3), CTrack(u"x")));
    EXPECT_EQ(raw.DataVersion(), version);
    EXPECT_EQ(m_db.GetTrack(Uid(3)), nullptr);
    EXPECT_TRUE(m_db.UpdateTrack(Uid(2), CTrack(u"y")));
    EXPECT_EQ(m_db.GetTrack(Uid(2))->property.sTitle, u"y");
}

TEST_F(SolutionDbTest, ChangeMmlWritesOnlyADifferentText) {
    EXPECT_EQ(m_db.ChangeMml(Uid(2), u"c").first, nullptr);
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"s")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t")));

    const auto [changed, isChanged] = m_db.ChangeMml(Uid(2), u"t120 o4 cdefg\r\n;\u3042");
    ASSERT_NE(changed, nullptr);
    EXPECT_TRUE(isChanged);
    EXPECT_EQ(changed->sMml, u"t120 o4 cdefg\r\n;\u3042");
    EXPECT_EQ(changed->property.sTitle, u"t");
    EXPECT_EQ(m_db.GetTrack(Uid(2))->sMml, changed->sMml);

    CRawDb raw(m_path);
    const int64_t version = raw.DataVersion();
    const auto [same, sameChanged] = m_db.ChangeMml(Uid(2), changed->sMml);
    ASSERT_NE(same, nullptr);
    EXPECT_FALSE(sameChanged);
    EXPECT_EQ(same->sMml, changed->sMml);
    EXPECT_EQ(raw.DataVersion(), version);

    const auto tracks = m_db.SelectTracks({Uid(2), Uid(1)});
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0]->idSequence, Uid(1));
    EXPECT_EQ(tracks[0]->sMml, changed->sMml);
}

// --- ports ---

TEST_F(SolutionDbTest, PortsNeedTheirTrackAndReadBackEveryField) {
    CRawDb raw(m_path);
    EXPECT_EQ(m_db.CreatePort(Uid(3), CPort(Uid(2), u"p", u"i", 1)), nullptr);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM port"), 0);

    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"s")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t")));
    CPort property(Uid(2), u"bass", u"\u30b7\u30f3\u30bb", 15);
    property.bEnable = false;
    const auto owner = m_db.CreatePort(Uid(3), property);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->idTrack, Uid(2));

    const auto port = m_db.GetPort(Uid(3));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->idSequence, Uid(1));
    EXPECT_EQ(port->property, property);
    for (const auto& list : {m_db.SelectPortsOfTrack(Uid(2)), m_db.SelectPortsOfTracks({Uid(2)}),
                             m_db.SelectPortsOfSequence(Uid(1))}) {
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->idPort, Uid(3));
        EXPECT_EQ(list[0]->idSequence, Uid(1));
        EXPECT_EQ(list[0]->property, property);
    }
    const auto selected = m_db.SelectPorts({Uid(3)});
    ASSERT_EQ(selected.size(), 1u);
    EXPECT_EQ(selected[0]->property, property);
    EXPECT_EQ(selected[0]->idSequence, Uid(1));  // every port query reads the whole row

    property.bEnable = true;
    property.sInstrument = u"piano";
    EXPECT_TRUE(m_db.UpdatePort(Uid(3), property));
    EXPECT_EQ(m_db.GetPort(Uid(3))->property, property);
    EXPECT_FALSE(m_db.UpdatePort(Uid(4), property));
    EXPECT_EQ(m_db.GetPort(Uid(4)), nullptr);
}

TEST_F(SolutionDbTest, EveryQueryOfATableReadsTheSameWholeRecord) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    CPort property(Uid(2), u"bass", u"organ", 9);
    property.bEnable = true;
    ASSERT_TRUE(m_db.UpdatePort(Uid(3), property));
    ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{1u << 31, Note(70)}})), nullptr);
    const auto port = m_db.GetPort(Uid(3));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->idSequence, Uid(1));
    EXPECT_EQ(port->property, property);
    const std::vector<std::shared_ptr<const CSolutionDb::CPort>> ports[] = {
        m_db.SelectPorts({Uid(3)}), m_db.SelectPortsOfTrack(Uid(2)),
        m_db.SelectPortsOfTracks({Uid(2)}), m_db.SelectPortsOfSequence(Uid(1))};
    for (const auto& list : ports) {
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->idPort, port->idPort);
        EXPECT_EQ(list[0]->idSequence, port->idSequence);
        EXPECT_EQ(list[0]->property, port->property);
    }
    const auto track = m_db.GetTrack(Uid(2));
    ASSERT_NE(track, nullptr);
    for (const auto& list : {m_db.SelectTracks({Uid(2)}), m_db.SelectTracksOfSequence(Uid(1))}) {
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0]->idSequence, track->idSequence);
        EXPECT_EQ(list[0]->property, track->property);
        EXPECT_EQ(list[0]->sMml, u"cde");
    }
    const auto events = m_db.SelectEventsOfPort(Uid(3));
    ASSERT_EQ(events.size(), 1u);
    for (const auto& event : {m_db.GetEvent(events[0]->idEvent), m_db.SelectEventsOfPorts({Uid(3)}).at(0)}) {
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->idEvent, events[0]->idEvent);
        EXPECT_EQ(event->idPort, Uid(3));
        EXPECT_EQ(event->nStep, 1u << 31);
        EXPECT_EQ(CSerialize::SaveObject(*event->property), CSerialize::SaveObject(*events[0]->property));
    }
}

TEST_F(SolutionDbTest, CreatePortOverwritesWithinItsSequenceOnly) {
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"s1")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t2")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(3), Uid(1), CTrack(u"t3")));
    ASSERT_TRUE(m_db.CreateSequence(Uid(5), CSequence(u"s5")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(6), Uid(5), CTrack(u"t6")));
    ASSERT_NE(m_db.CreatePort(Uid(9), CPort(Uid(2), u"a", u"i", 0)), nullptr);
    EXPECT_NE(m_db.CreatePort(Uid(9), CPort(Uid(3), u"b", u"i", 1)), nullptr);
    EXPECT_EQ(m_db.CreatePort(Uid(9), CPort(Uid(6), u"c", u"i", 2)), nullptr);
    const auto port = m_db.GetPort(Uid(9));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->property.idTrack, Uid(3));
    EXPECT_EQ(port->property.sTitle, u"b");
    EXPECT_EQ(port->idSequence, Uid(1));
}

// --- events ---

TEST_F(SolutionDbTest, EveryEventKindRoundTripsInStepOrder) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    std::vector<std::shared_ptr<const CEventBase>> kinds = {
        std::make_shared<CEventTempo>(96.5),
        std::make_shared<CEventMeter>(3, 480),
        std::make_shared<CEventExclusive>(CRBytes{0x41, 0x10, 0x42}),
        std::make_shared<CEventProgramChange>(12),
        std::make_shared<CEventPitchBend>(-8192),
        std::make_shared<CEventNote>(60, 90, 1920),
        std::make_shared<CEventControlChange>(7, 100),
    };
    CListEvent list;
    for (size_t i = 0; i < kinds.size(); ++i)
        list.Insert(static_cast<uint32_t>(480 * (kinds.size() - i)), kinds[i]);
    const auto port = m_db.InsertEvents(Uid(3), list);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->idPort, Uid(3));
    EXPECT_EQ(port->idSequence, Uid(1));

    CRawDb raw(m_path);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM event WHERE propertyId=" +
                      std::to_string(CEventNote::SerializeId())),
              1);

    const auto rows = m_db.SelectEventsOfPort(Uid(3));
    ASSERT_EQ(rows.size(), kinds.size());
    auto expected = list.begin();
    for (const auto& row : rows) {
        EXPECT_EQ(row->idEvent, (*expected)->idEvent);
        EXPECT_EQ(row->idPort, Uid(3));
        EXPECT_EQ(row->nStep, (*expected)->nStep);
        EXPECT_TRUE(row->property->IsEqual(*(*expected)->property));
        ++expected;
    }
    const auto one = m_db.GetEvent(list.begin()->get()->idEvent);
    ASSERT_NE(one, nullptr);
    EXPECT_TRUE(one->property->IsEqual(*kinds.back()));
    EXPECT_EQ(m_db.GetEvent(Uid(77)), nullptr);
}

TEST_F(SolutionDbTest, InsertEventsIsAllOrNothing) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    CRawDb raw(m_path);
    EXPECT_EQ(m_db.InsertEvents(Uid(4), Events({{0, Note(60)}})), nullptr);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM event"), 0);

    CListEvent list = Events({{0, Note(60)}, {10, Note(62)}});
    list.Insert(std::make_shared<const CEventCommon>(Uid(50), 20, nullptr));
    EXPECT_EQ(m_db.InsertEvents(Uid(3), list), nullptr);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM event"), 0);

    // Inside a caller's scope only the failed batch is undone.
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{5, Note(64)}})), nullptr);
        EXPECT_EQ(m_db.InsertEvents(Uid(3), list), nullptr);
        EXPECT_TRUE(scope.Commit());
    }
    EXPECT_EQ(raw.Int("SELECT count(*) FROM event"), 1);
}

TEST_F(SolutionDbTest, AStoredEventIdentifierKeepsItsRow) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    CListEvent first;
    first.Insert(std::make_shared<const CEventCommon>(Uid(40), 100, Note(60)));
    ASSERT_NE(m_db.InsertEvents(Uid(3), first), nullptr);
    CListEvent second;
    second.Insert(std::make_shared<const CEventCommon>(Uid(40), 200, Note(70)));
    second.Insert(std::make_shared<const CEventCommon>(Uid(41), 300, Note(72)));
    second.Insert(std::make_shared<const CEventCommon>(Uid(41), 400, Note(74)));  // twice in one list
    std::vector<const CEventCommon*> skipped;
    ASSERT_NE(m_db.InsertEvents(Uid(3), second, &skipped), nullptr);
    const CListEvent stored = CSolutionDb::Without(second, skipped);
    const auto kept = m_db.GetEvent(Uid(40));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->nStep, 100u);
    ASSERT_NE(m_db.GetEvent(Uid(41)), nullptr);
    EXPECT_EQ(m_db.GetEvent(Uid(41))->nStep, 300u);
    // Only what was stored is reported: the first Uid(41), not Uid(40) nor the second copy.
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ((*stored.begin())->idEvent, Uid(41));
    EXPECT_EQ((*stored.begin())->nStep, 300u);
}

TEST_F(SolutionDbTest, StepsWithTheTopBitSetReadBackUnsignedAndInOrder) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    const uint32_t steps[] = {0xFFFFFFFFu, 5, 0x80000000u, 0, 0x7FFFFFFFu};
    CListEvent list;
    for (uint32_t step : steps) list.Insert(step, Note(60));
    ASSERT_NE(m_db.InsertEvents(Uid(3), list), nullptr);

    const std::vector<uint32_t> sorted = {0, 5, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    std::vector<uint32_t> read;
    for (const auto& row : m_db.SelectEventsOfPort(Uid(3))) read.push_back(row->nStep);
    EXPECT_EQ(read, sorted);

    const auto lists = m_db.SelectEventListsOfPorts({Uid(3), Uid(9)});
    ASSERT_EQ(lists.size(), 1u);
    read.clear();
    for (const auto& event : lists.at(Uid(3))) read.push_back(event->nStep);
    EXPECT_EQ(read, sorted);

    for (const auto& event : list) EXPECT_EQ(m_db.GetEvent(event->idEvent)->nStep, event->nStep);
}

TEST_F(SolutionDbTest, RowsThatDoNotDecodeAreSkipped) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{7, Note(61)}})), nullptr);
    const auto literal = [](const CRBytes& bytes) {
        std::string hex = "X'";
        for (uint8_t v : bytes) {
            hex += "0123456789abcdef"[v >> 4];
            hex += "0123456789abcdef"[v & 15];
        }
        return hex + "'";
    };
    CRBytes truncated = CSerialize::SaveObject(CEventNote(60, 1, 2));
    truncated.pop_back();
    const std::string bad[] = {"X'ffff0102'", "NULL", literal(truncated),
                               literal(CSerialize::SaveObject(CSequence(u"not an event")))};
    CRawDb raw(m_path);
    for (size_t i = 0; i < std::size(bad); ++i) {
        const CRBytes id(16, static_cast<uint8_t>(0x61 + i));
        ASSERT_TRUE(raw.Exec("INSERT INTO event VALUES(" + literal(id) +
                             ", X'03000000000000000000000000000000', 1, 0, " + bad[i] + ")"));
        EXPECT_EQ(m_db.GetEvent(*CRUid::FromText(literal(id).substr(2, 32))), nullptr) << bad[i];
    }
    // Identifier blobs too short and too long; a number where a text is expected.
    ASSERT_TRUE(raw.Exec("INSERT INTO sequence VALUES(X'0102', 'short')"));
    ASSERT_TRUE(
        raw.Exec("INSERT INTO sequence VALUES(X'0900000000000000000000000000000000ff', 12)"));

    EXPECT_EQ(m_db.SelectEventsOfPort(Uid(3)).size(), 1u);
    EXPECT_EQ(m_db.SelectEventsOfPorts({Uid(3)}).size(), 1u);
    EXPECT_EQ(m_db.SelectEventListsOfPorts({Uid(3)}).at(Uid(3)).size(), 1u);
    std::map<std::u16string, CRUid> read;
    for (const auto& row : m_db.SelectAllSequences()) read[row->property.sTitle] = row->idSequence;
    ASSERT_EQ(read.size(), 3u);  // with "song"
    EXPECT_TRUE(read.at(u"short").IsNull());
    EXPECT_EQ(read.at(u"12"), Uid(9));  // cut to 16 bytes
}

// --- deleting ---

TEST_F(SolutionDbTest, DeletingASequenceTakesEverythingBelowIt) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    MakeTree(Uid(11), Uid(12), Uid(13));
    CListEvent list = Events({{0, Note(60)}, {480, Note(62)}});
    ASSERT_NE(m_db.InsertEvents(Uid(3), list), nullptr);
    ASSERT_NE(m_db.InsertEvents(Uid(13), Events({{0, Note(60)}})), nullptr);
    ASSERT_NE(m_db.CreatePort(Uid(4), CPort(Uid(2), u"second", u"i", 1)), nullptr);

    const auto deleted = m_db.Delete({Uid(1), list.begin()->get()->idEvent, Uid(99)});
    EXPECT_EQ(deleted.setSequence, CRUidSet{Uid(1)});
    EXPECT_TRUE(deleted.setTrack.empty());
    EXPECT_TRUE(deleted.setPort.empty());
    EXPECT_TRUE(deleted.setEvent.empty());

    CRawDb raw(m_path);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM sequence"), 1);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM track"), 1);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM port"), 1);
    EXPECT_EQ(raw.Int("SELECT count(*) FROM event"), 1);
    EXPECT_NE(m_db.GetPort(Uid(13)), nullptr);
}

TEST_F(SolutionDbTest, DeletingTracksPortsAndSingleEventsListsWhatWasAskedFor) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    ASSERT_TRUE(m_db.CreateTrack(Uid(5), Uid(1), CTrack(u"t5")));
    ASSERT_NE(m_db.CreatePort(Uid(6), CPort(Uid(5), u"p6", u"i", 0)), nullptr);
    ASSERT_NE(m_db.CreatePort(Uid(7), CPort(Uid(5), u"p7", u"i", 0)), nullptr);
    CListEvent on3 = Events({{0, Note(60)}, {1, Note(61)}});
    CListEvent on6 = Events({{0, Note(60)}});
    CListEvent on7 = Events({{0, Note(60)}, {9, Note(69)}});
    ASSERT_NE(m_db.InsertEvents(Uid(3), on3), nullptr);
    ASSERT_NE(m_db.InsertEvents(Uid(6), on6), nullptr);
    ASSERT_NE(m_db.InsertEvents(Uid(7), on7), nullptr);

    const CRUid event7 = on7.begin()->get()->idEvent;
    auto deleted = m_db.Delete({Uid(2), Uid(6), event7});
    EXPECT_EQ(deleted.setTrack, CRUidSet{Uid(2)});
    EXPECT_EQ(deleted.setPort, CRUidSet{Uid(6)});
    EXPECT_EQ(deleted.setEvent, CRUidSet{event7});
    EXPECT_TRUE(deleted.setSequence.empty());
    EXPECT_EQ(m_db.GetTrack(Uid(2)), nullptr);
    EXPECT_EQ(m_db.GetPort(Uid(3)), nullptr);
    EXPECT_TRUE(m_db.SelectEventsOfPorts({Uid(3), Uid(6)}).empty());
    ASSERT_EQ(m_db.SelectEventsOfPort(Uid(7)).size(), 1u);
    EXPECT_EQ(m_db.SelectEventsOfPort(Uid(7))[0]->nStep, 9u);
    EXPECT_NE(m_db.GetTrack(Uid(5)), nullptr);

    deleted = m_db.Delete({event7, Uid(2), Uid(123)});  // all gone already
    EXPECT_TRUE(deleted.setSequence.empty() && deleted.setTrack.empty() &&
                deleted.setPort.empty() && deleted.setEvent.empty());
}

TEST_F(SolutionDbTest, LargeIdentifierSetsWork) {
    ASSERT_TRUE(m_db.CreateSequence(Uid(1, 1), CSequence(u"a")));
    ASSERT_TRUE(m_db.CreateSequence(Uid(200, 7), CSequence(u"b")));
    CRUidSet ids;
    for (int i = 0; i < 50000; ++i) ids.insert(CRUid::Generate());
    ids.insert(Uid(1, 1));
    ids.insert(Uid(200, 7));
    EXPECT_EQ(m_db.SelectSequences(ids).size(), 2u);
    EXPECT_EQ(m_db.Delete(ids).setSequence, (CRUidSet{Uid(1, 1), Uid(200, 7)}));
    EXPECT_TRUE(m_db.SelectAllSequences().empty());
}

// --- a commit that fails, closing, checking ---

namespace {

// Every row of every table as another connection reads it.
std::string Dump(const fs::path& path) {
    static constexpr char kDigits[] = "0123456789abcdef";
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        for (const std::string table : {"sequence", "track", "port", "event"}) {
            sqlite3_stmt* st = nullptr;
            out += table + ":";
            if (sqlite3_prepare_v2(db, ("SELECT * FROM " + table + " ORDER BY 1").c_str(), -1,
                                   &st, nullptr) != SQLITE_OK)
                out += "unreadable";
            while (st && sqlite3_step(st) == SQLITE_ROW) {
                for (int i = 0; i < sqlite3_column_count(st); ++i) {
                    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, i));
                    out += '|';
                    for (int k = 0; p && k < sqlite3_column_bytes(st, i); ++k)
                        out += {kDigits[p[k] >> 4], kDigits[p[k] & 15]};
                }
                out += '\n';
            }
            sqlite3_finalize(st);
        }
    }
    sqlite3_close(db);
    return out;
}

fs::path WalOf(const fs::path& path) { return fs::path(path.string() + "-wal"); }

// While it lives, a write that would make a file of this process longer than it is now
// fails, as on a full disk; SQLite's log only grows at a commit.
class CFullDisk {
public:
    explicit CFullDisk(const fs::path& file) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = fs::file_size(file);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFullDisk() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_handler);
    }
    CFullDisk(const CFullDisk&) = delete;
    CFullDisk& operator=(const CFullDisk&) = delete;

private:
    rlimit m_old{};
    void (*m_handler)(int) = nullptr;
};

}  // namespace

TEST_F(SolutionDbTest, AWriteWhoseCommitFailsReportsFailureAndStoresNothing) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{0, Note(60)}})), nullptr);
    const CRUid event = m_db.SelectEventsOfPort(Uid(3)).at(0)->idEvent;
    struct CWrite {
        const char* name;
        std::function<bool()> run;
    };
    const CWrite writes[] = {
        {"CreateSequence", [&] { return m_db.CreateSequence(Uid(10), CSequence(u"new")); }},
        {"UpdateSequence", [&] { return m_db.UpdateSequence(Uid(1), CSequence(u"renamed")); }},
        {"CreateTrack", [&] { return m_db.CreateTrack(Uid(11), Uid(1), CTrack(u"new")); }},
        {"UpdateTrack", [&] { return m_db.UpdateTrack(Uid(2), CTrack(u"renamed")); }},
        {"ChangeMml", [&] { return m_db.ChangeMml(Uid(2), u"gab").second; }},
        {"CreatePort",
         [&] { return m_db.CreatePort(Uid(12), CPort(Uid(2), u"q", u"x", 1)) != nullptr; }},
        {"UpdatePort", [&] { return m_db.UpdatePort(Uid(3), CPort(Uid(2), u"p2", u"y", 4)); }},
        {"InsertEvents",
         [&] { return m_db.InsertEvents(Uid(3), Events({{5, Note(61)}, {9, Note(62)}})) != nullptr; }},
        {"Delete an event", [&] { return m_db.Delete({event}).setEvent.size() == 1; }},
        {"Delete a sequence", [&] { return m_db.Delete({Uid(1)}).setSequence.size() == 1; }},
    };
    std::vector<CRStatus> reports;
    m_db.SetReport([&](const CRStatus& status) { reports.push_back(status); });
    for (const CWrite& write : writes) {
        SCOPED_TRACE(write.name);
        const std::string before = Dump(m_path);
        reports.clear();
        {
            CFullDisk full(WalOf(m_path));
            EXPECT_FALSE(write.run());
        }
        EXPECT_EQ(Dump(m_path), before);
        // Reported once, by the operation that gave up, with SQLite's own cause (a write
        // beyond the file size limit is an I/O error to SQLite).
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].nCode & 0xff, SQLITE_IOERR);
        EXPECT_EQ(reports[0].sMessage, sqlite3_errstr(SQLITE_IOERR));
        EXPECT_EQ(reports[0].Text(), m_db.LastStatus().Text());
        // The connection goes on, and the same write, not stored before, succeeds now.
        EXPECT_TRUE(write.run());
        EXPECT_NE(Dump(m_path), before);
        EXPECT_TRUE(m_db.LastStatus().Ok());
        EXPECT_EQ(reports.size(), 1u);
    }
}

TEST_F(SolutionDbTest, ACallersCommitThatFailsUndoesEveryWriteOfItsScope) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    const std::string before = Dump(m_path);
    {
        CSolutionDb::CTransaction scope(m_db);
        ASSERT_TRUE(m_db.UpdateTrack(Uid(2), CTrack(u"renamed")));
        ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{0, Note(60)}})), nullptr);
        std::vector<CRStatus> reports;
        m_db.SetReport([&](const CRStatus& status) { reports.push_back(status); });
        CFullDisk full(WalOf(m_path));
        EXPECT_FALSE(scope.Commit());
        // The caller's own scope reports its failed commit once, with the cause.
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].nCode & 0xff, SQLITE_IOERR);
        EXPECT_NE(reports[0].Text().find("committing"), std::string::npos);
        m_db.SetReport(nullptr);
    }
    EXPECT_EQ(Dump(m_path), before);
    // This connection has dropped them too, and writes on.
    EXPECT_EQ(m_db.GetTrack(Uid(2))->property.sTitle, u"lead");
    EXPECT_TRUE(m_db.SelectEventsOfPort(Uid(3)).empty());
    EXPECT_TRUE(m_db.UpdateTrack(Uid(2), CTrack(u"renamed")));
    EXPECT_EQ(CRawDb(m_path).Text("SELECT sTitle FROM track"), "renamed");
}

TEST_F(SolutionDbTest, AReadOfADamagedTableReportsSqlitesCauseOnceAndFindsNothing) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    ASSERT_NE(m_db.InsertEvents(Uid(3), Events({{0, Note(60)}})), nullptr);
    ASSERT_TRUE(m_db.Close());
    // Overwrite the track table's root page: reading it fails, the schema stays sound.
    const int64_t page = CRawDb(m_path).Int("SELECT rootpage FROM sqlite_master WHERE name='track'");
    ASSERT_GT(page, 1);
    {
        std::fstream file(m_path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp((page - 1) * CSolutionDb::kPageSize);
        const std::string junk(CSolutionDb::kPageSize, '\xff');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    ASSERT_TRUE(m_db.Open(m_path));
    std::vector<CRStatus> reports;
    m_db.SetReport([&](const CRStatus& status) { reports.push_back(status); });
    struct CRead {
        const char* name;
        std::function<bool()> found;  // true when the operation gave something back
        const char* doing;
    };
    const CRead reads[] = {
        {"GetTrack", [&] { return m_db.GetTrack(Uid(2)) != nullptr; }, "reading a track"},
        {"SelectTracksOfSequence", [&] { return !m_db.SelectTracksOfSequence(Uid(1)).empty(); },
         "reading the tracks of a sequence"},
        {"CreatePort", [&] { return m_db.CreatePort(Uid(4), CPort(Uid(2), u"q", u"x", 1)) != nullptr; },
         "creating a port"},
        {"ChangeMml", [&] { return m_db.ChangeMml(Uid(2), u"gab").first != nullptr; },
         "changing the MML of a track"},
        {"Delete", [&] { return !m_db.Delete({Uid(1)}).setSequence.empty(); }, "deleting"},
    };
    for (const CRead& read : reads) {
        SCOPED_TRACE(read.name);
        reports.clear();
        EXPECT_FALSE(read.found());
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].nCode & 0xff, SQLITE_CORRUPT);
        EXPECT_EQ(reports[0].sMessage, sqlite3_errstr(SQLITE_CORRUPT));
        EXPECT_EQ(reports[0].sDoing.rfind(read.doing, 0), 0u) << reports[0].sDoing;
        EXPECT_EQ(m_db.LastStatus().nCode, reports[0].nCode);
    }
    // The other tables still work, and finding nothing is no failure.
    reports.clear();
    EXPECT_NE(m_db.GetSequence(Uid(1)), nullptr);
    EXPECT_EQ(m_db.GetPort(Uid(9)), nullptr);
    EXPECT_TRUE(m_db.LastStatus().Ok());
    EXPECT_TRUE(reports.empty());
}

TEST_F(SolutionDbTest, AFailedOpenKeepsItsCauseAndReportsNothing) {
    m_db.Close();
    const fs::path notADatabase = m_dir / "text.db";
    std::ofstream(notADatabase) << std::string(4096, 'x');
    std::vector<CRStatus> reports;
    m_db.SetReport([&](const CRStatus& status) { reports.push_back(status); });
    ASSERT_FALSE(m_db.Open(notADatabase));
    EXPECT_EQ(m_db.LastStatus().nCode & 0xff, SQLITE_NOTADB);
    EXPECT_EQ(m_db.LastStatus().sMessage, sqlite3_errstr(SQLITE_NOTADB));
    EXPECT_TRUE(reports.empty());  // the caller says that it failed
}

TEST_F(SolutionDbTest, ClosingLeavesTheFileCompleteWhileAnotherConnectionIsOpen) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    CRawDb reader(m_path);  // keeps the log from going away with the last connection
    ASSERT_EQ(reader.Int("SELECT count(*) FROM track"), 1);
    ASSERT_GT(fs::file_size(WalOf(m_path)), 0u);
    EXPECT_TRUE(m_db.Close());
    EXPECT_FALSE(m_db.IsOpen());
    EXPECT_FALSE(m_db.Close());  // nothing open
    EXPECT_EQ(fs::file_size(WalOf(m_path)), 0u);

    const fs::path copy = m_dir / "copy.db";
    fs::copy_file(m_path, copy);
    CSolutionDb copied;
    ASSERT_TRUE(copied.Open(copy));
    ASSERT_NE(copied.GetTrack(Uid(2)), nullptr);
    EXPECT_EQ(copied.GetTrack(Uid(2))->sMml, u"cde");
}

TEST_F(SolutionDbTest, IntegrityCheckTellsSoundFilesFromDamagedOnesAndCreatesNothing) {
    MakeTree(Uid(1), Uid(2), Uid(3));
    CListEvent many;
    for (uint32_t i = 0; i < 3000; ++i) many.Insert(i * 10, Note(static_cast<uint8_t>(40 + i % 40)));
    ASSERT_NE(m_db.InsertEvents(Uid(3), many), nullptr);
    EXPECT_EQ(CSolutionDb::CheckIntegrity(m_path), "ok");  // in use, commits in its -wal
    ASSERT_TRUE(m_db.Close());

    // A folder name that needs escaping in an SQLite URI.
    const fs::path folder = m_dir / "check a?b#c%41";
    fs::create_directories(folder);
    fs::copy_file(m_path, folder / "sound.db");
    fs::copy_file(m_path, folder / "damaged.db");
    {
        // One whole page in the middle of the file overwritten.
        const uintmax_t pages = fs::file_size(m_path) / CSolutionDb::kPageSize;
        ASSERT_GE(pages, 4u);
        std::fstream f(folder / "damaged.db", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(pages / 2 * CSolutionDb::kPageSize));
        f << std::string(CSolutionDb::kPageSize, '\xa5');
    }
    std::ofstream(folder / "text.db") << std::string(4096, 'x');
    std::ofstream(folder / "empty.db");

    const auto listing = [&folder] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto before = listing();
    const struct {
        const char* name;
        bool ok;
    } cases[] = {{"sound.db", true},  {"empty.db", true},   {"damaged.db", false},
                 {"text.db", false},  {"missing.db", false}, {".", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string result = CSolutionDb::CheckIntegrity(folder / c.name);
        EXPECT_EQ(result == "ok", c.ok) << result;
        EXPECT_FALSE(result.empty());
        EXPECT_EQ(result.find('\n'), std::string::npos);
    }
    EXPECT_EQ(listing(), before);
    EXPECT_NE(CSolutionDb::CheckIntegrity(folder / "text.db").find("not a database"), std::string::npos);
}

TEST(SolutionDbBlobList, WritesLowerCaseBlobLiteralsInSetOrder) {
    uint8_t a[16] = {0xAB, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F};
    uint8_t b[16] = {0x01};
    EXPECT_EQ(SolutionDbInner::BlobList(CRUidSet{CRUid(a), CRUid(b)}),
              "X'01000000000000000000000000000000',X'ab00000000000000000000000000000f'");
    EXPECT_EQ(SolutionDbInner::BlobList(CRUidSet{}), "");
}
