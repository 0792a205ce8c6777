// The row workers written plainly, one statement per step of the walk: the reference that the
// fast workers of the core are tested against. It computes the draw positions, patch distances,
// weights, cells and clamps itself, so that a fault in the core's versions shows as a difference.
#include "reference_workers.h"

#include "core/cell_math.h"
#include "core/run_stages.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

// Whether the smoothed image changes by more than sigma between two points: the jump test, on
// values of the jump plane, in its units.
bool jumps(float a, float b, float sigma)
{
    return std::fabs(a - b) > sigma * JumpPlane<float>::kUnits;
}

bool jumps(Vec3 a, Vec3 b, float sigma)
{
    const Vec3 d = a - b;
    return squaredLength(d.r, d.g, d.b) > squaredLimit(sigma * JumpPlane<Vec3>::kUnits);
}

// Cell (x, y) of the jump plane, clamped, as floats.
template<typename Cell>
Cell jumpCell(const JumpPlane<Cell> &plane, int x, int y)
{
    if constexpr (std::is_same_v<Cell, Vec3>)
        return {plane.at(x, y, 0), plane.at(x, y, 1), plane.at(x, y, 2)};
    else
        return plane.at(x, y, 0);
}

// The workers' blend, per component for a colour.
using ::blend;

Vec3 blend(Vec3 a, Vec3 b, float t)
{
    return {blend(a.r, b.r, t), blend(a.g, b.g, t), blend(a.b, b.b, t)};
}

// The bilinear sample of Plane::sampleBilinear (the same corners and fractions) with the
// workers' blend: along x in both rows, then along y.
template<template<typename> class Grid, typename Cell>
Cell blendSample(const Grid<Cell> &plane, float x, float y)
{
    const int width = plane.width();
    const int height = plane.height();
    float xc = x > 0.0f ? x : 0.0f;
    if (xc >= float(width))
        xc = float(width - 1);
    float yc = y > 0.0f ? y : 0.0f;
    if (yc >= float(height))
        yc = float(height - 1);
    const int x0 = int(xc);
    const int y0 = int(yc);
    const int x1 = x0 + 1 < width ? x0 + 1 : width - 1;
    const int y1 = y0 + 1 < height ? y0 + 1 : height - 1;
    const float fx = xc - float(x0);
    const float fy = yc - float(y0);
    const auto cell = [&](int cx, int cy) -> Cell {
        if constexpr (std::is_same_v<Grid<Cell>, Plane<Cell>>)
            return plane.at(cx, cy);
        else
            return jumpCell(plane, cx, cy);
    };
    const Cell top = blend(cell(x0, y0), cell(x1, y0), fx);
    const Cell bottom = blend(cell(x0, y1), cell(x1, y1), fx);
    return blend(top, bottom, fy);
}

// sum + w * v, rounded once per component.
float fusedAdd(float w, float v, float sum)
{
    return std::fma(w, v, sum);
}

Vec3 fusedAdd(float w, Vec3 v, Vec3 sum)
{
    return {std::fma(w, v.r, sum.r), std::fma(w, v.g, sum.g), std::fma(w, v.b, sum.b)};
}

// Squared differences of the two patches, rows outer, a colour's red, green, blue in turn.
float squares(float a, float b, float sum)
{
    return std::fma(a - b, a - b, sum);
}

float squares(Vec3 a, Vec3 b, float sum)
{
    return squares(a.b, b.b, squares(a.g, b.g, squares(a.r, b.r, sum)));
}

template<typename Cell>
float distance(const Plane<Cell> &src, int x1, int y1, int x2, int y2, int r)
{
    float sum = 0.0f;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            sum = squares(src.at(x1 + dx, y1 + dy), src.at(x2 + dx, y2 + dy), sum);
    return sum;
}

// The non-local-means weight: exp(-max(d - 2 m sigma^2, 0) / scale).
float weightOf(float d, const DenoiseParams &params)
{
    const WeightScale scale(
        params.weightScale, (float(params.patchValues) * -2.0f) * params.sigmaSq);
    return patchWeight(d, scale);
}

// Whether the patch of radius r around the cell nearest to (px, py) lies inside the plane.
bool patchFits(float px, float py, int r, int width, int height)
{
    const int x = int(std::round(px));
    const int y = int(std::round(py));
    return x - r >= 0 && y - r >= 0 && x + r <= width - 1 && y + r <= height - 1;
}

// The entry the first path of image pixel (x, y) draws first: splitmix64's finaliser over the
// coordinates and the table's start, scaled to the table.
std::int64_t firstDraw(const NormalTable &table, int x, int y)
{
    std::uint64_t key = std::uint64_t(std::uint32_t(x)) << 32 | std::uint32_t(y);
    key ^= std::uint64_t(std::uint32_t(table.start())) * 0x9E3779B97F4A7C15u;
    key = (key ^ (key >> 30)) * 0xBF58476D1CE4E5B9u;
    key = (key ^ (key >> 27)) * 0x94D049BB133111EBu;
    key ^= key >> 31;
    return std::int64_t(((key >> 32) * std::uint64_t(table.size())) >> 32);
}

} // namespace

