// Noise estimation after Immerkaer, over the flattest pixels away from clipping.
#include "noise_estimate.h"
#include "noise_samples.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using noise_samples::kMeanResponseToSigma;
using noise_samples::Sample;

// Pixels whose 3 x 3 mean lies within this many estimated deviations of 0 or 255 are left out:
// clipping there cuts the noise short and the estimate would read low (about 41 for a true 50
// on photographs). The margin comes from a first estimate over all pixels, which reads low
// itself, so the margin is a little narrow. A second pass with the wider margin read up to 2%
// closer on the other photographs but 4-6% high on a dark forest, whose few bright pixels left are
// mostly texture; a margin of 2 was worse there still.
constexpr float kClippingMargin = 1.5f;
constexpr int kClippingPasses = 1;

// Share of the in-range pixels with the largest Sobel gradient that is left out as texture.
// Sobel is odd and the mask even, so on pure noise the two are independent and leaving pixels
// out by gradient biases nothing. On photographs 0.7 read closer than 0.1 to 0.5 and about as
// close as 0.9, which leaves fewer pixels. Fine texture such as moss still reads as noise: on a
// forest photograph about 7 for a true 5 and 11.5 for a true 10.
constexpr double kTexturedShare = 0.7;

// At least this many pixels of a channel must be left to average; the relative standard error
// of the estimate is then at most 0.755 / sqrt(1000), about 2.4%.
constexpr std::size_t kMinUsablePixels = 1000;

// Mask responses read at most, per channel: more rows only add time, not accuracy. A 6000 x 4000
// photograph is read on about 44 evenly spaced rows.
constexpr std::int64_t kMaxSamples = std::int64_t(1) << 18;

// Below this the plane shows less noise than rounding to whole levels leaves (0.29): too flat.
constexpr float kMinEstimate = 0.25f;

// No noise confined to 0..255 deviates by more than half the range; an estimate above it is a
// pattern the mask answers at every pixel (16 x 127.5 on a 0/255 checkerboard, read as 426).
constexpr float kMaxNoise = 127.5f;

// Where PSNR peaks on photographs with Gaussian noise of a known deviation, gray and colour alike,
// for deviations of 30 to 70: there the level tables smooth more than the deviation calls for, so
// the best level falls behind it (46 for 50, 57 for 70). Below 30 colour peaks within a level of
// the deviation and gray up to 3 levels above; one mapping for both keeps the deviation. Between
// knots the level is interpolated; past the last one its slope goes on, unmeasured.
struct LevelKnot
{
    float estimate;
    float level;
};
constexpr std::array<LevelKnot, 5> kLevelKnots
    = {{{30.0f, 30.0f}, {40.0f, 38.0f}, {50.0f, 46.0f}, {60.0f, 52.0f}, {70.0f, 57.0f}}};

// The estimate of one channel from its samples, or nothing when too few pixels stay usable; 0 for
// a pattern that no noise can be (above kMaxNoise at first). Each pass keeps the pixels away from
// clipping by the margin of the previous estimate (none at first), leaves out the most textured
// share of those and averages the responses of the rest.
std::optional<float> channelEstimate(const std::vector<Sample> &samples)
{
    std::vector<Sample> kept;
    kept.reserve(samples.size());
    float sigma = 0.0f;
    for (int pass = 0; pass <= kClippingPasses; ++pass) {
        const float low = kClippingMargin * sigma;
        const float high = 255.0f - low;
        kept.clear();
        for (const Sample &s : samples) {
            if (pass == 0 || (s.mean > low && s.mean < high))
                kept.push_back(s);
        }
        const std::size_t flat = std::size_t(double(kept.size()) * (1.0 - kTexturedShare));
        if (flat < kMinUsablePixels)
            return std::nullopt;
        std::nth_element(kept.begin(), kept.begin() + std::ptrdiff_t(flat), kept.end(),
            [](const Sample &p, const Sample &q) { return p.gradient < q.gradient; });
        double sum = 0.0;
        for (std::size_t i = 0; i < flat; ++i)
            sum += kept[i].response;
        sigma = kMeanResponseToSigma * float(sum / double(flat));
        if (sigma > kMaxNoise)
            return 0.0f;
    }
    return sigma;
}

