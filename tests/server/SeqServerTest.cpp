// The sequencer server end to end on loopback connections: greeting, handlers, open
// sets, broadcasts, coalesced replies, activity log rows, errors and restarts.
#include "server/RSeqServer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <thread>

#include "server/Frame.h"
#include "runtime/RString.h"
#include "server/RDecodeAhead.h"
#include "server/RSeqClient.h"
#include "support/LogCapture.h"
#include "support/Net.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
using namespace std::chrono_literals;
namespace P = DUve::CRSeq::Property;

namespace {

constexpr uint32_t kSolution = 7;

template <class T>
std::vector<std::shared_ptr<const T>> All(const CRSeqClient::CCommands& commands) {
    std::vector<std::shared_ptr<const T>> out;
    for (const auto& c : commands)
        if (auto t = std::dynamic_pointer_cast<const T>(c)) out.push_back(t);
    return out;
}

class SeqServer : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    void TearDown() override {
        clients.clear();
        server.reset();
    }

    void Start() { server = std::make_unique<CRSeqServer>(log.Senders(), kSolution, dir.Path()); }

    // Connects a client and returns it with the greeting already read.
    CRSeqClient& Connect(CRSeqClient::CCommands* greeting = nullptr) {
        auto [mine, theirs] = PalvorTest::TcpPair();
        server->AddUser(theirs);
        clients.push_back(std::make_unique<CRSeqClient>());
        auto& c = *clients.back();
        c.Adopt(mine);
        auto g = c.Receive(5s);
        EXPECT_TRUE(g) << c.Error();
        if (g && greeting) *greeting = *g;
        return c;
    }

    // Rows of the activity log: each row's commands.
    std::vector<CRSeqClient::CCommands> LogRows() {
        std::vector<CRSeqClient::CCommands> rows;
        sqlite3* db = nullptr;
        const auto file = CRActivityLog::FileOf(dir.Path(), kSolution);
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(db, "SELECT id, date, data FROM log ORDER BY id", -1, &st, nullptr);
            while (st && sqlite3_step(st) == SQLITE_ROW) {
                const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 2));
                const std::vector<uint8_t> data(p, p + sqlite3_column_bytes(st, 2));
                rows.push_back(CSerialize::LoadObjects(data));
                lastRowId = sqlite3_column_int64(st, 0);
                lastRowDate = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
            }
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return rows;
    }

    CRUid CreateSequence(CRSeqClient& c, const std::u16string& title) {
        const CRUid id = CRUid::Generate();
        auto got = c.Request({std::make_shared<CCommandCreateSequence>(id, P::CSequence(title))});
        EXPECT_TRUE(got);
        return id;
    }

    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    std::unique_ptr<CRSeqServer> server;
    std::vector<std::unique_ptr<CRSeqClient>> clients;
    int64_t lastRowId = 0;
    std::string lastRowDate;
};

}  // namespace

TEST_F(SeqServer, ANewClientIsGreetedWithEveryStoredSequenceInOneFrame) {
    auto& a = Connect();
    const CRUid s1 = CreateSequence(a, u"one"), s2 = CreateSequence(a, u"two"),
                s3 = CreateSequence(a, u"\U0001F3B5");
    CRSeqClient::CCommands greeting;
    auto [mine, theirs] = PalvorTest::TcpPair();
    server->AddUser(theirs);
    CRSeqClient b;
    b.Adopt(mine);
    const auto frame = b.Receive(5s);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), 4u);
    const auto regist = std::dynamic_pointer_cast<const CRegistClient>((*frame)[0]);
    ASSERT_TRUE(regist);
    EXPECT_EQ(regist->nVisiterId, 0u);
    EXPECT_TRUE(regist->sToken.empty());
    EXPECT_EQ(regist->nSolutionId, 0u);
    CRUidSet ids;
    for (const auto& c : All<CCommandCreateSequence>(*frame)) ids.insert(c->idSequence);
    EXPECT_EQ(ids, (CRUidSet{s1, s2, s3}));
    EXPECT_TRUE(log.WaitFor("AddUser[127.0.0.1:"));
}

