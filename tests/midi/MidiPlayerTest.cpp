#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "midi/PlayerTestSupport.h"
#include "midi/RMidiPlayer.h"
#include "midi/RSmf.h"
#include "runtime/RReaper.h"
#include "model/SolutionDb.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace std::chrono_literals;
namespace P = DUve::CRSeq::Property;
using PalvorTest::PlayerBackends;
using PalvorTest::WaitFor;

namespace {

std::vector<uint8_t> BytesOf(const CRThreadMessage::CMessagePtr& m) {
    const auto r = std::dynamic_pointer_cast<const CRMidiPlayer::Request::CEventMidi>(m);
    return r && r->vBytes ? *r->vBytes : std::vector<uint8_t>();
}

// A file of one track that holds nothing but its end.
const std::vector<uint8_t> kEmptyFile = {'M', 'T', 'h', 'd',  0,    0,    0,    6,   0,
                                         0,   0,   1,   0x01, 0xE0, 'M',  'T',  'r', 'k',
                                         0,   0,   0,   4,    0x00, 0xFF, 0x2F, 0x00};

// A solution database with one sequence of two ports: "Piano" (enabled) and "Drums".
struct CSolution {
    PalvorTest::CTempDir dir;
    CSolutionDb db;
    CRUid idSequence = CRUid::Generate();
    CRUid idTrack = CRUid::Generate();

    CSolution() {
        EXPECT_TRUE(db.Open(dir.Path() / "solution.db"));
        EXPECT_TRUE(db.CreateSequence(idSequence, P::CSequence(u"Song")));
        EXPECT_TRUE(db.CreateTrack(idTrack, idSequence, P::CTrack(u"Track")));
    }
    CRUid AddPort(const std::u16string& sInstrument, uint8_t nChannel, bool bEnable) {
        const CRUid id = CRUid::Generate();
        P::CPort port(idTrack, u"Port", sInstrument, nChannel);
        port.bEnable = bEnable;
        EXPECT_TRUE(db.CreatePort(id, port));
        return id;
    }
    void AddEvents(
        const CRUid& idPort,
        const std::vector<std::pair<uint32_t, std::shared_ptr<const P::CEventBase>>>& v) {
        P::CListEvent list;
        for (const auto& [step, property] : v) list.Insert(step, property);
        EXPECT_TRUE(db.InsertEvents(idPort, list));
    }
};

// Decoded file events as (time, encoded bytes), in file order.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ReadEvents(
    const std::vector<uint8_t>& file) {
    CRSmf smf;
    EXPECT_TRUE(smf.Read(file));
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> v;
    if (smf.TrackChunks().size() != 1) return v;
    for (const auto* e : *smf.TrackChunks()[0]) {
        std::vector<uint8_t> bytes;
        e->Encode(bytes);
        v.emplace_back(e->nTime, bytes);
    }
    return v;
}

}  // namespace

TEST(MidiPlayerRecords, ModelEventsBecomeChannelMessages) {
    const P::CPort port(CRUid(), u"P", u"Piano", 0x13);  // channel beyond 4 bits is masked
    EXPECT_EQ(BytesOf(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventPitchBend(-8192))),
              (std::vector<uint8_t>{0xE3, 0x00, 0x00}));
    EXPECT_EQ(BytesOf(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventPitchBend(0))),
              (std::vector<uint8_t>{0xE3, 0x00, 0x40}));
    EXPECT_EQ(BytesOf(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventPitchBend(8191))),
              (std::vector<uint8_t>{0xE3, 0x7F, 0x7F}));
    EXPECT_EQ(BytesOf(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventProgramChange(0x85))),
              (std::vector<uint8_t>{0xC3, 0x05}));
    EXPECT_EQ(BytesOf(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventControlChange(7, 200))),
              (std::vector<uint8_t>{0xB3, 7, 200 & 0x7F}));
    EXPECT_FALSE(CRMidiPlayer::MakeRecord(true, port, 0, P::CEventMeter(3, 480)));

    const auto note = std::dynamic_pointer_cast<const CRMidiPlayer::Request::CEventMidiNote>(
        CRMidiPlayer::MakeRecord(false, port, 960, P::CEventNote(60, 100, 240)));
    ASSERT_TRUE(note);
    EXPECT_FALSE(note->bAdd);
    EXPECT_EQ(note->nStep, 960u);
    EXPECT_EQ(note->sInstrument, u"Piano");
    EXPECT_EQ(note->nChannel, 3);
    EXPECT_EQ(note->nLength, 240u);
    const auto tempo = std::dynamic_pointer_cast<const CRMidiPlayer::Request::CEventTempo>(
        CRMidiPlayer::MakeRecord(true, port, 480, P::CEventTempo(90.0)));
    ASSERT_TRUE(tempo);
    EXPECT_EQ(tempo->dTempo, 90.0);
}

