#include "audio/DeviceKinds.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>

#include <boost/asio/steady_timer.hpp>

#include "audio/RateConvert.h"
#include "audio/RealtimeMix.h"
#include "audio/SampleConvert.h"

#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice {

namespace {

using CClock = std::chrono::steady_clock;

// Process-clock seconds in whole units of `dRate` per second; times before the epoch,
// NaN and overflow are clamped rather than converted with undefined behaviour.
uint64_t ToUnits(double dSeconds, double dRate) {
    const double d = std::trunc(dSeconds * dRate);
    if (!(d > 0.0)) return 0;
    if (d >= 18446744073709549568.0) return std::numeric_limits<uint64_t>::max() - 1;
    return static_cast<uint64_t>(d);
}

template <class CKind, class CInfo, class FMake>
typename CKind::CInstances::CIdList MakeIds(const std::vector<CInfo>& infos, FMake make) {
    using CId = typename CKind::CDeviceId;
    std::vector<std::shared_ptr<const CId>> ids;
    for (const auto& info : infos) {
        auto id = make(info);
        // The same device reported twice is listed once.
        const bool bDuplicate = std::any_of(ids.begin(), ids.end(), [&](const auto& other) {
            return !typename CId::CLessNo()(*id, *other) && !typename CId::CLessNo()(*other, *id);
        });
        if (!bDuplicate) ids.push_back(std::move(id));
    }
    std::stable_sort(ids.begin(), ids.end(),
                     [](const auto& a, const auto& b) { return typename CId::CLessNo()(*a, *b); });
    return ids;
}

template <class CKind>
std::shared_ptr<typename CKind::CInstance> OpenInstance(std::shared_ptr<const typename CKind::CDeviceId> id) {
    auto instance = std::make_shared<typename CKind::CInstance>(std::move(id));
    instance->Start();
    return instance;
}

}  // namespace

// ======================================================================= MIDI output

class CDeviceMidiOut::CMain {
public:
    using CDeviceId = CDeviceMidiOut::CDeviceId;

    CMain(boost::asio::io_context& io, std::shared_ptr<const CDeviceId> id, std::weak_ptr<const void>)
        : m_id(std::move(id)), m_timer(io), m_queue(ClockNanoseconds()) {
        m_port = Backends().pMidiOut->Open(m_id->nNo);
        DebugTrace(m_port ? "\nInitialized [%s]" : "\nError! Initialize [%s]", Utf16ToUtf8(m_id->sName).c_str());
        if (!m_port) DeviceLog("MIDI output [%s] could not be opened", Utf16ToUtf8(m_id->sName).c_str());
        m_own = m_queue.CreateTrack();
        // Ticks fall just after each whole millisecond of the process clock: a message goes
        // out as soon as its millisecond has passed, not up to a tick later.
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(CClock::now() - ClockEpoch());
        m_next = ClockEpoch() + since + std::chrono::milliseconds(1) + std::chrono::microseconds(20);
        Arm();
    }
    ~CMain() {
        m_timer.cancel();
        if (m_port) DebugTrace("\nUninitialized [%s]", Utf16ToUtf8(m_id->sName).c_str());
    }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<CMain> t;
            t.Add<Request::CCreateQueueMidi>([](CMain& m, const std::shared_ptr<const Request::CCreateQueueMidi>& r) {
                m.m_tracks[r->id] = m.m_queue.CreateTrack();
            });
            t.Add<Request::CPushMidi>([](CMain& m, const std::shared_ptr<const Request::CPushMidi>& r) {
                const auto it = m.m_tracks.find(r->id);
                if (it != m.m_tracks.end()) CQueueMidi::Push(*it->second, ToUnits(r->dTime, 1e9), r->vBytes);
            });
            t.Add<Request::CDeleteQueue>([](CMain& m, const std::shared_ptr<const Request::CDeleteQueue>& r) {
                const auto it = m.m_tracks.find(r->id);
                if (it == m.m_tracks.end()) return;
                // Sounding notes end at once: only the note-offs survive, due on the next
                // tick and stamped with the last moment already handed to the port (a
                // scheduling port may hold note-ons that have not sounded yet).
                const uint64_t nHanded = m.m_queue.Position() ? m.m_queue.Position() - 1 : 0;
                for (const auto& e : CQueueMidi::TakeNoteOffs(*it->second))
                    CQueueMidi::Push(*m.m_own, nHanded, e.vBytes);
                m.m_tracks.erase(it);
            });
            return t;
        }();
        return table;
    }

