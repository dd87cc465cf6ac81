// Framing on a real loopback connection: exact-size reads whatever the segmentation,
// ordered sends, empty and oversized frames.
#include "server/RSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <thread>

#include "server/Frame.h"
#include "server/RAcceptor.h"
#include "support/Net.h"

using namespace DUve;
using namespace std::chrono_literals;
using PalvorTest::ReadBytes;
using PalvorTest::WriteAll;

namespace {

// Run with exact reads and with read-ahead: the frames handed out are the same.
class Framing : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        auto [a, b] = PalvorTest::TcpPair();
        peer = a;
        socket = std::make_shared<CRSocket::CSocket>(io);
        socket->SetReadAhead(GetParam());
        ASSERT_TRUE(socket->Assign(b));
        socket->SetDataCallback([this](const CRSocket::CPayload& p) {
            frames.push_back(*p);
            if (keepReading) socket->StartReceive();
        });
        socket->SetErrorCallback([this](const boost::system::error_code& ec) { errors.push_back(ec); });
    }
    void TearDown() override { ::close(peer); }

    void RunUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < end) {
            io.restart();
            io.run_for(5ms);
        }
    }

    boost::asio::io_context io;
    std::shared_ptr<CRSocket::CSocket> socket;
    int peer = -1;
    bool keepReading = true;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<boost::system::error_code> errors;
};

}  // namespace

TEST_P(Framing, FramesSplitAcrossWritesOrCoalescedInOneArriveWhole) {
    socket->StartReceive();
    const auto f1 = Sequencer::EncodeFrame({1, 2, 3, 4, 5});
    const auto f2 = Sequencer::EncodeFrame(std::vector<uint8_t>(3000, 7));
    const auto f3 = Sequencer::EncodeFrame({9});
    std::thread writer([&] {
        // Header cut in the middle, then the rest with the next two frames in one write.
        WriteAll(peer, {f1.begin(), f1.begin() + 2});
        std::this_thread::sleep_for(20ms);
        std::vector<uint8_t> rest(f1.begin() + 2, f1.end());
        rest.insert(rest.end(), f2.begin(), f2.end());
        rest.insert(rest.end(), f3.begin(), f3.end());
        WriteAll(peer, rest);
    });
    RunUntil([&] { return frames.size() == 3; });
    writer.join();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(frames[1], std::vector<uint8_t>(3000, 7));
    EXPECT_EQ(frames[2], std::vector<uint8_t>{9});
    EXPECT_TRUE(errors.empty());
}

// Frames of many sizes in one stream, one larger than a read-ahead buffer, cut at
// arbitrary places: each comes out whole and in order.
TEST_P(Framing, ABurstOfFramesComesOutWholeAndInOrder) {
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < 400; ++i) {
        sent.emplace_back(i == 200 ? 40000 : i % 150, static_cast<uint8_t>(i));
        const auto f = Sequencer::EncodeFrame(sent.back());
        stream.insert(stream.end(), f.begin(), f.end());
    }
    socket->StartReceive();
    std::thread writer([&] {
        for (size_t at = 0, piece = 1000; at < stream.size(); at += piece, piece = piece * 7 % 9001 + 1)
            WriteAll(peer, {stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + piece))});
    });
    RunUntil([&] { return frames.size() == sent.size(); });
    writer.join();
    EXPECT_TRUE(frames == sent);
    EXPECT_TRUE(errors.empty());
}

TEST_P(Framing, ReadingStopsAfterEachFrameUntilAskedAgain) {
    keepReading = false;
    socket->StartReceive();
    auto both = Sequencer::EncodeFrame({1});
    const auto f2 = Sequencer::EncodeFrame({2});
    both.insert(both.end(), f2.begin(), f2.end());
    WriteAll(peer, both);
    RunUntil([&] { return frames.size() == 1; });
    io.restart();
    io.run_for(30ms);
    EXPECT_EQ(frames.size(), 1u);
    socket->StartReceive();
    RunUntil([&] { return frames.size() == 2; });
    EXPECT_EQ(frames.size(), 2u);
}

TEST_P(Framing, AZeroLengthFrameDeliversAnEmptyPayload) {
    socket->StartReceive();
    WriteAll(peer, {0, 0, 0, 0});
    RunUntil([&] { return frames.size() == 1; });
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].empty());
}

