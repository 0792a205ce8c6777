// The stages of a run around the row workers: pre-smoothing, direction planes, normalisation.
#pragma once

#include "band_control.h"
#include "planes.h"

// smooth = the 3 x 3 binomial average (1 2 1 / 2 4 2 / 1 2 1, / 16) of src, neighbours outside
// the image taken from the nearest border cell. Both planes have the same size. Polls
// `control` once per row; false when it said stop (smooth is then partly written).
bool presmooth(const GrayPlane &src, GrayPlane &smooth, BandControl &control);
bool presmooth(const ColorPlane &src, ColorPlane &smooth, BandControl &control);

// dirX and dirY = the direction of the local structure of `smooth` at every pixel (gray:
// unit gradient; colour: leading eigenvector of the structure tensor), from differences
// 0.4 pixel to each side. Polls `control` once per row.
bool fillDirections(
    const GrayPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, BandControl &control);
bool fillDirections(
    const ColorPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, BandControl &control);

// accum = accum / count where the count is above 0, else the source value (also for a count
// that is not a number). Polls `control` once per row.
bool normalise(
    GrayPlane &accum, const GrayPlane &count, const GrayPlane &src, BandControl &control);
bool normalise(
    ColorPlane &accum, const GrayPlane &count, const ColorPlane &src, BandControl &control);

// The same stages on rows [rowBegin, rowEnd) only, for bands on several threads. The direction
// rows read the smoothed rows next to them, so every band must be smoothed first.
bool presmoothRows(
    const GrayPlane &src, GrayPlane &smooth, int rowBegin, int rowEnd, BandControl &control);
bool presmoothRows(
    const ColorPlane &src, ColorPlane &smooth, int rowBegin, int rowEnd, BandControl &control);
// The directions of a plane whose cell (0, 0) lies at (originX, originY) of an image are those
// of the whole image there (see grayLocalStructure).
bool fillDirectionRows(const GrayPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, BandControl &control);
bool fillDirectionRows(const ColorPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, BandControl &control);
bool normaliseRows(GrayPlane &accum, const GrayPlane &count, const GrayPlane &src, int rowBegin,
    int rowEnd, BandControl &control);
bool normaliseRows(ColorPlane &accum, const GrayPlane &count, const ColorPlane &src, int rowBegin,
    int rowEnd, BandControl &control);
