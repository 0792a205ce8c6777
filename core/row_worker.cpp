// The row workers for every instruction set they are built for, and the choice between them.
#include "row_worker.h"

#include "walk_kernel.h"

#include <array>
#include <type_traits>

namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(float), "colour planes are read as interleaved floats");

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

// Gray patches reach radius 5, colour ones 3 (see denoise_params.cpp).
template<typename Cell>
constexpr int kChannels = sizeof(Cell) / sizeof(float);
template<typename Cell>
constexpr int kMaxRadius = kChannels<Cell> == 1 ? 5 : 3;

template<typename Cell>
bool rowsBaseline(ThreadControl &control, int rowBegin, int rowEnd, const walk::Inputs &in,
    const ChunkSink<Cell> &sink)
{
    return walk::rows<kChannels<Cell>, kMaxRadius<Cell>, 8, false>(
        control, rowBegin, rowEnd, in, sink);
}

#if PELTA_WORKER_DISPATCH
template<typename Cell>
PELTA_TARGET_V3 bool rowsV3(ThreadControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const ChunkSink<Cell> &sink)
{
    return walk::rows<kChannels<Cell>, kMaxRadius<Cell>, 8, true>(
        control, rowBegin, rowEnd, in, sink);
}

template<typename Cell>
PELTA_TARGET_V4 bool rowsV4(ThreadControl &control, int rowBegin, int rowEnd,
    const walk::Inputs &in, const ChunkSink<Cell> &sink)
{
    return walk::rows<kChannels<Cell>, kMaxRadius<Cell>, 16, true>(
        control, rowBegin, rowEnd, in, sink);
}
#endif

template<typename Cell>
bool dispatch(const RowInputs<Cell> &inputs, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Cell> &sink, WorkerTarget target)
{
    constexpr int C = kChannels<Cell>;
    static_assert(std::is_same_v<typename JumpPlane<Cell>::Word, walk::JumpWord<C>>,
        "the workers read the jump plane's words");
    const walk::Inputs in {reinterpret_cast<const float *>(inputs.src.data()), inputs.src.pitch(),
        inputs.smooth.data(), inputs.dirX.data(), inputs.dirY.data(), &inputs.table, inputs.params,
        walk::Smoothed<C>::limitFor(inputs.params.sigma), inputs.originX, inputs.originY};
    switch (target) {
#if PELTA_WORKER_DISPATCH
    case WorkerTarget::X86_64_V4:
        return rowsV4<Cell>(control, rowBegin, rowEnd, in, sink);
    case WorkerTarget::X86_64_V3:
        return rowsV3<Cell>(control, rowBegin, rowEnd, in, sink);
#endif
    default:
        return rowsBaseline<Cell>(control, rowBegin, rowEnd, in, sink);
    }
}

} // namespace

std::vector<WorkerTarget> availableWorkerTargets()
{
    std::vector<WorkerTarget> targets {WorkerTarget::Baseline};
    const WorkerTarget widest = widestWorkerTarget();
    if (widest != WorkerTarget::Baseline)
        targets.push_back(WorkerTarget::X86_64_V3);
    if (widest == WorkerTarget::X86_64_V4)
        targets.push_back(WorkerTarget::X86_64_V4);
    return targets;
}

WorkerTarget widestWorkerTarget()
{
    static const WorkerTarget widest = widestTarget();
    return widest;
}

bool denoiseRows(const RowInputs<float> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<float> &sink, WorkerTarget target)
{
    return dispatch(in, control, rowBegin, rowEnd, sink, target);
}

bool denoiseRows(const RowInputs<Vec3> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Vec3> &sink, WorkerTarget target)
{
    return dispatch(in, control, rowBegin, rowEnd, sink, target);
}
