#include "midi/SmfImport.h"

#include <algorithm>

#include "midi/RSmf.h"
#include "runtime/RString.h"

namespace DUve {

using namespace CRSeq::Property;

namespace {

// Hands out the request's identifiers in order, then generated ones (kept in the list).
class CIdSupply {
public:
    explicit CIdSupply(const CRUidList& ids) : m_vIds(ids) {}
    CRUid Next() {
        if (m_nNext == m_vIds.size()) m_vIds.push_back(CRUid::Generate());
        return m_vIds[m_nNext++];
    }
    CRUidList& Ids() { return m_vIds; }

private:
    CRUidList m_vIds;
    size_t m_nNext = 0;
};

struct CEntry {
    uint8_t nChannel = 0;
    CListEvent events;
};

// The events of one chunk, per channel, with the channel-less ones merged in.
void ConvertChunk(const CRSmfTrackChunk& chunk, uint16_t division, CIdSupply& ids,
                  std::vector<CEntry>& entries) {
    std::map<uint8_t, CListEvent> mapChannel;
    CListEvent noChannel;
    for (const auto& event : chunk) {
        const CRUid id = ids.Next();
        const uint32_t step = SmfTicksToSteps(event->nTime, division);
        std::shared_ptr<const CEventBase> property;
        CListEvent* list = &noChannel;
        if (event->IsChannelEvent()) {
            list = &mapChannel[static_cast<uint8_t>(event->GetChannel())];
        }
        switch (event->GetKind()) {
            case CRSmfEvent::EKind::NoteOn: {
                const auto& note = static_cast<const CRSmfEventChNoteOn&>(*event);
                constexpr uint32_t kMissingNoteOffTicks = 48;
                const uint32_t ticks = chunk.FindNoteLength(note).value_or(kMissingNoteOffTicks);
                property = std::make_shared<const CEventNote>(note.nNote, note.nVelocity,
                                                              SmfTicksToSteps(ticks, division));
                break;
            }
            case CRSmfEvent::EKind::ProgramChange:
                property = std::make_shared<const CEventProgramChange>(
                    static_cast<const CRSmfEventChProgramChange&>(*event).nProgram);
                break;
            case CRSmfEvent::EKind::ControlChange: {
                const auto& cc = static_cast<const CRSmfEventChControlChange&>(*event);
                property = std::make_shared<const CEventControlChange>(cc.nControl, cc.nValue);
                break;
            }
            case CRSmfEvent::EKind::PitchWheel:
                property = std::make_shared<const CEventPitchBend>(
                    static_cast<const CRSmfEventChPitchWheel&>(*event).nBend);
                break;
            case CRSmfEvent::EKind::Meta: {
                const auto& meta = static_cast<const CRSmfEventMeta&>(*event);
                if (const auto tempo = meta.DecodeTempo()) {
                    property = std::make_shared<const CEventTempo>(*tempo);
                } else if (const auto ts = meta.DecodeTimeSignature()) {
                    property = std::make_shared<const CEventMeter>(ts->nBeats, ts->nBeatLength);
                }
                break;
            }
            case CRSmfEvent::EKind::Exclusive:
                property = std::make_shared<const CEventExclusive>(
                    static_cast<const CRSmfEventExclusive&>(*event).vData);
                break;
            case CRSmfEvent::EKind::NoteOff:
            case CRSmfEvent::EKind::PolyphonicKeyPressure:
            case CRSmfEvent::EKind::ChannelPressure:
                break;
        }
        if (property) list->Insert(std::make_shared<const CEventCommon>(id, step, property));
    }
    if (!noChannel.empty()) {
        if (mapChannel.empty()) {
            mapChannel[0] = std::move(noChannel);
        } else {
            // At equal steps the channel-less events stay in front.
            CListEvent& lowest = mapChannel.begin()->second;
            for (const auto& e : lowest) noChannel.Insert(e);
            lowest = std::move(noChannel);
        }
    }
    for (auto& [channel, list] : mapChannel) entries.push_back(CEntry{channel, std::move(list)});
}

CSmfImportResult Import(CSolutionDb& db, const std::vector<uint8_t>& smf, const CRUid& idSequence,
                        const std::u16string& sInstrument, const CRUidList& vIds) {
    CSmfImportResult result;
    CSolutionDb::CTransaction transaction(db);
    if (!db.GetSequence(idSequence)) return result;
    CRSmf file;
    if (!file.Read(smf) || file.GetDivision() == 0) return result;

    CIdSupply ids(vIds);
    std::vector<CEntry> entries;
    for (const auto& chunk : file.TrackChunks())
        ConvertChunk(*chunk, file.GetDivision(), ids, entries);

    const auto fail = [&] {
        transaction.Rollback();
        return CSmfImportResult{};
    };
    for (size_t i = 0; i < entries.size(); ++i) {
        CEntry& entry = entries[i];
        if (entry.events.empty()) continue;
        const CRUid idTrack = ids.Next();
        const CTrack track(Utf8ToUtf16(Format("Track %02d", static_cast<int>(i))));
        if (!db.CreateTrack(idTrack, idSequence, track)) return fail();
        const CRUid idPort = ids.Next();
        CPort port(idTrack, u"", sInstrument, entry.nChannel);
        if (!db.CreatePort(idPort, port)) return fail();
        // Identifiers from the caller's list may be taken already; what is reported is
        // what was stored.
        std::vector<const CEventCommon*> skipped;
        if (!db.InsertEvents(idPort, entry.events, &skipped)) return fail();
        result.vTracks.emplace_back(idTrack, track);
        result.vPorts.emplace_back(idPort, port);
        result.mapEvents.emplace(idPort, skipped.empty() ? std::move(entry.events)
                                                         : CSolutionDb::Without(entry.events, skipped));
    }
    if (!transaction.Commit()) return CSmfImportResult{};
    result.bOk = true;
    result.idSequence = idSequence;
    result.vIds = std::move(ids.Ids());
    return result;
}

}  // namespace

uint32_t SmfTicksToSteps(uint32_t ticks, uint16_t division) {
    if (division == 0) return 0;
    const uint64_t steps = uint64_t{ticks} * 480 / division;
    return steps > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(steps);
}

CSmfImportResult ImportSmf(CSolutionDb& db, const std::vector<uint8_t>& smf,
                           const CRUid& idSequence, const std::u16string& sInstrument,
                           const CRUidList& vIds) {
    // An exception leaves Import's transaction scope, which rolls it back.
    try {
        return Import(db, smf, idSequence, sInstrument, vIds);
    } catch (...) {
        return CSmfImportResult{};
    }
}

}  // namespace DUve
