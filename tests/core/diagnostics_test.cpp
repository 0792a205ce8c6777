// PSNR, the printers, direct patch weights and the colour conversions.
#include "core/diagnostics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

namespace {

const std::string kSeparator = std::string(117, '-') + "\n";

ColorPlane filledColorPlane(int width, int height, Vec3 colour)
{
    ColorPlane plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = colour;
    return plane;
}

void expectVec3Near(Vec3 actual, Vec3 expected, float tolerance = 1e-3f)
{
    EXPECT_NEAR(actual.r, expected.r, tolerance);
    EXPECT_NEAR(actual.g, expected.g, tolerance);
    EXPECT_NEAR(actual.b, expected.b, tolerance);
}

} // namespace

TEST(ColorPsnr, MeasuresTheMeanSquaredErrorInDecibels)
{
    const ColorPlane a = filledColorPlane(5, 3, Vec3(100.0f, 50.0f, 0.0f));
    const ColorPlane same = filledColorPlane(5, 3, Vec3(100.0f, 50.0f, 0.0f));
    EXPECT_EQ(colorPsnr(a, same), std::numeric_limits<double>::infinity());

    // Every component 10 off: MSE 100, 20 log10(255) - 20 dB.
    const ColorPlane off = filledColorPlane(5, 3, Vec3(110.0f, 40.0f, 10.0f));
    EXPECT_NEAR(colorPsnr(a, off), 20.0 * std::log10(255.0) - 20.0, 1e-9);

    // One red component 30 off in 5 x 3 x 3 values: MSE 20.
    ColorPlane oneCell = filledColorPlane(5, 3, Vec3(100.0f, 50.0f, 0.0f));
    oneCell.at(4, 2).r = 130.0f;
    EXPECT_NEAR(colorPsnr(a, oneCell), 20.0 * std::log10(255.0) - 10.0 * std::log10(20.0), 1e-9);
}

TEST(ColorPsnr, RepeatsTheLastRowAndColumnOfASmallerSecondPlane)
{
    // a's columns 1.. and rows 1.. repeat b's last column and row exactly.
    ColorPlane a(4, 3);
    ColorPlane b(2, 2);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            a.at(x, y) = Vec3(float(std::min(x, 1) * 10 + std::min(y, 1)));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            b.at(x, y) = Vec3(float(x * 10 + y));
    EXPECT_EQ(colorPsnr(a, b), std::numeric_limits<double>::infinity());

    EXPECT_TRUE(std::isnan(colorPsnr(a, ColorPlane())));
}

TEST(PrintPlanes, WritesRoundedCellsAsTabSeparatedRows)
{
    GrayPlane gray(3, 2);
    gray.at(0, 0) = 1.5f;
    gray.at(1, 0) = -2.5f;
    gray.at(2, 0) = 0.49f;
    gray.at(0, 1) = 40000.0f; // wraps through 16 bits
    gray.at(1, 1) = -32768.6f;
    gray.at(2, 1) = 65535.0f;
    std::ostringstream grayOut;
    printGrayPlane(gray, grayOut);
    EXPECT_EQ(grayOut.str(), kSeparator + "2\t-3\t0\t\n-25536\t32767\t-1\t\n");

    ColorPlane colour(2, 1);
    colour.at(0, 0) = Vec3(0.5f, 254.6f, -0.4f);
    colour.at(1, 0) = Vec3(1.0f, 2.0f, 3.0f);
    std::ostringstream colourOut;
    printColorPlane(colour, colourOut);
    EXPECT_EQ(colourOut.str(), kSeparator + "(1,255,0)\t(1,2,3)\t\n");
}

TEST(PrintPlanes, HandlesEmptyRowsAndValuesNoIntegerHolds)
{
    std::ostringstream empty;
    printGrayPlane(GrayPlane(0, 3), empty);
    EXPECT_EQ(empty.str(), kSeparator + "\n\n\n");

    // Defined results instead of undefined conversions: NaN prints 0, huge values saturate at
    // the 32-bit limits before the wrap.
    GrayPlane odd(3, 1);
    odd.at(0, 0) = std::numeric_limits<float>::quiet_NaN();
    odd.at(1, 0) = 1e20f;
    odd.at(2, 0) = -std::numeric_limits<float>::infinity();
    std::ostringstream oddOut;
    printGrayPlane(odd, oddOut);
    EXPECT_EQ(oddOut.str(), kSeparator + "0\t-1\t0\t\n");
}

