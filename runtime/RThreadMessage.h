// Typed messages between threads: the per-receiver handler tables (by dynamic message
// type, with an optional catch-all), sender lists for notifications, the add-notify
// request, and the request tables through which a service dispatches request messages.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "runtime/RThreadBridge.h"

namespace DUve::CRThreadMessage {

using CSender = CRThreadBridge::CSender;
using CHandler = std::function<void(const CMessagePtr&)>;

namespace CInner {
// Reserved key: a handler registered under it sees every message first.
struct CMessageAll {};
using CMapFunc = std::map<std::type_index, CHandler>;
}  // namespace CInner

// Records `handler` for messages of dynamic type `type` sent to `receiver` (replacing an
// earlier one); typeid(CInner::CMessageAll) makes it the catch-all.
void AddHandler(const CRThreadBridge::CReceiver& receiver, std::type_index type, CHandler handler);

// Typed form: the handler receives the message already cast to T.
template <class T>
void AddHandler(const CRThreadBridge::CReceiver& receiver,
                std::function<void(const std::shared_ptr<const T>&)> handler) {
    AddHandler(receiver, std::type_index(typeid(T)),
               [h = std::move(handler)](const CMessagePtr& m) {
                   h(std::static_pointer_cast<const T>(m));
               });
}

// Catch-all handler of a receiver.
inline void AddCatchAll(const CRThreadBridge::CReceiver& receiver, CHandler handler) {
    AddHandler(receiver, std::type_index(typeid(CInner::CMessageAll)), std::move(handler));
}

// Runs the handlers of the sender's receiver for each message of the batch, in order.
// Called by the endpoints on the receiver's thread.
void Deliver(const CSender& sender, const CBatch& batch);

// Number of receivers that currently have a handler table (for diagnostics and tests).
size_t RegisteredReceiverCount();

// The senders a service notifies, in a fixed order; equal senders collapse into one.
class CListSender {
public:
    CListSender() = default;
    explicit CListSender(const CSender& sender) { Add(sender); }

    void Add(const CSender& sender);
    // Sends `message` through each member, each as a one-message batch.
    void Send(const CMessagePtr& message) const;
    size_t size() const { return m_senders.size(); }
    bool empty() const { return m_senders.empty(); }

private:
    std::vector<CSender> m_senders;
};

// Subscription request: its handler adds `sender` to the service's CListSender.
struct CAddNotify : CMessage {
    explicit CAddNotify(CSender s) : sender(std::move(s)) {}
    CSender sender;
};

// A service's static table from request message type to handler.
template <class CMain>
class CRRequestTableT {
public:
    using CFunc = std::function<void(CMain&, const CMessagePtr&)>;

    template <class TRequest>
    CRRequestTableT& Add(std::function<void(CMain&, const std::shared_ptr<const TRequest>&)> f) {
        m_map[std::type_index(typeid(TRequest))] = [f = std::move(f)](CMain& main,
                                                                      const CMessagePtr& m) {
            f(main, std::static_pointer_cast<const TRequest>(m));
        };
        return *this;
    }

    // Runs the handler of the message's dynamic type; a type without one is ignored.
    bool Dispatch(CMain& main, const CMessagePtr& message) const {
        if (!message) return false;
        const CMessage& m = *message;
        const auto it = m_map.find(std::type_index(typeid(m)));
        if (it == m_map.end()) return false;
        it->second(main, message);
        return true;
    }

private:
    std::map<std::type_index, CFunc> m_map;
};

}  // namespace DUve::CRThreadMessage
