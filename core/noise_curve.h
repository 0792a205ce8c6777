// The noise curve: the noise's standard deviation as a function of the signal, per channel,
// measured from the image alone.
#pragma once

#include "planes.h"

#include <array>
#include <cstdint>
#include <optional>

// The deviation of the noise at every level 0..255 of each channel (red, green, blue; gray uses
// channel 0 only). A camera's noise grows with the light in linear light, and the tone curve that
// follows stretches the shadows, so after it the noise is often twice as strong in the shadows
// as in the highlights. Where the image had too few pixels to tell (clipped ends, levels it does
// not use) the nearest measured value holds.
struct NoiseCurve
{
    static constexpr int kLevels = 256;

    // 1 for a gray plane, 3 for a colour plane.
    int channels = 0;
    // sigma[channel][v]: the deviation at level v, never below the curve's floor.
    std::array<std::array<float, kLevels>, 3> sigma {};
    // Per channel, the lowest and highest level where the noise was measured; outside, the curve
    // holds its end values.
    std::array<float, 3> measuredLow {};
    std::array<float, 3> measuredHigh {};
    // The noise is the same at every level, within the measuring error, or varies by no more
    // than a photograph's own grain and compression make it seem to: the uniform level
    // (estimateNoiseLevel) describes it, and the curve adds nothing.
    bool flat = true;

    // The deviation at level v of a channel, interpolated; clamped to 0..255.
    float at(int channel, float v) const;
};

// Measures the curve once over the whole plane (values 0..255 from 8- or 16-bit images):
// Immerkaer's mask answers at the flattest pixels of each band of levels (by the 3 x 3 mean), bands
// too near 0 or 255 for their noise left out as clipped, and the bands' deviations smoothed into
// the curve. Nothing when no channel has a band with enough flat pixels (planes below about 60 x
// 60, or nearly all clipped) or when the plane shows less noise than 8-bit rounding leaves. Large
// planes are read on evenly spaced rows (about half a million samples per channel).
std::optional<NoiseCurve> measureNoiseCurve(const GrayPlane &plane);
std::optional<NoiseCurve> measureNoiseCurve(const ColorPlane &plane);
// As measureNoiseCurve, on a plane of image rows stacked three at a time (plane rows 3k, 3k + 1
// and 3k + 2 are neighbouring rows of the image): the centre row of every three is read, and only
// those. For images too large to hold as planes: about noiseCurveSamples() samples per channel,
// in evenly spaced triples, read as measureNoiseCurve reads a whole plane.
std::optional<NoiseCurve> measureNoiseCurveOfTriples(const GrayPlane &plane);
std::optional<NoiseCurve> measureNoiseCurveOfTriples(const ColorPlane &plane);
// The samples per channel measureNoiseCurve reads at most.
std::int64_t noiseCurveSamples();
