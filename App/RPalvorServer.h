// The server controller: owns the acceptor and the map of solution servers, admits each
// registered visitor through the web API and hands the connection to its solution's
// server (created on first use). Runs on the user-interface thread; its page methods
// ("PalvorServerRun", "PalvorServerStop", "PalvorServerIsRunning") are plain operations
// here, called by the embedded page or by the headless program.
//
// What one visitor and all of them may hold is bounded: sessions per visitor (over all
// solutions) and solution servers running at once. A solution server without clients
// for a while is retired (its thread ends, its files are checkpointed and closed) and
// started again, from its files, by the next client of that solution.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "App/RAdmission.h"
#include "App/WebApi.h"
#include "runtime/RThreadBridge.h"
#include "server/RTally.h"
#include "runtime/RThreadMessage.h"
#include "server/RSeqAcceptor.h"
#include "server/RSeqServer.h"

namespace DUve {

class CRPalvorServer {
public:
    // What the window does with acceptor reports (refresh the page, show the error).
    struct CObserver {
        std::function<void()> onListen;
        std::function<void(const std::u16string& error)> onError;
        std::function<void()> onStopped;  // the listening socket was closed by a stop
    };

    static constexpr std::chrono::milliseconds kKeepAlivePeriod{180000};

    struct CLimits {
        size_t nMaxSessionsPerVisitor = 16;  // sessions of one visitor id, all solutions
        size_t nMaxSolutions = 256;          // solution servers running at once
        std::chrono::seconds retireAfter{600};  // without clients, then retired
    };
    using CClock = std::function<std::chrono::steady_clock::time_point()>;

    // On the UI thread (a current CRUiLoop is required). `serverFolder` empty: the
    // per-user "palvor/server" folder. A keep-alive period of 0 leaves the keep-alive to
    // the caller.
    CRPalvorServer(const CRThreadMessage::CListSender& senders, std::shared_ptr<CRWebApi> webApi,
                   std::filesystem::path serverFolder = {},
                   std::chrono::milliseconds keepAlivePeriod = kKeepAlivePeriod);
    ~CRPalvorServer();
    CRPalvorServer(const CRPalvorServer&) = delete;
    CRPalvorServer& operator=(const CRPalvorServer&) = delete;

    void SetObserver(CObserver observer) { m_observer = std::move(observer); }
    // Applies to visitors admitted from then on; restarts the retirement timer.
    void SetLimits(const CLimits& limits);
    const CLimits& Limits() const { return m_limits; }
    // The time that idle servers are measured with (default: the steady clock).
    void SetClock(CClock clock) { m_clock = std::move(clock); }

    bool PalvorServerIsRunning() const;
    void PalvorServerRun(uint16_t port);
    void PalvorServerStop();

    // Gives an admitted connection to the server of its solution, creating it on first use.
    void HandOverSocket(uint32_t solutionId, const std::shared_ptr<CRSocket::CHandle>& socket);

    size_t ServerCount() const { return m_servers.size(); }
    // Visitors whose verdict the site has not given yet.
    size_t PendingAdmissions() const { return m_pendingAdmission.size(); }
    // Tells the site the server is alive, beside the UI thread.
    void KeepAlive();
    std::shared_ptr<CRSeqServer> FindServer(uint32_t solutionId) const;
    uint16_t ListeningPort() const { return m_acceptor->ListeningPort(); }
    CRSeqAcceptor& Acceptor() { return *m_acceptor; }
    // Sessions open, of one visitor and of one solution (any thread may change them).
    size_t SessionsOfVisitor(int32_t visitorId) const { return m_visitorSessions.Count(visitorId); }
    size_t SessionsOfSolution(uint32_t solutionId) const { return m_solutionSessions.Count(solutionId); }
    // Notes the servers that have no client (from now, on the clock) and retires those
    // idle for the retirement time. Runs on a timer too; returns how many were retired.
    size_t RetireIdleServers();

private:
    void OnAcceptorError(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorError>& m);
    void OnAcceptorListen(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorListen>& m);
    void OnAcceptorAccepted(
        const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>& m);
    void OnVerdict(uint64_t id, bool acceptable);
    void OnAcceptorStopped(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorStopped>& m);
    // Hands over an admitted visitor's connection unless a limit refuses it (logged).
    void Admit(const CRSeqAcceptor::CMessageAcceptorAccepted& m);
    void Retire(uint32_t solutionId, std::chrono::steady_clock::duration idle);
    void HandOver(uint32_t solutionId, const std::shared_ptr<CRSocket::CHandle>& socket,
                  std::shared_ptr<void> ticket);
    void StartRetireTimer();

    // Destroyed in reverse order: receiver first (no report arrives during teardown),
    // then the acceptor, the solution servers, the sender list and the web API.
    std::shared_ptr<CRWebApi> m_webApi;
    std::shared_ptr<void> m_keepAliveTimer;
    CObserver m_observer;
    std::filesystem::path m_serverFolder;
    CRThreadMessage::CListSender m_senders;
    CLimits m_limits;
    CClock m_clock = [] { return std::chrono::steady_clock::now(); };
    std::shared_ptr<void> m_retireTimer;
    // Sessions by visitor and by solution; each session holds a ticket of both.
    CRTallyT<int32_t> m_visitorSessions;
    CRTallyT<uint32_t> m_solutionSessions;
    // Servers seen without clients, since when (on m_clock).
    std::map<uint32_t, std::chrono::steady_clock::time_point> m_idleSince;
    std::map<uint32_t, std::shared_ptr<CRSeqServer>> m_servers;
    // Accepted connections waiting for the site's verdict, by request id.
    std::map<uint64_t, std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>>
        m_pendingAdmission;
    std::unique_ptr<CRAdmission> m_admission;
    std::unique_ptr<CRSeqAcceptor> m_acceptor;
    CRThreadBridge::CReceiverPtr m_receiver;
};

}  // namespace DUve
