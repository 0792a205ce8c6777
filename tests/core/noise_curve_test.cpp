// The noise curve on planes whose noise curve is set, and the transform that evens it out.
#include "core/noise_curve.h"
#include "core/noise_estimate.h"
#include "core/noise_transform.h"
#include "core/plane_run.h"
#include "core/sample_tables.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

using Deviation = std::function<float(float)>;

// A camera's noise after the sRGB curve: Poisson-Gaussian in linear light (variance
// shot * L + read, L in 0..1), carried to the 0..255 scale by the curve's slope.
float cameraDeviation(float v, float shot, float read)
{
    const float c = std::max(v / 255.0f, 0.05f);
    const float linear = std::pow((c + 0.055f) / 1.055f, 2.4f);
    const float slope = 1.055f / 2.4f * std::pow(linear, 1.0f / 2.4f - 1.0f);
    return 255.0f * slope * std::sqrt(shot * linear + read);
}

// Columns ramp from 0 to 255, each channel offset by a third of the range (so every channel
// spreads over all levels), plus Gaussian noise of deviation sigma(clean value), rounded and
// clipped like an 8-bit image.
template<typename Cell>
Plane<Cell> noisyRamp(const Deviation &sigma, std::uint32_t seed)
{
    constexpr int kSize = 512;
    std::mt19937 random(seed);
    std::normal_distribution<float> noise;
    Plane<Cell> plane(kSize, kSize);
    auto *values = reinterpret_cast<float *>(plane.data());
    const int channels = int(valueCount(plane) / plane.cellCount());
    for (std::int64_t i = 0; i < valueCount(plane); ++i) {
        const int x = int((i / channels) % kSize);
        const float clean
            = std::fmod(255.0f * float(x) / float(kSize - 1) + 85.0f * float(i % channels), 256.0f);
        values[i] = std::clamp(std::round(clean + sigma(clean) * noise(random)), 0.0f, 255.0f);
    }
    return plane;
}

// Flat or not as given; in every channel measured over [64, 192] at least, and within 10% of the
// set deviation (or of its floor, 0.4 of the highest) at the centre of every band of 32 levels it
// measured.
void expectCurve(const std::optional<NoiseCurve> &curve, const Deviation &sigma, bool flat)
{
    ASSERT_TRUE(curve.has_value());
    EXPECT_EQ(curve->flat, flat);
    for (int c = 0; c < curve->channels; ++c) {
        const float low = curve->measuredLow[std::size_t(c)];
        const float high = curve->measuredHigh[std::size_t(c)];
        EXPECT_TRUE(low <= 64.0f && high >= 192.0f) << low << " " << high;
        float floor = 0.0f;
        for (float v = low; v <= high; v += 1.0f)
            floor = std::max(floor, 0.4f * sigma(v));
        for (float v = 16.0f; v <= high; v += 32.0f) {
            const float expected = std::max(sigma(v), floor);
            if (v >= low) {
                EXPECT_NEAR(curve->at(c, v), expected, 0.1f * expected) << c << " at " << v;
            }
        }
    }
}

// The curve of the given deviations, one per channel.
NoiseCurve curveOf(const std::vector<Deviation> &sigmas)
{
    NoiseCurve curve;
    curve.channels = int(sigmas.size());
    for (int c = 0; c < curve.channels; ++c)
        for (int v = 0; v < NoiseCurve::kLevels; ++v)
            curve.sigma[std::size_t(c)][std::size_t(v)] = sigmas[std::size_t(c)](float(v));
    return curve;
}

} // namespace

TEST(NoiseCurve, RecoversTheSetCurveAndTellsUniformNoiseApart)
{
    // The same curve, rising to 1.35 times its lowest value in the shadows, at two strengths: a
    // photograph's own grain under little noise adds a variance of 8 and reads flat, a camera's
    // noise at a low ISO adds 32 and does not. Nor does one that adds 14 but holds most of the
    // levels 1.6 times above the lowest value, as JPEG leaves a camera's noise at a low ISO.
    const auto grain = [](float scale) {
        return [scale](float v) { return scale * std::hypot(1.0f, 1.0f - v / 255.0f); };
    };
    const struct
    {
        const char *name;
        Deviation sigma;
        bool flat;
    } cases[] = {
        {"ISO 3200", [](float v) { return cameraDeviation(v, 0.01f, 0.0005f); }, false},
        {"linear raw", [](float v) { return 2.0f + 0.08f * v; }, false},
        {"low ISO", grain(6.0f), false},
        {"grain under noise 3", grain(3.0f), true},
        {"JPEG", [](float v) { return 3.0f + 1.8f / (1.0f + std::exp((v - 190.0f) / 12.0f)); },
            false},
        {"uniform 5", [](float) { return 5.0f; }, true},
    };
    std::uint32_t seed = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        expectCurve(measureNoiseCurve(noisyRamp<float>(c.sigma, seed++)), c.sigma, c.flat);
        expectCurve(measureNoiseCurve(noisyRamp<Vec3>(c.sigma, seed++)), c.sigma, c.flat);
    }
    // Uniform noise over a scene with edges, texture bars and a disc reads flat too, and so does
    // a ramp whose dark third has a fine texture that grows from nothing down the rows: under
    // noise of 3 the flat pixels of its bands read up to 5.9 with it, as uneven as a camera's
    // noise, the flattest third of them 4.2.
    GrayPlane textured = noisyRamp<float>([](float) { return 0.0f; }, 0);
    for (int y = 0; y < textured.height(); ++y)
        for (int x = 0; x < textured.width() / 3; ++x)
            textured.at(x, y) += 100.0f * std::pow(float(y) / float(textured.height()), 1.5f)
                * std::sin(1.6f * float(x)) * std::sin(1.6f * float(y));
    for (const float sigma : {3.0f, 10.0f, 30.0f}) {
        for (const auto &curve : {measureNoiseCurve(addNoise(sceneColor(400, 300), sigma, 3)),
                 measureNoiseCurve(addNoise(textured, sigma, 4))}) {
            ASSERT_TRUE(curve.has_value());
            EXPECT_TRUE(curve->flat) << sigma;
        }
    }
    // Nothing from planes too small, flat, or with less noise than rounding leaves.
    EXPECT_FALSE(measureNoiseCurve(GrayPlane()).has_value());
    EXPECT_FALSE(measureNoiseCurve(addNoise(filled(40, 40, 128.0f), 20.0f, 5)).has_value());
    EXPECT_FALSE(measureNoiseCurve(filled(300, 200, Vec3(10.0f, 90.0f, 200.0f))).has_value());
}

