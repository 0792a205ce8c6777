// Steps of the row workers on colours: patch distances, the jump limit, clamps.
#pragma once

#include "vec3.h"

// Sum over dy, dx in [-r, r] (rows outer) of the squared red, green and blue differences of
// a(x1 + dx, y1 + dy) and b(x2 + dx, y2 + dy), added in that order cell by cell; 0 for r < 0.
// Both squares must lie inside their row-major buffers.
float colorPatchDistance(
    const Vec3 *a, const Vec3 *b, int x1, int y1, int x2, int y2, int r, int strideA, int strideB);

// The first `count` cells set to (value, value, value); nothing for count <= 0.
void fillVec3(Vec3 *array, int count, float value);

// The largest float t with sqrtf(t) <= sigma. The square root rounds correctly and never
// decreases, so for any sum of squares s, sqrtf(s) > sigma exactly when s > t: the colour jump
// test needs no square root. sigma must be finite and at least 0.
float squaredLimit(float sigma);

// Each component limited to the pixel range: min(c, 255), then max(., 0).
Vec3 clampToPixel(Vec3 v);
