// PSNR, plane printers, direct patch weights and colour conversions.
#include "diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

namespace {

// Rounds half away from zero and keeps the low 16 bits as a signed value, as a conversion of
// the rounded value to a 16-bit integer through a 32-bit one does. Going to 16 bits directly
// would be undefined for anything outside -32768..32767.
int printedValue(float value)
{
    const float rounded = std::round(value);
    std::int32_t whole;
    if (std::isnan(rounded))
        whole = 0;
    else if (rounded >= 2147483648.0f)
        whole = std::numeric_limits<std::int32_t>::max();
    else if (rounded < -2147483648.0f)
        whole = std::numeric_limits<std::int32_t>::min();
    else
        whole = std::int32_t(rounded);
    const int low = int(std::uint32_t(whole) & 0xffffu);
    return low >= 0x8000 ? low - 0x10000 : low;
}

void printSeparator(std::ostream &out)
{
    out << std::string(117, '-') << '\n';
}

// Clamps a coordinate that may lie far outside the plane (offsets are added in 64 bits, so no
// sum can overflow) onto its nearest index.
int clampCoordinate(std::int64_t v, int size)
{
    return int(std::clamp<std::int64_t>(v, 0, size - 1));
}

// Values compared by a patch of radius r per channel, (2r + 1)^2, without int overflow.
float patchValueCount(int r)
{
    const double side = 2.0 * double(r) + 1.0;
    return float(side * side);
}

float weightFromDistance(float distance, float values, float sigma, float h)
{
    const float a = distance / values - 2.0f * sigma * sigma;
    const float clamped = a > 0.0f ? a : 0.0f; // NaN becomes 0 as well
    return std::exp(-clamped / (h * h));
}

float squared(float v)
{
    return v * v;
}

} // namespace

double colorPsnr(const ColorPlane &a, const ColorPlane &b)
{
    const int width = a.width();
    const int height = a.height();
    if (width > 0 && height > 0 && (b.width() <= 0 || b.height() <= 0))
        return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < height; ++y) {
            const Vec3 p = a.at(x, y);
            const Vec3 q = b.at(std::min(x, b.width() - 1), std::min(y, b.height() - 1));
            const float dr = p.r - q.r;
            const float dg = p.g - q.g;
            const float db = p.b - q.b;
            sum += dr * dr;
            sum += dg * dg;
            sum += db * db;
        }
    }
    // 3 * W * H in double: in int it overflows from about 716 million cells.
    return -10.0 * std::log10(sum / (3.0 * double(width) * double(height))) + 48.1308036086791;
}

void printGrayPlane(const GrayPlane &plane, std::ostream &out)
{
    printSeparator(out);
    for (int y = 0; y < plane.height(); ++y) {
        for (int x = 0; x < plane.width(); ++x)
            out << printedValue(plane.at(x, y)) << '\t';
        out << '\n';
    }
}

void printColorPlane(const ColorPlane &plane, std::ostream &out)
{
    printSeparator(out);
    for (int y = 0; y < plane.height(); ++y) {
        for (int x = 0; x < plane.width(); ++x) {
            const Vec3 c = plane.at(x, y);
            out << '(' << printedValue(c.r) << ',' << printedValue(c.g) << ',' << printedValue(c.b)
                << ")\t";
        }
        out << '\n';
    }
}

namespace {

float squaredDifference(float p, float q)
{
    return squared(p - q);
}

float squaredDifference(Vec3 p, Vec3 q)
{
    float sum = squared(p.r - q.r);
    sum += squared(p.g - q.g);
    sum += squared(p.b - q.b);
    return sum;
}

// The weight of the patches of radius r around (x1, y1) and (x2, y2), their cells read by
// `cell(x, y)` at the centres plus each offset, rows outer.
template<typename Cell, typename Coordinate, typename Read>
float patchWeight(int r, Coordinate x1, Coordinate y1, Coordinate x2, Coordinate y2, float sigma,
    float h, Read cell)
{
    float distance = 0.0f;
    for (std::int64_t dy = -r; dy <= r; ++dy)
        for (std::int64_t dx = -r; dx <= r; ++dx)
            distance += squaredDifference(cell(x2, y2, dx, dy), cell(x1, y1, dx, dy));
    const float channels = std::is_same_v<Cell, Vec3> ? 3.0f : 1.0f;
    return weightFromDistance(distance, channels * patchValueCount(r), sigma, h);
}

// Cells with each coordinate clamped into the plane, and bilinear samples.
template<typename Cell>
auto clampedCells(const Plane<Cell> &plane)
{
    return [&plane](int x, int y, std::int64_t dx, std::int64_t dy) {
        return plane.at(
            clampCoordinate(x + dx, plane.width()), clampCoordinate(y + dy, plane.height()));
    };
}

template<typename Cell>
auto bilinearSamples(const Plane<Cell> &plane)
{
    return [&plane](float x, float y, std::int64_t dx, std::int64_t dy) {
        return plane.sampleBilinear(x + float(dx), y + float(dy));
    };
}

} // namespace

