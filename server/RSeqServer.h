// The sequencer server of one solution: on its own worker thread it owns the solution
// database, the activity log and one session per connected client; it reads each
// client's frames one after the other, runs the command handlers and sends the replies
// and broadcasts of one message together.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "model/SolutionDb.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RWorkerThread.h"
#include "server/Protocol.h"
#include "server/RActivityLog.h"
#include "server/RSocket.h"

namespace DUve {

namespace Sequencer {

class CServer {
public:
    // One connected client: its connection and the sequences whose changes it receives.
    class CSession {
    public:
        explicit CSession(boost::asio::io_context& io)
            : socket(std::make_shared<CRSocket::CSocket>(io)) {}
        std::shared_ptr<CRSocket::CSocket> socket;
        CRUidSet setOpen;
        // Frames taken in and not yet handled (being decoded ahead), and whether the next
        // read waits until they are.
        uint32_t nDecoding = 0;
        bool bReceiveHeld = false;
        std::shared_ptr<void> ticket;  // whatever counts this client, released with it
    };
    using CSessionPtr = std::shared_ptr<CSession>;

    // Replies and broadcasts caused by one received message, sent together at its end.
    class CSendBatch {
    public:
        explicit CSendBatch(CServer& server) : m_server(server) {}
        void AddReply(const CSessionPtr& session, CProtocol::CPtr command);
        // To every session that has `idSequence` open; the null id means every session.
        void Broadcast(const CProtocol::CPtr& command, const CRUid& idSequence);
        void Flush();
        // Whether a broadcast for `idSequence` would reach any session: a handler builds
        // a broadcast only when someone receives it.
        bool HasAudience(const CRUid& idSequence) const;
        // The received command being handled, shared, when it is `command`: a handler
        // that would send it on unchanged passes it instead of a copy. Null otherwise.
        CProtocol::CPtr Received(const CProtocol::CBase& command) const {
            return m_received.get() == &command ? m_received : nullptr;
        }
        // Commands queued for `session` (tests and diagnostics).
        std::vector<CProtocol::CPtr> QueuedFor(const CSessionPtr& session) const;

    private:
        friend class CServer;
        CServer& m_server;
        CProtocol::CPtr m_received;  // set by Dispatch while a handler runs
        std::map<std::weak_ptr<CSession>, std::vector<CProtocol::CPtr>,
                 std::owner_less<std::weak_ptr<CSession>>>
            m_queues;
    };

    // Returns whether the command goes into the activity log.
    using CHandler =
        std::function<bool(CServer&, const CSessionPtr&, const CProtocol::CBase&, CSendBatch&)>;
    // Client command serialize id -> handler.
    static const std::map<uint16_t, CHandler>& HandlerTable();

    CServer(uint32_t id, CSolutionDb& db, CRThreadMessage::CListSender senders = {})
        : m_nServerId(id), m_db(db), m_senders(std::move(senders)) {}

    uint32_t ServerId() const { return m_nServerId; }
    // Where handlers send their log lines.
    const CRThreadMessage::CListSender& Senders() const { return m_senders; }
    CSolutionDb& Db() { return m_db; }
    std::set<CSessionPtr>& Sessions() { return m_sessions; }

    // Runs the handlers of `commands` in order; returns the commands to log.
    std::vector<CProtocol::CPtr> Dispatch(const CSessionPtr& session,
                                          const std::vector<CProtocol::CPtr>& commands,
                                          CSendBatch& batch);

private:
    uint32_t m_nServerId;
    CSolutionDb& m_db;
    CRThreadMessage::CListSender m_senders;
    std::set<CSessionPtr> m_sessions;
};

}  // namespace Sequencer

class CRSeqServer {
public:
    // Starts the server of solution `solutionId`; its files live in `folder` (default:
    // the per-user "palvor/server" folder).
    CRSeqServer(const CRThreadMessage::CListSender& senders, uint32_t solutionId,
                std::filesystem::path folder = {});
    ~CRSeqServer();
    CRSeqServer(const CRSeqServer&) = delete;
    CRSeqServer& operator=(const CRSeqServer&) = delete;

    bool IsStarted() const { return m_worker && m_worker->IsStarted(); }
    uint32_t SolutionId() const { return m_nSolutionId; }
    // Hands a connected native socket to the server (ownership passes; returns at once).
    // `ticket` stays with the client's session and goes when the session ends.
    void AddUser(int nativeHandle, std::shared_ptr<void> ticket = {});
    // Closes the files, after copying their write-ahead logs into them (on the server
    // thread, returns at once); to be called when the server is about to be dropped.
    void Retire();
    // Runs `f` on the server thread and waits for it (tests and tools); false when it
    // threw or could not run. Never waits for a request the service will not run.
    bool Sync(const std::function<void(Sequencer::CServer&)>& f);

    // After a change, a pause this long makes the server copy both files' write-ahead
    // logs into them, synchronised with the disk.
    static constexpr std::chrono::milliseconds kIdleCheckpoint{1000};

    static std::filesystem::path DefaultFolder();
    static std::filesystem::path SolutionFileOf(const std::filesystem::path& folder, uint32_t id);

    class CInner;

private:
    uint32_t m_nSolutionId;
    std::shared_ptr<CRWorkerThreadT<CInner>> m_worker;
};

}  // namespace DUve
