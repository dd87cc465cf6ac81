// Test helper: a small HTTP server on loopback, on its own thread, with scripted replies.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

namespace PalvorTest {

// A small HTTP server on 127.0.0.1 running on its own thread. It records the head of every
// request and answers the n-th request with replies[n] (the last one repeats), or with what
// a chooser makes of the request's head. A reply that keeps the connection alive reads the
// next request on it. It stops itself after `lifetime`, and at destruction.
class CLoopbackHttp {
    using tcp = boost::asio::ip::tcp;

public:
    struct CReply {
        int nStatus = 200;
        std::string sBody;
        std::string sHeaders;  // extra header lines, each ending "\r\n"
        std::string sRaw;      // when set, sent as is instead of a formed response
        std::chrono::milliseconds delay{0};
        bool bNeverAnswer = false;
        bool bKeepAlive = false;
    };
    using CChooser = std::function<CReply(const std::string& head)>;

    explicit CLoopbackHttp(std::vector<CReply> replies, std::chrono::milliseconds lifetime = std::chrono::seconds(15))
        : CLoopbackHttp(std::move(replies), nullptr, lifetime) {}
    explicit CLoopbackHttp(CReply reply) : CLoopbackHttp(std::vector<CReply>{std::move(reply)}) {}
    CLoopbackHttp(CChooser choose, std::chrono::milliseconds lifetime)
        : CLoopbackHttp(std::vector<CReply>{CReply{}}, std::move(choose), lifetime) {}

    ~CLoopbackHttp() {
        m_io.stop();
        m_thread.join();
        m_vHeld.clear();
    }

    std::string Root() const { return "http://127.0.0.1:" + std::to_string(m_nPort) + "/palvor"; }

private:
    CLoopbackHttp(std::vector<CReply> replies, CChooser choose, std::chrono::milliseconds lifetime)
        : m_replies(std::move(replies)),
          m_choose(std::move(choose)),
          m_acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
          m_nPort(m_acceptor.local_endpoint().port()) {
        Accept();
        m_thread = std::thread([this, lifetime] {
            m_io.run_for(lifetime);
            // Out of time: drop whatever is still open so no client waits on us any longer.
            boost::system::error_code ignored;
            m_acceptor.close(ignored);
            for (const auto& session : m_vHeld) session->socket.close(ignored);
        });
    }

public:
    std::vector<std::string> Heads() const {
        std::lock_guard lock(m_mutex);
        return m_vHeads;
    }

    size_t Connections() const { return m_nConnections; }
    // The most requests received and not yet answered at one time.
    size_t MostOutstanding() const { return m_nMostOutstanding; }

    std::string RequestLine(size_t index = 0) const {
        const auto heads = Heads();
        if (index >= heads.size()) return {};
        return heads[index].substr(0, heads[index].find("\r\n"));
    }

private:
    struct CSession {
        explicit CSession(tcp::socket s) : socket(std::move(s)), timer(socket.get_executor()) {}
        tcp::socket socket;
        boost::asio::streambuf buffer{64 * 1024};
        boost::asio::steady_timer timer;
        std::string sOut;
    };
    using PSession = std::shared_ptr<CSession>;

    void Accept() {
        m_acceptor.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec) return;
            ++m_nConnections;
            Read(std::make_shared<CSession>(std::move(socket)));
            Accept();
        });
    }

    void Read(const PSession& session) {
        boost::asio::async_read_until(
            session->socket, session->buffer, "\r\n\r\n",
            [this, session](boost::system::error_code ec, size_t n) {
                if (ec) return;
                const auto data = session->buffer.data();
                const std::string head(boost::asio::buffers_begin(data), boost::asio::buffers_begin(data) + n);
                size_t index = 0;
                {
                    std::lock_guard lock(m_mutex);
                    index = m_vHeads.size();
                    m_vHeads.push_back(head);
                }
                session->buffer.consume(n);
                const CReply reply =
                    m_choose ? m_choose(head) : m_replies[std::min(index, m_replies.size() - 1)];
                m_nMostOutstanding = std::max<size_t>(m_nMostOutstanding, ++m_nOutstanding);
                if (reply.bNeverAnswer) {
                    m_vHeld.push_back(session);
                    return;
                }
                session->sOut = reply.sRaw.empty() ? Form(reply) : reply.sRaw;
                session->timer.expires_after(reply.delay);
                const bool keep = reply.bKeepAlive;
                session->timer.async_wait([this, session, keep](boost::system::error_code) {
                    boost::asio::async_write(session->socket, boost::asio::buffer(session->sOut),
                                      [this, session, keep](boost::system::error_code ec, size_t) {
                                          --m_nOutstanding;
                                          if (keep && !ec) return Read(session);
                                          boost::system::error_code ignored;
                                          session->socket.shutdown(tcp::socket::shutdown_both,
                                                                   ignored);
                                          session->socket.close(ignored);
                                      });
                });
            });
    }

    static std::string Form(const CReply& reply) {
        return "HTTP/1.1 " + std::to_string(reply.nStatus) + " Test\r\n" +
               "Content-Type: application/json\r\n" +
               "Content-Length: " + std::to_string(reply.sBody.size()) + "\r\n" + reply.sHeaders +
               (reply.bKeepAlive ? "" : "Connection: close\r\n") + "\r\n" + reply.sBody;
    }

    std::vector<CReply> m_replies;
    CChooser m_choose;
    boost::asio::io_context m_io;
    tcp::acceptor m_acceptor;
    uint16_t m_nPort;
    std::vector<PSession> m_vHeld;  // connections deliberately left unanswered
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vHeads;
    std::atomic<size_t> m_nConnections{0};
    std::atomic<size_t> m_nOutstanding{0};
    std::atomic<size_t> m_nMostOutstanding{0};
    std::thread m_thread;
};


}  // namespace PalvorTest
