// The noise curve: Immerkaer's mask over the flattest pixels of each band of levels.
#include "noise_curve.h"
#include "noise_samples.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using noise_samples::kMeanResponseToSigma;
using noise_samples::Sample;

// Bands of levels, by the pixel's 3 x 3 mean: 16 levels each. The tone curve of a camera
// changes the noise by about a third between the quarters of the range; 16 bands follow that
// with some to spare while leaving each band tens of thousands of samples on a photograph.
constexpr int kBands = 16;
constexpr float kBandWidth = 256.0f / float(kBands);

// Samples read at most per channel: about 1.5% error per band on a photograph that spreads its
// levels over ten bands, and half the time of twice as many. A 6000 x 4000 photograph is read on
// about 88 evenly spaced rows.
constexpr std::int64_t kMaxSamples = std::int64_t(1) << 19;

// As in the uniform estimate: the most textured share of a band's pixels (by Sobel gradient,
// independent of the mask's answer on pure noise) is left out.
constexpr double kTexturedShare = 0.7;

// A band needs this many flat pixels to be measured: a relative standard error of
// 0.755 / sqrt(300), about 4.4%, before smoothing with its neighbours.
constexpr std::size_t kMinBandPixels = 300;

// A band is left out as clipped when any of its levels lies within this many of its deviations
// of 0 or 255 (the uniform estimate's margin). The deviation is the larger of the band's own,
// which clipping cuts short, and that of the nearest band measured without clipping.
constexpr float kClippingMargin = 1.5f;

// The curve never falls below this share of its highest value over the measured levels: the
// transform stretches each level by the inverse of the deviation, and a level stretched far more
// than the others would have the walk refuse most moves there.
constexpr float kFloorShare = 0.4f;

// Below this the plane shows less noise than rounding to whole levels leaves (0.29).
constexpr float kMinDeviation = 0.25f;

// The flatness test reads each band's flattest third of its flat pixels (a tenth of the band)
// again: on noise alone they read the same, but low noise on a textured photograph (a deviation
// of 3 to 10) still has texture among the flat pixels of some bands, which makes the curve look
// as uneven as a camera's.
constexpr double kFlattestShare = 1.0 / 3.0;

// The curve counts as flat when its highest value over the measured levels is at most this much
// above its lowest. Uniform Gaussian noise on photographs reads up to about 1.15 after smoothing
// (band errors of 1-4% plus the texture that some bands hold), while a camera's noise after the
// sRGB curve spans 1.5 to 2 between levels 48 and 224 from ISO 400 to 6400.
constexpr float kFlatRatio = 1.25f;

// It counts as flat too when its highest value adds at most this much variance to its lowest (a
// deviation of 4.2 levels) and the flat pixels of the image as a whole read near its lowest value
// (at most kFlatTypicalRatio above). A photograph carries grain, texture and compression of its
// own in its flat areas, more at some brightness than at others; under little noise (deviations
// of 3 to 5) they alone make the curve rise 25 to 60% above its lowest value, though only by a
// variance of 6 to 17, and only in a few places: the flat pixels as a whole read at most 15%
// above the lowest value. A camera's noise after its tone curve rises by more (20 to 25 on a dark
// photograph at ISO 400 whose levels span only 48 to 144, 50 to 100 where they span the range),
// or, where JPEG has taken most of it out of the highlights, holds the bulk of the flat pixels
// well above the lowest value (40 to 60% on a flat-toned picture at ISO 400).
constexpr float kFlatAddedVariance = 18.0f;
constexpr float kFlatTypicalRatio = 1.25f;

// The mask's answer and the gradient of one flat-candidate pixel.
struct Response
{
    float gradient;
    float response;
};

// One measured band of one channel.
struct Band
{
    float low; // lowest level of the band
    float sigma;
    double weight; // flat pixels averaged
    bool usable;
    // The deviation over the flattest kFlattestShare of the flat pixels: the same on noise alone,
    // lower where texture is left among them.
    float flattest;
};

int bandOf(float mean)
{
    return std::clamp(int(mean / kBandWidth), 0, kBands - 1);
}

