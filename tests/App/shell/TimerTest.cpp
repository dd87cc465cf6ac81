// UI timers on a replaced clock: when they fire, restart without catching up, period 0,
// a callback that ends its own timer; and one real-time run on the GLib main loop.
#include "App/shell/RTimer.h"

#include <gtest/gtest.h>

#include <memory>

#include <glib.h>

#include "support/ManualClock.h"

using namespace DUve;
using Timer = CRTimerT<CRTimerCounter>;

namespace {

constexpr uint64_t kMs = 1000000;  // ticks of a millisecond

class TimerClock : public ::testing::Test {
protected:
    DUve::Test::CManualClock::CScope m_clock{1000 * kMs};
    void Advance(uint64_t ms) { m_clock.clock->Advance(ms * kMs); }
};

TEST_F(TimerClock, CounterArithmetic) {
    CRTimerCounter c;
    EXPECT_EQ(c.ElapsedMilliseconds(), 0u);
    c.Resume();
    Advance(250);
    EXPECT_EQ(c.ElapsedMilliseconds(), 250u);
    c.Pause();
    Advance(1000);  // paused time does not count
    EXPECT_EQ(c.ElapsedMilliseconds(), 250u);
    c.Resume();
    m_clock.clock->Advance(kMs / 2);
    EXPECT_DOUBLE_EQ(c.ElapsedSeconds(), 0.2505);
    EXPECT_EQ(c.ElapsedMilliseconds(), 250u);  // truncated
    c.Restart();
    EXPECT_TRUE(c.IsRunning());
    EXPECT_EQ(c.ElapsedMilliseconds(), 0u);
}

TEST_F(TimerClock, FiresOncePerElapsedPeriodWithoutCatchingUp) {
    int a = 0, idle = 0;
    Timer ta(100, [&](Timer&) { ++a; });
    Timer tz(0, [&](Timer&) { ++idle; });
    Advance(99);
    EXPECT_EQ(Timer::RunDue(), 0);
    Advance(1);
    EXPECT_EQ(Timer::RunDue(), 1);
    EXPECT_EQ(a, 1);
    // Late by 3.5 periods: one call, and the next period counts from now.
    Advance(350);
    Timer::RunDue();
    EXPECT_EQ(a, 2);
    Advance(99);
    Timer::RunDue();
    EXPECT_EQ(a, 2);
    Advance(1);
    Timer::RunDue();
    EXPECT_EQ(a, 3);
    // Period 0 never fires, however long; setting a period starts it.
    Advance(100000);
    Timer::RunDue();
    EXPECT_EQ(idle, 0);
    tz.SetPeriod(10);
    Advance(10);
    Timer::RunDue();
    EXPECT_EQ(idle, 1);
    tz.SetPeriod(0);
    Advance(100);
    Timer::RunDue();
    EXPECT_EQ(idle, 1);
}

TEST_F(TimerClock, ACallbackMayEndItsOwnTimerAndOthers) {
    int a = 0, b = 0;
    std::unique_ptr<Timer> ta, tb;
    ta = std::make_unique<Timer>(10, [&](Timer& self) {
        ++a;
        EXPECT_EQ(&self, ta.get());
        ta.reset();  // ends itself
        tb.reset();  // and the next one in the list, before its turn
    });
    tb = std::make_unique<Timer>(10, [&](Timer&) { ++b; });
    Advance(10);
    EXPECT_EQ(Timer::RunDue(), 1);
    Advance(100);
    EXPECT_EQ(Timer::RunDue(), 0);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    // A timer made inside a callback joins the next round.
    int c = 0;
    std::unique_ptr<Timer> inner;
    Timer outer(10, [&](Timer&) {
        if (!inner) inner = std::make_unique<Timer>(10, [&](Timer&) { ++c; });
    });
    Advance(10);
    Timer::RunDue();
    EXPECT_EQ(c, 0);
    Advance(10);
    Timer::RunDue();
    EXPECT_EQ(c, 1);
}

TEST(TimerRealTime, FiresOnTheMainLoop) {
    int fired = 0;
    Timer t(20, [&](Timer&) { ++fired; });
    const gint64 end = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (fired < 3 && g_get_monotonic_time() < end) g_main_context_iteration(nullptr, TRUE);
    EXPECT_GE(fired, 3);
}

}  // namespace
