// Timestamped audio mixing set of an audio sink: one track per sender queue, each with a
// fixed number of channels of gap-free sample chunks; mixed by plain summation. Time unit
// is samples at the device's rate. Used under the owner's lock or on its worker thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "audio/QueueSet.h"

namespace DUve::AudioDevice {

using CSamples = std::shared_ptr<const std::vector<float>>;

// One sender's channels, all starting at the track's start time.
class CQueueAudioTrack {
public:
    struct CChannel {
        uint64_t nStart = 0;  // time of the first held sample
        uint64_t nHeld = 0;   // samples held in the chunks
        std::deque<CSamples> vChunks;
    };

    CQueueAudioTrack(uint16_t nChannels, uint64_t nStart) : m_channels(nChannels) {
        for (auto& c : m_channels) c.nStart = nStart;
    }
    const std::vector<CChannel>& Channels() const { return m_channels; }

private:
    friend class CQueueAudio;
    std::vector<CChannel> m_channels;
};

class CQueueAudio : public CQueueSetT<CQueueAudioTrack> {
public:
    using CChannel = CQueueAudioTrack::CChannel;

    CQueueAudio(uint16_t nChannels, uint64_t nPosition) : CQueueSetT(nPosition), m_nChannels(nChannels) {}

    uint16_t Channels() const { return m_nChannels; }

    // A track whose channels all start at nStart, registered weakly.
    CTrackPtr CreateTrack(uint64_t nStart) { return AddTrack(m_nChannels, nStart); }
    // Appends the chunk to the channel; a channel index not below Channels() is ignored.
    void Push(CTrack& track, uint16_t nChannel, CSamples vSamples) const;
    // True when every channel of every live track starts at or after Position() + nCount
    // or holds samples up to at least there.
    bool IsReady(uint64_t nCount) const;
    // Channels() vectors of nCount samples: the sum of every live track's samples in
    // [Position(), Position() + nCount); silence where a track holds nothing. Drops the
    // consumed chunks and advances Position().
    std::vector<std::vector<float>> Mix(uint64_t nCount);
    // The same into caller buffers: ppOut[c] holds nCount samples for each of the first
    // nOut channels (further channels are skipped). Allocates nothing.
    void MixInto(float* const* ppOut, uint16_t nOut, uint64_t nCount);

private:
    uint16_t m_nChannels;
};

}  // namespace DUve::AudioDevice
