// PSNR, the printers, direct patch weights and the colour conversions.
#include "core/diagnostics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

namespace {

const std::string kSeparator = std::string(117, '-') + "\n";
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ColorPlane filled(int width, int height, Vec3 colour)
{
    ColorPlane plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = colour;
    return plane;
}

void expectNear(Vec3 actual, Vec3 expected)
{
    EXPECT_NEAR(actual.r, expected.r, 1e-3f);
    EXPECT_NEAR(actual.g, expected.g, 1e-3f);
    EXPECT_NEAR(actual.b, expected.b, 1e-3f);
}

} // namespace

TEST(ColorPsnr, MeasuresTheMeanSquaredErrorAndRepeatsTheEdgesOfASmallerPlane)
{
    const ColorPlane a = filled(5, 3, Vec3(100.0f, 50.0f, 0.0f));
    EXPECT_EQ(colorPsnr(a, filled(5, 3, Vec3(100.0f, 50.0f, 0.0f))), kInf);
    EXPECT_NEAR(colorPsnr(a, filled(5, 3, Vec3(110.0f, 40.0f, 10.0f))),
        20.0 * std::log10(255.0) - 20.0, 1e-9); // MSE 100
    ColorPlane oneCell = filled(5, 3, Vec3(100.0f, 50.0f, 0.0f));
    oneCell.at(4, 2).r = 130.0f; // MSE 900 / 45 = 20
    EXPECT_NEAR(colorPsnr(a, oneCell), 20.0 * std::log10(255.0) - 10.0 * std::log10(20.0), 1e-9);

    ColorPlane big(4, 3), small(2, 2);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            big.at(x, y) = Vec3(float(std::min(x, 1) * 10 + std::min(y, 1)));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            small.at(x, y) = Vec3(float(x * 10 + y));
    EXPECT_EQ(colorPsnr(big, small), kInf);
    EXPECT_TRUE(std::isnan(colorPsnr(big, ColorPlane())));
}

// Rounded half away from zero, wrapped through 16 bits; NaN prints 0 and huge values saturate
// at the 32-bit limits before the wrap.
TEST(PrintPlanes, WritesRoundedWrappedCellsAsTabSeparatedRows)
{
    const struct
    {
        int width, height;
        std::vector<float> cells;
        std::string text;
    } cases[] = {{3, 2, {1.5f, -2.5f, 0.49f, 40000.0f, -32768.6f, 65535.0f},
                     "2\t-3\t0\t\n-25536\t32767\t-1\t\n"},
        {3, 1, {kNan, 1e20f, -std::numeric_limits<float>::infinity()}, "0\t-1\t0\t\n"},
        {0, 3, {}, "\n\n\n"}};
    for (const auto &c : cases) {
        GrayPlane gray(c.width, c.height);
        std::copy(c.cells.begin(), c.cells.end(), gray.data());
        std::ostringstream out;
        printGrayPlane(gray, out);
        EXPECT_EQ(out.str(), kSeparator + c.text);
    }
    ColorPlane colour(2, 1);
    colour.at(0, 0) = Vec3(0.5f, 254.6f, -0.4f);
    colour.at(1, 0) = Vec3(1.0f, 2.0f, 3.0f);
    std::ostringstream colourOut;
    printColorPlane(colour, colourOut);
    EXPECT_EQ(colourOut.str(), kSeparator + "(1,255,0)\t(1,2,3)\t\n");
}

TEST(PatchWeights, FollowTheNonLocalMeansFormula)
{
    // [0, 0, 6], radius 1, clamped: around x = 2 each row reads 0, 6, 6: D = 216, D / 9 = 24.
    GrayPlane gray(3, 1);
    gray.at(0, 0) = gray.at(1, 0) = 0.0f;
    gray.at(2, 0) = 6.0f;
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 0.0f, 2.0f), std::exp(-6.0f), 1e-7);
    // 2 sigma^2 is subtracted first; anything at or below it weighs 1.
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 2.0f, 2.0f), std::exp(-4.0f), 1e-7);
    EXPECT_EQ(grayPatchWeight(gray, 1, 0, 0, 2, 0, 5.0f, 2.0f), 1.0f);
    EXPECT_EQ(grayPatchWeight(gray, -1, 0, 0, 2, 0, 0.0f, 2.0f), 1.0f);
    EXPECT_NEAR(grayPatchWeightBilinear(gray, 0, 0.0f, 0.0f, 1.5f, 0.0f, 0.0f, 3.0f),
        std::exp(-1.0f), 1e-7); // halfway between 0 and 6 samples 3
    ColorPlane colour(2, 1);
    colour.at(1, 0) = Vec3(6.0f, 3.0f, 0.0f); // D = 45 over 3 values
    EXPECT_NEAR(colorPatchWeight(colour, 0, 0, 0, 1, 0, 0.0f, 1.0f), std::exp(-15.0f), 1e-10);
    EXPECT_NEAR(colorPatchWeightBilinear(colour, 0, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 1.0f),
        std::exp(-45.0f / 4.0f / 3.0f), 1e-8);
    // A NaN distance weighs 1.
    gray.at(1, 0) = kNan;
    EXPECT_EQ(grayPatchWeight(gray, 0, 0, 0, 1, 0, 0.0f, 1.0f), 1.0f);
    colour.at(1, 0).g = kNan;
    EXPECT_EQ(colorPatchWeight(colour, 0, 0, 0, 1, 0, 0.0f, 1.0f), 1.0f);
}

