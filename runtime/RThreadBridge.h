// Thread bridge: how a batch of messages reaches the thread of its receiver. A thread
// that receives installs one endpoint (bound to its event loop, or to the UI loop);
// receivers made on that thread are tied to it, and senders are weak handles to them.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace DUve {

class CRUiLoop;

namespace CRThreadMessage {
// Root of every message between threads. Messages are immutable once sent.
class CMessage {
public:
    virtual ~CMessage() = default;
};
using CMessagePtr = std::shared_ptr<const CMessage>;
using CBatch = std::vector<CMessagePtr>;
}  // namespace CRThreadMessage

namespace CRThreadBridge {

class CSender;
class CReceiver;
class CThreadSingleton;

// Shared between an endpoint and the receivers of its thread; outlives the endpoint.
// Once the endpoint is gone, every hand-over through it is dropped.
class CThreadSingletonBridge {
public:
    explicit CThreadSingletonBridge(CThreadSingleton* endpoint) : m_pEndpoint(endpoint) {}
    // Hands the batch to the endpoint if it is still attached; false when dropped.
    bool HandOver(const CSender& sender, CRThreadMessage::CBatch&& batch);
    void Detach();

private:
    std::mutex m_mutex;
    CThreadSingleton* m_pEndpoint;
};

// The receiving endpoint of one thread.
class CThreadSingleton {
public:
    virtual ~CThreadSingleton();
    const std::shared_ptr<CThreadSingletonBridge>& Bridge() const { return m_bridge; }
    // Arranges delivery of the batch on this endpoint's thread (called under the bridge's
    // mutex, from any thread; must not block).
    virtual void Post(const CSender& sender, CRThreadMessage::CBatch&& batch) = 0;
    // Whether this endpoint delivers through `loop` (an io_context* or CRUiLoop*).
    virtual bool Serves(const void* loop) const = 0;

protected:
    CThreadSingleton() : m_bridge(std::make_shared<CThreadSingletonBridge>(this)) {}

private:
    std::shared_ptr<CThreadSingletonBridge> m_bridge;
};

// A receiver's shared identity: its thread's bridge and a back pointer that is cleared
// when the receiver goes.
class CReceiverBridge {
public:
    explicit CReceiverBridge(std::shared_ptr<CThreadSingletonBridge> thread)
        : m_thread(std::move(thread)) {}
    const std::shared_ptr<CThreadSingletonBridge>& Thread() const { return m_thread; }
    bool IsAlive() const { return m_bAlive.load(std::memory_order_acquire); }
    void Kill() { m_bAlive.store(false, std::memory_order_release); }

private:
    std::shared_ptr<CThreadSingletonBridge> m_thread;
    std::atomic<bool> m_bAlive{true};
};

// Owning receive handle of a component on its thread. Destroying it makes every sender
// and every handler registration of it inert.
class CReceiver {
public:
    explicit CReceiver(std::shared_ptr<CThreadSingletonBridge> thread)
        : m_bridge(std::make_shared<CReceiverBridge>(std::move(thread))) {}
    ~CReceiver() { m_bridge->Kill(); }
    CReceiver(const CReceiver&) = delete;
    CReceiver& operator=(const CReceiver&) = delete;

    CSender GetSender() const;
    const std::shared_ptr<CReceiverBridge>& Bridge() const { return m_bridge; }

private:
    std::shared_ptr<CReceiverBridge> m_bridge;
};
using CReceiverPtr = std::unique_ptr<CReceiver>;

// Weak, copyable handle to a receiver. Sending through a sender whose receiver or thread
// is gone does nothing.
class CSender {
public:
    CSender() = default;
    explicit CSender(std::weak_ptr<CReceiverBridge> bridge) : m_bridge(std::move(bridge)) {}

    void Send(CRThreadMessage::CMessagePtr message) const;
    void Send(CRThreadMessage::CBatch batch) const;
    std::shared_ptr<CReceiverBridge> Lock() const { return m_bridge.lock(); }
    bool IsAlive() const;

    friend bool operator==(const CSender& a, const CSender& b) {
        return !a.m_bridge.owner_before(b.m_bridge) && !b.m_bridge.owner_before(a.m_bridge);
    }
    friend bool operator<(const CSender& a, const CSender& b) {
        return a.m_bridge.owner_before(b.m_bridge);
    }

private:
    std::weak_ptr<CReceiverBridge> m_bridge;
};

inline CSender CReceiver::GetSender() const { return CSender(m_bridge); }

// Makes the calling thread receive through `io` (once; a call with another loop replaces
// the endpoint) and returns a new receiver tied to it. Called by every service object
// first thing in its constructor, on its worker thread.
CReceiverPtr InitializeIoService(boost::asio::io_context& io);

// The same for the user-interface thread: deliveries go through the calling thread's
// current UI loop (CRUiLoop::Current(), which must be set).
CReceiverPtr InitializeUiThread();

// Removes the calling thread's endpoint (as its end would): later hand-overs to the
// receivers of this thread are dropped.
void ReleaseThread();

}  // namespace CRThreadBridge
}  // namespace DUve
