#include "support/TestBackends.h"

#include <cstring>

#include "audio/AudioDevice.h"

namespace DUve::AudioDevice::TestBackends {

// ---- MIDI ports

class CTestPort : public IMidiOutPort {
public:
    CTestPort(CMidiOut& owner, uint32_t nNo) : m_owner(owner), m_nNo(nNo) {}
    bool Send(const std::vector<uint8_t>& vBytes, uint64_t nStampNs) override {
        m_owner.Record(m_nNo, vBytes, nStampNs);
        return true;
    }
    uint64_t LeadNs() const override {
        std::lock_guard lock(m_owner.m_mutex);
        const auto it = m_owner.m_leads.find(m_nNo);
        return it == m_owner.m_leads.end() ? m_owner.m_nLeadNs : it->second;
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

void CMidiOut::Record(uint32_t nNo, const std::vector<uint8_t>& vBytes, uint64_t nStampNs) {
    const uint64_t nNow = ClockNanoseconds();
    std::lock_guard lock(m_mutex);
    m_sent[nNo].push_back({static_cast<double>(nNow) / 1e9, vBytes, nStampNs, nNow});
}

void CMidiOut::SetLead(uint32_t nNo, uint64_t nLeadNs) {
    std::lock_guard lock(m_mutex);
    m_leads[nNo] = nLeadNs;
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
        m_state->lost = nullptr;
    }
    uint32_t BufferSize() const override { return m_state->nBufferSize; }
    uint32_t SampleRate() const override { return m_state->nSampleRate; }

private:
    std::shared_ptr<CAudioOut::CStreamState> m_state;
};
}  // namespace

std::unique_ptr<IAudioOutStream> CAudioOut::Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                                  CAudioRefill refill, CAudioLost lost) {
    auto state = std::make_shared<CStreamState>();
    state->refill = std::move(refill);
    state->lost = std::move(lost);
    state->nBufferSize = nBufferSize ? nBufferSize : m_nPreferred;
    std::lock_guard lock(m_mutex);
    const auto itRate = m_deviceRates.find(nNo);
    state->nSampleRate = itRate != m_deviceRates.end() && itRate->second ? itRate->second : nSampleRate;
    m_streams[nNo] = state;
    m_starts[nNo].emplace_back(nSampleRate, nBufferSize);
    return std::make_unique<CTestStream>(state);
}

bool CAudioOut::Pump(uint32_t nNo) {
    std::shared_ptr<CStreamState> state;
    std::vector<CChannelSpec> layout;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_streams.find(nNo);
        if (it == m_streams.end()) return false;
        state = it->second;
        const auto itLayout = m_layouts.find(nNo);
        layout = itLayout == m_layouts.end() ? m_layout : itLayout->second;
    }
    CMixedBlock block;
    {
        std::lock_guard lock(state->mutex);
        if (!state->refill) return false;
        const uint32_t nFrames = state->nBufferSize;
        std::vector<CAudioChannelBuffer> buffers;
        block.vRaw.resize(layout.size());
        for (size_t i = 0; i < layout.size(); ++i) {
            const auto& channel = layout[i];
            const size_t nBytes = channel.type == ESampleType::Int16LSB ? 2 : 4;
            block.vRaw[i].assign(nBytes * nFrames, kUntouched);
            buffers.push_back({channel.bInput, channel.nChannel, channel.type, block.vRaw[i].data(), 1});
        }
        state->refill(buffers, nFrames, state->nStartNs);
        for (size_t i = 0; i < layout.size(); ++i) {
            if (layout[i].bInput || layout[i].type != ESampleType::Float32LSB) continue;
            std::vector<float> v(nFrames);
            std::memcpy(v.data(), block.vRaw[i].data(), nFrames * sizeof(float));
            block.vChannels.push_back(std::move(v));
        }
    }
    std::lock_guard lock(m_mutex);
    m_blocks[nNo].push_back(std::move(block));
    return true;
}

bool CAudioOut::SetStartTime(uint32_t nNo, uint64_t nStartNs) {
    std::shared_ptr<CStreamState> state;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_streams.find(nNo);
        if (it == m_streams.end()) return false;
        state = it->second;
    }
    std::lock_guard lock(state->mutex);
    state->nStartNs = nStartNs;
    return true;
}

bool CAudioOut::Lose(uint32_t nNo, const std::string& sWhy) {
    std::shared_ptr<CStreamState> state;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_streams.find(nNo);
        if (it == m_streams.end()) return false;
        state = it->second;
    }
    std::lock_guard lock(state->mutex);
    if (!state->lost) return false;
    state->lost(sWhy);
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
