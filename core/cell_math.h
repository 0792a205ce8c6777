// Small arithmetic shared by the row workers and the write-back: the cell of a path point,
// whether a patch fits there, the colour jump limit and the clamp to the pixel range.
#pragma once

#include "vec3.h"

#include <cmath>

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

// The row workers' own arithmetic. Each of these definitions trades a float operation of the
// plain formula for one that fast code on every processor computes in the same way: a product
// and a sum rounded once (std::fma, an instruction where the processor has one), a product by a
// factor rounded once instead of a division. The fast workers and the reference both compute
// exactly these, so they agree bit for bit.

// a + t (b - a): the bilinear blend of the workers, the product and the sum rounded once. Where
// a == b the result is a, so a constant image is sampled exactly.
inline float blend(float a, float b, float t)
{
    return std::fma(t, b - a, a);
}

// The weights interpolate exp(-x) between points 16 / 1000 apart: every 16th entry of the
// ExpTable, 1814 entries (7 KB) that stay in the processor's nearest cache, where the whole
// table's 120 KB do not. The interpolation differs from exp by less than 3e-5.
constexpr int kWeightStep = 16;
constexpr int kWeightEntries = 29000 / kWeightStep + 2;

// weights[i] = expTable[i * kWeightStep] for the kWeightEntries entries.
inline void fillWeightTable(float *weights, const float *expTable)
{
    for (int i = 0; i < kWeightEntries; ++i)
        weights[i] = expTable[i * kWeightStep];
}

// The factor and bias of a patch weight's position in the weight table: the position of
// distance d is max(d * factor + bias, 0) (rounded once), the plain
// max(d - 2 n sigma^2, 0) / weightScale in steps of the table, with the division and the scale
// to table entries folded into one factor.
struct WeightScale
{
    float factor; // (1000 / kWeightStep) / weightScale
    float bias; // (-2 n sigma^2) * factor

    WeightScale(float weightScale, float offset)
        : factor((1000.0f / float(kWeightStep)) / weightScale)
        , bias(offset * factor)
    { }
};

// The weight at position t >= 0 of the weight table: 0 from exp(-29) on (t = 29000 /
// kWeightStep), else the table interpolated between entries floor(t) and floor(t) + 1
// (difference times fraction plus entry, rounded once).
inline float weightAt(const float *weights, float t)
{
    // Looked up at 0 where the result is 0, and chosen without a branch: whether a patch is too
    // far away to count is as good as random.
    const bool beyond = t >= 29000.0f / float(kWeightStep);
    const float u = beyond ? 0.0f : t;
    const int i = int(u);
    const float w = std::fma(u - float(i), weights[i + 1] - weights[i], weights[i]);
    return beyond ? 0.0f : w;
}

// The weight of a patch at squared distance d.
inline float patchWeight(const float *weights, float d, const WeightScale &scale)
{
    const float t = std::fma(d, scale.factor, scale.bias);
    return weightAt(weights, t > 0.0f ? t : 0.0f);
}

// The squared length of a colour difference: b^2 + (g^2 + r^2), each product and sum after
// the first rounded once.
inline float squaredLength(float r, float g, float b)
{
    return std::fma(b, b, std::fma(g, g, r * r));
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
