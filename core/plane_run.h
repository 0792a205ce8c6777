// The whole denoising run on planes: parameters, pre-smoothing, local structure, chunks on
// threads, normalisation. No Qt: the image adapter and the tools call it.
#pragma once

#include "planes.h"
#include "run_status.h"

#include <cstdint>

class NormalTable;
class RunObserver;
struct RunHooks;

struct RunOptions
{
    // Threads to run on, the calling thread included; 0 asks the system (1 if it cannot tell).
    // The result is the same on any number of threads.
    int threads = 0;
    // The sample table to draw from; nullptr builds one seeded from the clock for this run.
    const NormalTable *table = nullptr;
    // Progress, liveness and cancellation; may be nullptr.
    RunObserver *observer = nullptr;
    // Bytes the run may allocate; -1 means the memory available to the process right now.
    std::int64_t memoryLimit = -1;
    // Extra bytes the caller will need besides the run (its result image), counted against
    // the same limit before anything is allocated.
    std::int64_t callerBytes = 0;
    // Where cell (0, 0) of the source sits in a larger image: a crop run with its origin draws
    // for every pixel as a run on the whole image does (see NormalTable).
    int originX = 0;
    int originY = 0;
    // Tests only: small chunks, injected failures (see run_hooks.h).
    const RunHooks *hooks = nullptr;
};

// Denoises `source` at noise level `level` (1 or more). On Done, `result` holds the normalised
// estimates, unclamped, on the 0..255 scale and of the source's size; on any other status it is
// left empty. The source must be at least 1 x 1.
RunStatus denoiseGray(
    const GrayPlane &source, int level, GrayPlane &result, const RunOptions &options = {});
RunStatus denoiseColor(
    const ColorPlane &source, int level, ColorPlane &result, const RunOptions &options = {});

// The threads a run with these options uses.
int runThreads(const RunOptions &options);

// The bytes a run on `threads` threads (at most one a row) allocates on a width x height image,
// the sample table included when the run has to build it and the rows its chunks share at the
// widest patch; the source plane is the caller's and not counted.
std::int64_t runWorkingSetBytes(int width, int height, bool color, bool buildsTable, int threads);
