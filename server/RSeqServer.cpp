#include "server/RSeqServer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>

#include <boost/asio/steady_timer.hpp>

#include "runtime/RMsBase.h"
#include "runtime/RPaths.h"
#include "runtime/RThreadBridge.h"
#include "server/RDecodeAhead.h"

namespace DUve {

using namespace Sequencer;

// ---- send batch ----

void CServer::CSendBatch::AddReply(const CSessionPtr& session, CProtocol::CPtr command) {
    if (session && command) m_queues[session].push_back(std::move(command));
}

void CServer::CSendBatch::Broadcast(const CProtocol::CPtr& command, const CRUid& idSequence) {
    if (!command) return;
    const bool all = idSequence.IsNull();
    for (const auto& session : m_server.m_sessions)
        if (all || session->setOpen.count(idSequence)) m_queues[session].push_back(command);
}

bool CServer::CSendBatch::HasAudience(const CRUid& idSequence) const {
    if (idSequence.IsNull()) return !m_server.m_sessions.empty();
    for (const auto& session : m_server.m_sessions)
        if (session->setOpen.count(idSequence)) return true;
    return false;
}

void CServer::CSendBatch::Flush() {
    // Sessions that receive the same commands (a broadcast) share one frame, encoded once.
    std::map<std::vector<CProtocol::CPtr>, CRSocket::CFramePtr> frames;
    for (auto& [weak, commands] : m_queues) {
        const auto session = weak.lock();
        if (!session) continue;
        auto [it, added] = frames.try_emplace(commands);
        if (added) it->second = CRSocket::CFrame::Make(CProtocol::CSerialize::SaveObjects(commands));
        if (it->second) session->socket->SendFrame(it->second);
    }
    m_queues.clear();
}

std::vector<CProtocol::CPtr> CServer::CSendBatch::QueuedFor(const CSessionPtr& session) const {
    const auto it = m_queues.find(session);
    return it == m_queues.end() ? std::vector<CProtocol::CPtr>{} : it->second;
}

std::vector<CProtocol::CPtr> CServer::Dispatch(const CSessionPtr& session,
                                               const std::vector<CProtocol::CPtr>& commands,
                                               CSendBatch& batch) {
    std::vector<CProtocol::CPtr> accepted;
    const auto& table = HandlerTable();
    for (const auto& command : commands) {
        const auto it = table.find(command->GetSerializeId());
        if (it == table.end()) continue;
        bool logged = false;
        const uint64_t failuresBefore = m_db.CommitFailures();
        batch.m_received = command;
        try {
            logged = it->second(*this, session, *command, batch);
        } catch (const std::exception& e) {
            // A handler never takes the server down; its command did nothing.
            logged = false;
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u %s failed : %s", m_nServerId,
                                    std::string(CProtocol::ClassName(command->GetSerializeId())), e.what());
        } catch (...) {
            logged = false;
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u %s failed : unknown exception",
                                    m_nServerId, std::string(CProtocol::ClassName(command->GetSerializeId())));
        }
        batch.m_received = nullptr;
        // What the storage refused was not done: it is not recorded as a request either.
        if (m_db.CommitFailures() != failuresBefore) {
            logged = false;
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u %s not stored : the database refused the commit",
                                    m_nServerId, std::string(CProtocol::ClassName(command->GetSerializeId())));
        }
        if (logged) accepted.push_back(command);
    }
    return accepted;
}

// ---- service object ----

class CRSeqServer::CInner {
public:
    CInner(boost::asio::io_context& io, const CRThreadMessage::CListSender& senders, uint32_t id,
           const std::filesystem::path& folder)
        : m_receiver(CRThreadBridge::InitializeIoService(io)),
          m_senders(senders),
          m_server(id, m_db, senders),
          m_io(io),
          m_dbFile(SolutionFileOf(folder, id)),
          m_logFile(CRActivityLog::FileOf(folder, id)),
          m_idle(io) {
        // By value: the database reports its closing after the other members are gone.
        m_db.SetReport([senders, id](const CRStatus& status) {
            CRMsBase::OutputMessage(senders, "\r\nServer id=%u : %s", id, status.Text());
        });
        OpenFiles();
    }

    ~CInner() {
        for (const auto& session : m_server.Sessions()) {
            session->socket->SetDataCallback(nullptr);
            session->socket->SetErrorCallback(nullptr);
            session->socket->Close();
        }
    }