TEST_P(Framing, AnOversizedHeaderIsAReadErrorNotAnAllocation) {
    socket->StartReceive();
    WriteAll(peer, {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3});
    RunUntil([&] { return !errors.empty(); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(frames.empty());
    EXPECT_FALSE(socket->IsOpen());
    EXPECT_TRUE(PalvorTest::PeerClosed(peer, 2s));
}

TEST_P(Framing, ALargeFrameArrivingInPiecesComesWholeAndAHeaderAloneCostsNoMemory) {
    socket->StartReceive();
    std::vector<uint8_t> big(3 * 1024 * 1024 + 7);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    const auto frame = Sequencer::EncodeFrame(big);
    std::thread writer([&] {
        size_t at = 0, piece = 1;
        while (at < frame.size()) {  // pieces of 1 byte up to about 1 MiB
            const size_t n = std::min(frame.size() - at, piece);
            WriteAll(peer, {frame.begin() + static_cast<std::ptrdiff_t>(at),
                            frame.begin() + static_cast<std::ptrdiff_t>(at + n)});
            at += n;
            piece = piece * 3 + 1;
        }
    });
    RunUntil([&] { return !frames.empty(); });
    writer.join();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0] == big);

    // Headers announcing the largest payload, then silence, on many connections: what is
    // held is what arrived, not what was announced (sixteen times 64 MiB otherwise).
    auto resident = [] {
        long pages = 0, rss = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
            std::fclose(f);
        }
        return rss * ::sysconf(_SC_PAGESIZE);
    };
    const long before = resident();
    std::vector<std::shared_ptr<CRSocket::CSocket>> held;
    std::vector<int> peers;
    const uint32_t n = CRSocket::kMaxPayload;
    for (int i = 0; i < 16; ++i) {
        auto [a, b] = PalvorTest::TcpPair();
        auto s = std::make_shared<CRSocket::CSocket>(io);
        s->SetReadAhead(GetParam());
        ASSERT_TRUE(s->Assign(b));
        s->StartReceive();
        WriteAll(a, {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24), 1, 2, 3});
        held.push_back(s);
        peers.push_back(a);
    }
    for (int i = 0; i < 20; ++i) {
        io.restart();
        io.run_for(5ms);
    }
    EXPECT_LT(resident() - before, 64L * 1024 * 1024);
    for (int fd : peers) ::close(fd);
}

TEST_P(Framing, AConnectionCanBeHeldToASmallerLimit) {
    socket->SetMaxPayload(16);
    socket->StartReceive();
    WriteAll(peer, Sequencer::EncodeFrame(std::vector<uint8_t>(16, 1)));
    RunUntil([&] { return !frames.empty(); });
    ASSERT_EQ(frames.size(), 1u);
    WriteAll(peer, Sequencer::EncodeFrame(std::vector<uint8_t>(17, 1)));
    RunUntil([&] { return !errors.empty(); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], boost::asio::error::message_size);
    EXPECT_EQ(frames.size(), 1u);
}

