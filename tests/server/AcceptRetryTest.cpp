// Accepting while the process is out of descriptors: the failed accepts are retried after
// a growing back-off, accepting resumes once descriptors are free again, and the next
// burst starts from the shortest delay.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "server/Frame.h"
#include "server/RSeqAcceptor.h"
#include "server/RSeqClient.h"
#include "support/LogCapture.h"
#include "support/Net.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace std::chrono_literals;

namespace {

// Takes every descriptor the process may still open: the soft limit goes down to just
// above the highest descriptor open now and the free numbers below it are filled. Both
// are undone by the destructor.
class CNoDescriptorsLeft {
public:
    CNoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit low = m_saved;
        low.rlim_cur = static_cast<rlim_t>(HighestOpen() + 1);
        m_bLowered = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
        for (int i = 0; i < 100000; ++i) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) break;
            m_fds.push_back(fd);
        }
    }
    ~CNoDescriptorsLeft() {
        for (int fd : m_fds) ::close(fd);
        if (m_bLowered) ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    bool Exhausted() const {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
        return fd < 0 && errno == EMFILE;
    }

private:
    static int HighestOpen() {
        int highest = 2;
        if (DIR* dir = ::opendir("/proc/self/fd")) {
            while (const dirent* e = ::readdir(dir)) highest = std::max(highest, std::atoi(e->d_name));
            ::closedir(dir);
        }
        return highest;
    }

    rlimit m_saved{};
    bool m_bLowered = false;
    std::vector<int> m_fds;
};

// Connects an already created socket (connecting needs no new descriptor).
bool ConnectLoopback(int fd, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

}  // namespace

TEST(AcceptRetry, FailedAcceptsBackOffLongerEachTimeAndResumeWithTheFirstDelayNextTime) {
    boost::asio::io_context io;
    CRSocket::CAcceptor acceptor(io);
    struct Failure {
        boost::system::error_code ec;
        int count;
        std::chrono::milliseconds delay;
    };
    std::vector<Failure> failures;
    std::vector<int> resumed;
    std::vector<boost::system::error_code> fatal;
    int accepted = 0;
    acceptor.SetAcceptErrorCallback([&](const boost::system::error_code& ec, int count, auto delay) {
        failures.push_back({ec, count, delay});
    });
    acceptor.SetAcceptResumedCallback([&](int count) { resumed.push_back(count); });
    acceptor.SetErrorCallback([&](const boost::system::error_code& ec) { fatal.push_back(ec); });
    acceptor.SetAcceptedCallback([&](const std::shared_ptr<CRSocket::CSocket>&) { ++accepted; });
    const uint16_t port = PalvorTest::FreePort();
    acceptor.Listen(port);
    ASSERT_TRUE(acceptor.IsOpen());
    auto runUntil = [&](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < end) {
            io.restart();
            io.run_for(5ms);
        }
        return done();
    };

    for (int burst = 0; burst < 2; ++burst) {
        SCOPED_TRACE(burst);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(client, 0);
        const size_t first = failures.size();
        {
            CNoDescriptorsLeft none;
            ASSERT_TRUE(none.Exhausted());
            ASSERT_TRUE(ConnectLoopback(client, port));
            ASSERT_TRUE(runUntil([&] { return failures.size() >= first + 4; }));
            EXPECT_EQ(accepted, burst);
        }
        ASSERT_TRUE(runUntil([&] { return accepted == burst + 1; }));
        ::close(client);
        const std::vector<Failure> mine(failures.begin() + static_cast<std::ptrdiff_t>(first), failures.end());
        for (size_t i = 0; i < mine.size(); ++i) {
            EXPECT_EQ(mine[i].ec, boost::system::errc::too_many_files_open);
            EXPECT_EQ(mine[i].count, static_cast<int>(i + 1));
        }
        EXPECT_EQ(mine[0].delay, 10ms);
        EXPECT_EQ(mine[1].delay, 20ms);
        EXPECT_EQ(mine[2].delay, 40ms);
        EXPECT_EQ(mine[3].delay, 80ms);
        ASSERT_EQ(resumed.size(), static_cast<size_t>(burst + 1));
        EXPECT_EQ(resumed.back(), static_cast<int>(mine.size()));
    }
    EXPECT_TRUE(fatal.empty());

    // Closing while a retry waits ends accepting: no report, no further attempt.
    const int late = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(late, 0);
    {
        CNoDescriptorsLeft none;
        ASSERT_TRUE(ConnectLoopback(late, port));
        const size_t before = failures.size();
        ASSERT_TRUE(runUntil([&] { return failures.size() > before; }));
        acceptor.Close();
        const size_t atClose = failures.size();
        io.restart();
        io.run_for(300ms);  // longer than the pending retry's delay
        EXPECT_EQ(failures.size(), atClose);
    }
    ::close(late);
    EXPECT_TRUE(fatal.empty());
    EXPECT_EQ(accepted, 2);
}

// The service logs one line for the burst and one when it resumes; a client that
// connected meanwhile registers as usual and no listening error is reported.
TEST(AcceptRetry, TheServiceLogsABurstOnceAndTheWaitingClientRegisters) {
    PalvorTest::CLogCapture log;
    std::vector<std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>> accepted;
    int errors = 0, listens = 0;
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorAccepted>(
        *log.receiver, [&](const auto& m) { accepted.push_back(m); });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorError>(*log.receiver,
                                                                       [&](const auto&) { ++errors; });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorListen>(*log.receiver,
                                                                        [&](const auto&) { ++listens; });
    CRSeqAcceptor acceptor(log.Senders());
    const uint16_t port = PalvorTest::FreePort();
    acceptor.Listen(port);
    ASSERT_TRUE(log.loop->RunUntil([&] { return listens == 1; }, 5s));
    ASSERT_TRUE(log.WaitFor("Acceptor Listen : port="));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    CRSeqClient client;
    // Made beforehand: without a free descriptor the sanitizers' checks of new objects
    // cannot read memory safely (they need a pipe) and fail.
    const auto registration =
        EncodeFrame(CProtocol::CSerialize::SaveObject(CProtocol::CRegistClient(3, u"k", 9)));
    {
        CNoDescriptorsLeft none;
        ASSERT_TRUE(none.Exhausted());
        ASSERT_TRUE(ConnectLoopback(fd, port));
        client.Adopt(fd);
        ASSERT_TRUE(client.SendRaw(registration));
        ASSERT_TRUE(log.WaitFor("Acceptor Accept error : Too many open files (retrying)"));
        // A few more retries (10 ms doubling) before descriptors are free again.
        log.loop->RunUntil([] { return false; }, 300ms);
        EXPECT_TRUE(accepted.empty());
    }
    ASSERT_TRUE(log.loop->RunUntil([&] { return accepted.size() == 1; }, 5s));
    EXPECT_EQ(accepted[0]->nSolutionId, 9u);
    EXPECT_TRUE(log.WaitFor("Acceptor Accept resumed after"));
    EXPECT_EQ(log.Count("Acceptor Accept error : Too many open files (retrying)"), 1u);
    EXPECT_EQ(log.Count("Acceptor Error"), 0u);
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(acceptor.IsListening());
}
