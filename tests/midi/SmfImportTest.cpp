#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/SmfImport.h"
#include "support/Bytes.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
using PalvorTest::Hex;

namespace {

using Bytes = std::vector<uint8_t>;

CRUid Uid(uint8_t first, uint8_t last = 0) {
    uint8_t bytes[16] = {};
    bytes[0] = first;
    bytes[15] = last;
    return CRUid(bytes);
}

// n identifiers 0x10.., 0x11.., ... in order.
CRUidList Ids(size_t n) {
    CRUidList ids;
    for (size_t i = 0; i < n; ++i) ids.push_back(Uid(0x10, static_cast<uint8_t>(i + 1)));
    return ids;
}

// A file of track chunks holding the given event bytes.
Bytes Smf(uint16_t division, const std::vector<std::string>& chunks) {
    Bytes out = {'M',
                 'T',
                 'h',
                 'd',
                 0,
                 0,
                 0,
                 6,
                 0,
                 1,
                 0,
                 static_cast<uint8_t>(chunks.size()),
                 static_cast<uint8_t>(division >> 8),
                 static_cast<uint8_t>(division)};
    for (const auto& text : chunks) {
        const Bytes events = Hex(text);
        const auto n = static_cast<uint32_t>(events.size());
        out.insert(out.end(), {'M', 'T', 'r', 'k', static_cast<uint8_t>(n >> 24),
                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n)});
        out.insert(out.end(), events.begin(), events.end());
    }
    return out;
}

class SmfImportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_TRUE(m_db.Open(m_dir.Path() / "import.db"));
        ASSERT_TRUE(m_db.CreateSequence(m_idSequence, CSequence(u"song")));
    }

    CSmfImportResult Import(const Bytes& smf, const CRUidList& ids = {}) {
        return ImportSmf(m_db, smf, m_idSequence, u"Piano", ids);
    }

    size_t StoredTracks() { return m_db.SelectTracksOfSequence(m_idSequence).size(); }
    size_t StoredPorts() { return m_db.SelectPortsOfSequence(m_idSequence).size(); }

    // The stored events of a port as "step:kind(fields)".
    std::vector<std::string> StoredEvents(const CRUid& idPort) {
        std::vector<std::string> out;
        for (const auto& e : m_db.SelectEventsOfPort(idPort))
            out.push_back(Text(e->nStep, *e->property));
        return out;
    }

    static std::string Text(uint32_t step, const CEventBase& p) {
        std::string s = std::to_string(step) + ":";
        if (auto n = dynamic_cast<const CEventNote*>(&p))
            return s + "note(" + std::to_string(n->nNote) + "," + std::to_string(n->nVelocity) +
                   "," + std::to_string(n->nLength) + ")";
        if (auto t = dynamic_cast<const CEventTempo*>(&p))
            return s + "tempo(" + std::to_string(t->dTempo) + ")";
        if (auto m = dynamic_cast<const CEventMeter*>(&p))
            return s + "meter(" + std::to_string(m->nBeats) + "," + std::to_string(m->nBeatLength) +
                   ")";
        if (auto c = dynamic_cast<const CEventControlChange*>(&p))
            return s + "cc(" + std::to_string(c->nControl) + "," + std::to_string(c->nValue) + ")";
        if (auto c = dynamic_cast<const CEventProgramChange*>(&p))
            return s + "pc(" + std::to_string(c->nProgram) + ")";
        if (auto b = dynamic_cast<const CEventPitchBend*>(&p))
            return s + "bend(" + std::to_string(b->nBend) + ")";
        if (auto x = dynamic_cast<const CEventExclusive*>(&p))
            return s + "sysex(" + PalvorTest::ToHex(x->vData) + ")";
        return s + "?";
    }

    std::vector<std::string> ResultEvents(const CSmfImportResult& r, size_t port) {
        std::vector<std::string> out;
        for (const auto& e : r.mapEvents.at(r.vPorts.at(port).first))
            out.push_back(Text(e->nStep, *e->property));
        return out;
    }

    PalvorTest::CTempDir m_dir;
    CSolutionDb m_db;
    const CRUid m_idSequence = Uid(0x01);
};

using V = std::vector<std::string>;

}  // namespace

