// Millisecond-period callbacks on the creating thread's GLib main context. A timer fires
// when its counter has run for at least its period, then restarts its counter, so a late
// call is not caught up. All timers of a thread share one GLib source, armed for the
// nearest due timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace DUve {

// A stopwatch over the process clock's ticks.
class CRTimerCounter {
public:
    // Ticks now, and ticks per second: nanoseconds of the process clock (runtime/RClock.h).
    static uint64_t Now();
    static uint32_t Frequency();

    void Resume();
    void Pause();
    void Restart();  // start = now, accumulated = 0; running or not stays
    double ElapsedSeconds() const;
    uint64_t ElapsedMilliseconds() const;
    bool IsRunning() const { return m_bRunning; }

private:
    bool m_bRunning = false;
    uint64_t m_nStart = Now();
    uint64_t m_nAccumulated = 0;
};

template <class TCounter>
class CRTimerT {
public:
    using CCallback = std::function<void(CRTimerT&)>;

    // Period 0: the timer exists but never fires.
    CRTimerT(uint32_t periodMs, CCallback callback);
    ~CRTimerT();
    CRTimerT(const CRTimerT&) = delete;
    CRTimerT& operator=(const CRTimerT&) = delete;

    void SetPeriod(uint32_t periodMs);
    uint32_t Period() const;

    // Fires the calling thread's due timers now (what the thread's source does when it
    // expires); returns how many fired.
    static int RunDue();

    struct CMain;
    struct CWin;

private:
    std::shared_ptr<CMain> m_main;
};

extern template class CRTimerT<CRTimerCounter>;

}  // namespace DUve
