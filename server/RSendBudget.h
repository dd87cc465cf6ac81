// The process-wide bound of the bytes queued for sending by all connections on all
// threads. A buffer shared by several connections (a broadcast frame) counts once, from
// the first connection that queues it until the last one has written or dropped it. Each
// connection also keeps its own count, in which every buffer it queued counts in full.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

#include <boost/system/error_code.hpp>

namespace DUve::CRSocket {

// Default bound of the bytes queued by all connections of the process together.
constexpr size_t kDefaultGlobalSendLimit = size_t{1} << 30;

// A send that takes the total over the bound fails the connection holding the most queued
// bytes (with ErrorGlobalSendLimit(), reported on that connection's own thread).
void SetGlobalSendLimit(size_t bytes);
size_t GlobalSendLimit();
// Bytes queued and not yet written, all connections together, shared buffers once.
size_t GlobalQueuedBytes();
// The error a connection fails with when it was dropped to bring the total back under
// the process-wide bound.
boost::system::error_code ErrorGlobalSendLimit();

// The bytes of one buffer in the process-wide total while any connection holds it queued.
// Hold and Release may come from several threads.
class CSharedCharge {
public:
    explicit CSharedCharge(size_t bytes) : m_nBytes(bytes) {}
    ~CSharedCharge();
    CSharedCharge(const CSharedCharge&) = delete;
    CSharedCharge& operator=(const CSharedCharge&) = delete;

    size_t Bytes() const { return m_nBytes; }
    // One more connection holds the buffer; the first one counts its bytes.
    void Hold() const;
    // One connection let go; the last one gives the bytes back.
    void Release() const;

private:
    const size_t m_nBytes;
    mutable std::atomic<size_t> m_nHolders{0};
};

// One connection's queued bytes and its entry in the process-wide registry, from which
// the largest queue is chosen when the total goes over the bound.
class CSendAccount {
public:
    // Runs when this connection is chosen to go: on whichever thread went over the bound,
    // under the registry's lock; it must only hand the work to the connection's thread,
    // which then fails the connection and calls DropAll().
    using CEvict = std::function<void()>;

    CSendAccount() = default;
    ~CSendAccount() { Leave(); }
    CSendAccount(const CSendAccount&) = delete;
    CSendAccount& operator=(const CSendAccount&) = delete;

    // Makes the connection one that can be chosen (connections that never joined are
    // only counted).
    void Join(CEvict evict);
    bool Joined() const { return m_bJoined; }
    // Out of the registry for good (idempotent); to be called before the queue goes.
    void Leave();

    // Counts a buffer into this queue, then enforces the bound.
    void Queue(const CSharedCharge& charge);
    // Counts a written or dropped buffer out of this queue.
    void Unqueue(const CSharedCharge& charge);
    // After the queue was dropped: the bytes counted as leaving are settled.
    void Settle();

    size_t Pending() const { return m_nPending.load(std::memory_order_relaxed); }
    bool Evicted() const { return m_bEvicted.load(); }

private:
    friend struct CSendBudget;

    std::atomic<size_t> m_nPending{0};
    // Set (by any thread) once this connection was chosen to go; m_nEvictCredit holds
    // the bytes counted as already on their way out.
    std::atomic<bool> m_bEvicted{false};
    std::atomic<size_t> m_nEvictCredit{0};
    CEvict m_evict;
    bool m_bJoined = false;
};

}  // namespace DUve::CRSocket
