// Planes and colour vectors: clamped access, bilinear sampling, sizes.
#include "core/planes.h"

#include <gtest/gtest.h>

TEST(Planes, ClampedAccessLandsOnTheNearestBorderCell)
{
    GrayPlane plane(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            plane.at(x, y) = float(10 * y + x);
    EXPECT_EQ(plane.at(-1, -1), 0.0f);
    EXPECT_EQ(plane.at(4, 3), 23.0f);
    EXPECT_EQ(plane.at(9, -3), 3.0f);
}

TEST(Planes, SizesBeyondTheCellIndexRangeAreRefused)
{
    EXPECT_THROW(GrayPlane(65536, 65537), std::bad_alloc);
    EXPECT_THROW(ColorPlane(-1, 5), std::bad_alloc);
}
