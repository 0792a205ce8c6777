// Local structure: the direction in which a smoothed gray or colour plane changes fastest.
#pragma once

#include "planes.h"

struct LocalStructure
{
    float strength = 0.0f;
    float dirX = 0.0f;
    float dirY = 0.0f;
};

// Gradient of the plane by central differences of bilinear samples h pixels to each side:
// (magnitude, unit direction), or (magnitude, 0, 0) where the magnitude is below 0.0001.
// With an origin, x and y are image coordinates and the plane's cell (0, 0) lies at (originX,
// originY): the sample points are formed in image coordinates and the origin taken off after
// (exactly), so that a crop's directions equal the whole image's.
LocalStructure grayLocalStructure(
    const GrayPlane &plane, float x, float y, float h, int originX = 0, int originY = 0);

// The leading eigenvector of the 2 x 2 structure tensor summed over red, green and blue, from
// the same differences. dirY is never negative and dirX has the sign of the tensor's
// off-diagonal term; colour that changes along x only gives (0, 0), which the closing move of
// the colour worker relies on to stay put there.
LocalStructure colorLocalStructure(
    const ColorPlane &plane, float x, float y, float h, int originX = 0, int originY = 0);
