#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "midi/RTempoTrack.h"

using namespace DUve;

TEST(RTempoTrack, EmptyMapRunsAt120) {
    const CRTempoTrack map;
    EXPECT_DOUBLE_EQ(map.StepToSeconds(480), 0.5);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(0), 0.0);
    const auto [step, tempo] = map.SecondsToStep(1.0);
    EXPECT_EQ(step, 960u);
    EXPECT_EQ(tempo, 120.0);
}

TEST(RTempoTrack, ConvertsAcrossTempoChanges) {
    CRTempoTrack map;
    ASSERT_TRUE(map.Insert(0, 120));
    ASSERT_TRUE(map.Insert(960, 60));
    EXPECT_DOUBLE_EQ(map.StepToSeconds(960), 1.0);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1440), 2.0);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(480), 0.5);
    EXPECT_EQ(map.SecondsToStep(1.5), std::make_pair(1200u, 60.0));
    EXPECT_EQ(map.SecondsToStep(0.5), std::make_pair(480u, 120.0));
    // A point at exactly the time governs it.
    EXPECT_EQ(map.SecondsToStep(1.0), std::make_pair(960u, 60.0));
    ASSERT_EQ(map.size(), 2u);
    EXPECT_DOUBLE_EQ(map.Points()[1].dSeconds, 1.0);
}

TEST(RTempoTrack, LastPointOfAStepGovernsAndRemoveRestores) {
    CRTempoTrack map;
    map.Insert(960, 60);
    map.Insert(960, 90);
    map.Insert(1920, 120);
    // 960..1920 at 90: 960 steps take 960 * 60 / (90 * 480) s.
    const double at1920 = 1.0 + 960.0 * 60 / (90 * 480);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1920), at1920);
    EXPECT_EQ(map.SecondsToStep(1.0).second, 90.0);

    EXPECT_FALSE(map.Remove(960, 75));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1920), at1920);

    EXPECT_TRUE(map.Remove(960, 90));
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1440), 2.0);
    EXPECT_DOUBLE_EQ(map.Points().back().dSeconds, 3.0);  // later points follow
    EXPECT_FALSE(map.Remove(961, 60));
}

TEST(RTempoTrack, PointAtStepZeroReplacesTheDefault) {
    CRTempoTrack map;
    map.Insert(960, 60);
    EXPECT_DOUBLE_EQ(map.Points()[0].dSeconds, 1.0);
    map.Insert(0, 240);
    EXPECT_EQ(map.Points()[0].nStep, 0u);
    EXPECT_DOUBLE_EQ(map.Points()[1].dSeconds, 0.5);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(480), 0.25);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1440), 1.5);
    // Copies are independent values.
    CRTempoTrack copy = map;
    copy.Remove(0, 240);
    EXPECT_DOUBLE_EQ(copy.StepToSeconds(1440), 2.0);
    EXPECT_DOUBLE_EQ(map.StepToSeconds(1440), 1.5);
}

TEST(RTempoTrack, SecondsToStepTruncates) {
    const CRTempoTrack map;
    EXPECT_EQ(map.SecondsToStep(0.0012).first, 1u);
    EXPECT_EQ(map.SecondsToStep(0.0011).first, 1u);
    EXPECT_EQ(map.SecondsToStep(0.001).first, 0u);
}

TEST(RTempoTrack, PositionsBeyondTheSignedRangeStayPositive) {
    const CRTempoTrack map;
    const uint32_t far = 3000000000u;
    EXPECT_DOUBLE_EQ(map.StepToSeconds(far), far / 960.0);
    EXPECT_EQ(map.SecondsToStep(far / 960.0).first, far);
    CRTempoTrack withPoint;
    withPoint.Insert(3000000000u, 60);
    EXPECT_DOUBLE_EQ(withPoint.Points()[0].dSeconds, far / 960.0);
}

TEST(RTempoTrack, SecondsOutsideTheStepRangeAreClamped) {
    const CRTempoTrack map;
    EXPECT_EQ(map.SecondsToStep(-3.0).first, 0u);
    EXPECT_EQ(map.SecondsToStep(1e12).first, UINT32_MAX);
    EXPECT_EQ(map.SecondsToStep(std::numeric_limits<double>::infinity()).first, UINT32_MAX);
    EXPECT_EQ(map.SecondsToStep(std::nan("")).first, 0u);
}

TEST(RTempoTrack, TempoThatIsNoPositiveNumberIsRefused) {
    CRTempoTrack map;
    EXPECT_FALSE(map.Insert(0, 0.0));
    EXPECT_FALSE(map.Insert(0, -60.0));
    EXPECT_FALSE(map.Insert(0, std::nan("")));
    EXPECT_FALSE(map.Insert(0, std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(map.empty());
    EXPECT_DOUBLE_EQ(map.StepToSeconds(480), 0.5);
}
