// The Pulse output's frame clock against made-up latency readings: periods of 2,048
// frames at 44.1 kHz, each reading the true time the period plays plus a few
// milliseconds of jitter, with the disturbances a stream meets.
#include <gtest/gtest.h>

#include <cstdlib>

#include "audio/linux/PulseFrameClock.h"

namespace DUve::AudioDevice::Linux {
namespace {

constexpr uint32_t kRate = 44100, kPeriod = 2048;
constexpr int64_t kPeriodNs = int64_t(kPeriod) * 1000000000 / kRate;
constexpr int64_t kMs = 1000000;

TEST(PulseFrameClock, FollowsTheFramesThroughJitterAndMovesOnlyForSustainedShifts) {
    struct CCase {
        const char* sName;
        int nPeriods;
        int nStallAt = -1;  // from this period on, every period plays this much later
        int64_t nStallNs = 0;
        int nSilentFrom = 0, nSilentTo = 0;  // periods without a reading
        int nBurstFrom = 0, nBurstTo = 0;    // readings 200 ms off
        double dServerFast = 0.0;            // the server's clock runs faster by this share
        uint64_t nMoves = 0;
        int nUncheckedFrom = 0, nUncheckedTo = 0;  // the stalled stretch before the move
        int64_t nBoundNs = 4 * kMs;                // of the error elsewhere
    };
    const CCase cases[] = {
        {"steady", 200},
        {"no reading at first, nor for a while later", 200, -1, 0, 0, 30},
        {"a burst of readings far off, fewer than half a window", 200, -1, 0, 0, 0, 60, 64},
        {"an underrun: 100 ms later from period 50", 200, 50, 100 * kMs, 0, 0, 0, 0, 0.0, 1, 50,
         72},
        {"a server clock 0.1 % fast", 2000, -1, 0, 0, 0, 0, 0, 0.001, 3, 0, 0, kPeriodNs * 3 / 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        CPulseFrameClock clock;
        clock.Start(kRate, kPeriod);
        const int64_t t0 = 5000 * kMs;
        uint64_t nLast = 0;
        int nGiven = 0;
        for (int k = 0; k < c.nPeriods; ++k) {
            int64_t nTruth = t0 + int64_t(double(k * kPeriodNs) * (1.0 - c.dServerFast));
            if (c.nStallAt >= 0 && k >= c.nStallAt) nTruth += c.nStallNs;
            const int64_t nJitter = (k * 7 % 9 - 4) * kMs;  // -4 .. +4 ms
            uint64_t nReading = uint64_t(nTruth + nJitter);
            if (k >= c.nSilentFrom && k < c.nSilentTo) nReading = 0;
            if (k >= c.nBurstFrom && k < c.nBurstTo) nReading += 200 * kMs;
            const uint64_t nAt = clock.Next(nReading);
            if (!clock.Anchored()) {
                EXPECT_EQ(nAt, 0u) << k;
                continue;
            }
            ASSERT_NE(nAt, 0u) << k;
            // Periods it places one after another are exactly their length apart, unless
            // it moved.
            if (nGiven++ && clock.Moves() == 0) {
                EXPECT_LE(std::llabs(int64_t(nAt - nLast) - kPeriodNs), 1) << k;
            }
            nLast = nAt;
            if (k >= c.nUncheckedFrom && k < c.nUncheckedTo) continue;
            EXPECT_LE(std::llabs(int64_t(nAt) - nTruth), c.nBoundNs) << k;
        }
        EXPECT_EQ(clock.Moves(), c.nMoves);
    }
}

}  // namespace
}  // namespace DUve::AudioDevice::Linux