TEST(StabilisingTransform, EvensTheNoiseOutAndComesBackExactlyAt8And16Bits)
{
    // Red: a camera's curve; green: raw linear data; blue: uniform noise.
    const std::vector<Deviation> sigmas
        = {[](float v) { return cameraDeviation(v, 0.01f, 0.0005f); },
            [](float v) { return 2.0f + 0.08f * v; }, [](float) { return 7.0f; }};
    const StabilisingTransform transform(curveOf(sigmas));
    EXPECT_FLOAT_EQ(transform.stabilisedSigma(2), 7.0f);
    // The median channel's: 7 < 8.44 < 15.9.
    EXPECT_EQ(transform.stabilisedSigma(), transform.stabilisedSigma(1));
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(c);
        const float s = transform.stabilisedSigma(c);
        EXPECT_EQ(transform.forward(c, 0.0f), 0.0f);
        EXPECT_EQ(transform.forward(c, 255.0f), 255.0f);
        // The noise after the transform: the slope times the deviation, s at every level.
        for (float v = 1.0f; v < 255.0f; v += 1.0f) {
            const float slope = transform.forward(c, v + 0.5f) - transform.forward(c, v - 0.5f);
            ASSERT_NEAR(slope * sigmas[std::size_t(c)](v), s, 0.01f * s) << v;
        }
        for (int n = 0; n < 65536; ++n) {
            const float v = float(n) * 255.0f / 65535.0f;
            ASSERT_EQ(
                std::lround(transform.inverse(c, transform.forward(c, v)) * 65535.0f / 255.0f), n);
        }
        // Beyond the range the transform goes on with its end slopes, both ways.
        for (const float v : {-40.0f, -0.5f, 255.5f, 300.0f})
            EXPECT_NEAR(transform.inverse(c, transform.forward(c, v)), v, 1e-3f);
    }
    // In place on planes, every whole level there and back.
    ColorPlane levels(256, 1);
    for (int x = 0; x < 256; ++x)
        levels.at(x, 0) = Vec3(float(x), float(255 - x), float((x * 7) % 256));
    ColorPlane plane = copyOf(levels);
    transform.forward(plane);
    EXPECT_GT(maxDifference(plane, levels), 10.0f);
    transform.inverse(plane);
    EXPECT_EQ(maxDifference(toPixels(plane), levels), 0.0f);
}

TEST(StabilisingTransform, UnbiasedInverseTakesClippingOutAndKeepsConstantImages)
{
    // ISO 3200 as measured: clipping hides the shadows' noise, the curve holds below level 40.
    const StabilisingTransform transform(
        curveOf({[](float v) { return cameraDeviation(std::max(v, 40.0f), 0.01f, 0.0005f); }}));
    // A camera's pixels at one level: Poisson-Gaussian noise in linear light, the sRGB curve,
    // clipped and rounded to 8 bits. The average of their transformed values comes back much
    // nearer the level close to black and white than by the plain inverse (there 3 to 13 off).
    std::mt19937 random(9);
    std::normal_distribution<double> noise;
    for (const float level : {5.0f, 15.0f, 250.0f}) {
        const double linear = std::pow((level / 255.0 + 0.055) / 1.055, 2.4);
        double sum = 0.0;
        constexpr int kDraws = 100000;
        for (int i = 0; i < kDraws; ++i) {
            const double l
                = std::max(linear + std::sqrt(0.01 * linear + 0.0005) * noise(random), 0.0);
            const double v = 255.0 * (1.055 * std::pow(l, 1.0 / 2.4) - 0.055);
            sum += transform.forward(0, std::round(float(std::clamp(v, 0.0, 255.0))));
        }
        const float mean = float(sum / kDraws);
        EXPECT_LT(std::fabs(transform.unbiasedInverse(0, mean) - level),
            0.6f * std::fabs(transform.inverse(0, mean) - level))
            << level;
    }
    // Six deviations away from the ends it is the plain inverse.
    for (float y = 80.0f; y <= 160.0f; y += 0.25f)
        ASSERT_EQ(transform.unbiasedInverse(0, y), transform.inverse(0, y)) << y;
    // A constant plane through the transform, a run and back, at black, white and mid-grey.
    const NormalTable table(5u);
    RunOptions options;
    options.table = &table;
    for (const float value : {0.0f, 128.0f, 255.0f}) {
        GrayPlane plane = filled(32, 32, value);
        transform.forward(plane);
        GrayPlane result;
        ASSERT_EQ(denoiseGray(plane, noiseLevelFor(transform.stabilisedSigma()), result, options),
            RunStatus::Done);
        transform.unbiasedInverse(result);
        EXPECT_EQ(maxDifference(toPixels(result), filled(32, 32, value)), 0.0f) << value;
    }
}