// The deviation of every band of one channel from its pixels, grouped by band; bands with too few
// pixels are not usable.
std::array<Band, kBands> measureBands(std::array<std::vector<Response>, kBands> &pixels)
{
    std::array<Band, kBands> bands {};
    for (int b = 0; b < kBands; ++b) {
        std::vector<Response> &p = pixels[std::size_t(b)];
        Band &band = bands[std::size_t(b)];
        band.low = float(b) * kBandWidth;
        const std::size_t flat = std::size_t(double(p.size()) * (1.0 - kTexturedShare));
        if (flat < kMinBandPixels)
            continue;
        const auto byGradient
            = [](const Response &a, const Response &c) { return a.gradient < c.gradient; };
        std::nth_element(p.begin(), p.begin() + std::ptrdiff_t(flat), p.end(), byGradient);
        double sum = 0.0;
        for (std::size_t i = 0; i < flat; ++i)
            sum += p[i].response;
        const std::size_t flattest = std::size_t(double(flat) * kFlattestShare);
        std::nth_element(p.begin(), p.begin() + std::ptrdiff_t(flattest),
            p.begin() + std::ptrdiff_t(flat), byGradient);
        double flattestSum = 0.0;
        for (std::size_t i = 0; i < flattest; ++i)
            flattestSum += p[i].response;
        band = {band.low, kMeanResponseToSigma * float(sum / double(flat)), double(flat), true,
            kMeanResponseToSigma * float(flattestSum / double(flattest))};
    }
    return bands;
}

bool clipped(const Band &band, float sigma)
{
    const float margin = kClippingMargin * sigma;
    return band.low < margin || band.low + kBandWidth > 255.0f - margin;
}

// Leaves out the bands near 0 and 255 whose noise clipping cuts short. First by the band's own
// deviation; then again by the nearest band kept, which clipping has not cut.
void leaveOutClipped(std::array<Band, kBands> &bands)
{
    for (Band &band : bands)
        band.usable = band.usable && !clipped(band, band.sigma);
    std::array<float, kBands> nearest {};
    for (int b = 0; b < kBands; ++b) {
        int best = -1;
        for (int c = 0; c < kBands; ++c) {
            if (bands[std::size_t(c)].usable && (best < 0 || std::abs(c - b) < std::abs(best - b)))
                best = c;
        }
        nearest[std::size_t(b)] = best < 0 ? 0.0f : bands[std::size_t(best)].sigma;
    }
    for (int b = 0; b < kBands; ++b) {
        Band &band = bands[std::size_t(b)];
        band.usable = band.usable && !clipped(band, nearest[std::size_t(b)]);
    }
}

// Weighted least-squares fit of a non-increasing sequence (pool adjacent violators), in place.
void fitFalling(std::vector<float> &values, std::vector<double> weights)
{
    // Blocks of pooled values: their mean, weight and length.
    std::vector<double> mean;
    std::vector<double> weight;
    std::vector<std::size_t> length;
    for (std::size_t i = 0; i < values.size(); ++i) {
        mean.push_back(values[i]);
        weight.push_back(weights[i]);
        length.push_back(1);
        while (mean.size() > 1 && mean[mean.size() - 2] < mean.back()) {
            const std::size_t last = mean.size() - 1;
            const double w = weight[last - 1] + weight[last];
            mean[last - 1] = (mean[last - 1] * weight[last - 1] + mean[last] * weight[last]) / w;
            weight[last - 1] = w;
            length[last - 1] += length[last];
            mean.pop_back();
            weight.pop_back();
            length.pop_back();
        }
    }
    std::size_t i = 0;
    for (std::size_t b = 0; b < mean.size(); ++b)
        for (std::size_t k = 0; k < length[b]; ++k)
            values[i++] = float(mean[b]);
}

// The monotone curve, falling or rising, that fits the bands' deviations best (weighted by their
// pixel counts). A camera's noise after a tone curve falls with the level over the range that
// clipping leaves, raw linear data's rises; a band that reads high because its flattest pixels are
// still texture (grass at one brightness, say) stands out of either and is pooled with its
// neighbours.
std::vector<float> monotoneFit(const std::vector<float> &values, const std::vector<double> &weights)
{
    std::vector<float> falling = values;
    fitFalling(falling, weights);
    std::vector<float> rising(values.rbegin(), values.rend());
    fitFalling(rising, std::vector<double>(weights.rbegin(), weights.rend()));
    std::reverse(rising.begin(), rising.end());
    const auto error = [&](const std::vector<float> &fit) {
        double sum = 0.0;
        for (std::size_t i = 0; i < values.size(); ++i)
            sum += weights[i] * double(fit[i] - values[i]) * double(fit[i] - values[i]);
        return sum;
    };
    return error(falling) <= error(rising) ? falling : rising;
}