TEST(PatchWeights, FollowTheNonLocalMeansFormula)
{
    // A 3 x 1 plane [0, 0, 6]; radius 1 reads clamped cells: around x = 0 the patch is all 0,
    // around x = 2 each of the three rows reads 0, 6, 6. D = 216, m = 9, D / m = 24.
    GrayPlane gray(3, 1);
    gray.at(0, 0) = 0.0f;
    gray.at(1, 0) = 0.0f;
    gray.at(2, 0) = 6.0f;
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 0.0f, 2.0f), std::exp(-6.0f), 1e-7);
    // 2 sigma^2 = 8 is subtracted first; anything at or below it weighs 1.
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 2.0f, 2.0f), std::exp(-4.0f), 1e-7);
    EXPECT_EQ(grayPatchWeight(gray, 1, 0, 0, 2, 0, 5.0f, 2.0f), 1.0f);
    EXPECT_EQ(grayPatchWeight(gray, 1, 1, 0, 1, 0, 0.0f, 2.0f), 1.0f);
    EXPECT_EQ(grayPatchWeight(gray, -1, 0, 0, 2, 0, 0.0f, 2.0f), 1.0f);

    // Halfway between 0 and 6 samples 3: D = 9 over one value.
    EXPECT_NEAR(grayPatchWeightBilinear(gray, 0, 0.0f, 0.0f, 1.5f, 0.0f, 0.0f, 3.0f),
        std::exp(-1.0f), 1e-7);
    EXPECT_NEAR(grayPatchWeightBilinear(gray, 1, 0.0f, 0.0f, 2.0f, 0.0f, 0.0f, 2.0f),
        grayPatchWeight(gray, 1, 0, 0, 2, 0, 0.0f, 2.0f), 1e-7);

    // Colour divides by three values per cell.
    ColorPlane colour(2, 1);
    colour.at(0, 0) = Vec3(0.0f, 0.0f, 0.0f);
    colour.at(1, 0) = Vec3(6.0f, 3.0f, 0.0f); // D = 45, m = 3
    EXPECT_NEAR(colorPatchWeight(colour, 0, 0, 0, 1, 0, 0.0f, 1.0f), std::exp(-15.0f), 1e-10);
    EXPECT_NEAR(colorPatchWeightBilinear(colour, 0, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 1.0f),
        std::exp(-45.0f / 4.0f / 3.0f), 1e-8);
}

TEST(PatchWeights, ANanDistanceWeighsOne)
{
    GrayPlane gray(2, 1);
    gray.at(0, 0) = 1.0f;
    gray.at(1, 0) = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(grayPatchWeight(gray, 0, 0, 0, 1, 0, 0.0f, 1.0f), 1.0f);
    ColorPlane colour(2, 1);
    colour.at(1, 0).g = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(colorPatchWeight(colour, 0, 0, 0, 1, 0, 0.0f, 1.0f), 1.0f);
}

TEST(Hsv, ConvertsPrimariesGreysAndSectorEdges)
{
    expectVec3Near(rgbToHsv(Vec3(80.0f)), Vec3(0.0f, 0.0f, 80.0f));
    expectVec3Near(rgbToHsv(Vec3(0.0f, 0.0f, 255.0f)), Vec3(240.0f, 1.0f, 255.0f));
    expectVec3Near(rgbToHsv(Vec3(0.0f, 255.0f, 0.0f)), Vec3(120.0f, 1.0f, 255.0f));
    expectVec3Near(rgbToHsv(Vec3(255.0f, 0.0f, 255.0f)), Vec3(300.0f, 1.0f, 255.0f));
    const Vec3 nonPositive = rgbToHsv(Vec3(-10.0f, -1.0f, -5.0f));
    EXPECT_TRUE(std::isnan(nonPositive.r));
    EXPECT_EQ(nonPositive.b, -1.0f);

    EXPECT_EQ(hsvToRgb(Vec3(123.0f, 0.0f, 77.0f)), Vec3(77.0f));
    // 360 and beyond fall back to sector 0 with f = 0: (v, p, p).
    expectVec3Near(hsvToRgb(Vec3(360.0f, 0.5f, 200.0f)), Vec3(200.0f, 100.0f, 100.0f));
    expectVec3Near(hsvToRgb(Vec3(1000.0f, 0.5f, 200.0f)), Vec3(200.0f, 100.0f, 100.0f));
    expectVec3Near(hsvToRgb(Vec3(60.0f, 1.0f, 255.0f)), Vec3(255.0f, 255.0f, 0.0f));
    expectVec3Near(hsvToRgb(Vec3(240.0f, 1.0f, 255.0f)), Vec3(0.0f, 0.0f, 255.0f));
    expectVec3Near(hsvToRgb(Vec3(300.0f, 1.0f, 255.0f)), Vec3(255.0f, 0.0f, 255.0f));
    // Far below zero the sector is "other" and nothing overflows.
    const Vec3 far = hsvToRgb(Vec3(-1e30f, 0.5f, 10.0f));
    EXPECT_EQ(far.r, 10.0f);
    EXPECT_EQ(far.g, 5.0f);

    for (const Vec3 colour : {Vec3(200.0f, 30.0f, 90.0f), Vec3(12.0f, 250.0f, 251.0f),
             Vec3(40.0f, 41.0f, 39.0f), Vec3(255.0f, 128.0f, 0.0f), Vec3(5.0f, 0.0f, 200.0f)})
        expectVec3Near(hsvToRgb(rgbToHsv(colour)), colour);
}

