// The grayscale row worker and its helpers: distances, weights, cells.
#include "gray_worker.h"

#include "walk_kernel.h"

#include <cmath>
#include <cstddef>
#include <vector>

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

namespace {

PELTA_WORKER_CLONES bool grayRows(BandControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const BandSink<float> &sink, NormalCursor &cursor)
{
    return walk::rows<1, 5>(control, rowBegin, rowEnd, in, sink, cursor);
}

} // namespace

bool denoiseGrayRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const GrayPlane &srcPlane, const BandSink<float> &accum,
    const GrayPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params)
{
    const walk::Inputs in {srcPlane.data(), smoothPlane.data(), dirXPlane.data(), dirYPlane.data(),
        expTable.data(), params, walk::Smoothed<1>::limitFor(params.sigma)};
    return grayRows(control, rowBegin, rowEnd, in, accum, cursor);
}
