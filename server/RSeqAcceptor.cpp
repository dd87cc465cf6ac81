#include "server/RSeqAcceptor.h"

#include <map>

#include <boost/asio/steady_timer.hpp>

#include "runtime/RMsBase.h"
#include "runtime/RThreadBridge.h"
#include "server/Protocol.h"

namespace DUve {

using namespace Sequencer;

class CRSeqAcceptor::CMain {
public:
    CMain(boost::asio::io_context& io, const CRThreadMessage::CListSender& senders,
          std::shared_ptr<CState> state, std::chrono::milliseconds timeout)
        : m_receiver(CRThreadBridge::InitializeIoService(io)),
          m_io(io),
          m_acceptor(io),
          m_senders(senders),
          m_state(std::move(state)),
          m_timeout(timeout) {
        m_acceptor.SetErrorCallback([this](const boost::system::error_code& ec) { OnError(ec); });
        m_acceptor.SetListenCallback([this] { OnListen(); });
        m_acceptor.SetAcceptedCallback(
            [this](const std::shared_ptr<CRSocket::CSocket>& s) { OnAccepted(s); });
    }

    ~CMain() {
        m_state->bListening = false;
        m_state->nPending = 0;
    }

    static const CRThreadMessage::CRRequestTableT<CMain>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CMain> table;
        return table;
    }

    void Listen(uint16_t port) { m_acceptor.Listen(port); }

    void Stop() {
        m_acceptor.Close();
        UpdateState();
    }

private:
    void UpdateState() {
        m_state->bListening = m_acceptor.IsOpen();
        m_state->nPort = m_acceptor.IsOpen() ? m_acceptor.LocalPort() : 0;
        m_state->nPending = m_pending.size();
    }

    void OnListen() {
        UpdateState();
        m_senders.Send(std::make_shared<CMessageAcceptorListen>());
        CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Listen : port=%d",
                                static_cast<int>(m_acceptor.LocalPort()));
    }

    void OnError(const boost::system::error_code& ec) {
        UpdateState();
        const std::string text = ec.message();
        m_senders.Send(std::make_shared<CMessageAcceptorError>(Utf8ToUtf16(text)));
        CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Error : %s", text);
    }

    void OnAccepted(const std::shared_ptr<CRSocket::CSocket>& socket) {
        auto timer = std::make_unique<boost::asio::steady_timer>(m_io, m_timeout);
        std::weak_ptr<CRSocket::CSocket> weak = socket;
        timer->async_wait([this, weak](const boost::system::error_code& ec) {
            if (ec) return;  // cancelled: the registration was handled
            if (auto s = weak.lock()) {
                CRMsBase::OutputMessage(m_senders,
                                        "\r\nAcceptor Registration timeout : %s",
                                        s->GetRemoteAddressText());
                Drop(s);
            }
        });
        m_pending.emplace(socket, std::move(timer));
        socket->SetDataCallback([this, weak](const CRSocket::CPayload& payload) {
            if (auto s = weak.lock()) OnRegistration(s, *payload);
        });
        // A connection that fails or closes before registering leaves at once.
        socket->SetErrorCallback([this, weak](const boost::system::error_code&) {
            if (auto s = weak.lock()) Drop(s);
        });
        socket->SetMaxPayload(kMaxRegistrationPayload);
        UpdateState();
        // Logged once the connection counts as pending, so whoever reads the log
        // line also sees the pending count that includes it.
        CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Accepted : %s",
                                socket->GetRemoteAddressText());
        socket->StartReceive();
    }

    void OnRegistration(const std::shared_ptr<CRSocket::CSocket>& socket,
                        const CRSocket::CBytes& payload) {
        const auto objects = CProtocol::CSerialize::LoadObjects(payload);
        const auto regist = objects.size() == 1
                                ? std::dynamic_pointer_cast<const CProtocol::CRegistClient>(objects[0])
                                : nullptr;
        CRMsBase::OutputMessage(m_senders, "\r\nAcceptor SocketDataReceive %s : %s",
                                regist ? "Accepted" : "Access denied",
                                socket->GetRemoteAddressText());
        if (regist) {
            // Bytes the client sent behind its registration stay unread in the connection.
            auto handle = std::make_shared<CRSocket::CHandle>(socket->DuplicateHandle());
            const std::string address = socket->GetRemoteAddressText();
            socket->SetDataCallback(nullptr);
            socket->SetErrorCallback(nullptr);
            socket->Close();
            if (handle->Get() >= 0)
                m_senders.Send(std::make_shared<CMessageAcceptorAccepted>(
                    static_cast<int32_t>(regist->nVisiterId), regist->sToken,
                    regist->nSolutionId, std::move(handle), address));
        }
        Drop(socket);
    }

    void Drop(const std::shared_ptr<CRSocket::CSocket>& socket) {
        m_pending.erase(socket);  // destroys the timer (cancelling it)
        UpdateState();
    }

    CRThreadBridge::CReceiverPtr m_receiver;
    boost::asio::io_context& m_io;
    CRSocket::CAcceptor m_acceptor;
    CRThreadMessage::CListSender m_senders;
    std::shared_ptr<CState> m_state;
    std::chrono::milliseconds m_timeout;
    std::map<std::shared_ptr<CRSocket::CSocket>, std::unique_ptr<boost::asio::steady_timer>> m_pending;
};

CRSeqAcceptor::CRSeqAcceptor(const CRThreadMessage::CListSender& senders,
                             std::chrono::milliseconds registrationTimeout) {
    auto state = m_state;
    m_worker = std::make_unique<CRWorkerThreadT<CMain>>(
        [senders, state, registrationTimeout](boost::asio::io_context& io) {
            return std::make_unique<CMain>(io, senders, state, registrationTimeout);
        });
}

CRSeqAcceptor::~CRSeqAcceptor() { m_worker.reset(); }

void CRSeqAcceptor::Listen(uint16_t port) {
    m_worker->Post([port](CMain& m) { m.Listen(port); });
}

void CRSeqAcceptor::Stop() {
    m_worker->Post([](CMain& m) { m.Stop(); });
}

}  // namespace DUve
