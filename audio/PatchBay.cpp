#include "audio/PatchBay.h"

#include <map>
#include <mutex>

#include "audio/DeviceKinds.h"
#include "runtime/RDebugTrace.h"

namespace DUve::AudioDevice {

namespace DevNotify = DUve::AudioDevice::Notify;
namespace DevRequest = DUve::AudioDevice::Request;

class CPatchBay::CMain {
public:
    explicit CMain(boost::asio::io_context& io)
        : m_receiver(CRThreadBridge::InitializeIoService(io)), m_patch(std::make_shared<const CSetPatch>()) {
        CRThreadMessage::AddHandler<DevNotify::CProcessReplacing>(
            *m_receiver, [this](const std::shared_ptr<const DevNotify::CProcessReplacing>& n) { OnBlock(*n); });
        // Stream starts and buffer switches of the outputs carry nothing the routing needs.
        CRThreadMessage::AddHandler<DevNotify::CStarted>(*m_receiver,
                                                       [](const std::shared_ptr<const DevNotify::CStarted>&) {});
        CRThreadMessage::AddHandler<DevNotify::CBufferSwitch>(
            *m_receiver, [](const std::shared_ptr<const DevNotify::CBufferSwitch>&) {});
    }
    ~CMain() {
        // Queues first (their deletion goes to still-open devices), then the devices.
        for (auto& [id, entry] : m_devices) entry.destinations.clear();
        m_devices.clear();
    }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<CMain> t;
            t.Add<Request::CAddNotify>([](CMain& m, const std::shared_ptr<const Request::CAddNotify>& r) {
                m.m_subscribers.Add(r->sender);
                r->sender.Send(std::make_shared<const Notify::ChangedSetPatch>(m.m_patch));
            });
            t.Add<Request::CConnectDefault>([](CMain& m, const std::shared_ptr<const Request::CConnectDefault>& r) {
                m.ConnectDefault(r->device);
            });
            t.Add<Request::CConnect>([](CMain& m, const std::shared_ptr<const Request::CConnect>& r) {
                m.Connect(r->connections);
            });
            return t;
        }();
        return table;
    }

private:
    using CIdMap = std::map<CDevice::CIdPtr, std::shared_ptr<CControl::CAudioIn::CQueue>, CControl::CIdLess>;
    struct CEntry {
        CDevicePtr device;
        CIdMap destinations;  // queue made on the first rendered block
    };

    void ConnectDefault(const CDevicePtr& device) {
        if (!device) return;
        const auto& id = device->Id();
        if (m_devices.count(id) || !id->ProducesAudio()) return;
        const auto output = CControl::CAudioIn::DefaultOutput();
        if (!output) {
            // No audio sink at all: a connection without destination makes no sense.
            DebugTrace("\npatch bay: no audio output for a default connection");
            return;
        }
        CConnections connections = m_patch->Connections();
        connections.emplace(id, output);
        Connect(connections);
    }

    void Connect(const CConnections& connections) {
        const CSetPatchPtr old = m_patch;
        std::map<CDevice::CIdPtr, CDevicePtr, CControl::CIdLess> handles;
        for (const auto& [src, dst] : connections) {
            if (!src || !dst) continue;
            for (const auto& id : {src, dst})
                if (!handles.count(id))
                    if (auto h = id->GetDevice(true)) handles[id] = std::move(h);
        }
        CConnections kept;
        for (const auto& c : connections)
            if (c.first && c.second && handles.count(c.first) && handles.count(c.second)) kept.insert(c);
        m_patch = std::make_shared<const CSetPatch>(std::move(kept));

        const CRThreadMessage::CSender self = m_receiver->GetSender();
        for (const auto& [id, handle] : handles) {
            if (m_devices.count(id)) continue;
            switch (id->Kind()) {
                case EKind::DirectSound:
                    handle->PostRequests({std::make_shared<const DevRequest::CAddNotify>(self),
                                          std::make_shared<const DevRequest::CStart>(kSampleRate, kDirectSoundBuffer)});
                    break;
                case EKind::Asio:
                    handle->PostRequests({std::make_shared<const DevRequest::CAddNotify>(self),
                                          std::make_shared<const DevRequest::CStart>(kSampleRate, 0)});
                    break;
                case EKind::Vst:
                    handle->PostRequests(
                        {std::make_shared<const DevRequest::CAddNotify>(self),
                         std::make_shared<const DevRequest::COpen>(kSampleRate, kVstBlock, kVstLookAhead)});
                    break;
                case EKind::MidiOut: break;
            }
            m_devices[id].device = handle;
        }
        for (const auto& [src, dst] : m_patch->Connections()) m_devices[src].destinations.try_emplace(dst);
        for (const auto& c : old->Connections()) {
            if (m_patch->Contains(c)) continue;
            const auto it = m_devices.find(c.first);
            if (it != m_devices.end()) it->second.destinations.erase(c.second);  // deletes the queue
        }
        // Devices that take part in no connection any more are released.
        std::set<CDevice::CIdPtr, CControl::CIdLess> used;
        for (const auto& [src, dst] : m_patch->Connections()) used.insert({src, dst});
        std::erase_if(m_devices, [&](const auto& e) { return !used.count(e.first); });

        m_subscribers.Send(std::make_shared<const Notify::ChangedSetPatch>(m_patch));
    }

    void OnBlock(const DevNotify::CProcessReplacing& n) {
        const auto it = m_devices.find(n.pId);
        if (it == m_devices.end() || n.nSampleRate == 0) return;
        for (auto& [dst, queue] : it->second.destinations) {
            if (!queue) {
                const auto d = m_devices.find(dst);
                if (d == m_devices.end()) continue;
                queue = CControl::CAudioIn(d->second.device).CreateQueue(static_cast<double>(n.nPosition) / n.nSampleRate);
                if (!queue) continue;
            }
            for (size_t i = 0; i < n.vChannels.size() && i <= 0xFFFF; ++i)
                queue->Push(static_cast<uint16_t>(i), n.vChannels[i]);
        }
    }


    CRThreadBridge::CReceiverPtr m_receiver;
    CRThreadMessage::CListSender m_subscribers;
    CSetPatchPtr m_patch;
    std::map<CDevice::CIdPtr, CEntry, CControl::CIdLess> m_devices;
};

CPatchBay::CPatchBay()
    : m_worker(std::make_unique<CRWorkerThreadT<CMain>>(
          [](boost::asio::io_context& io) { return std::make_unique<CMain>(io); })) {}

CPatchBay::~CPatchBay() = default;

void CPatchBay::PostRequests(CRThreadMessage::CBatch requests) { m_worker->PostRequests(std::move(requests)); }

std::shared_ptr<CPatchBay> CPatchBay::EnsureInstance() {
    static std::mutex mutex;
    static std::weak_ptr<CPatchBay> current;
    // The weak pointer itself is shared by every caller, so reads go under the lock too.
    std::lock_guard lock(mutex);
    if (auto bay = current.lock()) return bay;
    auto bay = std::make_shared<CPatchBay>();
    current = bay;
    return bay;
}

}  // namespace DUve::AudioDevice
