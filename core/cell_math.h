// Small arithmetic shared by the row workers and the write-back: the cell of a path point,
// whether a patch fits there, the colour jump limit and the clamp to the pixel range.
#pragma once

#include "vec3.h"

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

// The largest float t with sqrtf(t) <= sigma. The square root rounds correctly and never
// decreases, so for any sum of squares s, sqrtf(s) > sigma exactly when s > t: the colour jump
// test needs no square root. sigma must be finite and at least 0.
float squaredLimit(float sigma);

// A final value limited to the pixel range: min(v, 255), then max(., 0); per component for
// colours.
inline float clampToPixel(float v)
{
    const float m = v < 255.0f ? v : 255.0f;
    return m > 0.0f ? m : 0.0f;
}

inline Vec3 clampToPixel(Vec3 v)
{
    return {clampToPixel(v.r), clampToPixel(v.g), clampToPixel(v.b)};
}
