#include "runtime/RReaper.h"

#include <cstdio>

#include "runtime/RForeignOutput.h"

namespace DUve {

CRReaper& CRReaper::Instance() {
    static CRReaper reaper;
    return reaper;
}

CRReaper::CRReaper() : m_thread([this] { Run(); }) {}

CRReaper::~CRReaper() {
    const bool idle = WaitIdle(std::chrono::seconds(2));
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    if (idle) {
        m_thread.join();
    } else {
        std::fputs("palvor: an abandoned service is still busy at exit; not waiting for it\n",
                   OwnStderr());
        m_thread.detach();
    }
}

void CRReaper::Release(std::shared_ptr<void> object) {
    if (!object) return;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(object));
    }
    m_changed.notify_all();
}

bool CRReaper::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_queue.empty() && !m_bBusy; });
}

void CRReaper::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bStop || !m_queue.empty(); });
        if (m_queue.empty()) return;  // stopping, nothing left
        std::shared_ptr<void> object = std::move(m_queue.front());
        m_queue.pop_front();
        m_bBusy = true;
        lock.unlock();
        object.reset();  // the destructor runs here, outside the lock
        lock.lock();
        m_bBusy = false;
        m_changed.notify_all();
    }
}

}  // namespace DUve
