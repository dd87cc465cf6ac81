// In-process device backends for tests: MIDI ports that record what they are sent,
// plug-ins that turn MIDI into audio (a level that follows note-on velocity), and audio
// outputs whose refills the test drives and records. Not used by the program itself.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::TestBackends {

struct CSentMidi {
    double dTime;  // process clock when the backend was asked to send it
    std::vector<uint8_t> vBytes;
    uint64_t nStampMs = 0;  // the time it was stamped for, in ms of the process clock
};

class CMidiOut : public IMidiOutBackend {
public:
    explicit CMidiOut(std::vector<CMidiOutPortInfo> ports) : m_ports(std::move(ports)) {}
    std::vector<CMidiOutPortInfo> Enumerate() override { return m_ports; }
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override;

    std::vector<CSentMidi> Sent(uint32_t nNo) const;
    void Clear(uint32_t nNo);
    int OpenCount(uint32_t nNo) const;

private:
    friend class CTestPort;
    void Record(uint32_t nNo, const std::vector<uint8_t>& vBytes, uint64_t nStampMs);
    std::vector<CMidiOutPortInfo> m_ports;
    mutable std::mutex m_mutex;
    std::map<uint32_t, std::vector<CSentMidi>> m_sent;
    std::map<uint32_t, int> m_opens;
};

// What a test plug-in was told, by path.
struct CPluginLog {
    uint32_t nSampleRate = 0;
    uint32_t nBlockSize = 0;
    int nStarts = 0;
    int nBlocks = 0;
    std::vector<CVstMidiEvent> vEvents;
};

class CVst : public IVstBackend {
public:
    explicit CVst(std::vector<CVstPluginInfo> plugins) : m_plugins(std::move(plugins)) {}
    std::vector<CVstPluginInfo> Enumerate() override { return m_plugins; }
    std::unique_ptr<IVstPlugin> Load(const std::u16string& sPath) override;

    CPluginLog Log(const std::u16string& sPath) const;

private:
    friend class CTestPlugin;
    std::vector<CVstPluginInfo> m_plugins;
    mutable std::mutex m_mutex;
    std::map<std::u16string, CPluginLog> m_logs;
};

struct CMixedBlock {
    std::vector<std::vector<float>> vChannels;
};

class CAudioOut : public IAudioOutBackend {
public:
    // nPreferred: the buffer size used when a start asks for 0.
    CAudioOut(std::vector<CAudioOutInfo> outputs, uint32_t nPreferred)
        : m_outputs(std::move(outputs)), m_nPreferred(nPreferred) {}
    std::vector<CAudioOutInfo> Enumerate() override { return m_outputs; }
    std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                           CAudioRefill refill) override;

    // Runs one refill of the output's running stream on the calling thread and records
    // the mixed block; false when no stream runs.
    bool Pump(uint32_t nNo);
    std::vector<CMixedBlock> Blocks(uint32_t nNo) const;
    // (sample rate, buffer size) of every start, in order.
    std::vector<std::pair<uint32_t, uint32_t>> Starts(uint32_t nNo) const;

    struct CStreamState {
        std::mutex mutex;
        CAudioRefill refill;  // cleared when the stream stops
        uint32_t nBufferSize = 0;
    };

private:
    std::vector<CAudioOutInfo> m_outputs;
    uint32_t m_nPreferred;
    mutable std::mutex m_mutex;
    std::map<uint32_t, std::shared_ptr<CStreamState>> m_streams;
    std::map<uint32_t, std::vector<CMixedBlock>> m_blocks;
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> m_starts;
};

}  // namespace DUve::AudioDevice::TestBackends
