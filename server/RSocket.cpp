#include "server/RSocket.h"

#include <malloc.h>
#include <unistd.h>

#include <cstring>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

namespace DUve::CRSocket {

namespace asio = boost::asio;
using asio::ip::tcp;

// ---- frame ----

CFrame::CFrame(CPayload payload)
    : m_header(Sequencer::EncodeFrameHeader(static_cast<uint32_t>(payload ? payload->size() : 0))),
      m_payload(payload ? std::move(payload) : std::make_shared<const CBytes>()),
      m_charge(Sequencer::kFrameHeaderSize + m_payload->size()) {}

std::shared_ptr<const CFrame> CFrame::Make(CBytes payload) {
    if (payload.empty()) return nullptr;
    return std::make_shared<const CFrame>(std::make_shared<const CBytes>(std::move(payload)));
}

bool ReturnFreedMemory(size_t bytesJustFreed) {
    if (bytesJustFreed < kTrimAfterBytes) return false;
    malloc_trim(0);
    return true;
}

// ---- connection ----

CHandle::~CHandle() {
    if (m_fd >= 0) ::close(m_fd);
}

CSocket::CSocket(asio::io_context& io) : m_socket(io) {}

CSocket::~CSocket() {
    // Out of the registry first, so that the budget no longer chooses this connection.
    m_account.Leave();
    DropQueue();
    boost::system::error_code ec;
    m_socket.close(ec);
}

void CSocket::DropQueue() {
    for (const auto& frame : m_writing) m_account.Unqueue(frame->Charge());
    for (const auto& frame : m_sendQueue) m_account.Unqueue(frame->Charge());
    m_writing.clear();  // the socket is closed: no write in flight still reads them
    m_sendQueue.clear();
    m_account.Settle();
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
    m_sRemote.clear();
    NoteRemoteAddress();
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
    if (!m_bReadAhead) return ReadHeader();
    if (m_bDelivering) {  // the delivery loop goes on with the next frame
        m_bWantNext = true;
        return;
    }
    std::weak_ptr<CSocket> weak = weak_from_this();
    if (m_nInEnd - m_nInPos >= Sequencer::kFrameHeaderSize) {
        // Not from inside the caller: the frame comes from the event loop.
        asio::post(m_socket.get_executor(), [weak] {
            if (auto self = weak.lock()) self->DeliverBuffered();
        });
        return;
    }
    ReadMore();
}

void CSocket::ReadMore() {
    if (m_in.size() != kReadAhead) m_in.resize(kReadAhead);
    if (m_nInPos > 0) {  // what is left of a frame goes to the front
        std::memmove(m_in.data(), m_in.data() + m_nInPos, m_nInEnd - m_nInPos);
        m_nInEnd -= m_nInPos;
        m_nInPos = 0;
    }
    std::weak_ptr<CSocket> weak = weak_from_this();
    m_socket.async_read_some(asio::buffer(m_in.data() + m_nInEnd, m_in.size() - m_nInEnd),
                             [weak](const boost::system::error_code& ec, size_t n) {
                                 auto self = weak.lock();
                                 if (!self) return;
                                 if (ec) return self->Fail(ec);
                                 self->m_nInEnd += n;
                                 self->DeliverBuffered();
                             });
}

void CSocket::DeliverBuffered() {
    const auto self = shared_from_this();  // the callback may release the last owner
    for (int delivered = 0;; ++delivered) {
        if (m_bFailed || !m_socket.is_open()) return;
        const size_t buffered = m_nInEnd - m_nInPos;
        if (buffered < Sequencer::kFrameHeaderSize) {
            // All that arrived is handled: the answers leave before the next read waits.
            if (m_writing.empty() && !m_sendQueue.empty()) WriteQueued();
            return ReadMore();
        }
        uint8_t header[Sequencer::kFrameHeaderSize];
        std::memcpy(header, m_in.data() + m_nInPos, sizeof header);
        const uint32_t n = Sequencer::DecodeFrameHeader(header);
        if (n > m_nMaxPayload) return Fail(asio::error::message_size);
        const uint8_t* body = m_in.data() + m_nInPos + sizeof header;
        if (buffered - sizeof header < n) {
            if (sizeof header + n <= m_in.size()) return ReadMore();
            // Larger than the buffer: the rest is read straight into the payload.
            auto payload = std::make_shared<CBytes>(body, static_cast<const uint8_t*>(m_in.data() + m_nInEnd));
            m_nInPos = m_nInEnd = 0;
            return ReadPayload(std::move(payload), n);
        }
        if (delivered == kMaxDeliveries) {  // the other connections get their turn
            std::weak_ptr<CSocket> weak = self;
            asio::post(m_socket.get_executor(), [weak] {
                if (auto again = weak.lock()) again->DeliverBuffered();
            });
            return;
        }
        auto payload = std::make_shared<const CBytes>(body, body + n);
        m_nInPos += sizeof header + n;
        m_bWantNext = false;
        m_bDelivering = true;
        if (m_onData) m_onData(payload);
        m_bDelivering = false;
        if (!m_bWantNext) return;
    }
}

void CSocket::ReadHeader() {
    std::weak_ptr<CSocket> weak = weak_from_this();
    asio::async_read(m_socket, asio::buffer(m_header), [weak](const boost::system::error_code& ec, size_t) {
        auto self = weak.lock();
        if (!self) return;
        if (ec) return self->Fail(ec);
        const uint32_t n = Sequencer::DecodeFrameHeader(self->m_header);
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
    if (!payload.empty()) SendFrame(std::make_shared<const CFrame>(std::make_shared<const CBytes>(payload)));
}

void CSocket::SendFrame(CFramePtr frame) {
    if (!frame || frame->Payload().empty() || m_bOverflow || m_bFailed || m_account.Evicted()) return;
    if (m_account.Pending() + frame->Size() > m_nSendLimit) {
        // The peer does not read: fail the connection (reported from the event loop, not
        // from inside the caller's send).
        m_bOverflow = true;
        std::weak_ptr<CSocket> weak = weak_from_this();
        asio::post(m_socket.get_executor(), [weak] {
            if (auto self = weak.lock()) self->Fail(asio::error::no_buffer_space);
        });
        return;
    }
    if (!m_account.Joined()) {
        std::weak_ptr<CSocket> weak = weak_from_this();
        // Not shared: it cannot be chosen, only counted.
        if (!weak.expired())
            m_account.Join([weak, executor = m_socket.get_executor()] {
                asio::post(executor, [weak] {
                    if (auto self = weak.lock()) {
                        self->Fail(ErrorGlobalSendLimit());
                        self->DropQueue();  // also when it had failed already for another reason
                    }
                });
            });
    }
    m_sendQueue.push_back(frame);
    m_account.Queue(frame->Charge());
    if (!m_writing.empty() || m_bWritePosted) return;
    // Written once the caller's handler is over, together with whatever it queues after.
    m_bWritePosted = true;
    std::weak_ptr<CSocket> weak = weak_from_this();
    asio::post(m_socket.get_executor(), [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->m_bWritePosted = false;
        if (!self->m_bFailed && self->m_writing.empty() && !self->m_sendQueue.empty()) self->WriteQueued();
    });
}

void CSocket::WriteQueued() {
    CGather gather;
    while (!m_sendQueue.empty() && m_writing.size() < kMaxGather) {
        m_writing.push_back(std::move(m_sendQueue.front()));
        m_sendQueue.pop_front();
        gather.buffers[gather.n++] = m_writing.back()->Header();
        gather.buffers[gather.n++] = asio::buffer(m_writing.back()->Payload());
    }
    std::weak_ptr<CSocket> weak = weak_from_this();
    asio::async_write(m_socket, gather, [weak](const boost::system::error_code& ec, size_t) {
        auto self = weak.lock();
        if (!self || self->m_bFailed) return;  // the frames are gone with the queue
        if (ec) return self->Fail(ec);
        size_t written = 0;
        for (const auto& frame : self->m_writing) {
            self->m_account.Unqueue(frame->Charge());
            written += frame->Size();
        }
        self->m_writing.clear();
        ReturnFreedMemory(written);
        if (!self->m_sendQueue.empty()) self->WriteQueued();
    });
}

void CSocket::NoteRemoteAddress() const {
    boost::system::error_code ec;
    const auto ep = m_socket.remote_endpoint(ec);
    if (!ec) m_sRemote = ep.address().to_string() + ":" + std::to_string(ep.port());
}

const std::string& CSocket::GetRemoteAddressText() const {
    static const std::string kNothing = "nothing";
    if (m_sRemote.empty() && m_socket.is_open()) NoteRemoteAddress();
    return m_sRemote.empty() ? kNothing : m_sRemote;
}

void CSocket::Close() {
    boost::system::error_code ec;
    m_socket.close(ec);
}

int CSocket::DuplicateHandle() const {
    if (!m_socket.is_open()) return -1;
    return ::dup(const_cast<tcp::socket&>(m_socket).native_handle());
}

}  // namespace DUve::CRSocket
