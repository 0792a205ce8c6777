// QImage <-> planes for the denoiser, and one whole denoise of an image.
#include "image_denoise.h"

#include "core/cell_math.h"
#include "core/noise_estimate.h"
#include "core/run_observer.h"
#include "core/run_threads.h"
#include "core/staged_progress.h"
#include "core/system_memory.h"

#include <QColor>
#include <QColorSpace>
#include <QPixelFormat>
#include <QRgba64>

#include <algorithm>
#include <cmath>
#include <new>
#include <type_traits>
#include <vector>

namespace {

// 16-bit channel values and the 0..255 scale: 65535 = 255 * 257.
constexpr float kSixteenBitStep = 257.0f;

// Formats whose colour needs more than pixel(): premultiplied ones, which pixel() hands out
// premultiplied, and those of more than 8 bits per channel, which pixel() cuts to 8 bits.
bool readsThroughColor(const QImage &image)
{
    const QPixelFormat format = image.pixelFormat();
    return format.premultiplied() == QPixelFormat::Premultiplied || format.redSize() > 8;
}

// std::roundf for values from 0 to 2^23, halves away from zero, without a call into the maths
// library (the plain x86-64 target has no rounding instruction): v less its whole part is exact.
int roundedNonNegative(float v)
{
    const int whole = int(v);
    return whole + (v - float(whole) >= 0.5f ? 1 : 0);
}

int wholeLevel(float v)
{
    return roundedNonNegative(clampToPixel(v));
}

quint16 sixteenBitLevel(float v)
{
    return quint16(roundedNonNegative(clampToPixel(v) * kSixteenBitStep));
}

QRgba64 toRgba64(Vec3 v, quint16 alpha)
{
    return QRgba64::fromRgba64(
        sixteenBitLevel(v.r), sixteenBitLevel(v.g), sixteenBitLevel(v.b), alpha);
}

// Rows [rowBegin, rowEnd) of grayPlaneOf and colorPlaneOf, and of writeGray and writeColor.
void readRows(const QImage &image, GrayPlane &plane, int rowBegin, int rowEnd);
void readRows(const QImage &image, ColorPlane &plane, int rowBegin, int rowEnd);
// The writes take the target's bits from the caller, which detached it (bits()) on its own
// thread.
void writeRows(const GrayPlane &values, const QImage &source, QImage &target, uchar *bits,
    int rowBegin, int rowEnd);
void writeRows(const ColorPlane &values, const QImage &source, QImage &target, uchar *bits,
    int rowBegin, int rowEnd);

// True when writeRows writes the image's lines through plain pointers, never through a member
// of the target that may detach it: then bands of rows may be written on several threads at once.
bool writesDirectly(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || format == QImage::Format_Grayscale8 || format == QImage::Format_Grayscale16;
}

// Line y of an image whose bits were taken once, on the thread that owns it.
uchar *lineOf(uchar *bits, const QImage &image, int y)
{
    return bits + std::ptrdiff_t(y) * image.bytesPerLine();
}

// Where reading the pixels into planes ends and writing them back begins on the scale of 0 to
// 100 of a whole denoise. On a colour photograph in RGB32 each took about 1 % of the time (0.5 s
// of 56 s for 6 megapixels); formats read through QColor take far longer.
constexpr int kReadAt = 2;
constexpr int kWriteFrom = 98;

// The noise model's transform over rows [rowBegin, rowEnd): forward or by the unbiased inverse.
void transformRows(
    const StabilisingTransform &model, bool forward, GrayPlane &plane, int rowBegin, int rowEnd)
{
    for (int y = rowBegin; y < rowEnd; ++y) {
        float *row = plane.row(y);
        for (int x = 0; x < plane.width(); ++x)
            row[x] = forward ? model.forward(0, row[x]) : model.unbiasedInverse(0, row[x]);
    }
}

void transformRows(
    const StabilisingTransform &model, bool forward, ColorPlane &plane, int rowBegin, int rowEnd)
{
    const auto map = [&](int c, float v) {
        return forward ? model.forward(c, v) : model.unbiasedInverse(c, v);
    };
    for (int y = rowBegin; y < rowEnd; ++y) {
        Vec3 *row = plane.row(y);
        for (int x = 0; x < plane.width(); ++x)
            row[x] = Vec3(map(0, row[x].r), map(1, row[x].g), map(2, row[x].b));
    }
}

template<typename Cell>
RunStatus runOn(QImage &image, const DenoiseRequest &request, std::int64_t resultBytes)
{
    const int level = request.level;
    const RunOptions &options = request.options;
    const StabilisingTransform *model = request.noiseModel ? &*request.noiseModel : nullptr;
    QImage result = blankCopyOf(image);
    if (result.isNull())
        return RunStatus::OutOfMemory;
    RunOptions run = options;
    run.callerBytes = options.callerBytes + resultBytes;
    // Reading and writing the pixels are stages of the run as the user sees it: they report
    // and can be cancelled on the calling thread, in slices of rows like the run's own stages.
    // Rows convert independently of each other, so bands on all threads give the same pixels.
    StagedProgress staged(options.observer);
    const int threads = runThreads(options);
    const int writeThreads = writesDirectly(image.format()) ? threads : 1;

    Plane<Cell> values;
    {
        // Rows spread over the cache's sets: the workers read many rows of it at once.
        Plane<Cell> source(image.width(), image.height(), Plane<Cell>::spreadPitch(image.width()));
        RunStatus status = runRowStage(
            image.height(), threads,
            [&](ThreadControl &, int rowBegin, int rowEnd) {
                readRows(image, source, rowBegin, rowEnd);
                if (model)
                    transformRows(*model, true, source, rowBegin, rowEnd);
                return true;
            },
            staged.stage(0, kReadAt));
        run.observer = staged.stage(kReadAt, kWriteFrom);
        if (status == RunStatus::Done) {
            if constexpr (std::is_same_v<Cell, float>)
                status = denoiseGray(source, level, values, run);
            else
                status = denoiseColor(source, level, values, run);
        }
        if (status != RunStatus::Done)
            return status;
    }
    uchar *const bits = result.bits();
    const RunStatus status = runRowStage(
        image.height(), writeThreads,
        [&](ThreadControl &, int rowBegin, int rowEnd) {
            if (model)
                transformRows(*model, false, values, rowBegin, rowEnd);
            writeRows(values, image, result, bits, rowBegin, rowEnd);
            return true;
        },
        staged.stage(kWriteFrom, 100));
    if (status != RunStatus::Done)
        return status;
    if (options.observer) {
        options.observer->progress(100);
        if (options.observer->cancelRequested())
            return RunStatus::Cancelled;
    }
    image.swap(result);
    return RunStatus::Done;
}

} // namespace

