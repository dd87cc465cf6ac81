#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "mml/MmlCompiler.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::CRSeq::Property;

namespace {

const std::u16string kCompleted = u"コンパイル完了";

struct CNote {
    uint32_t nStep;
    uint8_t nNote;
    uint32_t nLength;
    uint8_t nVelocity = 100;
    bool operator==(const CNote&) const = default;
};

std::ostream& operator<<(std::ostream& os, const CNote& n) {
    return os << "{step " << n.nStep << ", note " << int(n.nNote) << ", length " << n.nLength
              << ", velocity " << int(n.nVelocity) << "}";
}

class MmlCompile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_db.Open(m_dir.Path() / "solution.db"));
        ASSERT_TRUE(m_db.CreateSequence(m_idSequence, CSequence(u"song")));
        ASSERT_TRUE(m_db.CreateTrack(m_idTrack, m_idSequence, CTrack(u"track")));
    }

    CMmlCompiler::CResult Compile(const std::u16string& mml) {
        m_db.ChangeMml(m_idTrack, mml);
        return CMmlCompiler::Compile(m_db, m_idTrack);
    }

    std::shared_ptr<const CSolutionDb::CPort> Port(const std::u16string& title) {
        for (const auto& port : m_db.SelectPortsOfTrack(m_idTrack))
            if (port->property.sTitle == title) return port;
        return nullptr;
    }

    std::vector<std::shared_ptr<const CSolutionDb::CEvent>> Events(const std::u16string& title) {
        const auto port = Port(title);
        return port ? m_db.SelectEventsOfPort(port->idPort)
                    : std::vector<std::shared_ptr<const CSolutionDb::CEvent>>{};
    }

    std::vector<CNote> Notes(const std::u16string& title) {
        std::vector<CNote> notes;
        for (const auto& e : Events(title))
            if (const auto* n = dynamic_cast<const CEventNote*>(e->property.get()))
                notes.push_back({e->nStep, n->nNote, n->nLength, n->nVelocity});
        return notes;
    }

    std::vector<CRUid> EventIds(const std::u16string& title) {
        std::vector<CRUid> ids;
        for (const auto& e : Events(title)) ids.push_back(e->idEvent);
        return ids;
    }

    // Runs SQL on a second connection to the same file (triggers that make writes fail).
    void Sql(const char* sql) {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(m_db.GetPath().c_str(), &raw), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(raw);
        sqlite3_close(raw);
    }

    PalvorTest::CTempDir m_dir;
    CSolutionDb m_db;
    const CRUid m_idSequence = CRUid::Generate();
    const CRUid m_idTrack = CRUid::Generate();
};

const std::u16string kThreeNotes = u"declare port p = synth:0; port(p) c d e";

}  // namespace

TEST_F(MmlCompile, CreatesPortAndNotes) {
    const auto result = Compile(kThreeNotes);
    EXPECT_EQ(result.vMessages, CRStringList{kCompleted});
    ASSERT_TRUE(result.changed);

    const auto port = Port(u"p");
    ASSERT_TRUE(port);
    EXPECT_EQ(port->property.sInstrument, u"synth");
    EXPECT_EQ(port->property.nChannel, 0);
    EXPECT_TRUE(port->property.bEnable);
    EXPECT_EQ(Notes(u"p"), (std::vector<CNote>{{0, 72, 480}, {480, 74, 480}, {960, 76, 480}}));

    const auto& changed = *result.changed;
    EXPECT_EQ(changed.setIdCreatedPort, CRUidSet{port->idPort});
    EXPECT_TRUE(changed.setIdChangedPort.empty());
    EXPECT_TRUE(changed.setIdDeletedEvent.empty());
    EXPECT_EQ(changed.mapPortProperty.at(port->idPort), port->property);
    ASSERT_EQ(changed.mapCreatedEvent.size(), 1u);
    std::vector<CRUid> reported;
    for (const auto& e : changed.mapCreatedEvent.at(port->idPort)) reported.push_back(e->idEvent);
    EXPECT_EQ(reported, EventIds(u"p"));
}

TEST_F(MmlCompile, RecompileKeepsEventsAndIdentifiers) {
    Compile(
        u"declare port p = synth:0; declare port q = organ:1;\n"
        u"port(p) t120 @3 c d e port(q) l8 c c");
    const auto idsP = EventIds(u"p");
    const auto idsQ = EventIds(u"q");
    ASSERT_EQ(idsP.size(), 5u);

    const auto again = CMmlCompiler::Compile(m_db, m_idTrack);
    ASSERT_TRUE(again.changed);
    EXPECT_EQ(again.vMessages, CRStringList{kCompleted});
    EXPECT_TRUE(again.changed->setIdDeletedEvent.empty());
    EXPECT_TRUE(again.changed->setIdCreatedPort.empty());
    EXPECT_TRUE(again.changed->setIdChangedPort.empty());
    EXPECT_TRUE(again.changed->mapPortProperty.empty());
    ASSERT_EQ(again.changed->mapCreatedEvent.size(), 2u);
    for (const auto& [id, list] : again.changed->mapCreatedEvent) EXPECT_TRUE(list.empty());
    EXPECT_EQ(EventIds(u"p"), idsP);
    EXPECT_EQ(EventIds(u"q"), idsQ);
    EXPECT_EQ(m_db.SelectPortsOfTrack(m_idTrack).size(), 2u);
}

