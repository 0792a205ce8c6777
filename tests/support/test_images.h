// Image builders, seeded noise and quality measures for the core tests and benchmarks. The
// templates take GrayPlane and ColorPlane; a colour counts as three values.
#pragma once

#include "core/planes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>

// A plane with every cell set to `value` (a float or a Vec3).
template<typename Cell>
Plane<Cell> filled(int width, int height, Cell value)
{
    Plane<Cell> plane(width, height);
    plane.fill(value);
    return plane;
}

// The values of a plane as floats, a colour's three in a row, and how many there are.
template<typename Cell>
const float *valuesOf(const Plane<Cell> &plane)
{
    return reinterpret_cast<const float *>(plane.data());
}

template<typename Cell>
std::int64_t valueCount(const Plane<Cell> &plane)
{
    return plane.cellCount() * (std::is_same_v<Cell, Vec3> ? 3 : 1);
}

// A plane of the same size and pitch whose values are f(value), the cells between rows included;
// with f the identity, a copy (planes themselves cannot be copied, by design).
template<typename Cell, typename F>
Plane<Cell> mapped(const Plane<Cell> &plane, F f)
{
    Plane<Cell> out(plane.width(), plane.height(), plane.pitch());
    const std::int64_t perRow = std::int64_t(plane.pitch()) * (std::is_same_v<Cell, Vec3> ? 3 : 1);
    for (int y = 0; y < plane.height(); ++y) {
        const auto *in = reinterpret_cast<const float *>(plane.row(y));
        auto *values = reinterpret_cast<float *>(out.row(y));
        for (std::int64_t i = 0; i < perRow; ++i)
            values[i] = f(in[i]);
    }
    return out;
}

template<typename Cell>
Plane<Cell> copyOf(const Plane<Cell> &plane)
{
    return mapped(plane, [](float v) { return v; });
}

// A copy whose rows lie `pitch` cells apart, the cells between them set to `gap`: a reader
// that takes those cells for pixels, or steps rows by the width, reads something else.
template<typename Cell>
Plane<Cell> withPitch(const Plane<Cell> &plane, int pitch, Cell gap)
{
    Plane<Cell> out(plane.width(), plane.height(), pitch);
    for (int y = 0; y < plane.height(); ++y) {
        std::copy(plane.row(y), plane.row(y) + plane.width(), out.row(y));
        std::fill(out.row(y) + plane.width(), out.row(y) + pitch, gap);
    }
    return out;
}

// A clean test scene with smooth areas and sharp edges: a slow diagonal ramp, then a bright
// rectangle, a dark disc and a strip of vertical bars, each value(region 0..3, ramp) of its own.
// Values lie in [30, 225], whole numbers.
template<typename Cell, typename Value>
Plane<Cell> sceneWith(int width, int height, Value value)
{
    const float cx = 0.7f * float(width);
    const float cy = 0.65f * float(height);
    const float radius = 0.2f * float(std::min(width, height));
    Plane<Cell> plane(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float dx = float(x) - cx;
            const float dy = float(y) - cy;
            int region = 0;
            if (dx * dx + dy * dy < radius * radius)
                region = 2;
            else if (x >= width / 8 && x < width / 2 && y >= height / 8 && y < height / 2)
                region = 1;
            else if (y >= 3 * height / 4 && x < width / 2 && (x / 4) % 2 == 0)
                region = 3;
            plane.at(x, y)
                = value(region, 60.0f + std::floor(80.0f * float(x + y) / float(width + height)));
        }
    }
    return plane;
}

// The scene in gray, and in colour with a hue for each region.
inline GrayPlane sceneGray(int width, int height)
{
    return sceneWith<float>(width, height, [](int region, float ramp) {
        const float values[] = {ramp, 200.0f, 30.0f, 170.0f};
        return values[region];
    });
}

inline ColorPlane sceneColor(int width, int height)
{
    return sceneWith<Vec3>(width, height, [](int region, float ramp) {
        const Vec3 values[] = {Vec3(ramp, ramp + 20.0f, 140.0f - ramp / 2.0f),
            Vec3(210.0f, 190.0f, 60.0f), Vec3(40.0f, 70.0f, 160.0f), Vec3(225.0f, 90.0f, 100.0f)};
        return values[region];
    });
}

// The plane plus Gaussian noise of standard deviation `sigma` from a generator seeded with
// `seed`, rounded to whole levels and limited to [0, 255] like an 8-bit image.
template<typename Cell>
Plane<Cell> addNoise(const Plane<Cell> &clean, float sigma, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    return mapped(
        clean, [&](float v) { return std::clamp(std::round(v + noise(random)), 0.0f, 255.0f); });
}

// Each value clamped to [0, 255] and rounded half away from zero, as written back to an image.
template<typename Cell>
Plane<Cell> toPixels(const Plane<Cell> &plane)
{
    return mapped(plane, [](float v) { return std::round(std::clamp(v, 0.0f, 255.0f)); });
}

// Peak signal-to-noise ratio in dB of `test` against `reference` (peak 255), over all values.
template<typename Cell>
double psnr(const Plane<Cell> &reference, const Plane<Cell> &test)
{
    double sum = 0.0;
    for (std::int64_t i = 0; i < valueCount(reference); ++i) {
        const double d = double(valuesOf(reference)[i]) - double(valuesOf(test)[i]);
        sum += d * d;
    }
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(valueCount(reference))));
}

// The largest absolute difference between two planes of the same size, over all values.
template<typename Cell>
float maxDifference(const Plane<Cell> &a, const Plane<Cell> &b)
{
    float most = 0.0f;
    for (std::int64_t i = 0; i < valueCount(a); ++i)
        most = std::max(most, std::fabs(valuesOf(a)[i] - valuesOf(b)[i]));
    return most;
}
