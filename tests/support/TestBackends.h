// In-process device backends for tests: MIDI ports that record what they are sent,
// plug-ins that turn MIDI into audio (a level that follows note-on velocity), and audio
// outputs whose refills the test drives and records. Linked only by tests and benchmarks.
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
    uint64_t nStampNs = 0;  // the time it was stamped for, in ns of the process clock
    uint64_t nSentNs = 0;   // the process clock when the backend was asked to send it
};

class CMidiOut : public IMidiOutBackend {
public:
    // nLeadNs: the lead its ports ask for (0: ports that send at once).
    explicit CMidiOut(std::vector<CMidiOutPortInfo> ports, uint64_t nLeadNs = 0)
        : m_ports(std::move(ports)), m_nLeadNs(nLeadNs) {}
    std::vector<CMidiOutPortInfo> Enumerate() override { return m_ports; }
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override;

    // Port nNo asks for this lead from now on (ports opened later included).
    void SetLead(uint32_t nNo, uint64_t nLeadNs);
    std::vector<CSentMidi> Sent(uint32_t nNo) const;
    void Clear(uint32_t nNo);
    int OpenCount(uint32_t nNo) const;

private:
    friend class CTestPort;
    void Record(uint32_t nNo, const std::vector<uint8_t>& vBytes, uint64_t nStampNs);
    std::vector<CMidiOutPortInfo> m_ports;
    uint64_t m_nLeadNs;
    std::map<uint32_t, uint64_t> m_leads;
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

// One channel buffer of a test stream: where it sits in the list and its type.
struct CChannelSpec {
    bool bInput = false;
    uint32_t nChannel = 0;
    ESampleType type = ESampleType::Float32LSB;
};

struct CMixedBlock {
    // The float output buffers, in list order (two for the default layout).
    std::vector<std::vector<float>> vChannels;
    // Every buffer of the list as it was after the refill, as raw bytes; buffers start
    // filled with 0x5A bytes.
    std::vector<std::vector<uint8_t>> vRaw;
};

class CAudioOut : public IAudioOutBackend {
public:
    static constexpr uint8_t kUntouched = 0x5A;

    // nPreferred: the buffer size used when a start asks for 0. vLayout: the stream's
    // channel buffers (default: float outputs 0 and 1).
    CAudioOut(std::vector<CAudioOutInfo> outputs, uint32_t nPreferred, std::vector<CChannelSpec> vLayout = {})
        : m_outputs(std::move(outputs)), m_nPreferred(nPreferred), m_layout(std::move(vLayout)) {
        if (m_layout.empty()) m_layout = {{false, 0, ESampleType::Float32LSB}, {false, 1, ESampleType::Float32LSB}};
    }
    std::vector<CAudioOutInfo> Enumerate() override { return m_outputs; }
    std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                           CAudioRefill refill, CAudioLost lost) override;
    // Gives output nNo a channel layout of its own.
    void SetLayout(uint32_t nNo, std::vector<CChannelSpec> vLayout) {
        std::lock_guard lock(m_mutex);
        m_layouts[nNo] = std::move(vLayout);
    }

    // Streams of output nNo started from now on run at nRate whatever they ask for (0:
    // at the rate asked for).
    void SetDeviceRate(uint32_t nNo, uint32_t nRate) {
        std::lock_guard lock(m_mutex);
        m_deviceRates[nNo] = nRate;
    }

    // Runs one refill of the output's running stream on the calling thread and records
    // the block; false when no stream runs.
    bool Pump(uint32_t nNo);
    // The play time the next refills report for their first frame (0: unknown).
    bool SetStartTime(uint32_t nNo, uint64_t nStartNs);
    // Reports the output's running stream as lost, as a server that went away would.
    bool Lose(uint32_t nNo, const std::string& sWhy);
    std::vector<CMixedBlock> Blocks(uint32_t nNo) const;
    // (sample rate, buffer size) of every start, in order.
    std::vector<std::pair<uint32_t, uint32_t>> Starts(uint32_t nNo) const;

    struct CStreamState {
        std::mutex mutex;
        CAudioRefill refill;  // cleared when the stream stops
        CAudioLost lost;
        uint32_t nBufferSize = 0;
        uint32_t nSampleRate = 0;
        uint64_t nStartNs = 0;  // told to the next refill (0: unknown)
    };

private:
    std::vector<CAudioOutInfo> m_outputs;
    uint32_t m_nPreferred;
    std::vector<CChannelSpec> m_layout;
    std::map<uint32_t, std::vector<CChannelSpec>> m_layouts;
    std::map<uint32_t, uint32_t> m_deviceRates;
    mutable std::mutex m_mutex;
    std::map<uint32_t, std::shared_ptr<CStreamState>> m_streams;
    std::map<uint32_t, std::vector<CMixedBlock>> m_blocks;
    std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> m_starts;
};

}  // namespace DUve::AudioDevice::TestBackends
