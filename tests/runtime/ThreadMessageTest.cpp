#include "runtime/RThreadMessage.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <string>

#include "runtime/RWorkerThread.h"

using namespace DUve;
using namespace std::chrono_literals;

namespace {

struct CPing : CRThreadMessage::CMessage {
    explicit CPing(int v) : n(v) {}
    int n;
};
struct COther : CRThreadMessage::CMessage {};

// A service that receives messages on its worker thread and records what it saw.
class CHost {
public:
    CHost(boost::asio::io_context& io) : m_io(io) {}
    static const CRThreadMessage::CRRequestTableT<CHost>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CHost> t;
        return t;
    }
    // Makes a receiver on this thread whose handlers append to `log`.
    CRThreadBridge::CReceiverPtr MakeReceiver(std::vector<std::string>& log, bool catchAll) {
        auto r = CRThreadBridge::InitializeIoService(m_io);
        if (catchAll)
            CRThreadMessage::AddCatchAll(*r, [&log](const CRThreadMessage::CMessagePtr& m) {
                log.push_back(dynamic_cast<const CPing*>(m.get()) ? "all:ping" : "all:other");
            });
        CRThreadMessage::AddHandler<CPing>(*r, [&log](const std::shared_ptr<const CPing>& p) {
            log.push_back("ping" + std::to_string(p->n));
        });
        return r;
    }
    boost::asio::io_context& m_io;
    std::vector<std::string> log1, log2;
    CRThreadBridge::CReceiverPtr r1, r2;
};
using CWorker = CRWorkerThreadT<CHost>;

CWorker::CFactory HostFactory() {
    return [](boost::asio::io_context& io) { return std::make_unique<CHost>(io); };
}

template <class F>
auto OnWorker(CWorker& w, F f) {
    std::promise<decltype(f(std::declval<CHost&>()))> p;
    w.Post([&](CHost& h) { p.set_value(f(h)); });
    return p.get_future().get();
}

void Sync(CWorker& w) {
    OnWorker(w, [](CHost&) { return 0; });
}

}  // namespace

TEST(Delivery, CatchAllRunsFirstThenTheTypedHandler) {
    CWorker w(HostFactory());
    const auto sender = OnWorker(w, [](CHost& h) {
        h.r1 = h.MakeReceiver(h.log1, true);
        return h.r1->GetSender();
    });
    sender.Send(CRThreadMessage::CBatch{std::make_shared<CPing>(1), std::make_shared<COther>(),
                                        std::make_shared<CPing>(2)});
    Sync(w);
    EXPECT_EQ(OnWorker(w, [](CHost& h) { return h.log1; }),
              (std::vector<std::string>{"all:ping", "ping1", "all:other", "all:ping", "ping2"}));
}

TEST(Delivery, AReceiverDestroyedWithABatchQueuedGetsNoneOfIt) {
    CWorker w(HostFactory());
    const auto sender = OnWorker(w, [](CHost& h) {
        h.r1 = h.MakeReceiver(h.log1, false);
        return h.r1->GetSender();
    });
    std::latch sent(1);
    w.Post([&sent](CHost& h) {
        sent.wait();       // the batch is queued behind this callable
        h.r1.reset();
    });
    sender.Send(CRThreadMessage::CBatch{std::make_shared<CPing>(1), std::make_shared<CPing>(2)});
    sent.count_down();
    Sync(w);
    EXPECT_TRUE(OnWorker(w, [](CHost& h) { return h.log1; }).empty());
    EXPECT_FALSE(sender.IsAlive());
    sender.Send(std::make_shared<CPing>(3));  // silently dropped
}

TEST(Delivery, AHandlerThatDestroysItsReceiverStopsTheRestOfTheBatch) {
    CWorker w(HostFactory());
    const auto sender = OnWorker(w, [](CHost& h) {
        h.r1 = CRThreadBridge::InitializeIoService(h.m_io);
        CRThreadMessage::AddHandler<CPing>(*h.r1, [&h](const std::shared_ptr<const CPing>& p) {
            h.log1.push_back(std::to_string(p->n));
            h.r1.reset();
        });
        return h.r1->GetSender();
    });
    sender.Send(CRThreadMessage::CBatch{std::make_shared<CPing>(1), std::make_shared<CPing>(2)});
    Sync(w);
    EXPECT_EQ(OnWorker(w, [](CHost& h) { return h.log1; }), (std::vector<std::string>{"1"}));
}

TEST(Delivery, ASenderListHoldingTheSameSenderTwiceDeliversOnce) {
    CWorker w(HostFactory());
    const auto sender = OnWorker(w, [](CHost& h) {
        h.r1 = h.MakeReceiver(h.log1, false);
        return h.r1->GetSender();
    });
    CRThreadMessage::CListSender list;
    list.Add(sender);
    list.Add(CRThreadBridge::CSender(sender));
    EXPECT_EQ(list.size(), 1u);
    list.Send(std::make_shared<CPing>(7));
    Sync(w);
    EXPECT_EQ(OnWorker(w, [](CHost& h) { return h.log1; }), (std::vector<std::string>{"ping7"}));
}

TEST(Delivery, ReceiversOfOneThreadShareItsEndpointButNotTheirFate) {
    CWorker w(HostFactory());
    const auto senders = OnWorker(w, [](CHost& h) {
        h.r1 = h.MakeReceiver(h.log1, false);
        h.r2 = h.MakeReceiver(h.log2, false);
        EXPECT_EQ(h.r1->Bridge()->Thread(), h.r2->Bridge()->Thread());
        return std::make_pair(h.r1->GetSender(), h.r2->GetSender());
    });
    OnWorker(w, [](CHost& h) {
        h.r1.reset();
        return 0;
    });
    senders.first.Send(std::make_shared<CPing>(1));
    senders.second.Send(std::make_shared<CPing>(2));
    Sync(w);
    EXPECT_TRUE(OnWorker(w, [](CHost& h) { return h.log1; }).empty());
    EXPECT_EQ(OnWorker(w, [](CHost& h) { return h.log2; }), (std::vector<std::string>{"ping2"}));
}

TEST(Delivery, SendingToAWorkerWhoseThreadEndedIsDropped) {
    std::vector<std::string> log;
    CRThreadBridge::CReceiverPtr outlives;
    CRThreadBridge::CSender sender;
    {
        CWorker w(HostFactory());
        OnWorker(w, [&](CHost& h) {
            outlives = h.MakeReceiver(log, false);
            sender = outlives->GetSender();
            return 0;
        });
    }
    // The receiver still exists, but its thread's endpoint has gone with the thread.
    EXPECT_TRUE(sender.IsAlive());
    sender.Send(std::make_shared<CPing>(1));
    EXPECT_TRUE(log.empty());
    outlives.reset();
}

TEST(Registry, EntriesOfDestroyedReceiversArePurged) {
    CWorker w(HostFactory());
    const size_t before = CRThreadMessage::RegisteredReceiverCount();
    OnWorker(w, [](CHost& h) {
        for (int i = 0; i < 500; ++i) {
            std::vector<std::string> log;
            auto r = h.MakeReceiver(log, true);
        }
        return 0;
    });
    EXPECT_LE(CRThreadMessage::RegisteredReceiverCount(), before + 16);
}
