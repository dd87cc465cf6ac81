// The ALSA sequencer as a MIDI output backend: every port another client offers for
// writing is an output. Each open port has its own sequencer client and a queue on the
// system clock, so messages are handed over ahead and delivered at their stamps.
#pragma once

#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Linux {

// Sends the ALSA library's own error reports to the developer trace.
void QuietAlsa();

class CAlsaSeqMidiOut : public IMidiOutBackend {
public:
    CAlsaSeqMidiOut();
    std::vector<CMidiOutPortInfo> Enumerate() override;
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override;
    // Empty when the sequencer answered; otherwise why it did not.
    const std::string& Unavailable() const { return m_sUnavailable; }

    struct CPort {
        int nClient = 0;
        int nPort = 0;
        std::string sName;  // "client name:port name"
    };

private:
    std::vector<CPort> m_ports;
    std::string m_sUnavailable;
};

}  // namespace DUve::AudioDevice::Linux
