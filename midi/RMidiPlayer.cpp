#include "midi/RMidiPlayer.h"

#include <boost/asio/steady_timer.hpp>
#include <cmath>
#include <future>
#include <map>
#include <set>

#include "audio/PatchBay.h"
#include "midi/RSmf.h"
#include "model/SolutionDb.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RReaper.h"
#include "runtime/RThreadPriority.h"

namespace DUve {

using MidiPlayer::CScore;
using MidiPlayer::CScorePtr;

namespace {
using CClock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(1000 / 15);  // 66 ms
constexpr auto kFlushDelay = std::chrono::milliseconds(10);
constexpr double kLookAhead = 0.2;  // seconds

const CRTempoTrack& EmptyTempo() {
    static const CRTempoTrack empty;
    return empty;
}

// Runs a handler; an exception ends that handler only, never the service.
template <class F>
void Guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        DebugTrace("\nMIDI player: %s failed: %s", what, e.what());
    } catch (...) {
        DebugTrace("\nMIDI player: %s failed", what);
    }
}

// The song time at which `step` begins: the first tick that converts back to that step,
// so that a window starting there neither repeats the step before nor skips this one.
int64_t TimeOfStep(const CRTempoTrack& tempo, uint32_t step, int64_t nFrequency) {
    int64_t t = int64_t(std::ceil(tempo.StepToSeconds(step) * double(nFrequency)));
    for (int i = 0; i < 64 && tempo.SecondsToStep(double(t) / double(nFrequency)).first < step; ++i)
        ++t;
    return t;
}

MidiPlayer::CBytes MakeBytes(std::vector<uint8_t> v) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(v));
}
}  // namespace

int64_t CRMidiPlayer::Counter() {
    return int64_t(std::llround(AudioDevice::ClockSeconds() * double(kFrequency)));
}

// ======================================================================= state

const CRTempoTrack& CRMidiPlayer::CState::Tempo() const {
    return tempoTrack ? *tempoTrack : EmptyTempo();
}
double CRMidiPlayer::CState::LoopBeginSeconds() const {
    return Tempo().StepToSeconds(nLoopBegin);
}
double CRMidiPlayer::CState::LoopEndSeconds() const {
    return Tempo().StepToSeconds(nLoopEnd);
}

CRMidiPlayer::CState::CFolded CRMidiPlayer::CState::Fold(int64_t nTime) const {
    if (nTime < 0) return {};
    const double s = double(nTime) / double(kFrequency);
    const double b = LoopBeginSeconds();
    const double e = LoopEndSeconds();
    if (e > b && s >= e) {
        CFolded f;
        f.nPass = int64_t(std::trunc((s - b) / (e - b)));
        f.dSeconds = b + std::fmod(s - b, e - b);
        f.nTime = int64_t(f.dSeconds * double(kFrequency));
        return f;
    }
    return {nTime, s, 0};
}

CRMidiPlayer::CState::CPosition CRMidiPlayer::CState::PositionAt(int64_t nTime) const {
    const CFolded f = Fold(nTime);
    CPosition p;
    p.nTime = f.nTime;
    p.dSeconds = f.dSeconds;
    p.nPass = f.nPass;
    const auto [step, tempo] = Tempo().SecondsToStep(f.dSeconds);
    p.nStep = step;
    p.dTempo = Tempo().empty() ? CRTempoTrack::kDefaultTempo : tempo;
    return p;
}

// ======================================================================= playback service

namespace MidiPlayer {

class CPlayer {
public:
    class CMain;
    CPlayer(std::weak_ptr<CRMidiPlayer> owner, CRMidiPlayer::CTickCount ticks, CRMidiPlayer::CTempoTrackPtr tempo,
            CScorePtr score);
    ~CPlayer();
    bool IsStarted() const;
    template <class F>
    void Post(F&& f);

private:
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

class CPlayer::CMain {
public:
    using CState = CRMidiPlayer::CState;

    // Starts with the player service's first snapshots, so that an unchanged master is
    // recognised as the data already in use.
    CMain(boost::asio::io_context& io, std::weak_ptr<CRMidiPlayer> owner, CRMidiPlayer::CTickCount ticks,
          CRMidiPlayer::CTempoTrackPtr tempo, CScorePtr score)
        : m_io(io), m_owner(std::move(owner)), m_ticks(std::move(ticks)), m_score(std::move(score)) {
        auto state = std::make_shared<CState>();
        state->nBaseCounter = CRMidiPlayer::Counter();
        state->tempoTrack = std::move(tempo);
        m_state = state;
    }
    ~CMain() { m_context.reset(); }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CMain> table;
        return table;
    }

