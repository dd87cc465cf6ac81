#include "audio/TestBackends.h"

#include "audio/AudioDevice.h"

namespace DUve::AudioDevice::TestBackends {

// ---- MIDI ports

class CTestPort : public IMidiOutPort {
public:
    CTestPort(CMidiOut& owner, uint32_t nNo) : m_owner(owner), m_nNo(nNo) {}
    bool Send(const std::vector<uint8_t>& vBytes, uint64_t nStampMs) override {
        m_owner.Record(m_nNo, vBytes, nStampMs);
        return true;
    }

private:
    CMidiOut& m_owner;
    uint32_t m_nNo;
};

std::unique_ptr<IMidiOutPort> CMidiOut::Open(uint32_t nNo) {
    std::lock_guard lock(m_mutex);
    ++m_opens[nNo];
    return std::make_unique<CTestPort>(*this, nNo);
}

void CMidiOut::Record(uint32_t nNo, const std::vector<uint8_t>& vBytes, uint64_t nStampMs) {
    const double now = ClockSeconds();
    std::lock_guard lock(m_mutex);
    m_sent[nNo].push_back({now, vBytes, nStampMs});
}

std::vector<CSentMidi> CMidiOut::Sent(uint32_t nNo) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_sent.find(nNo);
    return it == m_sent.end() ? std::vector<CSentMidi>() : it->second;
}

void CMidiOut::Clear(uint32_t nNo) {
    std::lock_guard lock(m_mutex);
    m_sent.erase(nNo);
}

int CMidiOut::OpenCount(uint32_t nNo) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_opens.find(nNo);
    return it == m_opens.end() ? 0 : it->second;
}

// ---- plug-ins: every output carries the level of the last note-on (velocity / 127),
// 0 after its note-off, plus the sum of the inputs.

class CTestPlugin : public IVstPlugin {
public:
    CTestPlugin(CVst& owner, CVstPluginInfo info) : m_owner(owner), m_info(std::move(info)) {}
    uint8_t Flags() const override { return m_info.nFlags; }
    void Start(uint32_t nSampleRate, uint32_t nBlockSize) override {
        std::lock_guard lock(m_owner.m_mutex);
        auto& log = m_owner.m_logs[m_info.sPath];
        log.nSampleRate = nSampleRate;
        log.nBlockSize = nBlockSize;
        ++log.nStarts;
    }
    void ProcessEvents(const std::vector<CVstMidiEvent>& vEvents) override {
        m_pending.insert(m_pending.end(), vEvents.begin(), vEvents.end());
        std::lock_guard lock(m_owner.m_mutex);
        auto& log = m_owner.m_logs[m_info.sPath].vEvents;
        log.insert(log.end(), vEvents.begin(), vEvents.end());
    }
    void ProcessReplacing(const std::vector<std::vector<float>>& vInputs, std::vector<std::vector<float>>& vOutputs,
                          uint32_t nFrames) override {
        size_t nNext = 0;
        for (uint32_t f = 0; f < nFrames; ++f) {
            for (; nNext < m_pending.size() && m_pending[nNext].nDeltaFrames <= static_cast<int32_t>(f); ++nNext) {
                const auto& e = m_pending[nNext];
                const uint8_t nStatus = e.midiData[0] & 0xF0;
                if (nStatus == 0x90 && e.midiData[2] > 0) m_fLevel = e.midiData[2] / 127.0f;
                if (nStatus == 0x80 || (nStatus == 0x90 && e.midiData[2] == 0)) m_fLevel = 0.0f;
            }
            float fIn = 0.0f;
            for (const auto& in : vInputs)
                if (f < in.size()) fIn += in[f];
            for (auto& out : vOutputs)
                if (f < out.size()) out[f] = m_fLevel + fIn;
        }
        m_pending.clear();
        std::lock_guard lock(m_owner.m_mutex);
        ++m_owner.m_logs[m_info.sPath].nBlocks;
    }

private:
    CVst& m_owner;
    CVstPluginInfo m_info;
    std::vector<CVstMidiEvent> m_pending;
    float m_fLevel = 0.0f;
};

std::unique_ptr<IVstPlugin> CVst::Load(const std::u16string& sPath) {
    for (const auto& info : m_plugins)
        if (info.sPath == sPath) return std::make_unique<CTestPlugin>(*this, info);
    return nullptr;
}

CPluginLog CVst::Log(const std::u16string& sPath) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_logs.find(sPath);
    return it == m_logs.end() ? CPluginLog() : it->second;
}

// ---- audio outputs

namespace {
class CTestStream : public IAudioOutStream {
public:
    explicit CTestStream(std::shared_ptr<CAudioOut::CStreamState> state) : m_state(std::move(state)) {}
    ~CTestStream() override {
        std::lock_guard lock(m_state->mutex);  // waits for a refill in progress
        m_state->refill = nullptr;
    }
    uint32_t BufferSize() const override { return m_state->nBufferSize; }

private:
    std::shared_ptr<CAudioOut::CStreamState> m_state;
};
}  // namespace

std::unique_ptr<IAudioOutStream> CAudioOut::Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                                  CAudioRefill refill) {
    auto state = std::make_shared<CStreamState>();
    state->refill = std::move(refill);
    state->nBufferSize = nBufferSize ? nBufferSize : m_nPreferred;
    std::lock_guard lock(m_mutex);
    m_streams[nNo] = state;
    m_starts[nNo].emplace_back(nSampleRate, nBufferSize);
    return std::make_unique<CTestStream>(state);
}

bool CAudioOut::Pump(uint32_t nNo) {
    std::shared_ptr<CStreamState> state;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_streams.find(nNo);
        if (it == m_streams.end()) return false;
        state = it->second;
    }
    CMixedBlock block;
    {
        std::lock_guard lock(state->mutex);
        if (!state->refill) return false;
        block.vChannels = state->refill();
    }
    std::lock_guard lock(m_mutex);
    m_blocks[nNo].push_back(std::move(block));
    return true;
}

std::vector<CMixedBlock> CAudioOut::Blocks(uint32_t nNo) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_blocks.find(nNo);
    return it == m_blocks.end() ? std::vector<CMixedBlock>() : it->second;
}

std::vector<std::pair<uint32_t, uint32_t>> CAudioOut::Starts(uint32_t nNo) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_starts.find(nNo);
    return it == m_starts.end() ? std::vector<std::pair<uint32_t, uint32_t>>() : it->second;
}

}  // namespace DUve::AudioDevice::TestBackends
