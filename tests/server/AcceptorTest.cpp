// The acceptor service on real loopback connections: registration check, reports,
// pending-connection cleanup, stop and listen again.
#include "server/RSeqAcceptor.h"

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

    // A connection that stays open while the acceptor stops and listens again on the
    // same port (address reuse lets the new listening socket bind).
    CRSeqClient lingering;
    ASSERT_TRUE(lingering.Connect("127.0.0.1", port));
    ASSERT_TRUE(Pump([&] { return log.Count("Acceptor Accepted") == 1; }));
    acceptor->Stop();
    ASSERT_TRUE(Pump([&] { return errors.size() == 3 && !acceptor->IsListening(); }));
    acceptor->Listen(port);
    ASSERT_TRUE(Pump([&] { return listens == 2; }));
    EXPECT_TRUE(acceptor->IsListening());

    // Another listener cannot take the port while it is listened on.
    CRSeqAcceptor second(log.Senders());
    second.Listen(port);
    ASSERT_TRUE(Pump([&] { return errors.size() == 4; }));
    EXPECT_FALSE(second.IsListening());
}
