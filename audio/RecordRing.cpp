#include "audio/RecordRing.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace DUve::AudioDevice {

namespace {
constexpr size_t kLength = sizeof(uint32_t);
}

CRecordRing::CRecordRing(size_t nCapacity)
    : m_vBytes(std::bit_ceil(std::max<size_t>(nCapacity, 2 * kLength))), m_nMask(m_vBytes.size() - 1) {}

CRecordRing::~CRecordRing() {
    if (m_bLocked) munlock(m_vBytes.data(), m_vBytes.size());
}

void CRecordRing::LockInMemory() {
    if (!m_bLocked) m_bLocked = mlock(m_vBytes.data(), m_vBytes.size()) == 0;
}

void CRecordRing::CopyIn(uint64_t nAt, const uint8_t* p, size_t n) {
    const size_t nFrom = static_cast<size_t>(nAt & m_nMask);
    const size_t nFirst = std::min(n, m_vBytes.size() - nFrom);
    std::memcpy(m_vBytes.data() + nFrom, p, nFirst);
    std::memcpy(m_vBytes.data(), p + nFirst, n - nFirst);
}

void CRecordRing::CopyOut(uint64_t nAt, uint8_t* p, size_t n) const {
    const size_t nFrom = static_cast<size_t>(nAt & m_nMask);
    const size_t nFirst = std::min(n, m_vBytes.size() - nFrom);
    std::memcpy(p, m_vBytes.data() + nFrom, nFirst);
    std::memcpy(p + nFirst, m_vBytes.data(), n - nFirst);
}

bool CRecordRing::Write(std::initializer_list<std::span<const uint8_t>> parts) {
    size_t nSize = 0;
    for (const auto& part : parts) nSize += part.size();
    const uint64_t nWrite = m_nWrite.load(std::memory_order_relaxed);
    const uint64_t nRead = m_nRead.load(std::memory_order_acquire);
    if (nSize == 0 || nSize > UINT32_MAX || kLength + nSize > m_vBytes.size() - (nWrite - nRead)) return false;
    const auto nLength = static_cast<uint32_t>(nSize);
    CopyIn(nWrite, reinterpret_cast<const uint8_t*>(&nLength), kLength);
    uint64_t nAt = nWrite + kLength;
    for (const auto& part : parts) {
        CopyIn(nAt, part.data(), part.size());
        nAt += part.size();
    }
    // The record becomes visible as a whole.
    m_nWrite.store(nAt, std::memory_order_release);
    return true;
}

size_t CRecordRing::NextSize() {
    const uint64_t nWrite = m_nWrite.load(std::memory_order_acquire);
    const uint64_t nRead = m_nRead.load(std::memory_order_relaxed);
    const uint64_t nHeld = nWrite - nRead;
    if (nHeld == 0) return 0;
    uint32_t nLength = 0;
    if (nHeld >= kLength) CopyOut(nRead, reinterpret_cast<uint8_t*>(&nLength), kLength);
    if (nHeld < kLength || nLength == 0 || nLength > nHeld - kLength) {
        m_nDamaged.fetch_add(1, std::memory_order_relaxed);
        m_nRead.store(nWrite, std::memory_order_release);
        return 0;
    }
    m_nNext = nLength;
    return nLength;
}

void CRecordRing::Peek(size_t nOffset, void* pOut, size_t n) const {
    CopyOut(m_nRead.load(std::memory_order_relaxed) + kLength + nOffset, static_cast<uint8_t*>(pOut), n);
}

void CRecordRing::Pop() {
    if (m_nNext == 0) return;
    m_nRead.store(m_nRead.load(std::memory_order_relaxed) + kLength + m_nNext, std::memory_order_release);
    m_nNext = 0;
}

}  // namespace DUve::AudioDevice
