// The server controller: owns the acceptor and the map of solution servers, admits each
// registered visitor through the web API and hands the connection to its solution's
// server (created on first use). Runs on the user-interface thread; its page methods
// ("PalvorServerRun", "PalvorServerStop", "PalvorServerIsRunning") are plain operations
// here, called by the embedded page or by the headless program.
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

private:
    void OnAcceptorError(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorError>& m);
    void OnAcceptorListen(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorListen>& m);
    void OnAcceptorAccepted(
        const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>& m);
    void OnVerdict(uint64_t id, bool acceptable);
    void OnAcceptorStopped(const std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorStopped>& m);

    // Destroyed in reverse order: receiver first (no report arrives during teardown),
    // then the acceptor, the solution servers, the sender list and the web API.
    std::shared_ptr<CRWebApi> m_webApi;
    std::shared_ptr<void> m_keepAliveTimer;
    CObserver m_observer;
    std::filesystem::path m_serverFolder;
    CRThreadMessage::CListSender m_senders;
    std::map<uint32_t, std::shared_ptr<CRSeqServer>> m_servers;
    // Accepted connections waiting for the site's verdict, by request id.
    std::map<uint64_t, std::shared_ptr<const CRSeqAcceptor::CMessageAcceptorAccepted>>
        m_pendingAdmission;
    std::unique_ptr<CRAdmission> m_admission;
    std::unique_ptr<CRSeqAcceptor> m_acceptor;
    CRThreadBridge::CReceiverPtr m_receiver;
};

}  // namespace DUve
