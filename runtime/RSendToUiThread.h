// Signals to the user-interface thread: any thread may Signal an object, and its handler
// then runs on the UI thread with the number of signals since its last call. Signals are
// coalesced (see CRUiLoop); CRSendToUiThreadT is a FIFO queue delivered that way.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace DUve {

class CRUiLoop;

class CRSendToUiThread {
public:
    // Shared state, reachable from the UI loop's list while the object lives.
    struct CInner {
        std::weak_ptr<CRUiLoop> loop;
        std::mutex mutex;
        uint32_t nPending = 0;  // signals not yet handed to the handler
        bool bBusy = false;     // set while the handler runs
        CRSendToUiThread* pOwner = nullptr;
    };

    // Must be created on a thread that has a current UI loop (CRUiLoop::Current()).
    CRSendToUiThread();
    virtual ~CRSendToUiThread();
    CRSendToUiThread(const CRSendToUiThread&) = delete;
    CRSendToUiThread& operator=(const CRSendToUiThread&) = delete;

    // Any thread: request one call of OnSignal on the UI thread. Never blocks.
    void Signal();

protected:
    // UI thread: called with the number of signals received since the last call.
    virtual void OnSignal(uint32_t count) = 0;

private:
    friend class CRUiLoop;
    std::shared_ptr<CInner> m_inner;
};

// A FIFO queue whose items are handed, in order, to a handler on the UI thread.
template <class CData>
class CRSendToUiThreadT {
public:
    using CHandler = std::function<void(CData&)>;

    // On the UI thread.
    explicit CRSendToUiThreadT(CHandler handler) : m_handler(std::move(handler)), m_signal(*this) {}

    // Any thread.
    void Push(CData data) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(data));
        }
        m_signal.Signal();
    }

private:
    class CSignal : public CRSendToUiThread {
    public:
        explicit CSignal(CRSendToUiThreadT& owner) : m_owner(owner) {}

    protected:
        void OnSignal(uint32_t) override { m_owner.Drain(); }

    private:
        CRSendToUiThreadT& m_owner;
    };

    void Drain() {
        std::deque<CData> items;
        {
            std::lock_guard lock(m_mutex);
            items.swap(m_queue);
        }
        for (auto& item : items) m_handler(item);
    }

    CHandler m_handler;
    std::mutex m_mutex;
    std::deque<CData> m_queue;
    CSignal m_signal;  // last: detached first on destruction
};

}  // namespace DUve
