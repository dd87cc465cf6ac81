// The acceptor service: listens on a port on its own worker thread, reads each new
// connection's registration frame, and reports listen, error and accepted registrations
// (with the connection) to its sender list.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/RThreadMessage.h"
#include "runtime/RWorkerThread.h"
#include "server/RSocket.h"

namespace DUve {

class CRSeqAcceptor {
public:
    struct CMessageAcceptorListen : CRThreadMessage::CMessage {};
    struct CMessageAcceptorError : CRThreadMessage::CMessage {
        explicit CMessageAcceptorError(std::u16string text) : sError(std::move(text)) {}
        std::u16string sError;
    };
    // The connection travels as its own native handle, already detached from the
    // acceptor's event loop, so whoever takes it can attach it to another loop and a
    // refused one closes wherever the message is dropped.
    struct CMessageAcceptorAccepted : CRThreadMessage::CMessage {
        CMessageAcceptorAccepted(int32_t visiter, std::u16string token, uint32_t solution,
                                 std::shared_ptr<CRSocket::CHandle> s, std::string address)
            : nVisiterId(visiter),
              sToken(std::move(token)),
              nSolutionId(solution),
              socket(std::move(s)),
              sRemoteAddress(std::move(address)) {}
        int32_t nVisiterId;
        std::u16string sToken;
        uint32_t nSolutionId;
        std::shared_ptr<CRSocket::CHandle> socket;
        std::string sRemoteAddress;
    };

    // Time a new connection has to deliver its registration.
    static constexpr std::chrono::seconds kRegistrationTimeout{30};
    // Largest registration frame a pending connection may announce; a registration is a
    // few dozen bytes, and nobody admitted yet may make the server hold megabytes.
    static constexpr uint32_t kMaxRegistrationPayload = 64 * 1024;

    explicit CRSeqAcceptor(const CRThreadMessage::CListSender& senders,
                           std::chrono::milliseconds registrationTimeout = kRegistrationTimeout);
    ~CRSeqAcceptor();

    void Listen(uint16_t port);
    void Stop();
    // Whether the listening socket is open and bound (kept up to date by the acceptor thread).
    bool IsListening() const { return m_state->bListening.load(); }
    uint16_t ListeningPort() const { return m_state->nPort.load(); }
    // Connections accepted and not yet registered or dropped.
    size_t PendingCount() const { return m_state->nPending.load(); }

    class CMain;

private:
    struct CState {
        std::atomic<bool> bListening{false};
        std::atomic<uint16_t> nPort{0};
        std::atomic<size_t> nPending{0};
    };
    std::shared_ptr<CState> m_state = std::make_shared<CState>();
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

}  // namespace DUve
