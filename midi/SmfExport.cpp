#include "midi/SmfExport.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <utility>

#include "audio/AudioDevice.h"
#include "midi/RSmf.h"
#include "midi/Score.h"
#include "model/EventStream.h"
#include "model/RSeqSolution.h"
#include "model/SolutionDb.h"

namespace DUve {

namespace {

namespace P = CRSeq::Property;
using MidiPlayer::CScoreStream;

struct CPortInfo {
    uint8_t nChannel;
    bool bSink;
};

// One tempo event of the step being read.
struct CTempo {
    size_t nPort;
    double dTempo;
};

// The property of a stored row, read in place (no allocation) and handed to `f` as its
// concrete kind; false when the row holds no event property the export plays.
template <class F>
bool VisitProperty(const uint8_t* p, size_t n, F&& f) {
    if (!p || n < 2) return false;
    try {
        CRArchive ar(p, n);
        const uint16_t id = ar.ReadU16();
        if (id == P::CEventNote::SerializeId()) {
            f(P::CEventNote(ar));
        } else if (id == P::CEventControlChange::SerializeId()) {
            f(P::CEventControlChange(ar));
        } else if (id == P::CEventProgramChange::SerializeId()) {
            f(P::CEventProgramChange(ar));
        } else if (id == P::CEventPitchBend::SerializeId()) {
            f(P::CEventPitchBend(ar));
        } else if (id == P::CEventExclusive::SerializeId()) {
            f(P::CEventExclusive(ar));
        } else if (id == P::CEventTempo::SerializeId()) {
            f(P::CEventTempo(ar));
        } else {
            return false;  // meter events and anything else do not sound
        }
        return true;
    } catch (const std::exception&) {
        return false;  // a property that cannot be read is no event, as for the database
    }
}

}  // namespace

// ---- the device registry

struct CRegistrySinks::CInner {
    std::map<std::u16string, AudioDevice::CDevicePtr> mapDevices;
};

CRegistrySinks::CRegistrySinks() : m_pInner(std::make_shared<CInner>()) {}
CRegistrySinks::~CRegistrySinks() = default;

bool CRegistrySinks::operator()(const std::u16string& sInstrument) {
    const auto found = m_pInner->mapDevices.find(sInstrument);
    if (found != m_pInner->mapDevices.end()) return found->second != nullptr;
    AudioDevice::CDevicePtr device;
    const auto id = AudioDevice::CControl::CIdInstances::Get().Find(sInstrument);
    if (id && AudioDevice::CControl::AcceptsMidi(*id)) device = id->GetDevice(true);
    const bool bSink = device != nullptr;
    m_pInner->mapDevices.emplace(sInstrument, std::move(device));
    return bSink;
}

// ---- export

std::vector<uint8_t> ExportSmfFromStorage(CSolutionDb& db, const CRUid& idSequence,
                                          CHasMidiSink hasSink) {
    if (!hasSink) hasSink = CRegistrySinks();
    // The outline decides which ports count, in which order, as a loaded sequence has them.
    CRSeqSolution outline;
    CRSeqSolution::LoadSequenceOutline(outline, db, idSequence);
    CRUidSet taken;  // an event cannot take the identifier of another item
    if (outline.FindSequence(idSequence)) taken.insert(idSequence);
    for (const auto& track : outline.GetTracksOfSequence(idSequence)) taken.insert(track->idTrack);
    std::vector<CRUid> ports;
    std::vector<CPortInfo> info;
    for (const auto& [track, sequence, port] : outline.GetPortsOfSequence(idSequence)) {
        taken.insert(port->idPort);
        if (!port->property.bEnable) continue;
        ports.push_back(port->idPort);
        info.push_back({uint8_t(port->property.nChannel & 0x0F), hasSink(port->property.sInstrument)});
    }

    CEventStream stream(db, ports);
    CScoreStream score;
    CRSmfChunkWriter writer;
    std::vector<uint8_t> bytes;
    const auto emit = [&](const CScoreStream::CEntry& e) {
        bytes.clear();
        e.AppendBytes(bytes);
        writer.AddEvent(e.nStep, bytes.data(), bytes.size());
    };
    // Tempo events of one step go before its other events, in port order.
    std::vector<CTempo> tempos;
    uint32_t nStep = 0;
    const auto writeTempos = [&] {
        std::stable_sort(tempos.begin(), tempos.end(),
                         [](const CTempo& a, const CTempo& b) { return a.nPort < b.nPort; });
        for (const CTempo& t : tempos) writer.Add(*CRSmfEventMeta::MakeTempo(nStep, t.dTempo));
        tempos.clear();
    };

    CEventStream::CRow row;
    bool bFirst = true;
    while (stream.Next(row)) {
        if (bFirst || row.nStep != nStep) {
            writeTempos();
            score.EmitBefore(row.nStep, emit);
            nStep = row.nStep;
            bFirst = false;
        }
        if (taken.count(row.idEvent)) continue;
        const CPortInfo& port = info[row.nPort];
        const uint8_t ch = port.nChannel;
        VisitProperty(row.pData, row.nData, [&](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, P::CEventNote>) {
                score.AddNote(row.nStep, port.bSink, ch, e.nNote, e.nVelocity, e.nLength);
            } else if constexpr (std::is_same_v<T, P::CEventProgramChange>) {
                const uint8_t b[2] = {uint8_t(0xC0 | ch), uint8_t(e.nProgram & 0x7F)};
                score.AddData(row.nStep, port.bSink, b, 2);
            } else if constexpr (std::is_same_v<T, P::CEventControlChange>) {
                const uint8_t b[3] = {uint8_t(0xB0 | ch), uint8_t(e.nControl & 0x7F),
                                      uint8_t(e.nValue & 0x7F)};
                score.AddData(row.nStep, port.bSink, b, 3);
            } else if constexpr (std::is_same_v<T, P::CEventPitchBend>) {
                const int v = int(e.nBend) + 8192;
                const uint8_t b[3] = {uint8_t(0xE0 | ch), uint8_t(v & 0x7F), uint8_t((v >> 7) & 0x7F)};
                score.AddData(row.nStep, port.bSink, b, 3);
            } else if constexpr (std::is_same_v<T, P::CEventExclusive>) {
                score.AddSysEx(row.nStep, port.bSink, std::vector<uint8_t>(e.vData.begin(), e.vData.end()));
            } else if constexpr (std::is_same_v<T, P::CEventTempo>) {
                // The tempo map refuses what is not a positive finite tempo.
                if (e.dTempo > 0 && std::isfinite(e.dTempo)) tempos.push_back({row.nPort, e.dTempo});
            }
        });
    }
    writeTempos();
    score.EmitBefore(UINT64_MAX, emit);
    return writer.Finish();
}

}  // namespace DUve
