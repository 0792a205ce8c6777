// The level tables of the gray and colour paths.
#include "denoise_params.h"

#include <cmath>

namespace {

struct LevelRow
{
    int radius;
    float filterFactor;
};

LevelRow grayRow(int level)
{
    if (level > 100)
        return {1, 0.4f};
    if (level <= 0 || level >= 76)
        return {5, 0.3f};
    if (level >= 46)
        return {4, 0.35f};
    if (level >= 31)
        return {3, 0.35f};
    if (level >= 16)
        return {2, 0.4f};
    return {1, 0.4f};
}

LevelRow colorRow(int level)
{
    if (level > 100)
        return {1, 0.55f};
    if (level <= 0 || level >= 56)
        return {3, 0.35f};
    if (level >= 26)
        return {2, 0.4f};
    return {1, 0.55f};
}

DenoiseParams makeParams(LevelRow row, int channels, int level, int width, int height)
{
    const float s = float(level);
    DenoiseParams p;
    p.patchRadius = row.radius;
    p.patchSide = 2 * row.radius + 1;
    p.patchCells = p.patchSide * p.patchSide;
    p.patchValues = channels * p.patchCells;
    const float ks = row.filterFactor * s;
    p.weightScale = float(p.patchValues) * (ks * ks);
    p.sigmaSq = s * s;
    p.sigma = s;
    p.height = height;
    p.width = width;
    p.stepsPerPath = 8;
    p.pathsPerPixel = 8;
    p.stepScale = std::sqrt(s);
    return p;
}

} // namespace

DenoiseParams grayParams(int level, int width, int height)
{
    return makeParams(grayRow(level), 1, level, width, height);
}

DenoiseParams colorParams(int level, int width, int height)
{
    return makeParams(colorRow(level), 3, level, width, height);
}
