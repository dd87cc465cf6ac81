// Where a JACK server's frames fall on the process clock.
//
// JACK counts frames exactly; the times it gives a cycle (its filtered cycle times) are an
// estimate, and under load that estimate moves: after the server stalls it wanders by tens
// of milliseconds for seconds before it settles. The frame clock does not use it. It
// follows the frame counter at the server's nominal rate from an anchor, the process-clock
// time of one frame, so consecutive cycles are exactly their length apart. Each cycle the
// process thread reads the process clock as its callback begins; a callback never runs
// before its cycle starts, so the earliest reading of a window, measured against the
// anchor, is the anchor's error plus the least wake-up delay. The anchor moves only when a
// whole window of readings disagrees with it by more than the tolerance: every reading
// later (the server stalled and lost that time, or its clock is slower than the process
// clock) or one reading earlier (the anchor was set late, or the server's clock is
// faster). A late callback, a busy machine or a client that misses cycles moves nothing.
//
// One thread (the client's process thread) uses it; no lock, no allocation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace DUve::AudioDevice::Linux {

class CJackFrameClock {
public:
    // Before the first cycle: the server's rate and period. The tolerance is half a period
    // but at least 1 ms; a window is half a second of cycles, the first (which only
    // settles the anchor) 40 ms of them.
    void Start(uint32_t nRate, uint32_t nPeriod) {
        *this = CJackFrameClock();
        m_nRate = nRate ? nRate : 1;
        const uint64_t nPeriodNs = uint64_t(std::max<uint32_t>(nPeriod, 1)) * 1000000000ull / m_nRate;
        m_nToleranceNs = static_cast<int64_t>(std::max<uint64_t>(nPeriodNs / 2, 1000000ull));
        m_nWindow = static_cast<uint32_t>(std::max<uint64_t>(500000000ull / std::max<uint64_t>(nPeriodNs, 1), 8));
        m_nSettle = static_cast<uint32_t>(std::max<uint64_t>(40000000ull / std::max<uint64_t>(nPeriodNs, 1), 4));
    }

    // Once a cycle, first thing: the frame counter at the cycle's start (it wraps) and the
    // process clock now. Returns the process-clock time of the cycle's first frame in
    // nanoseconds, or 0 until the first window has settled the anchor.
    uint64_t Cycle(uint32_t nFrame, uint64_t nNowNs) {
        if (!m_bAnchored) {
            m_bAnchored = true;
            m_nAnchorNs = nNowNs;
        } else {
            m_nFrame += uint32_t(nFrame - m_nLastFrame);
        }
        m_nLastFrame = nFrame;
        m_nEarliest = std::min(m_nEarliest, static_cast<int64_t>(nNowNs) - static_cast<int64_t>(TimeOf(m_nFrame)));
        if (++m_nInWindow >= (m_bSettled ? m_nWindow : m_nSettle)) {
            if (!m_bSettled) {
                Move(m_nEarliest);
            } else if (std::llabs(m_nEarliest) > m_nToleranceNs) {
                Move(m_nEarliest);
                ++m_nMoves;
            }
            m_bSettled = true;
            m_nEarliest = std::numeric_limits<int64_t>::max();
            m_nInWindow = 0;
        }
        return m_bSettled ? TimeOf(m_nFrame) : 0;
    }

    // Times the anchor moved after it had settled, and by how much the last time
    // (nanoseconds, positive when the frames came later than it said).
    uint64_t Moves() const { return m_nMoves; }
    int64_t LastMoveNs() const { return m_nLastMoveNs; }
    int64_t ToleranceNs() const { return m_nToleranceNs; }

private:
    // Frames counted since the first cycle, at the nominal rate from the anchor; exact for
    // any distance (no product of frames and 10^9 is formed).
    uint64_t TimeOf(uint64_t nFrame) const {
        const uint64_t d = nFrame - m_nAnchorFrame;
        return m_nAnchorNs + d / m_nRate * 1000000000ull + d % m_nRate * 1000000000ull / m_nRate;
    }
    void Move(int64_t nByNs) {
        const uint64_t nNow = TimeOf(m_nFrame);
        m_nAnchorFrame = m_nFrame;
        m_nAnchorNs = static_cast<uint64_t>(static_cast<int64_t>(nNow) + nByNs);
        m_nLastMoveNs = nByNs;
    }

    uint32_t m_nRate = 1;
    int64_t m_nToleranceNs = 1000000;
    uint32_t m_nWindow = 8, m_nSettle = 4;
    bool m_bAnchored = false, m_bSettled = false;
    uint32_t m_nLastFrame = 0;
    uint64_t m_nFrame = 0;  // frames since the first cycle
    uint64_t m_nAnchorFrame = 0, m_nAnchorNs = 0;
    int64_t m_nEarliest = std::numeric_limits<int64_t>::max();
    uint32_t m_nInWindow = 0;
    uint64_t m_nMoves = 0;
    int64_t m_nLastMoveNs = 0;
};

}  // namespace DUve::AudioDevice::Linux