TEST_F(SeqServer, BroadcastsReachTheSessionsThatHaveTheSequenceOpen) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    // Creation is broadcast to all, also to sessions with nothing open.
    const auto created = b.Receive(2s);
    ASSERT_TRUE(created);
    ASSERT_EQ(All<CCommandCreateSequence>(*created).size(), 1u);

    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));
    const CRUid track = CRUid::Generate();
    const auto own = b.Request({std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"T"))});
    ASSERT_TRUE(own);
    EXPECT_TRUE(own->empty());  // B has not opened S: it learns nothing of its own change
    const auto atA = a.Receive(2s);
    ASSERT_TRUE(atA);
    ASSERT_EQ(All<CCommandCreateTrack>(*atA).size(), 1u);
    EXPECT_EQ(All<CCommandCreateTrack>(*atA)[0]->idTrack, track);

    // A track for a sequence that does not exist is not stored and not broadcast.
    const auto orphan = a.Request({std::make_shared<CCommandCreateTrack>(
        CRUid::Generate(), CRUid::Generate(), P::CTrack(u"lost"))});
    ASSERT_TRUE(orphan);
    EXPECT_TRUE(orphan->empty());
}

// The all-zero identifier is every client's key: an item made under it would leak its
// sequence's changes to everyone. No item is made under it; each refusal is logged.
TEST_F(SeqServer, NothingIsCreatedUnderTheAllZeroIdentifier) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S"), track = CRUid::Generate(), none{};
    ASSERT_TRUE(b.Receive(2s));
    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq}),
                           std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t"))}));
    P::CListEvent events;
    events.Insert(std::make_shared<const P::CEventCommon>(none, 0, std::make_shared<P::CEventNote>(60, 100, 240)));
    const CRSeqClient::CCommands refused[] = {
        {std::make_shared<CCommandCreateSequence>(none, P::CSequence(u"zero"))},
        {std::make_shared<CCommandCreateTrack>(none, seq, P::CTrack(u"zero"))},
        {std::make_shared<CCommandCreatePort>(none, P::CPort(track, u"zero", u"i", 0))},
    };
    for (const auto& request : refused) {
        const auto got = a.Request(request);
        ASSERT_TRUE(got);
        EXPECT_TRUE(got->empty());
    }
    const CRUid port = CRUid::Generate();
    ASSERT_TRUE(a.Request({std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"i", 0))}));
    const auto zeroEvent = a.Request({std::make_shared<CCommandCreateEvent>(port, events)});
    ASSERT_TRUE(zeroEvent);
    EXPECT_TRUE(All<CCommandCreateEvent>(*zeroEvent).empty());
    EXPECT_TRUE(log.WaitFor("CreateEvent refused: the all-zero identifier names no item."));
    for (const char* what : {"Sequence", "Track", "Port"})
        EXPECT_TRUE(log.WaitFor(std::string("Create") + what + " refused")) << what;

    // B, which opened nothing, heard of none of it (what reached it comes before its own
    // echo); a newcomer is greeted with S alone.
    const auto atB = b.Request({});
    ASSERT_TRUE(atB);
    EXPECT_TRUE(atB->empty());
    CRSeqClient::CCommands greeting;
    Connect(&greeting);
    EXPECT_EQ(All<CCommandCreateSequence>(greeting).size(), 1u);
}

