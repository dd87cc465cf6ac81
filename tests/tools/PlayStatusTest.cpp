// palvorplay's status line: bar:beat under changing meters, the clock, the whole line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tools/play/PlayStatus.h"

namespace {

using namespace DUve::Play;

struct CMeter {
    uint32_t nStep;
    uint16_t nBeats, nBeatLength;
};
struct CAt {
    uint32_t nStep;
    uint64_t nBar;
    uint32_t nBeat;
};

TEST(PlayStatusBars, BarAndBeatUnderMeters) {
    struct CCase {
        const char* szName;
        std::vector<CMeter> meters;
        std::vector<CAt> at;
    };
    const CCase cases[] = {
        {"no meter is 4/4",
         {},
         {{0, 1, 1}, {479, 1, 1}, {480, 1, 2}, {1919, 1, 4}, {1920, 2, 1}, {4800, 3, 3}}},
        {"3/4 from the start",
         {{0, 3, 480}},
         {{0, 1, 1}, {1440, 2, 1}, {2880, 3, 1}, {3359, 3, 1}, {3360, 3, 2}}},
        {"6/8 (beats of an eighth)", {{0, 6, 240}}, {{240, 1, 2}, {1439, 1, 6}, {1440, 2, 1}}},
        {"4/4 then 3/4 at bar 3", {{3840, 3, 480}}, {{3839, 2, 4}, {3840, 3, 1}, {5280, 4, 1}}},
        // A meter inside a bar begins a new bar there.
        {"a change inside a bar", {{960, 3, 480}}, {{959, 1, 2}, {960, 2, 1}, {2400, 3, 1}}},
        {"later of two at a step", {{0, 2, 480}, {0, 5, 480}}, {{1920, 1, 5}, {2400, 2, 1}}},
        {"unknown units count as 4/4", {{0, 0, 0}}, {{1920, 2, 1}}},
        {"far steps stay exact", {{0, 1, 1}}, {{4294967295u, 4294967296ull, 1}}},
    };
    for (const auto& c : cases) {
        CMeterMap map;
        for (const auto& m : c.meters) map.Add(m.nStep, m.nBeats, m.nBeatLength);
        for (const auto& a : c.at) {
            const auto got = map.At(a.nStep);
            EXPECT_EQ(got.nBar, a.nBar) << c.szName << " at step " << a.nStep;
            EXPECT_EQ(got.nBeat, a.nBeat) << c.szName << " at step " << a.nStep;
        }
    }
}

TEST(PlayStatusClock, MinutesSecondsAndTenthsCutOff) {
    struct CCase {
        double dSeconds;
        const char* szText;
    };
    const CCase cases[] = {
        {0.0, "00:00.0"},     {0.09, "00:00.0"}, {1.3, "00:01.3"},
        {59.99, "00:59.9"},   {60.0, "01:00.0"}, {754.25, "12:34.2"},
        {6000.0, "100:00.0"}, {-2.0, "00:00.0"}, {std::nan(""), "00:00.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatClock(c.dSeconds), c.szText) << c.dSeconds;
}

TEST(PlayStatusLine, ShowsPositionTimeLengthTempoAndDevice) {
    CMeterMap meters;
    meters.Add(0, 3, 480);
    EXPECT_EQ(FormatStatus(meters, {2880, 3.0, 120.0}, 60.0, "PalvorTestSynth"),
              "   3:1  00:03.0 / 01:00.0  120.0 BPM  PalvorTestSynth");
    EXPECT_EQ(FormatStatus(CMeterMap(), {1000, 1.04, 57.25}, 2.5, "Keys, Synth"),
              "   1:3  00:01.0 / 00:02.5  57.2 BPM  Keys, Synth");
    // Bars past four digits widen the line rather than being cut.
    EXPECT_EQ(FormatStatus(CMeterMap(), {1920u * 12345u, 0.0, 120.0}, 0.0, "d").substr(0, 8),
              "12346:1 ");
}

}  // namespace