template<typename Cell>
bool referenceRows(const RowInputs<Cell> &in, ThreadControl &control, int rowBegin, int rowEnd,
    const ChunkSink<Cell> &sink)
{
    const DenoiseParams &params = in.params;
    const int width = params.width;
    const int height = params.height;
    const int f = params.patchRadius;
    const int side = params.patchSide;
    const int steps = params.stepsPerPath;
    // Path points in image coordinates (see RowInputs::originX), moved within the plane's part
    // of the image, the far edge included; planes sampled at the point minus the origin. Path p
    // of a pixel draws entries n, n + 1, ... from n = firstDraw + 4096 p, wrapping at the end.
    const float left = float(in.originX);
    const float top = float(in.originY);
    const auto within = [](float v, float low, float high) {
        const float m = v < high ? v : high;
        return m > low ? m : low;
    };
    const auto sample = [&](const auto &plane, float px, float py) {
        return blendSample(plane, px - left, py - top);
    };

    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.beginRow(y))
            return false;
        std::vector<Cell> patchBuffer(std::size_t(params.patchCells), Cell(0.0f));

        for (int x = sink.columnBegin(); x < sink.columnEnd(); ++x) {
            if (!control.betweenPixels())
                return false;
            int r = f;
            for (const int limit : {x, y, width - 1 - x, height - 1 - y})
                r = limit < r ? limit : r;
            std::fill(patchBuffer.begin(), patchBuffer.end(), Cell(0.0f));
            float weightSum = 0.0f;
            const std::int64_t first = firstDraw(in.table, in.originX + x, in.originY + y);
            // Adds the patch sampled around (px, py) with weight w: each cell blends the four
            // cells at its offset from those of (px, py) with the fractions of (px, py).
            const auto addPatch = [&](float w, float px, float py) {
                weightSum += w;
                const int cx = int(px) - in.originX;
                const int cy = int(py) - in.originY;
                const float fx = px - float(int(px));
                const float fy = py - float(int(py));
                for (int dy = -r; dy <= r; ++dy)
                    for (int dx = -r; dx <= r; ++dx) {
                        const int x0 = cx + dx;
                        const int y0 = cy + dy;
                        const Cell top = blend(in.src.at(x0, y0), in.src.at(x0 + 1, y0), fx);
                        const Cell bottom
                            = blend(in.src.at(x0, y0 + 1), in.src.at(x0 + 1, y0 + 1), fx);
                        Cell &cell = patchBuffer[std::size_t((f + dy) * side + f + dx)];
                        cell = fusedAdd(w, blend(top, bottom, fy), cell);
                    }
            };

            for (int path = 1; path < params.pathsPerPixel; ++path) {
                std::int64_t entry = (first + std::int64_t(path - 1) * 4096) % in.table.size();
                const auto draw = [&] {
                    const float v = in.table.values()[entry];
                    entry = (entry + 1) % in.table.size();
                    return v;
                };
                // Every path starts at the pixel; q is the point the next move starts from.
                float qx = float(in.originX + x);
                float qy = float(in.originY + y);
                for (int k = 1; k < steps; ++k) {
                    const Cell smoothQ = sample(in.smooth, qx, qy);
                    float px;
                    float py;
                    // The jump test: a move across which the smoothed image changes by more
                    // than sigma is drawn again, as often as needed.
                    do {
                        px = within(qx + draw() * params.stepScale, left, left + float(width));
                        py = within(qy + draw() * params.stepScale, top, top + float(height));
                    } while (jumps(sample(in.smooth, px, py), smoothQ, params.sigma));

                    if (patchFits(px - left, py - top, r, width, height)) {
                        const int rx = int(std::round(px - left));
                        const int ry = int(std::round(py - top));
                        // Distance at the nearest cell, patch sampled at the exact point.
                        addPatch(weightOf(distance(in.src, x, y, rx, ry, r), params), px, py);
                    }

                    if (k == steps - 1 && weightSum > 1.0f) {
                        // The closing move: from the previous point, scaled by the local
                        // structure there instead of the step scale, without a jump test.
                        const float sx = sample(in.dirX, qx, qy);
                        const float sy = sample(in.dirY, qx, qy);
                        const float cx = within(qx + draw() * sx, left, left + float(width));
                        const float cy = within(qy + draw() * sy, top, top + float(height));
                        if (patchFits(cx - left, cy - top, r, width, height))
                            addPatch(-0.2f, cx, cy);
                    }
                    qx = px;
                    qy = py;
                }
            }

            if (weightSum > 1e-8f) {
                const Cell inverse(1.0f / weightSum);
                for (int dy = -r; dy <= r; ++dy) {
                    Cell *accumRow = sink.accumAt(x - r, y + dy);
                    float *countRow = sink.countAt(x - r, y + dy);
                    for (int dx = -r; dx <= r; ++dx) {
                        countRow[r + dx] += 1.0f;
                        accumRow[r + dx]
                            += patchBuffer[std::size_t((f + dy) * side + f + dx)] * inverse;
                    }
                }
            }
        }
    }
    return true;
}

template<typename Cell>
WorkerInputs<Cell>::WorkerInputs(
    Plane<Cell> source, const DenoiseParams &params, const NormalTable &table)
    : src(std::move(source))
    , smooth(src.width(), src.height())
    , dirX(src.width(), src.height())
    , dirY(src.width(), src.height())
    , inputs {src, smooth, dirX, dirY, table, params}
{
    ThreadControl control;
    Plane<Cell> smoothed(src.width(), src.height());
    presmoothRows(src, smoothed, 0, src.height(), control);
    fillDirectionRows(smoothed, dirX, dirY, 0, src.height(), 0, 0, control);
    smooth.fillRows(smoothed, 0, src.height(), control);
}

template struct WorkerInputs<float>;
template struct WorkerInputs<Vec3>;
template bool referenceRows(
    const RowInputs<float> &, ThreadControl &, int, int, const ChunkSink<float> &);
template bool referenceRows(
    const RowInputs<Vec3> &, ThreadControl &, int, int, const ChunkSink<Vec3> &);
