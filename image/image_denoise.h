// Denoising a QImage: the colour-model test, pixels into planes, the run, and the write-back.
#pragma once

#include "core/denoise_run.h"
#include "core/noise_estimate.h"

#include <QImage>

#include <cstdint>
#include <optional>

// How a denoise of a QImage ended. Only Done changes the image.
enum class ImageDenoiseStatus {
    Done,
    UnsupportedColorModel, // neither RGB nor Grayscale: indexed, mono, alpha-only, BGR
    OutOfMemory, // the estimate exceeded the memory available, or an allocation failed
    Cancelled, // the observer asked to stop
    InvalidLevel, // a noise level below 1
};

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

// The bytes a denoise of this image allocates besides the image itself: the run's working set,
// the source plane and the result image. -1 for an unsupported format.
std::int64_t imageDenoiseBytes(const QImage &image, bool buildsTable, int threads);

// The noise in the image (0..255 scale), as measureNoise measures it; unmeasurable for a format
// the denoiser refuses or when memory runs short. Large images are measured in up to eight bands
// of rows spread over their height, about a million pixels each, and the median of the measured
// ones taken (no noise when none measured any and one found none): the whole image counts
// without its planes being built at once.
NoiseMeasurement measureImageNoise(const QImage &image);
// The deviation measureImageNoise measures, or nothing when it measured none.
std::optional<float> estimateImageNoise(const QImage &image);

// Denoises `image` at noise level `level` (1 or more) with the given run options. The result is
// written into a new image that is allocated, and counted against the memory limit, before the
// run starts; `image` is replaced by it only when the whole result has been written. On any
// other status `image` is left exactly as it was. The observer in `options` follows the whole
// denoise as one rising percentage: reading the pixels into planes, the run's stages, writing
// the result back, then 100; a cancel stops each of them. Never shows anything: the caller
// reports.
ImageDenoiseStatus denoiseQImage(QImage &image, int level, const RunOptions &options = {});
