// The row worker for gray planes built for any processor (plain x86-64: no fused
// multiply-add, vectors of 8 floats emulated).
#include "row_worker_builds.h"

namespace walk {

bool rowsPlain(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink)
{
    return rows<kChannels<float>, kMaxRadius<float>, 8, false>(control, rowBegin, rowEnd, in, sink);
}

} // namespace walk
