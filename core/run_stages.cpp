// Pre-smoothing, direction planes and normalisation, for gray and colour planes.
#include "run_stages.h"

#include "local_structure.h"

namespace {

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

LocalStructure structureAt(const GrayPlane &smooth, int x, int y)
{
    return grayLocalStructure(smooth, float(x), float(y), 0.4f);
}

LocalStructure structureAt(const ColorPlane &smooth, int x, int y)
{
    return colorLocalStructure(smooth, float(x), float(y), 0.4f);
}

template<typename Cell>
bool fillDirectionsOf(
    const Plane<Cell> &smooth, GrayPlane &dirX, GrayPlane &dirY, BandControl &control)
{
    for (int x = 0; x < smooth.width(); ++x) {
        if (!control.betweenPixels())
            return false;
        for (int y = 0; y < smooth.height(); ++y) {
            const LocalStructure s = structureAt(smooth, x, y);
            dirX.at(x, y) = s.dirX;
            dirY.at(x, y) = s.dirY;
        }
    }
    return true;
}

template<typename Cell>
bool normaliseOf(
    Plane<Cell> &accum, const GrayPlane &count, const Plane<Cell> &src, BandControl &control)
{
    for (int y = 0; y < accum.height(); ++y) {
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

bool presmooth(const GrayPlane &src, GrayPlane &smooth, BandControl &control)
{
    for (int y = 0; y < src.height(); ++y) {
        if (!control.betweenPixels())
            return false;
        for (int x = 0; x < src.width(); ++x)
            smooth.at(x, y) = binomialSum(src, x, y) * 0.0625f;
    }
    return true;
}

bool presmooth(const ColorPlane &src, ColorPlane &smooth, BandControl &control)
{
    for (int y = 0; y < src.height(); ++y) {
        if (!control.betweenPixels())
            return false;
        for (int x = 0; x < src.width(); ++x)
            smooth.at(x, y) = binomialSum(src, x, y) / Vec3(16.0f);
    }
    return true;
}

bool fillDirections(const GrayPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, BandControl &control)
{
    return fillDirectionsOf(smooth, dirX, dirY, control);
}

bool fillDirections(
    const ColorPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, BandControl &control)
{
    return fillDirectionsOf(smooth, dirX, dirY, control);
}

bool normalise(GrayPlane &accum, const GrayPlane &count, const GrayPlane &src, BandControl &control)
{
    return normaliseOf(accum, count, src, control);
}

bool normalise(
    ColorPlane &accum, const GrayPlane &count, const ColorPlane &src, BandControl &control)
{
    return normaliseOf(accum, count, src, control);
}
