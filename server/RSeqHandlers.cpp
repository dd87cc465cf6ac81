// The command handlers of the sequencer server: each changes or reads the solution
// database and queues the answers and broadcasts of the message being handled.
#include <algorithm>
#include <memory>

#include "midi/SmfExport.h"
#include "midi/SmfImport.h"
#include "mml/MmlCompiler.h"
#include "model/EventStream.h"
#include "model/RSeqSolution.h"
#include "runtime/RMsBase.h"
#include "server/RSeqServer.h"

namespace DUve::Sequencer {

namespace {

namespace P = CRSeq::Property;
using namespace CProtocol;
using CSessionPtr = CServer::CSessionPtr;
using CBatch = CServer::CSendBatch;
const CRUid kAll;  // broadcast key of every client

// The all-zero identifier names no item, and as a sequence's key it would reach every
// client: nothing is created under it. True (after a log line) when `id` is that one.
bool RefusedNullId(CServer& server, const CSessionPtr& session, const CRUid& id,
                   const char* szWhat) {
    if (!id.IsNull()) return false;
    CRMsBase::OutputMessage(server.Senders(),
                            "\r\n%s-> Create%s refused: the all-zero identifier names no item.",
                            session->socket->GetRemoteAddressText(), szWhat);
    return true;
}

bool OnEcho(CServer&, const CSessionPtr& session, const CCommandEcho& c, CBatch& batch) {
    batch.AddReply(session, std::make_shared<CCommandEcho>(c.idEcho));
    return false;
}

bool OnDelete(CServer& server, const CSessionPtr&, const CCommandDelete& c, CBatch& batch) {
    auto deleted = server.Db().Delete(c.idSet);
    if (!deleted.setSequence.empty() || !deleted.setTrack.empty() || !deleted.setPort.empty() ||
        !deleted.setEvent.empty())
        batch.Broadcast(std::make_shared<CCommandDeleted>(
                            std::move(deleted.setSequence), std::move(deleted.setTrack),
                            std::move(deleted.setPort), std::move(deleted.setEvent)),
                        kAll);
    return true;
}

bool OnCreateSequence(CServer& server, const CSessionPtr& session, const CCommandCreateSequence& c,
                      CBatch& batch) {
    if (RefusedNullId(server, session, c.idSequence, "Sequence")) return false;
    if (server.Db().CreateSequence(c.idSequence, c.property))
        batch.Broadcast(std::make_shared<CCommandCreateSequence>(c.idSequence, c.property), kAll);
    return true;
}

// A command written as it was built: the fields of a CCommandCreateEvent encoded straight
// from the stored rows, so that a port's events are never held as objects.
class CEncodedCommand : public CBase {
public:
    CEncodedCommand(uint16_t id, CRBytes fields) : m_nId(id), m_vFields(std::move(fields)) {}
    uint16_t GetSerializeId() const override { return m_nId; }
    void Serialize(CRArchive& ar) const override { ar.WriteRaw(m_vFields.data(), m_vFields.size()); }

private:
    uint16_t m_nId;
    CRBytes m_vFields;
};

// The CCommandCreateEvent of every event of the port, in step order (equal steps in the
// order they were stored), encoded as CCommandCreateEvent encodes its list. Events whose
// identifier names an item of the outline, or whose property cannot be read, are left out,
// as loading the sequence leaves them out.
CPtr EncodeEventsOfPort(CSolutionDb& db, const CRUid& idPort, const CRUidSet& taken) {
    CEventStream stream(db, {idPort});
    CRBytes fields;
    // A note takes 28 bytes; most events take about as much.
    fields.reserve(CRUid::kSize + 4 + stream.Count() * 28);
    CRArchive ar(fields);
    ar.WriteUid(idPort);
    const size_t countAt = fields.size();
    ar.WriteU32(0);
    uint32_t count = 0;
    CEventStream::CRow row;
    while (stream.Next(row)) {
        if (taken.count(row.idEvent)) continue;
        const auto property = CEventStream::DecodeProperty(row.pData, row.nData);
        if (!property) continue;
        ar.WriteUid(row.idEvent);
        ar.WriteU32(row.nStep);
        ar.WriteU16(property->GetSerializeId());
        property->Serialize(ar);
        ++count;
    }
    CRBytes n;
    CRArchive(n).WriteU32(count);
    std::copy(n.begin(), n.end(), fields.begin() + countAt);
    fields.shrink_to_fit();
    return std::make_shared<CEncodedCommand>(CCommandCreateEvent::SerializeId(), std::move(fields));
}

bool OnOpenSequence(CServer& server, const CSessionPtr& session, const CCommandOpenSequence& c,
                    CBatch& batch) {
    // The outline (sequences, tracks, ports) as loading would make it; the events are
    // encoded from storage port by port.
    CRSeqSolution solution;
    for (const CRUid& id : c.idSet) CRSeqSolution::LoadSequenceOutline(solution, server.Db(), id);
    CRUidSet taken;
    for (const auto& seq : solution.GetSequences()) {
        taken.insert(seq->idSequence);
        for (const auto& track : solution.GetTracksOfSequence(seq->idSequence)) taken.insert(track->idTrack);
        for (const auto& entry : solution.GetPortsOfSequence(seq->idSequence))
            taken.insert(std::get<2>(entry)->idPort);
    }
    CRUidSet opened;
    for (const auto& seq : solution.GetSequences())
        if (session->setOpen.insert(seq->idSequence).second) opened.insert(seq->idSequence);
    batch.AddReply(session, std::make_shared<CCommandOpenSequence>(opened));
    for (const auto& idSequence : opened) {
        for (const auto& track : solution.GetTracksOfSequence(idSequence)) {
            batch.AddReply(session, std::make_shared<CCommandCreateTrack>(
                                        track->idTrack, idSequence, track->property));
            if (!track->sMml.empty())
                batch.AddReply(session,
                               std::make_shared<CCommandTrackChangeMml>(track->idTrack, track->sMml));
        }
    }
    for (const auto& idSequence : opened) {
        for (const auto& entry : solution.GetPortsOfSequence(idSequence)) {
            const auto& port = std::get<2>(entry);
            batch.AddReply(session, std::make_shared<CCommandCreatePort>(port->idPort, port->property));
            batch.AddReply(session, EncodeEventsOfPort(server.Db(), port->idPort, taken));
        }
    }
    return false;
}

bool OnSetSequenceTitle(CServer& server, const CSessionPtr&, const CCommandSetSequenceTitle& c,
                        CBatch& batch) {
    const auto stored = server.Db().GetSequence(c.idSequence);
    if (!stored) return true;
    P::CSequence property = *stored;
    property.sTitle = c.sTitle;
    if (!(property == *stored) && server.Db().UpdateSequence(c.idSequence, property))
        batch.Broadcast(
            std::make_shared<CCommandChangedSequenceProperty>(c.idSequence, property), kAll);
    return true;
}

bool OnCreateTrack(CServer& server, const CSessionPtr& session, const CCommandCreateTrack& c,
                   CBatch& batch) {
    if (RefusedNullId(server, session, c.idTrack, "Track")) return false;
    if (server.Db().CreateTrack(c.idTrack, c.idSequence, c.property))
        batch.Broadcast(
            std::make_shared<CCommandCreateTrack>(c.idTrack, c.idSequence, c.property),
            c.idSequence);
    return true;
}

bool OnSetTrackTitle(CServer& server, const CSessionPtr&, const CCommandSetTrackTitle& c,
                     CBatch& batch) {
    CSolutionDb::CTransaction scope(server.Db());
    const auto track = server.Db().GetTrack(c.idTrack);
    if (!track) {
        scope.Rollback();
        return false;
    }
    P::CTrack property = track->property;
    property.sTitle = c.sTitle;
    if (property == track->property || !server.Db().UpdateTrack(c.idTrack, property) ||
        !scope.Commit()) {
        scope.Rollback();
        return false;
    }
    batch.Broadcast(std::make_shared<CCommandChangedTrackProperty>(c.idTrack, property),
                    track->idSequence);
    return true;
}

bool OnTrackChangeMml(CServer& server, const CSessionPtr&, const CCommandTrackChangeMml& c,
                      CBatch& batch) {
    const auto [track, changed] = server.Db().ChangeMml(c.idTrack, c.sMml);
    if (!changed || !track) return false;
    batch.Broadcast(std::make_shared<CCommandTrackChangeMml>(c.idTrack, c.sMml), track->idSequence);
    return true;
}

bool OnSetPortEnable(CServer& server, const CSessionPtr&, const CCommandSetPortEnable& c,
                     CBatch& batch) {
    const auto port = server.Db().GetPort(c.idPort);
    if (!port) return true;
    P::CPort property = port->property;
    property.bEnable = c.bEnable;
    if (!(property == port->property) && server.Db().UpdatePort(c.idPort, property))
        batch.Broadcast(std::make_shared<CCommandChangedPortProperty>(c.idPort, property),
                        port->idSequence);
    return true;
}

bool OnPortChangeInstrument(CServer& server, const CSessionPtr&,
                            const CCommandPortChangeInstrument& c, CBatch& batch) {
    CSolutionDb::CTransaction scope(server.Db());
    const auto port = server.Db().GetPort(c.idPort);
    if (!port) {
        scope.Rollback();
        return false;
    }
    P::CPort property = port->property;
    property.sInstrument = c.sInstrument;
    property.nChannel = c.nChannel;
    if (property == port->property || !server.Db().UpdatePort(c.idPort, property) ||
        !scope.Commit()) {
        scope.Rollback();
        return false;
    }
    batch.Broadcast(std::make_shared<CCommandChangedPortProperty>(c.idPort, property),
                    port->idSequence);
    return true;
}

bool OnCreatePort(CServer& server, const CSessionPtr& session, const CCommandCreatePort& c,
                  CBatch& batch) {
    if (RefusedNullId(server, session, c.idPort, "Port")) return false;
    if (const auto track = server.Db().CreatePort(c.idPort, c.property))
        batch.Broadcast(std::make_shared<CCommandCreatePort>(c.idPort, c.property),
                        track->idSequence);
    return true;
}

bool OnCreateEvent(CServer& server, const CSessionPtr& session, const CCommandCreateEvent& c,
                   CBatch& batch) {
    for (const auto& e : c.events)
        if (e && RefusedNullId(server, session, e->idEvent, "Event")) return false;
    // InsertEvents commits (or undoes) the events as one transaction.
    std::vector<const P::CEventCommon*> skipped;
    const auto port = server.Db().InsertEvents(c.idPort, c.events, &skipped);
    if (!port) return false;
    // An event whose identifier was already taken kept the stored row, so it is not
    // announced: clients learn what the solution holds, not what was asked. With nothing
    // skipped the received command goes on as it is, not copied.
    if ((!skipped.empty() && skipped.size() == c.events.size()) || !batch.HasAudience(port->idSequence))
        return true;
    CPtr broadcast = skipped.empty() ? batch.Received(c) : nullptr;
    if (!broadcast)
        broadcast = std::make_shared<CCommandCreateEvent>(
            c.idPort, skipped.empty() ? c.events : CSolutionDb::Without(c.events, skipped));
    batch.Broadcast(broadcast, port->idSequence);
    return true;
}

bool OnTrackCompileMml(CServer& server, const CSessionPtr& session,
                       const CCommandTrackCompileMml& c, CBatch& batch) {
    CRStringList messages;
    if (const auto track = server.Db().GetTrack(c.idTrack)) {
        auto result = CMmlCompiler::Compile(server.Db(), c.idTrack);
        messages = std::move(result.vMessages);
        if (const auto& changed = result.changed) {
            const CRUid& seq = track->idSequence;
            if (!changed->setIdDeletedEvent.empty())
                batch.Broadcast(std::make_shared<CCommandDeleted>(CRUidSet{}, CRUidSet{}, CRUidSet{},
                                                                  changed->setIdDeletedEvent),
                                seq);
            auto property = [&changed](const CRUid& id) {
                const auto it = changed->mapPortProperty.find(id);
                return it == changed->mapPortProperty.end() ? P::CPort() : it->second;
            };
            for (const auto& id : changed->setIdCreatedPort)
                batch.Broadcast(std::make_shared<CCommandCreatePort>(id, property(id)), seq);
            for (const auto& id : changed->setIdChangedPort)
                batch.Broadcast(std::make_shared<CCommandChangedPortProperty>(id, property(id)), seq);
            for (const auto& [idPort, events] : changed->mapCreatedEvent)
                if (!events.empty())
                    batch.Broadcast(std::make_shared<CCommandCreateEvent>(idPort, events), seq);
        }
    }
    batch.AddReply(session, std::make_shared<CCommandTrackCompiledMml>(c.idTrack, std::move(messages)));
    return true;
}

bool OnLoadSmf(CServer& server, const CSessionPtr& session, const CCommandLoadSmf& c,
               CBatch& batch) {
    CRMsBase::OutputMessage(server.Senders(), "\r\n%s-> Request LoadSmf %dbyte.",
                            session->socket->GetRemoteAddressText(), static_cast<int>(c.vSmf.size()));
    auto result = ImportSmf(server.Db(), c.vSmf, c.idSequence, c.sInstrument, c.vIds);
    if (!result.bOk) return true;
    // Clients that have the sequence open learn of the new content as an open would send it.
    for (const auto& [idTrack, track] : result.vTracks)
        batch.Broadcast(std::make_shared<CCommandCreateTrack>(idTrack, c.idSequence, track),
                        c.idSequence);
    for (const auto& [idPort, port] : result.vPorts) {
        batch.Broadcast(std::make_shared<CCommandCreatePort>(idPort, port), c.idSequence);
        auto& events = result.mapEvents[idPort];
        batch.Broadcast(std::make_shared<CCommandCreateEvent>(idPort, std::move(events)),
                        c.idSequence);
    }
    return true;
}

bool OnExportSmf(CServer& server, const CSessionPtr& session, const CCommandExportSmf& c,
                 CBatch& batch) {
    // Streamed from storage into the score order and the writer: the sequence is never
    // loaded as a whole.
    CRBytes smf = ExportSmfFromStorage(server.Db(), c.idSequence);
    // Answered in every case, with the request's identifiers.
    batch.AddReply(session, std::make_shared<CCommandExportedSmf>(c.idRequest, c.idSequence, std::move(smf)));
    return false;
}

// Adapts a handler taking its concrete command class to the table's signature.
template <class TCommand>
std::pair<const uint16_t, CServer::CHandler> Entry(
    bool (*f)(CServer&, const CSessionPtr&, const TCommand&, CBatch&)) {
    return {TCommand::SerializeId(),
            [f](CServer& server, const CSessionPtr& session, const CBase& command, CBatch& batch) {
                return f(server, session, static_cast<const TCommand&>(command), batch);
            }};
}

}  // namespace

const std::map<uint16_t, CServer::CHandler>& CServer::HandlerTable() {
    static const std::map<uint16_t, CHandler> table = {
        Entry(&OnEcho),
        Entry(&OnExportSmf),
        Entry(&OnDelete),
        Entry(&OnCreateSequence),
        Entry(&OnOpenSequence),
        Entry(&OnSetSequenceTitle),
        Entry(&OnCreateTrack),
        Entry(&OnSetTrackTitle),
        Entry(&OnTrackChangeMml),
        Entry(&OnSetPortEnable),
        Entry(&OnPortChangeInstrument),
        Entry(&OnCreatePort),
        Entry(&OnCreateEvent),
        Entry(&OnTrackCompileMml),
        Entry(&OnLoadSmf),
    };
    return table;
}

}  // namespace DUve::Sequencer
