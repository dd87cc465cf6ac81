// The acceptor service on real loopback connections: registration check, reports,
// pending-connection cleanup and caps, stop and listen again.
#include "server/RSeqAcceptor.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include "server/Frame.h"
#include "server/RSeqClient.h"
#include "support/LogCapture.h"
#include "support/Net.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace std::chrono_literals;

namespace {

class Acceptor : public ::testing::Test {
protected:
    void SetUp() override {
        CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorAccepted>(
            *log.receiver, [this](const auto& m) { accepted.push_back(m); });
        CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorError>(
            *log.receiver, [this](const auto& m) { errors.push_back(Utf16ToUtf8(m->sError)); });
        CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorListen>(
            *log.receiver, [this](const auto&) { ++listens; });
        CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorStopped>(
            *log.receiver, [this](const auto&) { ++stops; });
        acceptor = std::make_unique<CRSeqAcceptor>(log.Senders(), 1500ms);
    }
    void TearDown() override { acceptor.reset(); }

    uint16_t Listen() {
        const uint16_t port = PalvorTest::FreePort();
        acceptor->Listen(port);
        EXPECT_TRUE(log.loop->RunUntil([&] { return listens > 0 || !errors.empty(); }, 5s));
        return port;
    }
    bool Pump(const std::function<bool()>& done) { return log.loop->RunUntil(done, 5s); }

    PalvorTest::CLogCapture log;
    std::unique_ptr<CRSeqAcceptor> acceptor;
    std::vector<std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>> accepted;
    std::vector<std::string> errors;
    int listens = 0;
    int stops = 0;
};

}  // namespace

TEST_F(Acceptor, AValidRegistrationIsReportedWithAConnectionThatKeepsLaterBytes) {
    const uint16_t port = Listen();
    EXPECT_TRUE(acceptor->IsListening());
    EXPECT_EQ(acceptor->ListeningPort(), port);
    EXPECT_TRUE(log.WaitFor("Acceptor Listen : port=" + std::to_string(port)));

    CRSeqClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    // The registration and a first command in the same write.
    auto bytes = EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(5, u"t&k", 7)));
    const auto echo = EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CCommandEcho(CRUid::Generate())));
    bytes.insert(bytes.end(), echo.begin(), echo.end());
    ASSERT_TRUE(client.SendRaw(bytes));
    ASSERT_TRUE(Pump([&] { return !accepted.empty(); }));
    EXPECT_EQ(accepted[0]->nVisiterId, 5);
    EXPECT_EQ(accepted[0]->sToken, u"t&k");
    EXPECT_EQ(accepted[0]->nSolutionId, 7u);
    EXPECT_TRUE(log.WaitFor("Acceptor SocketDataReceive Accepted : 127.0.0.1:"));
    // Whoever takes the handle reads the command the client sent behind its registration.
    const int fd = accepted[0]->socket->Get();
    EXPECT_EQ(PalvorTest::ReadBytes(fd, echo.size(), 2s), echo);
    EXPECT_TRUE(Pump([&] { return acceptor->PendingCount() == 0; }));
}

TEST_F(Acceptor, AnythingButOneRegistrationIsDeniedAndDisconnected) {
    const uint16_t port = Listen();
    const std::vector<std::vector<uint8_t>> payloads = {
        CProtocol::CSerialize::SaveObject(CProtocol::CCommandEcho(CRUid::Generate())),
        CProtocol::CSerialize::SaveObjects(std::vector<CProtocol::CPtr>{
            std::make_shared<CProtocol::CRegistClient>(1, u"a", 1),
            std::make_shared<CProtocol::CRegistClient>(1, u"a", 1)}),
        {},
        {0x12, 0x34, 0x56},
    };
    for (const auto& payload : payloads) {
        CRSeqClient client;
        ASSERT_TRUE(client.Connect("127.0.0.1", port));
        ASSERT_TRUE(client.SendRaw(EncodeFrame(payload)));
        EXPECT_TRUE(PalvorTest::PeerClosed(client.Fd(), 5s));
    }
    EXPECT_TRUE(Pump([&] { return log.Count("Access denied") == payloads.size(); }));
    EXPECT_TRUE(accepted.empty());
}

