#include "audio/DeviceMidiOut.h"

#include <chrono>
#include <map>

#include <boost/asio/steady_timer.hpp>

#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice {

namespace {
using CClock = std::chrono::steady_clock;
// MIDI outputs come first in the enumeration of all devices.
[[maybe_unused]] const bool g_bRegistered = RegisterKindT<CDeviceMidiOut>(EKind::MidiOut, 0);
}  // namespace

class CDeviceMidiOut::CMain {
public:
    using CDeviceId = CDeviceMidiOut::CDeviceId;

    CMain(boost::asio::io_context& io, std::shared_ptr<const CDeviceId> id, std::weak_ptr<const void>)
        : m_id(std::move(id)), m_timer(io), m_queue(ClockNanoseconds()) {
        m_port = Backends().pMidiPorts->Open(m_id->nNo);
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
    return MakeIds<CDeviceMidiOut>(Backends().pMidiPorts->Enumerate(), [](const CMidiOutPortInfo& info) {
        return std::make_shared<const CDeviceId>(info.nNo, info.sName);
    });
}

std::shared_ptr<CDeviceMidiOut::CInstance> CDeviceMidiOut::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceMidiOut>(std::move(id));
}

}  // namespace DUve::AudioDevice
