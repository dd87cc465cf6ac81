#include "runtime/RWorkerThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/RThreadBridge.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RThreadPriority.h"

using namespace DUve;
using namespace std::chrono_literals;

namespace {

// Everything a test wants to see after the worker has gone.
struct CTrace {
    std::mutex mutex;
    std::vector<std::string> events;
    std::thread::id mainThread;
    std::thread::id destroyedOn;
    void Add(std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(mutex);
        return events;
    }
};

struct CRequestA : CRThreadMessage::CMessage {
    explicit CRequestA(int v) : n(v) {}
    int n;
};
struct CRequestB : CRThreadMessage::CMessage {};
struct CUnknownRequest : CRThreadMessage::CMessage {};
struct CNotifyTick : CRThreadMessage::CMessage {
    explicit CNotifyTick(int v) : n(v) {}
    int n;
};

class CMain {
public:
    CMain(boost::asio::io_context&, CTrace& trace) : m_trace(trace) {
        m_trace.Add("created");
        m_mainThread = std::this_thread::get_id();
    }
    ~CMain() {
        m_trace.destroyedOn = std::this_thread::get_id();
        m_trace.Add("destroyed");
    }
    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const auto table = [] {
            CRThreadMessage::CRRequestTableT<CMain> t;
            t.Add<CRequestA>([](CMain& m, const std::shared_ptr<const CRequestA>& r) {
                m.m_trace.Add("A" + std::to_string(r->n));
            });
            t.Add<CRequestB>([](CMain& m, const std::shared_ptr<const CRequestB>&) {
                m.m_trace.Add("B");
            });
            t.Add<CRThreadMessage::CAddNotify>(
                [](CMain& m, const std::shared_ptr<const CRThreadMessage::CAddNotify>& r) {
                    m.m_subscribers.Add(r->sender);
                });
            return t;
        }();
        return table;
    }
    void Tick(int n) { m_subscribers.Send(std::make_shared<CNotifyTick>(n)); }
    CTrace& m_trace;
    std::thread::id m_mainThread;
    CRThreadMessage::CListSender m_subscribers;
};

using CWorker = CRWorkerThreadT<CMain>;

CWorker::CFactory Factory(CTrace& trace) {
    return [&trace](boost::asio::io_context& io) { return std::make_unique<CMain>(io, trace); };
}

// Waits until everything posted so far has run.
template <class TWorker>
void Drain(TWorker& worker) {
    std::promise<void> done;
    worker.Post([&done](auto&) { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace

TEST(WorkerThread, ConstructionReturnsOnceTheServiceExistsAndItsOwnPostsRunAfter) {
    CTrace trace;
    {
        CWorker worker([&trace](boost::asio::io_context& io) {
            auto main = std::make_unique<CMain>(io, trace);
            boost::asio::post(io, [&trace] { trace.Add("posted by factory"); });
            return main;
        });
        EXPECT_TRUE(worker.IsStarted());
        Drain(worker);
    }
    EXPECT_EQ(trace.Events(),
              (std::vector<std::string>{"created", "posted by factory", "destroyed"}));
}

TEST(WorkerThread, DestroyingRightAfterPostingRunsEverythingFirstOnTheWorkerThread) {
    CTrace trace;
    std::thread::id workerThread;
    {
        CWorker worker(Factory(trace));
        worker.Post([&workerThread](CMain& m) {
            workerThread = std::this_thread::get_id();
            m.m_trace.Add("1");
        });
        worker.Post([](CMain& m) { m.m_trace.Add("2"); });
        worker.Post([](CMain& m) { m.m_trace.Add("3"); });
    }
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"created", "1", "2", "3", "destroyed"}));
    EXPECT_EQ(trace.destroyedOn, workerThread);
    EXPECT_NE(trace.destroyedOn, std::this_thread::get_id());
}

TEST(WorkerThread, AFactoryThatThrowsReleasesTheConstructorAndReportsNotStarted) {
    std::atomic<int> ran{0};
    {
        CWorker worker([](boost::asio::io_context&) -> std::unique_ptr<CMain> {
            throw std::runtime_error("database missing");
        });
        EXPECT_FALSE(worker.IsStarted());
        worker.Post([&ran](CMain&) { ++ran; });
    }
    {
        CWorker worker([](boost::asio::io_context&) { return std::unique_ptr<CMain>(); });
        EXPECT_FALSE(worker.IsStarted());
    }
    EXPECT_EQ(ran, 0);
}

