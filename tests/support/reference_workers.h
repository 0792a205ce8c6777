// The plain row workers: the slow, obviously faithful reference for denoiseRows.
#pragma once

#include "core/row_worker.h"

// Same contract as denoiseRows: every step of the walk written out as described, sampling
// with the corners of Plane::sampleBilinear and the workers' own arithmetic (core/cell_math.h),
// scratch allocated per row. Draws the same samples in the same order, makes the same moves and
// adds the same sums as the fast worker.
template<typename Cell>
bool referenceRows(const RowInputs<Cell> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Cell> &sink);

// Everything the row workers read, built from a source as a run builds it: the pre-smoothed
// plane, the directions, the exponential table and the inputs that point at them. Not movable:
// the inputs point into it.
template<typename Cell>
struct WorkerInputs
{
    WorkerInputs(Plane<Cell> source, const DenoiseParams &params, const NormalTable &table);
    WorkerInputs(const WorkerInputs &) = delete;
    WorkerInputs &operator=(const WorkerInputs &) = delete;

    Plane<Cell> src;
    JumpPlane<Cell> smooth;
    GrayPlane dirX;
    GrayPlane dirY;
    RowInputs<Cell> inputs;
};
