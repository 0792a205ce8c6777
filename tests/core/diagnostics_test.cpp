// The diagnostics on worked examples: PSNR, the printers, direct patch weights, colour models.
#include "core/diagnostics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

TEST(Diagnostics, WorkedExamples)
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
    EXPECT_EQ(out.str(), std::string(117, '-') + "\n2\t-3\t-25536\t\n");

    // [0, 0, 6], radius 1, clamped: around x = 2 each row reads 0, 6, 6: D / 9 = 24, less
    // 2 sigma^2 = 8, over h^2 = 4.
    gray.fill(0.0f);
    gray.at(2, 0) = 6.0f;
    EXPECT_NEAR(grayPatchWeight(gray, 1, 0, 0, 2, 0, 2.0f, 2.0f), std::exp(-4.0f), 1e-7);
    ColorPlane pair(2, 1);
    pair.at(1, 0) = Vec3(6.0f, 3.0f, 0.0f); // D = 45 over 3 values
    EXPECT_NEAR(colorPatchWeight(pair, 0, 0, 0, 1, 0, 0.0f, 1.0f), std::exp(-15.0f), 1e-10);

    EXPECT_NEAR(rgbToHsv(Vec3(0.0f, 0.0f, 255.0f)).r, 240.0f, 1e-3f);
    EXPECT_NEAR(hsvToRgb(Vec3(360.0f, 0.5f, 200.0f)).g, 100.0f, 1e-3f); // sector 0, f = 0
    EXPECT_EQ(rgbToChromaticity(Vec3(0.0f)), Vec3(85.0f));
    EXPECT_NEAR(projectToChromaticityTriangle(Vec3(200.0f, 100.0f, -100.0f), out).r,
        255.0f * 655.0f / 1010.0f, 1e-3f);
}
