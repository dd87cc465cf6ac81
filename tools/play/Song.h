// A song made ready for the MIDI player from a Standard MIDI File: the file is imported
// into a temporary solution as the server imports files, read back as the server reads a
// sequence for its player, and turned into score input records whose instruments are the
// devices that play them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "midi/RTempoTrack.h"
#include "model/RSeqSolution.h"
#include "runtime/RThreadMessage.h"
#include "tools/cli/Session.h"
#include "tools/play/PlayStatus.h"

namespace DUve::Play {

struct CSong {
    CRThreadMessage::CBatch records;  // score input records, in port order
    CRTempoTrack tempo;               // the tempo map the records give the player
    CMeterMap meters;
    uint32_t nEndStep = 0;              // where the last sounding event ends
    std::vector<std::string> vDevices;  // the devices the records name, in order of first use

    double EndSeconds() const { return tempo.StepToSeconds(nEndStep); }
};

// Instrument names per MIDI channel from a file's device-name (FF 09) and instrument-name
// (FF 04) metas: each names the channels of the events of its track chunk; a device name
// before an instrument name, the first name of a channel before later ones. Nothing for a
// file that cannot be read.
std::map<uint8_t, std::u16string> ChannelInstruments(const std::vector<uint8_t>& vSmf);

// Instrument names per MIDI channel of a server's sequence: the instrument of its enabled
// ports on that channel, when they all name the same one.
std::map<uint8_t, std::u16string> SequenceInstruments(const Cli::CMirror& mirror,
                                                      const CRUid& idSequence);

// The device that plays a port of this instrument name.
using CDeviceOf = std::function<std::string(const std::u16string& sInstrument)>;

// Imports the file into a new solution database in `folder` and builds the song: every
// tempo multiplied by dTempoScale (the default tempo too, when the file starts without
// one), each port's events sent to deviceOf(the instrument of its channel). Fails with
// Cli::kUsage when the file is not a readable MIDI file, Cli::kFailed when the database
// cannot be made.
CSong LoadSong(const std::vector<uint8_t>& vSmf, const std::filesystem::path& folder,
               const std::map<uint8_t, std::u16string>& instruments, double dTempoScale,
               const CDeviceOf& deviceOf);

// Imports the file into a new solution database in `folder`: the solution read back from it
// and the sequence the file went into. Fails as LoadSong does.
std::pair<std::unique_ptr<CRSeqSolution>, CRUid> ImportSong(const std::vector<uint8_t>& vSmf,
                                                            const std::filesystem::path& folder);

// A new folder under the system's temporary folder, removed with everything in it when
// this goes. Fails with Cli::kFailed when it cannot be made.
class CTempFolder {
public:
    CTempFolder();
    ~CTempFolder();
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace DUve::Play
