// The row workers written plainly, one statement per step of the walk: the reference that the
// fast workers of the core are tested against.
#include "reference_workers.h"

#include "core/color_worker.h"
#include "core/gray_worker.h"

#include <cmath>
#include <cstddef>
#include <vector>

bool referenceGrayRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const GrayPlane &srcPlane, const BandSink<float> &accum,
    const GrayPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params)
{
    const int width = params.width;
    const int height = params.height;
    const int f = params.patchRadius;
    const int side = params.patchSide;
    const int steps = params.stepsPerPath;
    const float *src = srcPlane.data();

    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.beginRow(y, rowEnd))
            return false;
        std::vector<float> patchBuffer(std::size_t(params.patchCells), 0.0f);
        std::vector<float> pathX(std::size_t(steps > 1 ? steps : 1));
        std::vector<float> pathY(pathX.size());

        for (int x = 0; x < width; ++x) {
            if (!control.betweenPixels())
                return false;
            pathX[0] = float(x);
            pathY[0] = float(y);
            int r = f;
            for (const int limit : {x, y, width - 1 - x, height - 1 - y})
                r = limit < r ? limit : r;
            fillFloats(patchBuffer.data(), params.patchCells, 0.0f);
            float weightSum = 0.0f;

            for (int path = 1; path < params.pathsPerPixel; ++path) {
                for (int k = 1; k < steps; ++k) {
                    const float qx = pathX[std::size_t(k - 1)];
                    const float qy = pathY[std::size_t(k - 1)];
                    const float smoothQ = smoothPlane.sampleBilinear(qx, qy);
                    float px;
                    float py;
                    // The jump test: a move across which the smoothed image changes by more
                    // than sigma is drawn again, as often as needed.
                    do {
                        px = clampToPlane(qx + cursor.nextSample() * params.stepScale, width);
                        py = clampToPlane(qy + cursor.nextSample() * params.stepScale, height);
                    } while (
                        std::fabs(smoothPlane.sampleBilinear(px, py) - smoothQ) > params.sigma);
                    pathX[std::size_t(k)] = px;
                    pathY[std::size_t(k)] = py;

                    const int rx = nearestCell(px);
                    const int ry = nearestCell(py);
                    if (usableCell(rx, ry, r, width, height)) {
                        const float d2 = patchDistance(src, src, x, y, rx, ry, r, width, width);
                        const float w = patchWeight(d2, params, expTable);
                        weightSum += w;
                        // Distance at the nearest cell, patch sampled at the exact point.
                        for (int dy = -r; dy <= r; ++dy)
                            for (int dx = -r; dx <= r; ++dx)
                                patchBuffer[std::size_t((f + dy) * side + f + dx)]
                                    += w * srcPlane.sampleBilinear(px + float(dx), py + float(dy));
                    }

                    if (k == steps - 1 && weightSum > 1.0f) {
                        // The closing move: from the previous point, scaled by the local
                        // structure there instead of the step scale, without a jump test.
                        const float sx = dirXPlane.sampleBilinear(qx, qy);
                        const float sy = dirYPlane.sampleBilinear(qx, qy);
                        const float cx = clampToPlane(qx + cursor.nextSample() * sx, width);
                        const float cy = clampToPlane(qy + cursor.nextSample() * sy, height);
                        pathX[std::size_t(k)] = cx;
                        pathY[std::size_t(k)] = cy;
                        if (usableCell(nearestCell(cx), nearestCell(cy), r, width, height)) {
                            weightSum += -0.2f;
                            for (int dy = -r; dy <= r; ++dy)
                                for (int dx = -r; dx <= r; ++dx)
                                    patchBuffer[std::size_t((f + dy) * side + f + dx)] += -0.2f
                                        * srcPlane.sampleBilinear(cx + float(dx), cy + float(dy));
                        }
                    }
                }
            }

            if (weightSum > 1e-8f) {
                for (int dy = -r; dy <= r; ++dy) {
                    float *accumRow = accum.accumRow(y + dy);
                    float *countRow = accum.countRow(y + dy);
                    for (int dx = -r; dx <= r; ++dx) {
                        countRow[x + dx] += 1.0f;
                        accumRow[x + dx]
                            += patchBuffer[std::size_t((f + dy) * side + f + dx)] / weightSum;
                    }
                }
            }
        }
    }
    return true;
}

