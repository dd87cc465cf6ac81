// A playback stream of a PulseAudio server (or PipeWire's Pulse server) over libpulse's
// asynchronous API, on a threaded main loop of its own.
//
// The stream keeps a short buffer: it asks for a target length of three periods of the
// requested buffer size (the server counts its sink's latency in it and may grant less),
// the server asks for one period at a time, and playback starts once two periods are
// written. The mix therefore runs at most about three periods (0.14 s at 2,048 frames and
// 44.1 kHz) ahead of what plays, inside the lead the instruments render ahead of the
// clock. Each period is refilled with the process-clock time at which its first frame
// plays, from the server's latency reports (PulseFrameClock.h); the periods the stream
// prebuffers before the server reports that it plays are silence. The server converts the
// stream's rate to its sink's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Linux {

// A sink of the Pulse server: the name streams open it by, and the description users see.
struct CPulseSink {
    std::string sName;
    std::string sDescription;
};

// The server's sinks, its default sink first. Empty, with sWhy saying why, when no server
// answers within a few seconds.
std::vector<CPulseSink> PulseSinks(std::string& sWhy);

// Opens and starts a 16-bit stereo stream at nSampleRate to the sink named sSink (its
// Pulse name; empty for the server's default sink), refilled nBufferSize frames at a time.
// sName is the output's name for the device log. Null, with a log line, when the server
// does not answer within a few seconds or refuses the stream. When the server goes away
// later, lost is called once with a text that begins "stream lost".
std::unique_ptr<IAudioOutStream> OpenPulseOutput(const std::string& sName, const std::string& sSink,
                                                 uint32_t nSampleRate, uint32_t nBufferSize,
                                                 CAudioRefill refill, CAudioLost lost);

}  // namespace DUve::AudioDevice::Linux