    void AddNotify(const CRThreadMessage::CSender& sender) { m_notify.Add(sender); }

    void Play() {
        if (m_context) return;
        auto context = std::make_shared<CContext>(m_io);
        const int64_t now = CRMidiPlayer::Counter();
        auto state = std::make_shared<CState>(*m_state);
        state->nBaseTime = m_state->Fold(m_state->SongTime(now)).nTime;
        state->nBaseCounter = now;
        state->bPlaying = true;
        context->nDispatched = state->SongTime(now);
        m_context = context;
        Publish(state);
        PrepareSinks(*m_score);
        context->next = CClock::now();
        Arm(context);
    }

    void Stop() {
        if (!m_context) return;
        NoteOffsInFlight();
        const int64_t now = CRMidiPlayer::Counter();
        m_context.reset();  // deletes the device queues
        auto state = std::make_shared<CState>(*m_state);
        state->nBaseTime = m_state->Fold(m_state->SongTime(now)).nTime;
        state->nBaseCounter = now;
        state->bPlaying = false;
        Publish(state);
    }

    void Seek(uint32_t nStep) {
        const int64_t t = TimeOfStep(m_state->Tempo(), nStep, CRMidiPlayer::kFrequency);
        if (m_context) {
            NoteOffsInFlight();
            // What was handed out ahead belongs to the old position: the device queues go
            // (their note-offs leave at once, the rest never plays) and the new position
            // gets fresh ones, or up to the look-ahead of old music would sound after the
            // seek and its note-offs could cut the new notes.
            m_context->queues = CPendingQueues();
            m_context->nDispatched = t;
        }
        auto state = std::make_shared<CState>(*m_state);
        state->nBaseCounter = CRMidiPlayer::Counter();
        state->nBaseTime = t;
        Publish(state);
    }

    void SetLoop(uint32_t nBegin, uint32_t nEnd) {
        if (m_context) NoteOffsInFlight();
        const int64_t now = CRMidiPlayer::Counter();
        const int64_t nSong = m_state->SongTime(now);
        auto state = std::make_shared<CState>(*m_state);
        state->nBaseCounter = now;
        state->nBaseTime = m_state->Fold(nSong).nTime;
        state->nLoopBegin = nBegin;
        state->nLoopEnd = nEnd;
        // The song time restarts at the folded position: the dispatcher keeps its lead
        // over it, or it would wait out every pass already played before sending again.
        if (m_context) m_context->nDispatched = state->nBaseTime + (m_context->nDispatched - nSong);
        Publish(state);
    }

    void SetTempoTrack(const CRMidiPlayer::CTempoTrackPtr& tempo) {
        if (!tempo || tempo == m_state->tempoTrack) return;
        auto state = std::make_shared<CState>(*m_state);
        state->tempoTrack = tempo;
        if (m_context) {
            // The step the dispatcher reached stays that step under the new map, and stays
            // at the same lead over the clock, so the timeline runs on without a jump.
            const int64_t now = CRMidiPlayer::Counter();
            const int64_t nLead = m_context->nDispatched - m_state->SongTime(now);
            const auto folded = m_state->Fold(m_context->nDispatched);
            const uint32_t step = m_state->Tempo().SecondsToStep(folded.dSeconds).first;
            const int64_t t = TimeOfStep(*tempo, step, CRMidiPlayer::kFrequency);
            state->nBaseCounter = now;
            state->nBaseTime = t - nLead;
            m_context->nDispatched = t;
        }
        Publish(state);
    }

    void SetScore(const CScorePtr& score) {
        if (!score || score == m_score) return;
        if (m_context) {
            const uint32_t s = DispatchedStep();
            if (s > 0) {
                const double dTime = m_state->AbsoluteTime(m_context->nDispatched);
                const auto next = score->GetSoundingNotes(s - 1);
                for (const auto& note : m_score->GetSoundingNotes(s - 1)) {
                    bool bKept = false;
                    for (const auto& n : next)
                        if (n->midiIn == note->midiIn && n->nChannel == note->nChannel &&
                            n->nNote == note->nNote)
                            bKept = true;
                    if (!bKept) note->SendNoteOff(m_context->queues, dTime);
                }
            }
        }
        m_score = score;
        if (m_context) PrepareSinks(*m_score);
    }

private:
    struct CContext {
        explicit CContext(boost::asio::io_context& io) : timer(io) {}
        boost::asio::steady_timer timer;
        CClock::time_point next;
        int64_t nDispatched = 0;
        CPendingQueues queues;
    };

