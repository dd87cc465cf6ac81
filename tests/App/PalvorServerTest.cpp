// The server controller with a scripted web API on loopback: admission decisions, the
// hand-over of a live connection to its solution's server, servers per solution, stop
// and run again with clients connected, and the keep-alive timer.
#include "App/RPalvorServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "server/Frame.h"
#include "server/RSeqClient.h"
#include "support/HttpStub.h"
#include "support/LogCapture.h"
#include "support/Net.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace std::chrono_literals;
using PalvorTest::CLoopbackHttp;
namespace P = DUve::CRSeq::Property;

namespace {

CLoopbackHttp::CReply Reply(std::string body, int status = 200) {
    CLoopbackHttp::CReply r;
    r.sBody = std::move(body);
    r.nStatus = status;
    return r;
}

const bool g_noProxy = [] {
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    return true;
}();

class Controller : public ::testing::Test {
protected:
    void Make(std::vector<CLoopbackHttp::CReply> replies,
              std::chrono::milliseconds keepAlive = CRPalvorServer::kKeepAlivePeriod,
              CWebApiOptions options = {1000, 400}) {
        MakeWith(std::make_unique<CLoopbackHttp>(std::move(replies), 60s), keepAlive, options);
    }
    void MakeWith(std::unique_ptr<CLoopbackHttp> stub,
                  std::chrono::milliseconds keepAlive = CRPalvorServer::kKeepAlivePeriod,
                  CWebApiOptions options = {1000, 400}) {
        site = std::move(stub);
        auto api = std::make_shared<CRWebApi>(site->Root(), options);
        controller = std::make_unique<CRPalvorServer>(log.Senders(), api, dir.Path(), keepAlive);
        controller->SetObserver({[this] { ++listens; },
                                 [this](const std::u16string& e) { errors.push_back(e); },
                                 [this] { ++stops; }});
    }
    void TearDown() override { controller.reset(); }

    uint16_t Run(uint16_t port = 0) {
        if (!port) port = PalvorTest::FreePort();
        const int before = listens;
        controller->PalvorServerRun(port);
        EXPECT_TRUE(log.loop->RunUntil([&] { return listens > before; }, 5s));
        return port;
    }

    // Registers on a helper thread while this (the UI) thread pumps the loop.
    std::optional<CRSeqClient::CCommands> Register(CRSeqClient& client, uint16_t port,
                                                   uint32_t visitor, uint32_t solution,
                                                   const CRSeqClient::CCommands& follow = {},
                                                   const char* from = "127.0.0.1") {
        auto task = std::async(std::launch::async, [&] {
            std::optional<CRSeqClient::CCommands> result;
            client.Adopt(PalvorTest::ConnectFrom(from, port));
            if (!client.IsConnected()) return result;
            auto bytes = EncodeFrame(CProtocol::CSerialize::SaveObject(
                CProtocol::CRegistClient(visitor, u"tok&en", solution)));
            if (!follow.empty()) {
                const auto more = EncodeFrame(CProtocol::CSerialize::SaveObjects(follow));
                bytes.insert(bytes.end(), more.begin(), more.end());
            }
            if (!client.SendRaw(bytes)) return result;
            result = client.Receive(5s);
            return result;
        });
        log.loop->RunUntil([&] { return task.wait_for(0s) == std::future_status::ready; }, 10s);
        return task.get();
    }

    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    std::unique_ptr<CLoopbackHttp> site;
    std::unique_ptr<CRPalvorServer> controller;
    int listens = 0;
    int stops = 0;
    std::vector<std::u16string> errors;
};

}  // namespace

TEST_F(Controller, AdmitsOnlyWhenTheSiteSaysAcceptable) {
    CLoopbackHttp::CReply silent;
    silent.bNeverAnswer = true;
    Make({Reply(R"({"acceptable":true})"), Reply(R"({"acceptable":false})"),
          Reply(R"({"acceptable":1})"), Reply(R"({"acceptable":"true"})"), Reply(R"({"other":true})"),
          Reply(R"({"acceptable":true})", 500), Reply("not json"), silent});
    const uint16_t port = Run();
    const bool expected[] = {true, false, true, true, false, false, false, false};
    for (size_t i = 0; i < std::size(expected); ++i) {
        CRSeqClient client;
        const auto greeting = Register(client, port, 5, 9);
        EXPECT_EQ(greeting.has_value(), expected[i]) << "reply " << i;
        if (!expected[i]) {
            EXPECT_FALSE(client.IsConnected()) << "reply " << i;
        }
    }
    const auto heads = site->Heads();
    ASSERT_GE(heads.size(), 1u);
    EXPECT_NE(heads[0].find("api=IsAcceptableUser&solutionid=9&visiterid=5&token=tok%26en"),
              std::string::npos)
        << heads[0];
    EXPECT_TRUE(log.WaitFor("Visitor refused : visiterid=5 solutionid=9"));
    EXPECT_EQ(controller->ServerCount(), 1u);
}

