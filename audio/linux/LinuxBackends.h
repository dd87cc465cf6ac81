// The program's devices on Linux: MIDI output ports of the ALSA sequencer and of JACK,
// VST 2 plug-ins found in the plug-in folders, the default audio output (PulseAudio,
// PipeWire or ALSA) and the reachable JACK servers as audio outputs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Linux {

class CAlsaSeqMidiOut;
class CJackMidiOut;

// MIDI outputs of both systems under one numbering: the ALSA sequencer's ports first,
// then JACK's.
class CLinuxMidiOut : public IMidiOutBackend {
public:
    CLinuxMidiOut(std::shared_ptr<CAlsaSeqMidiOut> alsa, std::shared_ptr<CJackMidiOut> jack);
    std::vector<CMidiOutPortInfo> Enumerate() override;
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override;

private:
    std::shared_ptr<CAlsaSeqMidiOut> m_alsa;
    std::shared_ptr<CJackMidiOut> m_jack;
    uint32_t m_nAlsa = 0;
};

struct CInstallReport {
    bool bInstalled = false;             // false when a device registry was already in use
    std::vector<std::string> vSearched;  // what was looked for, one line per place, for people
};

// Installs the Linux backends; call once, before any device registry is used. Scans no
// plug-in: that happens when the registry is built (see AudioDevice::CDeviceDiscovery).
CInstallReport InstallBackends();

}  // namespace DUve::AudioDevice::Linux
