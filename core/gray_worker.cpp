// The gray worker's helpers: patch distances and weights.
#include "gray_worker.h"

#include <cstddef>

float patchDistance(
    const float *a, const float *b, int x1, int y1, int x2, int y2, int r, int strideA, int strideB)
{
    float sum = 0.0f;
    for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
            const float d = a[std::ptrdiff_t(y1 + dy) * strideA + x1 + dx]
                - b[std::ptrdiff_t(y2 + dy) * strideB + x2 + dx];
            sum += d * d;
        }
    }
    return sum;
}

float patchWeight(float distance, const DenoiseParams &params, const ExpTable &expTable)
{
    const float offset = (float(params.patchValues) * -2.0f) * params.sigmaSq;
    const float excess = distance + offset;
    const float e = (excess > 0.0f ? excess : 0.0f) / params.weightScale;
    return expWeight(expTable.data(), e);
}