private:
    void Arm() {
        m_timer.expires_at(m_next);
        m_timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) Tick();
        });
    }

    void Tick() {
        m_next += std::chrono::milliseconds(1);
        Arm();
        // A port that schedules gets each message its lead ahead of the stamp; any other
        // port gets it once its time has passed. The lead may change with the port's period.
        const uint64_t nUpTo = ClockNanoseconds() + (m_port ? m_port->LeadNs() : 0);
        const uint64_t nSpan = nUpTo > m_queue.Position() ? nUpTo - m_queue.Position() : 0;
        for (const auto& e : m_queue.Take(nSpan)) {
            if (!e.vBytes || e.vBytes->empty() || !m_port) continue;
            m_port->Send(*e.vBytes, e.nTime);
        }
    }

    std::shared_ptr<const CDeviceId> m_id;
    boost::asio::steady_timer m_timer;
    CClock::time_point m_next;
    std::unique_ptr<IMidiOutPort> m_port;
    CQueueMidi m_queue;
    CQueueMidi::CTrackPtr m_own;
    std::map<CQueueId, CQueueMidi::CTrackPtr> m_tracks;
};

CDevicePtr CDeviceMidiOut::CDeviceId::GetDevice(bool bCreate) const {
    return CInstances::Get().GetDevice(*this, bCreate);
}

CDeviceMidiOut::CInstances::CIdList CDeviceMidiOut::Enumerate() {
    return MakeIds<CDeviceMidiOut>(Backends().pMidiOut->Enumerate(), [](const CMidiOutPortInfo& info) {
        return std::make_shared<const CDeviceId>(info.nNo, info.sName);
    });
}

std::shared_ptr<CDeviceMidiOut::CInstance> CDeviceMidiOut::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceMidiOut>(std::move(id));
}

// ======================================================================= plug-ins

std::u16string CDeviceVst::CDeviceId::BaseName() const {
    if (!sEffectName.empty()) return sEffectName;
    const size_t nSlash = sPath.find_last_of(u"/\\");
    std::u16string sFile = nSlash == std::u16string::npos ? sPath : sPath.substr(nSlash + 1);
    const size_t nDot = sFile.find_last_of(u'.');
    if (nDot != std::u16string::npos && nDot > 0) sFile.resize(nDot);
    return sFile;
}

class CDeviceVst::CMain {
public:
    using CDeviceId = CDeviceVst::CDeviceId;

    CMain(boost::asio::io_context& io, std::shared_ptr<const CDeviceId> id, std::weak_ptr<const void> instance)
        : m_id(std::move(id)), m_instance(std::move(instance)), m_timer(io) {
        m_plugin = Backends().pVst->Load(m_id->sPath);
        if (!m_plugin) DebugTrace("\nplug-in could not be loaded [%s]", Utf16ToUtf8(m_id->sPath).c_str());
    }
    ~CMain() { m_timer.cancel(); }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<CMain> t;
            t.Add<Request::CAddNotify>([](CMain& m, const std::shared_ptr<const Request::CAddNotify>& r) {
                m.m_subscribers.Add(r->sender);
            });
            t.Add<Request::COpen>([](CMain& m, const std::shared_ptr<const Request::COpen>& r) { m.Open(*r); });
            t.Add<Request::CCreateQueueMidi>([](CMain& m, const std::shared_ptr<const Request::CCreateQueueMidi>& r) {
                if (m.m_context) m.m_context->midiTracks[r->id] = m.m_context->midi.CreateTrack();
            });
            t.Add<Request::CPushMidi>([](CMain& m, const std::shared_ptr<const Request::CPushMidi>& r) {
                if (!m.m_context) return;
                const auto it = m.m_context->midiTracks.find(r->id);
                if (it != m.m_context->midiTracks.end())
                    CQueueMidi::Push(*it->second, ToUnits(r->dTime, m.m_context->nSampleRate), r->vBytes);
            });
            t.Add<Request::CCreateQueueAudio>(
                [](CMain& m, const std::shared_ptr<const Request::CCreateQueueAudio>& r) {
                    if (!m.m_context) return;
                    m.m_context->audioTracks[r->id] =
                        m.m_context->audio.CreateTrack(ToUnits(r->dTime, m.m_context->nSampleRate));
                });
            t.Add<Request::CPushAudio>([](CMain& m, const std::shared_ptr<const Request::CPushAudio>& r) {
                if (!m.m_context) return;
                const auto it = m.m_context->audioTracks.find(r->id);
                if (it != m.m_context->audioTracks.end())
                    m.m_context->audio.Push(*it->second, r->nChannel, r->vSamples);
            });
            t.Add<Request::CDeleteQueue>([](CMain& m, const std::shared_ptr<const Request::CDeleteQueue>& r) {
                if (!m.m_context) return;
                auto& c = *m.m_context;
                c.audioTracks.erase(r->id);
                const auto it = c.midiTracks.find(r->id);
                if (it == c.midiTracks.end()) return;
                for (const auto& e : CQueueMidi::TakeNoteOffs(*it->second)) CQueueMidi::Push(*c.own, 0, e.vBytes);
                c.midiTracks.erase(it);
            });
            return t;
        }();
        return table;
    }

