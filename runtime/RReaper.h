// Destroys objects on a thread of its own, for callers that must not wait for a
// destructor (a service whose destructor joins a thread that is still busy). Objects
// handed over are released in order; at the end of the process the reaper waits a short
// while for what is still in hand and then leaves it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace DUve {

class CRReaper {
public:
    static CRReaper& Instance();

    // Releases `object` on the reaper's thread (its last reference, if it is the last).
    void Release(std::shared_ptr<void> object);
    // Waits until everything handed over has been released; false after `timeout`.
    bool WaitIdle(std::chrono::milliseconds timeout);

    CRReaper();
    ~CRReaper();
    CRReaper(const CRReaper&) = delete;
    CRReaper& operator=(const CRReaper&) = delete;

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::shared_ptr<void>> m_queue;
    bool m_bBusy = false;
    bool m_bStop = false;
    std::thread m_thread;
};

}  // namespace DUve
