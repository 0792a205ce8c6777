// Small arithmetic shared by the row workers and the write-back: the cell of a path point,
// whether a patch fits there, the colour jump limit and the clamp to the pixel range.
#pragma once

#include "vec3.h"

#include <cmath>
#include <cstdint>
#include <cstring>

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

// The weight exp(-x) of a patch is computed as 2^-y, y = x log2(e): 2^-floor(y), which is
// exact in float, times a polynomial in the fraction f = y - floor(y). That is a few
// multiply-adds in registers, where a table would be read lane by lane. The polynomial (degree
// 5, exactly 1 at f = 0) is within 2e-7 of 2^-f on [0, 1) after float rounding, and the weight
// is 0 from exp(-29) on.
constexpr float kLog2e = 1.44269504f;
constexpr float kWeightCutoff = 29.0f * kLog2e;
// c1 ... c5 of 2^-f = 1 + f (c1 + f (c2 + f (c3 + f (c4 + f c5)))), a near-minimax fit of the
// relative error.
constexpr float kExp2Fraction[5]
    = {-0.6931437254f, 0.2401801497f, -0.05529738963f, 0.009205838665f, -0.0009449218051f};

// 2^-n for a whole n in [0, 126], from its bits.
inline float twoToMinus(int n)
{
    const std::uint32_t bits = std::uint32_t(127 - n) << 23;
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The factor and bias of a patch weight's exponent: the exponent of distance d is
// max(d * factor + bias, 0) (rounded once), the plain max(d - 2 n sigma^2, 0) / weightScale in
// powers of two, with the division and log2(e) folded into one factor.
struct WeightScale
{
    float factor; // log2(e) / weightScale
    float bias; // (-2 n sigma^2) * factor

    WeightScale(float weightScale, float offset)
        : factor(kLog2e / weightScale)
        , bias(offset * factor)
    { }
};

// 2^-y for y >= 0: 0 from y = kWeightCutoff on, else the polynomial of the fraction (each
// step one multiply-add, highest power first) times 2^-floor(y).
inline float weightAt(float y)
{
    // Worked out at 0 where the result is 0, and chosen without a branch: whether a patch is
    // too far away to count is as good as random.
    const bool beyond = y >= kWeightCutoff;
    const float u = beyond ? 0.0f : y;
    const int n = int(u);
    const float f = u - float(n);
    float p = std::fma(kExp2Fraction[4], f, kExp2Fraction[3]);
    p = std::fma(p, f, kExp2Fraction[2]);
    p = std::fma(p, f, kExp2Fraction[1]);
    p = std::fma(p, f, kExp2Fraction[0]);
    p = std::fma(p, f, 1.0f);
    return beyond ? 0.0f : p * twoToMinus(n);
}

// The weight of a patch at squared distance d.
inline float patchWeight(float d, const WeightScale &scale)
{
    const float y = std::fma(d, scale.factor, scale.bias);
    return weightAt(y > 0.0f ? y : 0.0f);
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
