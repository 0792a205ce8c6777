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
LocalStructure grayLocalStructure(const GrayPlane &plane, float x, float y, float h);

// The leading eigenvector of the 2 x 2 structure tensor summed over red, green and blue, from
// the same differences. dirY is never negative and dirX has the sign of the tensor's
// off-diagonal term; colour that changes along x only gives (0, 0), which the closing move of
// the colour worker relies on to stay put there.
LocalStructure colorLocalStructure(const ColorPlane &plane, float x, float y, float h);
