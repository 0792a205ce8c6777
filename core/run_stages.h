// The stages of a run around the row workers: pre-smoothing, direction planes, normalisation,
// each on rows [rowBegin, rowEnd) so that bands of a plane can run on several threads. Each
// polls `control` once per row and returns false when it said stop (the output rows are then
// partly written).
#pragma once

#include "planes.h"
#include "thread_control.h"

// smooth = the 3 x 3 binomial average (1 2 1 / 2 4 2 / 1 2 1, / 16) of src, neighbours outside
// the image taken from the nearest border cell. Both planes have the same size.
bool presmoothRows(
    const GrayPlane &src, GrayPlane &smooth, int rowBegin, int rowEnd, ThreadControl &control);
bool presmoothRows(
    const ColorPlane &src, ColorPlane &smooth, int rowBegin, int rowEnd, ThreadControl &control);

// dirX and dirY = the direction of the local structure of `smooth` at every pixel (gray:
// unit gradient; colour: leading eigenvector of the structure tensor), from differences
// 0.4 pixel to each side. The rows read the smoothed rows next to them, so every band must be
// smoothed first. The directions of a plane whose cell (0, 0) lies at (originX, originY) of an
// image are those of the whole image there (see grayLocalStructure).
bool fillDirectionRows(const GrayPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, ThreadControl &control);
bool fillDirectionRows(const ColorPlane &smooth, GrayPlane &dirX, GrayPlane &dirY, int rowBegin,
    int rowEnd, int originX, int originY, ThreadControl &control);

// accum = accum / count where the count is above 0, else the source value (also for a count
// that is not a number).
bool normaliseRows(GrayPlane &accum, const GrayPlane &count, const GrayPlane &src, int rowBegin,
    int rowEnd, ThreadControl &control);
bool normaliseRows(ColorPlane &accum, const GrayPlane &count, const ColorPlane &src, int rowBegin,
    int rowEnd, ThreadControl &control);
