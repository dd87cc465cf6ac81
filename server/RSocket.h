// TCP transport: a framed connection (4-byte little-endian length, then the payload) with
// an ordered send queue, and a listening wrapper. Both live on the event loop of the
// thread that created them; callbacks run there, one at a time.
#pragma once

#include <cstdint>
#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace DUve::CRSocket {

using CBytes = std::vector<uint8_t>;
using CPayload = std::shared_ptr<const CBytes>;

// Largest payload a frame may announce; a larger header is a read error of the connection.
constexpr uint32_t kMaxPayload = 64u * 1024u * 1024u;
// Default bound of the bytes queued for a peer that does not read; beyond it the
// connection fails (no_buffer_space) instead of growing without limit.
constexpr size_t kDefaultSendLimit = 256u * 1024u * 1024u;

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
    size_t PendingSendBytes() const { return m_nPendingBytes; }
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
    void Fail(const boost::system::error_code& ec);
    void WriteFront();
    // Reads the rest of a payload of `total` bytes of which `payload` holds what arrived.
    void ReadPayload(std::shared_ptr<CBytes> payload, size_t total);

    boost::asio::ip::tcp::socket m_socket;
    std::deque<std::shared_ptr<const CBytes>> m_sendQueue;
    size_t m_nPendingBytes = 0;
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

    // Opens an IPv4 listening socket on all interfaces and starts accepting. Port 0, an
    // open listening socket, or a bind/listen failure is reported to the error callback.
    void Listen(uint16_t port);
    void Close();
    bool IsOpen() const { return m_acceptor.is_open(); }
    uint16_t LocalPort() const;

    void SetErrorCallback(CErrorCallback cb) { m_onError = std::move(cb); }
    void SetListenCallback(CListenCallback cb) { m_onListen = std::move(cb); }
    void SetAcceptedCallback(CAcceptedCallback cb) { m_onAccepted = std::move(cb); }

private:
    void Accept();

    boost::asio::io_context& m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    CErrorCallback m_onError;
    CListenCallback m_onListen;
    CAcceptedCallback m_onAccepted;
};

}  // namespace DUve::CRSocket
