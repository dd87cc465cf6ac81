// Many registered clients of one solution, through the acceptor and the solution's server
// on real loopback connections: more clients than a default open-file limit of 1024
// allows, each getting every broadcast in the order they were made. A broadcast is one
// frame shared by all of them: with a process-wide send bound of a few frames nobody is
// dropped, and nothing stays counted once everyone has it.
#include <gtest/gtest.h>

#include "server/Frame.h"
#include "server/ROpenFileLimit.h"
#include "server/RSendBudget.h"
#include "server/RSeqAcceptor.h"
#include "server/RSeqClient.h"
#include "server/RSeqServer.h"
#include "support/LogCapture.h"
#include "support/Net.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
using namespace std::chrono_literals;

TEST(ManyClients, ElevenHundredClientsReceiveTheSameHundredBroadcastsInOneOrder) {
    constexpr size_t kClients = 1100, kBroadcasts = 100, kSolution = 3;
    // Each client takes two descriptors here: its own end and the server's.
    const auto limit = CRSocket::RaiseOpenFileLimit();
    if (limit.nSoft < 2 * kClients + 256)
        GTEST_SKIP() << "needs about " << 2 * kClients + 256 << " descriptors; the hard limit is "
                     << limit.nHard;

    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    CRSeqServer server(log.Senders(), kSolution, dir.Path());
    ASSERT_TRUE(server.IsStarted());
    size_t registered = 0;
    bool listening = false;
    // Handed to the solution's server as the program's controller does.
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorAccepted>(
        *log.receiver, [&](const auto& m) {
            ++registered;
            server.AddUser(m->socket->Release());
        });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorListen>(
        *log.receiver, [&](const auto&) { listening = true; });
    CRSeqAcceptor acceptor(log.Senders());
    const uint16_t port = PalvorTest::FreePort();
    acceptor.Listen(port);
    ASSERT_TRUE(log.loop->RunUntil([&] { return listening; }, 5s));

    // Registered in groups smaller than the per-address cap of unregistered connections.
    const auto registration = EncodeFrame(CSerialize::SaveObject(CRegistClient(1, u"alpha", kSolution)));
    std::vector<std::unique_ptr<CRSeqClient>> clients;
    while (clients.size() < kClients) {
        for (size_t i = 0; i < CRSeqAcceptor::kMaxPendingPerAddress / 2 && clients.size() < kClients; ++i) {
            clients.push_back(std::make_unique<CRSeqClient>());
            ASSERT_TRUE(clients.back()->Connect("127.0.0.1", port)) << clients.back()->Error();
            ASSERT_TRUE(clients.back()->SendRaw(registration));
        }
        ASSERT_TRUE(log.loop->RunUntil([&] { return registered == clients.size(); }, 10s))
            << registered << " of " << clients.size();
    }
    for (auto& c : clients) {
        const auto greeting = c->Receive(10s);
        ASSERT_TRUE(greeting) << c->Error();
        ASSERT_FALSE(greeting->empty());
        ASSERT_TRUE(std::dynamic_pointer_cast<const CRegistClient>(greeting->front()));
    }

    // One client creates the sequences, one a frame; creation is broadcast to everyone.
    struct CRestore {
        size_t saved = CRSocket::GlobalSendLimit();
        ~CRestore() { CRSocket::SetGlobalSendLimit(saved); }
    } restore;
    CRSocket::SetGlobalSendLimit(4096);  // far below clients x frame
    // The greetings' last write completions may still be on their way to the server thread.
    PalvorTest::WaitFor([&] {
        server.Sync([](CServer&) {});
        return CRSocket::GlobalQueuedBytes() == 0;
    });
    const size_t queuedBefore = CRSocket::GlobalQueuedBytes();
    std::vector<CRUid> sent;
    for (size_t i = 0; i < kBroadcasts; ++i) {
        sent.push_back(CRUid::Generate());
        ASSERT_TRUE(clients[0]->Send({std::make_shared<CCommandCreateSequence>(
            sent.back(), CRSeq::Property::CSequence(u"s" + Utf8ToUtf16(std::to_string(i))))}));
    }
    for (size_t k = 0; k < clients.size(); ++k) {
        std::vector<CRUid> got;
        while (got.size() < kBroadcasts) {
            const auto frame = clients[k]->Receive(10s);
            ASSERT_TRUE(frame) << "client " << k << " after " << got.size() << ": " << clients[k]->Error();
            for (const auto& command : *frame)
                if (auto created = std::dynamic_pointer_cast<const CCommandCreateSequence>(command))
                    got.push_back(created->idSequence);
        }
        ASSERT_EQ(got, sent) << "client " << k;
    }
    for (int i = 0; i < 100 && CRSocket::GlobalQueuedBytes() != queuedBefore; ++i)
        server.Sync([](CServer&) {});  // the last write completions run on the server thread
    EXPECT_EQ(CRSocket::GlobalQueuedBytes(), queuedBefore);
    EXPECT_EQ(acceptor.PendingCount(), 0u);
    clients.clear();
}
