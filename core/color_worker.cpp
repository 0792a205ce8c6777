// The colour row worker and its helpers.
#include "color_worker.h"

#include "gray_worker.h"
#include "walk_kernel.h"

#include <cmath>
#include <cstddef>
#include <vector>

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

namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(float), "colour planes are read as interleaved floats");

bool colorRowsBaseline(BandControl &control, int rowBegin, int rowEnd, const walk::Inputs &in,
    const BandSink<Vec3> &sink, NormalCursor &cursor)
{
    return walk::rows<3, 3, 8>(control, rowBegin, rowEnd, in, sink, cursor);
}

#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 bool colorRowsV3(BandControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const BandSink<Vec3> &sink, NormalCursor &cursor)
{
    return walk::rows<3, 3, 8>(control, rowBegin, rowEnd, in, sink, cursor);
}

PELTA_TARGET_V4 bool colorRowsV4(BandControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const BandSink<Vec3> &sink, NormalCursor &cursor)
{
    return walk::rows<3, 3, 16>(control, rowBegin, rowEnd, in, sink, cursor);
}
#endif

} // namespace

bool denoiseColorRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const ColorPlane &srcPlane, const BandSink<Vec3> &accum,
    const ColorPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params)
{
    const walk::Inputs in {reinterpret_cast<const float *>(srcPlane.data()),
        reinterpret_cast<const float *>(smoothPlane.data()), dirXPlane.data(), dirYPlane.data(),
        expTable.data(), params, walk::Smoothed<3>::limitFor(params.sigma)};
    switch (workerTarget()) {
#if PELTA_WORKER_DISPATCH
    case WorkerTarget::X86_64_V4:
        return colorRowsV4(control, rowBegin, rowEnd, in, accum, cursor);
    case WorkerTarget::X86_64_V3:
        return colorRowsV3(control, rowBegin, rowEnd, in, accum, cursor);
#endif
    default:
        return colorRowsBaseline(control, rowBegin, rowEnd, in, accum, cursor);
    }
}
