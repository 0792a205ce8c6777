// The row worker for colour planes built for any processor (plain x86-64: no fused
// multiply-add, vectors of 8 floats emulated).
#include "row_worker_builds.h"

namespace walk {

bool rowsPlain(
    ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in, const ChunkSink<Vec3> &sink)
{
    return rows<kChannels<Vec3>, kMaxRadius<Vec3>, 8, false>(control, rowBegin, rowEnd, in, sink);
}

} // namespace walk
