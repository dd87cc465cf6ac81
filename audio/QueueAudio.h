// Timestamped audio mixing set of an audio sink: one track per sender queue, each with a
// fixed number of channels of gap-free sample chunks; mixed by plain summation. Time unit
// is samples at the device's rate. Used under the owner's lock or on its worker thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace DUve::AudioDevice {

using CSamples = std::shared_ptr<const std::vector<float>>;

class CQueueAudio {
public:
    struct CChannel {
        uint64_t nStart = 0;  // time of the first held sample
        uint64_t nHeld = 0;   // samples held in the chunks
        std::deque<CSamples> vChunks;
    };
    class CTrack {
    public:
        const std::vector<CChannel>& Channels() const { return m_channels; }

    private:
        friend class CQueueAudio;
        std::vector<CChannel> m_channels;
    };
    using CTrackPtr = std::shared_ptr<CTrack>;

    CQueueAudio(uint16_t nChannels, uint64_t nPosition) : m_nChannels(nChannels), m_nPosition(nPosition) {}

    uint16_t Channels() const { return m_nChannels; }
    uint64_t Position() const { return m_nPosition; }
    void SetPosition(uint64_t nPosition) { m_nPosition = nPosition; }

    // A track whose channels all start at nStart, registered weakly.
    CTrackPtr CreateTrack(uint64_t nStart);
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

    size_t LiveTrackCount() const;

private:
    uint16_t m_nChannels;
    uint64_t m_nPosition;
    std::vector<std::weak_ptr<CTrack>> m_tracks;
};

}  // namespace DUve::AudioDevice
