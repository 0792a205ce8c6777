// Planes and colour vectors: clamped access, bilinear sampling, sizes.
#include "core/planes.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(Planes, SizesOfTwoToThe31CellsOrMoreAreRefusedWithoutAllocating)
{
    EXPECT_THROW(GrayPlane(65536, 32768), std::bad_alloc); // one more than an int indexes
    EXPECT_THROW(ColorPlane(32768, 65536), std::bad_alloc);
    EXPECT_THROW(GrayPlane(65536, 65537), std::bad_alloc);
    EXPECT_THROW(ColorPlane(-1, 5), std::bad_alloc);
    const GrayPlane empty(0, 7);
    EXPECT_EQ(empty.data(), nullptr);
}

TEST(Planes, ClampedAccessAndBilinearSamplingFollowTheBorderRules)
{
    GrayPlane plane(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            plane.at(x, y) = float(10 * y + x * x);
    EXPECT_EQ(plane.at(-1, -1), 0.0f);
    EXPECT_EQ(plane.at(4, 3), 29.0f);
    EXPECT_EQ(plane.at(9, -3), 9.0f);
    const struct
    {
        float x, y, value;
    } samples[] = {{2.0f, 1.0f, 14.0f}, {0.5f, 0.0f, 0.5f}, {1.0f, 1.5f, 16.0f}, {1.5f, 0.5f, 7.5f},
        {-3.0f, 2.0f, 20.0f},
        {3.5f, 0.0f, 9.0f}, // between W - 1 and W the right corner is clamped instead
        {4.0f, 3.0f, 29.0f}, {1e9f, -1e9f, 9.0f}, {std::nanf(""), 1.0f, 10.0f}};
    for (const auto &s : samples)
        EXPECT_FLOAT_EQ(plane.sampleBilinear(s.x, s.y), s.value) << s.x << ", " << s.y;

    GrayPlane single(1, 1);
    single.at(0, 0) = 4.25f;
    for (const float c : {-2.0f, 0.0f, 0.3f, 0.999f, 1.0f, 5.0f}) {
        EXPECT_EQ(single.sampleBilinear(c, -c), 4.25f);
        EXPECT_EQ(single.at(int(c), int(-c)), 4.25f);
    }
}

// Small planes come from the heap, large ones from fresh pages: both start at zero.
TEST(Planes, StartAtZeroSamplePerComponentAndMove)
{
    for (const int side : {3, 1200}) {
        const GrayPlane gray(side, side);
        const ColorPlane colour(side, side);
        EXPECT_EQ(*std::max_element(gray.data(), gray.data() + gray.cellCount()), 0.0f);
        EXPECT_EQ(colour.at(side - 1, side - 1), Vec3());
    }
    ColorPlane plane(3, 2);
    plane.at(1, 0) = Vec3(10.0f, 20.0f, 40.0f);
    plane.at(1, 1) = Vec3(30.0f, 0.0f, 40.0f);
    EXPECT_EQ(plane.sampleBilinear(1.0f, 0.5f), Vec3(20.0f, 10.0f, 40.0f));
    EXPECT_EQ(plane.sampleBilinear(0.5f, 0.0f), Vec3(5.0f, 10.0f, 20.0f));
    ColorPlane moved = std::move(plane);
    EXPECT_EQ(moved.at(1, 1), Vec3(30.0f, 0.0f, 40.0f));
    EXPECT_EQ(plane.data(), nullptr);
    EXPECT_EQ(Vec3(1.0f, 2.0f, 3.0f) / Vec3(2.0f), Vec3(0.5f, 1.0f, 1.5f));
    EXPECT_EQ(length(Vec3(3.0f, 4.0f, 0.0f)), 5.0f);
}