    void Arm(const std::shared_ptr<CContext>& context) {
        context->timer.expires_at(context->next);
        std::weak_ptr<CContext> weak = context;
        context->timer.async_wait([this, weak](const boost::system::error_code& ec) {
            auto context = weak.lock();
            // A cancelled wait, or a context that ended while the expiry was queued.
            if (ec || !context || context != m_context) return;
            Guarded("tick", [&] { Tick(context); });
        });
    }

    void Tick(const std::shared_ptr<CContext>& context) {
        context->next += kTick;
        Arm(context);
        const int64_t t1 = m_state->SongTime(CRMidiPlayer::Counter()) +
                           int64_t(kLookAhead * double(CRMidiPlayer::kFrequency));
        const int64_t t0 = context->nDispatched;
        if (t1 > t0) {
            Dispatch(*context, t0, t1);
            context->nDispatched = t1;
        }
        if (m_ticks) m_ticks->fetch_add(1, std::memory_order_release);
    }

    void Dispatch(CContext& context, int64_t t0, int64_t t1) {
        const CState& st = *m_state;
        const CRTempoTrack& tempo = st.Tempo();
        const auto f0 = st.Fold(t0);
        const auto f1 = st.Fold(t1);
        const double dOffset =
            double(st.nBaseCounter - st.nBaseTime) / double(CRMidiPlayer::kFrequency);
        const double dLoop = st.LoopEndSeconds() - st.LoopBeginSeconds();
        if (f1.nPass >= f0.nPass) {
            for (int64_t p = f0.nPass; p <= f1.nPass; ++p) {
                const double dPass = double(p) * dLoop + dOffset;
                const uint32_t first =
                    p == f0.nPass ? tempo.SecondsToStep(f0.dSeconds).first : st.nLoopBegin;
                const uint32_t end =
                    p == f1.nPass ? tempo.SecondsToStep(f1.dSeconds).first : st.nLoopEnd;
                if (p > f0.nPass && st.nLoopEnd > 0) {
                    const double dWrap = st.LoopBeginSeconds() + dPass;
                    for (const auto& note : m_score->GetSoundingNotes(st.nLoopEnd - 1))
                        note->SendNoteOff(context.queues, dWrap);
                }
                for (const auto& e : m_score->GetEvents(first, end))
                    e->Play(context.queues, tempo.StepToSeconds(e->nStep) + dPass);
            }
        }
        context.queues.Watermark(st.AbsoluteTime(t1));
    }

    // Every sink the score plays gets its queue of this context now, marked as delivered
    // up to what has been dispatched, not when its first event is dispatched: a device
    // renders ahead only as far as every queue it holds has been marked, so an instrument
    // that is silent at first cannot run ahead of its first note and play it late.
    void PrepareSinks(const CScore& score) {
        std::set<const AudioDevice::CDevice*> seen;
        const double dTime = m_state->AbsoluteTime(m_context->nDispatched);
        for (const auto& e : score) {
            if (!e->midiIn || !seen.insert(e->midiIn->Device().get()).second) continue;
            m_context->queues.Push(*e->midiIn, dTime, nullptr);
        }
    }

    uint32_t DispatchedStep() const {
        return m_state->Tempo().SecondsToStep(m_state->Fold(m_context->nDispatched).dSeconds).first;
    }

    void NoteOffsInFlight() {
        const uint32_t s = DispatchedStep();
        if (s == 0) return;
        const double dTime = m_state->AbsoluteTime(m_context->nDispatched);
        for (const auto& note : m_score->GetSoundingNotes(s - 1))
            note->SendNoteOff(m_context->queues, dTime);
    }

    void Publish(std::shared_ptr<const CState> state) {
        m_state = std::move(state);
        m_notify.Send(std::make_shared<CRMidiPlayer::CNotifyStateChanged>(m_owner, m_state));
    }

