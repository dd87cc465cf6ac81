// The machine's sound outputs: the PulseAudio (or PipeWire) server's sinks, its default
// first, named "Pulse " and their description as RtAudio named them, then RtAudio's ALSA
// devices. The sinks play through a stream of our own over libpulse (PulseOutput.h), which
// says when each period plays; the ALSA devices through RtAudio. Streams are 16-bit interleaved stereo.
#pragma once

#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Linux {

class CDefaultAudioOut : public IAudioOutBackend {
public:
    CDefaultAudioOut();
    std::vector<CAudioOutInfo> Enumerate() override;
    std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                           CAudioRefill refill, CAudioLost lost) override;
    // One line per sound system asked, with what it answered.
    const std::vector<std::string>& Searched() const { return m_searched; }

    struct COutput {
        int nApi = 0;  // RtAudio::Api
        unsigned nDevice = 0;
        std::string sName;
        std::string sSink;  // a Pulse output's sink, by its Pulse name
    };

private:
    std::vector<COutput> m_outputs;
    std::vector<std::string> m_searched;
};

}  // namespace DUve::AudioDevice::Linux
