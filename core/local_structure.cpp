// Gray gradients and colour structure tensors at one position.
#include "local_structure.h"

#include <algorithm>
#include <cmath>

LocalStructure grayLocalStructure(
    const GrayPlane &plane, float x, float y, float h, int originX, int originY)
{
    const float left = float(originX);
    const float top = float(originY);
    const float a = plane.sampleBilinear((x + h) - left, y - top);
    const float b = plane.sampleBilinear((x - h) - left, y - top);
    const float c = plane.sampleBilinear(x - left, (y + h) - top);
    const float d = plane.sampleBilinear(x - left, (y - h) - top);
    const float gx = (a - b) / (2.0f * h);
    const float gy = (c - d) / (2.0f * h);
    const float m = std::sqrt(gx * gx + gy * gy);
    if (m < 0.0001f)
        return {m, 0.0f, 0.0f};
    return {m, gx / m, gy / m};
}

LocalStructure colorLocalStructure(
    const ColorPlane &plane, float x, float y, float h, int originX, int originY)
{
    const float left = float(originX);
    const float top = float(originY);
    const Vec3 a = plane.sampleBilinear((x + h) - left, y - top);
    const Vec3 b = plane.sampleBilinear((x - h) - left, y - top);
    const Vec3 c = plane.sampleBilinear(x - left, (y + h) - top);
    const Vec3 d = plane.sampleBilinear(x - left, (y - h) - top);
    const Vec3 gx = (a - b) / Vec3(2.0f * h);
    const Vec3 gy = (c - d) / Vec3(2.0f * h);
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
