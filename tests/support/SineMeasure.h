// Measures on recorded sines: the pitch, from the upward zero crossings, and the largest
// step from one sample to the next (a click or a jump in the recording shows there).
#pragma once

#include <cmath>
#include <cstddef>

namespace DUve::Test {

// Hz, from the first to the last upward zero crossing (interpolated between samples);
// 0 when there are fewer than two.
inline double ZeroCrossingPitch(const float* p, size_t n, double dRate) {
    double dFirst = -1.0, dLast = -1.0;
    size_t nCrossings = 0;
    for (size_t i = 1; i < n; ++i) {
        if (!(p[i - 1] < 0.0f && p[i] >= 0.0f)) continue;
        const double dAt = double(i - 1) + double(p[i - 1]) / (double(p[i - 1]) - double(p[i]));
        if (dFirst < 0.0) dFirst = dAt;
        dLast = dAt;
        ++nCrossings;
    }
    return nCrossings < 2 ? 0.0 : double(nCrossings - 1) * dRate / (dLast - dFirst);
}

inline double LargestStep(const float* p, size_t n) {
    double d = 0.0;
    for (size_t i = 1; i < n; ++i) d = std::fmax(d, std::fabs(double(p[i]) - double(p[i - 1])));
    return d;
}

// The largest step of a sine of amplitude dAmp and frequency dHz sampled at dRate.
inline double SineStep(double dAmp, double dHz, double dRate) {
    return 2.0 * dAmp * std::sin(M_PI * dHz / dRate);
}

}  // namespace DUve::Test
