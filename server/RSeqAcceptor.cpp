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
#include "server/ROpenFileLimit.h"
#include "server/RTally.h"

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
          m_timeout(timeout),
          m_recheck(io),
          m_waiting([weak = std::weak_ptr<CState>(m_state)](const std::string&) {
              if (auto state = weak.lock()) state->Wake();
          }) {
        m_acceptor.SetAcceptGate([this] { return HasRoom(); });
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
        m_state->bHeld = false;
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
        ResumeIfRoom();
    }

    // A registered connection's message went: its place is free.
    void OnWaitingLeft() {
        UpdateState();
        ResumeIfRoom();
    }

private:
    // A connection that has not registered yet, in the order of arrival.
    struct CPending {
        std::shared_ptr<CRSocket::CSocket> socket;
        std::string sAddress;  // the remote IP address
        std::unique_ptr<boost::asio::steady_timer> timer;
        std::chrono::steady_clock::time_point arrived;
    };

    void UpdateState() {
        m_state->bListening = m_acceptor.IsOpen();
        m_state->nPort = m_acceptor.IsOpen() ? m_acceptor.LocalPort() : 0;
        m_state->nPending = m_pending.size();
        m_state->nWaiting = m_waiting.Total();
        m_state->bHeld = m_acceptor.IsHeld();
    }

    size_t NotAdmitted() const { return m_pending.size() + m_waiting.Total(); }
    size_t NotAdmittedFrom(const std::string& address) const {
        const auto mine = m_byAddress.find(address);
        return (mine == m_byAddress.end() ? 0 : mine->second.size()) + m_waiting.Count(address);
    }

    // Whether a new connection may take the place of this unregistered one: it had its
    // time to register, or it has been there a moment with nothing on its way (a client
    // registering sends at once; its bytes are waiting to be read or read already).
    bool Replaceable(const CPending& pending, std::chrono::steady_clock::time_point now) const {
        const auto age = now - pending.arrived;
        if (age >= kRegistrationGrace) return true;
        if (age < kQuietGrace) return false;
        boost::system::error_code ec;
        return pending.socket->Socket().available(ec) == 0 && !ec;
    }

    // The oldest unregistered connection a new one may take the place of, if any.
    std::shared_ptr<CRSocket::CSocket> Replaceable() const {
        const auto now = std::chrono::steady_clock::now();
        for (const auto& [order, pending] : m_pending)
            if (Replaceable(pending, now)) return pending.socket;
        return nullptr;
    }

    // The accept gate: room under the total cap, or an unregistered connection whose place
    // the next connection may take (see MakeRoomFor). Otherwise accepting waits, for a
    // place to be given back or for an unregistered connection to become replaceable.
    bool HasRoom() {
        if (NotAdmitted() < m_nMaxPending) return true;
        if (Replaceable()) return true;
        if (!m_pending.empty()) {
            m_recheck.expires_after(kQuietGrace);
            m_recheck.async_wait([this](const boost::system::error_code& ec) {
                if (!ec) ResumeIfRoom();
            });
        }
        const auto now = std::chrono::steady_clock::now();
        if (!m_state->bHeld && now - m_lastHeldLog >= std::chrono::seconds(1)) {
            m_lastHeldLog = now;
            CRMsBase::OutputMessage(m_senders,
                                    "\r\nAcceptor Full : %d connections not admitted yet (%d wait "
                                    "for a verdict); new ones wait in the backlog",
                                    static_cast<int>(NotAdmitted()),
                                    static_cast<int>(m_waiting.Total()));
        }
        m_state->bHeld = true;
        return false;
    }

    void ResumeIfRoom() {
        if (!m_acceptor.IsHeld()) return;
        m_acceptor.Resume();
        UpdateState();
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
        if (!MakeRoomFor(address)) {
            CRMsBase::OutputMessage(m_senders,
                                    "\r\nAcceptor Pending limit : refusing %s, %d connections "
                                    "from %s wait for admission",
                                    socket->GetRemoteAddressText(),
                                    static_cast<int>(NotAdmittedFrom(address)), address);
            socket->Close();
            return;
        }

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
        m_pending.emplace(order, CPending{socket, std::move(address), std::move(timer),
                                          std::chrono::steady_clock::now()});
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

    // Closes the oldest unregistered connections that one more from `address` would put
    // over a cap; false when the address is at its cap with connections that all wait for
    // their verdict (the new one is then refused).
    bool MakeRoomFor(const std::string& address) {
        if (NotAdmittedFrom(address) >= m_nMaxPendingPerAddress) {
            const auto mine = m_byAddress.find(address);
            if (mine == m_byAddress.end()) return false;
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
        // The accept gate let this one in in place of an unregistered connection (should
        // none be replaceable any more, the cap is passed by this one connection).
        if (NotAdmitted() >= m_nMaxPending) {
            if (const auto replaced = Replaceable()) {
                CRMsBase::OutputMessage(m_senders,
                                        "\r\nAcceptor Pending limit : closing %s, the oldest of %d "
                                        "unregistered connections",
                                        replaced->GetRemoteAddressText(),
                                        static_cast<int>(m_pending.size()));
                Close(replaced);
            }
        }
        return true;
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
            if (handle->Get() >= 0) {
                // Its place among the connections not admitted yet goes with the message.
                const std::string ip = IpOf(socket);
                auto slot = m_waiting.Take(ip);
                m_senders.Send(std::make_shared<CMessageAcceptorAccepted>(
                    static_cast<int32_t>(regist->nVisiterId), regist->sToken,
                    regist->nSolutionId, std::move(handle), address, ip, std::move(slot)));
            } else {
                CRMsBase::OutputMessage(m_senders, "\r\nAcceptor Handover failed : %s %s", address,
                                        std::string(std::strerror(dupError)));
            }
        }
        Drop(socket);
    }

    std::string IpOf(const std::shared_ptr<CRSocket::CSocket>& socket) const {
        const auto order = m_orderOf.find(socket.get());
        if (order == m_orderOf.end()) return "nothing";
        const auto it = m_pending.find(order->second);
        return it == m_pending.end() ? std::string("nothing") : it->second.sAddress;
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
        ResumeIfRoom();
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
    boost::asio::steady_timer m_recheck;  // accepting held: when to look for room again
    std::chrono::steady_clock::time_point m_lastHeldLog;
    // Registered connections whose accepted message still exists, by remote IP address.
    CRTallyT<std::string> m_waiting;
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
    std::lock_guard lock(m_state->wakeMutex);
    m_state->wake = [this] { m_worker->Post([](CMain& m) { m.OnWaitingLeft(); }); };
}

CRSeqAcceptor::~CRSeqAcceptor() {
    {
        std::lock_guard lock(m_state->wakeMutex);
        m_state->wake = nullptr;
    }
    m_worker.reset();
}

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
