#include "server/RSeqClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/Frame.h"
#include "server/RSocket.h"

namespace DUve::Sequencer {

using Clock = std::chrono::steady_clock;

CRSeqClient::~CRSeqClient() { Close(); }

void CRSeqClient::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void CRSeqClient::Adopt(int fd) {
    Close();
    m_fd = fd;
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool CRSeqClient::Connect(const std::string& host, uint16_t port, CMilliseconds timeout) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        m_error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    m_error = "cannot connect to " + host + ":" + std::to_string(port);
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                r = err == 0 ? 0 : -1;
                if (err) errno = err;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (r == 0) {
            Adopt(fd);
            ::freeaddrinfo(found);
            m_error.clear();
            return true;
        }
        m_error += std::string(": ") + std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return false;
}

bool CRSeqClient::WriteAll(const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pf{m_fd, POLLOUT, 0};
            ::poll(&pf, 1, 1000);
            continue;
        }
        if (w <= 0) {
            m_error = std::string("connection lost: ") + std::strerror(errno);
            Close();
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool CRSeqClient::ReadExactly(uint8_t* p, size_t n, Clock::time_point deadline) {
    while (n > 0) {
        const auto left =
            std::chrono::duration_cast<CMilliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            m_error = "timed out waiting for the server";
            return false;
        }
        pollfd pf{m_fd, POLLIN, 0};
        const int pr = ::poll(&pf, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) continue;
        if (pr == 0) continue;
        const ssize_t r = ::recv(m_fd, p, n, 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (r <= 0) {
            m_error = r == 0 ? "connection closed by the server"
                             : std::string("connection lost: ") + std::strerror(errno);
            Close();
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool CRSeqClient::SendRaw(const std::vector<uint8_t>& bytes) {
    if (m_fd < 0) {
        m_error = "not connected";
        return false;
    }
    return WriteAll(bytes.data(), bytes.size());
}

bool CRSeqClient::Send(const CCommands& commands) {
    const auto payload = CProtocol::CSerialize::SaveObjects(commands);
    if (payload.empty()) return true;
    return SendRaw(EncodeFrame(payload));
}

std::optional<CRSeqClient::CCommands> CRSeqClient::Receive(CMilliseconds timeout) {
    if (m_fd < 0) {
        m_error = "not connected";
        return std::nullopt;
    }
    // The time-out applies to the start of a frame; once it has begun, the rest is
    // awaited longer so that a slow frame never leaves the stream out of step.
    pollfd pf{m_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&pf, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        m_error = "timed out waiting for the server";
        return std::nullopt;
    }
    const auto deadline = Clock::now() + std::max<CMilliseconds>(timeout, CMilliseconds(30000));
    uint8_t header[kFrameHeaderSize];
    if (!ReadExactly(header, sizeof header, deadline)) return std::nullopt;
    const uint32_t n = DecodeFrameHeader(header);
    if (n > CRSocket::kMaxPayload) {
        m_error = "frame too large";
        Close();
        return std::nullopt;
    }
    std::vector<uint8_t> payload(n);
    if (!ReadExactly(payload.data(), n, deadline)) return std::nullopt;
    auto commands = CProtocol::CSerialize::LoadObjects(payload);
    if (commands.empty()) {
        m_error = "unreadable frame from the server";
        return std::nullopt;
    }
    return commands;
}

std::optional<CRSeqClient::CCommands> CRSeqClient::Register(uint32_t visitor,
                                                             const std::u16string& token,
                                                             uint32_t solution,
                                                             CMilliseconds timeout) {
    if (!Send({std::make_shared<CProtocol::CRegistClient>(visitor, token, solution)}))
        return std::nullopt;
    auto greeting = Receive(timeout);
    if (!greeting) {
        if (m_fd < 0) m_error = "registration refused (the server closed the connection)";
        return std::nullopt;
    }
    if (!std::dynamic_pointer_cast<const CProtocol::CRegistClient>(greeting->front())) {
        m_error = "unexpected greeting from the server";
        return std::nullopt;
    }
    greeting->erase(greeting->begin());
    return greeting;
}

std::optional<CRSeqClient::CCommands> CRSeqClient::Request(const CCommands& commands,
                                                            CMilliseconds timeout) {
    const CRUid marker = CRUid::Generate();
    CCommands frame = commands;
    frame.push_back(std::make_shared<CProtocol::CCommandEcho>(marker));
    if (!Send(frame)) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    CCommands received;
    for (;;) {
        const auto left = std::chrono::duration_cast<CMilliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_error = "timed out waiting for the server";
            return std::nullopt;
        }
        auto got = Receive(left);
        if (!got) return std::nullopt;
        for (auto& c : *got) {
            const auto echo = std::dynamic_pointer_cast<const CProtocol::CCommandEcho>(c);
            if (echo && echo->idEcho == marker) return received;
            received.push_back(std::move(c));
        }
    }
}

}  // namespace DUve::Sequencer
