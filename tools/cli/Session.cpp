#include "tools/cli/Session.h"

#include "runtime/RString.h"

namespace DUve::Cli {

using namespace Sequencer::CProtocol;

void CMirror::Apply(const CPtr& c) {
    if (auto s = std::dynamic_pointer_cast<const CCommandCreateSequence>(c)) {
        sequences[s->idSequence] = s->property;
    } else if (auto t = std::dynamic_pointer_cast<const CCommandCreateTrack>(c)) {
        tracks[t->idTrack] = {t->idSequence, t->property, tracks[t->idTrack].sMml};
    } else if (auto m = std::dynamic_pointer_cast<const CCommandTrackChangeMml>(c)) {
        tracks[m->idTrack].sMml = m->sMml;
    } else if (auto p = std::dynamic_pointer_cast<const CCommandCreatePort>(c)) {
        ports[p->idPort] = p->property;
    } else if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(c)) {
        for (const auto& ev : e->events) events[ev->idEvent] = {e->idPort, ev};
    }
}

void CSession::Connect() {
    if (!m_client.Connect(m_connection.sHost, m_connection.nPort))
        Fail(kConnection, m_client.Error());
    auto greeting = m_client.Register(m_connection.nVisitor, Utf8ToUtf16(m_connection.sToken),
                                      m_connection.nSolution, m_connection.timeout);
    if (!greeting) Fail(kConnection, m_client.Error());
    for (const auto& c : *greeting) {
        m_mirror.Apply(c);
        if (auto s = std::dynamic_pointer_cast<const CCommandCreateSequence>(c))
            m_vOrder.push_back(s->idSequence);
    }
}

CSession::CCommands CSession::Request(const CCommands& commands) {
    auto got = m_client.Request(commands, m_connection.timeout);
    if (!got) Fail(kConnection, m_client.Error());
    for (const auto& c : *got) m_mirror.Apply(c);
    return *got;
}

CSession::CCommands CSession::Open(CRUidSet ids) {
    if (ids.empty())
        for (const auto& [id, _] : m_mirror.sequences) ids.insert(id);
    if (ids.empty()) return {};
    return Request({std::make_shared<CCommandOpenSequence>(ids)});
}

std::vector<uint8_t> CSession::ExportSmf(const CRUid& idSequence) {
    if (!m_mirror.sequences.count(idSequence))
        Fail(kUnknownId, "unknown sequence " + idSequence.ToText());
    const CRUid request = CRUid::Generate();
    const auto got = Request({std::make_shared<CCommandExportSmf>(request, idSequence)});
    std::shared_ptr<const CCommandExportedSmf> answer;
    for (const auto& c : got)
        if (auto e = std::dynamic_pointer_cast<const CCommandExportedSmf>(c);
            e && e->idRequest == request)
            answer = e;
    if (!answer) Fail(kFailed, "the server did not answer the export");
    if (answer->vSmf.empty()) Fail(kFailed, "the server could not render the sequence");
    return answer->vSmf;
}

}  // namespace DUve::Cli
