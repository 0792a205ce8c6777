// pelta-denoise: the denoiser on the command line, from one image file to another.
#include "core/noise_estimate.h"
#include "core/run_observer.h"
#include "core/sample_tables.h"
#include "image/image_denoise.h"
#include "image/image_io.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

// The level of an image whose noise cannot be estimated (too flat or too small).
constexpr int kFallbackLevel = 20;

// Exit statuses, as the manual page lists them.
enum Exit {
    Success = 0,
    BadUsage = 1,
    UnreadableInput = 2,
    UnsupportedColorModel = 3,
    UnwritableOutput = 4,
    NotEnoughMemory = 5,
};

// A bar on standard error that one run redraws in place; the line is ended before any other
// output. Silent when disabled.
class ProgressLine : public RunObserver
{
public:
    explicit ProgressLine(bool enabled)
        : enabled(enabled)
    { }

    void progress(int percent) override
    {
        if (!enabled)
            return;
        constexpr int kWidth = 40;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\rDenoising [%s%s] %3d%%",
            std::string(std::size_t(filled), '#').c_str(),
            std::string(std::size_t(kWidth - filled), ' ').c_str(), percent);
        std::fflush(stderr);
        open = true;
    }

    void end()
    {
        if (open)
            std::fputc('\n', stderr);
        open = false;
    }

private:
    bool enabled;
    bool open = false;
};

// Qt's own warnings (a missing runtime directory, a decoder's remarks on a file) are not this
// program's messages: standard error carries the progress bar and one line per failure.
void onlyCriticalMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "pelta-denoise: %s\n", qUtf8Printable(message));
}

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "pelta-denoise: %s\n", qUtf8Printable(message));
    return status;
}

// The value of an int option within [low, high], or false.
bool intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int low,
    int high, int *value)
{
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    return ok && *value >= low && *value <= high;
}

int run(const QGuiApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Removes noise from an image file with Pelta's random-walk denoiser."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption sigmaOption(QStringLiteral("sigma"),
        QStringLiteral("Noise level, 1 to 99, or auto to estimate it from the image (default)."),
        QStringLiteral("N"), QStringLiteral("auto"));
    const QCommandLineOption threadsOption(QStringLiteral("threads"),
        QStringLiteral("Threads to run on (default: all hardware threads)."), QStringLiteral("N"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
        QStringLiteral("Seed of the random samples, for repeatable runs (default: the time)."),
        QStringLiteral("S"));
    const QCommandLineOption quietOption(
        QStringLiteral("q"), QStringLiteral("Quiet: show no progress bar."));
    parser.addOptions({sigmaOption, threadsOption, seedOption, quietOption});
    parser.addPositionalArgument(QStringLiteral("INPUT"), QStringLiteral("The image to denoise."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
        QStringLiteral("The file to write; its suffix chooses the format."));

    const QString usageHint = QStringLiteral(" (see --help)");
    if (!parser.parse(app.arguments()))
        return fail(BadUsage, parser.errorText() + usageHint);
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(Success);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QString levelUsage = QStringLiteral("--sigma takes a whole number from 1 to 99, or auto");
    const bool estimated = parser.value(sigmaOption) == QLatin1String("auto");
    int level = 0;
    if (!estimated && !intOption(parser, sigmaOption, 1, 99, &level))
        return fail(BadUsage, levelUsage);
    RunOptions options;
    constexpr int kMaxThreads = 1 << 20;
    if (parser.isSet(threadsOption)
        && !intOption(parser, threadsOption, 1, kMaxThreads, &options.threads))
        return fail(BadUsage,
            QStringLiteral("--threads takes a whole number from 1 to %1").arg(kMaxThreads));
    unsigned seed = 0;
    if (parser.isSet(seedOption)) {
        bool ok = false;
        seed = parser.value(seedOption).toUInt(&ok);
        if (!ok)
            return fail(BadUsage, QStringLiteral("--seed takes an unsigned whole number"));
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 2)
        return fail(
            BadUsage, QStringLiteral("expected two file names, INPUT and OUTPUT") + usageHint);
    const QString &input = files[0];
    const QString &output = files[1];

    // Known before reading anything, so that a long run never ends in a format error or in a
    // folder that cannot take the file (the save writes a temporary file beside the target).
    const QFileInfo outputInfo(output);
    const QByteArray format = outputInfo.suffix().toLower().toLatin1();
    if (!QImageWriter::supportedImageFormats().contains(format)) {
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: its suffix names no image format that can be written")
                .arg(output));
    }
    const QFileInfo folder(outputInfo.absolutePath());
    if (!folder.isDir())
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: there is no folder %2")
                .arg(output, folder.filePath()));
    if (!folder.isWritable())
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: the folder %2 is not writable")
                .arg(output, folder.filePath()));

    ImageReadResult read = readImageFile(input);
    if (read.image.isNull())
        return fail(
            UnreadableInput, QStringLiteral("cannot read %1: %2").arg(input, read.errorText));

    const bool quiet = parser.isSet(quietOption);
    if (estimated) {
        // The level used goes to standard error whether or not it is a terminal, so that a
        // script's log says what was done.
        const std::optional<float> noise = estimateImageNoise(read.image);
        level = noise ? noiseLevelFor(*noise) : kFallbackLevel;
        if (!quiet)
            std::fprintf(stderr,
                noise
                    ? "noise level %d (estimated)\n"
                    : "noise level %d (the noise could not be estimated: too flat or too small)\n",
                level);
    }

    ProgressLine progress(!quiet && isatty(STDERR_FILENO));
    options.observer = &progress;
    ImageDenoiseStatus status = ImageDenoiseStatus::OutOfMemory;
    try {
        std::unique_ptr<NormalTable> table;
        if (parser.isSet(seedOption)) {
            table = std::make_unique<NormalTable>(seed);
            options.table = table.get();
        }
        status = denoiseQImage(read.image, level, options);
    } catch (const std::bad_alloc &) {
        status = ImageDenoiseStatus::OutOfMemory;
    }
    progress.end();
    switch (status) {
    case ImageDenoiseStatus::Done:
        break;
    case ImageDenoiseStatus::UnsupportedColorModel:
        return fail(UnsupportedColorModel,
            QStringLiteral("cannot denoise %1: only RGB and grayscale images are supported")
                .arg(input));
    case ImageDenoiseStatus::OutOfMemory:
        return fail(NotEnoughMemory, QStringLiteral("not enough memory to denoise %1").arg(input));
    case ImageDenoiseStatus::InvalidLevel:
        return fail(BadUsage, levelUsage);
    case ImageDenoiseStatus::Cancelled:
        // Nothing here asks a run to stop.
        return fail(BadUsage, QStringLiteral("the run stopped before its end"));
    }
    QString error;
    if (!writeImageFile(read.image, output, &error))
        return fail(UnwritableOutput, QStringLiteral("cannot write %1: %2").arg(output, error));
    return Success;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's SVG reader lays out text, which needs a GUI application, and with no display one
    // would end the process; the offscreen platform gives fonts without any display.
    qInstallMessageHandler(onlyCriticalMessages);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelta-denoise"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELTA_VERSION));
    try {
        return run(app);
    } catch (const std::bad_alloc &) {
        return fail(NotEnoughMemory, QStringLiteral("not enough memory"));
    }
}
