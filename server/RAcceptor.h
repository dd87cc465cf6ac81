// The listening side of the TCP transport: an IPv4 listening socket on the event loop of
// the thread that created it, handing each accepted connection over as a CSocket. A failed
// accept is retried after a growing back-off; an optional gate holds accepting back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/RSocket.h"

namespace DUve::CRSocket {

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