    boost::asio::io_context& m_io;
    std::weak_ptr<CRMidiPlayer> m_owner;
    CRMidiPlayer::CTickCount m_ticks;
    std::shared_ptr<const CState> m_state;
    CScorePtr m_score;
    CRThreadMessage::CListSender m_notify;
    std::shared_ptr<CContext> m_context;
};

CPlayer::CPlayer(std::weak_ptr<CRMidiPlayer> owner, CRMidiPlayer::CTickCount ticks,
                 CRMidiPlayer::CTempoTrackPtr tempo, CScorePtr score)
    : m_worker(std::make_unique<CRWorkerThreadT<CMain>>(
          [owner, ticks, tempo, score](boost::asio::io_context& io) {
              // The dispatch keeps the instruments ahead of the sound: a busy machine must
              // not hold it back.
              RaiseCallingThreadForTimeCriticalWork();
              return std::make_unique<CMain>(io, owner, ticks, tempo, score);
          })) {}
CPlayer::~CPlayer() = default;
bool CPlayer::IsStarted() const {
    return m_worker->IsStarted();
}
template <class F>
void CPlayer::Post(F&& f) {
    m_worker->Post(
        [f = std::forward<F>(f)](CMain& m) mutable { Guarded("command", [&] { f(m); }); });
}

}  // namespace MidiPlayer

// ======================================================================= player service

class CRMidiPlayer::CMain {
public:
    CMain(boost::asio::io_context& io, std::weak_ptr<CRMidiPlayer> owner, CTickCount ticks)
        : m_io(io),
          m_owner(owner),
          m_patchBay(AudioDevice::CPatchBay::EnsureInstance()),
          m_player(std::make_unique<MidiPlayer::CPlayer>(owner, std::move(ticks), TempoSnapshot(),
                                                         m_score.GetSnapshot())) {}
    ~CMain() {
        // A pending flush is dropped, not run.
        if (m_flush) m_flush->cancel();
        m_flush.reset();
    }
    bool IsStarted() const { return m_player->IsStarted(); }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<CMain> t;
            t.Add<Request::CEventMidiNote>(
                [](CMain& m, const std::shared_ptr<const Request::CEventMidiNote>& r) {
                    Guarded("note", [&] { m.OnNote(*r); });
                });
            t.Add<Request::CEventMidi>(
                [](CMain& m, const std::shared_ptr<const Request::CEventMidi>& r) {
                    Guarded("event", [&] {
                        m.Apply(r->bAdd, std::make_shared<const CScore::CEventMidiData>(
                                             r->nStep, m.Resolve(r->sInstrument), r->vBytes));
                        m.ArmFlush();
                    });
                });
            t.Add<Request::CEventMidiSysEx>(
                [](CMain& m, const std::shared_ptr<const Request::CEventMidiSysEx>& r) {
                    Guarded("exclusive", [&] {
                        m.Apply(r->bAdd, std::make_shared<const CScore::CEventMidiSysEx>(
                                             r->nStep, m.Resolve(r->sInstrument), r->vData));
                        m.ArmFlush();
                    });
                });
            t.Add<Request::CEventTempo>(
                [](CMain& m, const std::shared_ptr<const Request::CEventTempo>& r) {
                    Guarded("tempo", [&] {
                        m.m_tempoSnapshot.reset();
                        if (r->bAdd)
                            m.m_tempo.Insert(r->nStep, r->dTempo);
                        else
                            m.m_tempo.Remove(r->nStep, r->dTempo);
                        m.ArmFlush();
                    });
                });
            t.Add<Request::CAddNotify>(
                [](CMain& m, const std::shared_ptr<const Request::CAddNotify>& r) {
                    m.m_player->Post(
                        [s = r->sender](MidiPlayer::CPlayer::CMain& p) { p.AddNotify(s); });
                });
            t.Add<Request::CExportSmf>(
                [](CMain& m, const std::shared_ptr<const Request::CExportSmf>& r) {
                    Guarded("export", [&] { m.Export(*r); });
                });
            t.Add<Request::CPlay>([](CMain& m, const std::shared_ptr<const Request::CPlay>&) {
                m.Command([](MidiPlayer::CPlayer::CMain& p) { p.Play(); });
            });
            t.Add<Request::CStop>([](CMain& m, const std::shared_ptr<const Request::CStop>&) {
                m.Command([](MidiPlayer::CPlayer::CMain& p) { p.Stop(); });
            });
            t.Add<Request::CSeek>([](CMain& m, const std::shared_ptr<const Request::CSeek>& r) {
                m.Command([n = r->nStep](MidiPlayer::CPlayer::CMain& p) { p.Seek(n); });
            });
            t.Add<Request::CSetLoop>(
                [](CMain& m, const std::shared_ptr<const Request::CSetLoop>& r) {
                    m.Command([b = r->nBegin, e = r->nEnd](MidiPlayer::CPlayer::CMain& p) {
                        p.SetLoop(b, e);
                    });
                });
            return t;
        }();
        return table;
    }

