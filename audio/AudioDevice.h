// Device framework: identifiers, per-kind registries that open and share devices, the
// handle and worker model, the request and notification set shared by the kinds, and
// CControl, the view through which the player and the patch bay feed MIDI or audio into
// a device (display names, audio sinks, queue handles).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audio/DeviceBackend.h"
#include "audio/QueueAudio.h"
#include "audio/QueueMidi.h"
#include "runtime/RClock.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RUid.h"

namespace DUve::AudioDevice {

// The process clock (runtime/RClock.h), in the units the devices use.
// Seconds of the process clock (monotonic, epoch taken once at program start).
inline double ClockSeconds() { return CRClock::Seconds(); }
// The moment the process clock counts from.
inline std::chrono::steady_clock::time_point ClockEpoch() { return CRClock::Epoch(); }
// Nanoseconds of the process clock.
inline uint64_t ClockNanoseconds() { return CRClock::Nanoseconds(); }

// Device events people should see (an output that stopped by itself, a port that could
// not be opened): one line each, to standard error unless a sink is set. The sink is
// called on the thread that reports, so it must be safe from any thread.
void DeviceLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void SetDeviceLogSink(std::function<void(const std::string&)> sink);

using CQueueId = CRUid;

// Kind rank: the order of kinds among the audio sinks.
enum class EKind : int { DirectSound = 0, Asio = 1, MidiOut = 2, Vst = 3 };

class CDevice {
public:
    // Identifies one device; enumerated once, immutable, always held by shared pointer.
    class CId : public std::enable_shared_from_this<CId> {
    public:
        virtual ~CId() = default;
        // The live handle; with bCreate, opens the device when it is not open.
        virtual std::shared_ptr<CDevice> GetDevice(bool bCreate) const = 0;
        virtual EKind Kind() const = 0;
        // The display name before de-duplication.
        virtual std::u16string BaseName() const = 0;
        // The order of ids within one kind; `other` is of the same kind.
        virtual bool LessNo(const CId& other) const = 0;
        virtual bool AcceptsMidi() const { return false; }
        virtual bool AcceptsAudio() const { return false; }
        virtual bool ProducesAudio() const { return false; }
    };
    using CIdPtr = std::shared_ptr<const CId>;

    virtual ~CDevice() = default;
    virtual const CIdPtr& Id() const = 0;
    // Hands request messages to the device's worker, in order.
    virtual void PostRequests(CRThreadMessage::CBatch requests) const = 0;
    void PostRequest(CRThreadMessage::CMessagePtr request) const { PostRequests({std::move(request)}); }
};
using CDevicePtr = std::shared_ptr<CDevice>;

// ---- requests shared by the kinds (each kind names the ones it handles)
struct CRequest : CRThreadMessage::CMessage {};

namespace Request {
struct CAddNotify : CRequest {
    explicit CAddNotify(CRThreadMessage::CSender s) : sender(std::move(s)) {}
    CRThreadMessage::CSender sender;
};
struct CCreateQueueMidi : CRequest {
    explicit CCreateQueueMidi(const CQueueId& i) : id(i) {}
    CQueueId id;
};
struct CPushMidi : CRequest {
    CPushMidi(const CQueueId& i, double t, CBytes v) : id(i), dTime(t), vBytes(std::move(v)) {}
    CQueueId id;
    double dTime;
    CBytes vBytes;  // empty: a mark, "everything up to dTime has been delivered"
};
struct CCreateQueueAudio : CRequest {
    CCreateQueueAudio(const CQueueId& i, double t) : id(i), dTime(t) {}
    CQueueId id;
    double dTime;  // time of the queue's first sample
};
struct CPushAudio : CRequest {
    CPushAudio(const CQueueId& i, uint16_t n, CSamples v) : id(i), nChannel(n), vSamples(std::move(v)) {}
    CQueueId id;
    uint16_t nChannel;
    CSamples vSamples;
};
struct CDeleteQueue : CRequest {
    explicit CDeleteQueue(const CQueueId& i) : id(i) {}
    CQueueId id;
};
struct CStart : CRequest {
    CStart(uint32_t r, uint32_t b) : nSampleRate(r), nBufferSize(b) {}
    uint32_t nSampleRate;
    uint32_t nBufferSize;  // frames; 0 = the device's choice
};
struct CStop : CRequest {};
struct COpen : CRequest {
    COpen(uint32_t r, uint32_t b, double l) : nSampleRate(r), nBlockSize(b), dLookAhead(l) {}
    uint32_t nSampleRate;
    uint32_t nBlockSize;
    double dLookAhead;
};
struct CControlPanel : CRequest {};
}  // namespace Request

// ---- notifications shared by the kinds
namespace Notify {
struct CFromDevice : CRThreadMessage::CMessage {
    CFromDevice(std::weak_ptr<const void> w, CDevice::CIdPtr p) : wpInstance(std::move(w)), pId(std::move(p)) {}
    std::weak_ptr<const void> wpInstance;  // the open device that sent it
    CDevice::CIdPtr pId;
};
struct CProcessReplacing : CFromDevice {
    CProcessReplacing(std::weak_ptr<const void> w, CDevice::CIdPtr p, int64_t nPos, uint32_t nRate,
                      std::vector<CSamples> v)
        : CFromDevice(std::move(w), std::move(p)), nPosition(nPos), nSampleRate(nRate), vChannels(std::move(v)) {}
    int64_t nPosition;  // first sample of the block since the epoch, at nSampleRate
    uint32_t nSampleRate;
    std::vector<CSamples> vChannels;  // one block per audio output
};
struct CStarted : CFromDevice {
    CStarted(std::weak_ptr<const void> w, CDevice::CIdPtr p, uint32_t nRate, uint16_t nCh, uint32_t nBuf)
        : CFromDevice(std::move(w), std::move(p)), nSampleRate(nRate), nChannels(nCh), nBufferSize(nBuf) {}
    uint32_t nSampleRate;
    uint16_t nChannels;
    uint32_t nBufferSize;
};
struct CBufferSwitch : CFromDevice {
    using CFromDevice::CFromDevice;
};
}  // namespace Notify

// ---- the kinds
// What the display-name registry needs of a device kind. Each kind registers itself while
// the program starts (a static object in the kind's own file); the registry is built on
// first use from the kinds registered by then, in enumeration order, so the order in
// which the kinds' files happen to start does not matter.
struct CKindRegistration {
    EKind eKind;
    // The kind's place in the enumeration of all devices: MIDI outputs, plug-ins, ASIO
    // drivers, DirectSound devices (lower first).
    int nEnumerationOrder;
    // The kind's ids in its own order (builds the kind's registry on first use).
    std::vector<CDevice::CIdPtr> (*ids)();
};
// false (and no effect) when the kind is registered already.
bool RegisterKind(const CKindRegistration& kind);
// The registered kinds in enumeration order.
std::vector<CKindRegistration> RegisteredKinds();

// Marks the backends as in use (called when a registry is first built).
void FreezeBackends();

// ---- CControl: what the player and the patch bay use of devices
// A sender's handle on a queue of a sink: pushes go to the sink's worker in order, and
// the last reference deletes the queue there. CPush is the request one push becomes.
template <class CPush>
class CQueueHandleT {
public:
    CQueueHandleT(CDevicePtr device, const CQueueId& id, CRThreadMessage::CMessagePtr create) : m_id(id), m_device(std::move(device)) {
        m_device->PostRequest(std::move(create));
    }
    ~CQueueHandleT() { m_device->PostRequest(std::make_shared<Request::CDeleteQueue>(m_id)); }
    CQueueHandleT(const CQueueHandleT&) = delete;
    CQueueHandleT& operator=(const CQueueHandleT&) = delete;
    const CQueueId& Id() const { return m_id; }
    template <class... Args>
    void Push(Args&&... args) const {
        m_device->PostRequest(std::make_shared<CPush>(m_id, std::forward<Args>(args)...));
    }

private:
    CQueueId m_id;
    CDevicePtr m_device;
};

class CControl {
public:
    // Kind rank, then the kind's own order.
    struct CIdLess {
        bool operator()(const CDevice::CIdPtr& a, const CDevice::CIdPtr& b) const;
    };
    using CIdSet = std::set<CDevice::CIdPtr, CIdLess>;

