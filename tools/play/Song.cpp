#include "tools/play/Song.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "midi/RMidiPlayer.h"
#include "midi/RSmf.h"
#include "midi/SmfImport.h"
#include "model/RSeqSolution.h"
#include "model/SolutionDb.h"
#include "runtime/RString.h"
#include "App/cli/Cli.h"
#include "runtime/RForeignOutput.h"

namespace DUve::Play {

namespace P = CRSeq::Property;

std::map<uint8_t, std::u16string> ChannelInstruments(const std::vector<uint8_t>& vSmf) {
    constexpr uint8_t kInstrumentName = 0x04;
    constexpr uint8_t kDeviceName = 0x09;
    std::map<uint8_t, std::u16string> names;
    CRSmf file;
    if (!file.Read(vSmf)) return names;
    for (const auto& chunk : file.TrackChunks()) {
        std::u16string sDevice, sInstrument;
        std::set<uint8_t> channels;
        for (const CRSmfEvent* e : *chunk) {
            if (e->IsChannelEvent()) {
                channels.insert(static_cast<uint8_t>(e->GetChannel()));
            } else if (e->GetKind() == CRSmfEvent::EKind::Meta) {
                const auto& meta = static_cast<const CRSmfEventMeta&>(*e);
                const std::string_view text(reinterpret_cast<const char*>(meta.vData.data()),
                                            meta.vData.size());
                if (meta.nType == kDeviceName && sDevice.empty()) sDevice = Utf8ToUtf16(text);
                if (meta.nType == kInstrumentName && sInstrument.empty())
                    sInstrument = Utf8ToUtf16(text);
            }
        }
        const std::u16string& sName = sDevice.empty() ? sInstrument : sDevice;
        if (sName.empty()) continue;
        for (uint8_t ch : channels) names.emplace(ch, sName);
    }
    return names;
}

std::map<uint8_t, std::u16string> SequenceInstruments(const Cli::CMirror& mirror,
                                                      const CRUid& idSequence) {
    std::map<uint8_t, std::u16string> names;
    std::set<uint8_t> conflicting;
    for (const auto& [idPort, port] : mirror.ports) {
        const auto track = mirror.tracks.find(port.idTrack);
        if (!port.bEnable || track == mirror.tracks.end() || track->second.idSequence != idSequence)
            continue;
        const uint8_t ch = port.nChannel & 0x0F;
        const auto [it, bNew] = names.emplace(ch, port.sInstrument);
        if (!bNew && it->second != port.sInstrument) conflicting.insert(ch);
    }
    for (uint8_t ch : conflicting) names.erase(ch);
    return names;
}

std::pair<std::unique_ptr<CRSeqSolution>, CRUid> ImportSong(const std::vector<uint8_t>& vSmf,
                                                            const std::filesystem::path& folder) {
    CSolutionDb db;
    if (!db.Open(folder / "song.db"))
        Cli::Fail(Cli::kFailed, "cannot make a database in " + folder.string());
    const CRUid idSequence = CRUid::Generate();
    if (!db.CreateSequence(idSequence, P::CSequence(u"palvorplay")))
        Cli::Fail(Cli::kFailed, "cannot write the database in " + folder.string());
    const auto imported = ImportSmf(db, vSmf, idSequence, u"", {});
    if (!imported.bOk) Cli::Fail(Cli::kUsage, "not a readable MIDI file");
    auto solution = CRSeqSolution::LoadSequences(db, {idSequence});
    if (!solution) Cli::Fail(Cli::kFailed, "cannot read the imported song back");
    if (!db.Close())
        std::fprintf(OwnStderr(), "palvorplay: the temporary database did not close cleanly\n");
    return {std::move(solution), idSequence};
}

CSong LoadSong(const std::vector<uint8_t>& vSmf, const std::filesystem::path& folder,
               const std::map<uint8_t, std::u16string>& instruments, double dTempoScale,
               const CDeviceOf& deviceOf) {
    const auto [solution, idSequence] = ImportSong(vSmf, folder);
    CSong song;
    bool bTempoAtStart = false;
    uint64_t nEnd = 0;
    for (const auto& [track, sequence, port] : solution->GetPortsOfSequence(idSequence)) {
        if (!port || !port->property.bEnable) continue;
        P::CPort property = port->property;
        const auto named = instruments.find(property.nChannel);
        const std::string sDevice =
            deviceOf(named == instruments.end() ? property.sInstrument : named->second);
        property.sInstrument = Utf8ToUtf16(sDevice);
        bool bUsed = false;
        for (const auto& event : solution->GetEventsOfPort(port->idPort)) {
            if (!event || !event->property) continue;
            const P::CEventBase& e = *event->property;
            if (const auto* meter = dynamic_cast<const P::CEventMeter*>(&e)) {
                song.meters.Add(event->nStep, meter->nBeats, meter->nBeatLength);
                continue;
            }
            if (const auto* tempo = dynamic_cast<const P::CEventTempo*>(&e)) {
                const double dTempo = tempo->dTempo * dTempoScale;
                if (!song.tempo.Insert(event->nStep, dTempo)) continue;  // not a usable tempo
                bTempoAtStart = bTempoAtStart || event->nStep == 0;
                song.records.push_back(std::make_shared<CRMidiPlayer::Request::CEventTempo>(
                    true, event->nStep, dTempo));
                continue;
            }
            auto record = CRMidiPlayer::MakeRecord(true, property, event->nStep, e);
            if (!record) continue;
            song.records.push_back(std::move(record));
            bUsed = true;
            uint64_t nEventEnd = event->nStep;
            if (const auto* note = dynamic_cast<const P::CEventNote*>(&e))
                nEventEnd += note->nLength;
            nEnd = std::max(nEnd, nEventEnd);
        }
        if (bUsed &&
            std::find(song.vDevices.begin(), song.vDevices.end(), sDevice) == song.vDevices.end())
            song.vDevices.push_back(sDevice);
    }
    if (!bTempoAtStart && dTempoScale != 1.0) {
        const double dTempo = CRTempoTrack::kDefaultTempo * dTempoScale;
        song.tempo.Insert(0, dTempo);
        song.records.insert(song.records.begin(),
                            std::make_shared<CRMidiPlayer::Request::CEventTempo>(true, 0, dTempo));
    }
    song.nEndStep = static_cast<uint32_t>(std::min<uint64_t>(nEnd, UINT32_MAX));
    return song;
}

CTempFolder::CTempFolder() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "palvorplay-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        Cli::Fail(Cli::kFailed, "cannot make a temporary folder in " + base.string());
    m_path = pattern;
}

CTempFolder::~CTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
    if (ec)
        std::fprintf(OwnStderr(), "palvorplay: cannot remove %s: %s\n", m_path.c_str(),
                     ec.message().c_str());
}

}  // namespace DUve::Play