private:
    struct CContext {
        CContext(const Request::COpen& r, uint16_t nInputs, uint64_t nPosition)
            : nSampleRate(r.nSampleRate), nBlockSize(r.nBlockSize), dLookAhead(r.dLookAhead), midi(nPosition),
              audio(nInputs, nPosition) {}
        uint32_t nSampleRate;
        uint32_t nBlockSize;
        double dLookAhead;
        CQueueMidi midi;
        std::map<CQueueId, CQueueMidi::CTrackPtr> midiTracks;
        CQueueMidi::CTrackPtr own;
        CQueueAudio audio;
        std::map<CQueueId, CQueueAudio::CTrackPtr> audioTracks;
    };

    void Open(const Request::COpen& r) {
        // Nothing can be called on a plug-in that did not load; a rate or block of 0
        // would make rendering divide by zero or spin without progress.
        if (m_context || !m_plugin || r.nSampleRate == 0 || r.nBlockSize == 0) return;
        m_plugin->Start(r.nSampleRate, r.nBlockSize);
        const uint16_t nInputs = static_cast<uint16_t>(std::clamp(m_id->nInputs, 0, 0xFFFF));
        m_context = std::make_unique<CContext>(r, nInputs, ToUnits(ClockSeconds(), r.nSampleRate));
        m_context->own = m_context->midi.CreateTrack();
        // A mark at the largest time: the own track never holds rendering back.
        CQueueMidi::Push(*m_context->own, std::numeric_limits<uint64_t>::max(), nullptr);
        m_next = CClock::now();
        Arm();
    }

    void Arm() {
        m_timer.expires_at(m_next);
        m_timer.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) Tick();
        });
    }

    void Tick() {
        m_next += std::chrono::milliseconds(10);
        Arm();
        auto& c = *m_context;
        const double dRate = c.nSampleRate;
        while (ClockSeconds() + c.dLookAhead > c.midi.Position() / dRate) {
            if (!c.midi.IsReady(c.nBlockSize) || !c.audio.IsReady(c.nBlockSize)) break;
            const uint64_t nStart = c.midi.Position();
            const auto taken = c.midi.Take(c.nBlockSize);
            const auto inputs = c.audio.Mix(c.nBlockSize);
            if ((m_plugin->Flags() & kFlagSynth) && m_id->nOutputs > 0) {
                std::vector<CVstMidiEvent> events;
                for (const auto& e : taken) {
                    if (!e.vBytes) continue;
                    const int32_t nDelta = e.nTime > nStart ? static_cast<int32_t>(e.nTime - nStart) : 0;
                    for (size_t i = 0; i < e.vBytes->size(); i += 3) {
                        CVstMidiEvent ev;
                        ev.nDeltaFrames = nDelta;
                        for (size_t k = 0; k < 3 && i + k < e.vBytes->size(); ++k) ev.midiData[k] = (*e.vBytes)[i + k];
                        events.push_back(ev);
                    }
                }
                if (!events.empty()) m_plugin->ProcessEvents(events);
            }
            if (m_id->nOutputs > 0) {
                std::vector<std::vector<float>> outputs(m_id->nOutputs, std::vector<float>(c.nBlockSize, 0.0f));
                m_plugin->ProcessReplacing(inputs, outputs, c.nBlockSize);
                std::vector<CSamples> channels;
                for (auto& o : outputs) channels.push_back(std::make_shared<const std::vector<float>>(std::move(o)));
                m_subscribers.Send(std::make_shared<const Notify::CProcessReplacing>(
                    m_instance, m_id, static_cast<int64_t>(nStart), c.nSampleRate, std::move(channels)));
            }
        }
    }

    std::shared_ptr<const CDeviceId> m_id;
    std::weak_ptr<const void> m_instance;
    boost::asio::steady_timer m_timer;
    CClock::time_point m_next;
    std::unique_ptr<IVstPlugin> m_plugin;
    CRThreadMessage::CListSender m_subscribers;
    std::unique_ptr<CContext> m_context;
};

