// The mixing set of an audio output, split between two threads: the device's worker
// creates tracks, pushes chunks and deletes tracks; the stream's real-time thread mixes.
// Nothing is shared under a lock: the worker hands its changes over through a record ring
// and the mixing side answers through counters. The mixing side neither allocates nor
// frees: it holds chunks by plain pointer while the worker keeps them alive, and the
// worker lets a chunk go once the mix has passed it. Mixing follows CQueueAudio: plain
// summation at absolute sample positions, silence where a track holds nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "audio/QueueAudio.h"
#include "audio/RecordRing.h"

namespace DUve::AudioDevice {

class CRealtimeMix {
public:
    static constexpr size_t kMaxTracks = 64;
    // Chunks one channel of a track may hold on the mixing side; more wait on the worker.
    static constexpr size_t kMaxChunks = 256;

    explicit CRealtimeMix(uint16_t nChannels);
    ~CRealtimeMix();
    CRealtimeMix(const CRealtimeMix&) = delete;
    CRealtimeMix& operator=(const CRealtimeMix&) = delete;

    uint16_t Channels() const { return m_nChannels; }

    // ---- the worker
    // A track whose channels all start at nStart; 0 when kMaxTracks tracks are in use.
    uint64_t CreateTrack(uint64_t nStart);
    // Appends the chunk to the track's channel; unknown tracks, channels not below
    // Channels() and empty chunks are ignored.
    void Push(uint64_t nTrack, uint16_t nChannel, CSamples vSamples);
    void DeleteTrack(uint64_t nTrack);
    // Hands over what waited for room and lets go of the chunks and tracks the mixing side
    // is done with.
    void Collect();
    // Chunks the worker still keeps alive for the mixing side.
    size_t HeldChunks() const;

    // ---- the mixing side: one thread at a time (the stream's)
    uint64_t Position() const { return m_nPosition; }
    void SetPosition(uint64_t nPosition) { m_nPosition = nPosition; }
    // Takes the worker's changes, then writes the sum of every track's samples in
    // [Position(), Position() + nCount) to the first nOut channels of ppOut (further
    // channels skipped), drops the chunks that end there and advances Position().
    void MixInto(float* const* ppOut, uint16_t nOut, uint64_t nCount);
    // Chunks that arrived after the mix had played (part of) their place: their sender
    // fell behind. Any thread may read it.
    uint64_t LateChunks() const { return m_nLateChunks.load(std::memory_order_relaxed); }

private:
    struct CChunk {
        const float* p = nullptr;
        uint64_t n = 0;
    };
    struct CChannel {
        uint64_t nStart = 0;  // the mixing side's from the hand-over on
        uint64_t nEnd = 0;    // the mixing side's: where the chunks handed over end
        bool bAhead = false;  // the mixing side's: the chunks reached past the mix once
        std::array<CChunk, kMaxChunks> ring;
        size_t nHead = 0, nCount = 0;
        std::atomic<uint64_t> nDone{0};  // chunks the mix has passed
        // The worker's: what it keeps alive, how many it handed over and let go.
        std::deque<CSamples> held;
        uint64_t nHanded = 0, nReleased = 0;
    };
    struct CTrack {
        explicit CTrack(uint16_t nChannels, uint64_t nStart);
        std::unique_ptr<CChannel[]> channels;
        std::atomic<bool> bReleased{false};  // set by the mixing side after the delete
        bool bDeleted = false;
    };
    struct CCommand {
        enum EKind : uint8_t { Create, Push, Delete } eKind;
        uint16_t nChannel;
        CTrack* pTrack;
        const float* pData;
        uint64_t nSize;
    };

    bool HandOver(const CCommand& c);
    void Apply(const CCommand& c);

    const uint16_t m_nChannels;
    CRecordRing m_ring;
    // The worker's.
    std::map<uint64_t, std::unique_ptr<CTrack>> m_tracks;
    std::deque<CCommand> m_waiting;
    uint64_t m_nNextTrack = 1;
    // The mixing side's.
    std::array<CTrack*, kMaxTracks> m_live{};
    size_t m_nLive = 0;
    uint64_t m_nPosition = 0;
    std::atomic<uint64_t> m_nLateChunks{0};
};

}  // namespace DUve::AudioDevice