TEST(Chromaticity, ScalesToTheSum255AndBack)
{
    EXPECT_EQ(rgbToChromaticity(Vec3(0.0f)), Vec3(85.0f));
    EXPECT_EQ(rgbToChromaticity(Vec3(0.2f, 0.1f, 0.1f)), Vec3(85.0f));
    expectVec3Near(rgbToChromaticity(Vec3(10.0f, 20.0f, 30.0f)), Vec3(42.5f, 85.0f, 127.5f));
    EXPECT_FLOAT_EQ(colorIntensity(Vec3(10.0f, 20.0f, 30.0f)), 20.0f);
    for (const Vec3 colour : {Vec3(10.0f, 20.0f, 30.0f), Vec3(255.0f, 0.0f, 3.0f)})
        expectVec3Near(
            chromaticityToRgb(rgbToChromaticity(colour), colorIntensity(colour)), colour);
}

TEST(SnapToZero, ComparesInDoublePrecision)
{
    EXPECT_EQ(snapToZero(5e-10f), 0.0f);
    EXPECT_EQ(snapToZero(-5e-10f), 0.0f);
    // The float nearest 1e-9 lies just below it.
    EXPECT_EQ(snapToZero(1e-9f), 0.0f);
    EXPECT_EQ(snapToZero(2e-9f), 2e-9f);
    EXPECT_EQ(snapToZero(-3.5f), -3.5f);
}

TEST(ChromaticityTriangle, ProjectsOntoThePlaneAndItsBorder)
{
    std::ostringstream out;
    EXPECT_EQ(
        projectToChromaticityTriangle(Vec3(255.0f, 0.0f, 0.0f), out), Vec3(255.0f, 0.0f, 0.0f));
    EXPECT_EQ(projectToChromaticityTriangle(Vec3(0.0f), out), Vec3(85.0f));
    EXPECT_EQ(projectToChromaticityTriangle(Vec3(255.0f), out), Vec3(85.0f));
    // Two components pushed below zero: a corner.
    EXPECT_EQ(
        projectToChromaticityTriangle(Vec3(300.0f, 0.0f, 0.0f), out), Vec3(255.0f, 0.0f, 0.0f));
    EXPECT_EQ(projectToChromaticityTriangle(Vec3(-200.0f, -200.0f, 300.0f), out),
        Vec3(0.0f, 0.0f, 255.0f));
    EXPECT_EQ(projectToChromaticityTriangle(Vec3(-200.0f, 300.0f, -200.0f), out),
        Vec3(0.0f, 255.0f, 0.0f));
    // One component below zero: the opposite edge, the other two rescaled to 255.
    // (200, 100, -100) moves by 55 / 3 to (218.33, 118.33, -81.67).
    expectVec3Near(projectToChromaticityTriangle(Vec3(200.0f, 100.0f, -100.0f), out),
        Vec3(255.0f * 655.0f / 1010.0f, 255.0f * 355.0f / 1010.0f, 0.0f));
    expectVec3Near(projectToChromaticityTriangle(Vec3(-100.0f, 200.0f, 100.0f), out),
        Vec3(0.0f, 255.0f * 655.0f / 1010.0f, 255.0f * 355.0f / 1010.0f));
    expectVec3Near(projectToChromaticityTriangle(Vec3(200.0f, -100.0f, 100.0f), out),
        Vec3(255.0f * 655.0f / 1010.0f, 0.0f, 255.0f * 355.0f / 1010.0f));
    EXPECT_EQ(out.str(), "");
}

TEST(ChromaticityTriangle, ReportsANanColourAndReturnsItUnchanged)
{
    std::ostringstream out;
    const Vec3 result = projectToChromaticityTriangle(
        Vec3(10.0f, std::numeric_limits<float>::quiet_NaN(), 20.0f), out);
    EXPECT_EQ(out.str(), "sierota \n");
    EXPECT_EQ(result.r, 10.0f);
    EXPECT_TRUE(std::isnan(result.g));
    EXPECT_EQ(result.b, 20.0f);
}