TEST(MidiPlayerExport, UnknownOrEmptySequenceGivesOneEmptyTrack) {
    PlayerBackends();
    CSolution solution;
    EXPECT_EQ(ExportSmf(solution.db, CRUid::Generate(), 5000ms), kEmptyFile);
    EXPECT_EQ(ExportSmf(solution.db, solution.idSequence, 5000ms), kEmptyFile);
    // Only a disabled port holds events.
    const auto idOff = solution.AddPort(u"Piano", 0, false);
    solution.AddEvents(idOff, {{0, std::make_shared<P::CEventNote>(60, 100, 480)},
                               {0, std::make_shared<P::CEventTempo>(90.0)}});
    EXPECT_EQ(ExportSmf(solution.db, solution.idSequence, 5000ms), kEmptyFile);
}

TEST(MidiPlayerExport, AnExportThatOutlastsItsTimeOutGivesNothingAndEndsSafely) {
    PlayerBackends();
    CSolution solution;
    const auto idPiano = solution.AddPort(u"Piano", 0, true);
    std::vector<std::pair<uint32_t, std::shared_ptr<const P::CEventBase>>> notes;
    for (uint32_t i = 0; i < 20000; ++i)
        notes.push_back({i * 120, std::make_shared<P::CEventNote>(uint8_t(i % 128), 100, 120)});
    solution.AddEvents(idPiano, notes);
    // Twenty thousand notes cannot be scored and written within a millisecond; the answer
    // that comes after the caller gave up must go nowhere harmful.
    EXPECT_TRUE(ExportSmf(solution.db, solution.idSequence, 1ms).empty());
    std::this_thread::sleep_for(500ms);
    const auto file = ExportSmf(solution.db, solution.idSequence, 30000ms);
    EXPECT_EQ(ReadEvents(file).size(), 2u * 20000u + 1u);  // the notes and the end of track
}

TEST(MidiPlayerExport, AStuckPlayerDoesNotHoldTheCallerPastItsTimeOut) {
    PlayerBackends();
    CSolution solution;
    const auto idPiano = solution.AddPort(u"Piano", 0, true);
    solution.AddEvents(idPiano, {{0, std::make_shared<P::CEventNote>(60, 100, 120)}});
    // The player's service thread is held until the test lets it go.
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    const auto start = std::chrono::steady_clock::now();
    const auto file = ExportSmf(solution.db, solution.idSequence, 200ms, [&](CRMidiPlayer& p) {
        p.RunOnServiceThread([released] { released.wait(); });
    });
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(file.empty());
    EXPECT_LT(waited, 1200ms) << "the caller waited for the stuck player";
    // Let it go: the abandoned player finishes and is destroyed off the caller's thread.
    release->set_value();
    EXPECT_TRUE(CRReaper::Instance().WaitIdle(10s));
    // And the next export works as usual.
    EXPECT_EQ(ReadEvents(ExportSmf(solution.db, solution.idSequence, 30000ms)).size(), 3u);
}

