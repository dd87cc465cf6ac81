// Test helpers: byte vectors from hex text and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace PalvorTest {

// "FF FE 0a" -> {0xFF, 0xFE, 0x0A}; blanks are ignored.
inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    int pending = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(static_cast<uint8_t>(pending * 16 + v));
            pending = -1;
        }
    }
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += d[bytes[i] >> 4];
        s += d[bytes[i] & 15];
    }
    return s;
}

// CRC-16/ARC written out bit by bit, independent of the production code.
inline uint16_t ReferenceCrc16Arc(const std::string& text) {
    uint16_t crc = 0;
    for (unsigned char c : text) {
        crc ^= c;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

}  // namespace PalvorTest
