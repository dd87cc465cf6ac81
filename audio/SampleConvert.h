// Writing mixed float samples into an output's channel buffers, in the buffer's sample
// type. The integer types clamp to [-1, 1], a value that is not greater than -1 (NaN
// included) becoming -1. Float channels keep their headroom: finite values pass as they
// are, infinities become +-1 and NaN silence, so nothing downstream is poisoned.
#pragma once

#include <cstdint>
#include <cstring>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice {

inline float ClampSample(float f) {
    if (!(f > -1.0f)) return -1.0f;
    return f > 1.0f ? 1.0f : f;
}

// Non-negative values scale by 32767, negative ones by 32768; truncated toward zero.
inline int16_t SampleToInt16(float f) {
    f = ClampSample(f);
    return static_cast<int16_t>(f >= 0.0f ? f * 32767.0f : f * 32768.0f);
}

// Scaled by 2^31 and truncated toward zero; +1.0, whose product does not fit, is the
// largest value.
inline int32_t SampleToInt32(float f) {
    const double d = static_cast<double>(ClampSample(f)) * 2147483648.0;
    return d >= 2147483647.0 ? 2147483647 : static_cast<int32_t>(d);
}

inline float SampleToFloat(float f) {
    if (f != f) return 0.0f;
    if (f > 1e30f) return 1.0f;
    if (f < -1e30f) return -1.0f;
    return f;
}

// Writes nFrames samples from pSource into the buffer, starting at frame nOffset.
// Sample types other than the three known ones are left untouched.
inline void WriteSamples(const CAudioChannelBuffer& b, const float* pSource, uint32_t nFrames, uint32_t nOffset) {
    if (!b.pData || b.nStride == 0) return;
    const size_t nStride = b.nStride;
    switch (b.type) {
        case ESampleType::Int16LSB: {
            auto* p = static_cast<int16_t*>(b.pData) + size_t(nOffset) * nStride;
            for (uint32_t i = 0; i < nFrames; ++i) p[i * nStride] = SampleToInt16(pSource[i]);
            break;
        }
        case ESampleType::Int32LSB: {
            auto* p = static_cast<int32_t*>(b.pData) + size_t(nOffset) * nStride;
            for (uint32_t i = 0; i < nFrames; ++i) p[i * nStride] = SampleToInt32(pSource[i]);
            break;
        }
        case ESampleType::Float32LSB: {
            auto* p = static_cast<float*>(b.pData) + size_t(nOffset) * nStride;
            for (uint32_t i = 0; i < nFrames; ++i) p[i * nStride] = SampleToFloat(pSource[i]);
            break;
        }
    }
}

}  // namespace DUve::AudioDevice
