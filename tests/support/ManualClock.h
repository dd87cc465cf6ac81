// A process clock that stands still until the test moves it.
#pragma once

#include <atomic>
#include <memory>

#include "audio/AudioDevice.h"

namespace DUve::Test {

class CManualClock : public AudioDevice::IClockSource {
public:
    explicit CManualClock(uint64_t nStart) : m_n(nStart) {}
    uint64_t Nanoseconds() const override { return m_n.load(); }
    void Set(uint64_t n) { m_n.store(n); }
    void Advance(uint64_t n) { m_n.fetch_add(n); }

    // Replaces the process clock with a manual one starting at the real clock's reading;
    // the steady clock comes back when the holder goes.
    class CScope {
    public:
        CScope() : clock(std::make_shared<CManualClock>(AudioDevice::ClockNanoseconds())) {
            AudioDevice::SetClockSource(clock);
        }
        ~CScope() { AudioDevice::SetClockSource(nullptr); }
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;
        const std::shared_ptr<CManualClock> clock;
    };

private:
    std::atomic<uint64_t> m_n;
};

}  // namespace DUve::Test
