// The worker both audio output kinds run: it starts the backend's stream, hands queue
// changes to the stream's real-time refills, and announces what the stream does.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <numeric>
#include <span>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "audio/DeviceAudioOut.h"
#include "audio/RateConvert.h"
#include "audio/RealtimeMix.h"
#include "audio/SampleConvert.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice {

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
        std::atomic<int64_t> nLastRealignUnits{0};  // the last jump, at the mix's rate
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
                    nLastRealignUnits.store(int64_t(nWhen) - int64_t(nAt), std::memory_order_relaxed);
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
        return kKind == EKind::Asio ? *Backends().pLowLatencyOutputs : *Backends().pDefaultOutputs;
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
        m_nLateSeen = 0;
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
                DeviceLog("audio output [%s]: its clock and the process clock part; realigned by %+.1f ms (%llu "
                          "times so far)",
                          Utf16ToUtf8(m_shared->id->sName).c_str(),
                          1e3 * double(m_shared->nLastRealignUnits.load(std::memory_order_relaxed)) /
                              m_running->nRate,
                          static_cast<unsigned long long>(nRealigned));
                m_nRealignedSeen = nRealigned;
            }
            const uint64_t nLate = m_running->mix.LateChunks();
            if (nLate != m_nLateSeen && now - m_lastLateLog >= std::chrono::seconds(10)) {
                m_lastLateLog = now;
                DeviceLog("audio output [%s]: sound came after its time had played; its sender fell behind "
                          "(%llu chunks so far)",
                          Utf16ToUtf8(m_shared->id->sName).c_str(), static_cast<unsigned long long>(nLate));
                m_nLateSeen = nLate;
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
    uint64_t m_nLateSeen = 0;
    std::chrono::steady_clock::time_point m_lastLateLog{};
};

// The kind's ids from what its backend reports.
template <class CKind>
typename CKind::CInstances::CIdList EnumerateAudioOut(IAudioOutBackend& backend) {
    return MakeIds<CKind>(backend.Enumerate(), [](const CAudioOutInfo& info) {
        return std::make_shared<const typename CKind::CDeviceId>(info.nNo, info.sName);
    });
}

}  // namespace DUve::AudioDevice
