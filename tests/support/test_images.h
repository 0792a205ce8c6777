// Image builders, seeded noise and quality measures for the core tests and benchmarks. The
// templates take GrayPlane and ColorPlane; a colour counts as three values.
#pragma once

#include "core/planes.h"

#include <algorithm>
#include <cstdint>

// A plane with every cell set to `value` (a float or a Vec3).
template<typename Cell>
Plane<Cell> filled(int width, int height, Cell value)
{
    Plane<Cell> plane(width, height);
    plane.fill(value);
    return plane;
}

// A copy of the plane (planes themselves cannot be copied, by design).
template<typename Cell>
Plane<Cell> copyOf(const Plane<Cell> &plane)
{
    Plane<Cell> copy(plane.width(), plane.height());
    std::copy(plane.data(), plane.data() + plane.cellCount(), copy.data());
    return copy;
}

// A clean test scene with smooth areas and sharp edges: a slow diagonal ramp, a bright
// rectangle, a dark disc and a band of vertical bars. Colour gives each region its own hue.
// Values lie in [30, 225], whole numbers.
GrayPlane sceneGray(int width, int height);
ColorPlane sceneColor(int width, int height);

// The plane plus Gaussian noise of standard deviation `sigma` from a generator seeded with
// `seed`, rounded to whole levels and limited to [0, 255] like an 8-bit image.
template<typename Cell>
Plane<Cell> addNoise(const Plane<Cell> &clean, float sigma, std::uint32_t seed);

// Each value clamped to [0, 255] and rounded half away from zero, as written back to an image.
template<typename Cell>
Plane<Cell> toPixels(const Plane<Cell> &plane);

// Peak signal-to-noise ratio in dB of `test` against `reference` (peak 255), over all values.
template<typename Cell>
double psnr(const Plane<Cell> &reference, const Plane<Cell> &test);

// The largest absolute difference between two planes of the same size, over all values.
template<typename Cell>
float maxDifference(const Plane<Cell> &a, const Plane<Cell> &b);
