// The user-interface loop on GLib's main context: the loop of the window program, where
// GTK and the browser run. Wake-ups are GLib idle sources attached from any thread; the
// coalescing rules are the base class's, as on the plain loop.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "runtime/RUiLoop.h"

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace DUve {

class CRUiLoopGlib : public CRUiLoop {
public:
    // Creates the loop on `context` (null: the global default context, the one GTK runs)
    // and makes it current for the calling thread.
    static std::shared_ptr<CRUiLoopGlib> Create(GMainContext* context = nullptr);
    ~CRUiLoopGlib() override;

    GMainContext* Context() const { return m_context; }
    // Runs the context until Stop() (a nested run stops on its own Stop()).
    void Run();
    void Stop();
    void RunFor(std::chrono::milliseconds d) override;

    std::shared_ptr<void> StartTimer(std::chrono::milliseconds period,
                                     std::function<void()> f) override;
    uint32_t QueuedWakeups() const { return m_nQueued.load(); }
    uint32_t MaxQueuedWakeups() const { return m_nMaxQueued.load(); }

protected:
    void PostWakeup() override;

private:
    explicit CRUiLoopGlib(GMainContext* context);
    struct CWakeup;
    GMainContext* m_context;
    GMainLoop* m_loop = nullptr;
    std::atomic<uint32_t> m_nQueued{0};
    std::atomic<uint32_t> m_nMaxQueued{0};
};

}  // namespace DUve
