#include "server/RSocket.h"

#include <unistd.h>

#include <cstring>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace DUve::CRSocket {

namespace asio = boost::asio;
using asio::ip::tcp;

CHandle::~CHandle() {
    if (m_fd >= 0) ::close(m_fd);
}

CSocket::CSocket(asio::io_context& io) : m_socket(io) {}

CSocket::~CSocket() {
    boost::system::error_code ec;
    m_socket.close(ec);
}

bool CSocket::Assign(int nativeHandle) {
    if (m_socket.is_open()) {
        if (nativeHandle >= 0) ::close(nativeHandle);
        return false;
    }
    boost::system::error_code ec;
    m_socket.assign(tcp::v4(), nativeHandle, ec);
    if (ec) {
        if (nativeHandle >= 0) ::close(nativeHandle);
        return false;
    }
    m_socket.set_option(tcp::no_delay(true), ec);  // replies are small frames
    return true;
}

void CSocket::Fail(const boost::system::error_code& ec) {
    // Reported once: closing aborts the other pending operation, which ends here again.
    if (m_bFailed) return;
    m_bFailed = true;
    // The callback may release the last owner; keep ourselves alive to close cleanly.
    auto self = shared_from_this();
    if (m_onError) m_onError(ec);
    Close();
}

void CSocket::StartReceive() {
    std::weak_ptr<CSocket> weak = weak_from_this();
    asio::async_read(
        m_socket, asio::buffer(m_header, sizeof m_header),
        [weak](const boost::system::error_code& ec, size_t) {
            auto self = weak.lock();
            if (!self) return;
            if (ec) return self->Fail(ec);
            const uint32_t n = static_cast<uint32_t>(self->m_header[0]) |
                               static_cast<uint32_t>(self->m_header[1]) << 8 |
                               static_cast<uint32_t>(self->m_header[2]) << 16 |
                               static_cast<uint32_t>(self->m_header[3]) << 24;
            if (n > self->m_nMaxPayload) return self->Fail(asio::error::message_size);
            auto payload = std::make_shared<CBytes>();
            if (n == 0) {
                if (self->m_onData) self->m_onData(payload);
                return;
            }
            self->ReadPayload(std::move(payload), n);
        });
}

// The buffer grows with what arrives (doubling, from 64 KiB), so a header that announces a
// large payload costs memory only as its bytes come in.
void CSocket::ReadPayload(std::shared_ptr<CBytes> payload, size_t total) {
    constexpr size_t kFirstChunk = 64 * 1024;
    const size_t have = payload->size();
    const size_t want = std::min(total, std::max(kFirstChunk, 2 * have));
    payload->resize(want);
    std::weak_ptr<CSocket> weak = weak_from_this();
    asio::async_read(m_socket, asio::buffer(payload->data() + have, want - have),
                     [weak, payload, total](const boost::system::error_code& ec, size_t) {
                         auto self = weak.lock();
                         if (!self) return;
                         if (ec) return self->Fail(ec);
                         if (payload->size() < total) return self->ReadPayload(payload, total);
                         if (self->m_onData) self->m_onData(payload);
                     });
}

void CSocket::Send(const CBytes& payload) {
    if (payload.empty()) return;
    auto frame = std::make_shared<CBytes>(4 + payload.size());
    const auto n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) (*frame)[i] = static_cast<uint8_t>(n >> (8 * i));
    std::memcpy(frame->data() + 4, payload.data(), payload.size());
    SendFrame(std::move(frame));
}

void CSocket::SendFrame(std::shared_ptr<const CBytes> frame) {
    if (!frame || frame->size() <= 4 || m_bOverflow) return;
    if (m_nPendingBytes + frame->size() > m_nSendLimit) {
        // The peer does not read: fail the connection (reported from the event loop, not
        // from inside the caller's send).
        m_bOverflow = true;
        std::weak_ptr<CSocket> weak = weak_from_this();
        asio::post(m_socket.get_executor(), [weak] {
            if (auto self = weak.lock()) self->Fail(asio::error::no_buffer_space);
        });
        return;
    }
    m_nPendingBytes += frame->size();
    m_sendQueue.push_back(std::move(frame));
    if (m_sendQueue.size() == 1) WriteFront();
}

void CSocket::WriteFront() {
    std::weak_ptr<CSocket> weak = weak_from_this();
    auto front = m_sendQueue.front();
    asio::async_write(m_socket, asio::buffer(*front),
                      [weak, front](const boost::system::error_code& ec, size_t) {
                          auto self = weak.lock();
                          if (!self) return;
                          if (ec) {
                              self->m_sendQueue.clear();
                              self->m_nPendingBytes = 0;
                              return self->Fail(ec);
                          }
                          self->m_nPendingBytes -= front->size();
                          self->m_sendQueue.pop_front();
                          if (!self->m_sendQueue.empty()) self->WriteFront();
                      });
}

std::string CSocket::GetRemoteAddressText() const {
    boost::system::error_code ec;
    const auto ep = m_socket.remote_endpoint(ec);
    if (ec) return "nothing";
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

void CSocket::Close() {
    boost::system::error_code ec;
    m_socket.close(ec);
}

int CSocket::DuplicateHandle() const {
    if (!m_socket.is_open()) return -1;
    return ::dup(const_cast<tcp::socket&>(m_socket).native_handle());
}

CAcceptor::CAcceptor(asio::io_context& io) : m_io(io), m_acceptor(io) {}

CAcceptor::~CAcceptor() {
    *m_alive = false;
    Close();
}

void CAcceptor::Close() {
    boost::system::error_code ec;
    m_acceptor.close(ec);
}

uint16_t CAcceptor::LocalPort() const {
    boost::system::error_code ec;
    const auto ep = m_acceptor.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void CAcceptor::Listen(uint16_t port) {
    auto report = [this](const boost::system::error_code& ec) {
        if (m_onError) m_onError(ec);
    };
    if (port == 0) return report(asio::error::invalid_argument);
    if (m_acceptor.is_open()) return report(asio::error::already_open);
    boost::system::error_code ec;
    m_acceptor.open(tcp::v4(), ec);
    // Lets a restarted server bind while old connections sit in TIME_WAIT; on Linux it
    // never lets a second listener share the port.
    if (!ec) m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(tcp::endpoint(tcp::v4(), port), ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        Close();
        return report(ec);
    }
    if (m_onListen) m_onListen();
    Accept();
}

void CAcceptor::Accept() {
    auto socket = std::make_shared<CSocket>(m_io);
    std::weak_ptr<bool> alive = m_alive;
    m_acceptor.async_accept(socket->Socket(), [this, alive, socket](const boost::system::error_code& ec) {
        if (alive.expired()) return;
        if (ec) {
            if (m_onError) m_onError(ec);
            return;
        }
        boost::system::error_code ignored;
        socket->Socket().set_option(tcp::no_delay(true), ignored);
        Accept();
        if (m_onAccepted) m_onAccepted(socket);
    });
}

}  // namespace DUve::CRSocket
