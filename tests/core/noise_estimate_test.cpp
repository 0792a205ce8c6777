// Noise estimates on synthetic planes with noise of known deviation, and the level they map to.
#include "core/noise_estimate.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// The test scene with fine texture over its left third: a checkerboard of 2 x 2 tiles 40 levels
// apart, which the mask answers strongly at every tile corner.
GrayPlane texturedGray(int width, int height)
{
    GrayPlane plane = sceneGray(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width / 3; ++x)
            plane.at(x, y) = ((x / 2) + (y / 2)) % 2 == 0 ? 100.0f : 140.0f;
    return plane;
}

// A ramp from 0 to 255 across whose darkest and brightest quarters stay at 0 and 255, so that
// strong noise is clipped on much of the plane, as in a contrasty photograph.
GrayPlane clippedRamp(int width, int height)
{
    GrayPlane plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y)
                = std::clamp(2.0f * 255.0f * float(x) / float(width - 1) - 127.5f, 0.0f, 255.0f);
    return plane;
}

// Within `share` (and 0.3 levels) of the truth: the mask's constant wrong by sqrt(2) or 6 / 4,
// or a lost clipping pass, falls far outside 3%.
void expectNear(std::optional<float> estimate, float sigma, float share = 0.03f)
{
    ASSERT_TRUE(estimate.has_value()) << "sigma " << sigma;
    EXPECT_NEAR(*estimate, sigma, std::max(0.3f, share * sigma)) << "sigma " << sigma;
}

TEST(NoiseEstimate, FlatPlaneAndSceneGiveTheDeviationOfTheNoise)
{
    for (const float sigma : {3.0f, 10.0f, 25.0f, 50.0f}) {
        expectNear(estimateNoiseLevel(addNoise(filled(400, 300, 128.0f), sigma, 11)), sigma);
        expectNear(estimateNoiseLevel(addNoise(sceneGray(400, 300), sigma, 12)), sigma);
        expectNear(estimateNoiseLevel(addNoise(sceneColor(400, 300), sigma, 13)), sigma);
    }
}

TEST(NoiseEstimate, TextureAndClippingDoNotMislead)
{
    for (const float sigma : {5.0f, 15.0f}) {
        const GrayPlane noisy = addNoise(texturedGray(400, 300), sigma, 21);
        // Some texture is left among the flattest pixels; all of it would read above 1.5 sigma.
        expectNear(estimateNoiseLevel(noisy), sigma, 0.06f);
    }
    for (const float sigma : {30.0f, 50.0f})
        expectNear(estimateNoiseLevel(addNoise(clippedRamp(600, 400), sigma, 22)), sigma);
}

TEST(NoiseEstimate, ColourFollowsTheMedianChannel)
{
    // Red reads 8, green 20, blue 35 once each channel's noise differs; the median is green.
    ColorPlane plane = sceneColor(300, 300);
    const GrayPlane red = addNoise(filled(300, 300, 120.0f), 8.0f, 31);
    const GrayPlane green = addNoise(filled(300, 300, 120.0f), 20.0f, 32);
    const GrayPlane blue = addNoise(filled(300, 300, 120.0f), 35.0f, 33);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 300; ++x)
            plane.at(x, y) = Vec3(red.at(x, y), green.at(x, y), blue.at(x, y));
    expectNear(estimateNoiseLevel(plane), 20.0f);
}

TEST(NoiseEstimate, NothingFromPlanesTooSmallFlatOrClipped)
{
    EXPECT_FALSE(estimateNoiseLevel(GrayPlane()).has_value());
    EXPECT_FALSE(estimateNoiseLevel(addNoise(filled(2, 500, 128.0f), 20.0f, 41)));
    EXPECT_FALSE(estimateNoiseLevel(addNoise(filled(40, 40, 128.0f), 20.0f, 42)));
    EXPECT_FALSE(estimateNoiseLevel(filled(300, 200, 77.0f)).has_value());
    EXPECT_FALSE(estimateNoiseLevel(filled(300, 200, Vec3(10.0f, 90.0f, 200.0f))));
    EXPECT_FALSE(estimateNoiseLevel(addNoise(filled(300, 200, 255.0f), 2.0f, 43)));
    // Just large enough: 120 x 120 leaves well over 1000 pixels after the textured share.
    expectNear(estimateNoiseLevel(addNoise(filled(120, 120, 128.0f), 20.0f, 44)), 20.0f);
}

TEST(NoiseEstimate, LevelFollowsTheEstimateAndFallsBehindAboveThirty)
{
    int previous = 1;
    for (float estimate = 0.0f; estimate <= 150.0f; estimate += 0.25f) {
        const int level = noiseLevelFor(estimate);
        EXPECT_GE(level, previous) << estimate;
        EXPECT_GE(level, 1) << estimate;
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

} // namespace
