// The colour row worker, written plainly: the reference for any faster version.
#include "color_worker.h"

#include "gray_worker.h"

#include <cstddef>
#include <vector>

float colorPatchDistance(
    const Vec3 *a, const Vec3 *b, int x1, int y1, int x2, int y2, int r, int strideA, int strideB)
{
    float sum = 0.0f;
    for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
            const Vec3 d = a[std::ptrdiff_t(y1 + dy) * strideA + x1 + dx]
                - b[std::ptrdiff_t(y2 + dy) * strideB + x2 + dx];
            sum += d.r * d.r;
            sum += d.g * d.g;
            sum += d.b * d.b;
        }
    }
    return sum;
}

void fillVec3(Vec3 *array, int count, float value)
{
    for (int i = 0; i < count; ++i)
        array[i] = Vec3(value);
}

Vec3 clampToPixel(Vec3 v)
{
    return {clampToPixel(v.r), clampToPixel(v.g), clampToPixel(v.b)};
}

bool denoiseColorRows(BandControl &control, int rowBegin, int rowEnd, const GrayPlane &dirXPlane,
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