TEST_F(SeqServer, EventsWhoseIdentifiersAreTakenAreNotAnnounced) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));
    const CRUid track = CRUid::Generate(), port = CRUid::Generate();
    P::CListEvent first;
    const CRUid taken = first.Insert(0, std::make_shared<P::CEventNote>(60, 100, 240));
    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq}),
                           std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                           std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"i", 0)),
                           std::make_shared<CCommandCreateEvent>(port, first)}));
    ASSERT_TRUE(b.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));

    // A taken identifier with other data, and a new one: the stored row stays, and only
    // the new event is announced to the sessions with the sequence open.
    P::CListEvent second;
    second.Insert(std::make_shared<const P::CEventCommon>(taken, 960, std::make_shared<P::CEventNote>(72, 1, 10)));
    const CRUid fresh = second.Insert(480, std::make_shared<P::CEventNote>(64, 100, 240));
    const auto atA = a.Request({std::make_shared<CCommandCreateEvent>(port, second)});
    ASSERT_TRUE(atA);
    const auto atB = b.Receive(2s);
    ASSERT_TRUE(atB);
    for (const auto* got : {&*atA, &*atB}) {
        const auto created = All<CCommandCreateEvent>(*got);
        ASSERT_EQ(created.size(), 1u);
        ASSERT_EQ(created[0]->events.size(), 1u);
        EXPECT_EQ((*created[0]->events.begin())->idEvent, fresh);
    }
    // Nothing new at all: nothing announced.
    const auto again = a.Request({std::make_shared<CCommandCreateEvent>(port, second)});
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
    // What a newcomer is sent is what everyone was told.
    auto& c = Connect();
    const auto opened = c.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})});
    ASSERT_TRUE(opened);
    const auto events = All<CCommandCreateEvent>(*opened);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0]->events.size(), 2u);
    EXPECT_EQ((*events[0]->events.begin())->idEvent, taken);
    EXPECT_EQ((*events[0]->events.begin())->nStep, 0u);
}

TEST_F(SeqServer, OpenSendsTracksThenPortsWithTheirEventsOnlyOnce) {
    auto& a = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    const CRUid t1 = CRUid::Generate(), t2 = CRUid::Generate(), port = CRUid::Generate();
    P::CListEvent events;
    events.Insert(480, std::make_shared<P::CEventNote>(60, 100, 240));
    events.Insert(0, std::make_shared<P::CEventTempo>(90.0));
    ASSERT_TRUE(a.Request({std::make_shared<CCommandCreateTrack>(t1, seq, P::CTrack(u"1")),
                           std::make_shared<CCommandCreateTrack>(t2, seq, P::CTrack(u"2")),
                           std::make_shared<CCommandTrackChangeMml>(t2, u"cde"),
                           std::make_shared<CCommandCreatePort>(port, P::CPort(t1, u"p", u"i", 3)),
                           std::make_shared<CCommandCreateEvent>(port, events)}));

    auto& b = Connect();
    const auto opened = b.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})});
    ASSERT_TRUE(opened);
    ASSERT_GE(opened->size(), 6u);
    const auto open = std::dynamic_pointer_cast<const CCommandOpenSequence>((*opened)[0]);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->idSet, CRUidSet{seq});
    // Tracks (with MML where there is any) before ports; each port followed by its events.
    std::vector<std::string> kinds;
    for (size_t i = 1; i < opened->size(); ++i)
        kinds.emplace_back(ClassName((*opened)[i]->GetSerializeId()).substr(28));
    EXPECT_EQ(kinds, (std::vector<std::string>{"CCommandCreateTrack", "CCommandCreateTrack",
                                               "CCommandTrackChangeMml", "CCommandCreatePort",
                                               "CCommandCreateEvent"}));
    const auto sent = All<CCommandCreateEvent>(*opened);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0]->events.size(), 2u);
    EXPECT_EQ((*sent[0]->events.begin())->nStep, 0u);

    const auto again = b.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq, CRUid::Generate()})});
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), 1u);
    EXPECT_TRUE(std::dynamic_pointer_cast<const CCommandOpenSequence>((*again)[0])->idSet.empty());
}

