#include "audio/RateConvert.h"

#include <samplerate.h>

#include <algorithm>

namespace DUve::AudioDevice {

namespace {
// Output frames converted per call.
constexpr uint32_t kOutputFrames = 512;
}  // namespace

CRateConverter::CRateConverter(uint32_t nFromRate, uint32_t nToRate, uint16_t nChannels)
    : m_nChannels(nChannels),
      m_dRatio(nFromRate ? double(nToRate) / double(nFromRate) : 0.0),
      m_vIn(nChannels, std::vector<float>(kInputFrames, 0.0f)),
      m_vInterleaved(size_t(kInputFrames) * nChannels, 0.0f),
      m_vOut(size_t(kOutputFrames) * nChannels, 0.0f) {
    for (auto& v : m_vIn) m_vInPointers.push_back(v.data());
    if (nChannels == 0 || !src_is_valid_ratio(m_dRatio)) return;
    int nError = 0;
    // Medium quality: about 97 dB of signal to noise over 90 % of the band.
    m_pState = src_new(SRC_SINC_MEDIUM_QUALITY, nChannels, &nError);
}

CRateConverter::~CRateConverter() {
    if (m_pState) src_delete(m_pState);
}

void CRateConverter::Reset() {
    if (m_pState) src_reset(m_pState);
    m_nInAt = m_nInHeld = 0;
}

void CRateConverter::TakeInput() {
    for (uint32_t f = 0; f < kInputFrames; ++f)
        for (uint16_t c = 0; c < m_nChannels; ++c) m_vInterleaved[size_t(f) * m_nChannels + c] = m_vIn[c][f];
    m_nInAt = 0;
    m_nInHeld = kInputFrames;
}

uint32_t CRateConverter::Convert(float* const* ppOut, uint32_t nAt, uint32_t nMax) {
    SRC_DATA data{};
    data.data_in = m_vInterleaved.data() + size_t(m_nInAt) * m_nChannels;
    data.input_frames = m_nInHeld;
    data.data_out = m_vOut.data();
    data.output_frames = std::min(nMax, kOutputFrames);
    data.src_ratio = m_dRatio;
    // A converter that neither takes nor gives would never finish the pull.
    if (!m_pState || src_process(m_pState, &data) != 0 ||
        (data.input_frames_used == 0 && data.output_frames_gen == 0)) {
        for (uint16_t c = 0; c < m_nChannels; ++c) std::fill(ppOut[c] + nAt, ppOut[c] + nAt + nMax, 0.0f);
        return ~0u;
    }
    m_nInAt += static_cast<uint32_t>(data.input_frames_used);
    m_nInHeld -= static_cast<uint32_t>(data.input_frames_used);
    const auto n = static_cast<uint32_t>(data.output_frames_gen);
    for (uint32_t f = 0; f < n; ++f)
        for (uint16_t c = 0; c < m_nChannels; ++c) ppOut[c][nAt + f] = m_vOut[size_t(f) * m_nChannels + c];
    return n;
}

}  // namespace DUve::AudioDevice
