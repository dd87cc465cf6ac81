#include <gtest/gtest.h>

#include <cstdlib>

#include "model/RSeqSolution.h"
#include "model/SolutionDb.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

CRUid Uid(uint8_t first) {
    uint8_t bytes[16] = {};
    bytes[0] = first;
    return CRUid(bytes);
}

std::shared_ptr<const CEventBase> Note(uint8_t note) {
    return std::make_shared<CEventNote>(note, 100, 240);
}

CListEvent One(const CRUid& id, uint32_t step, std::shared_ptr<const CEventBase> property) {
    CListEvent list;
    list.Insert(std::make_shared<const CEventCommon>(id, step, std::move(property)));
    return list;
}

// Sequence 1 > track 2 > port 3.
class RSeqSolutionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(m_solution.CreateSequence(Uid(1), CSequence(u"s")), nullptr);
        ASSERT_NE(m_solution.CreateTrack(Uid(1), Uid(2), CTrack(u"t")), nullptr);
        ASSERT_NE(m_solution.CreatePort(Uid(3), CPort(Uid(2), u"p", u"i", 0)), nullptr);
    }
    CRSeqSolution m_solution;
};

}  // namespace

TEST_F(RSeqSolutionTest, IdentifiersAreUniqueOverEveryKindAndParentsMustExist) {
    ASSERT_FALSE(m_solution.CreateEvent(Uid(3), One(Uid(4), 0, Note(60))).empty());
    EXPECT_EQ(m_solution.CreateTrack(Uid(1), Uid(3), CTrack(u"x")), nullptr);  // a port's id
    EXPECT_EQ(m_solution.CreateSequence(Uid(2), CSequence(u"x")), nullptr);    // a track's id
    EXPECT_EQ(m_solution.CreatePort(Uid(4), CPort(Uid(2), u"x", u"i", 0)), nullptr);  // an event's
    EXPECT_EQ(m_solution.CreateTrack(Uid(9), Uid(5), CTrack(u"x")), nullptr);
    EXPECT_EQ(m_solution.CreateTrack(Uid(3), Uid(5), CTrack(u"x")), nullptr);  // not a sequence
    EXPECT_EQ(m_solution.CreatePort(Uid(5), CPort(Uid(1), u"x", u"i", 0)), nullptr);
    EXPECT_TRUE(m_solution.CreateEvent(Uid(2), One(Uid(6), 0, Note(60))).empty());

    // Failed creations left nothing behind: the identifiers are still free.
    EXPECT_NE(m_solution.CreateTrack(Uid(1), Uid(5), CTrack(u"t5")), nullptr);
    EXPECT_EQ(m_solution.GetTracksOfSequence(Uid(1)).size(), 2u);
    EXPECT_EQ(m_solution.GetPortsOfTrack(Uid(2)).size(), 1u);

    // A lookup of the wrong kind finds nothing.
    EXPECT_EQ(m_solution.FindSequence(Uid(2)), nullptr);
    EXPECT_EQ(std::get<0>(m_solution.FindTrack(Uid(3))), nullptr);
    EXPECT_EQ(std::get<2>(m_solution.FindPort(Uid(4))), nullptr);
    EXPECT_EQ(std::get<3>(m_solution.FindEvent(Uid(3))), nullptr);
}

TEST_F(RSeqSolutionTest, CreateEventReturnsOnlyTheEventsItCreated) {
    ASSERT_EQ(m_solution.CreateEvent(Uid(3), One(Uid(10), 100, Note(60))).size(), 1u);
    CListEvent list;
    list.Insert(std::make_shared<const CEventCommon>(Uid(11), 300, Note(61)));
    list.Insert(std::make_shared<const CEventCommon>(Uid(10), 50, Note(62)));  // taken
    list.Insert(std::make_shared<const CEventCommon>(Uid(2), 60, Note(63)));   // a track's
    list.Insert(std::make_shared<const CEventCommon>(Uid(12), 200, Note(64)));
    const auto created = m_solution.CreateEvent(Uid(3), list);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0]->idEvent, Uid(12));
    EXPECT_EQ(created[1]->idEvent, Uid(11));
    EXPECT_EQ(created[0]->parent->idPort, Uid(3));

    std::vector<uint32_t> steps;
    for (const auto& e : m_solution.GetEventsOfPort(Uid(3))) steps.push_back(e->nStep);
    EXPECT_EQ(steps, (std::vector<uint32_t>{100, 200, 300}));
    const auto kept = std::get<3>(m_solution.FindEvent(Uid(10)));
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->nStep, 100u);
}

TEST_F(RSeqSolutionTest, EventsStaySortedByUnsignedStepWithTiesInInsertionOrder) {
    m_solution.CreateEvent(Uid(3), One(Uid(10), 480, Note(60)));
    m_solution.CreateEvent(Uid(3), One(Uid(11), 0, Note(61)));
    m_solution.CreateEvent(Uid(3), One(Uid(12), 480, Note(62)));
    m_solution.CreateEvent(Uid(3), One(Uid(13), 0x80000000u, Note(63)));
    m_solution.CreateEvent(Uid(3), One(Uid(14), 479, Note(64)));
    std::vector<CRUid> order;
    for (const auto& e : m_solution.GetEventsOfPort(Uid(3))) order.push_back(e->idEvent);
    EXPECT_EQ(order, (std::vector<CRUid>{Uid(11), Uid(14), Uid(10), Uid(12), Uid(13)}));
}