TEST_F(SmfImportTest, FormatZeroSplitsChannelsIntoTracks) {
    // Tempo 120 at 0; ch0 note 60 for 240 ticks, ch9 note 36 for 96 ticks; program on ch9.
    const Bytes smf = Smf(480, {"00 FF 51 03 07 A1 20  00 90 3C 64  00 C9 05  00 99 24 70"
                                "  60 89 24 00  81 10 80 3C 00  00 FF 2F 00"});
    const auto r = Import(smf);
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(r.idSequence, m_idSequence);
    ASSERT_EQ(r.vTracks.size(), 2u);
    EXPECT_EQ(r.vTracks[0].second.sTitle, u"Track 00");
    EXPECT_EQ(r.vTracks[1].second.sTitle, u"Track 01");
    ASSERT_EQ(r.vPorts.size(), 2u);
    EXPECT_EQ(r.vPorts[0].second.nChannel, 0);
    EXPECT_EQ(r.vPorts[1].second.nChannel, 9);
    EXPECT_EQ(r.vPorts[1].second.idTrack, r.vTracks[1].first);
    EXPECT_EQ(r.vPorts[1].second.sInstrument, u"Piano");
    EXPECT_TRUE(r.vPorts[1].second.sTitle.empty());
    EXPECT_TRUE(r.vPorts[1].second.bEnable);
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:tempo(120.000000)", "0:note(60,100,240)"}));
    EXPECT_EQ(ResultEvents(r, 1), (V{"0:pc(5)", "0:note(36,112,96)"}));

    // What the result reports is what was stored.
    const auto tracks = m_db.SelectTracksOfSequence(m_idSequence);
    ASSERT_EQ(tracks.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto port = m_db.GetPort(r.vPorts[i].first);
        ASSERT_TRUE(port);
        EXPECT_EQ(port->property, r.vPorts[i].second);
        EXPECT_EQ(m_db.GetTrack(r.vTracks[i].first)->property, r.vTracks[i].second);
        EXPECT_EQ(StoredEvents(r.vPorts[i].first), ResultEvents(r, i));
    }
}

TEST_F(SmfImportTest, IdentifiersGoToEventsInReadingOrderThenTrackAndPort) {
    // Chunk 1: meta, note-on, note-off (dropped, still numbered). Chunk 2: cc on ch 2.
    const Bytes smf =
        Smf(480, {"00 FF 58 04 03 02 18 08  00 91 40 50  60 81 40 00", "00 B2 07 64"});
    const auto r = Import(smf, Ids(8));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vTracks.size(), 2u);
    // Events took ids 1..4 (the note-off id 3 unused); then track 5, port 6, track 7, port 8.
    EXPECT_EQ(r.vTracks[0].first, Uid(0x10, 5));
    EXPECT_EQ(r.vPorts[0].first, Uid(0x10, 6));
    EXPECT_EQ(r.vTracks[1].first, Uid(0x10, 7));
    EXPECT_EQ(r.vPorts[1].first, Uid(0x10, 8));
    std::vector<CRUid> eventIds;
    for (const auto& e : m_db.SelectEventsOfPort(r.vPorts[0].first)) eventIds.push_back(e->idEvent);
    EXPECT_EQ(eventIds, (std::vector<CRUid>{Uid(0x10, 1), Uid(0x10, 2)}));
    ASSERT_EQ(m_db.SelectEventsOfPort(r.vPorts[1].first).size(), 1u);
    EXPECT_EQ(m_db.SelectEventsOfPort(r.vPorts[1].first)[0]->idEvent, Uid(0x10, 4));
    EXPECT_EQ(r.vIds, Ids(8));
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:meter(3,480)", "0:note(64,80,96)"}));
}

TEST_F(SmfImportTest, IdentifiersRunningOutAreGeneratedAndReported) {
    const Bytes smf = Smf(480, {"00 90 3C 40  00 90 3E 40"});
    const auto r = Import(smf, Ids(1));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vIds.size(), 4u);  // 2 events, 1 track, 1 port
    EXPECT_EQ(r.vIds[0], Uid(0x10, 1));
    EXPECT_EQ(r.vTracks[0].first, r.vIds[2]);
    EXPECT_EQ(r.vPorts[0].first, r.vIds[3]);
    EXPECT_NE(r.vIds[1], r.vIds[2]);
    EXPECT_FALSE(r.vIds[3].IsNull());
}

TEST_F(SmfImportTest, EventIdentifiersAlreadyTakenKeepTheirRowsAndAreNotReported) {
    const Bytes first = Smf(480, {"00 90 3C 40  60 80 3C 00  00 90 3E 40"});
    ASSERT_TRUE(Import(first, Ids(2)).bOk);  // events 0x10/1 and 0x10/2
    // A second file given the same first identifier: that event keeps its stored row and
    // only what was stored is reported (and so broadcast).
    CRUidList ids = {Uid(0x10, 1), Uid(0x20, 1), Uid(0x20, 2), Uid(0x20, 3)};
    const auto r = Import(Smf(480, {"00 90 40 40  00 90 43 40"}), ids);
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vPorts.size(), 1u);
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:note(67,64,48)"}));
    const auto stored = m_db.GetEvent(Uid(0x10, 1));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(Text(stored->nStep, *stored->property), "0:note(60,64,96)");
    EXPECT_EQ(StoredEvents(r.vPorts[0].first), (V{"0:note(67,64,48)"}));
}

