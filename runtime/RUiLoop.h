// The user-interface loop: a thread-safe wake-up of the UI thread plus the handler it runs
// there. The base class owns the coalescing rules shared by every implementation (at most
// two wake-ups queued, pending counts so no signal is lost, a busy flag against
// re-entry); an implementation only supplies the raw wake-up. CRUiLoopAsio runs on a
// plain Boost.Asio event loop (headless program, tests).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "runtime/RSendToUiThread.h"

namespace DUve {

class CRUiLoop : public std::enable_shared_from_this<CRUiLoop> {
public:
    virtual ~CRUiLoop() = default;

    // The UI loop of the calling thread, if one was made current there.
    static std::shared_ptr<CRUiLoop> Current();
    // Makes this the calling thread's UI loop (the thread that will run it).
    void MakeCurrent();

    // Wake-ups requested but not yet handled (never more than 2).
    uint32_t PostedCount() const;
    // The largest PostedCount ever reached.
    uint32_t MaxPostedCount() const;

    // UI thread: calls `f` on the UI thread every `period`, counted from the previous
    // expiry so it does not drift, until the returned handle is released.
    virtual std::shared_ptr<void> StartTimer(std::chrono::milliseconds period,
                                             std::function<void()> f) = 0;

    // UI thread: runs the handlers that are ready, and those that become ready within `d`.
    virtual void RunFor(std::chrono::milliseconds d) = 0;
    // UI thread: runs handlers until `done()` is true or `timeout` passes; returns done().
    template <class F>
    bool RunUntil(F&& done, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            RunFor(std::chrono::milliseconds(5));
        }
        return true;
    }

protected:
    // Any thread: queue one call of OnWakeup on the UI thread. Must not block and must
    // not run it inline.
    virtual void PostWakeup() = 0;
    // UI thread: run the handlers of every signalled object.
    void OnWakeup();

private:
    friend class CRSendToUiThread;
    void Register(const std::shared_ptr<CRSendToUiThread::CInner>& inner);
    void RequestWakeup();

    mutable std::mutex m_mutex;
    std::vector<std::weak_ptr<CRSendToUiThread::CInner>> m_inners;
    uint32_t m_nPosted = 0;
    uint32_t m_nMaxPosted = 0;
};

class CRUiLoopAsio : public CRUiLoop {
public:
    // Creates the loop and makes it current for the calling thread.
    static std::shared_ptr<CRUiLoopAsio> Create();

    boost::asio::io_context& IoContext() { return m_io; }
    // Runs until Stop() (keeps running while idle).
    void Run();
    // Runs the handlers that are ready, and those that become ready within `d`.
    void RunFor(std::chrono::milliseconds d) override;
    void Stop();
    std::shared_ptr<void> StartTimer(std::chrono::milliseconds period,
                                     std::function<void()> f) override;
    // Raw wake-ups posted to the event loop and not yet run (the implementation's queue).
    uint32_t QueuedWakeups() const { return m_nQueued.load(); }
    uint32_t MaxQueuedWakeups() const { return m_nMaxQueued.load(); }

protected:
    void PostWakeup() override;

private:
    CRUiLoopAsio() = default;
    boost::asio::io_context m_io;
    std::atomic<uint32_t> m_nQueued{0};
    std::atomic<uint32_t> m_nMaxQueued{0};
};

}  // namespace DUve
