// The parameters of a run from its noise level: both level tables and the derived fields.
#include "core/denoise_params.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(DenoiseParams, LevelTablesGiveTheRadiusOfEachLevelRange)
{
    const std::pair<int, int> gray[] = {{1, 1}, {15, 1}, {16, 2}, {30, 2}, {31, 3}, {45, 3},
        {46, 4}, {75, 4}, {76, 5}, {100, 5}, {101, 1}, {0, 5}, {-7, 5}};
    for (const auto &[level, radius] : gray) {
        const DenoiseParams p = grayParams(level, 40, 30);
        EXPECT_EQ(p.patchRadius, radius) << "gray level " << level;
        EXPECT_EQ(p.patchValues, (2 * radius + 1) * (2 * radius + 1));
    }
    const std::pair<int, int> color[]
        = {{1, 1}, {25, 1}, {26, 2}, {55, 2}, {56, 3}, {100, 3}, {101, 1}, {0, 3}};
    for (const auto &[level, radius] : color) {
        const DenoiseParams p = colorParams(level, 40, 30);
        EXPECT_EQ(p.patchRadius, radius) << "colour level " << level;
        EXPECT_EQ(p.patchValues, 3 * (2 * radius + 1) * (2 * radius + 1));
    }
}

TEST(DenoiseParams, DerivedFieldsFollowTheLevelInSinglePrecision)
{
    const DenoiseParams gray = grayParams(10, 40, 30);
    EXPECT_EQ(gray.weightScale, 144.0f); // 9 * (0.4 * 10)^2
    EXPECT_EQ(gray.sigmaSq, 100.0f);
    EXPECT_EQ(gray.stepsPerPath, 8);
    EXPECT_EQ(gray.pathsPerPixel, 8);
    EXPECT_EQ(gray.stepScale, std::sqrt(10.0f));
    // k = 0.35 above the table's middle; products rounded as floats.
    const float k60 = 0.35f * 60.0f, k30 = 0.4f * 30.0f, k80 = 0.35f * 80.0f;
    EXPECT_EQ(grayParams(60, 1, 1).weightScale, 81.0f * (k60 * k60));
    EXPECT_EQ(colorParams(30, 1, 1).weightScale, 75.0f * (k30 * k30));
    EXPECT_EQ(colorParams(80, 1, 1).weightScale, 147.0f * (k80 * k80));
}
