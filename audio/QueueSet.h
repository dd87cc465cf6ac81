// What the two timestamped queue sets of a sink share: the position up to which the set
// has been consumed, and one list of weak references to the tracks, one per sender queue.
// The device's map from queue id to track owns each track; a track whose owner let it go
// drops out of the set by itself. Used on the owner's worker thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace DUve::AudioDevice {

template <class CTrackT>
class CQueueSetT {
public:
    using CTrack = CTrackT;
    using CTrackPtr = std::shared_ptr<CTrack>;

    explicit CQueueSetT(uint64_t nPosition) : m_nPosition(nPosition) {}

    uint64_t Position() const { return m_nPosition; }
    void SetPosition(uint64_t nPosition) { m_nPosition = nPosition; }

    // The tracks whose owners still hold them.
    size_t LiveTrackCount() const {
        return std::count_if(m_tracks.begin(), m_tracks.end(),
                             [](const std::weak_ptr<CTrack>& w) { return !w.expired(); });
    }

protected:
    // Registers a new track weakly, after the tracks of deleted queues have been dropped
    // (they would otherwise pile up in the list).
    template <class... CArgs>
    CTrackPtr AddTrack(CArgs&&... args) {
        Prune();
        auto track = std::make_shared<CTrack>(std::forward<CArgs>(args)...);
        m_tracks.push_back(track);
        return track;
    }
    // f(track) for every live track, in the order they were created. f returns false to
    // stop early; ForEach then answers false.
    template <class F>
    bool ForEach(F f) const {
        for (const auto& w : m_tracks) {
            const auto track = w.lock();
            if (track && !f(*track)) return false;
        }
        return true;
    }
    void Prune() {
        std::erase_if(m_tracks, [](const std::weak_ptr<CTrack>& w) { return w.expired(); });
    }

    uint64_t m_nPosition;

private:
    std::vector<std::weak_ptr<CTrack>> m_tracks;
};

}  // namespace DUve::AudioDevice
