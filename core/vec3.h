// Vec3: the colour vector of the denoiser, three floats on the 0..255 scale.
#pragma once

#include <cmath>

// A plain value type; a scalar is scaled into a colour by multiplying with Vec3(s).
struct Vec3
{
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;

    constexpr Vec3() = default;
    constexpr explicit Vec3(float s)
        : r(s)
        , g(s)
        , b(s)
    { }
    constexpr Vec3(float red, float green, float blue)
        : r(red)
        , g(green)
        , b(blue)
    { }
};

constexpr Vec3 operator+(Vec3 a, Vec3 b)
{
    return {a.r + b.r, a.g + b.g, a.b + b.b};
}

constexpr Vec3 operator-(Vec3 a, Vec3 b)
{
    return {a.r - b.r, a.g - b.g, a.b - b.b};
}

constexpr Vec3 operator*(Vec3 a, Vec3 b)
{
    return {a.r * b.r, a.g * b.g, a.b * b.b};
}

// No test for zero divisors: callers divide by sums they know to be positive.
constexpr Vec3 operator/(Vec3 a, Vec3 b)
{
    return {a.r / b.r, a.g / b.g, a.b / b.b};
}

inline Vec3 &operator+=(Vec3 &a, Vec3 b)
{
    a = a + b;
    return a;
}

constexpr bool operator==(Vec3 a, Vec3 b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

constexpr bool operator!=(Vec3 a, Vec3 b)
{
    return !(a == b);
}

inline float length(Vec3 a)
{
    return std::sqrt(a.r * a.r + a.g * a.g + a.b * a.b);
}
