// PSNR, the printers, direct patch weights and the colour conversions on worked examples.
#include "core/diagnostics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

namespace {

void expectNear(Vec3 actual, Vec3 expected)
{
    EXPECT_NEAR(actual.r, expected.r, 1e-3f);
    EXPECT_NEAR(actual.g, expected.g, 1e-3f);
    EXPECT_NEAR(actual.b, expected.b, 1e-3f);
}

} // namespace

TEST(Diagnostics, PsnrPrintersAndPatchWeights)
{
    ColorPlane a(5, 3), b(5, 3), small(2, 2);
    a.fill(Vec3(100.0f, 50.0f, 0.0f));
    b.fill(Vec3(110.0f, 40.0f, 10.0f));
    small.fill(Vec3(100.0f, 50.0f, 0.0f));
    EXPECT_EQ(colorPsnr(a, small), HUGE_VAL); // the smaller plane's edges repeat
    EXPECT_NEAR(colorPsnr(a, b), 20.0 * std::log10(255.0) - 20.0, 1e-9); // MSE 100

    // Rounded half away from zero, converted through 16 bits.
    GrayPlane gray(3, 1);
    gray.at(0, 0) = 1.5f;
    gray.at(1, 0) = -2.5f;
    gray.at(2, 0) = 40000.0f;
    std::ostringstream out;
    printGrayPlane(gray, out);
    printGrayPlane(GrayPlane(0, 2), out);
    ColorPlane colour(1, 1);
    colour.at(0, 0) = Vec3(0.5f, 254.6f, -0.4f);
    printColorPlane(colour, out);
    const std::string separator = std::string(117, '-') + "\n";
    EXPECT_EQ(out.str(),
        separator + "2\t-3\t-25536\t\n" + separator + "\n\n" + separator + "(1,255,0)\t\n");

    // [0, 0, 6], radius 1, clamped: around x = 2 each row reads 0, 6, 6: D / 9 = 24, less
    // 2 sigma^2.
    gray.fill(0.0f);
    gray.at(2, 0) = 6.0f;
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 2.0f, 2.0f), std::exp(-4.0f), 1e-7);
    EXPECT_NEAR(grayPatchWeightBilinear(gray, 0, 0.0f, 0.0f, 1.5f, 0.0f, 0.0f, 3.0f),
        std::exp(-1.0f), 1e-7); // halfway between 0 and 6 samples 3
    ColorPlane pair(2, 1);
    pair.at(1, 0) = Vec3(6.0f, 3.0f, 0.0f); // D = 45 over 3 values
    EXPECT_NEAR(colorPatchWeight(pair, 0, 0, 0, 1, 0, 0.0f, 1.0f), std::exp(-15.0f), 1e-10);
    EXPECT_NEAR(colorPatchWeightBilinear(pair, 0, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 1.0f),
        std::exp(-45.0f / 4.0f / 3.0f), 1e-8);
}

TEST(Diagnostics, ColourConversions)
{
    expectNear(rgbToHsv(Vec3(80.0f)), Vec3(0.0f, 0.0f, 80.0f));
    expectNear(rgbToHsv(Vec3(0.0f, 0.0f, 255.0f)), Vec3(240.0f, 1.0f, 255.0f));
    expectNear(hsvToRgb(Vec3(360.0f, 0.5f, 200.0f)), Vec3(200.0f, 100.0f, 100.0f));
    expectNear(hsvToRgb(Vec3(300.0f, 1.0f, 255.0f)), Vec3(255.0f, 0.0f, 255.0f));
    EXPECT_EQ(rgbToChromaticity(Vec3(0.0f)), Vec3(85.0f));
    const Vec3 colour(10.0f, 20.0f, 30.0f);
    expectNear(chromaticityToRgb(rgbToChromaticity(colour), colorIntensity(colour)), colour);
    EXPECT_EQ(snapToZero(1e-9f), 0.0f); // compared in double: the float lies just below 1e-9
    EXPECT_EQ(snapToZero(2e-9f), 2e-9f);
    // (200, 100, -100) moves by 55 / 3 and then onto the edge where blue is 0.
    std::ostringstream out;
    expectNear(projectToChromaticityTriangle(Vec3(255.0f), out), Vec3(85.0f));
    expectNear(projectToChromaticityTriangle(Vec3(200.0f, 100.0f, -100.0f), out),
        Vec3(255.0f * 655.0f / 1010.0f, 255.0f * 355.0f / 1010.0f, 0.0f));
    EXPECT_EQ(out.str(), "");
    projectToChromaticityTriangle(Vec3(10.0f, std::nanf(""), 20.0f), out);
    EXPECT_EQ(out.str(), "sierota \n");
}