TEST(WorkerThread, AHandlerThatThrowsLosesOnlyItsOwnWork) {
    CTrace trace;
    {
        CWorker worker(Factory(trace));
        worker.Post([](CMain& m) {
            m.m_trace.Add("before");
            throw std::runtime_error("handler failed");
        });
        worker.Post([](CMain&) { throw 42; });  // not even an exception class
        std::promise<void> after;
        worker.Post([&after](CMain& m) {
            m.m_trace.Add("after");
            after.set_value();
        });
        after.get_future().get();
    }
    EXPECT_EQ(trace.Events(), (std::vector<std::string>{"created", "before", "after", "destroyed"}));
}

TEST(WorkerThread, RequestMessagesAreDispatchedByTypeInOrder) {
    CTrace trace;
    {
        CWorker worker(Factory(trace));
        worker.PostRequests({std::make_shared<CRequestA>(1), std::make_shared<CUnknownRequest>(),
                             std::make_shared<CRequestB>(), nullptr,
                             std::make_shared<CRequestA>(2)});
        worker.Post([](CMain& m) { m.m_trace.Add("posted"); });
    }
    EXPECT_EQ(trace.Events(),
              (std::vector<std::string>{"created", "A1", "B", "A2", "posted", "destroyed"}));
}

TEST(WorkerThread, SubscribersReceiveNotificationsOnTheirOwnThread) {
    CTrace serviceTrace, subscriberTrace;
    struct CSubscriber {
        CSubscriber(boost::asio::io_context& io, CTrace& t) : trace(t) {
            receiver = CRThreadBridge::InitializeIoService(io);
            CRThreadMessage::AddHandler<CNotifyTick>(
                *receiver, [this](const std::shared_ptr<const CNotifyTick>& n) {
                    trace.Add("tick" + std::to_string(n->n));
                });
        }
        CTrace& trace;
        CRThreadBridge::CReceiverPtr receiver;
        static const CRThreadMessage::CRRequestTableT<CSubscriber>& RequestTable() {
            static const CRThreadMessage::CRRequestTableT<CSubscriber> t;
            return t;
        }
    };
    CWorker service(Factory(serviceTrace));
    CRWorkerThreadT<CSubscriber> subscriber(
        [&](boost::asio::io_context& io) { return std::make_unique<CSubscriber>(io, subscriberTrace); });
    std::promise<CRThreadBridge::CSender> sender;
    subscriber.Post([&sender](CSubscriber& s) { sender.set_value(s.receiver->GetSender()); });
    const auto s = sender.get_future().get();
    service.PostRequests({std::make_shared<CRThreadMessage::CAddNotify>(s),
                          std::make_shared<CRThreadMessage::CAddNotify>(s)});
    service.Post([](CMain& m) { m.Tick(1); });
    service.Post([](CMain& m) { m.Tick(2); });
    Drain(service);
    for (int i = 0; i < 2000 && subscriberTrace.Events().size() < 2; ++i)
        std::this_thread::sleep_for(1ms);
    Drain(subscriber);
    EXPECT_EQ(subscriberTrace.Events(), (std::vector<std::string>{"tick1", "tick2"}));
}

// A time-critical thread runs real-time where the system allows it, and says true only
// then; refused, it stays as it was. Either way other threads are left alone.
TEST(ThreadPriority, ATimeCriticalThreadIsRealTimeExactlyWhenItSaysSo) {
    int nPolicy = -1, nPriority = -1;
    bool bRaised = false;
    std::thread([&] {
        bRaised = RaiseCallingThreadForTimeCriticalWork();
        sched_param param{};
        pthread_getschedparam(pthread_self(), &nPolicy, &param);
        nPriority = param.sched_priority;
    }).join();
    if (bRaised) {
        EXPECT_EQ(nPolicy, SCHED_FIFO);
        EXPECT_EQ(nPriority, kTimeCriticalPriority);
    } else {
        EXPECT_EQ(nPolicy, SCHED_OTHER);
    }
    sched_param mine{};
    int nMine = -1;
    pthread_getschedparam(pthread_self(), &nMine, &mine);
    EXPECT_EQ(nMine, SCHED_OTHER);
}
