// The parameters of a run from its noise level: both level tables and the derived fields.
#include "core/denoise_params.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(DenoiseParams, GrayTableGivesTheRadiusOfEachLevelRange)
{
    const std::pair<int, int> levelRadius[] = {{1, 1}, {15, 1}, {16, 2}, {30, 2}, {31, 3}, {45, 3},
        {46, 4}, {75, 4}, {76, 5}, {99, 5}, {100, 5}, {101, 1}, {0, 5}, {-7, 5}};
    for (const auto &[level, radius] : levelRadius) {
        const DenoiseParams p = grayParams(level, 40, 30);
        EXPECT_EQ(p.patchRadius, radius) << "level " << level;
        EXPECT_EQ(p.patchSide, 2 * radius + 1);
        EXPECT_EQ(p.patchCells, p.patchSide * p.patchSide);
        EXPECT_EQ(p.patchValues, p.patchCells);
    }
}

TEST(DenoiseParams, ColorTableGivesTheRadiusOfEachLevelRange)
{
    const std::pair<int, int> levelRadius[]
        = {{1, 1}, {25, 1}, {26, 2}, {55, 2}, {56, 3}, {100, 3}, {101, 1}, {0, 3}};
    for (const auto &[level, radius] : levelRadius) {
        const DenoiseParams p = colorParams(level, 40, 30);
        EXPECT_EQ(p.patchRadius, radius) << "level " << level;
        EXPECT_EQ(p.patchValues, 3 * p.patchCells);
    }
}

TEST(DenoiseParams, DerivedFieldsFollowTheLevelInSinglePrecision)
{
    const DenoiseParams gray = grayParams(10, 40, 30);
    EXPECT_EQ(gray.weightScale, 144.0f); // 9 * (0.4 * 10)^2
    EXPECT_EQ(gray.sigmaSq, 100.0f);
    EXPECT_EQ(gray.sigma, 10.0f);
    EXPECT_EQ(gray.width, 40);
    EXPECT_EQ(gray.height, 30);
    EXPECT_EQ(gray.stepsPerPath, 8);
    EXPECT_EQ(gray.pathsPerPixel, 8);
    EXPECT_EQ(gray.stepScale, std::sqrt(10.0f));

    // Level 60 on the gray path: k = 0.35, 81 values; the products are rounded as floats.
    const float k60 = 0.35f * 60.0f;
    EXPECT_EQ(grayParams(60, 1, 1).weightScale, 81.0f * (k60 * k60));
    // Level 30 on the colour path: k = 0.4, 3 * 25 values.
    const float k30 = 0.4f * 30.0f;
    EXPECT_EQ(colorParams(30, 1, 1).weightScale, 75.0f * (k30 * k30));
    // Level 80 on the colour path: k = 0.35, 3 * 49 values.
    const float k80 = 0.35f * 80.0f;
    EXPECT_EQ(colorParams(80, 1, 1).weightScale, 147.0f * (k80 * k80));
}
