// A framed TCP connection (4-byte little-endian length, then the payload) with an ordered
// send queue. It lives on the event loop of the thread that created it; its callbacks run
// there, one at a time. Frames may be shared by many connections (a broadcast is encoded
// once); queued frames leave from the event loop after the handler that queued them, all
// that waits in one gathered write, header and payload from where they lie. The queued
// bytes are bounded per connection and, process-wide, by the send budget.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "server/Frame.h"
#include "server/RSendBudget.h"

namespace DUve::CRSocket {

using CBytes = std::vector<uint8_t>;
using CPayload = std::shared_ptr<const CBytes>;

// Largest payload a frame may announce; a larger header is a read error of the connection.
constexpr uint32_t kMaxPayload = 64u * 1024u * 1024u;
// Default bound of the bytes queued for a peer that does not read; beyond it the
// connection fails (no_buffer_space) instead of growing without limit.
constexpr size_t kDefaultSendLimit = 256u * 1024u * 1024u;

// Written frames of at least this many bytes in one write make the socket hand the
// memory freed with them (and with whatever built them) back to the system.
constexpr size_t kTrimAfterBytes = 1024u * 1024u;
// Returns the heap's free memory to the system when `bytesJustFreed` reaches
// kTrimAfterBytes: a large answer or broadcast otherwise leaves the process's resident
// memory at its peak. True when it trimmed.
bool ReturnFreedMemory(size_t bytesJustFreed);

// One frame ready to send: its encoded header and its payload, immutable, shareable by
// any number of connections on any threads. Its bytes count once in the process-wide
// budget however many connections queue it.
class CFrame {
public:
    explicit CFrame(CPayload payload);
    // Takes the payload over without copying it; null for an empty payload.
    static std::shared_ptr<const CFrame> Make(CBytes payload);

    size_t Size() const { return m_charge.Bytes(); }
    const CBytes& Payload() const { return *m_payload; }
    boost::asio::const_buffer Header() const { return boost::asio::buffer(m_header); }
    const CSharedCharge& Charge() const { return m_charge; }

private:
    std::array<uint8_t, Sequencer::kFrameHeaderSize> m_header;
    CPayload m_payload;
    CSharedCharge m_charge;
};
using CFramePtr = std::shared_ptr<const CFrame>;

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
    // Reads ahead: what arrives is taken into a buffer and the frames in it are handed out
    // one per StartReceive, without a read each. Only for a connection that stays with
    // this socket: bytes read ahead would be lost to a duplicate of the native handle.
    void SetReadAhead(bool on) { m_bReadAhead = on; }
    // Frames the payload and queues it; an empty payload is ignored.
    void Send(const CBytes& payload);
    // Queues a frame, which other connections may share. Frames leave from the event loop,
    // so only a socket owned by a shared pointer sends.
    void SendFrame(CFramePtr frame);
    // Bytes queued and not yet written (including the frames being written); a shared
    // frame counts in full on every connection that queued it.
    size_t PendingSendBytes() const { return m_account.Pending(); }
    void SetSendLimit(size_t bytes) { m_nSendLimit = bytes; }
    // Largest payload this connection accepts (at most kMaxPayload); a larger header is a
    // read error (message_size).
    void SetMaxPayload(uint32_t bytes) { m_nMaxPayload = std::min(bytes, kMaxPayload); }

    // "a.b.c.d:port", or "nothing" when the peer cannot be read. Read from the system once
    // per connection and kept, so it costs nothing per message and still names the peer
    // after the connection has failed or closed.
    const std::string& GetRemoteAddressText() const;
    // Reads and keeps the peer's address now (done by Assign; for a socket connected
    // otherwise, e.g. accepted into Socket(), before the peer can be gone).
    void NoteRemoteAddress() const;

    void SetErrorCallback(CErrorCallback cb) { m_onError = std::move(cb); }
    void SetDataCallback(CDataCallback cb) { m_onData = std::move(cb); }

    void Close();
    // A duplicate of the native handle owned by the caller (-1 on failure); the socket
    // itself stays as it is.
    int DuplicateHandle() const;

    boost::asio::ip::tcp::socket& Socket() { return m_socket; }

private:
    // Frames gathered into one write: a header and a payload buffer each.
    static constexpr size_t kMaxGather = 32;
    struct CGather {
        std::array<boost::asio::const_buffer, 2 * kMaxGather> buffers;
        size_t n = 0;
        const boost::asio::const_buffer* begin() const { return buffers.data(); }
        const boost::asio::const_buffer* end() const { return buffers.data() + n; }
    };

    // Read-ahead buffer size, and the most frames handed out from it before other work of
    // the event loop gets its turn.
    static constexpr size_t kReadAhead = 16 * 1024;
    static constexpr int kMaxDeliveries = 64;

    void Fail(const boost::system::error_code& ec);
    // Starts writing the waiting frames (as many as one write gathers).
    void WriteQueued();
    // Exact reads: the header, then the payload.
    void ReadHeader();
    // Read-ahead: fills the buffer, and hands out the frames it holds.
    void ReadMore();
    void DeliverBuffered();
    // Reads the rest of a payload of `total` bytes of which `payload` holds what arrived.
    void ReadPayload(std::shared_ptr<CBytes> payload, size_t total);
    // Drops what waits and what is being written (after a failure) and gives its bytes back.
    void DropQueue();

    boost::asio::ip::tcp::socket m_socket;
    std::deque<CFramePtr> m_sendQueue;  // waiting, in sending order
    std::vector<CFramePtr> m_writing;   // being written, in sending order
    CSendAccount m_account;
    size_t m_nSendLimit = kDefaultSendLimit;
    uint32_t m_nMaxPayload = kMaxPayload;
    bool m_bOverflow = false;
    bool m_bFailed = false;
    bool m_bWritePosted = false;  // a write starts from the event loop
    bool m_bReadAhead = false;
    bool m_bDelivering = false;  // inside the data callback of a buffered frame
    bool m_bWantNext = false;    // StartReceive was called from there
    mutable std::string m_sRemote;  // the peer's address text, empty until known
    std::vector<uint8_t> m_in;   // read ahead: [m_nInPos, m_nInEnd) not handed out yet
    size_t m_nInPos = 0, m_nInEnd = 0;
    uint8_t m_header[Sequencer::kFrameHeaderSize] = {};
    CErrorCallback m_onError;
    CDataCallback m_onData;
};

}  // namespace DUve::CRSocket
