// Planes: sizes, zeroed cells, clamped access and bilinear sampling; the edge test's 16-bit copy.
#include "core/jump_plane.h"
#include "core/planes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

// Small planes come from the heap, large ones from fresh pages: both start at zero.
TEST(Planes, StartAtZeroAndRefuseTwoToThe31CellsOrMore)
{
    for (const int side : {3, 1200}) {
        const ColorPlane colour(side, side);
        const auto *floats = reinterpret_cast<const float *>(colour.data());
        EXPECT_EQ(*std::max_element(floats, floats + 3 * colour.cellCount()), 0.0f);
    }
    EXPECT_THROW(GrayPlane(65536, 32768), std::bad_alloc); // one more than an int indexes
    EXPECT_THROW(ColorPlane(-1, 5), std::bad_alloc);
    EXPECT_EQ(GrayPlane(0, 7).data(), nullptr);
}

TEST(Planes, ClampedAccessAndBilinearSamplingFollowTheBorderRules)
{
    GrayPlane plane(4, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            plane.at(x, y) = float(10 * y + x * x);
    EXPECT_EQ(plane.at(-1, -1), 0.0f);
    EXPECT_EQ(plane.at(9, -3), 9.0f);
    for (const auto &[x, y, value] : {std::tuple(2.0f, 1.0f, 14.0f), {0.5f, 0.0f, 0.5f},
             {1.0f, 1.5f, 16.0f}, {1.5f, 0.5f, 7.5f}, {-3.0f, 2.0f, 20.0f},
             {3.5f, 0.0f, 9.0f}, // between W - 1 and W the right corner is clamped instead
             {4.0f, 3.0f, 29.0f}, {1e9f, -1e9f, 9.0f}, {std::nanf(""), 1.0f, 10.0f}})
        EXPECT_FLOAT_EQ(plane.sampleBilinear(x, y), value) << x << ", " << y;
    ColorPlane colour(3, 2);
    colour.at(1, 0) = Vec3(10.0f, 20.0f, 40.0f);
    colour.at(1, 1) = Vec3(30.0f, 0.0f, 40.0f);
    EXPECT_EQ(colour.sampleBilinear(1.0f, 0.5f), Vec3(20.0f, 10.0f, 40.0f));
}

// Rows a pitch apart: access and sampling step by the pitch. Widths whose rows would fall into
// the same cache sets get a few cells more, others keep their width.
TEST(Planes, RowsLieAPitchApart)
{
    GrayPlane plane(4, 3, 6);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            plane.at(x, y) = float(10 * y + x * x);
    EXPECT_EQ(plane.row(2) - plane.row(0), 12);
    EXPECT_EQ(plane.row(1)[3], 19.0f);
    EXPECT_EQ(plane.at(9, 5), 29.0f);
    EXPECT_FLOAT_EQ(plane.sampleBilinear(1.5f, 0.5f), 7.5f);
    EXPECT_EQ(plane.row(0)[4], 0.0f); // between the rows
    EXPECT_THROW(GrayPlane(5, 2, 4), std::bad_alloc);

    for (const int width : {512, 2048, 4096}) {
        EXPECT_GT(GrayPlane::spreadPitch(width), width);
        EXPECT_LE(GrayPlane::spreadPitch(width), width + 16);
        EXPECT_GT(ColorPlane::spreadPitch(width), width);
        EXPECT_LE(ColorPlane::spreadPitch(width), width + 16);
    }
    for (const int width : {500, 2000, 6000}) {
        EXPECT_EQ(GrayPlane::spreadPitch(width), width);
        EXPECT_EQ(ColorPlane::spreadPitch(width), width);
    }
}

// The edge test's copy: its units kept exactly (gray: sixteenths of a level, an 8-bit image's
// smoothing, and finer; colour: quarters, red in the lowest bits), finer values rounded half up,
// the range limited, each row ending in a copy of its last cell, the plane in a copy of its last
// row.
TEST(JumpPlanes, HoldTheirUnitsExactlyRoundFinerValuesAndRepeatTheLastCell)
{
    GrayPlane smooth(3, 2);
    const float values[] = {0.0625f, 254.9375f, 17.0f, -2.0f, 300.0f, 1.0f / 512.0f};
    std::copy(std::begin(values), std::end(values), smooth.data());
    JumpPlane<float> jump(3, 2);
    ThreadControl control;
    ASSERT_TRUE(jump.fillRows(smooth, 0, 2, control));
    const std::uint16_t expected[] = {16, 65264, 4352, 4352, 0, 65535, 1, 1, 0, 65535, 1, 1};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), jump.data()));
    EXPECT_EQ(jump.at(5, -1, 0), 4352.0f);

    ColorPlane smoothColour(2, 1);
    smoothColour.at(0, 0) = Vec3(0.25f, 254.875f, 300.0f);
    smoothColour.at(1, 0) = Vec3(-1.0f, 17.0f, 0.125f);
    JumpPlane<Vec3> jumpColour(2, 1);
    ASSERT_TRUE(jumpColour.fillRows(smoothColour, 0, 1, control));
    const std::uint32_t words[] = {1u | 1020u << 10 | 1023u << 20, 68u << 10 | 1u << 20};
    EXPECT_TRUE(std::equal(std::begin(words), std::end(words), jumpColour.data()));
    EXPECT_EQ(jumpColour.data()[2], words[1]);
    EXPECT_EQ(jumpColour.at(3, 0, 1), 68.0f);
}
