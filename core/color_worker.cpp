// The colour worker's helpers.
#include "color_worker.h"

#include "gray_worker.h"

#include <cmath>
#include <cstddef>

float colorPatchDistance(
    const Vec3 *a, const Vec3 *b, int x1, int y1, int x2, int y2, int r, int strideA, int strideB)
{
    float sum = 0.0f;
    for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
            const Vec3 d = a[std::ptrdiff_t(y1 + dy) * strideA + x1 + dx]
                - b[std::ptrdiff_t(y2 + dy) * strideB + x2 + dx];
            sum += d.r * d.r;
            sum += d.g * d.g;
            sum += d.b * d.b;
        }
    }
    return sum;
}

void fillVec3(Vec3 *array, int count, float value)
{
    for (int i = 0; i < count; ++i)
        array[i] = Vec3(value);
}

float squaredLimit(float sigma)
{
    float t = sigma * sigma;
    while (t > 0.0f && std::sqrt(t) > sigma)
        t = std::nextafter(t, 0.0f);
    for (;;) {
        const float next = std::nextafter(t, HUGE_VALF);
        if (std::sqrt(next) > sigma)
            return t;
        t = next;
    }
}

Vec3 clampToPixel(Vec3 v)
{
    return {clampToPixel(v.r), clampToPixel(v.g), clampToPixel(v.b)};
}
