// Which device plays which events: --device sends everything to one device; otherwise a
// port whose instrument names a device that accepts MIDI plays there, and every other
// port on the first device that accepts MIDI.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"

namespace DUve::Play {

struct CDeviceEntry {
    std::string sName;  // the display name, unique among the devices
    AudioDevice::EKind eKind = AudioDevice::EKind::MidiOut;
    bool bAcceptsMidi = false;
};

// "MIDI output", "VST", "audio output (default)", "audio output (JACK)".
std::string KindName(AudioDevice::EKind eKind);

// The registry's devices in its order (CControl::CIdInstances).
std::vector<CDeviceEntry> ListDevices();

class CDevicePlan {
public:
    // Fails with Cli::kUsage when `device` names no device or one that takes no MIDI (the
    // message lists the names), with kNoMidiDevice when no device accepts MIDI.
    CDevicePlan(const std::vector<CDeviceEntry>& vDevices,
                const std::optional<std::string>& device);

    // The device of a port whose instrument is sInstrument.
    const std::string& For(const std::string& sInstrument) const;
    // The device of the ports that name none; empty with --device.
    const std::string& Fallback() const { return m_sFallback; }

private:
    std::vector<CDeviceEntry> m_vDevices;
    std::optional<std::string> m_forced;
    std::string m_sFallback;
};

}  // namespace DUve::Play