private:
    // The MIDI sink an instrument name stands for; null when it names no MIDI device.
    MidiPlayer::CMidiInPtr Resolve(const std::u16string& sInstrument) {
        const auto id = AudioDevice::CControl::CIdInstances::Get().Find(sInstrument);
        if (!id || !AudioDevice::CControl::AcceptsMidi(*id)) return nullptr;
        auto& sink = m_sinks[id.get()];
        if (!sink) {
            auto device = id->GetDevice(true);
            if (!device) return nullptr;
            // An instrument is started here, before any queue of a play can reach it (a
            // plug-in forgets queues made before it was started); the patch bay's own
            // start, which follows, is then ignored.
            if (id->Kind() == AudioDevice::EKind::Vst)
                device->PostRequest(std::make_shared<const AudioDevice::Request::COpen>(
                    AudioDevice::CPatchBay::kSampleRate, AudioDevice::CPatchBay::kVstBlock,
                    AudioDevice::CPatchBay::kVstLookAhead));
            sink = std::make_shared<const MidiPlayer::CMidiIn>(std::move(device));
        }
        m_patchBay->PostRequest(
            std::make_shared<AudioDevice::CPatchBay::Request::CConnectDefault>(sink->Device()));
        return sink;
    }

    void OnNote(const Request::CEventMidiNote& r) {
        const auto sink = Resolve(r.sInstrument);
        const uint8_t ch = r.nChannel & 0x0F;
        const uint8_t note = r.nNote & 0x7F;
        const uint8_t vel = r.nVelocity & 0x7F;
        // The end is kept within the step range.
        const uint32_t nEnd =
            uint32_t(std::min<uint64_t>(uint64_t(r.nStep) + r.nLength, UINT32_MAX));
        Apply(r.bAdd, std::make_shared<const CScore::CEventMidiNoteOn>(r.nStep, sink, ch, note, vel,
                                                                       r.nLength));
        Apply(r.bAdd, std::make_shared<const CScore::CEventMidiNoteOff>(nEnd, sink, ch, note, vel));
        ArmFlush();
    }

    void Apply(bool bAdd, CScore::CEventPtr event) {
        if (bAdd)
            m_score.Add(std::move(event));
        else
            m_score.Remove(event);
    }

    CTempoTrackPtr TempoSnapshot() {
        if (!m_tempoSnapshot) m_tempoSnapshot = std::make_shared<const CRTempoTrack>(m_tempo);
        return m_tempoSnapshot;
    }

    void ArmFlush() {
        if (m_flush) return;
        m_flush = std::make_unique<boost::asio::steady_timer>(m_io, kFlushDelay);
        m_flush->async_wait([this](const boost::system::error_code& ec) {
            if (ec) return;
            Guarded("flush", [&] { Flush(); });
            m_flush.reset();
        });
    }

    void Flush() {
        m_player->Post([tempo = TempoSnapshot(),
                        score = m_score.GetSnapshot()](MidiPlayer::CPlayer::CMain& p) {
            p.SetTempoTrack(tempo);
            p.SetScore(score);
        });
    }

    template <class F>
    void Command(F&& f) {
        Guarded("command", [&] {
            Flush();
            m_player->Post(std::forward<F>(f));
        });
    }

    void Export(const Request::CExportSmf& r) {
        CRSmf smf;
        const auto chunk = smf.AddTrackChunk();
        for (const auto& point : *TempoSnapshot())
            chunk->Insert(CRSmfEventMeta::MakeTempo(point.nStep, point.dTempo));
        const auto score = m_score.GetSnapshot();
        for (const auto& e : score->GetEvents(0, UINT32_MAX)) {
            const auto bytes = e->GetBytes();
            if (bytes && !bytes->empty()) chunk->AddEvent(e->nStep, *bytes);
        }
        auto file = std::make_shared<const std::vector<uint8_t>>(smf.Write());
        if (!r.callback) return;
        if (r.reply.Lock()) {
            r.reply.Send(std::make_shared<CExportReply>(r.callback, std::move(file)));
        } else if (r.reply == CRThreadMessage::CSender()) {
            r.callback(std::move(file));
        }
    }

    boost::asio::io_context& m_io;
    std::weak_ptr<CRMidiPlayer> m_owner;
    std::shared_ptr<AudioDevice::CPatchBay> m_patchBay;
    MidiPlayer::CScoreMaster m_score;
    CRTempoTrack m_tempo;
    CTempoTrackPtr m_tempoSnapshot;
    std::unique_ptr<boost::asio::steady_timer> m_flush;
    std::map<const AudioDevice::CDevice::CId*, MidiPlayer::CMidiInPtr> m_sinks;
    // Last: made from the first snapshots above, and stopped before the sinks go.
    std::unique_ptr<MidiPlayer::CPlayer> m_player;
};

