// Steps of the row workers on gray values: patch distances and weights, cells, clamps.
#pragma once

#include "denoise_params.h"
#include "sample_tables.h"

// Sum over dy, dx in [-r, r] (rows outer) of (a(x1 + dx, y1 + dy) - b(x2 + dx, y2 + dy))^2 on
// row-major buffers with the given row lengths; 0 for r < 0. Both squares must lie inside.
float patchDistance(const float *a, const float *b, int x1, int y1, int x2, int y2, int r,
    int strideA, int strideB);

// The non-local-means weight of a patch at squared distance `distance`: exp(-e) from the
// table, with e = max(distance - 2 * patchValues * sigmaSq, 0) / weightScale. The offset is
// formed as (float(patchValues) * -2) * sigmaSq and then added, in single precision.
float patchWeight(float distance, const DenoiseParams &params, const ExpTable &expTable);

// A final value limited to the pixel range: min(v, 255), then max(., 0).
inline float clampToPixel(float v)
{
    const float m = v < 255.0f ? v : 255.0f;
    return m > 0.0f ? m : 0.0f;
}

// A moved path coordinate limited to [0, size]: the upper bound is the plane size itself, so a
// path may stand up to one pixel beyond the last pixel centre, where sampling reads the border.
inline float clampToPlane(float v, int size)
{
    const float m = v < float(size) ? v : float(size);
    return m > 0.0f ? m : 0.0f;
}

// The nearest cell coordinate of a path coordinate, halves away from zero (std::round, without
// the library call). The fraction v - trunc(v) is exact in float.
inline int nearestCell(float v)
{
    const int whole = int(v);
    const float fraction = v - float(whole);
    // Whole-number arithmetic on the comparisons: the workers round half the points up, so a
    // branch here would be mispredicted half the time.
    return whole + int(fraction >= 0.5f) - int(fraction <= -0.5f);
}

// Whether the patch of radius r around cell (rx, ry) lies inside a width x height image.
inline bool usableCell(int rx, int ry, int r, int width, int height)
{
    return (r <= rx) & (r <= ry) & (rx + r < width) & (ry + r < height);
}
