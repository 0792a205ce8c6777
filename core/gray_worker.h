// The grayscale row worker: random walks, patch weights and patch estimates for a band of rows.
#pragma once

#include "band_control.h"
#include "band_sink.h"
#include "denoise_params.h"
#include "planes.h"
#include "sample_tables.h"

#include <vector>

// Sum over dy, dx in [-r, r] (rows outer) of (a(x1 + dx, y1 + dy) - b(x2 + dx, y2 + dy))^2 on
// row-major buffers with the given row lengths; 0 for r < 0. Both squares must lie inside.
float patchDistance(const float *a, const float *b, int x1, int y1, int x2, int y2, int r,
    int strideA, int strideB);

// The non-local-means weight of a patch at squared distance `distance`: exp(-e) from the
// table, with e = max(distance - 2 * patchValues * sigmaSq, 0) / weightScale. The offset is
// formed as (float(patchValues) * -2) * sigmaSq and then added, in single precision.
float patchWeight(float distance, const DenoiseParams &params, const ExpTable &expTable);

// A final value limited to the pixel range: min(v, 255), then max(., 0).
inline float clampToPixel(float v)
{
    const float m = v < 255.0f ? v : 255.0f;
    return m > 0.0f ? m : 0.0f;
}

// A moved path coordinate limited to [0, size]: the upper bound is the plane size itself, so a
// path may stand up to one pixel beyond the last pixel centre, where sampling reads the border.
inline float clampToPlane(float v, int size)
{
    const float m = v < float(size) ? v : float(size);
    return m > 0.0f ? m : 0.0f;
}

// The nearest cell coordinate of a path coordinate, halves away from zero (std::round, without
// the library call). The fraction v - trunc(v) is exact in float.
inline int nearestCell(float v)
{
    const int whole = int(v);
    const float fraction = v - float(whole);
    return fraction >= 0.5f ? whole + 1 : (fraction <= -0.5f ? whole - 1 : whole);
}

// Whether the patch of radius r around cell (rx, ry) lies inside a width x height image.
inline bool usableCell(int rx, int ry, int r, int width, int height)
{
    return r <= rx && r <= ry && rx + r < width && ry + r < height;
}

// The instruction sets the row workers are built for. A worker runs the widest one the
// processor has; tests may pick another to check that every build gives the same results.
enum class WorkerTarget {
    Baseline, // any x86-64 (or any other processor)
    X86_64_V3, // AVX2
    X86_64_V4, // AVX-512
};

// The targets this processor can run, Baseline first.
std::vector<WorkerTarget> availableWorkerTargets();
// Makes every later worker call use `target`, which must be available. Not to be called while
// a worker runs.
void useWorkerTarget(WorkerTarget target);
WorkerTarget workerTarget();

// Denoises rows [rowBegin, rowEnd) of a gray image: for every pixel, 7 random walks of 7
// accepted moves refused across edges of `smoothPlane`, the patches at the places reached
// weighted by their similarity to the pixel's own patch, a structure-guided closing move per
// path, and the weighted mean patch added into the sink's rows (up to patchRadius rows outside
// the band) with one count per cell. Draws only through `cursor`. Every plane is params.width x
// params.height. Returns false when `control` stopped it before the last row was done.
bool denoiseGrayRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const GrayPlane &srcPlane, const BandSink<float> &accum,
    const GrayPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params);