TEST_P(Framing, SendsLeaveAsFramesInCallOrder) {
    socket->Send({0xAA, 0xBB});
    socket->Send({});  // ignored
    socket->Send(std::vector<uint8_t>(100000, 0x5A));
    socket->Send({0x01});
    // More frames than one write gathers, and one frame queued twice.
    std::vector<uint8_t> tail;
    for (uint8_t i = 0; i < 80; ++i) {
        socket->SendFrame(CRSocket::CFrame::Make({i}));
        tail.insert(tail.end(), {1, 0, 0, 0, i});
    }
    const auto shared = CRSocket::CFrame::Make({7, 7, 7});
    socket->SendFrame(shared);
    socket->SendFrame(CRSocket::CFrame::Make({}));  // nothing to send
    socket->SendFrame(shared);
    for (int twice = 0; twice < 2; ++twice) tail.insert(tail.end(), {3, 0, 0, 0, 7, 7, 7});
    const size_t total = 6 + 100004 + 5 + tail.size();
    std::vector<uint8_t> got;
    std::thread reader([&] { got = ReadBytes(peer, total, 5s); });
    RunUntil([&] { return socket->PendingSendBytes() == 0; });
    reader.join();
    ASSERT_EQ(got.size(), total);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 6),
              (std::vector<uint8_t>{2, 0, 0, 0, 0xAA, 0xBB}));
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 6, got.begin() + 10),
              (std::vector<uint8_t>{0xA0, 0x86, 0x01, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 100010, got.begin() + 100015),
              (std::vector<uint8_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(std::vector<uint8_t>(got.end() - static_cast<std::ptrdiff_t>(tail.size()), got.end()), tail);
}

TEST_P(Framing, PeerCloseIsReportedAndTheRemoteAddressIsDotted) {
    const std::string address = socket->GetRemoteAddressText();
    EXPECT_EQ(address.rfind("127.0.0.1:", 0), 0u);
    // The address is the peer's: its port is the one the peer's end is bound to.
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(::getsockname(peer, reinterpret_cast<sockaddr*>(&local), &len), 0);
    EXPECT_EQ(address, "127.0.0.1:" + std::to_string(ntohs(local.sin_port)));
    socket->StartReceive();
    ::shutdown(peer, SHUT_RDWR);
    RunUntil([&] { return !errors.empty(); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], boost::asio::error::eof);
    // The failed connection closed itself and still names its peer (for the log lines).
    EXPECT_FALSE(socket->IsOpen());
    EXPECT_EQ(socket->GetRemoteAddressText(), address);
    CRSocket::CSocket unattached(io);
    EXPECT_EQ(unattached.GetRemoteAddressText(), "nothing");
    EXPECT_FALSE(unattached.Assign(-1));  // an invalid handle is refused
}

TEST_P(Framing, APeerThatDoesNotReadFailsTheConnectionInsteadOfGrowingTheQueue) {
    socket->SetSendLimit(1 << 20);
    socket->StartReceive();
    const std::vector<uint8_t> chunk(64 * 1024, 0x33);
    for (int i = 0; i < 200 && errors.empty(); ++i) {
        socket->Send(chunk);  // the peer never reads
        io.restart();
        io.poll();
    }
    RunUntil([&] { return !errors.empty(); });
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], boost::asio::error::no_buffer_space);
    EXPECT_LE(socket->PendingSendBytes(), size_t{1} << 20);
    EXPECT_FALSE(socket->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(ExactOrReadAhead, Framing, ::testing::Bool());

TEST(Backoff, DoublesFromTheFirstDelayUpToTheCapAndStartsOverAfterASuccess) {
    CRSocket::CBackoff backoff(10ms, 1000ms);
    for (const int ms : {10, 20, 40, 80, 160, 320, 640, 1000, 1000})
        EXPECT_EQ(backoff.Next(), std::chrono::milliseconds(ms));
    backoff.Reset();
    EXPECT_EQ(backoff.Next(), 10ms);
    EXPECT_EQ(backoff.Next(), 20ms);
}

namespace {

// Sets the process-wide bound of queued bytes for one test.
class CGlobalSendLimit {
public:
    explicit CGlobalSendLimit(size_t bytes) : m_saved(CRSocket::GlobalSendLimit()) {
        CRSocket::SetGlobalSendLimit(bytes);
    }
    ~CGlobalSendLimit() { CRSocket::SetGlobalSendLimit(m_saved); }

private:
    size_t m_saved;
};

}  // namespace

// Peers that never read: the queued bytes stay counted until the writes complete, which
// only happens while the event loop runs. The send that takes the total over the bound
// fails the largest queue, whichever connection sent it.
TEST(SendBudget, GoingOverTheProcessBoundFailsTheConnectionWithTheMostQueued) {
    constexpr size_t kMiB = 1 << 20;
    const CGlobalSendLimit bound(5 * kMiB);
    struct Case {
        std::vector<size_t> mib;  // queued per connection, in send order
        size_t failed;            // which one goes
    };
    const Case cases[] = {{{1, 3, 2}, 1}, {{3, 1, 2}, 0}, {{1, 1, 4}, 2}, {{1, 5}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.mib));
        const size_t before = CRSocket::GlobalQueuedBytes();
        {
            boost::asio::io_context io;
            std::vector<std::shared_ptr<CRSocket::CSocket>> sockets;
            std::vector<int> peers;
            std::vector<std::vector<boost::system::error_code>> errors(c.mib.size());
            for (size_t i = 0; i < c.mib.size(); ++i) {
                auto [a, b] = PalvorTest::TcpPair();
                peers.push_back(a);
                sockets.push_back(std::make_shared<CRSocket::CSocket>(io));
                ASSERT_TRUE(sockets.back()->Assign(b));
                sockets.back()->SetErrorCallback(
                    [&errors, i](const boost::system::error_code& ec) { errors[i].push_back(ec); });
                sockets.back()->Send(std::vector<uint8_t>(c.mib[i] * kMiB, uint8_t(i)));
            }
            const auto end = std::chrono::steady_clock::now() + 5s;
            while (errors[c.failed].empty() && std::chrono::steady_clock::now() < end) {
                io.restart();
                io.run_for(5ms);
            }
            for (size_t i = 0; i < sockets.size(); ++i) {
                if (i == c.failed) {
                    EXPECT_EQ(errors[i], std::vector{CRSocket::ErrorGlobalSendLimit()});
                    EXPECT_FALSE(sockets[i]->IsOpen());
                    EXPECT_EQ(sockets[i]->PendingSendBytes(), 0u);
                } else {
                    EXPECT_TRUE(errors[i].empty()) << i;
                    EXPECT_TRUE(sockets[i]->IsOpen()) << i;
                }
            }
            EXPECT_LE(CRSocket::GlobalQueuedBytes() - before, 5 * kMiB);
            // Still queued when the connections go (nothing runs the loop any more).
            const size_t survivor = c.failed == 0 ? 1 : 0;
            sockets[survivor]->Send(std::vector<uint8_t>(64 * 1024, 1));
            EXPECT_GE(CRSocket::GlobalQueuedBytes() - before, 64u * 1024);
            for (int fd : peers) ::close(fd);
        }
        // Whatever the connections still held is given back when they go.
        EXPECT_EQ(CRSocket::GlobalQueuedBytes(), before);
    }
}