TEST_F(SmfImportTest, EmptyIdentifierListImportsWithFreshIdentifiers) {
    const auto r = Import(Smf(480, {"00 90 3C 40"}), {});
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vPorts.size(), 1u);
    EXPECT_EQ(StoredTracks(), 1u);
    EXPECT_EQ(m_db.SelectEventsOfPort(r.vPorts[0].first).size(), 1u);
}

TEST_F(SmfImportTest, TicksScaleToStepsOfAnyDivision) {
    // Division 96: tick 96 is step 480, 48 ticks are 240 steps.
    auto r = Import(Smf(96, {"60 90 3C 40  30 80 3C 00"}));
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(ResultEvents(r, 0), (V{"480:note(60,64,240)"}));
    // Division 960: tick 1 is step 0, tick 3 is step 1.
    r = Import(Smf(960, {"01 90 3C 40  02 90 3E 40  01 80 3C 00"}));
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:note(60,64,1)", "1:note(62,64,24)"}));
}

TEST_F(SmfImportTest, ExactMultiplesOfTheDivisionLandOnExactSteps) {
    // With 480.0 / 7 as a scale, tick 7 would become step 479.
    auto r = Import(Smf(7, {"07 90 3C 40  07 80 3C 00"}));
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(ResultEvents(r, 0), (V{"480:note(60,64,480)"}));
    r = Import(Smf(25, {"32 90 3C 40  19 80 3C 00"}));
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(ResultEvents(r, 0), (V{"960:note(60,64,480)"}));
}

TEST(SmfTicksToSteps, FloorOfTicksTimes480OverDivision) {
    EXPECT_EQ(SmfTicksToSteps(96, 96), 480u);
    EXPECT_EQ(SmfTicksToSteps(11, 11), 480u);
    EXPECT_EQ(SmfTicksToSteps(10, 11), 436u);  // 436.36
    EXPECT_EQ(SmfTicksToSteps(1, 960), 0u);
    EXPECT_EQ(SmfTicksToSteps(0xFFFFFFFF, 480), 0xFFFFFFFFu);
    EXPECT_EQ(SmfTicksToSteps(0xFFFFFFFF, 960), 0x7FFFFFFFu);
    // Beyond 32 bits of steps: the last step, not a wrapped one.
    EXPECT_EQ(SmfTicksToSteps(0x10000000, 1), 0xFFFFFFFFu);
    EXPECT_EQ(SmfTicksToSteps(0xE728, 0xE728), 480u);  // SMPTE division as a plain count
    EXPECT_EQ(SmfTicksToSteps(5, 0), 0u);
}

TEST_F(SmfImportTest, NoteWithoutNoteOffLasts48Ticks) {
    const auto r = Import(Smf(96, {"00 90 3C 40  00 90 3E 40  10 80 3E 00  00 81 3C 00"}));
    ASSERT_TRUE(r.bOk);
    // 60 has no note-off on its channel: 48 ticks = 240 steps at division 96.
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:note(60,64,240)", "0:note(62,64,80)"}));
}

TEST_F(SmfImportTest, MetaOnlyChunkBecomesOneTrackOnChannelZero) {
    const auto r = Import(Smf(480, {"00 FF 03 04 4E 61 6D 65  00 FF 51 03 0F 42 40  00 FF 2F 00"}));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vPorts.size(), 1u);
    EXPECT_EQ(r.vPorts[0].second.nChannel, 0);
    EXPECT_EQ(r.vTracks[0].second.sTitle, u"Track 00");
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:tempo(60.000000)"}));
}

TEST_F(SmfImportTest, ChannelWithOnlyDroppedEventsKeepsItsNumber) {
    // ch0 note, ch3 only note-offs and pressure, ch5 note: tracks 00 and 02.
    const auto r = Import(Smf(480, {"00 90 3C 40  00 83 3C 00  00 D3 40  00 95 40 40"}));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vTracks.size(), 2u);
    EXPECT_EQ(r.vTracks[0].second.sTitle, u"Track 00");
    EXPECT_EQ(r.vTracks[1].second.sTitle, u"Track 02");
    EXPECT_EQ(r.vPorts[1].second.nChannel, 5);
    EXPECT_EQ(StoredTracks(), 2u);
}