TEST_F(Controller, TheConnectionMovesToItsSolutionServerWithBytesSentBehindTheRegistration) {
    Make({Reply(R"({"acceptable":true})")});
    const uint16_t port = Run();
    CRSeqClient a;
    const CRUid seq = CRUid::Generate();
    const auto greeting = Register(
        a, port, 1, 3,
        {std::make_shared<CProtocol::CCommandCreateSequence>(seq, P::CSequence(u"early"))});
    ASSERT_TRUE(greeting);
    // The command sent in the same write as the registration was handled by the server.
    std::optional<CRSeqClient::CCommands> created;
    auto task = std::async(std::launch::async, [&] { created = a.Receive(5s); });
    log.loop->RunUntil([&] { return task.wait_for(0s) == std::future_status::ready; }, 10s);
    task.get();
    ASSERT_TRUE(created);
    ASSERT_EQ(created->size(), 1u);

    CRSeqClient b, other;
    const auto greetingB = Register(b, port, 2, 3);
    ASSERT_TRUE(greetingB);
    EXPECT_EQ(greetingB->size(), 2u);  // the registration echo and the sequence
    ASSERT_TRUE(Register(other, port, 2, 4));
    EXPECT_EQ(controller->ServerCount(), 2u);
    EXPECT_TRUE(controller->FindServer(3));
    EXPECT_TRUE(controller->FindServer(4));
}

TEST_F(Controller, StopDisconnectsEveryoneAndRunStartsAfresh) {
    Make({Reply(R"({"acceptable":true})")});
    const uint16_t port = Run();
    EXPECT_TRUE(controller->PalvorServerIsRunning());
    CRSeqClient a;
    const CRUid seq = CRUid::Generate();
    ASSERT_TRUE(Register(a, port, 1, 3,
                         {std::make_shared<CProtocol::CCommandCreateSequence>(seq, P::CSequence(u"kept"))}));
    ASSERT_TRUE(a.Receive(5s));  // the creation's broadcast: the command was stored
    controller->PalvorServerStop();
    EXPECT_EQ(controller->ServerCount(), 0u);
    EXPECT_TRUE(PalvorTest::PeerClosed(a.Fd(), 5s));
    // Stopping is no acceptor error.
    EXPECT_TRUE(log.WaitFor("Acceptor Stop : port=" + std::to_string(port)));
    // The observer hears of it, so a page can show the new state.
    EXPECT_TRUE(log.loop->RunUntil([&] { return stops == 1; }, 5s));
    EXPECT_FALSE(controller->PalvorServerIsRunning());
    EXPECT_TRUE(errors.empty());

    Run(port);
    EXPECT_TRUE(controller->PalvorServerIsRunning());
    CRSeqClient b;
    const auto greeting = Register(b, port, 1, 3);
    ASSERT_TRUE(greeting);
    ASSERT_EQ(greeting->size(), 2u);  // the sequence stored before the stop
    EXPECT_EQ(std::dynamic_pointer_cast<const CProtocol::CCommandCreateSequence>((*greeting)[1])->idSequence, seq);
}

TEST_F(Controller, KeepAliveIsCalledPeriodically) {
    Make({Reply("{}")}, 100ms);
    ASSERT_TRUE(log.loop->RunUntil(
        [&] {
            size_t n = 0;
            for (const auto& h : site->Heads())
                if (h.find("?api=KeepAlive ") != std::string::npos) ++n;
            return n >= 2;
        },
        5s));
}

// The site's verdicts are fetched beside the UI thread: a slow site delays each visitor
// by its own answer only, a visitor who leaves while waiting is never handed over, and
// stopping with verdicts pending does not wait for them.
TEST_F(Controller, SlowSiteVerdictsDoNotWaitForEachOther) {
    CLoopbackHttp::CReply slow = Reply(R"({"acceptable":true})");
    slow.delay = 2s;
    Make({slow}, CRPalvorServer::kKeepAlivePeriod, {1000, 5000});
    const uint16_t port = Run();
    constexpr int kClients = 20;
    std::vector<std::unique_ptr<CRSeqClient>> clients;
    std::vector<std::future<bool>> greeted;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<CRSeqClient>());
        CRSeqClient* c = clients.back().get();
        // Each from an address of its own: one address has only a part of the places in
        // flight.
        greeted.push_back(std::async(std::launch::async, [c, port, i] {
            c->Adopt(PalvorTest::ConnectFrom(("127.0.1." + std::to_string(i + 1)).c_str(), port));
            if (!c->SendRaw(EncodeFrame(CProtocol::CSerialize::SaveObject(
                    CProtocol::CRegistClient(i + 1, u"t", 7)))))
                return false;
            return c->Receive(10s).has_value();
        }));
    }
    ASSERT_TRUE(log.loop->RunUntil(
        [&] {
            for (auto& g : greeted)
                if (g.wait_for(0s) != std::future_status::ready) return false;
            return true;
        },
        15s));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    for (auto& g : greeted) EXPECT_TRUE(g.get());
    // One at a time this takes 40 s; together, one answer's time plus a margin.
    EXPECT_LT(elapsed, 4s);
    EXPECT_EQ(controller->PendingAdmissions(), 0u);
}

