// Noise estimation: the standard deviation of additive noise in a plane, and the level to denoise
// it at.
#pragma once

#include "planes.h"

#include <optional>

// What measuring the noise of a plane found.
struct NoiseMeasurement
{
    enum class Outcome {
        Measured, // deviation holds the estimate
        NoNoise, // large enough to measure, and no noise found: flat, or a clean pattern
        Unmeasurable, // too small, or nearly all clipped
    };
    Outcome outcome = Outcome::Unmeasurable;
    float deviation = 0.0f;
};

// The standard deviation of additive Gaussian noise in the plane, on the 0..255 scale, from
// Immerkaer's Laplacian-difference mask over the flattest pixels away from clipping. Colour takes
// the median of the red, green and blue estimates. Unmeasurable when fewer than 1000 pixels of
// every channel stay usable (planes below about 60 x 60, or nearly all clipped); no noise when the
// estimate is under 0.25, less than 8-bit rounding alone leaves, or above 127.5, more than any
// noise on 0..255 can have (a pattern finer than the mask, such as a 1-pixel checkerboard).
// Planes over about 262000 cells are read on evenly spaced rows only.
NoiseMeasurement measureNoise(const GrayPlane &plane);
NoiseMeasurement measureNoise(const ColorPlane &plane);
// As measureNoise, on a plane of image rows stacked three at a time (plane rows 3k, 3k + 1 and
// 3k + 2 are neighbouring rows of the image): the centre row of every three is read, and only
// those. An image too large to hold as planes is measured on such a plane of a few of its rows.
NoiseMeasurement measureNoiseOfTriples(const GrayPlane &plane);
NoiseMeasurement measureNoiseOfTriples(const ColorPlane &plane);

// The deviation measureNoise measures, or nothing when it measured none.
std::optional<float> estimateNoiseLevel(const GrayPlane &plane);
std::optional<float> estimateNoiseLevel(const ColorPlane &plane);

// The denoiser's level (1..99) for an estimated standard deviation: the level where PSNR peaks on
// photographs. That is the deviation rounded up to 30, and increasingly less above (46 for 50).
int noiseLevelFor(float estimate);
