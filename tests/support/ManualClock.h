// A process clock that stands still until the test moves it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/RClock.h"

namespace DUve::Test {

class CManualClock : public CRClock::CSource {
public:
    explicit CManualClock(uint64_t nStart) : m_n(nStart) {}
    uint64_t Nanoseconds() const override { return m_n.load(); }
    void Set(uint64_t n) { m_n.store(n); }
    void Advance(uint64_t n) { m_n.fetch_add(n); }
    void AdvanceSeconds(double d) { Advance(static_cast<uint64_t>(d * 1e9)); }

    // Replaces the process clock with a manual one starting at the real clock's reading
    // (or at nStart); the steady clock comes back when the holder goes.
    class CScope {
    public:
        CScope() : CScope(CRClock::Nanoseconds()) {}
        explicit CScope(uint64_t nStart) : clock(std::make_shared<CManualClock>(nStart)) { CRClock::Replace(clock); }
        ~CScope() { CRClock::Replace(nullptr); }
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;
        const std::shared_ptr<CManualClock> clock;
    };

private:
    std::atomic<uint64_t> m_n;
};

}  // namespace DUve::Test
