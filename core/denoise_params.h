// DenoiseParams: the read-only scalars of one run, derived from the noise level.
#pragma once

// The twelve parameters the row workers receive, in their order. One copy per call, never
// written once a run has started.
struct DenoiseParams
{
    int patchSide = 3; // 2 * patchRadius + 1
    int patchRadius = 1; // f: the patch reaches f pixels to each side
    float weightScale = 0.0f; // patchValues * (k * sigma)^2, k the filter factor of the level
    float sigmaSq = 0.0f; // sigma^2
    int patchValues = 9; // values compared per patch: side^2 (gray), 3 * side^2 (colour)
    float sigma = 0.0f; // the noise level; also the jump-test threshold
    int height = 0;
    int width = 0;
    int stepsPerPath = 8; // positions per path, the start included
    int pathsPerPixel = 8; // bound of the path counter: 7 paths are walked
    float stepScale = 0.0f; // sqrt(sigma): standard deviation of a move per axis, in pixels
    int patchCells = 9; // side^2: cells of a worker's patch buffer
};

// The parameters of a gray or colour run on a width x height image at noise level `level`.
// Levels above 100 take the smallest patch, 0 and below the largest (callers pass 1 or more).
DenoiseParams grayParams(int level, int width, int height);
DenoiseParams colorParams(int level, int width, int height);