TEST(MidiPlayerExport, EnabledPortsInScoreOrderWithTempoMetas) {
    PlayerBackends();
    CSolution solution;
    const auto idPiano = solution.AddPort(u"Piano", 1, true);
    const auto idNowhere = solution.AddPort(u"No such device", 2, true);
    const auto idOff = solution.AddPort(u"Drums", 9, false);
    solution.AddEvents(idPiano, {{0, std::make_shared<P::CEventTempo>(120.0)},
                                 {0, std::make_shared<P::CEventNote>(60, 100, 480)},
                                 {480, std::make_shared<P::CEventNote>(60, 90, 480)},
                                 {480, std::make_shared<P::CEventProgramChange>(5)},
                                 {960, std::make_shared<P::CEventTempo>(240.0)},
                                 {960, std::make_shared<P::CEventExclusive>(CRBytes{0x41, 0x10})},
                                 {960, std::make_shared<P::CEventMeter>(3, 480)}});
    solution.AddEvents(idNowhere, {{100, std::make_shared<P::CEventControlChange>(7, 64)}});
    solution.AddEvents(idOff, {{0, std::make_shared<P::CEventNote>(36, 100, 120)}});

    const auto events = ReadEvents(ExportSmf(solution.db, solution.idSequence, 5000ms));
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected = {
        {0, {0xFF, 0x51, 3, 0x07, 0xA1, 0x20}},  // 500000 us per quarter
        {0, {0x91, 60, 100}},
        {100, {0xB2, 7, 64}},    // a port without a device still exports
        {480, {0x81, 60, 100}},  // the note-off before the program change and the next note
        {480, {0xC1, 5}},
        {480, {0x91, 60, 90}},
        {960, {0xFF, 0x51, 3, 0x03, 0xD0, 0x90}},  // 250000
        {960, {0x81, 60, 90}},
        {960, {0xF0, 3, 0x41, 0x10, 0xF7}},
        {960, {0xFF, 0x2F, 0}},
    };
    EXPECT_EQ(events, expected);
}

TEST(MidiPlayerExport, ReplyRunsOnTheGivenReceiversThread) {
    PlayerBackends();
    struct CReplyProbe {
        CReplyProbe(boost::asio::io_context& io, CRThreadMessage::CSender& s)
            : m_receiver(CRThreadBridge::InitializeIoService(io)) {
            CRMidiPlayer::AcceptExportReplies(*m_receiver);
            s = m_receiver->GetSender();
        }
        static const CRThreadMessage::CRRequestTableT<CReplyProbe>& RequestTable() {
            static const CRThreadMessage::CRRequestTableT<CReplyProbe> table;
            return table;
        }
        CRThreadBridge::CReceiverPtr m_receiver;
    };
    std::promise<std::thread::id> where;
    std::promise<std::thread::id> probeThread;
    CRThreadMessage::CSender sender;
    CRWorkerThreadT<CReplyProbe> worker([&](boost::asio::io_context& io) {
        probeThread.set_value(std::this_thread::get_id());
        return std::make_unique<CReplyProbe>(io, sender);
    });
    auto player = CRMidiPlayer::Create();
    ASSERT_TRUE(player);
    auto file = std::make_shared<std::promise<CRMidiPlayer::CFileBytes>>();
    player->ExportSmf(
        [file, &where](CRMidiPlayer::CFileBytes bytes) {
            where.set_value(std::this_thread::get_id());
            file->set_value(std::move(bytes));
        },
        sender);
    auto answer = file->get_future();
    ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(*answer.get(), kEmptyFile);
    EXPECT_EQ(where.get_future().get(), probeThread.get_future().get());
}

TEST(MidiPlayerState, LoopFolding) {
    CRMidiPlayer::CState st;
    st.nLoopBegin = 480;  // 0.5 s at 120
    st.nLoopEnd = 960;    // 1.0 s
    const int64_t f = CRMidiPlayer::kFrequency;
    const auto before = st.Fold(f / 4);
    EXPECT_EQ(before.nTime, f / 4);
    EXPECT_EQ(before.nPass, 0);
    const auto later = st.PositionAt(f * 9 / 4);  // 2.25 s: third pass, 0.75 s
    EXPECT_EQ(later.nPass, 3);
    EXPECT_NEAR(later.dSeconds, 0.75, 1e-9);
    EXPECT_EQ(later.nStep, 720u);
    EXPECT_EQ(later.dTempo, 120.0);
    const auto negative = st.Fold(-5);
    EXPECT_EQ(negative.nTime, 0);
    EXPECT_EQ(negative.dSeconds, 0.0);
    st.nLoopEnd = 480;  // not after the begin: no loop
    EXPECT_EQ(st.Fold(f * 3).nPass, 0);
    EXPECT_EQ(st.Fold(f * 3).nTime, f * 3);
}

// ---- playback on the recording MIDI output "Piano" (port 0), on a manual process clock;
// one real-time run at the end