// ======================================================================= CRMidiPlayer

std::shared_ptr<CRMidiPlayer> CRMidiPlayer::Create() {
    std::shared_ptr<CRMidiPlayer> player(new CRMidiPlayer());
    if (!player->Start()) return nullptr;
    return player;
}

bool CRMidiPlayer::Start() {
    std::weak_ptr<CRMidiPlayer> self = weak_from_this();
    m_worker = std::make_unique<CRWorkerThreadT<CMain>>([self, ticks = m_ticks](boost::asio::io_context& io) {
        auto main = std::make_unique<CMain>(io, self, ticks);
        if (!main->IsStarted()) main.reset();
        return main;
    });
    return m_worker->IsStarted();
}

CRMidiPlayer::~CRMidiPlayer() = default;

void CRMidiPlayer::PostRequests(CRThreadMessage::CBatch requests) {
    if (m_worker) m_worker->PostRequests(std::move(requests));
}
void CRMidiPlayer::AddNotify(CRThreadMessage::CSender receiver) {
    PostRequest(std::make_shared<Request::CAddNotify>(std::move(receiver)));
}
void CRMidiPlayer::RunOnServiceThread(std::function<void()> f) {
    if (m_worker && f) m_worker->Post([f = std::move(f)](CMain&) { f(); });
}

void CRMidiPlayer::ExportSmf(std::function<void(CFileBytes)> callback,
                             CRThreadMessage::CSender reply) {
    PostRequest(std::make_shared<Request::CExportSmf>(std::move(callback), std::move(reply)));
}
void CRMidiPlayer::Play() {
    PostRequest(std::make_shared<Request::CPlay>());
}
void CRMidiPlayer::Stop() {
    PostRequest(std::make_shared<Request::CStop>());
}
void CRMidiPlayer::Seek(uint32_t nStep) {
    PostRequest(std::make_shared<Request::CSeek>(nStep));
}
void CRMidiPlayer::SetLoop(uint32_t nBegin, uint32_t nEnd) {
    PostRequest(std::make_shared<Request::CSetLoop>(nBegin, nEnd));
}

void CRMidiPlayer::AcceptExportReplies(const CRThreadBridge::CReceiver& receiver) {
    CRThreadMessage::AddHandler<CExportReply>(receiver,
                                              [](const std::shared_ptr<const CExportReply>& r) {
                                                  Guarded("export reply", [&] {
                                                      if (r->callback) r->callback(r->vBytes);
                                                  });
                                              });
}

// ======================================================================= records