TEST_F(SeqServer, OneMessageMakesOneFramePerSessionAndOneLogRow) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));  // the creation broadcast
    for (auto* c : {&a, &b})
        ASSERT_TRUE(c->Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));
    const size_t rowsBefore = LogRows().size();

    const CRUid t1 = CRUid::Generate(), t2 = CRUid::Generate();
    ASSERT_TRUE(a.Send({std::make_shared<CCommandCreateTrack>(t1, seq, P::CTrack(u"x")),
                        std::make_shared<CCommandCreateTrack>(t2, seq, P::CTrack(u"y"))}));
    for (auto* c : {&a, &b}) {
        const auto frame = c->Receive(2s);
        ASSERT_TRUE(frame);
        const auto tracks = All<CCommandCreateTrack>(*frame);
        ASSERT_EQ(tracks.size(), 2u);
        EXPECT_EQ(tracks[0]->idTrack, t1);
        EXPECT_EQ(tracks[1]->idTrack, t2);
    }
    auto rows = LogRows();
    ASSERT_EQ(rows.size(), rowsBefore + 1);
    ASSERT_EQ(rows.back().size(), 2u);
    EXPECT_EQ(All<CCommandCreateTrack>(rows.back())[1]->idTrack, t2);
    EXPECT_EQ(lastRowDate.size(), 19u);  // "YYYY-MM-DD HH:MM:SS"

    // Echo and open are never logged; an unchanged sequence title is, an unchanged track
    // title is not.
    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));
    EXPECT_EQ(LogRows().size(), rowsBefore + 1);
    const auto same = a.Request({std::make_shared<CCommandSetSequenceTitle>(seq, u"S"),
                                 std::make_shared<CCommandSetTrackTitle>(t1, u"x")});
    ASSERT_TRUE(same);
    EXPECT_TRUE(same->empty());
    rows = LogRows();
    ASSERT_EQ(rows.size(), rowsBefore + 2);
    ASSERT_EQ(rows.back().size(), 1u);
    EXPECT_TRUE(std::dynamic_pointer_cast<const CCommandSetSequenceTitle>(rows.back()[0]));

    // Changes: renamed sequence to all, renamed track and port changes to the sequence.
    const CRUid port = CRUid::Generate();
    const auto changed = a.Request(
        {std::make_shared<CCommandSetSequenceTitle>(seq, u"S2"),
         std::make_shared<CCommandSetTrackTitle>(t1, u"x2"),
         std::make_shared<CCommandCreatePort>(port, P::CPort(t1, u"p", u"i", 0)),
         std::make_shared<CCommandSetPortEnable>(port, false),
         std::make_shared<CCommandPortChangeInstrument>(port, u"j", 9),
         std::make_shared<CCommandPortChangeInstrument>(port, u"j", 9)});
    ASSERT_TRUE(changed);
    EXPECT_EQ(All<CCommandChangedSequenceProperty>(*changed).size(), 1u);
    EXPECT_EQ(All<CCommandChangedTrackProperty>(*changed).size(), 1u);
    const auto ports = All<CCommandChangedPortProperty>(*changed);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_FALSE(ports[1]->property.bEnable);
    EXPECT_EQ(ports[1]->property.sInstrument, u"j");
    EXPECT_EQ(ports[1]->property.nChannel, 9);
    EXPECT_EQ(LogRows().back().size(), 5u);  // the repeated instrument change is not logged
}

TEST_F(SeqServer, DeleteIsBroadcastToAllAndUnknownIdsAreSilent) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));
    const auto nothing = a.Request({std::make_shared<CCommandDelete>(CRUidSet{CRUid::Generate()})});
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    const auto gone = a.Request({std::make_shared<CCommandDelete>(CRUidSet{seq})});
    ASSERT_TRUE(gone);
    ASSERT_EQ(All<CCommandDeleted>(*gone).size(), 1u);
    EXPECT_EQ(All<CCommandDeleted>(*gone)[0]->setSequence, CRUidSet{seq});
    const auto atB = b.Receive(2s);
    ASSERT_TRUE(atB);
    EXPECT_EQ(All<CCommandDeleted>(*atB).size(), 1u);
}

