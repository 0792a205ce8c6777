// Local structure on ramps with closed-form answers, at the borders and at the threshold.
#include "core/local_structure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

constexpr float kH = 0.4f;
constexpr float kTolerance = 1e-5f;

GrayPlane grayRamp(int width, int height, const std::function<float(int, int)> &value)
{
    GrayPlane plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = value(x, y);
    return plane;
}

// Every channel carries the same ramp.
ColorPlane colorRamp(int width, int height, const std::function<float(int, int)> &value)
{
    ColorPlane plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = Vec3(value(x, y));
    return plane;
}

void expectStructure(const LocalStructure &s, float strength, float dirX, float dirY)
{
    EXPECT_NEAR(s.strength, strength, kTolerance);
    EXPECT_NEAR(s.dirX, dirX, kTolerance);
    EXPECT_NEAR(s.dirY, dirY, kTolerance);
}

} // namespace

TEST(GrayLocalStructure, GivesTheGradientOnRamps)
{
    const float half = std::sqrt(0.5f);
    expectStructure(grayLocalStructure(grayRamp(8, 6, [](int, int) { return 42.0f; }), 3, 2, kH),
        0.0f, 0.0f, 0.0f);
    expectStructure(
        grayLocalStructure(grayRamp(8, 6, [](int x, int) { return float(x); }), 3, 2, kH), 1.0f,
        1.0f, 0.0f);
    expectStructure(
        grayLocalStructure(grayRamp(8, 6, [](int, int y) { return float(y); }), 3, 2, kH), 1.0f,
        0.0f, 1.0f);
    expectStructure(
        grayLocalStructure(grayRamp(8, 6, [](int x, int y) { return float(x + y); }), 3, 2, kH),
        std::sqrt(2.0f), half, half);
    expectStructure(
        grayLocalStructure(grayRamp(8, 6, [](int x, int y) { return float(2 * y - x); }), 4, 3, kH),
        std::sqrt(5.0f), -1.0f / std::sqrt(5.0f), 2.0f / std::sqrt(5.0f));
}

TEST(GrayLocalStructure, HalvesTheDifferenceAtTheBorders)
{
    const GrayPlane ramp = grayRamp(8, 6, [](int x, int y) { return float(x + 10 * y); });
    // The outer sample is clamped onto the border cell: a span of 0.4 over a divisor of 0.8.
    expectStructure(grayLocalStructure(ramp, 0, 3, kH), std::hypot(0.5f, 10.0f),
        0.5f / std::hypot(0.5f, 10.0f), 10.0f / std::hypot(0.5f, 10.0f));
    expectStructure(grayLocalStructure(ramp, 3, 0, kH), std::hypot(1.0f, 5.0f),
        1.0f / std::hypot(1.0f, 5.0f), 5.0f / std::hypot(1.0f, 5.0f));
    expectStructure(grayLocalStructure(ramp, 7, 5, kH), std::hypot(0.5f, 5.0f),
        0.5f / std::hypot(0.5f, 5.0f), 5.0f / std::hypot(0.5f, 5.0f));
}

TEST(GrayLocalStructure, DropsTheDirectionBelowTheThreshold)
{
    const LocalStructure below
        = grayLocalStructure(grayRamp(8, 6, [](int x, int) { return 0.00009f * x; }), 3, 2, kH);
    EXPECT_GT(below.strength, 0.0f);
    EXPECT_LT(below.strength, 0.0001f);
    EXPECT_EQ(below.dirX, 0.0f);
    EXPECT_EQ(below.dirY, 0.0f);

    const LocalStructure above
        = grayLocalStructure(grayRamp(8, 6, [](int x, int) { return 0.00011f * x; }), 3, 2, kH);
    EXPECT_GE(above.strength, 0.0001f);
    EXPECT_NEAR(std::hypot(above.dirX, above.dirY), 1.0f, kTolerance);

    const GrayPlane single = grayRamp(1, 1, [](int, int) { return 7.0f; });
    expectStructure(grayLocalStructure(single, 0, 0, kH), 0.0f, 0.0f, 0.0f);
}

TEST(ColorLocalStructure, GivesTheLeadingEigenvectorOnRamps)
{
    expectStructure(colorLocalStructure(colorRamp(8, 6, [](int, int) { return 42.0f; }), 3, 2, kH),
        0.0f, 0.0f, 0.0f);
    // Change along x alone gives no direction, however strong.
    expectStructure(
        colorLocalStructure(colorRamp(8, 6, [](int x, int) { return float(x); }), 3, 2, kH),
        std::sqrt(3.0f), 0.0f, 0.0f);
    expectStructure(
        colorLocalStructure(colorRamp(8, 6, [](int, int y) { return float(y); }), 3, 2, kH),
        std::sqrt(3.0f), 0.0f, 6.0f / (6.0f + 0.0001f));
    const float diagonal = 6.0f / (std::sqrt(72.0f) + 0.0001f);
    expectStructure(
        colorLocalStructure(colorRamp(8, 6, [](int x, int y) { return float(x + y); }), 3, 2, kH),
        std::sqrt(6.0f), diagonal, diagonal);
    // Anti-correlated change: dirX takes the negative sign of the off-diagonal term, dirY stays
    // positive.
    expectStructure(
        colorLocalStructure(colorRamp(8, 6, [](int x, int y) { return float(x - y); }), 3, 2, kH),
        std::sqrt(6.0f), -diagonal, diagonal);
}

TEST(ColorLocalStructure, HalvesTheDifferenceAtTheBorders)
{
    // At x = 0 each channel's gx is 0.5: E = 0.75, still along x alone.
    const ColorPlane xRamp = colorRamp(8, 6, [](int x, int) { return float(x); });
    expectStructure(colorLocalStructure(xRamp, 0, 2, kH), std::sqrt(0.75f), 0.0f, 0.0f);
    const ColorPlane yRamp = colorRamp(8, 6, [](int, int y) { return float(y); });
    expectStructure(
        colorLocalStructure(yRamp, 3, 5, kH), std::sqrt(0.75f), 0.0f, 1.5f / (1.5f + 0.0001f));

    // Only one channel changing still gives the structure of that channel.
    ColorPlane redRamp(8, 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x)
            redRamp.at(x, y) = Vec3(float(y), 100.0f, 50.0f);
    expectStructure(colorLocalStructure(redRamp, 3, 2, kH), 1.0f, 0.0f, 2.0f / (2.0f + 0.0001f));

    const ColorPlane single = colorRamp(1, 1, [](int, int) { return 7.0f; });
    expectStructure(colorLocalStructure(single, 0, 0, kH), 0.0f, 0.0f, 0.0f);
}