// Samples the typical deviation reads at most: its error stays under 1%, in a quarter of the
// time all of a photograph's would take.
constexpr std::size_t kTypicalSamples = std::size_t(1) << 17;

// The deviation over the flattest share of the flat-candidate pixels of all usable bands together
// (evenly spaced ones of them), as the uniform estimate reads the image: where the bulk of its
// flat pixels lies.
float typicalDeviation(
    const std::array<Band, kBands> &bands, const std::array<std::vector<Response>, kBands> &pixels)
{
    std::size_t total = 0;
    for (int b = 0; b < kBands; ++b)
        total += bands[std::size_t(b)].usable ? pixels[std::size_t(b)].size() : 0;
    const std::size_t step = std::max<std::size_t>(1, total / kTypicalSamples);
    std::vector<Response> all;
    all.reserve(total / step + kBands);
    for (int b = 0; b < kBands; ++b) {
        if (!bands[std::size_t(b)].usable)
            continue;
        const std::vector<Response> &band = pixels[std::size_t(b)];
        for (std::size_t i = 0; i < band.size(); i += step)
            all.push_back(band[i]);
    }
    const std::size_t flat = std::size_t(double(all.size()) * (1.0 - kTexturedShare));
    if (flat == 0)
        return 0.0f;
    std::nth_element(all.begin(), all.begin() + std::ptrdiff_t(flat), all.end(),
        [](const Response &a, const Response &c) { return a.gradient < c.gradient; });
    double sum = 0.0;
    for (std::size_t i = 0; i < flat; ++i)
        sum += all[i].response;
    return kMeanResponseToSigma * float(sum / double(flat));
}

// The channel's curve from its usable bands: the monotone fit of their deviations, smoothed with
// neighbours (weights 1 2 1 times the pixel counts), joined linearly between band centres, held
// beyond the outer ones and floored. `typical` is the channel's typicalDeviation. The highest
// value fitted, 0 when no band is usable.
float fillCurve(
    const std::array<Band, kBands> &bands, float typical, NoiseCurve &curve, int channel)
{
    std::vector<float> centres;
    std::vector<float> measured;
    std::vector<float> flattest;
    std::vector<double> weights;
    for (const Band &band : bands) {
        if (!band.usable)
            continue;
        centres.push_back(band.low + 0.5f * kBandWidth);
        measured.push_back(band.sigma);
        flattest.push_back(band.flattest);
        weights.push_back(band.weight);
    }
    if (centres.empty())
        return 0.0f;
    const auto smoothFit = [&](const std::vector<float> &deviations) {
        const std::vector<float> fitted = monotoneFit(deviations, weights);
        std::vector<float> smoothed(fitted.size());
        for (std::size_t i = 0; i < fitted.size(); ++i) {
            double sum = 2.0 * weights[i] * double(fitted[i]);
            double weight = 2.0 * weights[i];
            for (const std::size_t n : {i - 1, i + 1}) {
                if (n < fitted.size()) {
                    sum += weights[n] * double(fitted[n]);
                    weight += weights[n];
                }
            }
            smoothed[i] = float(sum / weight);
        }
        return smoothed;
    };
    const std::vector<float> values = smoothFit(measured);
    const float highest = *std::max_element(values.begin(), values.end());
    const float floor = kFloorShare * highest;
    auto &sigma = curve.sigma[std::size_t(channel)];
    std::size_t next = 0;
    for (int v = 0; v < NoiseCurve::kLevels; ++v) {
        while (next < centres.size() && centres[next] <= float(v))
            ++next;
        float s = 0.0f;
        if (next == 0)
            s = values.front();
        else if (next == centres.size())
            s = values.back();
        else {
            const float t = (float(v) - centres[next - 1]) / (centres[next] - centres[next - 1]);
            s = values[next - 1] + t * (values[next] - values[next - 1]);
        }
        sigma[std::size_t(v)] = std::max({s, floor, kMinDeviation});
    }
    curve.measuredLow[std::size_t(channel)] = centres.front();
    curve.measuredHigh[std::size_t(channel)] = centres.back();
    const std::vector<float> cleaner = smoothFit(flattest);
    const auto [low, high] = std::minmax_element(cleaner.begin(), cleaner.end());
    curve.flat = curve.flat
        && (*high <= kFlatRatio * *low
            || (*high * *high - *low * *low <= kFlatAddedVariance
                && typical <= kFlatTypicalRatio * *low));
    return highest;
}

