#include "server/RAcceptor.h"

#include <algorithm>
#include <limits>

namespace DUve::CRSocket {

namespace asio = boost::asio;
using asio::ip::tcp;

CBackoff::CDelay CBackoff::Next() {
    m_next = m_next == CDelay::zero() ? m_first : std::min(m_most, m_next * 2);
    return m_next;
}

CAcceptor::CAcceptor(asio::io_context& io) : m_io(io), m_acceptor(io), m_retry(io) {}

CAcceptor::~CAcceptor() {
    *m_alive = false;
    Close();
}

void CAcceptor::Close() {
    boost::system::error_code ec;
    m_acceptor.close(ec);
    m_retry.cancel();
    ++m_nGeneration;  // whatever is still under way for the old socket ends quietly
    m_bHeld = false;
    m_nFailures = 0;
    m_backoff.Reset();
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

void CAcceptor::Resume() {
    if (!m_bHeld || !m_acceptor.is_open()) return;
    m_bHeld = false;
    Accept();
}

void CAcceptor::Accept() {
    if (m_gate && !m_gate()) {
        m_bHeld = true;
        return;
    }
    auto socket = std::make_shared<CSocket>(m_io);
    std::weak_ptr<bool> alive = m_alive;
    const uint64_t generation = m_nGeneration;
    m_acceptor.async_accept(socket->Socket(), [this, alive, generation, socket](
                                                  const boost::system::error_code& ec) {
        if (alive.expired() || generation != m_nGeneration) return;
        if (ec == asio::error::operation_aborted) return;
        if (ec) return OnAcceptFailed(ec);
        if (m_nFailures > 0) {
            const int failures = m_nFailures;
            m_nFailures = 0;
            m_backoff.Reset();
            if (m_onAcceptResumed) m_onAcceptResumed(failures);
        }
        boost::system::error_code ignored;  // a connection without it is only slower
        socket->Socket().set_option(tcp::no_delay(true), ignored);
        socket->NoteRemoteAddress();
        // The next accept starts once this connection is counted, so that a gate sees it.
        if (m_onAccepted) m_onAccepted(socket);
        if (alive.expired() || generation != m_nGeneration) return;
        Accept();
    });
}

// Out of descriptors, buffers or memory, the listening socket's readiness would only
// repeat the failure at once: wait, longer each time, then try again.
void CAcceptor::OnAcceptFailed(const boost::system::error_code& ec) {
    if (m_nFailures < std::numeric_limits<int>::max()) ++m_nFailures;
    const auto delay = m_backoff.Next();
    if (m_onAcceptError) m_onAcceptError(ec, m_nFailures, delay);
    std::weak_ptr<bool> alive = m_alive;
    const uint64_t generation = m_nGeneration;
    m_retry.expires_after(delay);
    m_retry.async_wait([this, alive, generation](const boost::system::error_code& waited) {
        if (alive.expired() || waited || generation != m_nGeneration) return;
        Accept();
    });
}

}  // namespace DUve::CRSocket