DenoisePath denoisePathOf(QImage::Format format)
{
    if (format == QImage::Format_Invalid)
        return DenoisePath::Unsupported;
    switch (QImage::toPixelFormat(format).colorModel()) {
    case QPixelFormat::RGB:
        return DenoisePath::Color;
    case QPixelFormat::Grayscale:
        return DenoisePath::Gray;
    default:
        return DenoisePath::Unsupported;
    }
}

GrayPlane grayPlaneOf(const QImage &image)
{
    GrayPlane plane(image.width(), image.height());
    readRows(image, plane, 0, image.height());
    return plane;
}

ColorPlane colorPlaneOf(const QImage &image)
{
    ColorPlane plane(image.width(), image.height());
    readRows(image, plane, 0, image.height());
    return plane;
}

namespace {

void readRows(const QImage &image, GrayPlane &plane, int rowBegin, int rowEnd)
{
    const bool sixteen = image.format() == QImage::Format_Grayscale16;
    for (int y = rowBegin; y < rowEnd; ++y) {
        float *out = plane.row(y);
        if (sixteen) {
            const auto *in = reinterpret_cast<const quint16 *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                out[x] = float(in[x]) / kSixteenBitStep;
        } else {
            const uchar *in = image.constScanLine(y);
            for (int x = 0; x < image.width(); ++x)
                out[x] = float(in[x]);
        }
    }
}

void readRows(const QImage &image, ColorPlane &plane, int rowBegin, int rowEnd)
{
    const QImage::Format format = image.format();
    const bool direct = format == QImage::Format_RGB32 || format == QImage::Format_ARGB32;
    const bool throughColor = readsThroughColor(image);
    for (int y = rowBegin; y < rowEnd; ++y) {
        Vec3 *out = plane.row(y);
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (direct || !throughColor) {
                const QRgb p = direct ? line[x] : image.pixel(x, y);
                out[x] = Vec3(float(qRed(p)), float(qGreen(p)), float(qBlue(p)));
            } else {
                // pixelColor() unpremultiplies in 16 bits, so no fraction of a level is lost.
                const QRgba64 c = image.pixelColor(x, y).rgba64();
                out[x] = Vec3(float(c.red()) / kSixteenBitStep, float(c.green()) / kSixteenBitStep,
                    float(c.blue()) / kSixteenBitStep);
            }
        }
    }
}

} // namespace

