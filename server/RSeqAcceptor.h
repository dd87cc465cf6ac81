// The acceptor service: listens on a port on its own worker thread, reads each new
// connection's registration frame, and reports listen, stop, error and accepted
// registrations (with the connection) to its sender list. Connections that have not been
// admitted yet, whether their registration is still to come or is with the controller
// waiting for the site's verdict, are capped in total and per remote address, so that
// they cannot take the descriptors admitted clients need.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/RThreadMessage.h"
#include "runtime/RWorkerThread.h"
#include "server/RAcceptor.h"
#include "server/RSocket.h"

namespace DUve {

class CRSeqAcceptor {
public:
    struct CMessageAcceptorListen : CRThreadMessage::CMessage {};
    // The listening socket was closed by Stop().
    struct CMessageAcceptorStopped : CRThreadMessage::CMessage {};
    // Listening could not start (a bind or listen failure, port 0, already listening).
    // Failed accepts while listening are no error: they are logged and retried.
    struct CMessageAcceptorError : CRThreadMessage::CMessage {
        explicit CMessageAcceptorError(std::u16string text) : sError(std::move(text)) {}
        std::u16string sError;
    };
    // The connection travels as its own native handle, already detached from the
    // acceptor's event loop, so whoever takes it can attach it to another loop and a
    // refused one closes wherever the message is dropped. Until the message goes, the
    // connection keeps its place among those not admitted yet (`slot`): it counts against
    // the caps of its address and of all.
    struct CMessageAcceptorAccepted : CRThreadMessage::CMessage {
        CMessageAcceptorAccepted(int32_t visiter, std::u16string token, uint32_t solution,
                                 std::shared_ptr<CRSocket::CHandle> s, std::string address,
                                 std::string ip = {}, std::shared_ptr<void> place = {})
            : nVisiterId(visiter),
              sToken(std::move(token)),
              nSolutionId(solution),
              socket(std::move(s)),
              sRemoteAddress(std::move(address)),
              sRemoteIp(std::move(ip)),
              slot(std::move(place)) {}
        int32_t nVisiterId;
        std::u16string sToken;
        uint32_t nSolutionId;
        std::shared_ptr<CRSocket::CHandle> socket;
        std::string sRemoteAddress;  // "a.b.c.d:port"
        std::string sRemoteIp;       // "a.b.c.d"
        std::shared_ptr<void> slot;
    };

    // Time a new connection has to deliver its registration.
    static constexpr std::chrono::seconds kRegistrationTimeout{30};
    // Largest registration frame a pending connection may announce; a registration is a
    // few dozen bytes, and nobody admitted yet may make the server hold megabytes.
    static constexpr uint32_t kMaxRegistrationPayload = 64 * 1024;
    // Connections not admitted yet (registration still to come, or registered and waiting
    // for the verdict): at most this many in all (or a quarter of the open-file limit when
    // that is smaller) and this many from one address.
    // - A new connection from an address at its cap closes the oldest unregistered one of
    //   that address; when all of them wait for a verdict, the new one is refused.
    // - With the total cap reached, a new connection takes the place of the oldest
    //   unregistered one that has had kQuietGrace with nothing sent, or kRegistrationGrace
    //   in all. While there is none, as when all of them wait for a verdict, accepting
    //   waits and new connections wait in the system's backlog.
    static constexpr size_t kMaxPending = 256;
    static constexpr size_t kMaxPendingPerAddress = 32;
    static constexpr std::chrono::milliseconds kQuietGrace{100};
    static constexpr std::chrono::milliseconds kRegistrationGrace{1000};
    // The cap in all for the process's current open-file limit.
    static size_t DefaultMaxPending();

    explicit CRSeqAcceptor(const CRThreadMessage::CListSender& senders,
                           std::chrono::milliseconds registrationTimeout = kRegistrationTimeout);
    ~CRSeqAcceptor();

    void Listen(uint16_t port);
    void Stop();
    // Changes the caps of connections not registered yet (each at least 1); applies to
    // connections accepted from then on.
    void SetPendingLimits(size_t total, size_t perAddress);
    // Whether the listening socket is open and bound (kept up to date by the acceptor thread).
    bool IsListening() const { return m_state->bListening.load(); }
    uint16_t ListeningPort() const { return m_state->nPort.load(); }
    // Connections accepted and not yet registered or dropped.
    size_t PendingCount() const { return m_state->nPending.load(); }
    // Registered connections whose accepted message has not gone yet (waiting for the
    // controller's decision).
    size_t WaitingCount() const { return m_state->nWaiting.load(); }
    // Whether accepting waits for room under the total cap.
    bool IsHeld() const { return m_state->bHeld.load(); }

    class CMain;

private:
    struct CState {
        std::atomic<bool> bListening{false};
        std::atomic<uint16_t> nPort{0};
        std::atomic<size_t> nPending{0};
        std::atomic<size_t> nWaiting{0};
        std::atomic<bool> bHeld{false};
        // Tells the acceptor thread that a waiting connection left (any thread); emptied
        // before the worker goes.
        std::mutex wakeMutex;
        std::function<void()> wake;
        void Wake() {
            std::lock_guard lock(wakeMutex);
            if (wake) wake();
        }
    };
    std::shared_ptr<CState> m_state = std::make_shared<CState>();
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

}  // namespace DUve
