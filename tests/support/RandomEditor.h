// Test helper: random editing sessions. CView is what a client knows of a solution, built
// only from the commands the server sends it; CRandomEditor makes random edits (valid and
// invalid, on live, deleted and unknown identifiers).
#pragma once

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "server/Protocol.h"
#include "server/RSeqClient.h"

namespace PalvorTest {

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;

// What a client knows of the solution, built from the commands it receives.
struct CView {
    struct CTrackRow {
        CRUid idSequence;
        std::u16string sTitle, sMml;
        bool operator==(const CTrackRow&) const = default;
    };
    struct CPortRow {
        CRUid idTrack;
        std::u16string sTitle, sInstrument;
        int nChannel;
        bool bEnable;
        bool operator==(const CPortRow&) const = default;
    };
    struct CEventRow {
        CRUid idPort;
        uint32_t nStep;
        std::vector<uint8_t> vProperty;
        bool operator==(const CEventRow&) const = default;
    };
    std::map<CRUid, std::u16string> sequences;
    std::map<CRUid, CTrackRow> tracks;
    std::map<CRUid, CPortRow> ports;
    std::map<CRUid, CEventRow> events;

    void SetPort(const CRUid& id, const P::CPort& p) {
        ports[id] = {p.idTrack, p.sTitle, p.sInstrument, p.nChannel, p.bEnable};
    }
    void DropPort(const CRUid& id) {
        std::erase_if(events, [&](const auto& e) { return e.second.idPort == id; });
        ports.erase(id);
    }
    void DropTrack(const CRUid& id) {
        std::vector<CRUid> gone;
        for (const auto& [idPort, port] : ports)
            if (port.idTrack == id) gone.push_back(idPort);
        for (const auto& idPort : gone) DropPort(idPort);
        tracks.erase(id);
    }
    void DropSequence(const CRUid& id) {
        std::vector<CRUid> gone;
        for (const auto& [idTrack, track] : tracks)
            if (track.idSequence == id) gone.push_back(idTrack);
        for (const auto& idTrack : gone) DropTrack(idTrack);
        sequences.erase(id);
    }

    void Apply(const CBase& c) {
        if (auto p = dynamic_cast<const CCommandCreateSequence*>(&c)) {
            sequences[p->idSequence] = p->property.sTitle;
        } else if (auto p = dynamic_cast<const CCommandChangedSequenceProperty*>(&c)) {
            sequences[p->idSequence] = p->property.sTitle;
        } else if (auto p = dynamic_cast<const CCommandCreateTrack*>(&c)) {
            auto& row = tracks[p->idTrack];
            row.idSequence = p->idSequence;
            row.sTitle = p->property.sTitle;
        } else if (auto p = dynamic_cast<const CCommandChangedTrackProperty*>(&c)) {
            tracks[p->idTrack].sTitle = p->property.sTitle;
        } else if (auto p = dynamic_cast<const CCommandTrackChangeMml*>(&c)) {
            tracks[p->idTrack].sMml = p->sMml;
        } else if (auto p = dynamic_cast<const CCommandCreatePort*>(&c)) {
            SetPort(p->idPort, p->property);
        } else if (auto p = dynamic_cast<const CCommandChangedPortProperty*>(&c)) {
            SetPort(p->idPort, p->property);
        } else if (auto p = dynamic_cast<const CCommandCreateEvent*>(&c)) {
            for (const auto& e : p->events)
                events[e->idEvent] = {p->idPort, e->nStep, P::CSerialize::SaveObject(*e->property)};
        } else if (auto p = dynamic_cast<const CCommandDeleted*>(&c)) {
            for (const auto& id : p->setSequence) DropSequence(id);
            for (const auto& id : p->setTrack) DropTrack(id);
            for (const auto& id : p->setPort) DropPort(id);
            for (const auto& id : p->setEvent) events.erase(id);
        }
    }
    void Apply(const CRSeqClient::CCommands& commands) {
        for (const auto& c : commands) Apply(*c);
    }
};

// What differs between two maps, briefly (identifiers in text form): a failure names the
// rows instead of printing both maps whole.
template <class TMap>
inline std::string Diff(const TMap& a, const TMap& b) {
    std::string out;
    size_t n = 0;
    for (const auto& [id, row] : a) {
        const auto it = b.find(id);
        if (it == b.end() || !(it->second == row))
            out += (it == b.end() ? " only-left:" : " differs:") + id.ToText(), ++n;
    }
    for (const auto& [id, row] : b)
        if (!a.count(id)) out += " only-right:" + id.ToText(), ++n;
    return std::to_string(n) + " rows" + out;
}

// Opens every sequence the view knows of and takes in what the server sends for it.
inline bool OpenEverything(CRSeqClient& client, CView& view) {
    CRUidSet all;
    for (const auto& [id, title] : view.sequences) all.insert(id);
    const auto opened = client.Request({std::make_shared<CCommandOpenSequence>(all)});
    if (opened) view.Apply(*opened);
    return opened.has_value();
}

inline const std::vector<std::u16string> kMml = {
    u"",
    u"declare port p = synth:0; port(p) c d e",
    u"declare port p = synth:0; declare port q = organ:1;\nport(p) t120 @3 c d e port(q) l8 c c",
    u"declare port p = synth:2; port(p) o5 l16 c c r c",
    u"declare port MELODY = Synth:3;\nport(MELODY) o4 l4 cde",
    u"port(nowhere) c",     // an undeclared port: the compile fails
    u"declare port p = ;",  // a syntax error
};

class CRandomEditor {
public:
    explicit CRandomEditor(uint32_t seed) : m_rng(seed) {}