namespace {

using CSent = AudioDevice::TestBackends::CSentMidi;

// A receiver on a worker of its own that records the playing flag of every state change.
struct CStateLog {
    std::mutex mutex;
    std::vector<bool> vPlaying;
    size_t Count() {
        std::lock_guard lock(mutex);
        return vPlaying.size();
    }
};
class CStateProbe {
public:
    CStateProbe(boost::asio::io_context& io, CStateLog& log, CRThreadMessage::CSender& sender)
        : m_receiver(CRThreadBridge::InitializeIoService(io)) {
        CRThreadMessage::AddHandler<CRMidiPlayer::CNotifyStateChanged>(
            *m_receiver, [&log](const std::shared_ptr<const CRMidiPlayer::CNotifyStateChanged>& n) {
                std::lock_guard lock(log.mutex);
                log.vPlaying.push_back(n->state && n->state->bPlaying);
            });
        sender = m_receiver->GetSender();
    }
    static const CRThreadMessage::CRRequestTableT<CStateProbe>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CStateProbe> table;
        return table;
    }

private:
    CRThreadBridge::CReceiverPtr m_receiver;
};

// A player on "Piano"; each test uses note numbers of its own, and only what was stamped
// after the rig was made counts, so that what earlier players left on the shared port does
// not. With bManual the process clock stands still but when the test moves it: what is
// due when depends on the test alone, not on the machine's speed.
struct CRig {
    explicit CRig(bool bManual = true) {
        PlayerBackends();
        if (bManual) manual = std::make_unique<DUve::Test::CManualClock::CScope>();
        dStart = AudioDevice::ClockSeconds();
        player = CRMidiPlayer::Create();
    }
    std::unique_ptr<DUve::Test::CManualClock::CScope> manual;
    double dStart = 0;
    std::shared_ptr<CRMidiPlayer> player;

    // While playing: moves the clock dSeconds on, in steps well inside the look-ahead. Each
    // step waits for a tick of the player first (what was asked of it before has been
    // done), and the last for two more (the first may have read the clock before it
    // moved), so everything due meanwhile has been handed to the device in time.
    void Pass(double dSeconds) {
        constexpr double kStep = 0.05;
        for (double d = 0; d < dSeconds - 1e-9; d += kStep) {
            WaitTicks(1);
            manual->clock->AdvanceSeconds(std::min(kStep, dSeconds - d));
        }
        WaitTicks(2);
    }
    void WaitTicks(uint64_t n) {
        const uint64_t nNow = player->Ticks();
        ASSERT_TRUE(WaitFor([&] { return player->Ticks() >= nNow + n; }, 5000ms)) << "the player does not tick";
    }
    // While stopped: only the clock moves.
    void Idle(double dSeconds) { manual->clock->AdvanceSeconds(dSeconds); }
    // No more note messages of lo..hi than n turn up (the device sends on its own tick).
    bool StaysAt(uint8_t lo, uint8_t hi, size_t n) const {
        return !WaitFor([&] { return Sent(lo, hi).size() > n; }, 150ms);
    }

    void Note(uint32_t step, uint8_t note, uint32_t length, bool bAdd = true) {
        player->PostRequest(std::make_shared<CRMidiPlayer::Request::CEventMidiNote>(
            bAdd, step, u"Piano", 0, note, 100, length));
    }
    void Midi(uint32_t step, std::vector<uint8_t> v) {
        player->PostRequest(std::make_shared<CRMidiPlayer::Request::CEventMidi>(
            true, step, u"Piano", std::make_shared<const std::vector<uint8_t>>(std::move(v))));
    }
    void Tempo(uint32_t step, double tempo, bool bAdd = true) {
        player->PostRequest(
            std::make_shared<CRMidiPlayer::Request::CEventTempo>(bAdd, step, tempo));
    }
    // What the port was sent of the notes lo..hi (and of everything else when bAll).
    std::vector<CSent> Sent(uint8_t lo, uint8_t hi) const {
        std::vector<CSent> v;
        for (auto& m : PlayerBackends()->Sent(0)) {
            const bool bNote = m.vBytes.size() == 3 && (m.vBytes[0] & 0xE0) == 0x80;
            if (bNote && m.vBytes[1] >= lo && m.vBytes[1] <= hi && m.dTime >= dStart)
                v.push_back(std::move(m));
        }
        return v;
    }
    static std::vector<CSent> Ons(const std::vector<CSent>& v) {
        std::vector<CSent> r;
        for (const auto& m : v)
            if ((m.vBytes[0] & 0xF0) == 0x90) r.push_back(m);
        return r;
    }
    static std::vector<uint8_t> Notes(const std::vector<CSent>& v) {
        std::vector<uint8_t> r;
        for (const auto& m : v) r.push_back(m.vBytes[1]);
        return r;
    }
    bool WaitOns(uint8_t lo, uint8_t hi, size_t n, std::chrono::milliseconds limit = 5000ms) const {
        return WaitFor([&] { return Ons(Sent(lo, hi)).size() >= n; }, limit);
    }
};

}  // namespace

