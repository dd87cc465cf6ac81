// JACK as a device backend: every reachable JACK server is an audio output (32-bit float
// channels, the server's own period), and the MIDI input ports of the clients of those
// servers are MIDI outputs that deliver each message at the frame of its stamp.
#pragma once

#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Linux {

// libjack reaches one server per process at a time: a client of a second server while one
// of the first is open brings the process down. Every client of this process (tests'
// clients included) takes the server first; a different server is refused while any
// client of another one is open.
bool AcquireJackServer(const std::string& sServer);
void ReleaseJackServer(const std::string& sServer);
// True once a client of the server in use saw it go away; its clients must not be closed.
bool JackServerGone();

// Names of the JACK servers this user may reach: the default one (JACK_DEFAULT_SERVER or
// "default") and every server whose socket is in the JACK socket folder. Not checked.
std::vector<std::string> JackServerCandidates();

class CJackAudioOut : public IAudioOutBackend {
public:
    // Asks each candidate server whether it runs; the ones that answer are the outputs,
    // numbered in candidate order.
    CJackAudioOut();
    std::vector<CAudioOutInfo> Enumerate() override;
    std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                           CAudioRefill refill, CAudioLost lost) override;
    const std::vector<std::string>& Servers() const { return m_servers; }

private:
    std::vector<std::string> m_servers;
};

class CJackMidiOut : public IMidiOutBackend {
public:
    CJackMidiOut();
    std::vector<CMidiOutPortInfo> Enumerate() override;
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override;

    struct CPort {
        std::string sServer;
        std::string sPort;  // the destination's full port name, "client:port"
    };

private:
    std::vector<CPort> m_ports;
};

// The display name of a destination port: the port name, with the server in front when
// it is not the default one.
std::string JackMidiPortName(const std::string& sServer, const std::string& sPort);

}  // namespace DUve::AudioDevice::Linux
