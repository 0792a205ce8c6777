// The plain row workers: the slow, obviously faithful reference for denoiseRows.
#pragma once

#include "core/row_worker.h"

// Same contract as denoiseRows: every step of the walk written out as described, sampling
// through Plane::sampleBilinear, scratch allocated per row, each path drawing through its own
// cursor. Draws the same samples in the same order and makes the same moves as the fast worker.
bool referenceRows(const RowInputs<float> &in, BandControl &control, int rowBegin, int rowEnd,
    const BandSink<float> &sink);
bool referenceRows(const RowInputs<Vec3> &in, BandControl &control, int rowBegin, int rowEnd,
    const BandSink<Vec3> &sink);
