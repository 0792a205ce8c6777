// Image builders, seeded noise and quality measures for the core tests and benchmarks.
#pragma once

#include "core/planes.h"

#include <cstdint>

// A plane with every cell set to `value`.
GrayPlane constantGray(int width, int height, float value);
ColorPlane constantColor(int width, int height, Vec3 value);

// A clean test scene with smooth areas and sharp edges: a slow diagonal ramp, a bright
// rectangle, a dark disc and a band of vertical bars. Colour gives each region its own hue.
// Values lie in [30, 225], whole numbers.
GrayPlane sceneGray(int width, int height);
ColorPlane sceneColor(int width, int height);

// The plane plus Gaussian noise of standard deviation `sigma` from a generator seeded with
// `seed`, rounded to whole levels and limited to [0, 255] like an 8-bit image.
GrayPlane addNoise(const GrayPlane &clean, float sigma, std::uint32_t seed);
ColorPlane addNoise(const ColorPlane &clean, float sigma, std::uint32_t seed);

// Each value clamped to [0, 255] and rounded half away from zero, as written back to an image.
GrayPlane toPixels(const GrayPlane &plane);
ColorPlane toPixels(const ColorPlane &plane);

// Peak signal-to-noise ratio in dB of `test` against `reference` (peak 255), over all values.
double psnr(const GrayPlane &reference, const GrayPlane &test);
double psnr(const ColorPlane &reference, const ColorPlane &test);

// The largest absolute difference between two planes of the same size, over all values.
float maxDifference(const GrayPlane &a, const GrayPlane &b);
float maxDifference(const ColorPlane &a, const ColorPlane &b);
