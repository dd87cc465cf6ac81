// Socket helpers of the tests and benchmarks: a connected loopback TCP pair, a free port,
// waiting for a listener, raw frame I/O.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>  // (boost 1.74 asio needs it first under C++20)

#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace PalvorTest {

enum class ENagle { On, Off };

// Two connected TCP sockets on 127.0.0.1 (native handles owned by the caller); with
// ENagle::Off both send small writes at once (TCP_NODELAY), as the benchmarks want.
inline std::pair<int, int> TcpPair(ENagle nagle = ENagle::On) {
    namespace asio = boost::asio;
    using asio::ip::tcp;
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket client(io), server(io);
    client.connect(acceptor.local_endpoint());
    acceptor.accept(server);
    if (nagle == ENagle::Off) {
        client.set_option(tcp::no_delay(true));
        server.set_option(tcp::no_delay(true));
    }
    return {client.release(), server.release()};
}

// A port that was free a moment ago.
inline uint16_t FreePort() {
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
    return a.local_endpoint().port();
}

// True once something accepts connections on 127.0.0.1:port (tried every 50 ms, ~10 s).
inline bool WaitForPort(uint16_t port) {
    for (int i = 0; i < 200; ++i) {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket s(io);
        boost::system::error_code ec;
        s.connect({boost::asio::ip::address_v4::loopback(), port}, ec);
        if (!ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

inline bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly n bytes within the time-out; shorter result on close or time-out.
inline std::vector<uint8_t> ReadBytes(int fd, size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        uint8_t buf[4096];
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

// True when the peer closed the connection within the time-out.
inline bool PeerClosed(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
    uint8_t b;
    return ::recv(fd, &b, 1, MSG_PEEK) <= 0;  // end of file, or reset when data was left unread
}

// A TCP connection to 127.0.0.1:port from the loopback address `from` (127.0.0.x); -1 on
// failure.
inline int ConnectFrom(const char* from, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &addr.sin_addr);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (bound && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace PalvorTest