QImage blankCopyOf(const QImage &source)
{
    QImage copy(source.size(), source.format());
    if (copy.isNull())
        return copy;
    copy.setDotsPerMeterX(source.dotsPerMeterX());
    copy.setDotsPerMeterY(source.dotsPerMeterY());
    copy.setOffset(source.offset());
    copy.setDevicePixelRatio(source.devicePixelRatio());
    copy.setColorSpace(source.colorSpace());
    const QStringList keys = source.textKeys();
    for (const QString &key : keys)
        copy.setText(key, source.text(key));
    return copy;
}

void writeGray(const GrayPlane &values, const QImage &source, QImage &target)
{
    writeRows(values, source, target, target.bits(), 0, target.height());
}

void writeColor(const ColorPlane &values, const QImage &source, QImage &target)
{
    writeRows(values, source, target, target.bits(), 0, target.height());
}

namespace {

void writeRows(const GrayPlane &values, const QImage &source, QImage &target, uchar *bits,
    int rowBegin, int rowEnd)
{
    const bool sixteen = source.format() == QImage::Format_Grayscale16;
    for (int y = rowBegin; y < rowEnd; ++y) {
        const float *in = values.row(y);
        if (sixteen) {
            auto *out = reinterpret_cast<quint16 *>(lineOf(bits, target, y));
            for (int x = 0; x < target.width(); ++x)
                out[x] = sixteenBitLevel(in[x]);
        } else {
            uchar *out = lineOf(bits, target, y);
            for (int x = 0; x < target.width(); ++x)
                out[x] = uchar(wholeLevel(in[x]));
        }
    }
}

void writeRows(const ColorPlane &values, const QImage &source, QImage &target, uchar *bits,
    int rowBegin, int rowEnd)
{
    const QImage::Format format = source.format();
    const bool direct = format == QImage::Format_RGB32 || format == QImage::Format_ARGB32;
    const bool throughColor = readsThroughColor(source);
    for (int y = rowBegin; y < rowEnd; ++y) {
        const Vec3 *in = values.row(y);
        const auto *sourceLine = reinterpret_cast<const QRgb *>(source.constScanLine(y));
        auto *targetLine = reinterpret_cast<QRgb *>(lineOf(bits, target, y));
        for (int x = 0; x < target.width(); ++x) {
            const Vec3 v = in[x];
            if (direct) {
                targetLine[x] = qRgba(
                    wholeLevel(v.r), wholeLevel(v.g), wholeLevel(v.b), qAlpha(sourceLine[x]));
            } else if (!throughColor) {
                target.setPixelColor(x, y,
                    QColor(wholeLevel(v.r), wholeLevel(v.g), wholeLevel(v.b),
                        qAlpha(source.pixel(x, y))));
            } else {
                // Straight colour in 16 bits: Qt premultiplies it and rounds once, to the
                // format's own steps.
                const quint16 alpha = source.pixelColor(x, y).rgba64().alpha();
                target.setPixelColor(x, y, QColor(toRgba64(v, alpha)));
            }
        }
    }
}

} // namespace