    // Unique display names of every device id of every kind.
    class CIdInstances {
    public:
        static const CIdInstances& Get();
        // Exact, case-sensitive; null when unknown.
        CDevice::CIdPtr Find(const std::u16string& sName) const;
        // Empty when the id is not registered.
        std::u16string NameOf(const CDevice::CId& id) const;
        const std::vector<std::pair<std::u16string, CDevice::CIdPtr>>& All() const { return m_all; }

        // The de-duplication rule: a taken base name becomes "%s(%u)" with 1, 2, 3, ...
        static std::vector<std::u16string> MakeDisplayNames(const std::vector<std::u16string>& vBases);

    private:
        CIdInstances();
        std::vector<std::pair<std::u16string, CDevice::CIdPtr>> m_all;  // enumeration order
        std::map<std::u16string, CDevice::CIdPtr> m_byName;
        std::map<const CDevice::CId*, std::u16string> m_byId;
    };

    static bool AcceptsMidi(const CDevice::CId& id) { return id.AcceptsMidi(); }
    static bool AcceptsAudio(const CDevice::CId& id) { return id.AcceptsAudio(); }

    // A MIDI sink as seen by a sender.
    class CMidiIn {
    public:
        using CQueue = CQueueHandleT<Request::CPushMidi>;

        explicit CMidiIn(CDevicePtr device) : m_device(std::move(device)) {}
        std::shared_ptr<CQueue> CreateQueue() const;
        const CDevicePtr& Device() const { return m_device; }

    private:
        CDevicePtr m_device;
    };

    // An audio sink as seen by a sender.
    class CAudioIn {
    public:
        using CQueue = CQueueHandleT<Request::CPushAudio>;

        explicit CAudioIn(CDevicePtr device) : m_device(std::move(device)) {}
        // dTime: process-clock seconds of the queue's first sample.
        std::shared_ptr<CQueue> CreateQueue(double dTime) const;
        const CDevicePtr& Device() const { return m_device; }

        // Every id that accepts audio, in CIdLess order; built once.
        static const CIdSet& GetDeviceIdList();
        // The first of GetDeviceIdList(); null when there is no audio sink.
        static CDevice::CIdPtr DefaultOutput();

    private:
        CDevicePtr m_device;
    };
};

}  // namespace DUve::AudioDevice