bool referenceColorRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
    const GrayPlane &dirYPlane, const ColorPlane &srcPlane, const BandSink<Vec3> &accum,
    const ColorPlane &smoothPlane, NormalCursor &cursor, const ExpTable &expTable,
    const DenoiseParams &params)
{
    const int width = params.width;
    const int height = params.height;
    const int f = params.patchRadius;
    const int side = params.patchSide;
    const int steps = params.stepsPerPath;
    const Vec3 *src = srcPlane.data();

    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.beginRow(y, rowEnd))
            return false;
        std::vector<Vec3> patchBuffer(std::size_t(params.patchCells));
        std::vector<float> pathX(std::size_t(steps > 1 ? steps : 1));
        std::vector<float> pathY(pathX.size());

        for (int x = 0; x < width; ++x) {
            if (!control.betweenPixels())
                return false;
            pathX[0] = float(x);
            pathY[0] = float(y);
            int r = f;
            for (const int limit : {x, y, width - 1 - x, height - 1 - y})
                r = limit < r ? limit : r;
            fillVec3(patchBuffer.data(), params.patchCells, 0.0f);
            float weightSum = 0.0f;

            for (int path = 1; path < params.pathsPerPixel; ++path) {
                for (int k = 1; k < steps; ++k) {
                    const float qx = pathX[std::size_t(k - 1)];
                    const float qy = pathY[std::size_t(k - 1)];
                    const Vec3 smoothQ = smoothPlane.sampleBilinear(qx, qy);
                    float px;
                    float py;
                    // The jump test on the colour difference; refused moves are drawn again.
                    do {
                        px = clampToPlane(qx + cursor.nextSample() * params.stepScale, width);
                        py = clampToPlane(qy + cursor.nextSample() * params.stepScale, height);
                    } while (length(smoothPlane.sampleBilinear(px, py) - smoothQ) > params.sigma);
                    pathX[std::size_t(k)] = px;
                    pathY[std::size_t(k)] = py;

                    const int rx = nearestCell(px);
                    const int ry = nearestCell(py);
                    if (usableCell(rx, ry, r, width, height)) {
                        const float d = colorPatchDistance(src, src, x, y, rx, ry, r, width, width);
                        const float w = patchWeight(d, params, expTable);
                        weightSum += w;
                        for (int dy = -r; dy <= r; ++dy)
                            for (int dx = -r; dx <= r; ++dx)
                                patchBuffer[std::size_t((f + dy) * side + f + dx)] += Vec3(w)
                                    * srcPlane.sampleBilinear(px + float(dx), py + float(dy));
                    }

                    if (k == steps - 1 && weightSum > 1.0f) {
                        // The closing move, scaled by the colour structure at the previous
                        // point; no jump test.
                        const float sx = dirXPlane.sampleBilinear(qx, qy);
                        const float sy = dirYPlane.sampleBilinear(qx, qy);
                        const float cx = clampToPlane(qx + cursor.nextSample() * sx, width);
                        const float cy = clampToPlane(qy + cursor.nextSample() * sy, height);
                        pathX[std::size_t(k)] = cx;
                        pathY[std::size_t(k)] = cy;
                        if (usableCell(nearestCell(cx), nearestCell(cy), r, width, height)) {
                            weightSum += -0.2f;
                            for (int dy = -r; dy <= r; ++dy)
                                for (int dx = -r; dx <= r; ++dx)
                                    patchBuffer[std::size_t((f + dy) * side + f + dx)]
                                        += Vec3(-0.2f)
                                        * srcPlane.sampleBilinear(cx + float(dx), cy + float(dy));
                        }
                    }
                }
            }

            if (weightSum > 1e-8f) {
                for (int dy = -r; dy <= r; ++dy) {
                    Vec3 *accumRow = accum.accumRow(y + dy);
                    float *countRow = accum.countRow(y + dy);
                    for (int dx = -r; dx <= r; ++dx) {
                        countRow[x + dx] += 1.0f;
                        accumRow[x + dx]
                            += patchBuffer[std::size_t((f + dy) * side + f + dx)] / Vec3(weightSum);
                    }
                }
            }
        }
    }
    return true;
}