DenoisePlan planDenoise(const QSize &size, QImage::Format format, const DenoiseRequest &request)
{
    DenoisePlan plan;
    plan.path = denoisePathOf(format);
    if (plan.path == DenoisePath::Unsupported)
        return plan;
    const bool color = plan.path == DenoisePath::Color;
    const int width = std::max(size.width(), 0);
    const int height = std::max(size.height(), 0);
    // The source plane, its rows spread as runOn lays them out.
    const std::int64_t sourceBytes = color
        ? std::int64_t(ColorPlane::spreadPitch(width)) * height * std::int64_t(sizeof(Vec3))
        : std::int64_t(GrayPlane::spreadPitch(width)) * height * std::int64_t(sizeof(float));
    // The result image, as QImage lays out its lines: each padded to 32 bits.
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    const std::int64_t resultBytes = (std::int64_t(width) * depth + 31) / 32 * 4 * height;
    const RunOptions &options = request.options;
    plan.bytes = runWorkingSetBytes(width, height, color, !options.table, runThreads(options))
        + sourceBytes + resultBytes;
    if (request.level < 1) {
        plan.status = RunStatus::InvalidLevel;
        return plan;
    }
    const std::int64_t limit
        = options.memoryLimit >= 0 ? options.memoryLimit : availableMemoryBytes();
    const bool fits = limit < 0 || plan.bytes + options.callerBytes <= limit;
    plan.status = fits ? RunStatus::Done : RunStatus::OutOfMemory;
    return plan;
}

DenoisePlan planDenoise(const QImage &image, const DenoiseRequest &request)
{
    return planDenoise(image.size(), image.format(), request);
}

NoiseMeasurement measureImageNoise(const QImage &image)
{
    using Outcome = NoiseMeasurement::Outcome;
    const DenoisePath path = denoisePathOf(image.format());
    if (path == DenoisePath::Unsupported) // a null image too: its format is Format_Invalid
        return {};
    constexpr std::int64_t kStripPixels = std::int64_t(1) << 20;
    constexpr int kMaxStrips = 8;
    const int width = image.width();
    const int height = image.height();
    // At least 16 rows a strip, and never more than the image has (a clamp would have its bounds
    // crossed on an image under 16 rows).
    const int stripRows
        = int(std::min<std::int64_t>(std::max<std::int64_t>(kStripPixels / width, 16), height));
    const int strips = stripRows >= height ? 1 : std::min(kMaxStrips, height / stripRows);
    std::vector<float> estimates;
    bool noNoise = false;
    try {
        for (int k = 0; k < strips; ++k) {
            const int top
                = strips == 1 ? 0 : int(std::int64_t(height - stripRows) * k / (strips - 1));
            const QImage strip = strips == 1 ? image : image.copy(0, top, width, stripRows);
            const NoiseMeasurement measurement = path == DenoisePath::Gray
                ? measureNoise(grayPlaneOf(strip))
                : measureNoise(colorPlaneOf(strip));
            if (measurement.outcome == Outcome::Measured)
                estimates.push_back(measurement.deviation);
            noNoise = noNoise || measurement.outcome == Outcome::NoNoise;
        }
    } catch (const std::bad_alloc &) {
        return {};
    }
    if (estimates.empty())
        return {noNoise ? Outcome::NoNoise : Outcome::Unmeasurable, 0.0f};
    const auto middle = estimates.begin() + std::ptrdiff_t(estimates.size() / 2);
    std::nth_element(estimates.begin(), middle, estimates.end());
    return {Outcome::Measured, *middle};
}

std::optional<float> estimateImageNoise(const QImage &image)
{
    const NoiseMeasurement measurement = measureImageNoise(image);
    if (measurement.outcome != NoiseMeasurement::Outcome::Measured)
        return std::nullopt;
    return measurement.deviation;
}

RunStatus denoiseQImage(QImage &image, const DenoiseRequest &request)
{
    // Everything this call will hold at once, checked before the first allocation. The run
    // checks again, against the memory left once the source plane has been filled.
    const DenoisePlan plan = planDenoise(image, request);
    if (plan.status != RunStatus::Done) // a null image too: its format is Format_Invalid
        return plan.status;
    try {
        const std::int64_t resultBytes = std::int64_t(image.sizeInBytes());
        if (plan.path == DenoisePath::Gray)
            return runOn<float>(image, request, resultBytes);
        return runOn<Vec3>(image, request, resultBytes);
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }
}
