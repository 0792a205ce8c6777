// The camera noise model of an image, from a plane of its rows.
#include "image/noise_model.h"

#include "core/noise_estimate.h"
#include "image/image_denoise.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The evened values are denoised this many levels above the level for their measured noise. A
// level too low costs more than one too high (on camera-like photographs, 0.14 dB one level
// below the best against 0.11 one above on average, and up to 1 dB two below on a smooth one),
// and the evened noise reads low where the mask misses part of it: noise that JPEG has
// correlated between neighbours, smooth images whose best level lies above their noise. The
// uniform path keeps its level: it is tuned on noise the mask reads fully.
constexpr int kLevelAboveEvened = 1;

// The rows the curve reads: the whole image as a plane, or triples of neighbouring rows around
// evenly spaced centre rows stacked into one plane. `triples` says which.
template<typename Cell>
Plane<Cell> sampledPlane(const QImage &image, bool *triples)
{
    const auto planeOf = [](const QImage &part) {
        if constexpr (std::is_same_v<Cell, float>)
            return grayPlaneOf(part);
        else
            return colorPlaneOf(part);
    };
    const int width = image.width();
    const std::int64_t inner = image.height() - 2;
    const std::int64_t perRow = std::max(width - 2, 1);
    const std::int64_t count = (noiseCurveSamples() + perRow - 1) / perRow;
    *triples = count < inner;
    if (!*triples)
        return planeOf(image);
    Plane<Cell> plane(width, int(3 * count));
    for (std::int64_t k = 0; k < count; ++k) {
        const int centre = int(1 + k * inner / count);
        const Plane<Cell> rows = planeOf(image.copy(0, centre - 1, width, 3));
        for (int r = 0; r < 3; ++r)
            std::memcpy(plane.row(int(3 * k) + r), rows.row(r), sizeof(Cell) * std::size_t(width));
    }
    return plane;
}

template<typename Cell>
std::optional<ImageNoiseModel> measureOn(const QImage &image)
{
    bool triples = false;
    Plane<Cell> plane = sampledPlane<Cell>(image, &triples);
    const std::optional<NoiseCurve> curve
        = triples ? measureNoiseCurveOfTriples(plane) : measureNoiseCurve(plane);
    if (!curve)
        return std::nullopt;
    ImageNoiseModel model;
    model.curve = *curve;
    int measured = 0;
    for (int c = 0; c < curve->channels; ++c) {
        const auto channel = std::size_t(c);
        if (curve->measuredLow[channel] > curve->measuredHigh[channel])
            continue;
        ++measured;
        model.shadows += curve->at(c, curve->measuredLow[channel]);
        model.highlights += curve->at(c, curve->measuredHigh[channel]);
    }
    model.shadows /= float(std::max(measured, 1));
    model.highlights /= float(std::max(measured, 1));
    if (curve->flat)
        return model;
    model.transform.emplace(*curve);
    model.transform->forward(plane);
    const NoiseMeasurement evened = triples ? measureNoiseOfTriples(plane) : measureNoise(plane);
    const float stabilised = model.transform->stabilisedSigma();
    const int measuredLevel = std::max(noiseLevelFor(stabilised),
        noiseLevelFor(
            evened.outcome == NoiseMeasurement::Outcome::Measured ? evened.deviation : stabilised));
    model.level = std::min(measuredLevel + kLevelAboveEvened, 99);
    return model;
}

} // namespace

std::optional<ImageNoiseModel> measureImageNoiseModel(const QImage &image)
{
    const DenoisePath path = denoisePathOf(image.format());
    if (path == DenoisePath::Unsupported || image.isNull())
        return std::nullopt;
    try {
        return path == DenoisePath::Gray ? measureOn<float>(image) : measureOn<Vec3>(image);
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
}
