#include "tools/play/PlayStatus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace DUve::Play {

void CMeterMap::Add(uint32_t nStep, uint16_t nBeats, uint16_t nBeatLength) {
    const CPoint point{nStep, nBeats ? nBeats : uint16_t(4),
                       nBeatLength ? nBeatLength : uint16_t(480)};
    const auto it = std::lower_bound(m_vPoints.begin(), m_vPoints.end(), nStep,
                                     [](const CPoint& p, uint32_t s) { return p.nStep < s; });
    if (it != m_vPoints.end() && it->nStep == nStep)
        *it = point;
    else
        m_vPoints.insert(it, point);
}

CMeterMap::CBarBeat CMeterMap::At(uint32_t nStep) const {
    // Walk the meters up to the step: each starts a bar, and holds until the next one.
    uint64_t nBar = 1;
    CPoint meter;  // 4/4 from step 0
    for (const auto& p : m_vPoints) {
        if (p.nStep > nStep) break;
        const uint64_t nBarLength = uint64_t(meter.nBeats) * meter.nBeatLength;
        // Bars begun from the current meter's start up to this point (a part counts).
        nBar += (uint64_t(p.nStep - meter.nStep) + nBarLength - 1) / nBarLength;
        meter = p;
    }
    const uint64_t nBarLength = uint64_t(meter.nBeats) * meter.nBeatLength;
    const uint64_t nOffset = nStep - meter.nStep;
    CBarBeat at;
    at.nBar = nBar + nOffset / nBarLength;
    at.nBeat = static_cast<uint32_t>(nOffset % nBarLength / meter.nBeatLength) + 1;
    return at;
}

std::string FormatClock(double dSeconds) {
    if (!(dSeconds > 0)) dSeconds = 0;  // also NaN
    // A hair above the tenth, so that 1.3 (stored as 1.2999...) shows as 1.3.
    const auto nTenths = static_cast<uint64_t>(std::floor(std::min(dSeconds, 1e12) * 10.0 + 1e-6));
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02llu:%02llu.%llu",
                  static_cast<unsigned long long>(nTenths / 600),
                  static_cast<unsigned long long>(nTenths / 10 % 60),
                  static_cast<unsigned long long>(nTenths % 10));
    return buf;
}

std::string FormatStatus(const CMeterMap& meters, const CStatus& status, double dTotalSeconds,
                         const std::string& sDevice) {
    const auto at = meters.At(status.nStep);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%4llu:%-2u %s / %s  %.1f BPM  ",
                  static_cast<unsigned long long>(at.nBar), at.nBeat,
                  FormatClock(status.dSeconds).c_str(), FormatClock(dTotalSeconds).c_str(),
                  status.dTempo);
    return buf + sDevice;
}

}  // namespace DUve::Play
