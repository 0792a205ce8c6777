// Gray gradients and colour structure tensors at one position.
#include "local_structure.h"

#include <algorithm>
#include <cmath>

namespace {

// Central differences of bilinear samples h to each side of image point (x, y), on a plane whose
// cell (0, 0) lies at (originX, originY): the points are formed in image coordinates and the
// origin taken off after, exactly.
template<typename Cell>
void centralDifferences(const Plane<Cell> &plane, float x, float y, float h, int originX,
    int originY, Cell &gx, Cell &gy)
{
    const float left = float(originX);
    const float top = float(originY);
    const Cell a = plane.sampleBilinear((x + h) - left, y - top);
    const Cell b = plane.sampleBilinear((x - h) - left, y - top);
    const Cell c = plane.sampleBilinear(x - left, (y + h) - top);
    const Cell d = plane.sampleBilinear(x - left, (y - h) - top);
    gx = (a - b) / Cell(2.0f * h);
    gy = (c - d) / Cell(2.0f * h);
}

} // namespace

LocalStructure grayLocalStructure(
    const GrayPlane &plane, float x, float y, float h, int originX, int originY)
{
    float gx = 0.0f;
    float gy = 0.0f;
    centralDifferences(plane, x, y, h, originX, originY, gx, gy);
    const float m = std::sqrt(gx * gx + gy * gy);
    if (m < 0.0001f)
        return {m, 0.0f, 0.0f};
    return {m, gx / m, gy / m};
}

LocalStructure colorLocalStructure(
    const ColorPlane &plane, float x, float y, float h, int originX, int originY)
{
    Vec3 gx;
    Vec3 gy;
    centralDifferences(plane, x, y, h, originX, originY, gx, gy);
    // Structure tensor [[e, f], [f, g]] summed over the channels.
    const float e = gx.r * gx.r + gx.g * gx.g + gx.b * gx.b;
    const float f = gx.r * gy.r + gx.g * gy.g + gx.b * gy.b;
    const float g = gy.r * gy.r + gy.g * gy.g + gy.b * gy.b;
    const float root = std::sqrt(4.0f * f * f + (e - g) * (e - g));
    const float strength = std::sqrt((e + g + root) * 0.5f);
    const float u = 2.0f * f;
    const float v = g - e + root;
    const float norm = std::sqrt(u * u + v * v) + 0.0001f;
    return {strength, std::min(1.0f, u / norm), std::min(1.0f, v / norm)};
}