TEST_F(RSeqSolutionTest, ChangeTrackReplacesTheSnapshotOnlyWhenSomethingChanged) {
    const auto [track0, sequence0] = m_solution.FindTrack(Uid(2));
    ASSERT_NE(track0, nullptr);

    const std::u16string mml = u"cde";
    auto [current, previous] = m_solution.ChangeTrack(Uid(2), nullptr, &mml);
    EXPECT_EQ(previous, track0);
    ASSERT_NE(current, track0);
    EXPECT_EQ(current->sMml, u"cde");
    EXPECT_EQ(current->property.sTitle, u"t");
    EXPECT_EQ(track0->sMml, u"");  // snapshots handed out earlier do not change

    const CTrack same(u"t");
    const auto unchanged = m_solution.ChangeTrack(Uid(2), &same, &mml);
    EXPECT_EQ(unchanged.first, current);
    EXPECT_EQ(unchanged.second, current);

    const CTrack renamed(u"lead");
    const auto titled = m_solution.ChangeTrack(Uid(2), &renamed, nullptr);
    EXPECT_EQ(titled.second, current);
    EXPECT_EQ(titled.first->property.sTitle, u"lead");
    EXPECT_EQ(titled.first->sMml, u"cde");

    const auto missing = m_solution.ChangeTrack(Uid(9), &renamed, &mml);
    EXPECT_EQ(missing.first, nullptr);
    EXPECT_EQ(missing.second, nullptr);

    // Lookups give the current track; a port keeps the track it was created under.
    const auto [trackOfPort, sequenceOfPort, port] = m_solution.FindPort(Uid(3));
    EXPECT_EQ(trackOfPort, titled.first);
    EXPECT_EQ(sequenceOfPort, sequence0);
    EXPECT_EQ(port->parent, track0);
    EXPECT_EQ(m_solution.GetTracksOfSequence(Uid(1))[0], titled.first);
}

TEST_F(RSeqSolutionTest, LookupsAndListingsFollowCreationOrder) {
    ASSERT_NE(m_solution.CreateSequence(Uid(0x80), CSequence(u"b")), nullptr);
    ASSERT_NE(m_solution.CreateSequence(Uid(0x40), CSequence(u"c")), nullptr);
    ASSERT_NE(m_solution.CreateTrack(Uid(1), Uid(0x30), CTrack(u"t30")), nullptr);
    ASSERT_NE(m_solution.CreateTrack(Uid(1), Uid(0x20), CTrack(u"t20")), nullptr);
    ASSERT_NE(m_solution.CreatePort(Uid(0x25), CPort(Uid(0x20), u"p", u"i", 0)), nullptr);
    ASSERT_NE(m_solution.CreatePort(Uid(0x05), CPort(Uid(2), u"p", u"i", 1)), nullptr);
    ASSERT_EQ(m_solution.CreateEvent(Uid(0x05), One(Uid(0x50), 7, Note(60))).size(), 1u);

    std::vector<CRUid> ids;
    for (const auto& s : m_solution.GetSequences()) ids.push_back(s->idSequence);
    EXPECT_EQ(ids, (std::vector<CRUid>{Uid(1), Uid(0x80), Uid(0x40)}));
    ids.clear();
    for (const auto& t : m_solution.GetTracksOfSequence(Uid(1))) ids.push_back(t->idTrack);
    EXPECT_EQ(ids, (std::vector<CRUid>{Uid(2), Uid(0x30), Uid(0x20)}));
    ids.clear();
    for (const auto& p : m_solution.GetPortsOfTrack(Uid(2))) ids.push_back(p->idPort);
    EXPECT_EQ(ids, (std::vector<CRUid>{Uid(3), Uid(0x05)}));

    const auto triples = m_solution.GetPortsOfSequence(Uid(1));
    ASSERT_EQ(triples.size(), 3u);
    const CRUid expected[][2] = {{Uid(2), Uid(3)}, {Uid(2), Uid(0x05)}, {Uid(0x20), Uid(0x25)}};
    for (size_t i = 0; i < triples.size(); ++i) {
        const auto& [track, sequence, port] = triples[i];
        EXPECT_EQ(track->idTrack, expected[i][0]);
        EXPECT_EQ(sequence->idSequence, Uid(1));
        EXPECT_EQ(port->idPort, expected[i][1]);
        EXPECT_EQ(port->parent, track);
    }
    EXPECT_TRUE(m_solution.GetPortsOfSequence(Uid(0x80)).empty());

    const auto [track, sequence, port, event] = m_solution.FindEvent(Uid(0x50));
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(track->idTrack, Uid(2));
    EXPECT_EQ(sequence->idSequence, Uid(1));
    EXPECT_EQ(port->idPort, Uid(0x05));
    EXPECT_EQ(event->parent, port);
    EXPECT_TRUE(event->property->IsEqual(*Note(60)));
}

