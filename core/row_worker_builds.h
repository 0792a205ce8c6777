// The row worker built for each instruction set, in sources of their own so that a build
// compiles them side by side: row_worker_plain_gray.cpp and row_worker_plain_color.cpp (any
// processor; the slowest to compile, so split by channel count), row_worker_v3.cpp
// (x86-64-v3: AVX2) and row_worker_v4.cpp (x86-64-v4: AVX-512). row_worker.cpp chooses.
#pragma once

#include "walk_kernel.h"

namespace walk {

// Gray patches reach radius 5, colour ones 3 (see denoise_params.cpp).
template<typename Cell>
constexpr int kChannels = sizeof(Cell) / sizeof(float);
template<typename Cell>
constexpr int kMaxRadius = kChannels<Cell> == 1 ? 5 : 3;

bool rowsPlain(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink);
bool rowsPlain(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<Vec3> &sink);

#if PELTA_WORKER_DISPATCH
// Callable from code built for any x86-64; run only where the processor has the instruction set.
bool rowsV3(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink);
bool rowsV3(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<Vec3> &sink);
bool rowsV4(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<float> &sink);
bool rowsV4(ThreadControl &control, int rowBegin, int rowEnd, const Inputs &in,
    const ChunkSink<Vec3> &sink);
#endif

} // namespace walk