CDevicePtr CDeviceVst::CDeviceId::GetDevice(bool bCreate) const {
    return CInstances::Get().GetDevice(*this, bCreate);
}

CDeviceVst::CInstances::CIdList CDeviceVst::Enumerate() {
    return MakeIds<CDeviceVst>(Backends().pVst->Enumerate(), [](const CVstPluginInfo& info) {
        return std::make_shared<const CDeviceId>(info);
    });
}

std::shared_ptr<CDeviceVst::CInstance> CDeviceVst::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceVst>(std::move(id));
}

// ======================================================================= audio outputs

namespace {

// Worker of an audio output. The stream's refills run on the backend's real-time thread
// and take no lock: the worker hands queue changes over through the real-time mixing set
// and keeps every chunk alive until the mix has passed it. A refill mixes at the rate the
// output was started with (the rate its senders use) and, when the stream runs at another
// rate, converts on the way out; positions are converted between the two rates exactly,
// so only real drift between the stream's clock and the process clock is ever realigned.
// The worker announces the counted buffer switches and notices a stream that stopped.
template <EKind kKind>
class CAudioOutMainT {
public:
    using CDeviceId = CAudioOutIdT<kKind>;

    CAudioOutMainT(boost::asio::io_context& io, std::shared_ptr<const CDeviceId> id,
                   std::weak_ptr<const void> instance)
        : m_shared(std::make_shared<CShared>()), m_timer(io) {
        m_shared->id = std::move(id);
        m_shared->instance = std::move(instance);
    }
    ~CAudioOutMainT() {
        m_timer.cancel();
        Stop();
    }

    static const CRThreadMessage::CRRequestTableT<CAudioOutMainT>& RequestTable() {
        using M = CAudioOutMainT;
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<M> t;
            t.template Add<Request::CAddNotify>([](M& m, const std::shared_ptr<const Request::CAddNotify>& r) {
                m.m_subscribers.Add(r->sender);
                if (m.m_started) r->sender.Send(m.m_started);
            });
            t.template Add<Request::CStart>([](M& m, const std::shared_ptr<const Request::CStart>& r) { m.Start(*r); });
            t.template Add<Request::CStop>([](M& m, const std::shared_ptr<const Request::CStop>&) { m.Stop(); });
            t.template Add<Request::CCreateQueueAudio>(
                [](M& m, const std::shared_ptr<const Request::CCreateQueueAudio>& r) {
                    if (!m.m_running) return;
                    const uint64_t nTrack = m.m_running->mix.CreateTrack(ToUnits(r->dTime, m.m_running->nRate));
                    if (nTrack)
                        m.m_tracks[r->id] = nTrack;
                    else
                        DeviceLog("audio output [%s] mixes at most %zu sources; one more is left out",
                                  Utf16ToUtf8(m.m_shared->id->sName).c_str(), CRealtimeMix::kMaxTracks);
                });
            t.template Add<Request::CPushAudio>([](M& m, const std::shared_ptr<const Request::CPushAudio>& r) {
                const auto it = m.m_tracks.find(r->id);
                if (m.m_running && it != m.m_tracks.end()) m.m_running->mix.Push(it->second, r->nChannel, r->vSamples);
            });
            t.template Add<Request::CDeleteQueue>([](M& m, const std::shared_ptr<const Request::CDeleteQueue>& r) {
                const auto it = m.m_tracks.find(r->id);
                if (it == m.m_tracks.end()) return;
                if (m.m_running) m.m_running->mix.DeleteTrack(it->second);
                m.m_tracks.erase(it);
            });
            t.template Add<Request::CControlPanel>([](M& m, const std::shared_ptr<const Request::CControlPanel>&) {
                DeviceLog("[%s] has no settings window of its own; set it up with the sound server's tools",
                          Utf16ToUtf8(m.m_shared->id->sName).c_str());
            });
            return t;
        }();
        return table;
    }

private:
    static constexpr uint16_t kChannels = 2;
    // Frames mixed per pass; a longer period is filled in several passes.
    static constexpr uint32_t kMixFrames = 4096;
    static constexpr auto kSwitchPoll = std::chrono::milliseconds(5);