    static const CRThreadMessage::CRRequestTableT<CInner>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CInner> table;
        return table;
    }

    CServer& Server() { return m_server; }

    // Opens whichever of the two files is not open yet; true when both are. A failure is
    // logged once per attempt.
    bool OpenFiles() {
        if (!m_db.IsOpen() && !m_db.Open(m_dbFile))
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u cannot open the solution file %s : %s",
                                    m_server.ServerId(), m_dbFile.string(), m_db.LastStatus().Text());
        if (!m_log.IsOpen() && !m_log.Open(m_logFile))
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u cannot open the activity log %s : %s",
                                    m_server.ServerId(), m_logFile.string(), m_log.LastStatus().Text());
        return m_db.IsOpen() && m_log.IsOpen();
    }

    // The server is going: its files are closed now, so that they are complete on disk.
    void Retire() {
        if (m_db.IsOpen() && !m_db.Close())
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u : the last changes of %s stay in its -wal file",
                                    m_server.ServerId(), m_dbFile.string());
        if (m_log.IsOpen() && !m_log.Close())
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u : the last changes of %s stay in its -wal file",
                                    m_server.ServerId(), m_logFile.string());
    }

    void AddUser(int handle, std::shared_ptr<void> ticket) {
        // A solution that cannot be stored is not served: the client is refused rather than
        // greeted with nothing and its edits dropped. The next client tries again.
        if (!OpenFiles()) {
            CRSocket::CHandle refused(handle);
            CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u refuses a client : the solution is unavailable",
                                    m_server.ServerId());
            return;
        }
        auto session = std::make_shared<CServer::CSession>(m_io);
        session->ticket = std::move(ticket);
        if (!session->socket->Assign(handle)) {
            CRMsBase::OutputMessage(m_senders, "\r\nAddUser[%s] Failed.", std::string("nothing"));
            return;
        }
        // The connection stays here until it closes: a client's pipelined frames are taken
        // in with few reads, and the answers to them leave together.
        session->socket->SetReadAhead(true);
        m_server.Sessions().insert(session);
        std::weak_ptr<CServer::CSession> weak = session;
        session->socket->SetDataCallback(
            [this, weak](const CRSocket::CPayload& payload) { OnData(weak, payload); });
        session->socket->SetErrorCallback(
            [this, weak](const boost::system::error_code& ec) { OnError(weak, ec); });

        CServer::CSendBatch batch(m_server);
        batch.AddReply(session, std::make_shared<CProtocol::CRegistClient>(0, u"", 0));
        for (const auto& seq : m_server.Db().SelectAllSequences())
            batch.AddReply(session, std::make_shared<CProtocol::CCommandCreateSequence>(
                                        seq->idSequence, seq->property));
        batch.Flush();
        CRMsBase::OutputMessage(m_senders, "\r\nAddUser[%s] Succeeded.",
                                session->socket->GetRemoteAddressText());
        session->socket->StartReceive();
    }

private:
    // A frame from a client. Small ones are handled at once; large ones, and whatever
    // follows them from the same client, are decoded ahead on the decoder's thread and
    // handled here in order. One frame more is taken in while one is decoded.
    void OnData(const std::weak_ptr<CServer::CSession>& weak, const CRSocket::CPayload& payload) {
        const auto session = weak.lock();
        if (!session) return;
        if (session->nDecoding == 0 && payload->size() < CRDecodeAhead::kMinBytes) {
            Handle(session, CProtocol::CSerialize::LoadObjects(*payload), {});
            if (session->socket->IsOpen()) session->socket->StartReceive();
            return;
        }
        ++session->nDecoding;
        m_decoder.Decode(payload, m_io, [this, weak, alive = std::weak_ptr<void>(m_alive)](CRDecodeAhead::CDecoded d) {
            if (alive.expired()) return;
            const auto session = weak.lock();
            if (session) {
                --session->nDecoding;
                Handle(session, d.commands, d.encoded);
                if (session->bReceiveHeld && session->socket->IsOpen()) {
                    session->bReceiveHeld = false;
                    session->socket->StartReceive();
                }
            }
            m_decoder.Release(std::move(d.commands));
        });
        if (session->nDecoding < kFramesAhead)
            session->socket->StartReceive();
        else
            session->bReceiveHeld = true;
    }

    // Runs a frame's commands, records those taken in the activity log and sends what they
    // caused. `encoded`, when valid, is (or will be) the encoding of all of `commands`.
    void Handle(const CServer::CSessionPtr& session, const std::vector<CProtocol::CPtr>& commands,
                const std::shared_future<CRBytes>& encoded) {
        const std::string& address = session->socket->GetRemoteAddressText();
        if (commands.empty()) {
            CRMsBase::OutputMessage(m_senders, "\r\n%s-> SocketDataReceive error.", address);
            return;
        }
        CRMsBase::OutputMessage(m_senders, "\r\n%s-> Received %d Request.", address, static_cast<int>(commands.size()));
        CServer::CSendBatch batch(m_server);
        const auto accepted = m_server.Dispatch(session, commands, batch);
        if (!accepted.empty()) {
            NoteChange();
            CRBytes bytes;
            if (encoded.valid() && accepted == commands) bytes = encoded.get();
            if (bytes.empty()) bytes = CProtocol::CSerialize::SaveObjects(accepted);
            if (!bytes.empty() && !m_log.AppendLog(bytes))
                CRMsBase::OutputMessage(m_senders,
                                        "\r\nServer id=%u could not record %d commands in the activity log : %s",
                                        m_server.ServerId(), static_cast<int>(accepted.size()),
                                        m_log.LastStatus().Text());
        }
        batch.Flush();
    }

    // Once the server has been idle for kIdleCheckpoint after a change, both files get
    // their write-ahead logs copied in and synchronised with the disk. This adds
    // synchronisations (the automatic ones, after a set amount of log, stay): what was
    // committed before a pause is on the disk a moment later instead of whenever the log
    // next fills, and the next burst starts with an empty log. The timer is armed once per
    // pause, not per message.
    void NoteChange() {
        m_lastChange = std::chrono::steady_clock::now();
        if (!m_bIdleArmed) ArmIdle(kIdleCheckpoint);
    }

    void ArmIdle(std::chrono::steady_clock::duration after) {
        m_bIdleArmed = true;
        m_idle.expires_after(after);
        m_idle.async_wait([this](const boost::system::error_code& ec) {
            if (ec) return;  // cancelled: the server is going, `this` may be gone
            m_bIdleArmed = false;
            const auto quiet = std::chrono::steady_clock::now() - m_lastChange;
            if (quiet < kIdleCheckpoint) {
                ArmIdle(kIdleCheckpoint - quiet);
                return;
            }
            if (m_db.IsOpen() && !m_db.Checkpoint())
                CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u : %s", m_server.ServerId(),
                                        m_db.LastStatus().Text());
            if (m_log.IsOpen() && !m_log.Checkpoint())
                CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u : %s", m_server.ServerId(),
                                        m_log.LastStatus().Text());
        });
    }

    void OnError(const std::weak_ptr<CServer::CSession>& weak, const boost::system::error_code& ec) {
        const auto session = weak.lock();
        if (!session) return;
        const std::string address = session->socket->GetRemoteAddressText();
        m_server.Sessions().erase(session);
        CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u SocketError : %s %s",
                                m_server.ServerId(), address, ec.message());
        CRMsBase::OutputMessage(m_senders, "\r\nServer id=%u Active user count=%d",
                                m_server.ServerId(), static_cast<int>(m_server.Sessions().size()));
    }

    CRThreadBridge::CReceiverPtr m_receiver;
    CRThreadMessage::CListSender m_senders;
    CSolutionDb m_db;
    CServer m_server;
    CRActivityLog m_log;
    boost::asio::io_context& m_io;
    std::filesystem::path m_dbFile;
    std::filesystem::path m_logFile;
    boost::asio::steady_timer m_idle;  // the checkpoint after a pause
    bool m_bIdleArmed = false;
    std::chrono::steady_clock::time_point m_lastChange;
    // Frames decoded ahead are handed back only while this lives; the decoder goes first.
    std::shared_ptr<void> m_alive = std::make_shared<int>(0);
    static constexpr uint32_t kFramesAhead = 2;
    CRDecodeAhead m_decoder;
};

