#include "App/RPalvorServer.h"

#include <poll.h>

#include "runtime/RMsBase.h"
#include "runtime/RUiLoop.h"

namespace DUve {

CRPalvorServer::CRPalvorServer(const CRThreadMessage::CListSender& senders,
                               std::shared_ptr<CRWebApi> webApi,
                               std::filesystem::path serverFolder,
                               std::chrono::milliseconds keepAlivePeriod)
    : m_webApi(std::move(webApi)),
      m_serverFolder(std::move(serverFolder)),
      m_senders(senders),
      m_receiver(CRThreadBridge::InitializeUiThread()) {
    if (m_webApi)
        m_admission = std::make_unique<CRAdmission>(
            m_webApi, [this](uint64_t id, bool acceptable) { OnVerdict(id, acceptable); });
    if (auto loop = keepAlivePeriod.count() > 0 ? CRUiLoop::Current() : nullptr)
        m_keepAliveTimer = loop->StartTimer(keepAlivePeriod, [this] { KeepAlive(); });
    CRThreadMessage::CListSender acceptorSenders = m_senders;
    acceptorSenders.Add(m_receiver->GetSender());
    m_acceptor = std::make_unique<CRSeqAcceptor>(acceptorSenders);
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorError>(
        *m_receiver, [this](const auto& m) { OnAcceptorError(m); });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorListen>(
        *m_receiver, [this](const auto& m) { OnAcceptorListen(m); });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorStopped>(
        *m_receiver, [this](const auto& m) { OnAcceptorStopped(m); });
    CRThreadMessage::AddHandler<CRSeqAcceptor::CMessageAcceptorAccepted>(
        *m_receiver, [this](const auto& m) { OnAcceptorAccepted(m); });
}

CRPalvorServer::~CRPalvorServer() {
    m_receiver.reset();
    m_keepAliveTimer.reset();
    m_admission.reset();  // abandons pending verdicts at once
    m_pendingAdmission.clear();
    m_acceptor.reset();
    m_servers.clear();
}

void CRPalvorServer::KeepAlive() {
    if (m_admission) m_admission->KeepAlive();
}

bool CRPalvorServer::PalvorServerIsRunning() const { return m_acceptor->IsListening(); }

void CRPalvorServer::PalvorServerRun(uint16_t port) { m_acceptor->Listen(port); }

void CRPalvorServer::PalvorServerStop() {
    m_acceptor->Stop();
    // Connections still waiting for the site are not handed over any more.
    for (const auto& [id, m] : m_pendingAdmission)
        if (m_admission) m_admission->Cancel(id);
    m_pendingAdmission.clear();
    m_servers.clear();  // each server closes its connections and databases
}

std::shared_ptr<CRSeqServer> CRPalvorServer::FindServer(uint32_t solutionId) const {
    const auto it = m_servers.find(solutionId);
    return it == m_servers.end() ? nullptr : it->second;
}

void CRPalvorServer::HandOverSocket(uint32_t solutionId,
                                    const std::shared_ptr<CRSocket::CHandle>& socket) {
    auto& server = m_servers[solutionId];
    if (!server) server = std::make_shared<CRSeqServer>(m_senders, solutionId, m_serverFolder);
    server->AddUser(socket->Release());
}

void CRPalvorServer::OnAcceptorError(
    const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorError>& m) {
    if (m_observer.onError) m_observer.onError(m->sError);
}

void CRPalvorServer::OnAcceptorStopped(
    const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorStopped>&) {
    if (m_observer.onStopped) m_observer.onStopped();
}

void CRPalvorServer::OnAcceptorListen(
    const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorListen>&) {
    if (m_observer.onListen) m_observer.onListen();
}

void CRPalvorServer::OnAcceptorAccepted(
    const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>& m) {
    if (!m_admission) {
        CRMsBase::OutputMessage(m_senders, "\r\nVisitor refused : visiterid=%d solutionid=%u %s",
                                m->nVisiterId, m->nSolutionId, m->sRemoteAddress);
        return;
    }
    // The site's answer comes later (OnVerdict); other visitors do not wait for it.
    m_pendingAdmission.emplace(m_admission->Ask(m->nVisiterId, m->nSolutionId, m->sToken), m);
}

namespace {
// Whether the peer has closed (or broken) the connection behind `fd`, without reading.
bool PeerGone(int fd) {
    if (fd < 0) return true;
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}
}  // namespace

void CRPalvorServer::OnVerdict(uint64_t id, bool acceptable) {
    const auto it = m_pendingAdmission.find(id);
    if (it == m_pendingAdmission.end()) return;
    const auto m = it->second;
    m_pendingAdmission.erase(it);
    if (!acceptable) {
        // The connection closes when the message (and its handle) goes.
        CRMsBase::OutputMessage(m_senders, "\r\nVisitor refused : visiterid=%d solutionid=%u %s",
                                m->nVisiterId, m->nSolutionId, m->sRemoteAddress);
        return;
    }
    if (PeerGone(m->socket->Get())) {
        CRMsBase::OutputMessage(m_senders,
                                "\r\nVisitor left before admission : visiterid=%d solutionid=%u %s",
                                m->nVisiterId, m->nSolutionId, m->sRemoteAddress);
        return;
    }
    HandOverSocket(m->nSolutionId, m->socket);
}

}  // namespace DUve