    // What a refill uses, made by the worker once the stream runs and published to the
    // refills; from then on the refills own it, except the worker's side of the mix.
    struct CRunning {
        CRunning(uint32_t nRateIn, uint32_t nDeviceRateIn)
            : nRate(nRateIn), nDeviceRate(nDeviceRateIn), mix(kChannels) {
            const uint64_t nGcd = std::gcd(uint64_t(nRate), uint64_t(nDeviceRate));
            nNum = nRate / nGcd;
            nDen = nDeviceRate / nGcd;
            if (nRate != nDeviceRate) converter = std::make_unique<CRateConverter>(nRate, nDeviceRate, kChannels);
            for (auto& v : vScratch) v.assign(kMixFrames, 0.0f);
        }
        const uint32_t nRate;        // of the mix: the rate the output was started with
        const uint32_t nDeviceRate;  // of the stream
        uint64_t nNum = 1, nDen = 1;  // nRate / nDeviceRate, reduced
        CRealtimeMix mix;
        std::unique_ptr<CRateConverter> converter;  // when the rates differ
        std::vector<float> vScratch[kChannels];
        // The refills': the mix position (at nRate) that device frame 0 of the anchor
        // played, and the device frames played since.
        bool bAnchored = false;
        uint64_t nAnchor = 0;
        uint64_t nFramesSince = 0;

        void Anchor(uint64_t nPosition) {
            bAnchored = true;
            nAnchor = nPosition;
            nFramesSince = 0;
            mix.SetPosition(nPosition);
            if (converter) converter->Reset();
        }
        // The mix position of the next device frame.
        uint64_t Playing() const { return nAnchor + nFramesSince * nNum / nDen; }
    };

    struct CShared {
        std::shared_ptr<const CDeviceId> id;
        std::weak_ptr<const void> instance;
        std::atomic<CRunning*> running{nullptr};
        std::atomic<uint64_t> nSwitches{0};
        std::atomic<uint64_t> nRealigned{0};
        std::atomic<bool> bLost{false};
        std::mutex lostMutex;
        std::string sLost;