TEST_F(MmlCompile, OneChangedNoteReplacesOneEvent) {
    Compile(kThreeNotes);
    const auto before = EventIds(u"p");
    ASSERT_EQ(before.size(), 3u);

    const auto result = Compile(u"declare port p = synth:0; port(p) c d f");
    ASSERT_TRUE(result.changed);
    EXPECT_EQ(result.changed->setIdDeletedEvent, CRUidSet{before[2]});
    const auto idPort = Port(u"p")->idPort;
    ASSERT_EQ(result.changed->mapCreatedEvent.at(idPort).size(), 1u);
    const auto& inserted = *result.changed->mapCreatedEvent.at(idPort).begin();

    const auto after = EventIds(u"p");
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
    EXPECT_EQ(after[2], inserted->idEvent);
    EXPECT_EQ(Notes(u"p")[2], (CNote{960, 77, 480}));
}

TEST_F(MmlCompile, EqualEventsAtOneStepPairInOrder) {
    // Three equal notes at step 0 (length 0) and one more: the stored three stay, one is new.
    Compile(u"declare port p = s:0; port(p) c0 c0 c0");
    const auto before = EventIds(u"p");
    ASSERT_EQ(before.size(), 3u);
    const auto result = Compile(u"declare port p = s:0; port(p) c0 c0 c0 c0");
    ASSERT_TRUE(result.changed);
    EXPECT_TRUE(result.changed->setIdDeletedEvent.empty());
    const auto after = EventIds(u"p");
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(std::vector<CRUid>(after.begin(), after.begin() + 3), before);

    // Now one fewer, and a different velocity for one of them: keep two, replace one.
    const auto fewer = Compile(u"declare port p = s:0; port(p) c0 c0 v90 c0");
    ASSERT_TRUE(fewer.changed);
    EXPECT_EQ(fewer.changed->setIdDeletedEvent, (CRUidSet{after[2], after[3]}));
    EXPECT_EQ(Notes(u"p"), (std::vector<CNote>{{0, 72, 0}, {0, 72, 0}, {0, 72, 0, 90}}));
}

TEST_F(MmlCompile, ChangedDeclarationUpdatesThePort) {
    Compile(kThreeNotes);
    const auto idPort = Port(u"p")->idPort;
    const auto result = Compile(u"declare port p = piano : 9; port(p) c d e");
    ASSERT_TRUE(result.changed);
    EXPECT_EQ(result.changed->setIdChangedPort, CRUidSet{idPort});
    EXPECT_TRUE(result.changed->setIdCreatedPort.empty());
    const auto port = Port(u"p");
    EXPECT_EQ(port->idPort, idPort);
    EXPECT_EQ(port->property.sInstrument, u"piano ");
    EXPECT_EQ(port->property.nChannel, 9);
    EXPECT_EQ(result.changed->mapPortProperty.at(idPort), port->property);
}

TEST_F(MmlCompile, InstructionErrorsCarryLineAndText) {
    struct {
        std::u16string mml;
        std::u16string message;
    } const cases[] = {
        {u"port(p) c", u"1:port(p)\n 定義されてないトラックが指定されています。[p]"},
        {u"c", u"1:c\n トラックが指定されていません。"},
        {u"declare port p = a:0;\nc", u"2:c\n トラックが指定されていません。"},
        {u"declare port p = a:0;\n\ndeclare port p = b:1;",
         u"3:declare port p = b:1;\n 同名のトラックが複数定義されています。[p]"},
        {u"declare port p = a:0; port(p) c\n\nx y", u"3:x y\n 文法エラー"},
        {u"/* one\ntwo */ declare port p = a:16;",
         u"2:declare port p = a:16;\n チャンネルは 0～15 で指定して下さい"},
    };
    for (const auto& c : cases) {
        const auto result = Compile(c.mml);
        EXPECT_EQ(result.vMessages, CRStringList{c.message});
        EXPECT_FALSE(result.changed);
        EXPECT_TRUE(m_db.SelectPortsOfTrack(m_idTrack).empty());
    }
}

TEST_F(MmlCompile, BadLengthIsReportedButCompiles) {
    const auto result = Compile(u"declare port p = s:0; port(p)\nc0 d r0 e");
    ASSERT_TRUE(result.changed);
    EXPECT_EQ(result.vMessages,
              (CRStringList{u"2:c0 \n 音符の長さの指定が不正です。[0]",
                            u"2:r0 \n 音符の長さの指定が不正です。[0]", kCompleted}));
    EXPECT_EQ(Notes(u"p"), (std::vector<CNote>{{0, 72, 0}, {0, 74, 480}, {480, 76, 480}}));
}

