// The parameters of a run from its noise level: the patch radius of each range of both tables.
#include "core/denoise_params.h"

#include <gtest/gtest.h>

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