// --- loading from the database ---

class RSeqSolutionLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/palvor-seqsol-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ASSERT_TRUE(m_db.Open(m_dir / "load_solution.db"));
    }
    void TearDown() override {
        m_db.Close();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    fs::path m_dir;
    CSolutionDb m_db;
};

TEST_F(RSeqSolutionLoadTest, LoadsTheRequestedSequencesWithEverythingBelowThem) {
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"one")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t2")));
    ASSERT_TRUE(m_db.ChangeMml(Uid(2), u"o4 c").second);
    ASSERT_TRUE(m_db.CreateTrack(Uid(5), Uid(1), CTrack(u"t5")));
    ASSERT_NE(m_db.CreatePort(Uid(3), CPort(Uid(2), u"p3", u"synth", 9)), nullptr);
    ASSERT_NE(m_db.CreatePort(Uid(6), CPort(Uid(5), u"p6", u"drums", 10)), nullptr);
    CListEvent events;
    events.Insert(std::make_shared<const CEventCommon>(Uid(20), 960, Note(64)));
    events.Insert(
        std::make_shared<const CEventCommon>(Uid(21), 0, std::make_shared<CEventTempo>(90.0)));
    events.Insert(std::make_shared<const CEventCommon>(Uid(22), 0xF0000000u, Note(65)));
    ASSERT_NE(m_db.InsertEvents(Uid(3), events), nullptr);
    ASSERT_TRUE(m_db.CreateSequence(Uid(0x40), CSequence(u"other")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(0x41), Uid(0x40), CTrack(u"t")));

    const auto solution = CRSeqSolution::LoadSequences(m_db, {Uid(1), Uid(0x77)});
    ASSERT_NE(solution, nullptr);
    const auto sequences = solution->GetSequences();
    ASSERT_EQ(sequences.size(), 1u);
    EXPECT_EQ(sequences[0]->property.sTitle, u"one");
    EXPECT_EQ(std::get<0>(solution->FindTrack(Uid(0x41))), nullptr);

    const auto tracks = solution->GetTracksOfSequence(Uid(1));
    ASSERT_EQ(tracks.size(), 2u);
    const auto track2 = std::get<0>(solution->FindTrack(Uid(2)));
    ASSERT_NE(track2, nullptr);
    EXPECT_EQ(track2->sMml, u"o4 c");
    EXPECT_EQ(track2->property.sTitle, u"t2");

    const auto [track, sequence, port] = solution->FindPort(Uid(6));
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(track->idTrack, Uid(5));
    EXPECT_EQ(port->property.sInstrument, u"drums");
    EXPECT_EQ(port->property.nChannel, 10);
    EXPECT_TRUE(solution->GetEventsOfPort(Uid(6)).empty());

    const auto loaded = solution->GetEventsOfPort(Uid(3));
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[0]->idEvent, Uid(21));
    EXPECT_EQ(loaded[1]->idEvent, Uid(20));
    EXPECT_EQ(loaded[2]->idEvent, Uid(22));
    EXPECT_EQ(loaded[2]->nStep, 0xF0000000u);
    EXPECT_TRUE(loaded[0]->property->IsEqual(CEventTempo(90.0)));
    EXPECT_EQ(loaded[1]->parent->parent->sMml, u"o4 c");  // the port saw the loaded text
}

TEST_F(RSeqSolutionLoadTest, LoadingASequenceTwiceLoadsItOnce) {
    ASSERT_TRUE(m_db.CreateSequence(Uid(1), CSequence(u"one")));
    ASSERT_TRUE(m_db.CreateTrack(Uid(2), Uid(1), CTrack(u"t2")));
    ASSERT_NE(m_db.CreatePort(Uid(3), CPort(Uid(2), u"p3", u"synth", 0)), nullptr);
    ASSERT_NE(m_db.InsertEvents(Uid(3), One(Uid(20), 0, Note(60))), nullptr);

    const auto solution = CRSeqSolution::LoadSequences(m_db, {Uid(1)});
    const std::u16string edited = u"edited";
    solution->ChangeTrack(Uid(2), nullptr, &edited);
    CRSeqSolution::LoadSequence(*solution, m_db, Uid(1));
    EXPECT_EQ(solution->GetSequences().size(), 1u);
    EXPECT_EQ(solution->GetTracksOfSequence(Uid(1)).size(), 1u);
    EXPECT_EQ(solution->GetEventsOfPort(Uid(3)).size(), 1u);
    EXPECT_EQ(std::get<0>(solution->FindTrack(Uid(2)))->sMml, u"edited");

    CSolutionDb closed;
    const auto empty = CRSeqSolution::LoadSequences(closed, {Uid(1)});
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->GetSequences().empty());
}