TEST_F(SeqServer, BadFramesAndDisconnectsAreLoggedAndOthersGoOn) {
    auto& a = Connect();
    auto& b = Connect();
    ASSERT_TRUE(a.SendRaw({0, 0, 0, 0}));               // empty frame
    ASSERT_TRUE(a.SendRaw(EncodeFrame({0x01, 0x02})));  // unknown class
    EXPECT_TRUE(log.WaitFor("-> SocketDataReceive error."));
    EXPECT_TRUE(a.Request({}));  // the next frame is still read
    EXPECT_TRUE(log.WaitForCount("SocketDataReceive error.", 2));

    b.Close();
    EXPECT_TRUE(log.WaitFor("Server id=7 Active user count=1"));
    EXPECT_TRUE(log.WaitForCount("Server id=7 SocketError : ", 1));
    // The departed client is named by its address, not "nothing".
    EXPECT_TRUE(log.WaitFor("Server id=7 SocketError : 127.0.0.1:"));
    EXPECT_TRUE(a.Request({}));

    // A header announcing more than the largest payload closes that connection only.
    auto& c = Connect();
    ASSERT_TRUE(c.SendRaw({0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_TRUE(PalvorTest::PeerClosed(c.Fd(), 5s));
    EXPECT_TRUE(a.Request({}));
}

TEST_F(SeqServer, EverythingSurvivesARestartAndTheLogContinues) {
    auto& a = Connect();
    const CRUid seq = CreateSequence(a, u"kept");
    const CRUid track = CRUid::Generate();
    ASSERT_TRUE(a.Request({std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                           std::make_shared<CCommandTrackChangeMml>(track, u"o4 c")}));
    LogRows();
    const int64_t before = lastRowId;
    clients.clear();
    server.reset();
    Start();
    CRSeqClient::CCommands greeting;
    auto& b = Connect(&greeting);
    ASSERT_EQ(greeting.size(), 2u);
    const auto opened = b.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})});
    ASSERT_TRUE(opened);
    ASSERT_EQ(All<CCommandTrackChangeMml>(*opened).size(), 1u);
    EXPECT_EQ(All<CCommandTrackChangeMml>(*opened)[0]->sMml, u"o4 c");
    ASSERT_TRUE(b.Request({std::make_shared<CCommandSetTrackTitle>(track, u"t2")}));
    LogRows();
    EXPECT_EQ(lastRowId, before + 1);
}

TEST_F(SeqServer, CompileBroadcastsItsChangesAndAnswersTheRequester) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));
    const CRUid track = CRUid::Generate();
    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq}),
                           std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                           std::make_shared<CCommandTrackChangeMml>(
                               track, u"declare port MELODY = Synth:3;\nport(MELODY) o4 l4 cde")}));
    // B compiles; A has the sequence open and sees the result, B gets only the answer.
    const auto atB = b.Request({std::make_shared<CCommandTrackCompileMml>(track)});
    ASSERT_TRUE(atB);
    ASSERT_EQ(atB->size(), 1u);
    const auto answer = std::dynamic_pointer_cast<const CCommandTrackCompiledMml>((*atB)[0]);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->idTrack, track);
    const auto atA = a.Receive(2s);
    ASSERT_TRUE(atA);
    const auto ports = All<CCommandCreatePort>(*atA);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0]->property.sInstrument, u"Synth");
    EXPECT_EQ(ports[0]->property.nChannel, 3);
    ASSERT_EQ(All<CCommandCreateEvent>(*atA).size(), 1u);
    EXPECT_EQ(All<CCommandCreateEvent>(*atA)[0]->events.size(), 3u);
    const size_t rows = LogRows().size();

    // An unchanged recompile broadcasts nothing but is answered and logged.
    const auto again = a.Request({std::make_shared<CCommandTrackCompileMml>(track)});
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), 1u);
    EXPECT_TRUE(std::dynamic_pointer_cast<const CCommandTrackCompiledMml>((*again)[0]));
    EXPECT_EQ(LogRows().size(), rows + 1);

    // One changed note: its event goes, a new one comes.
    ASSERT_TRUE(a.Request({std::make_shared<CCommandTrackChangeMml>(
        track, u"declare port MELODY = Synth:3;\nport(MELODY) o4 l4 cdf")}));
    const auto changed = a.Request({std::make_shared<CCommandTrackCompileMml>(track)});
    ASSERT_TRUE(changed);
    ASSERT_EQ(All<CCommandDeleted>(*changed).size(), 1u);
    EXPECT_EQ(All<CCommandDeleted>(*changed)[0]->setEvent.size(), 1u);
    ASSERT_EQ(All<CCommandCreateEvent>(*changed).size(), 1u);
    EXPECT_EQ(All<CCommandCreateEvent>(*changed)[0]->events.size(), 1u);

    // An unknown track is answered with no messages.
    const CRUid unknown = CRUid::Generate();
    const auto none = a.Request({std::make_shared<CCommandTrackCompileMml>(unknown)});
    ASSERT_TRUE(none);
    ASSERT_EQ(none->size(), 1u);
    const auto empty = std::dynamic_pointer_cast<const CCommandTrackCompiledMml>((*none)[0]);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->vMessages.empty());
}

