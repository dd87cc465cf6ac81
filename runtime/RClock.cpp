#include "runtime/RClock.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace DUve {

namespace {
std::chrono::steady_clock::time_point EpochValue() {
    static const std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
    return epoch;
}
// Read at program start, before main, whoever asks first.
[[maybe_unused]] const std::chrono::steady_clock::time_point g_epochAtStart = EpochValue();

std::atomic<const CRClock::CSource*> g_source{nullptr};
std::mutex g_sourceMutex;
std::vector<std::shared_ptr<const CRClock::CSource>>& KeptSources() {
    static std::vector<std::shared_ptr<const CRClock::CSource>> kept;
    return kept;
}
}  // namespace

std::chrono::steady_clock::time_point CRClock::Epoch() { return EpochValue(); }

uint64_t CRClock::Nanoseconds() {
    if (const CSource* p = g_source.load(std::memory_order_acquire)) return p->Nanoseconds();
    const auto d = std::chrono::steady_clock::now() - EpochValue();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

void CRClock::Replace(std::shared_ptr<const CSource> source) {
    std::lock_guard lock(g_sourceMutex);
    g_source.store(source.get(), std::memory_order_release);
    if (source) KeptSources().push_back(std::move(source));
}

}  // namespace DUve