TEST(MidiPlayerPlayback, PlayAndStopChangeStateOnlyOnce) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    CStateLog log;
    CRThreadMessage::CSender sender;
    CRWorkerThreadT<CStateProbe> probe([&](boost::asio::io_context& io) {
        return std::make_unique<CStateProbe>(io, log, sender);
    });
    rig.player->AddNotify(sender);
    rig.player->Play();
    rig.player->Play();
    rig.player->Stop();
    rig.player->Stop();
    rig.player->Seek(0);
    // A new tempo map is a change of state too: its notification comes after those of the
    // commands, so a second Play or Stop that notified would show before it.
    rig.Tempo(0, 90.0);
    ASSERT_TRUE(WaitFor([&] { return log.Count() >= 4; }, 5000ms));
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.vPlaying, (std::vector<bool>{true, false, false, false}));
}

TEST(MidiPlayerPlayback, StopAndResumeNeitherRepeatsNorKeepsPlaying) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);  // a quarter note every 50 ms
    for (uint8_t i = 0; i < 10; ++i) rig.Note(i * 480u, uint8_t(10 + i), 240);
    rig.player->Play();
    rig.Pass(0.12);
    ASSERT_TRUE(rig.WaitOns(10, 19, 3));  // at 0, 50 and 100 ms
    rig.player->Stop();
    // Three notes and their note-offs (the third's from the stop).
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(10, 19).size() >= 6; }, 5000ms));
    const size_t nAtStop = rig.Sent(10, 19).size();
    rig.Idle(0.25);
    EXPECT_TRUE(rig.StaysAt(10, 19, nAtStop));  // nothing plays while stopped
    rig.player->Play();
    rig.Pass(0.5);
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(19, 19).size() >= 2; }, 5000ms));

    const auto notes = rig.Notes(rig.Ons(rig.Sent(10, 19)));
    // In order, none twice; a note due at the very moment of the stop may be cut.
    EXPECT_TRUE(std::is_sorted(notes.begin(), notes.end()));
    EXPECT_EQ(std::adjacent_find(notes.begin(), notes.end()), notes.end());
    EXPECT_EQ(notes.size(), 10u);  // the clock stood still at the stop: no note was cut
    // Every note sounded is ended.
    for (uint8_t n : notes) {
        const auto sent = rig.Sent(n, n);
        EXPECT_EQ(sent.back().vBytes[0], 0x80) << int(n);
    }
}

TEST(MidiPlayerPlayback, StopEndsSoundingNoteAtOnce) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Note(0, 30, 1920);  // two seconds at 120
    rig.player->Play();
    rig.Pass(0.3);
    ASSERT_TRUE(rig.WaitOns(30, 30, 1));
    rig.player->Stop();
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(30, 30).size() >= 2; }, 5000ms));
    const auto sent = rig.Sent(30, 30);
    EXPECT_EQ(sent[1].vBytes, (std::vector<uint8_t>{0x80, 30, 100}));
    // Sent at the stop, stamped with the end of the last dispatched window: within the
    // look-ahead of the stop.
    EXPECT_NEAR(sent[1].dTime - rig.dStart, 0.3, 1e-6);
    EXPECT_LE(double(sent[1].nStampNs - sent[0].nStampNs) / 1e9, 0.3 + 0.2 + 0.001);
}

