// The measures and printers kept for experiments: each against a value worked out by hand.
#include "core/diagnostics.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

TEST(Diagnostics, MeasuresAndPrintersGiveTheirWorkedValues)
{
    // Every value off by 3 (b's last row and column repeated): PSNR 10 log10(255^2 / 9).
    const ColorPlane a = filled(4, 3, Vec3(10.0f));
    EXPECT_NEAR(colorPsnr(a, filled(2, 2, Vec3(13.0f))), 38.5884, 1e-3);
    EXPECT_TRUE(std::isinf(colorPsnr(a, filled(4, 3, Vec3(10.0f)))));
    EXPECT_TRUE(std::isnan(colorPsnr(a, ColorPlane())));

    // One cell of 2 in the second patch: D = 4 over 9 values.
    GrayPlane gray(5, 5);
    gray.at(3, 2) = 2.0f;
    EXPECT_FLOAT_EQ(grayPatchWeight(gray, 1, 1, 2, 3, 2, 0.0f, 1.0f), std::exp(-4.0f / 9.0f));
    EXPECT_FLOAT_EQ(grayPatchWeight(gray, 1, 1, 2, 3, 2, 1.0f, 1.0f), 1.0f); // within 2 sigma^2

    GrayPlane printed(2, 1);
    printed.at(0, 0) = 40000.0f;
    printed.at(1, 0) = -1.5f;
    std::ostringstream out;
    printGrayPlane(printed, out);
    EXPECT_EQ(out.str(), std::string(117, '-') + "\n-25536\t-2\t\n");
}
