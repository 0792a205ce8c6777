// The variance-stabilising transform of a noise curve: evens the noise out before the walk and
// back after it, on the planes in place.
#pragma once

#include "noise_curve.h"
#include "planes.h"

#include <array>
#include <cstdint>
#include <vector>

// Per channel, f(v) = integral from 0 to v of s / sigma(t) dt, with s chosen so that f(255) = 255:
// after f the noise has about the same deviation s at every level, and the level tables, the
// walk's jump limit and its step size, tuned to the 0..255 range, still apply. f is linear
// between whole levels (exactly inverted: whole levels and 16-bit steps come back exactly) and
// goes on with its end slopes beyond 0 and 255, since the run's estimates may fall outside.
// Built once per image and only read afterwards: any number of threads may share it.
class StabilisingTransform
{
public:
    explicit StabilisingTransform(const NoiseCurve &curve);

    // The deviation s of the noise after the transform, per channel, and the median channel's
    // (the level a run on the transformed planes is set for).
    float stabilisedSigma(int channel) const;
    float stabilisedSigma() const;

    float forward(int channel, float v) const;
    float inverse(int channel, float y) const;
    // The inverse that takes out what clipping adds: a run averages transformed noisy values, and
    // near black (white) clipping lifts (lowers) that average above (below) f(u), on photographs
    // with a camera's noise by 8 to 18 levels below level 16 from ISO 800 to 6400, which the plain
    // inverse keeps (today's uniform path too). This inverts g(u) = f(u) plus the change that
    // clipping to 0..255 makes to the mean of f over Gaussian noise of the curve's deviation at u.
    // Only that change: away from the ends (six deviations) it is the plain inverse. Beyond g(0)
    // and g(255) it goes on as the plain inverse does beyond 0 and 255.
    float unbiasedInverse(int channel, float y) const;

    // Every value of the plane mapped, in place. Gray planes use channel 0. The inverse is meant
    // for the run's unclamped estimates: clamp and round after it.
    void forward(GrayPlane &plane) const;
    void forward(ColorPlane &plane) const;
    void inverse(GrayPlane &plane) const;
    void inverse(ColorPlane &plane) const;
    void unbiasedInverse(GrayPlane &plane) const;
    void unbiasedInverse(ColorPlane &plane) const;

private:
    static constexpr int kLevels = NoiseCurve::kLevels;
    // Cells of the inverse's lookup over 0..255: each holds the last level whose f lies at or
    // below the cell's start, so that the search walks a level or two at most.
    static constexpr int kIndexCells = 1024;

    struct Channel
    {
        std::array<float, kLevels> f; // f at whole levels 0..255; f[0] = 0, f[255] = 255
        std::array<std::uint8_t, kIndexCells> index;
        // The expected f of the clipped noisy values at whole levels, increasing.
        std::array<float, kLevels> expected;
        float sigma; // s
    };

    const Channel &channel(int c) const
    {
        return channels_[std::size_t(std::clamp(c, 0, int(channels_.size()) - 1))];
    }

    std::vector<Channel> channels_;
};