float grayPatchWeight(
    const GrayPlane &plane, int r, int x1, int y1, int x2, int y2, float sigma, float h)
{
    return patchWeight<float>(r, x1, y1, x2, y2, sigma, h, clampedCells(plane));
}

float grayPatchWeightBilinear(
    const GrayPlane &plane, int r, float x1, float y1, float x2, float y2, float sigma, float h)
{
    return patchWeight<float>(r, x1, y1, x2, y2, sigma, h, bilinearSamples(plane));
}

float colorPatchWeight(
    const ColorPlane &plane, int r, int x1, int y1, int x2, int y2, float sigma, float h)
{
    return patchWeight<Vec3>(r, x1, y1, x2, y2, sigma, h, clampedCells(plane));
}

float colorPatchWeightBilinear(
    const ColorPlane &plane, int r, float x1, float y1, float x2, float y2, float sigma, float h)
{
    return patchWeight<Vec3>(r, x1, y1, x2, y2, sigma, h, bilinearSamples(plane));
}

Vec3 rgbToHsv(Vec3 rgb)
{
    const float mx = std::max(std::max(rgb.r, rgb.g), rgb.b);
    const float mn = std::min(std::min(rgb.r, rgb.g), rgb.b);
    const float delta = mx - mn;
    if (delta < 0.00001f)
        return {0.0f, 0.0f, mx};
    if (mx <= 0.0f)
        return {std::numeric_limits<float>::quiet_NaN(), 0.0f, mx};
    const float saturation = delta / mx;
    float sector;
    if (rgb.r >= mx)
        sector = (rgb.g - rgb.b) / delta;
    else if (rgb.g >= mx)
        sector = (rgb.b - rgb.r) / delta + 2.0f;
    else
        sector = (rgb.r - rgb.g) / delta + 4.0f;
    float hue = 60.0f * sector;
    if (hue < 0.0f)
        hue += 360.0f;
    return {hue, saturation, mx};
}

Vec3 hsvToRgb(Vec3 hsv)
{
    const float hue = hsv.r;
    const float s = hsv.g;
    const float v = hsv.b;
    if (s <= 0.0f)
        return Vec3(v);
    const float hh = hue < 360.0f ? hue / 60.0f : 0.0f;
    // Truncation toward zero as a float: the same as through an int wherever an int can hold
    // it, and defined for hues far below zero too.
    const float whole = std::trunc(hh);
    const float f = hh - whole;
    const float p = v * (1.0f - s);
    const float q = v * (1.0f - s * f);
    const float t = v * (1.0f - s * (1.0f - f));
    const int sector = whole >= 0.0f && whole <= 4.0f ? int(whole) : -1;
    switch (sector) {
    case 0:
        return {v, t, p};
    case 1:
        return {q, v, p};
    case 2:
        return {p, v, t};
    case 3:
        return {p, q, v};
    case 4:
        return {t, p, v};
    default:
        return {v, p, q};
    }
}

Vec3 rgbToChromaticity(Vec3 rgb)
{
    const float sum = rgb.r + rgb.g + rgb.b;
    if (sum < 0.5f)
        return Vec3(85.0f);
    return {rgb.r / sum * 255.0f, rgb.g / sum * 255.0f, rgb.b / sum * 255.0f};
}

float colorIntensity(Vec3 rgb)
{
    return (rgb.r + rgb.g + rgb.b) / 3.0f;
}

Vec3 chromaticityToRgb(Vec3 c, float intensity)
{
    return {c.r * 3.0f * intensity / 255.0f, c.g * 3.0f * intensity / 255.0f,
        c.b * 3.0f * intensity / 255.0f};
}

float snapToZero(float x)
{
    return std::fabs(double(x)) < 1e-9 ? 0.0f : x;
}

Vec3 projectToChromaticityTriangle(Vec3 rgb, std::ostream &out)
{
    const float m = (255.0f - rgb.r - rgb.g - rgb.b) / 3.0f;
    const float r = rgb.r + m;
    const float g = rgb.g + m;
    const float b = rgb.b + m;
    if (r >= 0.0f && g >= 0.0f && b >= 0.0f)
        return {r, g, b};
    if (r <= 0.0f && g <= 0.0f)
        return {0.0f, 0.0f, 255.0f};
    if (r <= 0.0f && b <= 0.0f)
        return {0.0f, 255.0f, 0.0f};
    if (g <= 0.0f && b <= 0.0f)
        return {255.0f, 0.0f, 0.0f};
    if (r <= 0.0f)
        return {0.0f, 255.0f * g / (g + b), 255.0f * b / (g + b)};
    if (g <= 0.0f)
        return {255.0f * r / (r + b), 0.0f, 255.0f * b / (r + b)};
    if (b <= 0.0f)
        return {255.0f * r / (r + g), 255.0f * g / (r + g), 0.0f};
    // Only a NaN component gets here.
    out << "sierota \n";
    return rgb;
}