// The centre rows read from a whole plane; none from a plane below 3 x 3.
template<typename Cell>
std::vector<int> centreRowsOf(const Plane<Cell> &plane)
{
    if (plane.width() < 3 || plane.height() < 3)
        return {};
    return noise_samples::centreRows(plane.width(), plane.height(), kMaxSamples);
}

template<typename Cell>
std::optional<NoiseCurve> measure(const Plane<Cell> &plane, const std::vector<int> &rows)
{
    constexpr int kChannels = std::is_same_v<Cell, Vec3> ? 3 : 1;
    const int width = plane.width();
    if (width < 3 || plane.height() < 3)
        return std::nullopt;
    std::array<std::array<std::vector<Response>, kBands>, kChannels> pixels;
    std::array<std::vector<Sample>, kChannels> row;
    std::vector<float> scratch;
    for (const int y : rows) {
        for (auto &r : row)
            r.clear();
        noise_samples::appendChannelRows(plane, y, scratch, row.data());
        for (int c = 0; c < kChannels; ++c) {
            for (const Sample &s : row[std::size_t(c)])
                pixels[std::size_t(c)][std::size_t(bandOf(s.mean))].push_back(
                    {s.gradient, s.response});
        }
    }
    NoiseCurve curve;
    curve.channels = kChannels;
    std::array<bool, kChannels> measured {};
    float highest = 0.0f;
    for (int c = 0; c < kChannels; ++c) {
        std::array<Band, kBands> bands = measureBands(pixels[std::size_t(c)]);
        leaveOutClipped(bands);
        const float typical = typicalDeviation(bands, pixels[std::size_t(c)]);
        const float channelHighest = fillCurve(bands, typical, curve, c);
        measured[std::size_t(c)] = channelHighest > 0.0f;
        highest = std::max(highest, channelHighest);
    }
    if (!(highest >= kMinDeviation))
        return std::nullopt;
    // A channel without a usable band (all of it clipped, say) takes the mean of the others.
    for (int c = 0; c < kChannels; ++c) {
        if (measured[std::size_t(c)])
            continue;
        int count = 0;
        auto &target = curve.sigma[std::size_t(c)];
        target.fill(0.0f);
        for (int o = 0; o < kChannels; ++o) {
            if (!measured[std::size_t(o)])
                continue;
            ++count;
            for (int v = 0; v < NoiseCurve::kLevels; ++v)
                target[std::size_t(v)] += curve.sigma[std::size_t(o)][std::size_t(v)];
        }
        for (float &s : target)
            s /= float(count);
        curve.measuredLow[std::size_t(c)] = 255.0f;
        curve.measuredHigh[std::size_t(c)] = 0.0f;
    }
    return curve;
}

} // namespace

float NoiseCurve::at(int channel, float v) const
{
    const auto &s = sigma[std::size_t(std::clamp(channel, 0, channels - 1))];
    const float c = std::clamp(v, 0.0f, float(kLevels - 1));
    const int k = std::min(int(c), kLevels - 2);
    const float t = c - float(k);
    return s[std::size_t(k)] + t * (s[std::size_t(k) + 1] - s[std::size_t(k)]);
}

std::optional<NoiseCurve> measureNoiseCurve(const GrayPlane &plane)
{
    return measure(plane, centreRowsOf(plane));
}

std::optional<NoiseCurve> measureNoiseCurve(const ColorPlane &plane)
{
    return measure(plane, centreRowsOf(plane));
}

std::optional<NoiseCurve> measureNoiseCurveOfTriples(const GrayPlane &plane)
{
    return measure(plane, noise_samples::tripleCentres(plane.height()));
}

std::optional<NoiseCurve> measureNoiseCurveOfTriples(const ColorPlane &plane)
{
    return measure(plane, noise_samples::tripleCentres(plane.height()));
}

std::int64_t noiseCurveSamples()
{
    return kMaxSamples;
}
