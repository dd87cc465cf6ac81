// The tempo map: converts between step positions (480 to a quarter note) and seconds from
// the start of a sequence. A plain value, copied whole when a new version is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace DUve {

class CRTempoTrack {
public:
    static constexpr double kDefaultTempo = 120.0;
    static constexpr double kStepsPerQuarter = 480.0;

    struct CTempoPoint {
        uint32_t nStep = 0;
        double dTempo = kDefaultTempo;  // quarter notes per minute from nStep on
        double dSeconds = 0.0;          // time of nStep from step 0 (kept by the map)
    };
    using CPoints = std::vector<CTempoPoint>;

    // Seconds from step 0 to `step`.
    double StepToSeconds(uint32_t step) const;
    // The step at `seconds` (fraction truncated, kept within 0 .. 0xFFFFFFFF) and the tempo
    // in force there.
    std::pair<uint32_t, double> SecondsToStep(double seconds) const;
    // Adds a point after every point of the same step. A tempo that is not a positive
    // finite number would make time stand still or run away: it is refused (false).
    bool Insert(uint32_t step, double tempo);
    // Removes the first point at `step` whose tempo equals `tempo` exactly; false when
    // there is none.
    bool Remove(uint32_t step, double tempo);

    const CPoints& Points() const { return m_vPoints; }
    CPoints::const_iterator begin() const { return m_vPoints.begin(); }
    CPoints::const_iterator end() const { return m_vPoints.end(); }
    size_t size() const { return m_vPoints.size(); }
    bool empty() const { return m_vPoints.empty(); }

private:
    // The point that governs `step`: the last one at or before it, or the default point.
    const CTempoPoint& Governing(uint32_t step) const;
    // Recomputes dSeconds from the point at `from` to the end.
    void Recompute(size_t from);

    CPoints m_vPoints;
};

}  // namespace DUve
