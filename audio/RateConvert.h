// Sample-rate conversion for an output that runs at another rate than the audio it is
// given: libsamplerate's sinc converter, whose output frame k is the input's moment
// k × from / to exactly (it reads ahead instead of delaying). Its state and buffers are
// made up front, so Pull allocates and frees nothing and can run on a real-time thread.
#pragma once

#include <cstdint>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

namespace DUve::AudioDevice {

class CRateConverter {
public:
    // Input frames taken from the source at a time.
    static constexpr uint32_t kInputFrames = 256;

    CRateConverter(uint32_t nFromRate, uint32_t nToRate, uint16_t nChannels);
    ~CRateConverter();
    CRateConverter(const CRateConverter&) = delete;
    CRateConverter& operator=(const CRateConverter&) = delete;

    // False when the converter could not be made.
    bool Valid() const { return m_pState != nullptr; }
    uint16_t Channels() const { return m_nChannels; }

    // Writes nFrames converted frames to ppOut (one buffer per channel), taking input as
    // it needs it: fSource(ppIn, n) writes the next n input frames, one buffer per channel.
    template <class FSource>
    void Pull(float* const* ppOut, uint32_t nFrames, FSource&& fSource) {
        for (uint32_t nDone = 0; nDone < nFrames;) {
            if (m_nInHeld == 0) {
                fSource(m_vInPointers.data(), kInputFrames);
                TakeInput();
            }
            const uint32_t n = Convert(ppOut, nDone, nFrames - nDone);
            if (n == ~0u) return;
            nDone += n;
        }
    }
    // Forgets what it holds: the next output frame is the next input frame's moment.
    void Reset();

private:
    void TakeInput();
    // Converts into ppOut from frame nAt, at most nMax frames; the number written, or ~0u
    // after a failure (the rest is silence).
    uint32_t Convert(float* const* ppOut, uint32_t nAt, uint32_t nMax);

    SRC_STATE* m_pState = nullptr;
    const uint16_t m_nChannels;
    const double m_dRatio;
    std::vector<std::vector<float>> m_vIn;  // planar input, as the source writes it
    std::vector<float*> m_vInPointers;
    std::vector<float> m_vInterleaved;  // input, interleaved
    std::vector<float> m_vOut;          // output, interleaved
    uint32_t m_nInAt = 0, m_nInHeld = 0;
};

}  // namespace DUve::AudioDevice
