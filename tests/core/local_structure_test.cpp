// Local structure on ramps with closed-form answers, at the borders and at the threshold.
#include "core/local_structure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using Ramp = std::function<float(int, int)>;

struct Case
{
    const char *name;
    Ramp value;
    int x, y;
    float strength, dirX, dirY;
};

template<typename Cell>
Plane<Cell> ramp(int width, int height, const Ramp &value)
{
    Plane<Cell> plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = Cell(value(x, y));
    return plane;
}

template<typename Cell, typename Structure>
void expectStructures(std::initializer_list<Case> cases, Structure structure)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const LocalStructure s = structure(ramp<Cell>(8, 6, c.value), c.x, c.y, 0.4f, 0, 0);
        EXPECT_NEAR(s.strength, c.strength, 1e-5f);
        EXPECT_NEAR(s.dirX, c.dirX, 1e-5f);
        EXPECT_NEAR(s.dirY, c.dirY, 1e-5f);
    }
}

const Ramp kConstant = [](int, int) { return 42.0f; };
const Ramp kX = [](int x, int) { return float(x); };
const Ramp kY = [](int, int y) { return float(y); };
const Ramp kXY = [](int x, int y) { return float(x + y); };

} // namespace

// At the borders the outer sample is clamped onto the border cell: half the difference.
TEST(GrayLocalStructure, GivesTheGradientOnRampsAndAtTheBorders)
{
    const Ramp mixed = [](int x, int y) { return float(x + 10 * y); };
    const float half = std::sqrt(0.5f);
    const float r5 = std::sqrt(5.0f);
    const float a = std::hypot(0.5f, 10.0f), b = std::hypot(1.0f, 5.0f), c = std::hypot(0.5f, 5.0f);
    expectStructures<float>(
        {{"constant", kConstant, 3, 2, 0.0f, 0.0f, 0.0f}, {"x", kX, 3, 2, 1.0f, 1.0f, 0.0f},
            {"y", kY, 3, 2, 1.0f, 0.0f, 1.0f}, {"diagonal", kXY, 3, 2, std::sqrt(2.0f), half, half},
            {"2y - x", [](int x, int y) { return float(2 * y - x); }, 4, 3, r5, -1.0f / r5,
                2.0f / r5},
            {"left", mixed, 0, 3, a, 0.5f / a, 10.0f / a},
            {"top", mixed, 3, 0, b, 1.0f / b, 5.0f / b},
            {"bottom right", mixed, 7, 5, c, 0.5f / c, 5.0f / c}},
        grayLocalStructure);
    // A gradient of exactly 0.0001 (samples 0.0004 and 0.0002, two apart) still has a direction.
    const Ramp faint = [](int x, int) { return 0.0001f * float(x); };
    EXPECT_EQ(grayLocalStructure(ramp<float>(8, 6, faint), 3, 2, 1.0f).dirX, 1.0f);
}

// Change along x alone gives no direction however strong; anti-correlated change gives dirX
// the negative sign of the off-diagonal term.
TEST(ColorLocalStructure, GivesTheLeadingEigenvectorOnRampsAndAtTheBorders)
{
    const float diagonal = 6.0f / (std::sqrt(72.0f) + 0.0001f);
    expectStructures<Vec3>(
        {{"constant", kConstant, 3, 2, 0.0f, 0.0f, 0.0f},
            {"x", kX, 3, 2, std::sqrt(3.0f), 0.0f, 0.0f},
            {"diagonal", kXY, 3, 2, std::sqrt(6.0f), diagonal, diagonal},
            {"x - y", [](int x, int y) { return float(x - y); }, 3, 2, std::sqrt(6.0f), -diagonal,
                diagonal},
            {"left", kX, 0, 2, std::sqrt(0.75f), 0.0f, 0.0f},
            {"bottom", kY, 3, 5, std::sqrt(0.75f), 0.0f, 1.5f / (1.5f + 0.0001f)}},
        colorLocalStructure);

    EXPECT_EQ(colorLocalStructure(ramp<Vec3>(1, 1, kConstant), 0, 0, 0.4f).strength, 0.0f);
}