    // One random edit as a frame of commands.
    CRSeqClient::CCommands Next() {
        size_t op = Below(17);  // building up is likelier than the rest
        if (op >= 12) op = std::array<size_t, 5>{2, 4, 5, 6, 9}[op - 12];
        switch (op) {
            case 0: {
                const CRUid id = Pick(m_sequences, 4);
                return {std::make_shared<CCommandCreateSequence>(id, P::CSequence(Title())),
                        std::make_shared<CCommandOpenSequence>(CRUidSet{id})};
            }
            case 1: return {std::make_shared<CCommandSetSequenceTitle>(Pick(m_sequences, 8), Title())};
            case 2: return {std::make_shared<CCommandCreateTrack>(Pick(m_tracks, 3), Pick(m_sequences, 8),
                                                                  P::CTrack(Title()))};
            case 3: return {std::make_shared<CCommandSetTrackTitle>(Pick(m_tracks, 8), Title())};
            case 4:
                return {std::make_shared<CCommandTrackChangeMml>(Pick(m_tracks, 8), kMml[Below(kMml.size())])};
            case 5: return {std::make_shared<CCommandTrackCompileMml>(Pick(m_tracks, 8))};
            case 6:
                return {std::make_shared<CCommandCreatePort>(
                    Pick(m_ports, 3), P::CPort(Pick(m_tracks, 8), Title(), u"synth", uint8_t(Below(16))))};
            case 7: return {std::make_shared<CCommandSetPortEnable>(Pick(m_ports, 8), Below(2) == 0)};
            case 8:
                return {std::make_shared<CCommandPortChangeInstrument>(Pick(m_ports, 8), Title(),
                                                                       uint8_t(Below(16)))};
            case 9: {
                P::CListEvent list;  // mostly new identifiers, sometimes one already used
                for (size_t i = 0, n = 1 + Below(5); i < n; ++i) {
                    const uint32_t step = static_cast<uint32_t>(Below(4)) * 480u;
                    std::shared_ptr<const P::CEventBase> property;
                    if (Below(2))
                        property = std::make_shared<P::CEventNote>(uint8_t(60 + Below(12)), 100, 240);
                    else
                        property = std::make_shared<P::CEventControlChange>(7, uint8_t(Below(128)));
                    const CRUid id = !m_events.empty() && Below(8) == 0 ? m_events[Below(m_events.size())]
                                                                         : CRUid::Generate();
                    list.Insert(std::make_shared<const P::CEventCommon>(id, step, property));
                }
                return {std::make_shared<CCommandCreateEvent>(Pick(m_ports, 8), std::move(list))};
            }
            case 10: {
                // Two notes on channel 1 in a format 0 file; the import takes its
                // identifiers from the list, which may run short.
                static const CRBytes kSmf = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0,
                                             'M', 'T', 'r', 'k', 0, 0, 0, 22,
                                             0x00, 0x90, 0x3C, 0x64, 0x83, 0x60, 0x80, 0x3C, 0x40,
                                             0x00, 0x91, 0x3E, 0x64, 0x83, 0x60, 0x81, 0x3E, 0x40,
                                             0x00, 0xFF, 0x2F, 0x00};
                CRUidList ids;
                for (size_t i = 0, n = Below(8); i < n; ++i) ids.push_back(CRUid::Generate());
                return {std::make_shared<CCommandLoadSmf>(kSmf, Pick(m_sequences, 8), u"synth", ids)};
            }
            default: {
                CRUidSet ids;
                for (size_t i = 0, n = 1 + Below(3); i < n; ++i) {
                    // Sequences rarely, or little would be left.
                    const size_t kind = Below(10) == 0 ? 0 : 1 + Below(3);
                    const auto& pool = Below(4) ? m_live[kind] : (kind == 1 ? m_tracks : kind == 2 ? m_ports : kind == 3 ? m_events : m_sequences);
                    if (!pool.empty()) ids.insert(pool[Below(pool.size())]);
                }
                ids.insert(CRUid::Generate());  // unknown ids are ignored
                return {std::make_shared<CCommandDelete>(ids)};
            }
        }
    }
    // The identifiers that are alive now, as the client was told.
    void Learn(const CView& view) {
        auto keys = [](const auto& map, std::vector<CRUid>& live, std::vector<CRUid>& ever) {
            live.clear();
            for (const auto& [id, row] : map) {
                live.push_back(id);
                if (std::find(ever.begin(), ever.end(), id) == ever.end()) ever.push_back(id);
            }
        };
        keys(view.sequences, m_live[0], m_sequences);
        keys(view.tracks, m_live[1], m_tracks);
        keys(view.ports, m_live[2], m_ports);
        keys(view.events, m_live[3], m_events);
    }

private:
    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    std::u16string Title() {
        std::u16string title = u"t";
        title += char16_t(u'a' + Below(26));
        return title;
    }
    // Mostly an identifier that is alive, sometimes one that was deleted or never stored,
    // now and then (one in `newEvery`) a new one, rarely one nobody ever used.
    CRUid Pick(std::vector<CRUid>& ever, size_t newEvery) {
        const auto& live = m_live[&ever == &m_sequences ? 0 : &ever == &m_tracks ? 1 : &ever == &m_ports ? 2 : 3];
        if (ever.empty() || Below(newEvery) == 0) {
            ever.push_back(CRUid::Generate());
            return ever.back();
        }
        const size_t r = Below(20);
        if (r == 0) return CRUid::Generate();
        if (r < 4 || live.empty()) return ever[Below(ever.size())];
        return live[Below(live.size())];
    }

    std::mt19937 m_rng;
    std::vector<CRUid> m_sequences, m_tracks, m_ports, m_events;
    std::vector<CRUid> m_live[4];
};

}  // namespace PalvorTest
