#include "runtime/RUiLoopGlib.h"

#include <cstdio>
#include <algorithm>
#include <exception>

#include <glib.h>

#include "runtime/RForeignOutput.h"

namespace DUve {

struct CRUiLoopGlib::CWakeup {
    std::weak_ptr<CRUiLoop> loop;
};

CRUiLoopGlib::CRUiLoopGlib(GMainContext* context)
    : m_context(g_main_context_ref(context ? context : g_main_context_default())),
      m_loop(g_main_loop_new(m_context, FALSE)) {}

CRUiLoopGlib::~CRUiLoopGlib() {
    g_main_loop_unref(m_loop);
    g_main_context_unref(m_context);
}

std::shared_ptr<CRUiLoopGlib> CRUiLoopGlib::Create(GMainContext* context) {
    std::shared_ptr<CRUiLoopGlib> loop(new CRUiLoopGlib(context));
    loop->MakeCurrent();
    return loop;
}

void CRUiLoopGlib::PostWakeup() {
    const uint32_t queued = ++m_nQueued;
    uint32_t max = m_nMaxQueued.load();
    while (queued > max && !m_nMaxQueued.compare_exchange_weak(max, queued)) {
    }
    // Attaching a source is safe from any thread and wakes the context up.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    auto* wakeup = new CWakeup{weak_from_this()};
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* w = static_cast<CWakeup*>(data);
            if (auto loop = w->loop.lock()) {
                auto* self = static_cast<CRUiLoopGlib*>(loop.get());
                --self->m_nQueued;
                self->OnWakeup();
            }
            return G_SOURCE_REMOVE;
        },
        wakeup, [](gpointer data) { delete static_cast<CWakeup*>(data); });
    g_source_attach(source, m_context);
    g_source_unref(source);
}

void CRUiLoopGlib::Run() {
    GMainLoop* loop = g_main_loop_new(m_context, FALSE);
    GMainLoop* outer = m_loop;
    m_loop = loop;
    g_main_loop_run(loop);
    m_loop = outer;
    g_main_loop_unref(loop);
}

void CRUiLoopGlib::Stop() {
    if (m_loop) g_main_loop_quit(m_loop);
}

void CRUiLoopGlib::RunFor(std::chrono::milliseconds d) {
    bool expired = false;
    GSource* timeout = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(0, d.count())));
    g_source_set_callback(
        timeout,
        [](gpointer data) -> gboolean {
            *static_cast<bool*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timeout, m_context);
    while (!expired) g_main_context_iteration(m_context, TRUE);
    g_source_destroy(timeout);
    g_source_unref(timeout);
}

namespace {
// A periodic callback re-armed from its previous deadline, so it does not drift; a late
// expiry is not caught up by firing twice.
struct CGlibPeriodic {
    GMainContext* context = nullptr;
    GSource* source = nullptr;
    gint64 deadline = 0;  // microseconds of g_get_monotonic_time
    gint64 period = 0;
    std::function<void()> callback;

    ~CGlibPeriodic() {
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }

    void Arm() {
        deadline += period;
        const gint64 now = g_get_monotonic_time();
        if (deadline < now) deadline = now;
        const guint delay = static_cast<guint>((deadline - now + 999) / 1000);
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        source = g_timeout_source_new(delay);
        g_source_set_callback(source, &CGlibPeriodic::OnExpiry, this, nullptr);
        g_source_attach(source, context);
    }

    static gboolean OnExpiry(gpointer data) {
        auto* self = static_cast<CGlibPeriodic*>(data);
        // Re-arming replaces the source that is running now; keep it alive until we return.
        GSource* running = g_source_ref(self->source);
        self->Arm();
        const auto callback = self->callback;  // the callback may end this timer
        try {
            callback();
        } catch (const std::exception& e) {
            std::fprintf(OwnStderr(), "palvor: a UI timer callback failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(OwnStderr(), "palvor: a UI timer callback failed with an unknown exception\n");
        }
        g_source_unref(running);
        return G_SOURCE_REMOVE;
    }
};
}  // namespace

std::shared_ptr<void> CRUiLoopGlib::StartTimer(std::chrono::milliseconds period,
                                               std::function<void()> f) {
    auto t = std::make_shared<CGlibPeriodic>();
    t->context = m_context;
    t->period = std::max<gint64>(1, period.count()) * 1000;
    t->deadline = g_get_monotonic_time();
    t->callback = std::move(f);
    t->Arm();
    return t;
}

}  // namespace DUve
