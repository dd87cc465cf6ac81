#include "audio/QueueMidi.h"

#include <algorithm>
#include <limits>

namespace DUve::AudioDevice {

uint64_t CQueueMidi::End(uint64_t nSpan) const {
    const uint64_t nMax = std::numeric_limits<uint64_t>::max();
    return nSpan > nMax - m_nPosition ? nMax : m_nPosition + nSpan;
}

void CQueueMidi::Push(CTrack& track, uint64_t nTime, CBytes vBytes) {
    track.m_entries.emplace(nTime, std::move(vBytes));  // after equal keys
}

bool CQueueMidi::IsReady(uint64_t nSpan) const {
    const uint64_t nEnd = End(nSpan);
    return ForEach([nEnd](const CTrack& track) {
        return !track.m_entries.empty() && track.m_entries.rbegin()->first >= nEnd;
    });
}

std::vector<CQueueMidi::CEntry> CQueueMidi::Take(uint64_t nSpan) {
    const uint64_t nEnd = End(nSpan);
    std::vector<CEntry> taken;
    ForEach([&](CTrack& track) {
        auto& entries = track.m_entries;
        const auto stop = entries.lower_bound(nEnd);
        for (auto it = entries.begin(); it != stop; ++it) taken.push_back({it->first, it->second});
        entries.erase(entries.begin(), stop);
        return true;
    });
    // Stable: equal times stay in track order, then insertion order.
    std::stable_sort(taken.begin(), taken.end(),
                     [](const CEntry& a, const CEntry& b) { return a.nTime < b.nTime; });
    m_nPosition = nEnd;
    Prune();
    return taken;
}

bool CQueueMidi::IsNoteOff(const CBytes& vBytes) {
    if (!vBytes || vBytes->size() != 3) return false;
    const uint8_t nStatus = (*vBytes)[0] & 0xF0;
    return nStatus == 0x80 || (nStatus == 0x90 && (*vBytes)[2] == 0);
}

std::vector<CQueueMidi::CEntry> CQueueMidi::TakeNoteOffs(CTrack& track) {
    std::vector<CEntry> offs;
    for (const auto& [nTime, vBytes] : track.m_entries)
        if (IsNoteOff(vBytes)) offs.push_back({nTime, vBytes});
    track.m_entries.clear();
    return offs;
}

}  // namespace DUve::AudioDevice