TEST_F(SmfImportTest, ChannelLessEventsGoFirstIntoTheLowestChannel) {
    // Chunk 1: ch 4 and ch 2 events, then metas and sysex; chunk 2: ch 0. Numbers run on
    // across chunks.
    const auto r =
        Import(Smf(480, {"00 B4 07 10  00 E2 00 40  00 F0 02 43 F7  00 FF 58 04 06 03 18 08"
                         "  83 60 E2 7F 7F  00 FF 51 03 07 A1 20",
                         "00 C0 01"}));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vTracks.size(), 3u);
    EXPECT_EQ(r.vPorts[0].second.nChannel, 2);
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:sysex(43)", "0:meter(6,240)", "0:bend(0)",
                                     "480:tempo(120.000000)", "480:bend(8191)"}));
    EXPECT_EQ(r.vPorts[1].second.nChannel, 4);
    EXPECT_EQ(ResultEvents(r, 1), (V{"0:cc(7,16)"}));
    EXPECT_EQ(r.vTracks[2].second.sTitle, u"Track 02");
    EXPECT_EQ(r.vPorts[2].second.nChannel, 0);
    EXPECT_EQ(ResultEvents(r, 2), (V{"0:pc(1)"}));
}

TEST_F(SmfImportTest, TempoOfZeroMicrosecondsIsDropped) {
    const auto r = Import(Smf(480, {"00 FF 51 03 00 00 00  00 FF 51 02 07 A1  00 90 3C 40"}));
    ASSERT_TRUE(r.bOk);
    EXPECT_EQ(ResultEvents(r, 0), (V{"0:note(60,64,48)"}));
}

TEST_F(SmfImportTest, RefusedImportsWriteNothing) {
    const Bytes good = Smf(480, {"00 90 3C 40"});
    EXPECT_FALSE(ImportSmf(m_db, good, Uid(0x7E), u"Piano", {}).bOk);  // unknown sequence
    EXPECT_FALSE(m_db.GetSequence(Uid(0x7E)));
    EXPECT_FALSE(Import(Bytes{'M', 'T', 'h', 'd'}).bOk);  // unreadable
    EXPECT_FALSE(Import(Smf(0, {"00 90 3C 40"})).bOk);    // division 0
    EXPECT_EQ(StoredTracks(), 0u);
    EXPECT_EQ(StoredPorts(), 0u);
    // An empty file imports nothing but succeeds.
    const auto r = Import(Smf(480, {}));
    EXPECT_TRUE(r.bOk);
    EXPECT_TRUE(r.vTracks.empty());
}

TEST_F(SmfImportTest, FailingDatabaseStepUndoesEverything) {
    // The second track's identifier belongs to a track of another sequence: creating it
    // fails after the first track, its port and events were written.
    ASSERT_TRUE(m_db.CreateSequence(Uid(0x02), CSequence(u"other")));
    const CRUid taken = Uid(0x10, 5);
    ASSERT_TRUE(m_db.CreateTrack(taken, Uid(0x02), CTrack(u"theirs")));
    const auto r = Import(Smf(480, {"00 90 3C 40  00 91 3C 40"}), Ids(8));
    EXPECT_FALSE(r.bOk);
    EXPECT_TRUE(r.vTracks.empty());
    EXPECT_TRUE(r.mapEvents.empty());
    EXPECT_EQ(StoredTracks(), 0u);
    EXPECT_FALSE(m_db.GetTrack(Uid(0x10, 3)));
    EXPECT_FALSE(m_db.GetPort(Uid(0x10, 4)));
    EXPECT_FALSE(m_db.GetEvent(Uid(0x10, 1)));
    EXPECT_EQ(m_db.GetTrack(taken)->property.sTitle, u"theirs");
    // The database is usable afterwards.
    EXPECT_TRUE(Import(Smf(480, {"00 90 3C 40"})).bOk);
    EXPECT_EQ(StoredTracks(), 1u);
}

TEST_F(SmfImportTest, MalformedEventsDoNotFailTheImport) {
    // A data byte before any status, an undecodable real-time byte, a cut-off last event.
    const auto r = Import(Smf(480, {"00 3C  00 F8  00 90 3C 40  00 90 3E"}));
    ASSERT_TRUE(r.bOk);
    ASSERT_EQ(r.vPorts.size(), 1u);
    EXPECT_EQ(r.mapEvents.at(r.vPorts[0].first).size(), 1u);
}