        void Refill(std::span<const CAudioChannelBuffer> vBuffers, uint32_t nFrames, uint64_t nStartNs) {
            nSwitches.fetch_add(1, std::memory_order_relaxed);
            CRunning* r = running.load(std::memory_order_acquire);
            if (!r) {
                // Not yet handed over: silence.
                static const float kSilence[kMixFrames] = {};
                for (uint32_t nDone = 0; nDone < nFrames; nDone += kMixFrames)
                    for (const auto& b : vBuffers)
                        if (!b.bInput && b.nChannel < kChannels)
                            WriteSamples(b, kSilence, std::min(nFrames - nDone, kMixFrames), nDone);
                return;
            }
            // The stream's first sample is tied to the moment of its first refill. A
            // stream that knows when each period plays is kept in step with the process
            // clock: more than half a period of drift is taken back at once.
            const uint64_t nWhen = nStartNs ? ToUnits(double(nStartNs) / 1e9, r->nRate) : 0;
            if (!r->bAnchored) {
                r->Anchor(nWhen ? nWhen : ToUnits(ClockSeconds(), r->nRate));
            } else if (nWhen) {
                const uint64_t nAt = r->Playing();
                const uint64_t nDrift = nWhen > nAt ? nWhen - nAt : nAt - nWhen;
                if (2 * nDrift * r->nDen > uint64_t(nFrames) * r->nNum) {
                    r->Anchor(nWhen);
                    nRealigned.fetch_add(1, std::memory_order_relaxed);
                }
            }
            float* pScratch[kChannels] = {r->vScratch[0].data(), r->vScratch[1].data()};
            for (uint32_t nDone = 0; nDone < nFrames;) {
                const uint32_t n = std::min(nFrames - nDone, kMixFrames);
                if (r->converter)
                    r->converter->Pull(pScratch, n, [r](float* const* ppIn, uint32_t nIn) {
                        r->mix.MixInto(ppIn, kChannels, nIn);
                    });
                else
                    r->mix.MixInto(pScratch, kChannels, n);
                for (const auto& b : vBuffers)
                    if (!b.bInput && b.nChannel < kChannels) WriteSamples(b, pScratch[b.nChannel], n, nDone);
                nDone += n;
            }
            r->nFramesSince += nFrames;
        }
        void Lost(const std::string& sWhy) {
            {
                std::lock_guard lock(lostMutex);
                sLost = sWhy;
            }
            bLost.store(true, std::memory_order_release);
        }
    };

    static IAudioOutBackend& Backend() {
        return kKind == EKind::Asio ? *Backends().pAsio : *Backends().pDirectSound;
    }

    void Start(const Request::CStart& r) {
        if (m_stream || r.nSampleRate == 0) return;
        const std::string sName = Utf16ToUtf8(m_shared->id->sName);
        m_shared->bLost.store(false);
        std::weak_ptr<CShared> weak = m_shared;
        auto stream = Backend().Start(
            m_shared->id->nNo, r.nSampleRate, r.nBufferSize,
            [weak](std::span<const CAudioChannelBuffer> vBuffers, uint32_t nFrames, uint64_t nStartNs) {
                if (auto shared = weak.lock()) shared->Refill(vBuffers, nFrames, nStartNs);
            },
            [weak](const std::string& sWhy) {
                if (auto shared = weak.lock()) shared->Lost(sWhy);
            });
        if (!stream || stream->BufferSize() == 0 || stream->SampleRate() == 0) {
            stream.reset();
            DeviceLog("audio output [%s] could not start (%u Hz, %u frames)", sName.c_str(), r.nSampleRate,
                      r.nBufferSize);
            return;
        }
        auto running = std::make_unique<CRunning>(r.nSampleRate, stream->SampleRate());
        if (running->converter && !running->converter->Valid()) {
            stream.reset();
            DeviceLog("audio output [%s] runs at %u Hz and cannot convert %u Hz to that", sName.c_str(),
                      running->nDeviceRate, r.nSampleRate);
            return;
        }
        if (running->converter)
            DebugTrace("\naudio output [%s] runs at %u Hz; converting from %u Hz", sName.c_str(),
                       running->nDeviceRate, r.nSampleRate);
        m_running = std::move(running);
        m_shared->running.store(m_running.get(), std::memory_order_release);
        m_stream = std::move(stream);
        m_nSwitchesSeen = m_shared->nSwitches.load();
        m_nRealignedSeen = m_shared->nRealigned.load();
        m_started = std::make_shared<const Notify::CStarted>(m_shared->instance, m_shared->id, r.nSampleRate,
                                                             kChannels, m_stream->BufferSize());
        m_subscribers.Send(m_started);
        ArmPoll();
    }

    void Stop() {
        m_stream.reset();  // no refill runs after this
        m_started.reset();
        m_shared->running.store(nullptr, std::memory_order_release);
        m_running.reset();  // its queues and chunks go here, on the worker
        m_tracks.clear();
    }

