// The variance-stabilising transform: integrals of the inverse noise curve, and their inverse.
#include "noise_transform.h"

#include <algorithm>
#include <cmath>

namespace {

// The integral of 1 / sigma over one level, sigma linear from a to b (both above 0).
double levelIntegral(double a, double b)
{
    if (std::fabs(b - a) <= 1e-9 * a)
        return 2.0 / (a + b);
    return std::log(b / a) / (b - a);
}

// The standard normal distribution in steps of 1/16 over +-6 deviations, for the expected values.
constexpr int kNormalSteps = 96;
constexpr double kNormalStep = 1.0 / 16.0;

// Applies `map` to every pixel's cell, row by row (rows may lie further apart than the width).
template<typename Cell, typename Map>
void eachCell(Plane<Cell> &plane, Map map)
{
    for (int y = 0; y < plane.height(); ++y) {
        Cell *row = plane.row(y);
        for (int x = 0; x < plane.width(); ++x)
            map(row[x]);
    }
}

} // namespace

StabilisingTransform::StabilisingTransform(const NoiseCurve &curve)
{
    channels_.resize(std::size_t(std::max(curve.channels, 1)));
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        const auto &sigma = curve.sigma[c];
        std::array<double, kLevels> integral {};
        for (int v = 1; v < kLevels; ++v)
            integral[std::size_t(v)] = integral[std::size_t(v - 1)]
                + levelIntegral(sigma[std::size_t(v - 1)], sigma[std::size_t(v)]);
        Channel &ch = channels_[c];
        const double total = integral[kLevels - 1];
        for (int v = 0; v < kLevels; ++v)
            ch.f[std::size_t(v)] = float(255.0 * integral[std::size_t(v)] / total);
        ch.f[kLevels - 1] = 255.0f;
        ch.sigma = float(255.0 / total);
        int level = 0;
        for (int cell = 0; cell < kIndexCells; ++cell) {
            const float start = 255.0f * float(cell) / float(kIndexCells);
            while (level < kLevels - 2 && ch.f[(std::size_t(level) + 1)] <= start)
                ++level;
            ch.index[std::size_t(cell)] = std::uint8_t(level);
        }
    }
    // Each level's noise taken as Gaussian of the curve's deviation there. Only what clipping to
    // 0..255 changes is corrected: between the ends the mean of a camera's noise after its tone
    // curve is not zero either (the curve bends it), and that bias and the transform's own
    // (half f'' sigma^2) about cancel; correcting the latter alone cost up to 0.4 dB there.
    // Entry i is the weight of z = (i - kNormalSteps) * kNormalStep.
    std::array<double, 2 * kNormalSteps + 1> weights {};
    double weightSum = 0.0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double z = (double(i) - kNormalSteps) * kNormalStep;
        weights[i] = std::exp(-0.5 * z * z);
        weightSum += weights[i];
    }
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        Channel &ch = channels_[c];
        for (int v = 0; v < kLevels; ++v) {
            const double sigma = curve.sigma[c][std::size_t(v)];
            double shift = 0.0;
            for (std::size_t i = 0; i < weights.size(); ++i) {
                const double noisy = v + sigma * (double(i) - kNormalSteps) * kNormalStep;
                if (noisy >= 0.0 && noisy <= 255.0)
                    continue;
                const double clipped = std::clamp(noisy, 0.0, 255.0);
                shift += weights[i]
                    * double(forward(int(c), float(clipped)) - forward(int(c), float(noisy)));
            }
            ch.expected[std::size_t(v)] = float(double(ch.f[std::size_t(v)]) + shift / weightSum);
        }
        // Increasing, so that the inverse is one: a curve that falls steeply could bend it back.
        for (int v = 1; v < kLevels; ++v)
            ch.expected[std::size_t(v)] = std::max(ch.expected[std::size_t(v)],
                std::nextafter(ch.expected[std::size_t(v - 1)], 256.0f));
    }
}

float StabilisingTransform::stabilisedSigma(int c) const
{
    return channel(c).sigma;
}

float StabilisingTransform::stabilisedSigma() const
{
    std::vector<float> s;
    for (const Channel &ch : channels_)
        s.push_back(ch.sigma);
    std::sort(s.begin(), s.end());
    const std::size_t n = s.size();
    return n % 2 == 1 ? s[n / 2] : 0.5f * (s[n / 2 - 1] + s[n / 2]);
}

float StabilisingTransform::forward(int c, float v) const
{
    const auto &f = channel(c).f;
    if (!(v >= 0.0f))
        return v * f[1];
    if (v > 255.0f)
        return 255.0f + (v - 255.0f) * (255.0f - f[kLevels - 2]);
    const int k = std::min(int(v), kLevels - 2);
    const float t = v - float(k);
    return f[std::size_t(k)] + t * (f[std::size_t(k) + 1] - f[std::size_t(k)]);
}

float StabilisingTransform::inverse(int c, float y) const
{
    const Channel &ch = channel(c);
    const auto &f = ch.f;
    if (!(y >= 0.0f))
        return y / f[1];
    if (y > 255.0f)
        return 255.0f + (y - 255.0f) / (255.0f - f[kLevels - 2]);
    const int cell = std::min(int(y * (float(kIndexCells) / 255.0f)), kIndexCells - 1);
    int k = ch.index[std::size_t(cell)];
    while (k < kLevels - 2 && f[std::size_t(k) + 1] <= y)
        ++k;
    while (k > 0 && f[std::size_t(k)] > y)
        --k;
    return float(k) + (y - f[std::size_t(k)]) / (f[std::size_t(k) + 1] - f[std::size_t(k)]);
}

float StabilisingTransform::unbiasedInverse(int c, float y) const
{
    const auto &g = channel(c).expected;
    if (!(y >= g[0]))
        return inverse(c, y - g[0]);
    if (y > g[kLevels - 1])
        return inverse(c, 255.0f + (y - g[kLevels - 1]));
    const int k
        = std::min(int(std::upper_bound(g.begin(), g.end(), y) - g.begin()) - 1, kLevels - 2);
    return float(k) + (y - g[std::size_t(k)]) / (g[std::size_t(k) + 1] - g[std::size_t(k)]);
}

void StabilisingTransform::forward(GrayPlane &plane) const
{
    eachCell(plane, [&](float &v) { v = forward(0, v); });
}

void StabilisingTransform::forward(ColorPlane &plane) const
{
    eachCell(plane, [&](Vec3 &v) { v = Vec3(forward(0, v.r), forward(1, v.g), forward(2, v.b)); });
}

void StabilisingTransform::inverse(GrayPlane &plane) const
{
    eachCell(plane, [&](float &v) { v = inverse(0, v); });
}

void StabilisingTransform::inverse(ColorPlane &plane) const
{
    eachCell(plane, [&](Vec3 &v) { v = Vec3(inverse(0, v.r), inverse(1, v.g), inverse(2, v.b)); });
}

void StabilisingTransform::unbiasedInverse(GrayPlane &plane) const
{
    eachCell(plane, [&](float &v) { v = unbiasedInverse(0, v); });
}

void StabilisingTransform::unbiasedInverse(ColorPlane &plane) const
{
    eachCell(plane, [&](Vec3 &v) {
        v = Vec3(unbiasedInverse(0, v.r), unbiasedInverse(1, v.g), unbiasedInverse(2, v.b));
    });
}
