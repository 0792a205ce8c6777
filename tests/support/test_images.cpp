// Test scenes, seeded noise, pixel rounding and PSNR on planes.
#include "test_images.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {

// Region of the scene at (x, y): 0 background, 1 rectangle, 2 disc, 3 bars.
int regionAt(int x, int y, int width, int height)
{
    const float cx = 0.7f * float(width);
    const float cy = 0.65f * float(height);
    const float radius = 0.2f * float(std::min(width, height));
    if ((float(x) - cx) * (float(x) - cx) + (float(y) - cy) * (float(y) - cy) < radius * radius)
        return 2;
    if (x >= width / 8 && x < width / 2 && y >= height / 8 && y < height / 2)
        return 1;
    if (y >= 3 * height / 4 && x < width / 2 && (x / 4) % 2 == 0)
        return 3;
    return 0;
}

float rampAt(int x, int y, int width, int height)
{
    return 60.0f + std::floor(80.0f * float(x + y) / float(width + height));
}

float addNoiseTo(float v, std::normal_distribution<float> &noise, std::mt19937 &random)
{
    return std::clamp(std::round(v + noise(random)), 0.0f, 255.0f);
}

float toPixel(float v)
{
    return std::round(std::clamp(v, 0.0f, 255.0f));
}

double psnrFromSquares(double sum, std::int64_t values)
{
    const double mse = sum / double(values);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace

GrayPlane constantGray(int width, int height, float value)
{
    GrayPlane plane(width, height);
    std::fill(plane.data(), plane.data() + plane.cellCount(), value);
    return plane;
}

ColorPlane constantColor(int width, int height, Vec3 value)
{
    ColorPlane plane(width, height);
    std::fill(plane.data(), plane.data() + plane.cellCount(), value);
    return plane;
}

GrayPlane sceneGray(int width, int height)
{
    GrayPlane plane(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float values[] = {rampAt(x, y, width, height), 200.0f, 30.0f, 170.0f};
            plane.at(x, y) = values[regionAt(x, y, width, height)];
        }
    }
    return plane;
}

ColorPlane sceneColor(int width, int height)
{
    ColorPlane plane(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float ramp = rampAt(x, y, width, height);
            const Vec3 values[]
                = {Vec3(ramp, ramp + 20.0f, 140.0f - ramp / 2.0f), Vec3(210.0f, 190.0f, 60.0f),
                    Vec3(40.0f, 70.0f, 160.0f), Vec3(225.0f, 90.0f, 100.0f)};
            plane.at(x, y) = values[regionAt(x, y, width, height)];
        }
    }
    return plane;
}

GrayPlane addNoise(const GrayPlane &clean, float sigma, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    GrayPlane noisy(clean.width(), clean.height());
    for (std::int64_t i = 0; i < clean.cellCount(); ++i)
        noisy.data()[i] = addNoiseTo(clean.data()[i], noise, random);
    return noisy;
}

ColorPlane addNoise(const ColorPlane &clean, float sigma, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    ColorPlane noisy(clean.width(), clean.height());
    for (std::int64_t i = 0; i < clean.cellCount(); ++i) {
        const Vec3 c = clean.data()[i];
        const float r = addNoiseTo(c.r, noise, random);
        const float g = addNoiseTo(c.g, noise, random);
        const float b = addNoiseTo(c.b, noise, random);
        noisy.data()[i] = Vec3(r, g, b);
    }
    return noisy;
}

GrayPlane toPixels(const GrayPlane &plane)
{
    GrayPlane out(plane.width(), plane.height());
    for (std::int64_t i = 0; i < plane.cellCount(); ++i)
        out.data()[i] = toPixel(plane.data()[i]);
    return out;
}

ColorPlane toPixels(const ColorPlane &plane)
{
    ColorPlane out(plane.width(), plane.height());
    for (std::int64_t i = 0; i < plane.cellCount(); ++i) {
        const Vec3 c = plane.data()[i];
        out.data()[i] = Vec3(toPixel(c.r), toPixel(c.g), toPixel(c.b));
    }
    return out;
}

double psnr(const GrayPlane &reference, const GrayPlane &test)
{
    double sum = 0.0;
    for (std::int64_t i = 0; i < reference.cellCount(); ++i) {
        const double d = double(reference.data()[i]) - double(test.data()[i]);
        sum += d * d;
    }
    return psnrFromSquares(sum, reference.cellCount());
}

double psnr(const ColorPlane &reference, const ColorPlane &test)
{
    double sum = 0.0;
    for (std::int64_t i = 0; i < reference.cellCount(); ++i) {
        const Vec3 d = reference.data()[i] - test.data()[i];
        sum += double(d.r) * d.r + double(d.g) * d.g + double(d.b) * d.b;
    }
    return psnrFromSquares(sum, 3 * reference.cellCount());
}

float maxDifference(const GrayPlane &a, const GrayPlane &b)
{
    float most = 0.0f;
    for (std::int64_t i = 0; i < a.cellCount(); ++i)
        most = std::max(most, std::fabs(a.data()[i] - b.data()[i]));
    return most;
}

float maxDifference(const ColorPlane &a, const ColorPlane &b)
{
    float most = 0.0f;
    for (std::int64_t i = 0; i < a.cellCount(); ++i) {
        const Vec3 d = a.data()[i] - b.data()[i];
        most = std::max({most, std::fabs(d.r), std::fabs(d.g), std::fabs(d.b)});
    }
    return most;
}
