#include "tools/render/RollSources.h"

#include <algorithm>
#include <tuple>

#include "runtime/RString.h"

namespace DUve::Render {

CRoll RollOfMirror(const Cli::CMirror& mirror, const CRUid& idSequence) {
    struct CEntry {
        const Cli::CMirror::CTrack* track;
        const CRSeq::Property::CPort* port;
        CRUid idPort;
    };
    std::vector<CEntry> entries;
    for (const auto& [idPort, port] : mirror.ports) {
        const auto track = mirror.tracks.find(port.idTrack);
        if (track != mirror.tracks.end() && track->second.idSequence == idSequence)
            entries.push_back({&track->second, &port, idPort});
    }
    std::sort(entries.begin(), entries.end(), [](const CEntry& a, const CEntry& b) {
        return std::tie(a.track->property.sTitle, a.port->sTitle, a.port->nChannel, a.idPort) <
               std::tie(b.track->property.sTitle, b.port->sTitle, b.port->nChannel, b.idPort);
    });
    CRoll roll;
    std::map<CRUid, size_t> index;
    for (const auto& e : entries)
        index[e.idPort] = roll.AddPort({Utf16ToUtf8(e.track->property.sTitle),
                                        Utf16ToUtf8(e.port->sTitle),
                                        Utf16ToUtf8(e.port->sInstrument)});
    for (const auto& [idEvent, entry] : mirror.events) {
        const auto& [idPort, event] = entry;
        const auto at = index.find(idPort);
        if (at != index.end() && event && event->property)
            roll.AddEvent(at->second, event->nStep, *event->property);
    }
    return roll;
}

CRoll RollOfSolution(CRSeqSolution& solution, const CRUid& idSequence) {
    CRoll roll;
    for (const auto& [track, sequence, port] : solution.GetPortsOfSequence(idSequence)) {
        if (!track || !port) continue;
        const size_t n = roll.AddPort({Utf16ToUtf8(track->property.sTitle),
                                       Utf16ToUtf8(port->property.sTitle),
                                       Utf16ToUtf8(port->property.sInstrument)});
        for (const auto& event : solution.GetEventsOfPort(port->idPort))
            if (event && event->property) roll.AddEvent(n, event->nStep, *event->property);
    }
    return roll;
}

}  // namespace DUve::Render