TEST(MidiPlayerPlayback, LoopRepeatsAndEndsNotesAtEachWrap) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);   // the loop of 1920 steps lasts 200 ms
    rig.Note(0, 40, 2400);  // crosses the loop end
    rig.Midi(960, {0xB0, 1, 41});
    rig.Midi(1920, {0xC0, 42});  // at the loop end: never played
    rig.player->SetLoop(0, 1920);
    rig.player->Play();
    rig.Pass(0.7);  // wraps at 0.2, 0.4 and 0.6 s
    ASSERT_TRUE(rig.WaitOns(40, 40, 4));
    rig.player->Stop();
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(40, 40).size() >= 8; }, 5000ms));

    const auto sent = rig.Sent(40, 40);
    // On, off, on, off, ... and at the stop only note-offs (the wrap's handed out ahead and
    // the stop's own).
    ASSERT_GE(sent.size(), 8u);
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].vBytes[0], i % 2 || i >= 8 ? 0x80 : 0x90) << i;
    const auto ons = rig.Ons(sent);
    for (size_t i = 1; i < ons.size(); ++i)
        EXPECT_NEAR(double(ons[i].nStampNs - ons[i - 1].nStampNs) / 1e9, 0.2, 1e-3) << i;
    size_t nControl = 0;
    for (const auto& m : PlayerBackends()->Sent(0)) {
        EXPECT_NE(m.vBytes, (std::vector<uint8_t>{0xC0, 42}));
        if (m.vBytes == std::vector<uint8_t>{0xB0, 1, 41}) ++nControl;
    }
    EXPECT_GE(nControl, 3u);
}

TEST(MidiPlayerPlayback, SeekWhileStoppedMovesTheStart) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);
    rig.Note(0, 50, 240);
    rig.Note(4800, 52, 240);  // 500 ms in
    rig.player->Seek(4800);
    rig.player->Play();
    rig.Pass(0.1);
    ASSERT_TRUE(rig.WaitOns(52, 52, 1, 2000ms));
    rig.player->Stop();
    EXPECT_TRUE(rig.Sent(50, 50).empty());
}

TEST(MidiPlayerPlayback, TempoChangeWhilePlayingKeepsTheStep) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);
    for (uint8_t i = 0; i < 12; ++i) rig.Note(i * 480u, uint8_t(60 + i), 240);
    rig.player->Play();
    rig.Pass(0.06);
    ASSERT_TRUE(rig.WaitOns(60, 71, 2));
    rig.Tempo(0, 1200.0, false);
    rig.Tempo(0, 600.0);  // a quarter note every 100 ms from here on
    rig.Pass(1.5);
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(71, 71).size() >= 2; }, 5000ms));
    rig.player->Stop();

    const auto ons = rig.Ons(rig.Sent(60, 71));
    std::vector<uint8_t> expected;
    for (uint8_t i = 0; i < 12; ++i) expected.push_back(uint8_t(60 + i));
    EXPECT_EQ(rig.Notes(ons), expected);  // no note skipped or repeated
    // The last notes a tenth of a second apart, as the new tempo has it.
    EXPECT_NEAR(double(ons[11].nStampNs - ons[6].nStampNs) / 5e9, 0.1, 1e-3);
}

TEST(MidiPlayerPlayback, RemovedSoundingNoteEndsAfterTheFlush) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);
    rig.Note(0, 90, 48000);  // five seconds
    rig.player->Play();
    rig.Pass(0.05);
    ASSERT_TRUE(rig.WaitOns(90, 90, 1));
    rig.Note(0, 90, 48000, false);
    rig.Pass(0.3);
    ASSERT_TRUE(WaitFor([&] { return rig.Sent(90, 90).size() >= 2; }, 3000ms));
    const auto sent = rig.Sent(90, 90);
    EXPECT_EQ(sent[1].vBytes, (std::vector<uint8_t>{0x80, 90, 100}));
    EXPECT_LT(sent[1].dTime - sent[0].dTime, 2.0);
    rig.player->Stop();
}

TEST(MidiPlayerPlayback, LoopSwitchedOffAfterPassesPlaysOnAtOnce) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);
    rig.Note(0, 20, 240);
    rig.Note(2400, 22, 240);  // after the loop: 50 ms past its end
    rig.player->SetLoop(0, 1920);
    rig.player->Play();
    rig.Pass(0.65);
    ASSERT_TRUE(rig.WaitOns(20, 20, 4));  // three wraps
    const double dOff = AudioDevice::ClockSeconds();
    rig.player->SetLoop(0, 0);
    // The dispatcher goes on from where the loop left it, not from the unfolded time.
    rig.Pass(0.6);
    ASSERT_TRUE(rig.WaitOns(22, 22, 1, 3000ms));
    EXPECT_LT(rig.Ons(rig.Sent(22, 22))[0].dTime - dOff, 0.6);
    rig.player->Stop();
}

