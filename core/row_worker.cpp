// The choice between the builds of the row workers (see row_worker_builds.h).
#include "row_worker.h"

#include "row_worker_builds.h"

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

template<typename Cell>
bool dispatch(const RowInputs<Cell> &inputs, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Cell> &sink, WorkerTarget target)
{
    constexpr int C = walk::kChannels<Cell>;
    static_assert(std::is_same_v<typename JumpPlane<Cell>::Word, walk::JumpWord<C>>,
        "the workers read the jump plane's words");
    const walk::Inputs in {reinterpret_cast<const float *>(inputs.src.data()), inputs.src.pitch(),
        inputs.smooth.data(), inputs.dirX.data(), inputs.dirY.data(), &inputs.table, inputs.params,
        walk::Smoothed<C>::limitFor(inputs.params.sigma), inputs.originX, inputs.originY};
    switch (target) {
#if PELTA_WORKER_DISPATCH
    case WorkerTarget::X86_64_V4:
        return walk::rowsV4(control, rowBegin, rowEnd, in, sink);
    case WorkerTarget::X86_64_V3:
        return walk::rowsV3(control, rowBegin, rowEnd, in, sink);
#endif
    default:
        return walk::rowsPlain(control, rowBegin, rowEnd, in, sink);
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