CRThreadMessage::CMessagePtr CRMidiPlayer::MakeRecord(bool bAdd, const CRSeq::Property::CPort& port,
                                                      uint32_t nStep,
                                                      const CRSeq::Property::CEventBase& event) {
    namespace P = CRSeq::Property;
    using CMake = std::function<CRThreadMessage::CMessagePtr(bool, const P::CPort&, uint32_t,
                                                             const P::CEventBase&)>;
    // One handler per kind that sounds, keyed by the kind's serialize id.
    static const std::map<uint16_t, CMake> table = [] {
        std::map<uint16_t, CMake> t;
        t[P::CEventNote::SerializeId()] =
            [](bool add, const P::CPort& p, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            const auto& n = static_cast<const P::CEventNote&>(e);
            return std::make_shared<Request::CEventMidiNote>(
                add, step, p.sInstrument, uint8_t(p.nChannel & 0x0F), uint8_t(n.nNote & 0x7F),
                uint8_t(n.nVelocity & 0x7F), n.nLength);
        };
        t[P::CEventProgramChange::SerializeId()] =
            [](bool add, const P::CPort& p, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            const auto& c = static_cast<const P::CEventProgramChange&>(e);
            return std::make_shared<Request::CEventMidi>(
                add, step, p.sInstrument,
                MakeBytes({uint8_t(0xC0 | (p.nChannel & 0x0F)), uint8_t(c.nProgram & 0x7F)}));
        };
        t[P::CEventControlChange::SerializeId()] =
            [](bool add, const P::CPort& p, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            const auto& c = static_cast<const P::CEventControlChange&>(e);
            return std::make_shared<Request::CEventMidi>(
                add, step, p.sInstrument,
                MakeBytes({uint8_t(0xB0 | (p.nChannel & 0x0F)), uint8_t(c.nControl & 0x7F),
                           uint8_t(c.nValue & 0x7F)}));
        };
        t[P::CEventPitchBend::SerializeId()] =
            [](bool add, const P::CPort& p, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            const auto& b = static_cast<const P::CEventPitchBend&>(e);
            const int v = int(b.nBend) + 8192;
            return std::make_shared<Request::CEventMidi>(
                add, step, p.sInstrument,
                MakeBytes({uint8_t(0xE0 | (p.nChannel & 0x0F)), uint8_t(v & 0x7F),
                           uint8_t((v >> 7) & 0x7F)}));
        };
        t[P::CEventExclusive::SerializeId()] =
            [](bool add, const P::CPort& p, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            const auto& x = static_cast<const P::CEventExclusive&>(e);
            return std::make_shared<Request::CEventMidiSysEx>(add, step, p.sInstrument,
                                                              MakeBytes(x.vData));
        };
        t[P::CEventTempo::SerializeId()] =
            [](bool add, const P::CPort&, uint32_t step,
               const P::CEventBase& e) -> CRThreadMessage::CMessagePtr {
            return std::make_shared<Request::CEventTempo>(
                add, step, static_cast<const P::CEventTempo&>(e).dTempo);
        };
        return t;
    }();
    const auto it = table.find(event.GetSerializeId());
    if (it == table.end()) return nullptr;
    return it->second(bAdd, port, nStep, event);
}

CRThreadMessage::CBatch CRMidiPlayer::MakeRecords(CRSeqSolution& solution,
                                                  const CRUid& idSequence) {
    CRThreadMessage::CBatch batch;
    for (const auto& [track, sequence, port] : solution.GetPortsOfSequence(idSequence)) {
        if (!port || !port->property.bEnable) continue;
        for (const auto& event : solution.GetEventsOfPort(port->idPort)) {
            if (!event || !event->property) continue;
            if (auto record = MakeRecord(true, port->property, event->nStep, *event->property))
                batch.push_back(std::move(record));
        }
    }
    return batch;
}

// ======================================================================= export helper

std::vector<uint8_t> ExportSmf(CSolutionDb& db, const CRUid& idSequence,
                               std::chrono::milliseconds timeout,
                               const std::function<void(CRMidiPlayer&)>& prepare) {
    try {
        CRThreadMessage::CBatch records;
        if (const auto solution = CRSeqSolution::LoadSequences(db, CRUidSet{idSequence}))
            records = CRMidiPlayer::MakeRecords(*solution, idSequence);
        auto player = CRMidiPlayer::Create();
        if (!player) return {};
        // Shared with the callback, which may run after a time-out has given up on it.
        auto done = std::make_shared<std::promise<CRMidiPlayer::CFileBytes>>();
        auto answer = done->get_future();
        if (prepare) prepare(*player);
        player->PostRequests(std::move(records));
        player->ExportSmf(
            [done](CRMidiPlayer::CFileBytes bytes) { done->set_value(std::move(bytes)); });
        const bool bAnswered = answer.wait_for(timeout) == std::future_status::ready;
        if (!bAnswered) {
            // Destroying the player joins its threads, which would wait for the whole
            // render: leave that to the reaper and answer now.
            CRReaper::Instance().Release(std::move(player));
            return {};
        }
        player.reset();
        const auto bytes = answer.get();
        return bytes ? *bytes : std::vector<uint8_t>();
    } catch (const std::exception& e) {
        DebugTrace("\nExportSmf failed: %s", e.what());
        return {};
    }
}

}  // namespace DUve
