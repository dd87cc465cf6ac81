#include "App/RPalvorServer.h"

#include <poll.h>

#include <algorithm>
#include <optional>

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
    StartRetireTimer();
}

CRPalvorServer::~CRPalvorServer() {
    m_receiver.reset();
    m_keepAliveTimer.reset();
    m_retireTimer.reset();
    m_admission.reset();  // abandons pending verdicts at once
    m_pendingAdmission.clear();
    m_acceptor.reset();
    m_servers.clear();
}

void CRPalvorServer::SetLimits(const CLimits& limits) {
    m_limits = limits;
    m_limits.nMaxSessionsPerVisitor = std::max<size_t>(1, m_limits.nMaxSessionsPerVisitor);
    m_limits.nMaxSolutions = std::max<size_t>(1, m_limits.nMaxSolutions);
    StartRetireTimer();
}

// Idle servers are looked for ten times per retirement time (at most every 30 s), so one
// is retired at most a tenth of that time late.
void CRPalvorServer::StartRetireTimer() {
    m_retireTimer.reset();
    const auto loop = CRUiLoop::Current();
    if (!loop) return;
    const auto period = std::clamp<std::chrono::milliseconds>(
        std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.retireAfter) / 10,
        std::chrono::milliseconds(10), std::chrono::milliseconds(30000));
    m_retireTimer = loop->StartTimer(period, [this] { RetireIdleServers(); });
}

size_t CRPalvorServer::RetireIdleServers() {
    const auto now = m_clock();
    std::vector<std::pair<uint32_t, std::chrono::steady_clock::duration>> idle;
    for (const auto& [id, server] : m_servers) {
        if (m_solutionSessions.Count(id) > 0) {
            m_idleSince.erase(id);
            continue;
        }
        const auto since = m_idleSince.emplace(id, now).first->second;
        if (now - since >= m_limits.retireAfter) idle.emplace_back(id, now - since);
    }
    for (const auto& [id, time] : idle) Retire(id, time);
    return idle.size();
}

void CRPalvorServer::Retire(uint32_t solutionId, std::chrono::steady_clock::duration idle) {
    const auto it = m_servers.find(solutionId);
    if (it == m_servers.end()) return;
    CRMsBase::OutputMessage(
        m_senders, "\r\nServer id=%u retired : no client for %d s", solutionId,
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(idle).count()));
    it->second->Retire();
    m_servers.erase(it);  // its thread ends once the files are closed
    m_idleSince.erase(solutionId);
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
    m_idleSince.clear();
}

std::shared_ptr<CRSeqServer> CRPalvorServer::FindServer(uint32_t solutionId) const {
    const auto it = m_servers.find(solutionId);
    return it == m_servers.end() ? nullptr : it->second;
}

void CRPalvorServer::HandOverSocket(uint32_t solutionId,
                                    const std::shared_ptr<CRSocket::CHandle>& socket) {
    HandOver(solutionId, socket, m_solutionSessions.Take(solutionId));
}

void CRPalvorServer::HandOver(uint32_t solutionId, const std::shared_ptr<CRSocket::CHandle>& socket,
                              std::shared_ptr<void> ticket) {
    auto& server = m_servers[solutionId];
    if (!server) server = std::make_shared<CRSeqServer>(m_senders, solutionId, m_serverFolder);
    m_idleSince.erase(solutionId);
    server->AddUser(socket->Release(), std::move(ticket));
}

void CRPalvorServer::Admit(const CRSeqAcceptor::CMessageAcceptorAccepted& m) {
    const size_t sessions = m_visitorSessions.Count(m.nVisiterId);
    if (sessions >= m_limits.nMaxSessionsPerVisitor) {
        CRMsBase::OutputMessage(m_senders,
                                "\r\nVisitor refused : visiterid=%d solutionid=%u %s : %d sessions "
                                "open, the limit per visitor",
                                m.nVisiterId, m.nSolutionId, m.sRemoteAddress,
                                static_cast<int>(sessions));
        return;
    }
    if (!m_servers.count(m.nSolutionId) && m_servers.size() >= m_limits.nMaxSolutions) {
        // Room is made by the server idle longest, however briefly.
        RetireIdleServers();
        std::optional<std::pair<uint32_t, std::chrono::steady_clock::time_point>> oldest;
        for (const auto& [id, since] : m_idleSince)
            if (m_solutionSessions.Count(id) == 0 && (!oldest || since < oldest->second))
                oldest.emplace(id, since);
        if (oldest) Retire(oldest->first, m_clock() - oldest->second);
    }
    if (!m_servers.count(m.nSolutionId) && m_servers.size() >= m_limits.nMaxSolutions) {
        CRMsBase::OutputMessage(m_senders,
                                "\r\nVisitor refused : visiterid=%d solutionid=%u %s : %d solutions "
                                "served, the limit",
                                m.nVisiterId, m.nSolutionId, m.sRemoteAddress,
                                static_cast<int>(m_servers.size()));
        return;
    }
    // The session holds both counts until it ends.
    auto tickets = std::make_shared<std::pair<std::shared_ptr<void>, std::shared_ptr<void>>>(
        m_visitorSessions.Take(m.nVisiterId), m_solutionSessions.Take(m.nSolutionId));
    HandOver(m.nSolutionId, m.socket, std::move(tickets));
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
    m_pendingAdmission.emplace(
        m_admission->Ask(m->nVisiterId, m->nSolutionId, m->sToken, m->sRemoteIp), m);
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
    Admit(*m);
}

}  // namespace DUve