TEST_F(Controller, AVisitorWhoLeavesBeforeTheVerdictIsNotHandedOver) {
    CLoopbackHttp::CReply slow = Reply(R"({"acceptable":true})");
    slow.delay = 1s;
    Make({slow}, CRPalvorServer::kKeepAlivePeriod, {1000, 5000});
    const uint16_t port = Run();
    {
        CRSeqClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        ASSERT_TRUE(client.SendRaw(
            EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(1, u"t", 8)))));
        ASSERT_TRUE(log.loop->RunUntil([&] { return controller->PendingAdmissions() == 1; }, 5s));
    }  // closes its connection while the site thinks
    ASSERT_TRUE(log.loop->RunUntil([&] { return controller->PendingAdmissions() == 0; }, 10s));
    EXPECT_TRUE(log.WaitFor("Visitor left before admission : visiterid=1 solutionid=8"));
    EXPECT_EQ(controller->ServerCount(), 0u);
}

TEST_F(Controller, StoppingWithVerdictsPendingDoesNotWaitForTheSite) {
    CLoopbackHttp::CReply silent;
    silent.bNeverAnswer = true;
    Make({silent});
    const uint16_t port = Run();
    CRSeqClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    ASSERT_TRUE(client.SendRaw(
        EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(1, u"t", 8)))));
    ASSERT_TRUE(log.loop->RunUntil([&] { return controller->PendingAdmissions() == 1; }, 5s));
    const auto start = std::chrono::steady_clock::now();
    controller.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// Verdict requests take turns by remote address, never more in flight than the limits
// allow, over connections to the site that are used again.
TEST(Admission, RequestsTakeTurnsByAddressOverFewReusedConnections) {
    PalvorTest::CLogCapture log;  // the UI loop that verdicts come back on
    auto site = [](std::chrono::milliseconds delay) {
        return std::make_unique<CLoopbackHttp>(
            [delay](const std::string& head) {
                CLoopbackHttp::CReply r = Reply(R"({"acceptable":true})");
                r.delay = delay;
                r.bKeepAlive = true;
                r.bNeverAnswer = head.find("visiterid=666") != std::string::npos;
                return r;
            },
            60s);
    };
    size_t admitted = 0;
    auto admission = [&](CLoopbackHttp& stub, CAdmissionLimits limits) {
        return std::make_unique<CRAdmission>(std::make_shared<CRWebApi>(stub.Root(), CWebApiOptions{1000, 20000}),
                                             [&](uint64_t, bool ok) { admitted += ok; }, limits);
    };
    // One at a time: A's first, then B's turn comes before A's second, and so on.
    auto slow = site(150ms);
    auto one = admission(*slow, {1, 1});
    const char* from[] = {"A", "A", "B", "A", "C", "B"};
    for (int i = 0; i < 6; ++i) one->Ask(i, 1, u"t", from[i]);
    ASSERT_TRUE(log.loop->RunUntil([&] { return admitted == 6; }, 10s));
    std::string order;
    for (const auto& head : slow->Heads()) order += head[head.find("visiterid=") + 10];
    EXPECT_EQ(order, "024153");
    EXPECT_EQ(slow->MostOutstanding(), 1u);
    EXPECT_EQ(slow->Connections(), 1u);  // kept alive

    // One address floods requests the site never answers: it holds its share of the places
    // only, and the others are answered meanwhile, on few connections.
    auto fast = site(5ms);
    auto shared = admission(*fast, {4, 2});
    for (int i = 0; i < 20; ++i) shared->Ask(666, 1, u"t", "127.0.0.3");
    for (int i = 0; i < 40; ++i) shared->Ask(i, 1, u"t", "127.0.1." + std::to_string(i % 10));
    ASSERT_TRUE(log.loop->RunUntil([&] { return admitted == 46; }, 10s)) << admitted;
    EXPECT_EQ(shared->InFlightCount(), 2u);  // the flood's share, still unanswered
    EXPECT_LE(fast->MostOutstanding(), 4u);
    EXPECT_LE(fast->Connections(), 5u);  // 42 requests
}