    // While a stream runs: hand queue changes over, let go of what the mix has passed,
    // announce the buffer switches and notice when the stream was lost.
    void ArmPoll() {
        m_timer.expires_after(kSwitchPoll);
        m_timer.async_wait([this](const boost::system::error_code& ec) {
            if (ec || !m_stream) return;
            m_running->mix.Collect();
            const uint64_t n = m_shared->nSwitches.load(std::memory_order_relaxed);
            for (uint64_t k = std::min<uint64_t>(n - m_nSwitchesSeen, 64); k > 0; --k)
                m_subscribers.Send(std::make_shared<const Notify::CBufferSwitch>(m_shared->instance, m_shared->id));
            m_nSwitchesSeen = n;
            const uint64_t nRealigned = m_shared->nRealigned.load(std::memory_order_relaxed);
            const auto now = std::chrono::steady_clock::now();
            if (nRealigned != m_nRealignedSeen && now - m_lastRealignLog >= std::chrono::seconds(10)) {
                m_lastRealignLog = now;
                DeviceLog("audio output [%s]: its clock and the process clock part; realigned (%llu times so far)",
                          Utf16ToUtf8(m_shared->id->sName).c_str(), static_cast<unsigned long long>(nRealigned));
                m_nRealignedSeen = nRealigned;
            }
            std::string sWhy = m_stream->Lost();
            if (sWhy.empty() && m_shared->bLost.load(std::memory_order_acquire)) {
                std::lock_guard lock(m_shared->lostMutex);
                sWhy = m_shared->sLost;
            }
            if (!sWhy.empty()) {
                DeviceLog("audio output [%s] stopped: %s", Utf16ToUtf8(m_shared->id->sName).c_str(), sWhy.c_str());
                Stop();
                return;
            }
            ArmPoll();
        });
    }

    std::shared_ptr<CShared> m_shared;
    boost::asio::steady_timer m_timer;
    CRThreadMessage::CListSender m_subscribers;
    std::unique_ptr<IAudioOutStream> m_stream;
    std::unique_ptr<CRunning> m_running;  // published in m_shared->running while the stream runs
    std::map<CQueueId, uint64_t> m_tracks;  // queue id -> track of the mix
    std::shared_ptr<const Notify::CStarted> m_started;
    uint64_t m_nSwitchesSeen = 0;
    uint64_t m_nRealignedSeen = 0;
    std::chrono::steady_clock::time_point m_lastRealignLog{};
};

template <class CKind>
typename CKind::CInstances::CIdList EnumerateAudioOut(IAudioOutBackend& backend) {
    return MakeIds<CKind>(backend.Enumerate(), [](const CAudioOutInfo& info) {
        return std::make_shared<const typename CKind::CDeviceId>(info.nNo, info.sName);
    });
}

}  // namespace

// The request table of the shared worker serves both kinds.
class CDeviceDirectSound::CMain : public CAudioOutMainT<EKind::DirectSound> {
public:
    using CAudioOutMainT::CAudioOutMainT;
};

class CDeviceAsio::CMain : public CAudioOutMainT<EKind::Asio> {
public:
    using CAudioOutMainT::CAudioOutMainT;
};

template <EKind kKind>
CDevicePtr CAudioOutIdT<kKind>::GetDevice(bool bCreate) const {
    if constexpr (kKind == EKind::Asio)
        return CDeviceAsio::CInstances::Get().GetDevice(*this, bCreate);
    else
        return CDeviceDirectSound::CInstances::Get().GetDevice(*this, bCreate);
}
template class CAudioOutIdT<EKind::DirectSound>;
template class CAudioOutIdT<EKind::Asio>;

CDeviceDirectSound::CInstances::CIdList CDeviceDirectSound::Enumerate() {
    return EnumerateAudioOut<CDeviceDirectSound>(*Backends().pDirectSound);
}

std::shared_ptr<CDeviceDirectSound::CInstance> CDeviceDirectSound::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceDirectSound>(std::move(id));
}

CDeviceAsio::CInstances::CIdList CDeviceAsio::Enumerate() {
    return EnumerateAudioOut<CDeviceAsio>(*Backends().pAsio);
}

std::shared_ptr<CDeviceAsio::CInstance> CDeviceAsio::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceAsio>(std::move(id));
}

}  // namespace DUve::AudioDevice
