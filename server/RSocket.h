// TCP transport: a framed connection (4-byte little-endian length, then the payload) with
// an ordered send queue, and a listening wrapper. Both live on the event loop of the
// thread that created them; callbacks run there, one at a time. The bytes queued by all
// connections of the process together are bounded too (see SetGlobalSendLimit).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace DUve::CRSocket {

using CBytes = std::vector<uint8_t>;
using CPayload = std::shared_ptr<const CBytes>;

// Largest payload a frame may announce; a larger header is a read error of the connection.
constexpr uint32_t kMaxPayload = 64u * 1024u * 1024u;
// Default bound of the bytes queued for a peer that does not read; beyond it the
// connection fails (no_buffer_space) instead of growing without limit.
constexpr size_t kDefaultSendLimit = 256u * 1024u * 1024u;
// Default bound of the bytes queued by all connections of the process together.
constexpr size_t kDefaultGlobalSendLimit = size_t{1} << 30;

// Process-wide bound of the queued bytes of every connection on every thread. A send that
// takes the total over it fails the connection holding the most queued bytes (with
// ErrorGlobalSendLimit(), reported on that connection's own thread).
void SetGlobalSendLimit(size_t bytes);
size_t GlobalSendLimit();
// Bytes queued and not yet written, all connections together.
size_t GlobalQueuedBytes();
// The error a connection fails with when it was dropped to bring the total back under
// the process-wide bound.
boost::system::error_code ErrorGlobalSendLimit();

// The process's limit of open descriptors (RLIMIT_NOFILE); RLIM_INFINITY reads as
// UINT64_MAX. nError is the errno of a failed read or raise (0 when none failed).
struct COpenFileLimit {
    uint64_t nSoft = 0;
    uint64_t nHard = 0;
    int nError = 0;
};
COpenFileLimit OpenFileLimit();
// Raises the soft limit to the hard limit and returns the limits in force afterwards.
COpenFileLimit RaiseOpenFileLimit();

// Delays between retries of a failing operation: `first`, doubling up to `most`; Reset()
// after a success starts again from `first`.
class CBackoff {
public:
    using CDelay = std::chrono::milliseconds;
    explicit CBackoff(CDelay first = CDelay(10), CDelay most = CDelay(1000)) : m_first(first), m_most(most) {}
    CDelay Next();
    void Reset() { m_next = CDelay::zero(); }

private:
    CDelay m_first, m_most, m_next = CDelay::zero();
};

