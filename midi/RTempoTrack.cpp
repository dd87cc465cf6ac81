#include "midi/RTempoTrack.h"

#include <algorithm>
#include <cmath>

namespace DUve {

namespace {

const CRTempoTrack::CTempoPoint s_defaultPoint{0, CRTempoTrack::kDefaultTempo, 0.0};

// Seconds that `steps` steps take at `tempo` quarter notes per minute.
double Duration(double steps, double tempo) {
    return steps * 60.0 / (tempo * CRTempoTrack::kStepsPerQuarter);
}

}  // namespace

const CRTempoTrack::CTempoPoint& CRTempoTrack::Governing(uint32_t step) const {
    const auto it = std::upper_bound(m_vPoints.begin(), m_vPoints.end(), step,
                                     [](uint32_t s, const CTempoPoint& p) { return s < p.nStep; });
    return it == m_vPoints.begin() ? s_defaultPoint : *(it - 1);
}

double CRTempoTrack::StepToSeconds(uint32_t step) const {
    const CTempoPoint& p = Governing(step);
    // The governing point never lies after `step`: the difference is taken unsigned, so
    // positions beyond 2^31 steps do not turn negative.
    return p.dSeconds + Duration(static_cast<double>(step - p.nStep), p.dTempo);
}

std::pair<uint32_t, double> CRTempoTrack::SecondsToStep(double seconds) const {
    const auto it = std::upper_bound(m_vPoints.begin(), m_vPoints.end(), seconds,
                                     [](double t, const CTempoPoint& p) { return t < p.dSeconds; });
    const CTempoPoint& p = it == m_vPoints.begin() ? s_defaultPoint : *(it - 1);
    const double step =
        std::trunc(p.nStep + (seconds - p.dSeconds) * p.dTempo * kStepsPerQuarter / 60.0);
    // A NaN, a negative time and a time past the last step stay inside the step range.
    uint32_t n = 0;
    if (step >= 4294967295.0)
        n = UINT32_MAX;
    else if (step > 0)
        n = static_cast<uint32_t>(step);
    return {n, p.dTempo};
}

bool CRTempoTrack::Insert(uint32_t step, double tempo) {
    if (!(tempo > 0) || !std::isfinite(tempo)) return false;
    const auto it = std::upper_bound(m_vPoints.begin(), m_vPoints.end(), step,
                                     [](uint32_t s, const CTempoPoint& p) { return s < p.nStep; });
    const size_t index = static_cast<size_t>(it - m_vPoints.begin());
    m_vPoints.insert(it, CTempoPoint{step, tempo, 0.0});
    Recompute(index);
    return true;
}

bool CRTempoTrack::Remove(uint32_t step, double tempo) {
    auto it = std::lower_bound(m_vPoints.begin(), m_vPoints.end(), step,
                               [](const CTempoPoint& p, uint32_t s) { return p.nStep < s; });
    for (; it != m_vPoints.end() && it->nStep == step; ++it) {
        if (it->dTempo == tempo) {
            const size_t index = static_cast<size_t>(it - m_vPoints.begin());
            m_vPoints.erase(it);
            Recompute(index);
            return true;
        }
    }
    return false;
}

void CRTempoTrack::Recompute(size_t from) {
    for (size_t i = from; i < m_vPoints.size(); ++i) {
        const CTempoPoint& prev = i == 0 ? s_defaultPoint : m_vPoints[i - 1];
        CTempoPoint& p = m_vPoints[i];
        p.dSeconds =
            prev.dSeconds + Duration(static_cast<double>(p.nStep - prev.nStep), prev.dTempo);
    }
}

}  // namespace DUve
