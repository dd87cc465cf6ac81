#include "runtime/RArchive.h"

#include <bit>
#include <cstring>

#include "runtime/RString.h"

namespace DUve {

static_assert(std::endian::native == std::endian::little,
              "the archive writes host integers as little-endian bytes");

void CRArchive::RequireStoring() const {
    if (!m_out) throw CRArchiveException("write to a loading archive");
}

void CRArchive::RequireLoading() const {
    if (m_out) throw CRArchiveException("read from a storing archive");
}

void CRArchive::WriteRaw(const void* p, size_t n) {
    RequireStoring();
    const auto* b = static_cast<const uint8_t*>(p);
    m_out->insert(m_out->end(), b, b + n);
}

void CRArchive::WriteU16(uint16_t v) { WriteRaw(&v, 2); }
void CRArchive::WriteU32(uint32_t v) { WriteRaw(&v, 4); }
void CRArchive::WriteU64(uint64_t v) { WriteRaw(&v, 8); }
void CRArchive::WriteDouble(double v) { WriteRaw(&v, 8); }

void CRArchive::WriteString(const std::u16string& s) {
    // Always the wide form: marker FF, FE FF, then the length in UTF-16 units.
    const uint8_t marker[3] = {0xFF, 0xFE, 0xFF};
    WriteRaw(marker, 3);
    const uint64_t len = s.size();
    if (len < 0xFF) {
        WriteU8(static_cast<uint8_t>(len));
    } else {
        WriteU8(0xFF);
        if (len < 0xFFFE) {
            WriteU16(static_cast<uint16_t>(len));
        } else {
            WriteU16(0xFFFF);
            if (len < 0xFFFFFFFFull) {
                WriteU32(static_cast<uint32_t>(len));
            } else {
                WriteU32(0xFFFFFFFFu);
                WriteU64(len);
            }
        }
    }
    WriteRaw(s.data(), s.size() * 2);
}

void CRArchive::WriteBlob(const CRBytes& v) {
    if (v.size() > 0x7FFFFFFFu) throw CRArchiveException("blob too large");
    WriteU32(static_cast<uint32_t>(v.size()));
    WriteRaw(v.data(), v.size());
}

void CRArchive::WriteStringList(const CRStringList& v) {
    WriteU32(static_cast<uint32_t>(v.size()));
    for (const auto& s : v) WriteString(s);
}

void CRArchive::WriteUidSet(const CRUidSet& v) {
    WriteU32(static_cast<uint32_t>(v.size()));
    for (const auto& id : v) WriteUid(id);
}

void CRArchive::WriteUidList(const CRUidList& v) {
    WriteU32(static_cast<uint32_t>(v.size()));
    for (const auto& id : v) WriteUid(id);
}

const uint8_t* CRArchive::Take(size_t n) {
    RequireLoading();
    if (n > Remaining()) throw CRArchiveException("unexpected end of data");
    const uint8_t* p = m_data + m_pos;
    m_pos += n;
    return p;
}

uint8_t CRArchive::ReadU8() { return *Take(1); }

uint16_t CRArchive::ReadU16() {
    uint16_t v;
    std::memcpy(&v, Take(2), 2);
    return v;
}

uint32_t CRArchive::ReadU32() {
    uint32_t v;
    std::memcpy(&v, Take(4), 4);
    return v;
}

uint64_t CRArchive::ReadU64() {
    uint64_t v;
    std::memcpy(&v, Take(8), 8);
    return v;
}

double CRArchive::ReadDouble() {
    double v;
    std::memcpy(&v, Take(8), 8);
    return v;
}

CRUid CRArchive::ReadUid() {
    RequireLoading();
    CRUid id;
    const size_t n = std::min(Remaining(), CRUid::kSize);
    std::memcpy(id.Data(), m_data + m_pos, n);
    m_pos += n;
    return id;
}

std::u16string CRArchive::ReadString() {
    // Wide form: FF, FE FF, then a length; narrow form (no marker): just a length.
    bool wide = false;
    uint64_t len = ReadU8();
    if (len == 0xFF) {
        uint16_t w = ReadU16();
        bool haveLength = false;
        if (w == 0xFFFE) {
            wide = true;
            len = ReadU8();
            haveLength = len < 0xFF;
            if (!haveLength) w = ReadU16();
        }
        if (!haveLength) {
            if (w < 0xFFFF) {
                len = w;
            } else {
                const uint32_t d = ReadU32();
                len = d < 0xFFFFFFFFu ? d : (ReadU64() & 0xFFFFFFFFull);
            }
        }
    }
    const uint64_t bytes = wide ? len * 2 : len;
    if (bytes > Remaining()) throw CRArchiveException("string longer than the data");
    const uint8_t* p = Take(static_cast<size_t>(bytes));
    if (!wide) return NarrowToUtf16(p, static_cast<size_t>(len));
    std::u16string s(static_cast<size_t>(len), u'\0');
    std::memcpy(s.data(), p, static_cast<size_t>(bytes));
    return s;
}

CRBytes CRArchive::ReadBlob() {
    const int32_t n = ReadI32();
    if (n < 0 || static_cast<size_t>(n) > Remaining())
        throw CRArchiveException("blob longer than the data");
    const uint8_t* p = Take(static_cast<size_t>(n));
    return CRBytes(p, p + n);
}

uint32_t CRArchive::ReadCount(size_t minElementSize) {
    const uint32_t n = ReadU32();
    if (minElementSize > 0 && n > Remaining() / minElementSize)
        throw CRArchiveException("count larger than the data can hold");
    return n;
}

CRStringList CRArchive::ReadStringList() {
    const uint32_t n = ReadCount(1);  // the narrow empty string is one byte
    CRStringList v;
    v.reserve(n);
    for (uint32_t i = 0; i < n; ++i) v.push_back(ReadString());
    return v;
}

CRUidSet CRArchive::ReadUidSet() {
    const uint32_t n = ReadCount(CRUid::kSize);
    CRUidSet v;
    for (uint32_t i = 0; i < n; ++i) v.insert(v.end(), ReadUid());
    return v;
}

CRUidList CRArchive::ReadUidList() {
    const uint32_t n = ReadCount(CRUid::kSize);
    CRUidList v;
    v.reserve(n);
    for (uint32_t i = 0; i < n; ++i) v.push_back(ReadUid());
    return v;
}

}  // namespace DUve
