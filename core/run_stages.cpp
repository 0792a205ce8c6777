// Pre-smoothing, direction planes and normalisation, for gray and colour planes.
#include "run_stages.h"

#include "local_structure.h"

namespace {

// The weights of the binomial average add up to this.
constexpr float kBinomialTotal = 16.0f;
// The local structure is measured from samples this far to each side of a pixel.
constexpr float kStructureStep = 0.4f;

float scaled(float v, float s)
{
    return s * v;
}

Vec3 scaled(Vec3 v, float s)
{
    return Vec3(s) * v;
}

// The binomial sum in a fixed order: the centre, the four edge neighbours, the four corners.
template<typename Cell>
Cell binomialSum(const Plane<Cell> &src, int x, int y)
{
    Cell sum = scaled(src.at(x, y), 4.0f);
    sum = sum + scaled(src.at(x + 1, y), 2.0f);
    sum = sum + scaled(src.at(x - 1, y), 2.0f);
    sum = sum + scaled(src.at(x, y + 1), 2.0f);
    sum = sum + scaled(src.at(x, y - 1), 2.0f);
    sum = sum + src.at(x + 1, y + 1);
    sum = sum + src.at(x - 1, y - 1);
    sum = sum + src.at(x + 1, y - 1);
    sum = sum + src.at(x - 1, y + 1);
    return sum;
}

LocalStructure structureAt(const GrayPlane &smooth, int x, int y, int originX, int originY)
{
    return grayLocalStructure(
        smooth, float(x + originX), float(y + originY), kStructureStep, originX, originY);
}

LocalStructure structureAt(const ColorPlane &smooth, int x, int y, int originX, int originY)
{
    return colorLocalStructure(
        smooth, float(x + originX), float(y + originY), kStructureStep, originX, originY);
}

// Dividing by 16 and multiplying by 1 / 16 give the same floats: the divisor is a power of two.
template<typename Cell>
bool presmoothOf(
    const Plane<Cell> &src, Plane<Cell> &smooth, int rowBegin, int rowEnd, ThreadControl &control)
{
    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.betweenPixels())
            return false;
        Cell *out = smooth.row(y);
        for (int x = 0; x < src.width(); ++x)
            out[x] = scaled(binomialSum(src, x, y), 1.0f / kBinomialTotal);
    }
    return true;
}

template<typename Cell>
bool fillDirectionsOf(const Plane<Cell> &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, ThreadControl &control)
{
    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.betweenPixels())
            return false;
        float *xs = dirX.row(y);
        float *ys = dirY.row(y);
        for (int x = 0; x < smooth.width(); ++x) {
            const LocalStructure s = structureAt(smooth, x, y, originX, originY);
            xs[x] = s.dirX;
            ys[x] = s.dirY;
        }
    }
    return true;
}

template<typename Cell>
bool normaliseOf(Plane<Cell> &accum, const GrayPlane &count, const Plane<Cell> &src, int rowBegin,
    int rowEnd, ThreadControl &control)
{
    for (int y = rowBegin; y < rowEnd; ++y) {
        if (!control.betweenPixels())
            return false;
        Cell *out = accum.row(y);
        const float *counts = count.row(y);
        const Cell *in = src.row(y);
        for (int x = 0; x < accum.width(); ++x) {
            if (counts[x] > 0.0f)
                out[x] = out[x] / Cell(counts[x]);
            else
                out[x] = in[x];
        }
    }
    return true;
}

} // namespace

bool presmoothRows(
    const GrayPlane &src, GrayPlane &smooth, int rowBegin, int rowEnd, ThreadControl &control)
{
    return presmoothOf(src, smooth, rowBegin, rowEnd, control);
}

bool presmoothRows(
    const ColorPlane &src, ColorPlane &smooth, int rowBegin, int rowEnd, ThreadControl &control)
{
    return presmoothOf(src, smooth, rowBegin, rowEnd, control);
}

bool fillDirectionRows(const GrayPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, ThreadControl &control)
{
    return fillDirectionsOf(smooth, dirX, dirY, rowBegin, rowEnd, originX, originY, control);
}

bool fillDirectionRows(const ColorPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, ThreadControl &control)
{
    return fillDirectionsOf(smooth, dirX, dirY, rowBegin, rowEnd, originX, originY, control);
}

bool normaliseRows(GrayPlane &accum, const GrayPlane &count, const GrayPlane &src, int rowBegin,
    int rowEnd, ThreadControl &control)
{
    return normaliseOf(accum, count, src, rowBegin, rowEnd, control);
}

bool normaliseRows(ColorPlane &accum, const GrayPlane &count, const ColorPlane &src, int rowBegin,
    int rowEnd, ThreadControl &control)
{
    return normaliseOf(accum, count, src, rowBegin, rowEnd, control);
}
