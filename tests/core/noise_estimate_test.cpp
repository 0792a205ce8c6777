// Noise estimates on synthetic planes with noise of known deviation, and the level they map to.
#include "core/noise_estimate.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// Within `share` (and 0.3 levels) of the truth: the mask's constant wrong by sqrt(2) or 6 / 4,
// or a lost clipping pass, falls far outside 3%.
template<typename Cell>
void expectNear(const Plane<Cell> &noisy, float sigma, float share = 0.03f)
{
    const std::optional<float> estimate = estimateNoiseLevel(noisy);
    ASSERT_TRUE(estimate.has_value()) << "sigma " << sigma;
    EXPECT_NEAR(*estimate, sigma, std::max(0.3f, share * sigma)) << "sigma " << sigma;
}

} // namespace

TEST(NoiseEstimate, FindsTheDeviationOnScenesTextureAndClipping)
{
    // The scene with a checkerboard of 2 x 2 tiles 40 levels apart over its left third, which
    // the mask answers strongly at every corner; a ramp whose darker and brighter quarters clip.
    GrayPlane textured = sceneGray(400, 300), clipped(600, 400);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400 / 3; ++x)
            textured.at(x, y) = ((x / 2) + (y / 2)) % 2 == 0 ? 100.0f : 140.0f;
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 600; ++x)
            clipped.at(x, y) = std::clamp(510.0f * float(x) / 599.0f - 127.5f, 0.0f, 255.0f);
    for (const float sigma : {3.0f, 10.0f, 25.0f, 50.0f})
        expectNear(addNoise(sceneColor(400, 300), sigma, 13), sigma);
    // Some texture is left among the flattest pixels; all of it would read above 1.5 sigma.
    for (const float sigma : {5.0f, 15.0f})
        expectNear(addNoise(textured, sigma, 21), sigma, 0.06f);
    for (const float sigma : {30.0f, 50.0f})
        expectNear(addNoise(clipped, sigma, 22), sigma);
    // Colour takes the median channel: red reads 8, green 20, blue 35.
    const float deviations[] = {8.0f, 20.0f, 35.0f};
    std::mt19937 random(31);
    std::normal_distribution<float> noise;
    std::int64_t i = 0;
    expectNear(mapped(filled(300, 300, Vec3(120.0f, 120.0f, 120.0f)),
                   [&](float v) { return std::round(v + deviations[i++ % 3] * noise(random)); }),
        20.0f);
}

// Too small or clipped: nothing can be measured. Flat, or a clean pattern finer than the mask
// (a 0/255 checkerboard reads 426 at first, 2-pixel stripes 0): no noise.
TEST(NoiseEstimate, NothingFromPlanesTooSmallFlatClippedOrCleanPatterns)
{
    using Outcome = NoiseMeasurement::Outcome;
    GrayPlane checkerboard(200, 150), stripes(200, 150);
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 200; ++x) {
            checkerboard.at(x, y) = (x + y) % 2 == 0 ? 0.0f : 255.0f;
            stripes.at(x, y) = x / 2 % 2 == 0 ? 0.0f : 255.0f;
        }
    for (const GrayPlane *plane : {&checkerboard, &stripes})
        EXPECT_EQ(measureNoise(*plane).outcome, Outcome::NoNoise);
    EXPECT_EQ(measureNoise(filled(300, 200, Vec3(10.0f, 90.0f, 200.0f))).outcome, Outcome::NoNoise);
    EXPECT_EQ(measureNoise(GrayPlane()).outcome, Outcome::Unmeasurable);
    for (const int width : {2, 40})
        EXPECT_EQ(measureNoise(addNoise(filled(width, 40, 128.0f), 20.0f, 41)).outcome,
            Outcome::Unmeasurable);
    EXPECT_EQ(
        measureNoise(addNoise(filled(300, 200, 255.0f), 2.0f, 43)).outcome, Outcome::Unmeasurable);
    // Just large enough: 120 x 120 leaves well over 1000 pixels after the textured share.
    expectNear(addNoise(filled(120, 120, 128.0f), 20.0f, 44), 20.0f);
}

TEST(NoiseEstimate, LevelFollowsTheEstimateAndFallsBehindAboveThirty)
{
    int previous = 1;
    for (float estimate = 0.0f; estimate <= 150.0f; estimate += 0.25f) {
        const int level = noiseLevelFor(estimate);
        EXPECT_GE(level, previous) << estimate;
        EXPECT_LE(level, 99) << estimate;
        if (estimate >= 1.0f && estimate <= 30.0f) {
            EXPECT_EQ(level, int(std::lround(estimate))) << estimate;
        }
        if (estimate >= 40.0f) {
            EXPECT_LT(level, int(std::lround(estimate))) << estimate;
        }
        previous = level;
    }
    EXPECT_EQ(noiseLevelFor(std::nanf("")), 1);
}

// A plane over 2^18 cells is read on evenly spaced rows: it must read as the estimate over every
// row does (every row the centre of a stacked triple), here with noise 10 above and 20 below.
TEST(NoiseEstimate, RowsReadOfALargePlaneGiveTheEstimateOverEveryRow)
{
    GrayPlane whole = addNoise(filled(1000, 600, 128.0f), 10.0f, 51);
    const GrayPlane lower = addNoise(filled(1000, 300, 128.0f), 20.0f, 52);
    GrayPlane triples(1000, 3 * 598);
    for (int y = 300; y < 600; ++y)
        for (int x = 0; x < 1000; ++x)
            whole.at(x, y) = lower.at(x, y - 300);
    for (int y = 0; y < triples.height(); ++y)
        for (int x = 0; x < 1000; ++x)
            triples.at(x, y) = whole.at(x, y / 3 + y % 3);
    const NoiseMeasurement everyRow = measureNoiseOfTriples(triples);
    ASSERT_EQ(everyRow.outcome, NoiseMeasurement::Outcome::Measured);
    EXPECT_NEAR(measureNoise(whole).deviation, everyRow.deviation, 0.02f * everyRow.deviation);
}
