// The high-pass samples that the noise estimate and the noise curve read: Immerkaer's mask, a
// Sobel gradient and the local mean at each pixel of chosen rows.
#pragma once

#include "planes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace noise_samples {

// The mask [1 -2 1; -2 4 -2; 1 -2 1] maps Gaussian noise of deviation s to Gaussian noise of
// deviation 6 s, whose mean magnitude is 6 s sqrt(2 / pi).
const float kMeanResponseToSigma = float(std::sqrt(std::acos(-1.0) / 2.0) / 6.0);

// One pixel of one channel: the magnitude of the mask response, the squared Sobel gradient and
// the 3 x 3 mean (0..255).
struct Sample
{
    float response;
    float gradient;
    float mean;
};

// Appends the samples of the centre row b (rows a above and c below, `width` cells each) for
// x = 1 .. width - 2.
inline void appendRow(
    const float *a, const float *b, const float *c, int width, std::vector<Sample> &out)
{
    for (int x = 1; x + 1 < width; ++x) {
        const float l2 = a[x - 1] - 2.0f * b[x - 1] + c[x - 1];
        const float m2 = a[x] - 2.0f * b[x] + c[x];
        const float r2 = a[x + 1] - 2.0f * b[x + 1] + c[x + 1];
        const float gx
            = (a[x + 1] + 2.0f * b[x + 1] + c[x + 1]) - (a[x - 1] + 2.0f * b[x - 1] + c[x - 1]);
        const float gy = (c[x - 1] - a[x - 1]) + 2.0f * (c[x] - a[x]) + (c[x + 1] - a[x + 1]);
        const float sum
            = a[x - 1] + a[x] + a[x + 1] + b[x - 1] + b[x] + b[x + 1] + c[x - 1] + c[x] + c[x + 1];
        out.push_back({std::fabs(l2 - 2.0f * m2 + r2), gx * gx + gy * gy, sum * (1.0f / 9.0f)});
    }
}

// Appends the samples of centre row y (1 .. height - 2) of each channel to out[channel]. Colour
// rows are split into channels in `scratch` (grown as needed) first.
inline void appendChannelRows(
    const GrayPlane &plane, int y, std::vector<float> & /*scratch*/, std::vector<Sample> *out)
{
    appendRow(plane.row(y - 1), plane.row(y), plane.row(y + 1), plane.width(), out[0]);
}

inline void appendChannelRows(
    const ColorPlane &plane, int y, std::vector<float> &scratch, std::vector<Sample> *out)
{
    const int width = plane.width();
    scratch.resize(std::size_t(9) * std::size_t(width));
    // Channel rows of the three source rows, channel-major: [channel][row][x].
    const auto channelRow = [&](int channel, int row) {
        return scratch.data() + std::size_t(channel * 3 + row) * std::size_t(width);
    };
    for (int row = 0; row < 3; ++row) {
        const Vec3 *src = plane.row(y - 1 + row);
        float *r = channelRow(0, row);
        float *g = channelRow(1, row);
        float *b = channelRow(2, row);
        for (int x = 0; x < width; ++x) {
            r[x] = src[x].r;
            g[x] = src[x].g;
            b[x] = src[x].b;
        }
    }
    for (int channel = 0; channel < 3; ++channel)
        appendRow(channelRow(channel, 0), channelRow(channel, 1), channelRow(channel, 2), width,
            out[channel]);
}

// Centre rows 1 .. height - 2 as read: all of them, or evenly spaced ones when that would give
// more than `maxSamples` per channel.
inline std::vector<int> centreRows(int width, int height, std::int64_t maxSamples)
{
    const std::int64_t inner = height - 2;
    const std::int64_t perRow = width - 2;
    const std::int64_t count = std::min<std::int64_t>(inner, (maxSamples + perRow - 1) / perRow);
    std::vector<int> rows;
    rows.reserve(std::size_t(std::max<std::int64_t>(count, 0)));
    for (std::int64_t k = 0; k < count; ++k)
        rows.push_back(int(1 + k * inner / count));
    return rows;
}

// The centre rows 1, 4, 7, ... of a plane of image rows stacked three at a time.
inline std::vector<int> tripleCentres(int height)
{
    std::vector<int> rows;
    for (int y = 1; y + 1 < height; y += 3)
        rows.push_back(y);
    return rows;
}

} // namespace noise_samples
