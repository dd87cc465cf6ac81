#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/RSendToUiThread.h"
#include "runtime/RThreadBridge.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RUiLoop.h"

using namespace DUve;
using namespace std::chrono_literals;

namespace {

struct CNumber : CRThreadMessage::CMessage {
    explicit CNumber(int v) : n(v) {}
    int n;
};

// Counts handler calls and the signals they carried; can run the loop from inside its
// handler to check that it is never entered twice.
class CCounter : public CRSendToUiThread {
public:
    explicit CCounter(CRUiLoopAsio* nestedLoop = nullptr) : m_nested(nestedLoop) {}
    std::atomic<uint32_t> calls{0}, signals{0};
    int depth = 0, maxDepth = 0;

protected:
    void OnSignal(uint32_t n) override {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        ++calls;
        signals += n;
        if (m_nested && calls == 1) {
            Signal();                       // arrives while we are busy
            m_nested->RunFor(20ms);         // a nested loop must not re-enter us
        }
        --depth;
    }

private:
    CRUiLoopAsio* m_nested;
};

class UiThread : public ::testing::Test {
protected:
    void TearDown() override { CRThreadBridge::ReleaseThread(); }
    std::shared_ptr<CRUiLoopAsio> loop = CRUiLoopAsio::Create();
};

}  // namespace

TEST_F(UiThread, AThousandSendsCoalesceIntoAtMostTwoWakeupsAndArriveInOrder) {
    auto receiver = CRThreadBridge::InitializeUiThread();
    std::vector<int> got;
    CRThreadMessage::AddHandler<CNumber>(
        *receiver, [&got](const std::shared_ptr<const CNumber>& m) { got.push_back(m->n); });
    const auto sender = receiver->GetSender();
    std::thread producer([sender] {
        for (int i = 0; i < 1000; ++i) sender.Send(std::make_shared<CNumber>(i));
    });
    producer.join();
    EXPECT_LE(loop->QueuedWakeups(), 2u);
    EXPECT_LE(loop->MaxQueuedWakeups(), 2u);
    EXPECT_LE(loop->MaxPostedCount(), 2u);
    ASSERT_TRUE(loop->RunUntil([&] { return got.size() == 1000; }, 10s));
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(got[i], i);
    loop->RunFor(10ms);
    EXPECT_EQ(loop->PostedCount(), 0u);
    EXPECT_EQ(loop->QueuedWakeups(), 0u);
}

TEST_F(UiThread, SendsFromSeveralThreadsWhileTheLoopRunsLoseNothing) {
    auto receiver = CRThreadBridge::InitializeUiThread();
    std::vector<int> got;
    CRThreadMessage::AddHandler<CNumber>(
        *receiver, [&got](const std::shared_ptr<const CNumber>& m) { got.push_back(m->n); });
    const auto sender = receiver->GetSender();
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([sender, t] {
            for (int i = 0; i < 2000; ++i) sender.Send(std::make_shared<CNumber>(t * 10000 + i));
        });
    ASSERT_TRUE(loop->RunUntil([&] { return got.size() == 8000; }, 20s));
    for (auto& p : producers) p.join();
    loop->RunFor(10ms);
    EXPECT_EQ(got.size(), 8000u);
    // Each producer's messages keep their order.
    int last[4] = {-1, -1, -1, -1};
    for (int v : got) {
        EXPECT_GT(v % 10000, last[v / 10000]);
        last[v / 10000] = v % 10000;
    }
    EXPECT_LE(loop->MaxQueuedWakeups(), 2u);
}

TEST_F(UiThread, AReceiverDestroyedBeforeItsBatchesAreProcessedGetsNone) {
    auto receiver = CRThreadBridge::InitializeUiThread();
    auto other = CRThreadBridge::InitializeUiThread();
    int got = 0, otherGot = 0;
    CRThreadMessage::AddHandler<CNumber>(*receiver,
                                         [&got](const std::shared_ptr<const CNumber>&) { ++got; });
    CRThreadMessage::AddHandler<CNumber>(
        *other, [&otherGot](const std::shared_ptr<const CNumber>&) { ++otherGot; });
    for (int i = 0; i < 5; ++i) {
        receiver->GetSender().Send(std::make_shared<CNumber>(i));
        other->GetSender().Send(std::make_shared<CNumber>(i));
    }
    receiver.reset();
    loop->RunFor(20ms);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(otherGot, 5);
}

TEST_F(UiThread, SignalsAreCountedAndTheHandlerIsNeverReentered) {
    CCounter counter(loop.get());
    counter.Signal();
    counter.Signal();
    counter.Signal();
    ASSERT_TRUE(loop->RunUntil([&] { return counter.signals == 4; }, 5s));
    EXPECT_EQ(counter.maxDepth, 1);
    EXPECT_EQ(counter.calls, 2u);  // three coalesced, then the one sent while busy
}

TEST_F(UiThread, SignalsFromManyThreadsAreAllAccountedFor) {
    CCounter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&counter] {
            for (int i = 0; i < 5000; ++i) counter.Signal();
        });
    ASSERT_TRUE(loop->RunUntil([&] { return counter.signals == 20000; }, 20s));
    for (auto& t : threads) t.join();
    loop->RunFor(10ms);
    EXPECT_EQ(counter.signals, 20000u);
    EXPECT_LE(loop->MaxPostedCount(), 2u);
}

TEST_F(UiThread, ASignalObjectDestroyedWithAWakeupQueuedIsSkipped) {
    auto counter = std::make_unique<CCounter>();
    counter->Signal();
    counter.reset();
    loop->RunFor(10ms);  // must not touch the destroyed object
    EXPECT_EQ(loop->PostedCount(), 0u);
}
