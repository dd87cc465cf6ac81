// What every device kind is built from: the kind's registry (CInstancesT: its ids, and the
// live handle and open device of each), the open device (CInstanceT, which runs the kind's
// worker), the handle (CHandleT), and the helpers the kinds share to list and open their
// devices and to register themselves.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/AudioDevice.h"
#include "runtime/RThreadPriority.h"
#include "runtime/RWorkerThread.h"

namespace DUve::AudioDevice {

// ---- per-kind registry
// Ids of one kind in CLessNo order, and the live handle and open instance of each id.
template <class CKind>
class CInstancesT {
public:
    using CDeviceId = typename CKind::CDeviceId;
    using CInstance = typename CKind::CInstance;
    using CIdList = std::vector<std::shared_ptr<const CDeviceId>>;

    static CInstancesT& Get() {
        static CInstancesT instances;
        return instances;
    }
    const CIdList& Ids() const { return m_ids; }

    CDevicePtr GetDevice(const CDeviceId& id, bool bCreate) {
        std::lock_guard lock(m_mutex);
        auto& [wpDevice, wpInstance] = m_live[&id];
        if (auto device = wpDevice.lock()) return device;
        auto instance = wpInstance.lock();
        if (!instance) {
            if (!bCreate) return nullptr;
            instance = CKind::Open(std::static_pointer_cast<const CDeviceId>(id.shared_from_this()));
            wpInstance = instance;
        }
        auto device = std::make_shared<typename CKind::CHandle>(std::move(instance));
        wpDevice = device;
        return device;
    }

private:
    CInstancesT() : m_ids(CKind::Enumerate()) {}
    std::mutex m_mutex;
    const CIdList m_ids;
    std::map<const CDeviceId*, std::pair<std::weak_ptr<CDevice>, std::weak_ptr<CInstance>>> m_live;
};

// Destroys `object` on a thread of its own and waits at most `bound` for that; a close
// that takes longer is abandoned (left to its thread) with a log line naming sWhat.
// Called on the thread `owner` (the object's own worker), it does not wait at all.
void CloseWithin(std::shared_ptr<void> object, std::chrono::milliseconds bound, const std::string& sWhat,
                 std::thread::id owner);

// The open device: owns the worker on which the kind's CMain runs. A kind whose CMain
// names a CloseBound() (plug-ins, which may hang) is closed within that bound.
template <class CMain>
class CInstanceT : public std::enable_shared_from_this<CInstanceT<CMain>> {
public:
    using CDeviceId = typename CMain::CDeviceId;

    explicit CInstanceT(std::shared_ptr<const CDeviceId> id) : m_id(id), m_idBase(std::move(id)) {}
    ~CInstanceT() {
        if constexpr (requires { CMain::CloseBound(); }) {
            if (m_worker)
                CloseWithin(std::shared_ptr<void>(std::move(m_worker)), CMain::CloseBound(), CMain::CloseName(*m_id),
                            m_workerThread);
        }
    }
    CInstanceT(const CInstanceT&) = delete;
    CInstanceT& operator=(const CInstanceT&) = delete;

