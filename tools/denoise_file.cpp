// Reading, estimating, denoising and writing one file, and the console they report on.
#include "tools/denoise_file.h"

#include "core/noise_estimate.h"
#include "core/system_memory.h"
#include "image/image_denoise.h"
#include "image/noise_model.h"
#include "tools/interrupt.h"

#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

// The level of an image whose noise cannot be estimated (too flat or too small).
constexpr int kFallbackLevel = 20;

// False when the format keeps fewer colours than the image has: bilevel formats any image, pgm
// one that is not gray.
bool holdsColours(const QString &format, const QImage &image)
{
    if (format == QLatin1String("pbm") || format == QLatin1String("xbm")
        || format == QLatin1String("wbmp"))
        return false;
    return format != QLatin1String("pgm") || image.allGray();
}

} // namespace

void Console::progress(const QString &text)
{
    if (!showsProgress_)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Spaces wipe the end of a longer line drawn before.
    const int length = int(text.size());
    const QByteArray padding(std::max(drawn_ - length, 0), ' ');
    std::fprintf(stderr, "\r%s%s", qUtf8Printable(text), padding.constData());
    std::fflush(stderr);
    drawn_ = length;
}

void Console::line(const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    endLocked();
    std::fprintf(stderr, "%s\n", qUtf8Printable(text));
}

void Console::end()
{
    std::lock_guard<std::mutex> lock(mutex_);
    endLocked();
}

void Console::endLocked()
{
    if (drawn_ > 0)
        std::fputc('\n', stderr);
    drawn_ = 0;
}

QString barText(int filled, int width)
{
    return QLatin1Char('[') + QString(filled, QLatin1Char('#'))
        + QString(width - filled, QLatin1Char(' ')) + QLatin1Char(']');
}

int loadInput(const FileJob &job, QImageReader &reader, const FileSettings &settings,
    Console &console, LoadedInput *input)
{
    ImageReadResult read = readImage(reader, availableMemoryBytes());
    if (read.image.isNull()) {
        if (job.quietAboutMemory && read.errorText == tooLargeErrorText())
            return NotEnoughMemory;
        console.failure(QStringLiteral("cannot read %1: %2").arg(job.input, read.errorText));
        return UnreadableInput;
    }
    input->image = read.image;
    input->level = settings.level > 0 ? settings.level : kFallbackLevel;
    input->write = settings.write;
    input->write.replaceExisting = job.replaceExisting;
    if (!settings.stripMetadata)
        input->write.metadata = read.metadata;
    const QString format = QFileInfo(job.output).suffix().toLower();
    if (!holdsColours(format, input->image)) {
        console.failure(QStringLiteral("cannot write %1: a %2 file cannot hold the colours of %3")
                            .arg(job.output, format, job.input));
        return UnwritableOutput;
    }
    // An image the denoiser refuses has no level to say.
    if (settings.level > 0 || denoisePathOf(input->image.format()) == DenoisePath::Unsupported)
        return Success;
    // The level used goes to standard error whether or not it is a terminal, so that a script's
    // log says what was done.
    const NoiseMeasurement noise = measureImageNoise(input->image);
    QString note;
    switch (noise.outcome) {
    case NoiseMeasurement::Outcome::Measured:
        input->level = noiseLevelFor(noise.deviation);
        note = QStringLiteral("noise level %1 (estimated)").arg(input->level);
        if (settings.uniformNoise)
            break;
        if (std::optional<ImageNoiseModel> model = measureImageNoiseModel(input->image);
            model && model->transform) {
            input->level = model->level;
            input->noiseModel = std::move(model->transform);
            note = QStringLiteral("noise level %1 (estimated), %2 in the shadows, %3 in the "
                                  "highlights")
                       .arg(input->level)
                       .arg(qRound(model->shadows))
                       .arg(qRound(model->highlights));
        }
        break;
    case NoiseMeasurement::Outcome::NoNoise:
        input->level = 0;
        note = QStringLiteral("no noise measured: written unchanged");
        break;
    case NoiseMeasurement::Outcome::Unmeasurable:
        input->level = kFallbackLevel;
        note = QStringLiteral(
            "noise level %1 (the noise could not be estimated: too flat or too small)")
                   .arg(input->level);
        break;
    }
    if (!settings.quiet)
        console.line(job.label + note);
    return Success;
}

int notEnoughMemory(const FileJob &job, Console &console)
{
    if (job.quietAboutMemory)
        return NotEnoughMemory;
    console.failure(QStringLiteral("not enough memory to denoise %1").arg(job.input));
    return NotEnoughMemory;
}

int denoiseAndWrite(
    const FileJob &job, LoadedInput &input, const RunOptions &options, Console &console)
{
    const RunStatus status = input.level == 0
        ? RunStatus::Done
        : denoiseQImage(input.image, {input.level, options, input.noiseModel});
    console.end();
    switch (status) {
    case RunStatus::Done:
        break;
    case RunStatus::UnsupportedColorModel:
        console.failure(
            QStringLiteral("cannot denoise %1: only RGB and grayscale images are supported")
                .arg(job.input));
        return UnsupportedColorModel;
    case RunStatus::OutOfMemory:
        return notEnoughMemory(job, console);
    case RunStatus::InvalidLevel:
        // The level is checked when the options are read.
        console.failure(QStringLiteral("no valid noise level for %1").arg(job.input));
        return BadUsage;
    case RunStatus::Cancelled:
        return interruptedStatus();
    }
    QString error;
    if (!writeImageFile(input.image, job.output, &error, input.write)) {
        console.failure(QStringLiteral("cannot write %1: %2").arg(job.output, error));
        return UnwritableOutput;
    }
    return Success;
}
