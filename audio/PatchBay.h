// The patch bay: the process-wide service that routes audio from audio-producing devices
// (plug-in instruments) to audio sinks. It keeps the current patch, opens and starts
// every device a connection names, makes the default connection for a newly used
// instrument, and pushes every rendered block into the queues on its destinations.
#pragma once

#include <memory>
#include <set>
#include <utility>

#include "audio/AudioDevice.h"
#include "runtime/RWorkerThread.h"

namespace DUve::AudioDevice {

class CPatchBay {
public:
    using CConnection = std::pair<CDevice::CIdPtr, CDevice::CIdPtr>;  // source, destination
    struct CConnectionLess {
        bool operator()(const CConnection& a, const CConnection& b) const {
            const CControl::CIdLess less;
            if (less(a.first, b.first)) return true;
            if (less(b.first, a.first)) return false;
            return less(a.second, b.second);
        }
    };
    using CConnections = std::set<CConnection, CConnectionLess>;

    // An immutable set of connections without duplicates.
    class CSetPatch {
    public:
        CSetPatch() = default;
        explicit CSetPatch(CConnections connections) : m_connections(std::move(connections)) {}
        const CConnections& Connections() const { return m_connections; }
        bool empty() const { return m_connections.empty(); }
        size_t size() const { return m_connections.size(); }
        bool Contains(const CConnection& c) const { return m_connections.count(c) != 0; }

    private:
        CConnections m_connections;
    };
    using CSetPatchPtr = std::shared_ptr<const CSetPatch>;

    struct CRequest : CRThreadMessage::CMessage {};
    struct Request {
        struct CAddNotify : CRequest {
            explicit CAddNotify(CRThreadMessage::CSender s) : sender(std::move(s)) {}
            CRThreadMessage::CSender sender;
        };
        struct CConnectDefault : CRequest {
            explicit CConnectDefault(CDevicePtr d) : device(std::move(d)) {}
            CDevicePtr device;
        };
        struct CConnect : CRequest {
            explicit CConnect(CConnections c) : connections(std::move(c)) {}
            CConnections connections;
        };
    };
    struct Notify {
        struct ChangedSetPatch : CRThreadMessage::CMessage {
            explicit ChangedSetPatch(CSetPatchPtr p) : patch(std::move(p)) {}
            CSetPatchPtr patch;
        };
    };

    // Requests the patch bay posts to the devices it starts.
    static constexpr uint32_t kSampleRate = 44100;
    static constexpr uint32_t kDirectSoundBuffer = 2048;
    static constexpr uint32_t kVstBlock = 512;
    static constexpr double kVstLookAhead = 0.2;

    class CMain;

    // The one patch bay of the process, created when no holder keeps one alive.
    static std::shared_ptr<CPatchBay> EnsureInstance();

    CPatchBay();
    ~CPatchBay();
    CPatchBay(const CPatchBay&) = delete;
    CPatchBay& operator=(const CPatchBay&) = delete;

    void PostRequests(CRThreadMessage::CBatch requests);
    void PostRequest(CRThreadMessage::CMessagePtr request) { PostRequests({std::move(request)}); }

private:
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

}  // namespace DUve::AudioDevice
