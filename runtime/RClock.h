// The process clock: monotonic nanoseconds since an epoch read once at program start.
// Every time stamp of the process (the player's, the devices', the window timers') is
// read from it. Tests replace its source with a clock of their own, so that what is due
// when does not depend on the machine's speed; the timers that poll it keep their
// real-time rhythm.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace DUve {

class CRClock {
public:
    // A replacement source: nanoseconds since the epoch. Read from any thread, the audio
    // callbacks included, so it must neither block nor allocate.
    class CSource {
    public:
        virtual ~CSource() = default;
        virtual uint64_t Nanoseconds() const = 0;
    };

    static uint64_t Nanoseconds();
    static double Seconds() { return static_cast<double>(Nanoseconds()) / 1e9; }
    // The steady-clock instant the process clock counts from.
    static std::chrono::steady_clock::time_point Epoch();
    // Nanoseconds since the epoch of a steady-clock instant (negative before it).
    static int64_t NanosecondsAt(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t - Epoch()).count();
    }

    // Puts a source in place of the steady clock; null restores it. A source once set is
    // kept alive until the process ends, so a reader on another thread never sees it go.
    static void Replace(std::shared_ptr<const CSource> source);
};

}  // namespace DUve
