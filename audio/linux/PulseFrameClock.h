// Where a Pulse stream's periods play on the process clock.
//
// The server's latency, read as a period is written, says when that period will play, but
// each reading jitters by milliseconds: between the server's timing reports libpulse
// interpolates, and each report restarts the interpolation where the server says it is.
// The frame clock anchors at the first reading and from then on counts frames at the
// nominal rate, so consecutive periods are exactly their length apart. It compares every
// reading with where it places the period; when the median difference over a window of
// about half a second exceeds half a period (the stream stopped after an underrun and
// started again later, or the server's clock parts from the process clock), the anchor
// moves by that median. Periods the server gave no reading for follow the frame count;
// before the first reading there is no time to give. Half a period is the drift the output's worker
// realigns at, so every move is a realignment there and jitter moves nothing.
//
// One thread (the stream's main loop) uses it; no lock, no allocation.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace DUve::AudioDevice::Linux {

class CPulseFrameClock {
public:
    static constexpr uint32_t kMaxWindow = 64;

    // Once, before the first period.
    void Start(uint32_t nRate, uint32_t nPeriod) {
        m_nRate = std::max<uint32_t>(nRate, 1);
        m_nPeriod = std::max<uint32_t>(nPeriod, 1);
        const uint64_t nPeriodNs = uint64_t(m_nPeriod) * 1000000000ull / m_nRate;
        m_nToleranceNs = static_cast<int64_t>(std::max<uint64_t>(nPeriodNs / 2, 1000000ull));
        m_nWindow = static_cast<uint32_t>(
            std::clamp<uint64_t>(500000000ull / std::max<uint64_t>(nPeriodNs, 1), 4, kMaxWindow));
    }
    bool Anchored() const { return m_bAnchored; }

    // For the next period: nReadingNs, the process-clock time its first frame plays by the
    // server's latency (0 when the server gave none). Returns that time by the clock, 0
    // before the first reading anchored it.
    uint64_t Next(uint64_t nReadingNs) {
        if (!m_bAnchored) {
            if (!nReadingNs) return 0;
            m_bAnchored = true;
            m_nAnchorNs = nReadingNs;
            m_nAnchorFrame = m_nFrame;
        }
        uint64_t nAt = TimeOf(m_nFrame);
        if (nReadingNs) {
            m_window[m_nInWindow++] = static_cast<int64_t>(nReadingNs) - static_cast<int64_t>(nAt);
            if (m_nInWindow == m_nWindow) {
                std::nth_element(m_window.begin(), m_window.begin() + m_nWindow / 2,
                                 m_window.begin() + m_nWindow);
                const int64_t nMedian = m_window[m_nWindow / 2];
                if (std::llabs(nMedian) > m_nToleranceNs) {
                    nAt = static_cast<uint64_t>(static_cast<int64_t>(nAt) + nMedian);
                    m_nAnchorNs = nAt;
                    m_nAnchorFrame = m_nFrame;
                    ++m_nMoves;
                }
                m_nInWindow = 0;
            }
        }
        m_nFrame += m_nPeriod;
        return nAt;
    }
    uint64_t Moves() const { return m_nMoves; }

private:
    uint64_t TimeOf(uint64_t nFrame) const {
        const uint64_t d = nFrame - m_nAnchorFrame;
        return m_nAnchorNs + d / m_nRate * 1000000000ull + d % m_nRate * 1000000000ull / m_nRate;
    }

    uint32_t m_nRate = 1, m_nPeriod = 1;
    int64_t m_nToleranceNs = 1000000;
    uint32_t m_nWindow = 4, m_nInWindow = 0;
    bool m_bAnchored = false;
    uint64_t m_nFrame = 0, m_nAnchorFrame = 0, m_nAnchorNs = 0;
    std::array<int64_t, kMaxWindow> m_window{};
    uint64_t m_nMoves = 0;
};

}  // namespace DUve::AudioDevice::Linux
