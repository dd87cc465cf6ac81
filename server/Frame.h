// Framing on the TCP stream: a 32-bit little-endian payload length, then the payload
// (the concatenated serialized commands). Frames follow each other directly.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace DUve::Sequencer {

constexpr size_t kFrameHeaderSize = 4;

// The header announcing a payload of `n` bytes.
inline std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(uint32_t n) {
    std::array<uint8_t, kFrameHeaderSize> header{};
    for (size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<uint8_t>(n >> (8 * i));
    return header;
}

// The frame carrying `payload` (header and payload in one buffer).
inline std::vector<uint8_t> EncodeFrame(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame(kFrameHeaderSize + payload.size());
    const auto header = EncodeFrameHeader(static_cast<uint32_t>(payload.size()));
    std::memcpy(frame.data(), header.data(), kFrameHeaderSize);
    if (!payload.empty()) std::memcpy(frame.data() + kFrameHeaderSize, payload.data(), payload.size());
    return frame;
}

// The payload length announced by a 4-byte header.
inline uint32_t DecodeFrameHeader(const uint8_t (&header)[kFrameHeaderSize]) {
    return static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
           static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
}

}  // namespace DUve::Sequencer