    // Starts the worker; CMain is built there with the id and a weak reference to this.
    void Start() {
        std::weak_ptr<const void> self = this->weak_from_this();
        auto id = m_id;
        std::thread::id* pThread = &m_workerThread;
        m_worker = std::make_unique<CRWorkerThreadT<CMain>>([id, self, pThread](boost::asio::io_context& io) {
            *pThread = std::this_thread::get_id();
            // A device's worker keeps its sound ahead of the stream; a busy machine must
            // not hold it back.
            RaiseCallingThreadForTimeCriticalWork();
            return std::make_unique<CMain>(io, id, self);
        });
    }
    bool IsStarted() const { return m_worker && m_worker->IsStarted(); }
    void PostRequests(CRThreadMessage::CBatch requests) const {
        if (m_worker) m_worker->PostRequests(std::move(requests));
    }
    const CDevice::CIdPtr& Id() const { return m_idBase; }

private:
    std::shared_ptr<const CDeviceId> m_id;
    CDevice::CIdPtr m_idBase;
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
    std::thread::id m_workerThread;
};

// A handle: keeps the device open while it lives.
template <class CInstance>
class CHandleT : public CDevice {
public:
    explicit CHandleT(std::shared_ptr<CInstance> instance) : m_instance(std::move(instance)) {}
    const CIdPtr& Id() const override { return m_instance->Id(); }
    void PostRequests(CRThreadMessage::CBatch requests) const override {
        m_instance->PostRequests(std::move(requests));
    }

private:
    std::shared_ptr<CInstance> m_instance;
};

// Ties up the declarations every kind repeats.
#define PALVOR_DEVICE_KIND_TYPES(Kind)                                               \
    class CMain;                                                                     \
    using CInstance = CInstanceT<CMain>;                                             \
    using CHandle = CHandleT<CInstance>;                                             \
    using CInstances = CInstancesT<Kind>;                                            \
    using CRequest = AudioDevice::CRequest;                                          \
    static CInstances::CIdList Enumerate();                                          \
    static std::shared_ptr<CInstance> Open(std::shared_ptr<const CDeviceId> id);

// Process-clock seconds in whole units of `dRate` per second; times before the epoch,
// NaN and overflow are clamped rather than converted with undefined behaviour. A time that
// stands for a whole unit (a nanosecond reading carried as seconds) can come back a hair
// below it; within the two roundings' error it is that unit, not the one before.
inline uint64_t ToUnits(double dSeconds, double dRate) {
    const double dExact = dSeconds * dRate;
    const double dNearest = std::round(dExact);
    const double d = std::abs(dExact - dNearest) <= 2.0 * std::numeric_limits<double>::epsilon() * std::abs(dExact)
                         ? dNearest
                         : std::trunc(dExact);
    if (!(d > 0.0)) return 0;
    if (d >= 18446744073709549568.0) return std::numeric_limits<uint64_t>::max() - 1;
    return static_cast<uint64_t>(d);
}

// The kind's ids made from what its backend reports, in CLessNo order; a device reported
// twice is listed once.
template <class CKind, class CInfo, class FMake>
typename CKind::CInstances::CIdList MakeIds(const std::vector<CInfo>& infos, FMake make) {
    using CId = typename CKind::CDeviceId;
    std::vector<std::shared_ptr<const CId>> ids;
    for (const auto& info : infos) {
        auto id = make(info);
        const bool bDuplicate = std::any_of(ids.begin(), ids.end(), [&](const auto& other) {
            return !typename CId::CLessNo()(*id, *other) && !typename CId::CLessNo()(*other, *id);
        });
        if (!bDuplicate) ids.push_back(std::move(id));
    }
    std::stable_sort(ids.begin(), ids.end(),
                     [](const auto& a, const auto& b) { return typename CId::CLessNo()(*a, *b); });
    return ids;
}

// Opens a device of the kind: its instance, with the worker started.
template <class CKind>
std::shared_ptr<typename CKind::CInstance> OpenInstance(std::shared_ptr<const typename CKind::CDeviceId> id) {
    auto instance = std::make_shared<typename CKind::CInstance>(std::move(id));
    instance->Start();
    return instance;
}

// The kind's ids as the display-name registry takes them.
template <class CKind>
std::vector<CDevice::CIdPtr> KindIds() {
    const auto& ids = CKind::CInstances::Get().Ids();
    return {ids.begin(), ids.end()};
}

// Registers the kind with the display-name registry; a kind's file holds one of these.
template <class CKind>
bool RegisterKindT(EKind eKind, int nEnumerationOrder) {
    return RegisterKind({eKind, nEnumerationOrder, &KindIds<CKind>});
}

}  // namespace DUve::AudioDevice
