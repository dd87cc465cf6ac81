// The archive: a byte stream that is either storing (appending to a buffer) or loading
// (reading forward from a buffer), with the one little-endian, unpadded encoding that the
// network protocol and the stored event blobs share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <string>
#include <vector>

#include "runtime/RUid.h"

namespace DUve {

// Raised by an archive for data that runs out, a length that cannot fit, or a write to a
// loading (read from a storing) archive.
class CRArchiveException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using CRUidSet = std::set<CRUid>;
using CRUidList = std::vector<CRUid>;
using CRStringList = std::vector<std::u16string>;
using CRBytes = std::vector<uint8_t>;

class CRArchive {
public:
    // Storing archive appending to `out` (which the caller owns and keeps alive).
    explicit CRArchive(CRBytes& out) : m_out(&out) {}
    // Loading archive over `size` bytes at `data` (not copied; must outlive the archive).
    CRArchive(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    CRArchive(const CRArchive&) = delete;
    CRArchive& operator=(const CRArchive&) = delete;

    bool IsStoring() const { return m_out != nullptr; }
    bool IsLoading() const { return m_out == nullptr; }
    // Loading: bytes not yet read.
    size_t Remaining() const { return m_size - m_pos; }
    size_t Position() const { return m_pos; }

    void WriteU8(uint8_t v) { WriteRaw(&v, 1); }
    void WriteBool(bool v) { WriteU8(v ? 1 : 0); }
    void WriteU16(uint16_t v);
    void WriteI16(int16_t v) { WriteU16(static_cast<uint16_t>(v)); }
    void WriteU32(uint32_t v);
    void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
    void WriteU64(uint64_t v);
    void WriteDouble(double v);
    void WriteUid(const CRUid& id) { WriteRaw(id.Data(), CRUid::kSize); }
    void WriteString(const std::u16string& s);
    void WriteBlob(const CRBytes& v);
    void WriteStringList(const CRStringList& v);
    void WriteUidSet(const CRUidSet& v);
    void WriteUidList(const CRUidList& v);
    void WriteRaw(const void* p, size_t n);

    uint8_t ReadU8();
    bool ReadBool() { return ReadU8() != 0; }
    uint16_t ReadU16();
    int16_t ReadI16() { return static_cast<int16_t>(ReadU16()); }
    uint32_t ReadU32();
    int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
    uint64_t ReadU64();
    double ReadDouble();
    // Reads as many of the 16 bytes as remain; missing bytes stay zero.
    CRUid ReadUid();
    std::u16string ReadString();
    CRBytes ReadBlob();
    CRStringList ReadStringList();
    CRUidSet ReadUidSet();
    CRUidList ReadUidList();
    // Reads a 32-bit element count and checks that that many elements of at least
    // `minElementSize` bytes each can still be present, before anything is allocated.
    uint32_t ReadCount(size_t minElementSize);

private:
    const uint8_t* Take(size_t n);  // n fixed-width bytes or an archive error
    void RequireLoading() const;
    void RequireStoring() const;

    CRBytes* m_out = nullptr;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_pos = 0;
};

}  // namespace DUve

namespace DUve {

// Field-by-type dispatch used by classes that list their fields once (see CFieldObjT):
// the same list drives writing and reading, so the two orders cannot drift apart.
inline void WriteField(CRArchive& ar, uint8_t v) { ar.WriteU8(v); }
inline void WriteField(CRArchive& ar, bool v) { ar.WriteBool(v); }
inline void WriteField(CRArchive& ar, uint16_t v) { ar.WriteU16(v); }
inline void WriteField(CRArchive& ar, int16_t v) { ar.WriteI16(v); }
inline void WriteField(CRArchive& ar, uint32_t v) { ar.WriteU32(v); }
inline void WriteField(CRArchive& ar, int32_t v) { ar.WriteI32(v); }
inline void WriteField(CRArchive& ar, double v) { ar.WriteDouble(v); }
inline void WriteField(CRArchive& ar, const CRUid& v) { ar.WriteUid(v); }
inline void WriteField(CRArchive& ar, const std::u16string& v) { ar.WriteString(v); }
inline void WriteField(CRArchive& ar, const CRBytes& v) { ar.WriteBlob(v); }
inline void WriteField(CRArchive& ar, const CRStringList& v) { ar.WriteStringList(v); }
inline void WriteField(CRArchive& ar, const CRUidSet& v) { ar.WriteUidSet(v); }
inline void WriteField(CRArchive& ar, const CRUidList& v) { ar.WriteUidList(v); }
// An embedded object: its own fields, no id in front.
template <class T>
    requires requires(const T& t, CRArchive& ar) { t.Serialize(ar); }
inline void WriteField(CRArchive& ar, const T& v) {
    v.Serialize(ar);
}

inline void ReadField(CRArchive& ar, uint8_t& v) { v = ar.ReadU8(); }
inline void ReadField(CRArchive& ar, bool& v) { v = ar.ReadBool(); }
inline void ReadField(CRArchive& ar, uint16_t& v) { v = ar.ReadU16(); }
inline void ReadField(CRArchive& ar, int16_t& v) { v = ar.ReadI16(); }
inline void ReadField(CRArchive& ar, uint32_t& v) { v = ar.ReadU32(); }
inline void ReadField(CRArchive& ar, int32_t& v) { v = ar.ReadI32(); }
inline void ReadField(CRArchive& ar, double& v) { v = ar.ReadDouble(); }
inline void ReadField(CRArchive& ar, CRUid& v) { v = ar.ReadUid(); }
inline void ReadField(CRArchive& ar, std::u16string& v) { v = ar.ReadString(); }
inline void ReadField(CRArchive& ar, CRBytes& v) { v = ar.ReadBlob(); }
inline void ReadField(CRArchive& ar, CRStringList& v) { v = ar.ReadStringList(); }
inline void ReadField(CRArchive& ar, CRUidSet& v) { v = ar.ReadUidSet(); }
inline void ReadField(CRArchive& ar, CRUidList& v) { v = ar.ReadUidList(); }
template <class T>
    requires std::is_constructible_v<T, CRArchive&> && std::is_move_assignable_v<T>
inline void ReadField(CRArchive& ar, T& v) {
    v = T(ar);
}

}  // namespace DUve
