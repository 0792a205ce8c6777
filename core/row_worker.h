// The row workers: random walks, patch weights and patch estimates for gray and colour rows.
#pragma once

#include "chunk_sink.h"
#include "denoise_params.h"
#include "jump_plane.h"
#include "planes.h"
#include "sample_tables.h"
#include "thread_control.h"

#include <vector>

// Everything a row worker reads, for planes of Cell (float: gray, Vec3: colour). All planes
// are params.width x params.height; nothing here is written while workers run, so any number
// of threads share one RowInputs.
template<typename Cell>
struct RowInputs
{
    const Plane<Cell> &src; // the noisy image
    const JumpPlane<Cell> &smooth; // its 3 x 3 binomial smoothing, narrowed: the jump test's
    const GrayPlane &dirX; // direction of the local structure, scaling the closing moves
    const GrayPlane &dirY;
    const NormalTable &table;
    DenoiseParams params;
    // Where cell (0, 0) of the planes sits in the image: the draws of a pixel follow its place
    // in the image (see NormalTable), so a crop draws as the whole image does.
    int originX = 0;
    int originY = 0;
};

// The instruction sets the row workers are built for. A run uses the widest one the processor
// has; the workers' tests pass each of the others to check that every build gives the same
// results.
enum class WorkerTarget {
    Baseline, // any x86-64 (or any other processor)
    X86_64_V3, // AVX2
    X86_64_V4, // AVX-512
};

// The targets this processor can run, Baseline first.
std::vector<WorkerTarget> availableWorkerTargets();
// The widest of them, found once.
WorkerTarget widestWorkerTarget();

// Denoises rows [rowBegin, rowEnd): for every pixel, 7 random walks of 7 accepted moves refused
// across edges of the smoothed image, the patches at the places reached weighted by their
// similarity to the pixel's own patch, a structure-guided closing move per path, and the
// weighted mean patch added into the sink's rows (up to patchRadius rows outside [rowBegin,
// rowEnd)) with one count per cell. The colour worker compares colour patches, tests the length
// of the smoothed colour difference and shares one weight per patch between the channels.
// Runs the build for `target`, which must be available. Returns false when `control` stopped it
// before the last row was done.
bool denoiseRows(const RowInputs<float> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<float> &sink, WorkerTarget target = widestWorkerTarget());
bool denoiseRows(const RowInputs<Vec3> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Vec3> &sink, WorkerTarget target = widestWorkerTarget());