// A broadcast frame queued by several connections whose peers have not read yet: the
// process-wide total holds it once, so a bound below readers x frame drops nobody, and
// its bytes go when the last connection has written it. Each connection still counts the
// frame in full against its own bound.
TEST(SendBudget, AFrameSharedByManyConnectionsCountsOnceUntilTheLastHasWrittenIt) {
    constexpr size_t kMiB = 1 << 20, kReaders = 4;
    std::vector<uint8_t> bytes(16 * kMiB);  // more than the kernel buffers take at once
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
    const auto frame = CRSocket::CFrame::Make(bytes);
    const auto wire = Sequencer::EncodeFrame(bytes);
    const CGlobalSendLimit bound(2 * frame->Size());
    const size_t before = CRSocket::GlobalQueuedBytes();
    {
        boost::asio::io_context io;
        std::vector<std::shared_ptr<CRSocket::CSocket>> sockets;
        std::vector<int> peers;
        std::vector<boost::system::error_code> errors;
        for (size_t i = 0; i < kReaders; ++i) {
            auto [a, b] = PalvorTest::TcpPair();
            peers.push_back(a);
            sockets.push_back(std::make_shared<CRSocket::CSocket>(io));
            ASSERT_TRUE(sockets.back()->Assign(b));
            sockets.back()->SetErrorCallback([&errors](const boost::system::error_code& ec) { errors.push_back(ec); });
            sockets.back()->SendFrame(frame);
            EXPECT_EQ(sockets.back()->PendingSendBytes(), frame->Size());
            EXPECT_EQ(CRSocket::GlobalQueuedBytes() - before, frame->Size()) << i;
        }
        for (size_t i = 0; i < kReaders; ++i) {
            std::vector<uint8_t> got;
            std::thread reader([&] { got = ReadBytes(peers[i], wire.size(), 10s); });
            const auto end = std::chrono::steady_clock::now() + 10s;
            while (sockets[i]->PendingSendBytes() && std::chrono::steady_clock::now() < end) {
                io.restart();
                io.run_for(5ms);
            }
            reader.join();
            EXPECT_TRUE(got == wire) << i;
            EXPECT_EQ(CRSocket::GlobalQueuedBytes() - before, i + 1 < kReaders ? frame->Size() : 0) << i;
        }
        EXPECT_TRUE(errors.empty());

        // Its own bound: the same frame twice is more than this connection may queue.
        sockets[0]->SetSendLimit(frame->Size());
        sockets[0]->SendFrame(frame);
        sockets[0]->SendFrame(frame);
        io.restart();
        io.run_for(20ms);
        EXPECT_EQ(errors, std::vector<boost::system::error_code>{boost::asio::error::no_buffer_space});
        for (int fd : peers) ::close(fd);
    }
    EXPECT_EQ(CRSocket::GlobalQueuedBytes(), before);
}
