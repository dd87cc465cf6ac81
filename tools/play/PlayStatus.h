// What palvorplay's status line shows: the position as bar:beat (from the song's meters)
// and as time, the tempo and the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace DUve::Play {

// The meters of a song: from each point's step on, bars of nBeats beats of nBeatLength
// steps (480 steps to a quarter note). Before the first point, and where none is given,
// 4/4. A meter that starts inside a bar starts a new bar there.
class CMeterMap {
public:
    struct CPoint {
        uint32_t nStep = 0;
        uint16_t nBeats = 4;
        uint16_t nBeatLength = 480;
    };
    struct CBarBeat {
        uint64_t nBar = 1;   // from 1
        uint32_t nBeat = 1;  // from 1
    };

    // A beat count or length of 0 (an unknown unit in a file) counts as 4 or 480. Of two
    // meters at one step the later one holds.
    void Add(uint32_t nStep, uint16_t nBeats, uint16_t nBeatLength);
    CBarBeat At(uint32_t nStep) const;
    const std::vector<CPoint>& Points() const { return m_vPoints; }

private:
    std::vector<CPoint> m_vPoints;  // by step, one per step
};

// Seconds as mm:ss.t (tenths cut off, not rounded); minutes grow past two digits.
std::string FormatClock(double dSeconds);

struct CStatus {
    uint32_t nStep = 0;
    double dSeconds = 0.0;  // from the song's start
    double dTempo = 120.0;  // quarter notes per minute
};

// "  BAR:BEAT  mm:ss.t / mm:ss.t  TEMPO BPM  DEVICE"; the second time is the song's length.
std::string FormatStatus(const CMeterMap& meters, const CStatus& status, double dTotalSeconds,
                         const std::string& sDevice);

}  // namespace DUve::Play
