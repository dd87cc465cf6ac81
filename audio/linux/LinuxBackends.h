// The program's devices on Linux: MIDI output ports of the ALSA sequencer and of JACK,
// VST 2 plug-ins found in the plug-in folders, the default audio output (PulseAudio,
// PipeWire or ALSA) and the reachable JACK servers as audio outputs.
#pragma once

#include <string>
#include <vector>

namespace DUve::AudioDevice::Linux {

struct CInstallReport {
    bool bInstalled = false;             // false when a device registry was already in use
    std::vector<std::string> vSearched;  // what was looked for, one line per place, for people
};

// Installs the Linux backends; call once, before any device registry is used.
CInstallReport InstallBackends();

}  // namespace DUve::AudioDevice::Linux