std::filesystem::path CRSeqServer::DefaultFolder() { return PalvorFolder("server"); }

std::filesystem::path CRSeqServer::SolutionFileOf(const std::filesystem::path& folder, uint32_t id) {
    return DUve::SolutionFileOf(folder, id);
}

CRSeqServer::CRSeqServer(const CRThreadMessage::CListSender& senders, uint32_t solutionId,
                         std::filesystem::path folder)
    : m_nSolutionId(solutionId) {
    if (folder.empty()) folder = DefaultFolder();
    m_worker = std::make_shared<CRWorkerThreadT<CInner>>(
        [senders, solutionId, folder](boost::asio::io_context& io) {
            return std::make_unique<CInner>(io, senders, solutionId, folder);
        });
}

CRSeqServer::~CRSeqServer() { m_worker.reset(); }

void CRSeqServer::AddUser(int nativeHandle, std::shared_ptr<void> ticket) {
    if (!m_worker || !m_worker->IsStarted()) {
        if (nativeHandle >= 0) ::close(nativeHandle);
        return;
    }
    auto handle = std::make_shared<CRSocket::CHandle>(nativeHandle);
    m_worker->Post([handle, ticket = std::move(ticket)](CInner& inner) mutable {
        inner.AddUser(handle->Release(), std::move(ticket));
    });
}

void CRSeqServer::Retire() {
    if (m_worker && m_worker->IsStarted()) m_worker->Post([](CInner& inner) { inner.Retire(); });
}

bool CRSeqServer::Sync(const std::function<void(CServer&)>& f) {
    if (!IsStarted()) return false;
    // The promise travels with the request: if the request is dropped unrun (the service
    // stopped), the promise goes with it and the wait ends.
    auto done = std::make_shared<std::promise<bool>>();
    auto result = done->get_future();
    m_worker->Post([done, &f](CInner& inner) {
        try {
            f(inner.Server());
            done->set_value(true);
        } catch (const std::exception& e) {
            CRMsBase::OutputMessage(inner.Server().Senders(), "\r\nServer id=%u Sync failed : %s",
                                    inner.Server().ServerId(), e.what());
            done->set_value(false);
        }
    });
    try {
        return result.get();
    } catch (const std::future_error&) {
        return false;  // dropped unrun
    }
}

}  // namespace DUve
