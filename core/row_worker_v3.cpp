// The row workers for x86-64-v3 (AVX2 and fused multiply-add), patch rows in vectors of 8 floats.
#include "row_worker_builds.h"

#if PELTA_WORKER_DISPATCH
namespace walk {
namespace {

template<typename Cell>
PELTA_TARGET_V3 bool rowsOf(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Cell> &sink)
{
    return rows<kChannels<Cell>, kMaxRadius<Cell>, 8, true>(control, rowBegin, rowEnd, in, sink);
}

} // namespace

bool rowsV3(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink)
{
    return rowsOf<float>(control, rowBegin, rowEnd, in, sink);
}

bool rowsV3(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Vec3> &sink)
{
    return rowsOf<Vec3>(control, rowBegin, rowEnd, in, sink);
}

} // namespace walk
#endif