// Owns a native socket handle on its way from one thread's event loop to another's; closes
// it unless Release() took it.
class CHandle {
public:
    explicit CHandle(int fd) : m_fd(fd) {}
    ~CHandle();
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    int Get() const { return m_fd; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

class CSocket : public std::enable_shared_from_this<CSocket> {
public:
    using CErrorCallback = std::function<void(const boost::system::error_code&)>;
    using CDataCallback = std::function<void(const CPayload&)>;

    explicit CSocket(boost::asio::io_context& io);
    ~CSocket();
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // Attaches a connected native TCP socket; false when already open or the attach fails
    // (the handle is closed then).
    bool Assign(int nativeHandle);
    bool IsOpen() const { return m_socket.is_open(); }

    // Reads one frame; after the data callback ran, reading waits for the next call.
    void StartReceive();
    // Frames the payload and queues it; an empty payload is ignored.
    void Send(const CBytes& payload);
    // Queues an already framed buffer (length header included); several sockets may
    // share one buffer.
    void SendFrame(std::shared_ptr<const CBytes> frame);
    // Bytes queued and not yet written (including the frame being written).
    size_t PendingSendBytes() const { return m_nPendingBytes.load(std::memory_order_relaxed); }
    void SetSendLimit(size_t bytes) { m_nSendLimit = bytes; }
    // Largest payload this connection accepts (at most kMaxPayload); a larger header is a
    // read error (message_size).
    void SetMaxPayload(uint32_t bytes) { m_nMaxPayload = std::min(bytes, kMaxPayload); }

    // "a.b.c.d:port", or "nothing" when the peer cannot be read.
    std::string GetRemoteAddressText() const;

    void SetErrorCallback(CErrorCallback cb) { m_onError = std::move(cb); }
    void SetDataCallback(CDataCallback cb) { m_onData = std::move(cb); }

    void Close();
    // A duplicate of the native handle owned by the caller (-1 on failure); the socket
    // itself stays as it is.
    int DuplicateHandle() const;

    boost::asio::ip::tcp::socket& Socket() { return m_socket; }

private:
    friend struct CSendBudget;

    void Fail(const boost::system::error_code& ec);
    void WriteFront();
    // Reads the rest of a payload of `total` bytes of which `payload` holds what arrived.
    void ReadPayload(std::shared_ptr<CBytes> payload, size_t total);
    // Counts bytes into and out of this connection's queue and the process-wide total.
    void AddPending(size_t bytes);
    void ReleasePending(size_t bytes);
    // Drops the queue (after a failure) and gives its bytes back.
    void DropQueue();

    boost::asio::ip::tcp::socket m_socket;
    std::deque<std::shared_ptr<const CBytes>> m_sendQueue;
    // Written on this socket's thread; read by whichever thread enforces the global bound.
    std::atomic<size_t> m_nPendingBytes{0};
    // Set (by any thread) once this connection was chosen to be failed for the global
    // bound; m_nEvictCredit holds the bytes counted as already on their way out.
    std::atomic<bool> m_bEvicted{false};
    std::atomic<size_t> m_nEvictCredit{0};
    bool m_bInBudget = false;  // known to the process-wide registry
    size_t m_nSendLimit = kDefaultSendLimit;
    uint32_t m_nMaxPayload = kMaxPayload;
    bool m_bOverflow = false;
    bool m_bFailed = false;
    uint8_t m_header[4] = {};
    CErrorCallback m_onError;
    CDataCallback m_onData;
};

class CAcceptor {
public:
    using CErrorCallback = std::function<void(const boost::system::error_code&)>;
    using CListenCallback = std::function<void()>;
    using CAcceptedCallback = std::function<void(const std::shared_ptr<CSocket>&)>;

    explicit CAcceptor(boost::asio::io_context& io);
    ~CAcceptor();

    // Failed accept: the error, how many accepts failed in a row (1 for the first of a
    // burst) and the delay before the next attempt.
    using CAcceptErrorCallback =
        std::function<void(const boost::system::error_code&, int failures, CBackoff::CDelay retryIn)>;
    // First accept that succeeded after `failures` failed ones.
    using CAcceptResumedCallback = std::function<void(int failures)>;

    // Opens an IPv4 listening socket on all interfaces and starts accepting. Port 0, an
    // open listening socket, or a bind/listen failure is reported to the error callback.
    // Once listening, a failed accept (out of descriptors or memory, an aborted
    // connection, ...) never ends accepting: it is reported to the accept error callback
    // and retried after a back-off. Close() ends accepting without any report.
    void Listen(uint16_t port);
    void Close();
    bool IsOpen() const { return m_acceptor.is_open(); }
    uint16_t LocalPort() const;

    void SetErrorCallback(CErrorCallback cb) { m_onError = std::move(cb); }
    void SetListenCallback(CListenCallback cb) { m_onListen = std::move(cb); }
    void SetAcceptedCallback(CAcceptedCallback cb) { m_onAccepted = std::move(cb); }
    void SetAcceptErrorCallback(CAcceptErrorCallback cb) { m_onAcceptError = std::move(cb); }
    void SetAcceptResumedCallback(CAcceptResumedCallback cb) { m_onAcceptResumed = std::move(cb); }
    // Asked before every accept, after the accepted callback of the one before: false
    // leaves new connections waiting in the system's backlog until Resume().
    void SetAcceptGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    // Accepts again after the gate said no (nothing when accepting is not held back).
    void Resume();
    bool IsHeld() const { return m_bHeld; }

private:
    void Accept();
    void OnAcceptFailed(const boost::system::error_code& ec);

    boost::asio::io_context& m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_retry;
    CBackoff m_backoff;
    int m_nFailures = 0;         // failed accepts since the last success
    uint64_t m_nGeneration = 0;  // counts Close() calls
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    CErrorCallback m_onError;
    CAcceptErrorCallback m_onAcceptError;
    CAcceptResumedCallback m_onAcceptResumed;
    CListenCallback m_onListen;
    CAcceptedCallback m_onAccepted;
    std::function<bool()> m_gate;
    bool m_bHeld = false;  // the gate said no; no accept is outstanding
};

}  // namespace DUve::CRSocket
