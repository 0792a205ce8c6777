// Quality measure, plane printers, direct patch weights and colour conversions for experiments.
#pragma once

#include "planes.h"
#include "vec3.h"

#include <iostream>

// None of these runs inside a denoising run; they only read their arguments. The printers and
// the fall-through of projectToChromaticityTriangle write to the given stream without a lock.

// Peak signal-to-noise ratio in decibels over red, green and blue on the 0..255 scale, over
// a's cells; b is read with its last row and column repeated where it is smaller. Identical
// planes give +infinity; an empty a or b gives NaN.
double colorPsnr(const ColorPlane &a, const ColorPlane &b);

// A separator line of 117 '-', then one line per row with every cell rounded (halves away from
// zero) and wrapped to a 16-bit signed integer (40000 prints -25536), each followed by a tab.
// Values beyond the 32-bit range saturate there before the wrap; NaN prints 0.
void printGrayPlane(const GrayPlane &plane, std::ostream &out = std::cout);
// The same layout with each cell written as (red,green,blue).
void printColorPlane(const ColorPlane &plane, std::ostream &out = std::cout);

// The non-local-means weight exp(-max(D / m - 2 sigma^2, 0) / h^2) between the patches of
// radius r around (x1, y1) and (x2, y2): D is the sum of squared differences (rows outer, and
// for colour red, green, blue per cell), m the number of values compared, (2r + 1)^2 per
// channel. The integer forms read cells clamped into the plane, the real-valued forms sample
// bilinearly. A negative r compares nothing (D = 0). The plane must not be empty.
float grayPatchWeight(
    const GrayPlane &plane, int r, int x1, int y1, int x2, int y2, float sigma, float h);
float grayPatchWeightBilinear(
    const GrayPlane &plane, int r, float x1, float y1, float x2, float y2, float sigma, float h);
float colorPatchWeight(
    const ColorPlane &plane, int r, int x1, int y1, int x2, int y2, float sigma, float h);
float colorPatchWeightBilinear(
    const ColorPlane &plane, int r, float x1, float y1, float x2, float y2, float sigma, float h);

// (hue in degrees, saturation, value). Greys (max - min < 0.00001) give hue 0 and
// saturation 0; a colour whose largest component is 0 or below gives hue NaN.
Vec3 rgbToHsv(Vec3 rgb);
// The inverse: a hue of 360 or more is taken as 0.
Vec3 hsvToRgb(Vec3 hsv);

// The colour scaled to the sum 255; colours summing to less than 0.5 give (85, 85, 85).
Vec3 rgbToChromaticity(Vec3 rgb);
// The mean of the three components.
float colorIntensity(Vec3 rgb);
// The colour of chromaticity c with the given intensity: c * 3 * intensity / 255.
Vec3 chromaticityToRgb(Vec3 c, float intensity);

// 0 for |x| < 1e-9, x otherwise.
float snapToZero(float x);

// Moves the colour along the grey axis onto the plane r + g + b = 255 and, where a component
// would be negative, onto an edge or corner of the triangle of non-negative colours on it. A colour
// with a NaN component comes back unchanged after "sierota \n" is written to `out`.
Vec3 projectToChromaticityTriangle(Vec3 rgb, std::ostream &out = std::cout);
