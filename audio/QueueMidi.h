// Timestamped MIDI queue set of a MIDI sink: one track per sender queue, consumed in
// spans of time in merged time order. Time unit is the device's (nanoseconds for MIDI
// outputs, samples for plug-ins). Used only on the device's worker thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "audio/QueueSet.h"

namespace DUve::AudioDevice {

using CBytes = std::shared_ptr<const std::vector<uint8_t>>;

// One sender's entries by time; equal times keep insertion order. An empty (or null) byte
// sequence is a mark: it carries no message, only "delivered up to here".
class CQueueMidiTrack {
public:
    size_t size() const { return m_entries.size(); }

private:
    friend class CQueueMidi;
    std::multimap<uint64_t, CBytes> m_entries;
};

class CQueueMidi : public CQueueSetT<CQueueMidiTrack> {
public:
    struct CEntry {
        uint64_t nTime;
        CBytes vBytes;
    };

    explicit CQueueMidi(uint64_t nPosition = 0) : CQueueSetT(nPosition) {}

    // A new empty track, registered weakly: it takes part while its owner keeps it.
    CTrackPtr CreateTrack() { return AddTrack(); }
    static void Push(CTrack& track, uint64_t nTime, CBytes vBytes);

    // True when every live track holds an entry at or after Position() + nSpan.
    bool IsReady(uint64_t nSpan) const;
    // Removes and returns every entry before Position() + nSpan, in time order (ties:
    // track order, then insertion order), and advances Position() by nSpan.
    std::vector<CEntry> Take(uint64_t nSpan);
    // Empties the track and returns its note-offs (0x8n with 3 bytes, or 0x9n with
    // velocity 0), in their order; every other entry is dropped.
    static std::vector<CEntry> TakeNoteOffs(CTrack& track);
    static bool IsNoteOff(const CBytes& vBytes);

private:
    uint64_t End(uint64_t nSpan) const;
};

}  // namespace DUve::AudioDevice