TEST(MidiPlayerPlayback, SeekWhilePlayingDropsWhatWasHandedOutAhead) {
    CRig rig;
    ASSERT_TRUE(rig.player);
    rig.Tempo(0, 1200.0);  // 240 steps last 25 ms: the look-ahead holds several notes
    for (uint32_t i = 0; i < 80; ++i) rig.Note(i * 240u, uint8_t(20 + i % 20), 120);
    rig.Note(48000, 70, 240);  // five seconds in
    rig.player->Play();
    rig.Pass(0.2);
    ASSERT_TRUE(rig.WaitOns(20, 39, 8));
    const double dSeek = AudioDevice::ClockSeconds();
    rig.player->Seek(48000);
    rig.Pass(0.2);
    ASSERT_TRUE(rig.WaitOns(70, 70, 1, 3000ms));
    rig.player->Stop();

    const auto ons70 = rig.Ons(rig.Sent(70, 70));
    ASSERT_EQ(ons70.size(), 1u);
    EXPECT_LT(ons70[0].dTime - dSeek, 2.0);
    // Once the new position sounds, nothing of the old one does, although the look-ahead
    // had handed out 134-200 ms of it (at least two more notes).
    const auto all = rig.Ons(rig.Sent(20, 70));
    const auto at70 = std::find_if(all.begin(), all.end(), [](const CSent& m) { return m.vBytes[1] == 70; });
    EXPECT_EQ(std::count_if(at70, all.end(), [](const CSent& m) { return m.vBytes[1] < 40; }), 0);
    // Every old note that sounded was ended.
    for (uint8_t n = 20; n < 40; ++n) {
        const auto sent = rig.Sent(n, n);
        if (!sent.empty()) {
            EXPECT_EQ(sent.back().vBytes[0], 0x80) << int(n);
        }
    }
}

// Two minutes of music at 120 (a sixteenth note after another, a control change on every
// beat) played at 16 times the tempo: every message reaches the output in order, each
// stamped for the time its step falls on, and none is sent before its stamp.
TEST(MidiPlayerTiming, EveryMessageArrivesWithItsStampedTime) {
    CRig rig(false);  // on the real clock
    ASSERT_TRUE(rig.player);
    constexpr double kTempo = 1920.0;
    constexpr uint32_t kNotes = 960, kSixteenth = 120;
    PlayerBackends()->Clear(0);
    rig.Tempo(0, kTempo);
    // The expected messages in order: at one step note-offs, then controls, then note-ons.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected;
    for (uint32_t i = 0; i <= kNotes; ++i) {
        const uint32_t step = i * kSixteenth;
        const uint8_t note = uint8_t(40 + i % 24), prev = uint8_t(40 + (i + 23) % 24);
        if (i > 0) expected.push_back({step, {0x80, prev, 100}});
        if (i < kNotes && step % 480 == 0) {
            const uint8_t value = uint8_t(step / 480 % 128);
            rig.Midi(step, {0xB0, 7, value});
            expected.push_back({step, {0xB0, 7, value}});
        }
        if (i < kNotes) {
            rig.Note(step, note, kSixteenth);
            expected.push_back({step, {0x90, note, 100}});
        }
    }
    rig.player->Play();
    const double dSeconds = kNotes * kSixteenth * 60.0 / (kTempo * 480.0);  // 7.5 s
    const auto limit = std::chrono::milliseconds(static_cast<int>(dSeconds * 1000) + 10000);
    ASSERT_TRUE(WaitFor([&] { return PlayerBackends()->Sent(0).size() >= expected.size(); }, limit));
    rig.player->Stop();

    const auto sent = PlayerBackends()->Sent(0);
    ASSERT_EQ(sent.size(), expected.size());
    std::vector<double> vLate;
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i].vBytes, expected[i].second) << i;
        const double dDue = expected[i].first * 60.0 / (kTempo * 480.0);
        const double dStampMs = (double(sent[i].nStampNs) - double(sent[0].nStampNs)) / 1e6;
        EXPECT_NEAR(dStampMs, dDue * 1000.0, 1.0) << i;
        EXPECT_GE(sent[i].dTime * 1e9 + 1000.0, double(sent[i].nStampNs)) << i;
        vLate.push_back(sent[i].dTime * 1000.0 - double(sent[i].nStampNs) / 1e6);
    }
    // Sent when due, not when handed out ahead: typically within a few milliseconds (the
    // latency benchmark measures it); the bound only catches a device that waits for the
    // next dispatch or sends at once.
    std::nth_element(vLate.begin(), vLate.begin() + vLate.size() / 2, vLate.end());
    EXPECT_LT(vLate[vLate.size() / 2], 20.0);
}