TEST_F(SeqServer, AnImportReachesClientsThatHaveTheSequenceOpen) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));
    ASSERT_TRUE(a.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));
    // Format 0, division 96, channel 1: a note of one quarter at tick 96.
    const std::vector<uint8_t> smf = {
        'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
        'M', 'T', 'r', 'k', 0, 0, 0, 12,
        0x60, 0x91, 60, 100,  // delta 96: note on
        0x60, 0x81, 60, 0,    // delta 96: note off
        0x00, 0xFF, 0x2F, 0x00};
    const CRUid firstId = CRUid::Generate();
    const auto own = b.Request({std::make_shared<CCommandLoadSmf>(smf, seq, u"Synth", CRUidList{firstId})});
    ASSERT_TRUE(own);
    EXPECT_TRUE(own->empty());  // B has not opened the sequence
    const auto atA = a.Receive(2s);
    ASSERT_TRUE(atA);
    // As an open sends it: the track, then the port immediately followed by its events.
    ASSERT_EQ(atA->size(), 3u);
    const auto track = std::dynamic_pointer_cast<const CCommandCreateTrack>((*atA)[0]);
    const auto port = std::dynamic_pointer_cast<const CCommandCreatePort>((*atA)[1]);
    const auto events = std::dynamic_pointer_cast<const CCommandCreateEvent>((*atA)[2]);
    ASSERT_TRUE(track && port && events);
    EXPECT_EQ(track->idSequence, seq);
    EXPECT_EQ(port->property.idTrack, track->idTrack);
    EXPECT_EQ(port->property.sInstrument, u"Synth");
    EXPECT_EQ(port->property.nChannel, 1);
    ASSERT_EQ(events->events.size(), 1u);
    const auto& note = *events->events.begin();
    EXPECT_EQ(note->idEvent, firstId);  // the first identifier goes to the first event read
    EXPECT_EQ(note->nStep, 480u);
    EXPECT_TRUE(note->property->IsEqual(P::CEventNote(60, 100, 480)));
    EXPECT_TRUE(log.WaitFor("-> Request LoadSmf 34byte."));

    // A file that does not read changes nothing and sends nothing.
    const auto bad = a.Request({std::make_shared<CCommandLoadSmf>(std::vector<uint8_t>{1, 2, 3}, seq,
                                                                  u"Synth", CRUidList{})});
    ASSERT_TRUE(bad);
    EXPECT_TRUE(bad->empty());
}

TEST_F(SeqServer, ExportAnswersTheRequesterWithAFileOfTheEnabledPorts) {
    auto& a = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    const CRUid track = CRUid::Generate(), on = CRUid::Generate(), off = CRUid::Generate();
    P::CListEvent notes, muted;
    notes.Insert(0, std::make_shared<P::CEventTempo>(150.0));
    notes.Insert(480, std::make_shared<P::CEventNote>(64, 90, 480));
    muted.Insert(0, std::make_shared<P::CEventNote>(30, 90, 480));
    P::CPort disabled(track, u"off", u"Synth", 1);
    disabled.bEnable = false;
    ASSERT_TRUE(a.Request({std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                           std::make_shared<CCommandCreatePort>(on, P::CPort(track, u"on", u"Synth", 0)),
                           std::make_shared<CCommandCreatePort>(off, disabled),
                           std::make_shared<CCommandCreateEvent>(on, notes),
                           std::make_shared<CCommandCreateEvent>(off, muted)}));
    const size_t rows = LogRows().size();
    const CRUid request = CRUid::Generate();
    const auto got = a.Request({std::make_shared<CCommandExportSmf>(request, seq)}, 60s);
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size(), 1u);
    const auto answer = std::dynamic_pointer_cast<const CCommandExportedSmf>((*got)[0]);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->idRequest, request);
    EXPECT_EQ(answer->idSequence, seq);
    const std::string file(answer->vSmf.begin(), answer->vSmf.end());
    ASSERT_EQ(file.rfind("MThd", 0), 0u);
    EXPECT_NE(file.find(std::string("\x90\x40\x5A", 3)), std::string::npos);  // the enabled note
    EXPECT_EQ(file.find(std::string("\x91\x1E", 2)), std::string::npos);      // the disabled one
    EXPECT_NE(file.find(std::string("\xFF\x51\x03", 3)), std::string::npos);  // a tempo meta
    EXPECT_EQ(LogRows().size(), rows);  // exports are not logged

    // An unknown sequence still gets an answer: a file with one empty track.
    const CRUid other = CRUid::Generate();
    const auto unknown = a.Request({std::make_shared<CCommandExportSmf>(other, CRUid::Generate())}, 60s);
    ASSERT_TRUE(unknown);
    ASSERT_EQ(unknown->size(), 1u);
    const auto empty = std::dynamic_pointer_cast<const CCommandExportedSmf>((*unknown)[0]);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->idRequest, other);
    const std::vector<uint8_t> header(empty->vSmf.begin(), empty->vSmf.begin() + std::min<size_t>(14, empty->vSmf.size()));
    EXPECT_EQ(header, (std::vector<uint8_t>{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0}));
}