TEST(Hsv, ConvertsPrimariesGreysAndSectorEdges)
{
    const std::pair<Vec3, Vec3> toHsv[] = {{Vec3(80.0f), Vec3(0.0f, 0.0f, 80.0f)},
        {Vec3(0.0f, 0.0f, 255.0f), Vec3(240.0f, 1.0f, 255.0f)},
        {Vec3(0.0f, 255.0f, 0.0f), Vec3(120.0f, 1.0f, 255.0f)},
        {Vec3(255.0f, 0.0f, 255.0f), Vec3(300.0f, 1.0f, 255.0f)}};
    for (const auto &[rgb, hsv] : toHsv)
        expectNear(rgbToHsv(rgb), hsv);
    const Vec3 nonPositive = rgbToHsv(Vec3(-10.0f, -1.0f, -5.0f));
    EXPECT_TRUE(std::isnan(nonPositive.r));
    EXPECT_EQ(nonPositive.b, -1.0f);

    // 360 and beyond fall back to sector 0 with f = 0; far below zero nothing overflows.
    const std::pair<Vec3, Vec3> toRgb[] = {{Vec3(123.0f, 0.0f, 77.0f), Vec3(77.0f)},
        {Vec3(360.0f, 0.5f, 200.0f), Vec3(200.0f, 100.0f, 100.0f)},
        {Vec3(1000.0f, 0.5f, 200.0f), Vec3(200.0f, 100.0f, 100.0f)},
        {Vec3(60.0f, 1.0f, 255.0f), Vec3(255.0f, 255.0f, 0.0f)},
        {Vec3(240.0f, 1.0f, 255.0f), Vec3(0.0f, 0.0f, 255.0f)},
        {Vec3(300.0f, 1.0f, 255.0f), Vec3(255.0f, 0.0f, 255.0f)}};
    for (const auto &[hsv, rgb] : toRgb)
        expectNear(hsvToRgb(hsv), rgb);
    const Vec3 far = hsvToRgb(Vec3(-1e30f, 0.5f, 10.0f));
    EXPECT_EQ(far.r, 10.0f);
    EXPECT_EQ(far.g, 5.0f);
    for (const Vec3 colour : {Vec3(200.0f, 30.0f, 90.0f), Vec3(12.0f, 250.0f, 251.0f),
             Vec3(40.0f, 41.0f, 39.0f), Vec3(255.0f, 128.0f, 0.0f), Vec3(5.0f, 0.0f, 200.0f)})
        expectNear(hsvToRgb(rgbToHsv(colour)), colour);
}

TEST(Chromaticity, ScalesToTheSum255AndBackAndSnapsTinyValues)
{
    EXPECT_EQ(rgbToChromaticity(Vec3(0.0f)), Vec3(85.0f));
    EXPECT_EQ(rgbToChromaticity(Vec3(0.2f, 0.1f, 0.1f)), Vec3(85.0f));
    expectNear(rgbToChromaticity(Vec3(10.0f, 20.0f, 30.0f)), Vec3(42.5f, 85.0f, 127.5f));
    for (const Vec3 colour : {Vec3(10.0f, 20.0f, 30.0f), Vec3(255.0f, 0.0f, 3.0f)})
        expectNear(chromaticityToRgb(rgbToChromaticity(colour), colorIntensity(colour)), colour);
    // Compared in double: the float nearest 1e-9 lies just below it.
    EXPECT_EQ(snapToZero(-5e-10f), 0.0f);
    EXPECT_EQ(snapToZero(1e-9f), 0.0f);
    EXPECT_EQ(snapToZero(2e-9f), 2e-9f);
}

TEST(ChromaticityTriangle, ProjectsOntoThePlaneAndItsBorder)
{
    // Two components below zero give a corner; one gives the opposite edge, the other two
    // rescaled to 255: (200, 100, -100) moves by 55 / 3 to (218.33, 118.33, -81.67).
    const float big = 255.0f * 655.0f / 1010.0f;
    const float small = 255.0f * 355.0f / 1010.0f;
    const std::pair<Vec3, Vec3> cases[]
        = {{Vec3(255.0f, 0.0f, 0.0f), Vec3(255.0f, 0.0f, 0.0f)}, {Vec3(0.0f), Vec3(85.0f)},
            {Vec3(255.0f), Vec3(85.0f)}, {Vec3(300.0f, 0.0f, 0.0f), Vec3(255.0f, 0.0f, 0.0f)},
            {Vec3(-200.0f, -200.0f, 300.0f), Vec3(0.0f, 0.0f, 255.0f)},
            {Vec3(-200.0f, 300.0f, -200.0f), Vec3(0.0f, 255.0f, 0.0f)},
            {Vec3(200.0f, 100.0f, -100.0f), Vec3(big, small, 0.0f)},
            {Vec3(-100.0f, 200.0f, 100.0f), Vec3(0.0f, big, small)},
            {Vec3(200.0f, -100.0f, 100.0f), Vec3(big, 0.0f, small)}};
    std::ostringstream out;
    for (const auto &[in, expected] : cases)
        expectNear(projectToChromaticityTriangle(in, out), expected);
    EXPECT_EQ(out.str(), "");

    // A NaN colour falls through every case: reported and returned unchanged.
    const Vec3 result = projectToChromaticityTriangle(Vec3(10.0f, kNan, 20.0f), out);
    EXPECT_EQ(out.str(), "sierota \n");
    EXPECT_EQ(result.r, 10.0f);
    EXPECT_TRUE(std::isnan(result.g));
    EXPECT_EQ(result.b, 20.0f);
}
