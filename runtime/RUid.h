// 16-byte unique identifiers: the names of sequences, tracks, ports, events and of
// requests that expect a matching answer. Null (all zero) means "no item" and, as a
// broadcast key, "every client".
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace DUve {

namespace RUidInner {
struct tagGENERIC {};

// Fills 16 bytes from the kernel's random source, shaped as a version-4 GUID in its
// in-memory layout (first three fields little-endian).
void GenerateBytes(uint8_t (&bytes)[16]);
}  // namespace RUidInner

template <class Tag>
class CRUidT {
public:
    static constexpr size_t kSize = 16;

    CRUidT() = default;
    explicit CRUidT(const uint8_t (&bytes)[16]) { std::memcpy(m_bytes, bytes, kSize); }

    static CRUidT Generate() {
        CRUidT id;
        RUidInner::GenerateBytes(id.m_bytes);
        return id;
    }

    // Parses the text form (32 hex digits, either case); nothing on any other input.
    static std::optional<CRUidT> FromText(std::string_view text) {
        if (text.size() != 2 * kSize) return std::nullopt;
        CRUidT id;
        for (size_t i = 0; i < kSize; ++i) {
            const int hi = HexValue(text[2 * i]);
            const int lo = HexValue(text[2 * i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            id.m_bytes[i] = static_cast<uint8_t>(hi * 16 + lo);
        }
        return id;
    }

    // 32 lower-case hex digits in storage order.
    std::string ToText() const {
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string s(2 * kSize, '0');
        for (size_t i = 0; i < kSize; ++i) {
            s[2 * i] = kDigits[m_bytes[i] >> 4];
            s[2 * i + 1] = kDigits[m_bytes[i] & 15];
        }
        return s;
    }

    bool IsNull() const {
        for (uint8_t b : m_bytes)
            if (b) return false;
        return true;
    }

    const uint8_t* Data() const { return m_bytes; }
    uint8_t* Data() { return m_bytes; }

    friend bool operator==(const CRUidT& a, const CRUidT& b) {
        return std::memcmp(a.m_bytes, b.m_bytes, kSize) == 0;
    }
    // Byte-wise unsigned comparison, first byte most significant.
    friend std::strong_ordering operator<=>(const CRUidT& a, const CRUidT& b) {
        const int c = std::memcmp(a.m_bytes, b.m_bytes, kSize);
        return c < 0 ? std::strong_ordering::less
                     : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
    }

private:
    static int HexValue(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    uint8_t m_bytes[kSize] = {};
};

using CRUid = CRUidT<RUidInner::tagGENERIC>;

}  // namespace DUve