TEST_F(Acceptor, PendingConnectionsThatCloseOrStayQuietAreDropped) {
    const uint16_t port = Listen();
    {
        CRSeqClient quitter;
        ASSERT_TRUE(quitter.Connect("127.0.0.1", port));
        ASSERT_TRUE(Pump([&] { return log.Count("Acceptor Accepted") == 1; }));
        ASSERT_TRUE(quitter.SendRaw({4, 0}));  // half a header, then gone
    }
    EXPECT_TRUE(Pump([&] { return acceptor->PendingCount() == 0; }));

    CRSeqClient silent;
    ASSERT_TRUE(silent.Connect("127.0.0.1", port));
    ASSERT_TRUE(Pump([&] { return log.Count("Acceptor Accepted") == 2; }));
    EXPECT_EQ(acceptor->PendingCount(), 1u);
    // The test's registration time-out is 1.5 s.
    EXPECT_TRUE(PalvorTest::PeerClosed(silent.Fd(), 5s));
    EXPECT_TRUE(Pump([&] { return acceptor->PendingCount() == 0; }));
    EXPECT_TRUE(log.WaitFor("Acceptor Registration timeout"));
}

TEST_F(Acceptor, ARegistrationFrameAnnouncingMoreThanARegistrationIsDropped) {
    const uint16_t port = Listen();
    CRSeqClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    const uint32_t n = CRSeqAcceptor::kMaxRegistrationPayload + 1;
    ASSERT_TRUE(client.SendRaw({uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24), 0x12}));
    EXPECT_TRUE(PalvorTest::PeerClosed(client.Fd(), 5s));  // long before the time-out
    EXPECT_TRUE(Pump([&] { return acceptor->PendingCount() == 0; }));
    EXPECT_TRUE(accepted.empty());
}

TEST_F(Acceptor, ListenErrorsStopAndListeningAgain) {
    acceptor->Listen(0);
    ASSERT_TRUE(Pump([&] { return errors.size() == 1; }));
    EXPECT_FALSE(acceptor->IsListening());
    EXPECT_TRUE(log.WaitFor("Acceptor Error : "));

    const uint16_t port = Listen();
    acceptor->Listen(port);  // already listening
    ASSERT_TRUE(Pump([&] { return errors.size() == 2; }));
    EXPECT_TRUE(acceptor->IsListening());

    // Stopping is no error: it is reported as a stop, and the connection that had not
    // registered yet is closed. Listening again on the same port works (the closed
    // connection's TIME_WAIT does not block the bind).
    CRSeqClient lingering;
    ASSERT_TRUE(lingering.Connect("127.0.0.1", port));
    ASSERT_TRUE(Pump([&] { return log.Count("Acceptor Accepted") == 1; }));
    acceptor->Stop();
    ASSERT_TRUE(Pump([&] { return stops == 1 && !acceptor->IsListening(); }));
    EXPECT_TRUE(log.WaitFor("Acceptor Stop : port=" + std::to_string(port)));
    EXPECT_TRUE(PalvorTest::PeerClosed(lingering.Fd(), 5s));
    EXPECT_EQ(acceptor->PendingCount(), 0u);
    acceptor->Stop();  // not listening: nothing to report
    acceptor->Listen(port);
    ASSERT_TRUE(Pump([&] { return listens == 2; }));
    EXPECT_TRUE(acceptor->IsListening());
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(log.Count("Acceptor Error : "), 2u);

    // Another listener cannot take the port while it is listened on.
    CRSeqAcceptor second(log.Senders());
    second.Listen(port);
    ASSERT_TRUE(Pump([&] { return errors.size() == 3; }));
    EXPECT_FALSE(second.IsListening());
}