// After a pause, what was committed is in the files themselves, not only in their
// write-ahead logs: a copy of the main file alone (as a power cut could leave it, the
// -wal file lost) holds it.
TEST_F(SeqServer, AfterAPauseBothFilesHoldTheCommittedChangesWithoutTheirLogs) {
    auto& a = Connect();
    CreateSequence(a, u"kept");
    const struct {
        std::filesystem::path file;
        const char* count;
    } files[] = {{CRSeqServer::SolutionFileOf(dir.Path(), kSolution), "SELECT count(*) FROM sequence"},
                 {CRActivityLog::FileOf(dir.Path(), kSolution), "SELECT count(*) FROM log"}};
    auto countAlone = [this](const std::filesystem::path& file, const char* sql) {
        const auto copy = dir.Path() / "alone.db";
        std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
        sqlite3* db = nullptr;
        int n = -1;
        const std::string uri = "file:" + copy.string() + "?immutable=1";
        if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
            sqlite3_stmt* st = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
                n = sqlite3_column_int(st, 0);
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return n;
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.file.string());
        const auto end = std::chrono::steady_clock::now() + CRSeqServer::kIdleCheckpoint + 5s;
        int n = countAlone(f.file, f.count);
        while (n != 1 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(50ms);
            n = countAlone(f.file, f.count);
        }
        EXPECT_EQ(n, 1);
    }
}

// A command of created events goes on to the sessions that have the sequence open as it
// was received (no copy of its list); with nobody to receive it nothing is built.
TEST(SendBatch, CreatedEventsGoOnAsReceivedAndOnlyToAnAudience) {
    PalvorTest::CTempDir dir;
    CSolutionDb db;
    ASSERT_TRUE(db.Open(dir.Path() / "s.db"));
    const CRUid seq = CRUid::Generate(), track = CRUid::Generate(), port = CRUid::Generate();
    ASSERT_TRUE(db.CreateSequence(seq, P::CSequence(u"s")));
    ASSERT_TRUE(db.CreateTrack(track, seq, P::CTrack(u"t")));
    ASSERT_TRUE(db.CreatePort(port, P::CPort(track, u"p", u"i", 0)));
    boost::asio::io_context io;
    CServer server(1, db);
    const auto writer = std::make_shared<CServer::CSession>(io);
    const auto reader = std::make_shared<CServer::CSession>(io);
    server.Sessions().insert(writer);
    server.Sessions().insert(reader);
    auto notes = [](int n, uint32_t from) {
        P::CListEvent list;
        for (int i = 0; i < n; ++i)
            list.Insert(from + 120 * static_cast<uint32_t>(i), std::make_shared<P::CEventNote>(60, 100, 120));
        return list;
    };
    auto dispatch = [&](const CPtr& command) {
        CServer::CSendBatch batch(server);
        EXPECT_EQ(server.Dispatch(writer, {command}, batch).size(), 1u);  // stored and logged
        EXPECT_EQ(batch.Received(*command), nullptr);  // only while its handler runs
        return std::make_pair(batch.QueuedFor(reader), batch.QueuedFor(writer));
    };

    const auto unseen = std::make_shared<CCommandCreateEvent>(port, notes(3, 0));
    {
        CServer::CSendBatch batch(server);
        EXPECT_FALSE(batch.HasAudience(seq));
        EXPECT_TRUE(batch.HasAudience(CRUid()));  // every session
    }
    auto [toReader, toWriter] = dispatch(unseen);
    EXPECT_TRUE(toReader.empty());
    EXPECT_TRUE(toWriter.empty());
    EXPECT_EQ(db.SelectEventsOfPort(port).size(), 3u);

    reader->setOpen.insert(seq);
    const auto seen = std::make_shared<CCommandCreateEvent>(port, notes(2, 1000));
    std::tie(toReader, toWriter) = dispatch(seen);
    ASSERT_EQ(toReader.size(), 1u);
    EXPECT_EQ(toReader[0], seen);  // the very object received
    EXPECT_TRUE(toWriter.empty());

    EXPECT_EQ(db.SelectEventsOfPort(port).size(), 5u);
}

