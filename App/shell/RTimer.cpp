#include "App/shell/RTimer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include <glib.h>

#include "runtime/RClock.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

uint64_t CRTimerCounter::Now() { return CRClock::Nanoseconds(); }
uint32_t CRTimerCounter::Frequency() { return 1000000000u; }

void CRTimerCounter::Resume() {
    if (m_bRunning) return;
    m_nStart = Now();
    m_bRunning = true;
}

void CRTimerCounter::Pause() {
    if (!m_bRunning) return;
    const uint64_t now = Now();
    m_nAccumulated += now - m_nStart;
    m_nStart = now;
    m_bRunning = false;
}

void CRTimerCounter::Restart() {
    m_nStart = Now();
    m_nAccumulated = 0;
}

double CRTimerCounter::ElapsedSeconds() const {
    const uint64_t ticks = m_bRunning ? m_nAccumulated + (Now() - m_nStart) : m_nAccumulated;
    return static_cast<double>(ticks) / Frequency();
}

uint64_t CRTimerCounter::ElapsedMilliseconds() const {
    if (m_bRunning) return static_cast<uint64_t>(ElapsedSeconds() * 1000.0);
    return static_cast<uint64_t>(static_cast<double>(m_nAccumulated) / Frequency() * 1000.0);
}

template <class TCounter>
struct CRTimerT<TCounter>::CMain {
    CCallback callback;
    uint32_t nPeriod = 0;
    TCounter counter;
    std::shared_ptr<CWin> win;
    CRTimerT* pHandle = nullptr;
};

// One per thread that has timers: the list of its timers and the GLib source that fires
// them, armed for the nearest due one.
template <class TCounter>
struct CRTimerT<TCounter>::CWin {
    std::vector<std::weak_ptr<CMain>> timers;
    int nDepth = 0;
    GMainContext* context = g_main_context_ref_thread_default();
    GSource* source = nullptr;

    ~CWin() {
        Disarm();
        g_main_context_unref(context);
    }

    static std::shared_ptr<CWin> EnsureInstance() {
        thread_local std::weak_ptr<CWin> instance;
        auto win = instance.lock();
        if (!win) {
            win = std::make_shared<CWin>();
            instance = win;
        }
        return win;
    }

    static std::shared_ptr<CWin> Current() {
        return EnsureInstance();
    }

    void Disarm() {
        if (!source) return;
        g_source_destroy(source);
        g_source_unref(source);
        source = nullptr;
    }

    // Arms the source for the nearest due timer, or leaves it off when none runs.
    void Arm() {
        Disarm();
        uint64_t wait = UINT64_MAX;
        for (const auto& w : timers) {
            auto m = w.lock();
            if (!m || m->nPeriod == 0 || !m->counter.IsRunning()) continue;
            const uint64_t elapsed = m->counter.ElapsedMilliseconds();
            wait = std::min<uint64_t>(wait, elapsed >= m->nPeriod ? 0 : m->nPeriod - elapsed);
        }
        if (wait == UINT64_MAX) return;
        // One millisecond more than due, so the counter has surely reached the period.
        source = g_timeout_source_new(static_cast<guint>(std::min<uint64_t>(wait + 1, G_MAXUINT)));
        g_source_set_callback(
            source,
            [](gpointer) -> gboolean {
                CRTimerT::RunDue();
                return G_SOURCE_REMOVE;
            },
            nullptr, nullptr);
        g_source_attach(source, context);
    }

    int Fire() {
        int fired = 0;
        ++nDepth;
        for (size_t i = 0; i < timers.size(); ++i) {
            auto m = timers[i].lock();  // held for the step, with its window
            if (!m || m->nPeriod == 0) continue;
            if (m->counter.ElapsedMilliseconds() < m->nPeriod) continue;
            m->counter.Restart();
            ++fired;
            if (m->callback && m->pHandle) {
                try {
                    m->callback(*m->pHandle);
                } catch (const std::exception& e) {
                    std::fprintf(OwnStderr(), "palvorserver: a timer callback failed: %s\n", e.what());
                } catch (...) {
                    std::fprintf(OwnStderr(), "palvorserver: a timer callback failed with an unknown exception\n");
                }
            }
        }
        if (--nDepth == 0) std::erase_if(timers, [](const auto& w) { return w.expired(); });
        return fired;
    }
};

template <class TCounter>
CRTimerT<TCounter>::CRTimerT(uint32_t periodMs, CCallback callback)
    : m_main(std::make_shared<CMain>()) {
    m_main->callback = std::move(callback);
    m_main->win = CWin::EnsureInstance();
    m_main->pHandle = this;
    m_main->win->timers.push_back(m_main);
    SetPeriod(periodMs);
}

template <class TCounter>
CRTimerT<TCounter>::~CRTimerT() {
    m_main->pHandle = nullptr;
    m_main->nPeriod = 0;
    auto win = m_main->win;
    m_main.reset();
    if (win && win->nDepth == 0) {
        std::erase_if(win->timers, [](const auto& w) { return w.expired(); });
        win->Arm();
    }
}

template <class TCounter>
void CRTimerT<TCounter>::SetPeriod(uint32_t periodMs) {
    m_main->nPeriod = periodMs;
    if (periodMs != 0)
        m_main->counter.Resume();
    else
        m_main->counter.Pause();
    if (m_main->win->nDepth == 0) m_main->win->Arm();
}

template <class TCounter>
uint32_t CRTimerT<TCounter>::Period() const {
    return m_main->nPeriod;
}

template <class TCounter>
int CRTimerT<TCounter>::RunDue() {
    auto win = CWin::Current();
    const int fired = win->Fire();
    if (win->nDepth == 0) win->Arm();
    return fired;
}

template class CRTimerT<CRTimerCounter>;

}  // namespace DUve