// Unregistered connections over a cap close the oldest of them: of the new connection's
// address when that address is over its share, of all otherwise. Loopback gives each
// client its own source address (127.0.0.x).
TEST_F(Acceptor, OverAPendingCapTheOldestUnregisteredConnectionIsClosed) {
    acceptor->SetPendingLimits(4, 2);
    const uint16_t port = Listen();
    struct Step {
        const char* from;
        int closes;  // index of the connection closed by this one's arrival, or -1
    };
    const Step steps[] = {
        {"127.0.0.2", -1},
        {"127.0.0.1", -1},
        {"127.0.0.1", -1},
        {"127.0.0.1", 1},  // third from .1: its oldest goes, not the older one from .2
        {"127.0.0.3", -1},
        {"127.0.0.4", 0},  // fifth in all: the oldest of all goes
    };
    std::vector<std::unique_ptr<CRSeqClient>> clients;
    std::vector<bool> closed;
    for (const auto& step : steps) {
        SCOPED_TRACE(clients.size());
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        clients.push_back(std::make_unique<CRSeqClient>());
        clients.back()->Adopt(fd);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, step.from, &addr.sin_addr);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        addr.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_TRUE(Pump([&] { return log.Count("Acceptor Accepted") == clients.size(); }));
        closed.push_back(false);
        if (step.closes >= 0) {
            EXPECT_TRUE(PalvorTest::PeerClosed(clients[step.closes]->Fd(), 2s));
            closed[step.closes] = true;
        }
        for (size_t i = 0; i < clients.size(); ++i) {
            if (closed[i]) continue;
            EXPECT_FALSE(PalvorTest::PeerClosed(clients[i]->Fd(), 0ms)) << i;
        }
    }
    EXPECT_EQ(acceptor->PendingCount(), 4u);
    EXPECT_EQ(log.Count("Acceptor Pending limit : closing"), 2u);

    // Those left register as usual.
    ASSERT_TRUE(clients[5]->SendRaw(
        EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(5, u"t", 1)))));
    ASSERT_TRUE(Pump([&] { return accepted.size() == 1; }));
    EXPECT_EQ(accepted[0]->sRemoteAddress.rfind("127.0.0.4:", 0), 0u);
}

// A registered connection keeps its place until its report is dropped. With the total cap
// taken by such connections, accepting waits (new connections stay in the system's
// backlog) and goes on as soon as a place is given back.
TEST_F(Acceptor, WithEveryPlaceTakenByRegisteredConnectionsAcceptingWaits) {
    acceptor->SetPendingLimits(2, 2);
    const uint16_t port = Listen();
    const auto registration =
        EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(1, u"t", 1)));
    CRSeqClient clients[3];
    for (int i = 0; i < 3; ++i) {
        clients[i].Adopt(PalvorTest::ConnectFrom(("127.0.0." + std::to_string(i + 2)).c_str(), port));
        ASSERT_TRUE(clients[i].SendRaw(registration));
        ASSERT_TRUE(Pump([&] { return accepted.size() == std::min<size_t>(i + 1, 2); }));
    }
    EXPECT_TRUE(log.WaitFor("Acceptor Full : 2 connections not admitted yet"));
    EXPECT_TRUE(acceptor->IsHeld());
    EXPECT_EQ(acceptor->WaitingCount(), 2u);
    log.loop->RunFor(200ms);
    EXPECT_EQ(log.Count("Acceptor Accepted"), 2u);
    EXPECT_FALSE(PalvorTest::PeerClosed(clients[2].Fd(), 0ms));

    accepted.erase(accepted.begin());  // the first is done with
    ASSERT_TRUE(Pump([&] { return accepted.size() == 2; }));
    EXPECT_EQ(accepted.back()->sRemoteIp, "127.0.0.4");
    EXPECT_TRUE(Pump([&] { return acceptor->WaitingCount() == 2; }));
}
