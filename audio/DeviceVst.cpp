#include "audio/DeviceVst.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <map>

#include <boost/asio/steady_timer.hpp>

#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice {

namespace {
using CClock = std::chrono::steady_clock;
// Plug-ins follow the MIDI outputs in the enumeration of all devices.
[[maybe_unused]] const bool g_bRegistered = RegisterKindT<CDeviceVst>(EKind::Vst, 1);
std::atomic<int64_t> g_nVstCloseMs{20000};
}  // namespace

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
        m_plugin = Backends().pPlugins->Load(m_id->sPath);
        if (!m_plugin) DebugTrace("\nplug-in could not be loaded [%s]", Utf16ToUtf8(m_id->sPath).c_str());
    }
    ~CMain() { m_timer.cancel(); }

    static std::chrono::milliseconds CloseBound() { return CDeviceVst::CloseTimeout(); }
    static std::string CloseName(const CDeviceId& id) { return "VST plug-in [" + Utf16ToUtf8(id.sPath) + "]"; }

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
        ReportLateEvents();
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
                    if (e.nTime < nStart) ++m_nLateEvents;
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

    // Events that reached the plug-in after it had rendered past their time (their sender
    // fell behind) are played at once; a line says so, at most every ten seconds.
    void ReportLateEvents() {
        const auto now = CClock::now();
        if (m_nLateEvents == m_nLateReported || now - m_lastLateLog < std::chrono::seconds(10)) return;
        m_lastLateLog = now;
        m_nLateReported = m_nLateEvents;
        DeviceLog("VST plug-in [%s]: MIDI came after its time had been rendered; played late (%llu events so far)",
                  Utf16ToUtf8(m_id->sPath).c_str(), static_cast<unsigned long long>(m_nLateEvents));
    }

    std::shared_ptr<const CDeviceId> m_id;
    std::weak_ptr<const void> m_instance;
    boost::asio::steady_timer m_timer;
    uint64_t m_nLateEvents = 0, m_nLateReported = 0;
    CClock::time_point m_lastLateLog{};
    CClock::time_point m_next;
    std::unique_ptr<IVstPlugin> m_plugin;
    CRThreadMessage::CListSender m_subscribers;
    std::unique_ptr<CContext> m_context;
};

void CDeviceVst::SetCloseTimeout(std::chrono::milliseconds timeout) { g_nVstCloseMs.store(timeout.count()); }
std::chrono::milliseconds CDeviceVst::CloseTimeout() { return std::chrono::milliseconds(g_nVstCloseMs.load()); }

CDevicePtr CDeviceVst::CDeviceId::GetDevice(bool bCreate) const {
    return CInstances::Get().GetDevice(*this, bCreate);
}

CDeviceVst::CInstances::CIdList CDeviceVst::Enumerate() {
    return MakeIds<CDeviceVst>(Backends().pPlugins->Enumerate(), [](const CVstPluginInfo& info) {
        return std::make_shared<const CDeviceId>(info);
    });
}

std::shared_ptr<CDeviceVst::CInstance> CDeviceVst::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceVst>(std::move(id));
}

}  // namespace DUve::AudioDevice