// One visitor holds a limited number of sessions over all solutions; a session that ends
// gives its place back.
TEST_F(Controller, AVisitorBeyondItsSessionLimitIsRefused) {
    Make({Reply(R"({"acceptable":true})")});
    controller->SetLimits({2, 256, 600s});
    const uint16_t port = Run();
    CRSeqClient a, b, c, other;
    ASSERT_TRUE(Register(a, port, 5, 1));
    ASSERT_TRUE(Register(b, port, 5, 2));
    EXPECT_FALSE(Register(c, port, 5, 3));
    EXPECT_TRUE(log.WaitFor("Visitor refused : visiterid=5 solutionid=3 127.0.0.1:"));
    EXPECT_EQ(log.Count("2 sessions open, the limit per visitor"), 1u);
    EXPECT_FALSE(controller->FindServer(3));
    EXPECT_TRUE(Register(other, port, 6, 3));

    a.Close();
    ASSERT_TRUE(log.loop->RunUntil([&] { return controller->SessionsOfVisitor(5) == 1; }, 5s));
    EXPECT_TRUE(Register(c, port, 5, 3));
    EXPECT_EQ(controller->SessionsOfSolution(3), 2u);
}

// At the limit of solutions served, a new solution takes the place of one without clients,
// or is refused while every solution has clients.
TEST_F(Controller, BeyondTheSolutionLimitAnIdleServerMakesRoomOrTheVisitorIsRefused) {
    Make({Reply(R"({"acceptable":true})")});
    controller->SetLimits({16, 1, 600s});
    const uint16_t port = Run();
    CRSeqClient a, b;
    ASSERT_TRUE(Register(a, port, 1, 10));
    EXPECT_FALSE(Register(b, port, 2, 11));
    EXPECT_TRUE(log.WaitFor("Visitor refused : visiterid=2 solutionid=11"));
    EXPECT_EQ(log.Count("1 solutions served, the limit"), 1u);
    a.Close();
    ASSERT_TRUE(log.loop->RunUntil([&] { return controller->SessionsOfSolution(10) == 0; }, 5s));
    EXPECT_TRUE(Register(b, port, 2, 11));
    EXPECT_TRUE(log.WaitFor("Server id=10 retired"));
    EXPECT_EQ(controller->ServerCount(), 1u);
    EXPECT_TRUE(controller->FindServer(11));
}

// A server without clients for the retirement time (on the controller's clock) is retired
// with its files complete on disk, and the next client finds its data.
TEST_F(Controller, AnIdleServerIsRetiredAndReopensWithItsData) {
    Make({Reply(R"({"acceptable":true})")});
    auto now = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    controller->SetClock([now] { return *now; });
    controller->SetLimits({16, 256, 60s});
    const uint16_t port = Run();
    const CRUid seq = CRUid::Generate();
    {
        CRSeqClient a;
        ASSERT_TRUE(Register(a, port, 1, 4,
                             {std::make_shared<CProtocol::CCommandCreateSequence>(seq, P::CSequence(u"kept"))}));
        ASSERT_TRUE(a.Receive(5s));  // stored
        EXPECT_EQ(controller->RetireIdleServers(), 0u);  // a client is there
        *now += 120s;
        EXPECT_EQ(controller->RetireIdleServers(), 0u);
    }
    ASSERT_TRUE(log.loop->RunUntil([&] { return controller->SessionsOfSolution(4) == 0; }, 5s));
    EXPECT_EQ(controller->RetireIdleServers(), 0u);  // idle from now on
    *now += 59s;
    EXPECT_EQ(controller->RetireIdleServers(), 0u);
    *now += 1s;
    EXPECT_EQ(controller->RetireIdleServers(), 1u);
    EXPECT_FALSE(controller->FindServer(4));
    EXPECT_TRUE(log.WaitFor("Server id=4 retired : no client for 60 s"));
    for (const char* wal : {"0004_solution.db-wal", "0004.db-wal"}) {
        const auto file = dir.Path() / wal;
        EXPECT_TRUE(!std::filesystem::exists(file) || std::filesystem::file_size(file) == 0) << wal;
    }

    CRSeqClient b;
    const auto greeting = Register(b, port, 1, 4);
    ASSERT_TRUE(greeting);
    ASSERT_EQ(greeting->size(), 2u);
    EXPECT_EQ(std::dynamic_pointer_cast<const CProtocol::CCommandCreateSequence>((*greeting)[1])->idSequence, seq);
}
