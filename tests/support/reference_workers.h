// The plain row workers: the slow, obviously faithful reference for denoiseGrayRows and
// denoiseColorRows.
#pragma once

#include "core/band_control.h"
#include "core/band_sink.h"
#include "core/denoise_params.h"
#include "core/planes.h"
#include "core/sample_tables.h"

// Same contract as denoiseGrayRows: every step of the walk written out as described, sampling
// through Plane::sampleBilinear, scratch allocated per row. Draws the same samples in the same
// order and makes the same moves as the fast worker.
bool referenceGrayRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const GrayPlane &srcPlane, const BandSink<float> &accum,
    const GrayPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params);

// Same contract as denoiseColorRows, written like referenceGrayRows.
bool referenceColorRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const ColorPlane &srcPlane, const BandSink<Vec3> &accum,
    const ColorPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params);
