// The UI loop on GLib's main context: signals from other threads coalesce into at most
// two wake-ups and all arrive; a stopped run returns; periodic timers fire until released.
#include "runtime/RUiLoopGlib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <glib.h>

#include "runtime/RSendToUiThread.h"

using namespace DUve;
using namespace std::chrono_literals;

namespace {

class CCount : public CRSendToUiThread {
public:
    std::atomic<uint32_t> total{0};
    uint32_t calls = 0;

protected:
    void OnSignal(uint32_t n) override {
        total += n;
        ++calls;
    }
};

TEST(UiLoopGlib, SignalsFromThreadsCoalesceAndAllArrive) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    {
        auto loop = CRUiLoopGlib::Create(context);
        CCount count;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 2500; ++i) count.Signal();
            });
        for (auto& t : threads) t.join();
        EXPECT_LE(loop->MaxQueuedWakeups(), 2u);
        EXPECT_LE(loop->MaxPostedCount(), 2u);
        ASSERT_TRUE(loop->RunUntil([&] { return count.total == 10000; }, 10s));
        EXPECT_LE(count.calls, 2u);
        EXPECT_EQ(loop->PostedCount(), 0u);

        // A timer fires on this context until its handle goes.
        int fired = 0;
        auto timer = loop->StartTimer(5ms, [&] { ++fired; });
        ASSERT_TRUE(loop->RunUntil([&] { return fired >= 3; }, 10s));
        timer.reset();
        const int seen = fired;
        loop->RunFor(30ms);
        EXPECT_EQ(fired, seen);

        // Run returns once Stop is called from a handler.
        loop->StartTimer(1ms, [&] { loop->Stop(); }).swap(timer);
        loop->Run();
        timer.reset();
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

}  // namespace
