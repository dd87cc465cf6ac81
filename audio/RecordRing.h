// A lock-free ring of variable-length records from one writing thread to one reading
// thread (a device's worker and a sound server's real-time thread). A record reaches the
// reader whole or not at all: its bytes are copied in first, and the write index moves
// past them in one step afterwards. Only the constructor allocates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace DUve::AudioDevice {

class CRecordRing {
public:
    // nCapacity: bytes, rounded up to a power of two; each record takes 4 bytes more
    // than its own size.
    explicit CRecordRing(size_t nCapacity);
    CRecordRing(const CRecordRing&) = delete;
    CRecordRing& operator=(const CRecordRing&) = delete;
    ~CRecordRing();

    size_t Capacity() const { return m_vBytes.size(); }
    // Keeps the ring's memory in RAM (best effort), so that the reader never waits for a
    // page to come back.
    void LockInMemory();

    // ---- the writer
    // Appends the parts, one after another, as one record; false, and nothing written,
    // when there is not room for all of it or it is empty.
    bool Write(std::initializer_list<std::span<const uint8_t>> parts);
    template <class T>
    bool WriteValue(const T& value) {
        return Write({std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&value), sizeof value)});
    }

    // ---- the reader
    // The size of the next record, 0 when there is none. A record whose length cannot be
    // (the ring's bytes were damaged) is counted, and everything written so far dropped.
    size_t NextSize();
    // Copies n bytes of the next record, from nOffset; the caller keeps within NextSize().
    void Peek(size_t nOffset, void* pOut, size_t n) const;
    // Drops the next record (NextSize() was not 0).
    void Pop();
    uint64_t Damaged() const { return m_nDamaged.load(std::memory_order_relaxed); }

private:
    void CopyIn(uint64_t nAt, const uint8_t* p, size_t n);
    void CopyOut(uint64_t nAt, uint8_t* p, size_t n) const;

    std::vector<uint8_t> m_vBytes;
    uint64_t m_nMask;
    bool m_bLocked = false;
    // Bytes written and read since the start; they only grow, so full and empty differ.
    alignas(64) std::atomic<uint64_t> m_nWrite{0};
    alignas(64) std::atomic<uint64_t> m_nRead{0};
    uint32_t m_nNext = 0;  // the reader's: size of the record NextSize() found
    std::atomic<uint64_t> m_nDamaged{0};
};

}  // namespace DUve::AudioDevice