// Large frames are decoded ahead of the server thread; a client's frames, large and small,
// good and bad, are still handled in the order they came: the other session sees the
// changes in that order, the log holds them in that order, and the last title stays.
TEST_F(SeqServer, PipelinedLargeAndSmallFramesAreHandledInTheOrderTheyCame) {
    auto& a = Connect();
    auto& b = Connect();
    const CRUid seq = CreateSequence(a, u"S");
    ASSERT_TRUE(b.Receive(2s));
    const CRUid track = CRUid::Generate(), port = CRUid::Generate();
    ASSERT_TRUE(a.Request({std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                           std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"i", 0))}));
    ASSERT_TRUE(b.Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}));
    const size_t rowsBefore = LogRows().size();
    const auto notes = [](uint32_t base) {
        P::CListEvent list;
        for (uint32_t i = 0; i < 2000; ++i) list.Insert(base + i, std::make_shared<P::CEventNote>(60, 100, 10));
        return list;
    };
    const auto big = [&](uint32_t base) {
        return EncodeFrame(CSerialize::SaveObject(CCommandCreateEvent(port, notes(base))));
    };
    const auto title = [&](const char16_t* s) {
        return EncodeFrame(CSerialize::SaveObject(CCommandSetTrackTitle(track, s)));
    };
    const std::vector<uint8_t> first = big(0), second = big(10000);
    ASSERT_GE(first.size(), CRDecodeAhead::kMinBytes);
    const std::vector<uint8_t> garbage = EncodeFrame(std::vector<uint8_t>(CRDecodeAhead::kMinBytes, 0xEE));
    for (const auto& frame : {first, garbage, title(u"one"), second, title(u"two")}) ASSERT_TRUE(a.SendRaw(frame));

    std::vector<std::string> seen;
    while (seen.size() < 4) {
        const auto frame = b.Receive(5s);
        ASSERT_TRUE(frame) << "seen " << seen.size();
        for (const auto& c : *frame) {
            if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(c))
                seen.push_back("events from " + std::to_string((*e->events.begin())->nStep));
            else if (auto t = std::dynamic_pointer_cast<const CCommandChangedTrackProperty>(c))
                seen.push_back("title " + Utf16ToUtf8(t->property.sTitle));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"events from 0", "title one", "events from 10000", "title two"}));
    EXPECT_TRUE(log.WaitFor("SocketDataReceive error."));
    ASSERT_TRUE(a.Request({}));
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), rowsBefore + 4);
    const auto logged = All<CCommandCreateEvent>(rows[rowsBefore + 2]);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]->events.size(), 2000u);
    EXPECT_EQ((*logged[0]->events.begin())->nStep, 10000u);
    EXPECT_EQ(All<CCommandSetTrackTitle>(rows[rowsBefore + 3])[0]->sTitle, u"two");
}
