// Noise estimation: the standard deviation of additive noise in a plane, and the level to denoise
// it at.
#pragma once

#include "planes.h"

#include <optional>

// The standard deviation of additive Gaussian noise in the plane, on the 0..255 scale, from
// Immerkaer's Laplacian-difference mask over the flattest pixels away from clipping. Colour takes
// the median of the red, green and blue estimates. Nothing when fewer than 1000 pixels of every
// channel stay usable (planes below about 60 x 60, or nearly all clipped) or when the estimate is
// under 0.25, less than 8-bit rounding alone leaves, so that there is no noise to measure.
// Planes over about 262000 cells are read on evenly spaced rows only.
std::optional<float> estimateNoiseLevel(const GrayPlane &plane);
std::optional<float> estimateNoiseLevel(const ColorPlane &plane);

// The denoiser's level (1..99) for an estimated standard deviation: the level where PSNR peaks on
// photographs. That is the deviation rounded up to 30, and increasingly less above (46 for 50).
int noiseLevelFor(float estimate);
