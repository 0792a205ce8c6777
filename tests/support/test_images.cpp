// Test scenes, seeded noise, pixel rounding and PSNR on planes.
#include "test_images.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <type_traits>

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

// The values of a plane as floats, a colour's three in a row.
template<typename Cell>
constexpr std::int64_t kChannels = std::is_same_v<Cell, Vec3> ? 3 : 1;

template<typename Cell>
const float *valuesOf(const Plane<Cell> &plane)
{
    return reinterpret_cast<const float *>(plane.data());
}

template<typename Cell>
float *valuesOf(Plane<Cell> &plane)
{
    return reinterpret_cast<float *>(plane.data());
}

// A plane of the same size whose values are f(value) in order.
template<typename Cell, typename F>
Plane<Cell> mapped(const Plane<Cell> &plane, F f)
{
    Plane<Cell> out(plane.width(), plane.height());
    for (std::int64_t i = 0; i < plane.cellCount() * kChannels<Cell>; ++i)
        valuesOf(out)[i] = f(valuesOf(plane)[i]);
    return out;
}

// Each pixel's value from its region and the ramp's value there.
template<typename Cell, typename Value>
Plane<Cell> scene(int width, int height, Value value)
{
    Plane<Cell> plane(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            plane.at(x, y) = value(regionAt(x, y, width, height), rampAt(x, y, width, height));
    return plane;
}

} // namespace

GrayPlane sceneGray(int width, int height)
{
    return scene<float>(width, height, [](int region, float ramp) {
        const float values[] = {ramp, 200.0f, 30.0f, 170.0f};
        return values[region];
    });
}

ColorPlane sceneColor(int width, int height)
{
    return scene<Vec3>(width, height, [](int region, float ramp) {
        const Vec3 values[] = {Vec3(ramp, ramp + 20.0f, 140.0f - ramp / 2.0f),
            Vec3(210.0f, 190.0f, 60.0f), Vec3(40.0f, 70.0f, 160.0f), Vec3(225.0f, 90.0f, 100.0f)};
        return values[region];
    });
}

template<typename Cell>
Plane<Cell> addNoise(const Plane<Cell> &clean, float sigma, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    return mapped(
        clean, [&](float v) { return std::clamp(std::round(v + noise(random)), 0.0f, 255.0f); });
}

template<typename Cell>
Plane<Cell> toPixels(const Plane<Cell> &plane)
{
    return mapped(plane, [](float v) { return std::round(std::clamp(v, 0.0f, 255.0f)); });
}

template<typename Cell>
double psnr(const Plane<Cell> &reference, const Plane<Cell> &test)
{
    const std::int64_t n = reference.cellCount() * kChannels<Cell>;
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double d = double(valuesOf(reference)[i]) - double(valuesOf(test)[i]);
        sum += d * d;
    }
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

template<typename Cell>
float maxDifference(const Plane<Cell> &a, const Plane<Cell> &b)
{
    float most = 0.0f;
    for (std::int64_t i = 0; i < a.cellCount() * kChannels<Cell>; ++i)
        most = std::max(most, std::fabs(valuesOf(a)[i] - valuesOf(b)[i]));
    return most;
}

#define PELTA_TEST_IMAGES(Cell)                                                                    \
    template Plane<Cell> addNoise(const Plane<Cell> &, float, std::uint32_t);                      \
    template Plane<Cell> toPixels(const Plane<Cell> &);                                            \
    template double psnr(const Plane<Cell> &, const Plane<Cell> &);                                \
    template float maxDifference(const Plane<Cell> &, const Plane<Cell> &);
PELTA_TEST_IMAGES(float)
PELTA_TEST_IMAGES(Vec3)