TEST_F(MmlCompile, NoteRangeLengthsAndOtherEvents) {
    Compile(u"declare port p = s:0; port(p) o8 b c v64 < o-2 c- c l8 . c c2^4 r4 > b+");
    // b in octave 8 is 131: dropped without taking time; c- in octave -2 is -1: dropped too.
    EXPECT_EQ(Notes(u"p"), (std::vector<CNote>{{0, 120, 480},
                                               {480, 0, 480, 64},
                                               {960, 0, 360, 64},
                                               {1320, 0, 1440, 64},
                                               {3240, 0, 360, 64}}));

    Compile(u"declare port p = s:0; port(p) t150 @12 c t90.5");
    const auto events = Events(u"p");
    ASSERT_EQ(events.size(), 4u);
    const auto* tempo = dynamic_cast<const CEventTempo*>(events[0]->property.get());
    const auto* program = dynamic_cast<const CEventProgramChange*>(events[1]->property.get());
    ASSERT_TRUE(tempo && program);
    EXPECT_EQ(tempo->dTempo, 150.0);
    EXPECT_EQ(program->nProgram, 12);
    EXPECT_EQ(events[0]->nStep, 0u);
    EXPECT_EQ(events[1]->nStep, 0u);
    EXPECT_EQ(events[2]->nStep, 0u);
    EXPECT_EQ(events[3]->nStep, 480u);
}

TEST_F(MmlCompile, PortsWithoutEventsAreLeftAlone) {
    Compile(u"declare port p = s:0; declare port q = s:1; port(p) c d port(q) e");
    ASSERT_EQ(Notes(u"q").size(), 1u);
    const auto idsQ = EventIds(u"q");

    // q gets nothing now: its port and events stay; r is declared but never created.
    const auto result =
        Compile(u"declare port p = s:0; declare port q = other:5; declare port r = s:2; port(p) c");
    ASSERT_TRUE(result.changed);
    EXPECT_EQ(result.changed->mapCreatedEvent.size(), 1u);
    EXPECT_FALSE(Port(u"r"));
    EXPECT_EQ(EventIds(u"q"), idsQ);
    EXPECT_EQ(Port(u"q")->property.sInstrument, u"s");
    EXPECT_EQ(Notes(u"p").size(), 1u);
}

TEST_F(MmlCompile, UnknownTrackGivesNothing) {
    const auto result = CMmlCompiler::Compile(m_db, CRUid::Generate());
    EXPECT_TRUE(result.vMessages.empty());
    EXPECT_FALSE(result.changed);
}

TEST_F(MmlCompile, FatalDatabaseErrorRollsBackEverything) {
    Compile(kThreeNotes);
    const auto idsP = EventIds(u"p");
    // Ports are processed by name: p is rewritten and a is created before z fails.
    Sql("CREATE TRIGGER no_z BEFORE UPDATE ON port WHEN NEW.sTitle = 'z' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const auto result = Compile(
        u"declare port a = s:0; declare port p = s:0; declare port z = s:2;"
        u" port(a) c port(p) f port(z) c");
    EXPECT_EQ(result.vMessages, CRStringList{u"ポートの作成でエラーが発生しました"});
    EXPECT_FALSE(result.changed);
    EXPECT_FALSE(Port(u"a"));
    EXPECT_FALSE(Port(u"z"));
    EXPECT_EQ(EventIds(u"p"), idsP);

    Sql("DROP TRIGGER no_z; CREATE TRIGGER no_update BEFORE UPDATE ON port "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const auto update = Compile(u"declare port p = other:0; port(p) c d e");
    EXPECT_EQ(update.vMessages, CRStringList{u"ポートのプロパティ設定でエラーが発生しました"});
    EXPECT_EQ(Port(u"p")->property.sInstrument, u"synth");
}

TEST_F(MmlCompile, FailedEventDeleteIsFatal) {
    Compile(kThreeNotes);
    const auto idsP = EventIds(u"p");
    Sql("CREATE TRIGGER keep_events BEFORE DELETE ON event "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    // The delete removes nothing; going on would leave the old note next to the new one.
    const auto result = Compile(u"declare port p = synth:0; port(p) c d f");
    EXPECT_EQ(result.vMessages, CRStringList{u"イベントの削除でエラーが発生しました"});
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(EventIds(u"p"), idsP);
}

TEST_F(MmlCompile, ManyNotesLargeAndRepeatedCompile) {
    // Many lines: message lines must be found without rescanning the text.
    std::u16string mml = u"declare port p = s:0; port(p)\n";
    for (int i = 0; i < 3000; ++i) mml += u"c0 d e8\n";
    const auto first = Compile(mml);
    ASSERT_TRUE(first.changed);
    ASSERT_EQ(first.vMessages.size(), 3001u);
    EXPECT_EQ(first.vMessages[2999], u"3001:c0 \n 音符の長さの指定が不正です。[0]");
    EXPECT_EQ(Events(u"p").size(), 9000u);
    const auto again = Compile(mml);
    ASSERT_TRUE(again.changed);
    EXPECT_TRUE(again.changed->setIdDeletedEvent.empty());
    EXPECT_TRUE(again.changed->mapCreatedEvent.begin()->second.empty());
}
