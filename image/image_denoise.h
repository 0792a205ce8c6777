// Denoising a QImage: the colour-model test, pixels into planes, the run, and the write-back.
#pragma once

#include "core/noise_estimate.h"
#include "core/noise_transform.h"
#include "core/plane_run.h"

#include <QImage>
#include <QSize>

#include <cstdint>
#include <optional>
#include <utility>

// Which plane type a pixel format is denoised in.
enum class DenoisePath {
    Gray,
    Color,
    Unsupported,
};

// The RGB colour model takes the colour path and the Grayscale model the gray path; every other
// model (indexed and one-bit formats, alpha-only, BGR-ordered) is refused. No conversion is tried.
DenoisePath denoisePathOf(QImage::Format format);

// The pixels on the 0..255 scale the denoiser works on. Formats of 8 bits per channel or less
// read whole levels; Grayscale16 and the 10- and 16-bit RGB formats keep their fractions.
// Premultiplied formats are read unpremultiplied. Alpha is not read. Throw std::bad_alloc when
// the plane cannot be had. The image must be of the matching path.
GrayPlane grayPlaneOf(const QImage &image);
ColorPlane colorPlaneOf(const QImage &image);

// A new image of the source's size, format and metadata (resolution, text, colour space), its
// pixels not yet written; a null image when it cannot be allocated.
QImage blankCopyOf(const QImage &source);

// Writes the denoised values into every pixel of `target` (a blankCopyOf(source)): each value
// clamped to [0, 255], then rounded half away from zero to a whole level on formats of 8 bits
// per channel or less, or kept to the format's finer steps on the others. Gray values are
// written as (v, v, v). Every pixel keeps the alpha it has in `source`.
void writeGray(const GrayPlane &values, const QImage &source, QImage &target);
void writeColor(const ColorPlane &values, const QImage &source, QImage &target);

// What a caller asks of one denoise of an image: the level, how the run goes (threads, sample
// table, observer, memory limit) and the noise model. Without a transform the noise is taken as
// the same everywhere (the uniform model). With one (measureImageNoiseModel), the source planes
// are evened out by it as they are read, the run goes at `level` (a level of the evened values),
// and the results are mapped back by its unbiased inverse before they are clamped and rounded:
// in place on the planes, so the bytes the plan counts hold either way.
struct DenoiseRequest
{
    DenoiseRequest() = default;
    DenoiseRequest(int level, const RunOptions &options,
        std::optional<StabilisingTransform> noiseModel = std::nullopt)
        : level(level)
        , options(options)
        , noiseModel(std::move(noiseModel))
    { }

    int level = 0; // 1 or more
    RunOptions options;
    std::optional<StabilisingTransform> noiseModel;
};

// What a denoise of an image would do, known before any work: the path its colour model takes,
// the bytes it allocates besides the image itself (the run's working set, the source plane and
// the result image; 0 on no path), and the status it would end in before starting
// (UnsupportedColorModel, then InvalidLevel, then OutOfMemory when those bytes and the request's
// callerBytes exceed its memory limit), else Done.
struct DenoisePlan
{
    DenoisePath path = DenoisePath::Unsupported;
    std::int64_t bytes = 0;
    RunStatus status = RunStatus::UnsupportedColorModel;
};

// The plan for an image of this size and pixel format, before it is decoded.
DenoisePlan planDenoise(const QSize &size, QImage::Format format, const DenoiseRequest &request);
DenoisePlan planDenoise(const QImage &image, const DenoiseRequest &request);

// The noise in the image (0..255 scale), as measureNoise measures it; unmeasurable for a format
// the denoiser refuses or when memory runs short. Large images are measured in up to eight strips
// of rows spread over their height, about a million pixels each, and the median of the measured
// ones taken (no noise when none measured any and one found none): the whole image counts
// without its planes being built at once.
NoiseMeasurement measureImageNoise(const QImage &image);
// The deviation measureImageNoise measures, or nothing when it measured none.
std::optional<float> estimateImageNoise(const QImage &image);

// Carries out the request on `image`: first its plan, whose status other than Done it returns
// without touching anything; then the run at the request's level. The result is written into a
// new image that is allocated, and counted against the memory limit, before the run starts;
// `image` is replaced by it only when the whole result has been written. On any other status
// `image` is left exactly as it was. The observer in the request's options follows the whole
// denoise as one rising percentage: reading the pixels into planes, the run's stages, writing
// the result back, then 100; a cancel stops each of them. The one place where a failed
// allocation of a denoise becomes OutOfMemory for its callers. Never shows anything: the
// caller reports.
RunStatus denoiseQImage(QImage &image, const DenoiseRequest &request);
