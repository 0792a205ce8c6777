// The camera noise model of an image: its noise curve, measured once on the whole image, and the
// level to denoise it at once the curve's transform has evened the noise out.
#pragma once

#include "core/noise_curve.h"
#include "core/noise_transform.h"

#include <QImage>

#include <optional>

struct ImageNoiseModel
{
    NoiseCurve curve;
    // The curve's transform for a DenoiseRequest; nothing when the curve is flat: the noise is
    // the same everywhere, the uniform level describes it and today's path runs unchanged.
    std::optional<StabilisingTransform> transform;
    // With a transform, the level to run at in the evened values: one above the larger of the
    // levels for the transform's deviation and for the noise measured in the evened image (both
    // fall short where the mask under-reads noise, as JPEG's correlated noise, and a level too
    // low costs more than one too high). 0 without.
    int level = 0;
    // The curve at its darkest and brightest measured levels, the mean of the channels.
    float shadows = 0.0f;
    float highlights = 0.0f;
};

// The model of the image's noise; nothing for a format the denoiser refuses, when the curve could
// not be measured (see measureNoiseCurve) or when memory runs short. The whole image is read when
// it holds about noiseCurveSamples() pixels per channel or fewer; a larger one on that many in
// evenly spaced triples of neighbouring rows (the rows the curve reads and their neighbours), so
// that at most about three times as many pixels are held (1.6 million: 19 MB in colour) and never
// the whole image's planes.
std::optional<ImageNoiseModel> measureImageNoiseModel(const QImage &image);
