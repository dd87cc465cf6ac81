#include "audio/QueueAudio.h"

#include <algorithm>

namespace DUve::AudioDevice {

void CQueueAudio::Push(CTrack& track, uint16_t nChannel, CSamples vSamples) const {
    if (nChannel >= track.m_channels.size() || !vSamples || vSamples->empty()) return;
    auto& channel = track.m_channels[nChannel];
    channel.nHeld += vSamples->size();
    channel.vChunks.push_back(std::move(vSamples));
}

bool CQueueAudio::IsReady(uint64_t nCount) const {
    const uint64_t nEnd = m_nPosition + nCount;
    return ForEach([nEnd](const CTrack& track) {
        return std::none_of(track.m_channels.begin(), track.m_channels.end(), [nEnd](const CChannel& c) {
            return c.nStart < nEnd && c.nStart + c.nHeld < nEnd;
        });
    });
}

std::vector<std::vector<float>> CQueueAudio::Mix(uint64_t nCount) {
    std::vector<std::vector<float>> mixed(m_nChannels, std::vector<float>(nCount, 0.0f));
    std::vector<float*> pointers;
    for (auto& m : mixed) pointers.push_back(m.data());
    MixInto(pointers.data(), m_nChannels, nCount);
    return mixed;
}

void CQueueAudio::MixInto(float* const* ppOut, uint16_t nOut, uint64_t nCount) {
    const uint64_t nBegin = m_nPosition;
    const uint64_t nEnd = nBegin + nCount;
    for (uint16_t i = 0; i < nOut; ++i) std::fill(ppOut[i], ppOut[i] + nCount, 0.0f);
    ForEach([&](CTrack& track) {
        for (size_t i = 0; i < track.m_channels.size(); ++i) {
            auto& c = track.m_channels[i];
            if (i < nOut) {
                float* out = ppOut[i];
                uint64_t nChunkStart = c.nStart;
                for (const auto& chunk : c.vChunks) {
                    if (nChunkStart >= nEnd) break;
                    const uint64_t nChunkEnd = nChunkStart + chunk->size();
                    const uint64_t nFrom = std::max(nChunkStart, nBegin);
                    const uint64_t nTo = std::min(nChunkEnd, nEnd);
                    for (uint64_t t = nFrom; t < nTo; ++t) out[t - nBegin] += (*chunk)[t - nChunkStart];
                    nChunkStart = nChunkEnd;
                }
            }
            while (!c.vChunks.empty() && c.nStart + c.vChunks.front()->size() <= nEnd) {
                const uint64_t n = c.vChunks.front()->size();
                c.nStart += n;
                c.nHeld -= n;
                c.vChunks.pop_front();
            }
        }
        return true;
    });
    Prune();
    m_nPosition = nEnd;
}

}  // namespace DUve::AudioDevice
