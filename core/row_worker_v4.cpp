// The row workers for x86-64-v4 (AVX-512), patch rows and colour paths in vectors of 16 floats.
#include "row_worker_builds.h"

#if PELTA_WORKER_DISPATCH
namespace walk {
namespace {

template<typename Cell>
PELTA_TARGET_V4 bool rowsOf(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Cell> &sink)
{
    return rows<kChannels<Cell>, kMaxRadius<Cell>, 16, true>(control, rowBegin, rowEnd, in, sink);
}

} // namespace

bool rowsV4(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink)
{
    return rowsOf<float>(control, rowBegin, rowEnd, in, sink);
}

bool rowsV4(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Vec3> &sink)
{
    return rowsOf<Vec3>(control, rowBegin, rowEnd, in, sink);
}

} // namespace walk
#endif
