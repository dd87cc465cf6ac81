#include "server/RSeqAcceptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

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
        m_acceptor.SetAcceptErrorCallback(
            [this](const boost::system::error_code& ec, int failures, CRSocket::CBackoff::CDelay) {
                OnAcceptError(ec, failures);
            });
        m_acceptor.SetAcceptResumedCallback([this](int failures) {
            CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Accept resumed after %d failed attempts",
                                    failures);
        });
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

    // Closes the listening socket and the connections that have not registered yet.
    void Stop() {
        const bool wasListening = m_acceptor.IsOpen();
        const int port = m_acceptor.LocalPort();
        m_acceptor.Close();
        while (!m_pending.empty()) Close(m_pending.begin()->second.socket);
        UpdateState();
        if (!wasListening) return;
        m_senders.Send(std::make_shared<CMessageAcceptorStopped>());
        CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Stop : port=%d", port);
    }

    void SetPendingLimits(size_t total, size_t perAddress) {
        m_nMaxPending = std::max<size_t>(1, total);
        m_nMaxPendingPerAddress = std::max<size_t>(1, perAddress);
    }

private:
    // A connection that has not registered yet, in the order of arrival.
    struct CPending {
        std::shared_ptr<CRSocket::CSocket> socket;
        std::string sAddress;  // the remote IP address
        std::unique_ptr<boost::asio::steady_timer> timer;
    };

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

    // One line per burst of failed accepts (and one more when the error changes in it).
    void OnAcceptError(const boost::system::error_code& ec, int failures) {
        if (failures == 1 || ec != m_lastAcceptError)
            CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Accept error : %s (retrying)", ec.message());
        m_lastAcceptError = ec;
    }

    void OnAccepted(const std::shared_ptr<CRSocket::CSocket>& socket) {
        boost::system::error_code ec;
        const auto remote = socket->Socket().remote_endpoint(ec);
        std::string address = ec ? std::string("nothing") : remote.address().to_string();
        MakeRoomFor(address);

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
        const uint64_t order = m_nNextOrder++;
        m_orderOf[socket.get()] = order;
        m_byAddress[address].insert(order);
        m_pending.emplace(order, CPending{socket, std::move(address), std::move(timer)});
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

    // Closes the oldest pending connections that one more from `address` would put over
    // a cap.
    void MakeRoomFor(const std::string& address) {
        const auto mine = m_byAddress.find(address);
        if (mine != m_byAddress.end() && mine->second.size() >= m_nMaxPendingPerAddress) {
            const auto oldest = m_pending.find(*mine->second.begin());
            if (oldest != m_pending.end()) {
                CRMsBase::OutputMessage(m_senders,
                                        "\r\nAcceptor Pending limit : closing %s, the oldest of %d "
                                        "unregistered connections from %s",
                                        oldest->second.socket->GetRemoteAddressText(),
                                        static_cast<int>(mine->second.size()), address);
                Close(oldest->second.socket);
            }
        }
        if (m_pending.size() >= m_nMaxPending) {
            const auto& oldest = m_pending.begin()->second.socket;
            CRMsBase::OutputMessage(m_senders,
                                    "\r\nAcceptor Pending limit : closing %s, the oldest of %d "
                                    "unregistered connections",
                                    oldest->GetRemoteAddressText(), static_cast<int>(m_pending.size()));
            Close(oldest);
        }
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
            const int dupError = errno;
            const std::string address = socket->GetRemoteAddressText();
            socket->SetDataCallback(nullptr);
            socket->SetErrorCallback(nullptr);
            socket->Close();
            if (handle->Get() >= 0)
                m_senders.Send(std::make_shared<CMessageAcceptorAccepted>(
                    static_cast<int32_t>(regist->nVisiterId), regist->sToken,
                    regist->nSolutionId, std::move(handle), address));
            else
                CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Handover failed : %s %s", address,
                                        std::string(std::strerror(dupError)));
        }
        Drop(socket);
    }

    // Closes a pending connection without any further report from it.
    void Close(std::shared_ptr<CRSocket::CSocket> socket) {
        socket->SetDataCallback(nullptr);
        socket->SetErrorCallback(nullptr);
        socket->Close();
        Drop(socket);
    }

    void Drop(const std::shared_ptr<CRSocket::CSocket>& socket) {
        const auto order = m_orderOf.find(socket.get());
        if (order == m_orderOf.end()) return;
        const auto it = m_pending.find(order->second);
        if (it != m_pending.end()) {
            const auto byAddress = m_byAddress.find(it->second.sAddress);
            if (byAddress != m_byAddress.end()) {
                byAddress->second.erase(order->second);
                if (byAddress->second.empty()) m_byAddress.erase(byAddress);
            }
            m_pending.erase(it);  // destroys the timer (cancelling it)
        }
        m_orderOf.erase(order);
        UpdateState();
    }

    CRThreadBridge::CReceiverPtr m_receiver;
    boost::asio::io_context& m_io;
    CRSocket::CAcceptor m_acceptor;
    CRThreadMessage::CListSender m_senders;
    std::shared_ptr<CState> m_state;
    std::chrono::milliseconds m_timeout;
    size_t m_nMaxPending = DefaultMaxPending();
    size_t m_nMaxPendingPerAddress = kMaxPendingPerAddress;
    boost::system::error_code m_lastAcceptError;
    uint64_t m_nNextOrder = 0;
    std::map<uint64_t, CPending> m_pending;  // by arrival: the oldest first
    std::unordered_map<const CRSocket::CSocket*, uint64_t> m_orderOf;
    std::map<std::string, std::set<uint64_t>> m_byAddress;
};

size_t CRSeqAcceptor::DefaultMaxPending() {
    const uint64_t limit = CRSocket::OpenFileLimit().nSoft;
    if (limit == 0) return kMaxPending;
    return static_cast<size_t>(std::clamp<uint64_t>(limit / 4, 1, kMaxPending));
}

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

void CRSeqAcceptor::SetPendingLimits(size_t total, size_t perAddress) {
    m_worker->Post([total, perAddress](CMain& m) { m.SetPendingLimits(total, perAddress); });
}

}  // namespace DUve