// Random playing: play, stop, seek, loops, tempo changes and notes added and removed while
// playing, at random moments. Once stopped, no note is left sounding and nothing more is
// sent.
TEST(MidiPlayerPlayback, RandomOperationsLeaveNoNoteSounding) {
    // The player ticks when the machine lets it, so which notes a seed plays differs from
    // run to run; that the runs play something at all is checked over all seeds.
    size_t nOns = 0;
    for (const uint32_t seed : {7u, 2026u, 31u}) {
        CRig rig;
        ASSERT_TRUE(rig.player);
        std::mt19937 rng(seed);
        auto below = [&rng](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };
        struct CNoteArgs {
            uint32_t nStep;
            uint8_t nNote;
            uint32_t nLength;
        };
        std::vector<CNoteArgs> notes;
        std::vector<double> tempos;
        auto addNote = [&] {
            const CNoteArgs n{below(16) * 240, uint8_t(100 + below(20)), 60 + below(64) * 120};
            rig.Note(n.nStep, n.nNote, n.nLength);
            notes.push_back(n);
        };
        rig.Tempo(0, 1200.0);
        tempos.push_back(1200.0);
        for (int i = 0; i < 30; ++i) addNote();
        rig.player->Play();
        for (int i = 0; i < 120; ++i) {
            switch (below(9)) {
                case 0: rig.player->Play(); break;
                case 1: rig.player->Stop(); break;
                case 2: rig.player->Seek(below(16) * 240); break;
                case 3: {
                    const uint32_t a = below(8) * 480, b = below(9) * 480;
                    rig.player->SetLoop(a, b);  // inactive when b <= a
                    break;
                }
                case 4: {
                    rig.Tempo(0, tempos.back(), false);
                    tempos.push_back(600.0 + below(4) * 600.0);
                    rig.Tempo(0, tempos.back());
                    break;
                }
                case 5:
                case 6: addNote(); break;
                default:
                    if (!notes.empty()) {
                        const size_t k = below(static_cast<uint32_t>(notes.size()));
                        rig.Note(notes[k].nStep, notes[k].nNote, notes[k].nLength, false);
                        notes.erase(notes.begin() + static_cast<std::ptrdiff_t>(k));
                    }
            }
            // A random moment: the clock moves on, the player's tick may or may not run.
            rig.Idle(double(below(40)) / 1000.0);
        }
        rig.player->Play();  // stopped while notes sound
        rig.Pass(double(100 + below(200)) / 1000.0);
        rig.player->Stop();
        // Everything due has gone out once the clock stands still; the note-offs of the
        // stop are sent at once.
        for (int i = 0; i < 50 && !rig.StaysAt(100, 119, rig.Sent(100, 119).size()); ++i) {
        }
        const auto sent = rig.Sent(100, 119);
        nOns += rig.Ons(sent).size();
        std::map<uint8_t, bool> sounding;
        for (const auto& m : sent) sounding[m.vBytes[1]] = (m.vBytes[0] & 0xF0) == 0x90 && m.vBytes[2] > 0;
        for (const auto& [note, on] : sounding) EXPECT_FALSE(on) << "seed " << seed << " note " << int(note);
        rig.Idle(1.0);
        EXPECT_TRUE(rig.StaysAt(100, 119, sent.size())) << seed;  // silence once stopped
        rig.player.reset();
    }
    EXPECT_GT(nOns, 0u) << "no seed played a note";
}
