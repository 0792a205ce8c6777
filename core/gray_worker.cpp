// The grayscale row worker and its helpers: distances, weights, cells.
#include "gray_worker.h"

#include "walk_kernel.h"

#include <atomic>
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

WorkerTarget widestTarget()
{
#if PELTA_WORKER_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4") != 0)
        return WorkerTarget::X86_64_V4;
    if (__builtin_cpu_supports("x86-64-v3") != 0)
        return WorkerTarget::X86_64_V3;
#endif
    return WorkerTarget::Baseline;
}

std::atomic<WorkerTarget> &selectedTarget()
{
    static std::atomic<WorkerTarget> target {widestTarget()};
    return target;
}

bool grayRowsBaseline(BandControl &control, int rowBegin, int rowEnd, const walk::Inputs &in,
    const BandSink<float> &sink, NormalCursor &cursor)
{
    return walk::rows<1, 5, 8>(control, rowBegin, rowEnd, in, sink, cursor);
}

#if PELTA_WORKER_DISPATCH
PELTA_TARGET_V3 bool grayRowsV3(BandControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const BandSink<float> &sink, NormalCursor &cursor)
{
    return walk::rows<1, 5, 8>(control, rowBegin, rowEnd, in, sink, cursor);
}

PELTA_TARGET_V4 bool grayRowsV4(BandControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const BandSink<float> &sink, NormalCursor &cursor)
{
    return walk::rows<1, 5, 16>(control, rowBegin, rowEnd, in, sink, cursor);
}
#endif

} // namespace

std::vector<WorkerTarget> availableWorkerTargets()
{
    std::vector<WorkerTarget> targets {WorkerTarget::Baseline};
    const WorkerTarget widest = widestTarget();
    if (widest != WorkerTarget::Baseline)
        targets.push_back(WorkerTarget::X86_64_V3);
    if (widest == WorkerTarget::X86_64_V4)
        targets.push_back(WorkerTarget::X86_64_V4);
    return targets;
}

void useWorkerTarget(WorkerTarget target)
{
    selectedTarget().store(target);
}

WorkerTarget workerTarget()
{
    return selectedTarget().load(std::memory_order_relaxed);
}

bool denoiseGrayRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const GrayPlane &srcPlane, const BandSink<float> &accum,
    const GrayPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params)
{
    const walk::Inputs in {srcPlane.data(), smoothPlane.data(), dirXPlane.data(), dirYPlane.data(),
        expTable.data(), params, walk::Smoothed<1>::limitFor(params.sigma)};
    switch (workerTarget()) {
#if PELTA_WORKER_DISPATCH
    case WorkerTarget::X86_64_V4:
        return grayRowsV4(control, rowBegin, rowEnd, in, accum, cursor);
    case WorkerTarget::X86_64_V3:
        return grayRowsV3(control, rowBegin, rowEnd, in, accum, cursor);
#endif
    default:
        return grayRowsBaseline(control, rowBegin, rowEnd, in, accum, cursor);
    }
}
