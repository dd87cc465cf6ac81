#include "server/RSocket.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace DUve::CRSocket {

namespace asio = boost::asio;
using asio::ip::tcp;

// ---- process-wide send budget ----

namespace {

class CSocketErrorCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "palvor.socket"; }
    std::string message(int) const override {
        return "dropped: the send queues of all connections went over the process limit and "
               "this connection's was the largest";
    }
};

}  // namespace

boost::system::error_code ErrorGlobalSendLimit() {
    static const CSocketErrorCategory category;
    return {1, category};
}

// The queued bytes of all connections and the connections that queued any, so that the
// largest can be found when the total goes over the limit. The counters are atomics
// touched on every send; the registry's mutex is taken once per connection (on its first
// send and at its end) and while the limit is enforced.
struct CSendBudget {
    struct CEntry {
        std::weak_ptr<CSocket> socket;
        tcp::socket::executor_type executor;
    };

    static CSendBudget& Get() {
        static CSendBudget* budget = new CSendBudget;  // outlives every socket, also at exit
        return *budget;
    }

    bool Over() const {
        return queued.load(std::memory_order_relaxed) >
               evicting.load(std::memory_order_relaxed) + limit.load(std::memory_order_relaxed);
    }

    void Enter(CSocket& s) {
        std::weak_ptr<CSocket> weak = s.weak_from_this();
        if (weak.expired()) return;  // not shared: it cannot be chosen, only counted
        std::lock_guard lock(mutex);
        sockets.emplace(&s, CEntry{std::move(weak), s.m_socket.get_executor()});
        s.m_bInBudget = true;
    }

    void Leave(CSocket& s) {
        std::lock_guard lock(mutex);
        sockets.erase(&s);
    }

    // Chooses the largest queues until the rest fits; each chosen connection fails on its
    // own thread, and its bytes count as leaving from now on.
    void Enforce() {
        std::lock_guard lock(mutex);
        while (Over()) {
            const CEntry* worst = nullptr;
            CSocket* worstSocket = nullptr;
            size_t most = 0;
            for (const auto& [s, entry] : sockets) {
                if (s->m_bEvicted.load()) continue;
                const size_t n = s->m_nPendingBytes.load(std::memory_order_relaxed);
                if (n > most) {
                    most = n;
                    worst = &entry;
                    worstSocket = s;
                }
            }
            if (!worst) return;
            // Counted before the credit is stored: whichever of this and the owner's
            // DropQueue() comes first, the credit is given back exactly once.
            evicting += most;
            worstSocket->m_bEvicted.store(true);
            worstSocket->m_nEvictCredit.store(most);
            asio::post(worst->executor, [weak = worst->socket] {
                if (auto self = weak.lock()) {
                    self->Fail(ErrorGlobalSendLimit());
                    self->DropQueue();  // also when it had failed already for another reason
                }
            });
        }
    }

    std::atomic<size_t> queued{0};
    std::atomic<size_t> evicting{0};
    std::atomic<size_t> limit{kDefaultGlobalSendLimit};
    std::mutex mutex;
    std::unordered_map<CSocket*, CEntry> sockets;
};

void SetGlobalSendLimit(size_t bytes) {
    // Kept far from the top of size_t so that "evicting + limit" cannot wrap.
    CSendBudget::Get().limit = std::min(bytes, std::numeric_limits<size_t>::max() / 2);
}

size_t GlobalSendLimit() { return CSendBudget::Get().limit.load(); }

size_t GlobalQueuedBytes() { return CSendBudget::Get().queued.load(); }

// ---- descriptors ----

namespace {

uint64_t LimitValue(rlim_t v) {
    return v == RLIM_INFINITY ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(v);
}

}  // namespace

COpenFileLimit OpenFileLimit() {
    COpenFileLimit out;
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) {
        out.nError = errno;
        return out;
    }
    out.nSoft = LimitValue(r.rlim_cur);
    out.nHard = LimitValue(r.rlim_max);
    return out;
}

COpenFileLimit RaiseOpenFileLimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return OpenFileLimit();
    int error = 0;
    if (r.rlim_cur != r.rlim_max) {
        rlimit raised = r;
        raised.rlim_cur = r.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) error = errno;  // e.g. an infinite hard limit
    }
    COpenFileLimit out = OpenFileLimit();
    if (!out.nError) out.nError = error;
    return out;
}

CBackoff::CDelay CBackoff::Next() {
    m_next = m_next == CDelay::zero() ? m_first : std::min(m_most, m_next * 2);
    return m_next;
}

// ---- connection ----

CHandle::~CHandle() {
    if (m_fd >= 0) ::close(m_fd);
}

CSocket::CSocket(asio::io_context& io) : m_socket(io) {}

CSocket::~CSocket() {
    auto& budget = CSendBudget::Get();
    if (m_bInBudget) budget.Leave(*this);
    budget.queued -= m_nPendingBytes.load();
    budget.evicting -= m_nEvictCredit.exchange(0);
    boost::system::error_code ec;
    m_socket.close(ec);
}

void CSocket::AddPending(size_t bytes) {
    m_nPendingBytes += bytes;
    CSendBudget::Get().queued += bytes;
}

void CSocket::ReleasePending(size_t bytes) {
    m_nPendingBytes -= bytes;
    CSendBudget::Get().queued -= bytes;
}

void CSocket::DropQueue() {
    m_sendQueue.clear();
    ReleasePending(m_nPendingBytes.load());
    CSendBudget::Get().evicting -= m_nEvictCredit.exchange(0);
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
    // A write still in flight ends on m_bFailed and leaves the queue alone.
    DropQueue();
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
    if (!frame || frame->size() <= 4 || m_bOverflow || m_bFailed || m_bEvicted.load()) return;
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
    if (!m_bInBudget) CSendBudget::Get().Enter(*this);
    AddPending(frame->size());
    m_sendQueue.push_back(std::move(frame));
    if (m_sendQueue.size() == 1) WriteFront();
    auto& budget = CSendBudget::Get();
    if (budget.Over()) budget.Enforce();
}

void CSocket::WriteFront() {
    std::weak_ptr<CSocket> weak = weak_from_this();
    auto front = m_sendQueue.front();
    asio::async_write(m_socket, asio::buffer(*front),
                      [weak, front](const boost::system::error_code& ec, size_t) {
                          auto self = weak.lock();
                          if (!self || self->m_bFailed) return;  // the queue is gone
                          if (ec) return self->Fail(ec);
                          self->ReleasePending(front->size());
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