NoiseMeasurement finish(std::optional<float> estimate)
{
    using Outcome = NoiseMeasurement::Outcome;
    if (!estimate)
        return {Outcome::Unmeasurable, 0.0f};
    if (*estimate < kMinEstimate)
        return {Outcome::NoNoise, 0.0f};
    return {Outcome::Measured, *estimate};
}

std::optional<float> measured(const NoiseMeasurement &measurement)
{
    if (measurement.outcome != NoiseMeasurement::Outcome::Measured)
        return std::nullopt;
    return measurement.deviation;
}

// The centre rows read from a whole plane; none from a plane below 3 x 3.
template<typename Cell>
std::vector<int> centreRowsOf(const Plane<Cell> &plane)
{
    if (plane.width() < 3 || plane.height() < 3)
        return {};
    return noise_samples::centreRows(plane.width(), plane.height(), kMaxSamples);
}

NoiseMeasurement measureRows(const GrayPlane &plane, const std::vector<int> &rows)
{
    const int width = plane.width();
    if (width < 3 || plane.height() < 3)
        return {};
    std::vector<Sample> samples;
    samples.reserve(rows.size() * std::size_t(width - 2));
    std::vector<float> scratch;
    for (const int y : rows)
        noise_samples::appendChannelRows(plane, y, scratch, &samples);
    return finish(channelEstimate(samples));
}

NoiseMeasurement measureRows(const ColorPlane &plane, const std::vector<int> &rows)
{
    const int width = plane.width();
    if (width < 3 || plane.height() < 3)
        return {};
    std::array<std::vector<Sample>, 3> samples;
    for (auto &s : samples)
        s.reserve(rows.size() * std::size_t(width - 2));
    std::vector<float> scratch;
    for (const int y : rows)
        noise_samples::appendChannelRows(plane, y, scratch, samples.data());
    // The median of three is robust to one channel that is clipped or textured; with a channel
    // unusable the others are averaged.
    std::vector<float> estimates;
    for (const auto &s : samples) {
        if (const std::optional<float> e = channelEstimate(s))
            estimates.push_back(*e);
    }
    if (estimates.empty())
        return {};
    std::sort(estimates.begin(), estimates.end());
    const std::size_t n = estimates.size();
    const float median
        = n % 2 == 1 ? estimates[n / 2] : 0.5f * (estimates[n / 2 - 1] + estimates[n / 2]);
    return finish(median);
}

} // namespace

NoiseMeasurement measureNoise(const GrayPlane &plane)
{
    return measureRows(plane, centreRowsOf(plane));
}

NoiseMeasurement measureNoise(const ColorPlane &plane)
{
    return measureRows(plane, centreRowsOf(plane));
}

NoiseMeasurement measureNoiseOfTriples(const GrayPlane &plane)
{
    return measureRows(plane, noise_samples::tripleCentres(plane.height()));
}

NoiseMeasurement measureNoiseOfTriples(const ColorPlane &plane)
{
    return measureRows(plane, noise_samples::tripleCentres(plane.height()));
}

std::optional<float> estimateNoiseLevel(const GrayPlane &plane)
{
    return measured(measureNoise(plane));
}

std::optional<float> estimateNoiseLevel(const ColorPlane &plane)
{
    return measured(measureNoise(plane));
}

int noiseLevelFor(float estimate)
{
    if (!(estimate > 1.0f))
        return 1;
    float level = estimate;
    if (estimate > kLevelKnots[0].estimate) {
        std::size_t k = 1;
        while (k + 1 < kLevelKnots.size() && estimate > kLevelKnots[k].estimate)
            ++k;
        const LevelKnot &a = kLevelKnots[k - 1];
        const LevelKnot &b = kLevelKnots[k];
        level = a.level + (estimate - a.estimate) * (b.level - a.level) / (b.estimate - a.estimate);
    }
    return int(std::lround(std::clamp(level, 1.0f, 99.0f)));
}
