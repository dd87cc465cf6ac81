#include "runtime/RThreadMessage.h"

#include <mutex>

namespace DUve::CRThreadMessage {

namespace {

using CKey = std::weak_ptr<CRThreadBridge::CReceiverBridge>;

// Process-wide table from receiver to its handlers. A receiver's map is replaced, never
// modified in place, so a delivery can use its copy without holding the mutex.
struct CRegistry {
    std::mutex mutex;
    std::map<CKey, std::shared_ptr<const CInner::CMapFunc>, std::owner_less<CKey>> receivers;
};

CRegistry& Registry() {
    static CRegistry* registry = new CRegistry;  // never destroyed: threads may outlive statics
    return *registry;
}

bool IsGone(const CKey& key) {
    const auto bridge = key.lock();
    return !bridge || !bridge->IsAlive();
}

}  // namespace

void AddHandler(const CRThreadBridge::CReceiver& receiver, std::type_index type, CHandler handler) {
    auto& reg = Registry();
    std::lock_guard lock(reg.mutex);
    if (reg.receivers.size() % 16 == 15) {
        std::erase_if(reg.receivers, [](const auto& entry) { return IsGone(entry.first); });
    }
    auto& slot = reg.receivers[CKey(receiver.Bridge())];
    auto map = slot ? std::make_shared<CInner::CMapFunc>(*slot)
                    : std::make_shared<CInner::CMapFunc>();
    (*map)[type] = std::move(handler);
    slot = std::move(map);
}

size_t RegisteredReceiverCount() {
    auto& reg = Registry();
    std::lock_guard lock(reg.mutex);
    return reg.receivers.size();
}

void Deliver(const CSender& sender, const CBatch& batch) {
    const auto bridge = sender.Lock();
    if (!bridge) return;
    std::shared_ptr<const CInner::CMapFunc> map;
    {
        auto& reg = Registry();
        std::lock_guard lock(reg.mutex);
        const auto it = reg.receivers.find(CKey(bridge));
        if (it == reg.receivers.end()) return;
        map = it->second;
    }
    const auto all = map->find(std::type_index(typeid(CInner::CMessageAll)));
    const CHandler* catchAll = all != map->end() ? &all->second : nullptr;
    for (const auto& message : batch) {
        if (!bridge->IsAlive()) return;
        if (!message) continue;
        if (catchAll) {
            (*catchAll)(message);
            if (!bridge->IsAlive()) return;
        }
        const CMessage& m = *message;
        const auto it = map->find(std::type_index(typeid(m)));
        if (it != map->end()) it->second(message);
    }
}

void CListSender::Add(const CSender& sender) {
    std::erase_if(m_senders, [](const CSender& s) { return !s.IsAlive(); });
    for (const auto& s : m_senders)
        if (s == sender) return;
    m_senders.push_back(sender);
}

void CListSender::Send(const CMessagePtr& message) const {
    for (const auto& s : m_senders) s.Send(message);
}

}  // namespace DUve::CRThreadMessage
