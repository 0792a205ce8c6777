// The row workers written plainly, one statement per step of the walk: the reference that the
// fast workers of the core are tested against.
#include "reference_workers.h"

#include "core/color_worker.h"
#include "core/gray_worker.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace {

// How far the smoothed image changes between two points: the jump test's measure.
float change(float a, float b)
{
    return std::fabs(a - b);
}

float change(Vec3 a, Vec3 b)
{
    return length(a - b);
}

float distance(const GrayPlane &src, int x1, int y1, int x2, int y2, int r)
{
    return patchDistance(src.data(), src.data(), x1, y1, x2, y2, r, src.width(), src.width());
}

float distance(const ColorPlane &src, int x1, int y1, int x2, int y2, int r)
{
    return colorPatchDistance(src.data(), src.data(), x1, y1, x2, y2, r, src.width(), src.width());
}

template<typename Cell>
bool rows(const RowInputs<Cell> &in, BandControl &control, int rowBegin, int rowEnd,
    const BandSink<Cell> &sink)
{
    const DenoiseParams &params = in.params;
    const int width = params.width;
    const int height = params.height;
    const int f = params.patchRadius;
    const int side = params.patchSide;
    const int steps = params.stepsPerPath;
    ExpTable expTable;
    std::copy(in.expTable, in.expTable + kExpTableSize, expTable.begin());
    // Path points in image coordinates (see RowInputs::originX), moved within the plane's part
    // of the image, the far edge included; planes sampled at the point minus the origin.
    const float left = float(in.originX);
    const float top = float(in.originY);
    const auto within = [](float v, float low, float high) {
        const float m = v < high ? v : high;
        return m > low ? m : low;
    };
    const auto sample = [&](const auto &plane, float px, float py) {
        return plane.sampleBilinear(px - left, py - top);
    };

    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.beginRow(y))
            return false;
        std::vector<Cell> patchBuffer(std::size_t(params.patchCells), Cell(0.0f));
        std::vector<float> pathX(std::size_t(steps > 1 ? steps : 1));
        std::vector<float> pathY(pathX.size());

        for (int x = 0; x < width; ++x) {
            if (!control.betweenPixels())
                return false;
            pathX[0] = float(in.originX + x);
            pathY[0] = float(in.originY + y);
            int r = f;
            for (const int limit : {x, y, width - 1 - x, height - 1 - y})
                r = limit < r ? limit : r;
            std::fill(patchBuffer.begin(), patchBuffer.end(), Cell(0.0f));
            float weightSum = 0.0f;
            const int base = in.table.pixelBase(in.originX + x, in.originY + y);

            for (int path = 1; path < params.pathsPerPixel; ++path) {
                NormalCursor cursor = in.table.pathCursor(base, path - 1);
                for (int k = 1; k < steps; ++k) {
                    const float qx = pathX[std::size_t(k - 1)];
                    const float qy = pathY[std::size_t(k - 1)];
                    const Cell smoothQ = sample(in.smooth, qx, qy);
                    float px;
                    float py;
                    // The jump test: a move across which the smoothed image changes by more
                    // than sigma is drawn again, as often as needed.
                    do {
                        px = within(
                            qx + cursor.nextSample() * params.stepScale, left, left + float(width));
                        py = within(
                            qy + cursor.nextSample() * params.stepScale, top, top + float(height));
                    } while (change(sample(in.smooth, px, py), smoothQ) > params.sigma);
                    pathX[std::size_t(k)] = px;
                    pathY[std::size_t(k)] = py;

                    const int rx = nearestCell(px) - in.originX;
                    const int ry = nearestCell(py) - in.originY;
                    if (usableCell(rx, ry, r, width, height)) {
                        const float w
                            = patchWeight(distance(in.src, x, y, rx, ry, r), params, expTable);
                        weightSum += w;
                        // Distance at the nearest cell, patch sampled at the exact point.
                        for (int dy = -r; dy <= r; ++dy)
                            for (int dx = -r; dx <= r; ++dx)
                                patchBuffer[std::size_t((f + dy) * side + f + dx)]
                                    += Cell(w) * sample(in.src, px + float(dx), py + float(dy));
                    }

                    if (k == steps - 1 && weightSum > 1.0f) {
                        // The closing move: from the previous point, scaled by the local
                        // structure there instead of the step scale, without a jump test.
                        const float sx = sample(in.dirX, qx, qy);
                        const float sy = sample(in.dirY, qx, qy);
                        const float cx
                            = within(qx + cursor.nextSample() * sx, left, left + float(width));
                        const float cy
                            = within(qy + cursor.nextSample() * sy, top, top + float(height));
                        pathX[std::size_t(k)] = cx;
                        pathY[std::size_t(k)] = cy;
                        if (usableCell(nearestCell(cx) - in.originX, nearestCell(cy) - in.originY,
                                r, width, height)) {
                            weightSum += -0.2f;
                            for (int dy = -r; dy <= r; ++dy)
                                for (int dx = -r; dx <= r; ++dx)
                                    patchBuffer[std::size_t((f + dy) * side + f + dx)]
                                        += Cell(-0.2f)
                                        * sample(in.src, cx + float(dx), cy + float(dy));
                        }
                    }
                }
            }

            if (weightSum > 1e-8f) {
                for (int dy = -r; dy <= r; ++dy) {
                    Cell *accumRow = sink.accumRow(y + dy);
                    float *countRow = sink.countRow(y + dy);
                    for (int dx = -r; dx <= r; ++dx) {
                        countRow[x + dx] += 1.0f;
                        accumRow[x + dx]
                            += patchBuffer[std::size_t((f + dy) * side + f + dx)] / Cell(weightSum);
                    }
                }
            }
        }
    }
    return true;
}

} // namespace

bool referenceRows(const RowInputs<float> &in, BandControl &control, int rowBegin, int rowEnd,
    const BandSink<float> &sink)
{
    return rows(in, control, rowBegin, rowEnd, sink);
}

bool referenceRows(const RowInputs<Vec3> &in, BandControl &control, int rowBegin, int rowEnd,
    const BandSink<Vec3> &sink)
{
    return rows(in, control, rowBegin, rowEnd, sink);
}
