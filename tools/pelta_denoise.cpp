// pelta-denoise: the denoiser on the command line, from one image file to another, or from many
// files and folders into one folder.
#include "image/metadata.h"
#include "tools/interrupt.h"
#include "tools/tool_forms.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>
#include <new>
#include <optional>
#include <utility>

namespace {

// Qt's own warnings (a missing runtime directory, a decoder's remarks on a file) are not this
// program's messages: standard error carries the progress bar and one line per failure.
void onlyCriticalMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "pelta-denoise: %s\n", qUtf8Printable(message));
}

// The value of an int option within [low, high], or false.
bool intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int low,
    int high, int *value)
{
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    return ok && *value >= low && *value <= high;
}

// The tool's options, their help texts and the parser that reads them.
struct CommandLine
{
    CommandLine();

    QCommandLineParser parser;
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption sigma {QStringLiteral("sigma"),
        QStringLiteral("Noise level, 1 to 99, or auto to estimate it from each image (default)."),
        QStringLiteral("N"), QStringLiteral("auto")};
    const QCommandLineOption uniformNoise {QStringLiteral("uniform-noise"),
        QStringLiteral("With --sigma auto: take the noise as the same at every brightness, "
                       "without the curve measured for camera noise.")};
    const QCommandLineOption threads {QStringLiteral("threads"),
        QStringLiteral("Threads to run on (default: all hardware threads)."), QStringLiteral("N")};
    const QCommandLineOption seed {QStringLiteral("seed"),
        QStringLiteral("Seed of the random samples, for repeatable runs (default: the time)."),
        QStringLiteral("S")};
    const QCommandLineOption quiet {QStringLiteral("q"),
        QStringLiteral("Quiet: show no progress bar and no estimated level, only failures.")};
    const QCommandLineOption outputDir {{QStringLiteral("o"), QStringLiteral("output-dir")},
        QStringLiteral("Write the result of every INPUT into this folder, made if missing."),
        QStringLiteral("DIR")};
    const QCommandLineOption suffix {QStringLiteral("suffix"),
        QStringLiteral("With -o: text added to each output's base name."), QStringLiteral("TEXT")};
    const QCommandLineOption format {QStringLiteral("format"),
        QStringLiteral("With -o: the outputs' format and extension (default: each input's own "
                       "when it can be written, else png)."),
        QStringLiteral("EXT")};
    const QCommandLineOption recursive {
        QStringLiteral("r"), QStringLiteral("With -o: list folders with their sub-folders.")};
    const QCommandLineOption overwrite {QStringLiteral("overwrite"),
        QStringLiteral("With -o: replace existing outputs (never an input).")};
    const QCommandLineOption quality {QStringLiteral("quality"),
        QStringLiteral("Quality of lossy outputs (JPEG, WebP, AVIF, HEIF, JPEG XL), 1 to 100 "
                       "(default 95)."),
        QStringLiteral("Q"), QStringLiteral("95")};
    const QCommandLineOption stripMetadata {QStringLiteral("strip-metadata"),
        QStringLiteral("Write no EXIF, IPTC or XMP (camera, dates, GPS position, ...) and no "
                       "texts; the colour profile stays.")};
};

CommandLine::CommandLine()
{
    parser.setApplicationDescription(
        QStringLiteral("Removes noise from image files with Pelta's random-walk denoiser."));
    parser.addOptions({sigma, uniformNoise, threads, seed, quiet, quality, stripMetadata, outputDir,
        suffix, format, recursive, overwrite});
    parser.addPositionalArgument(QStringLiteral("INPUT"),
        QStringLiteral("The image to denoise; with -o, images and folders of images."),
        QStringLiteral("INPUT..."));
    parser.addPositionalArgument(QStringLiteral("OUTPUT"),
        QStringLiteral("Without -o: the file to write; its suffix chooses the format."),
        QStringLiteral("[OUTPUT | -o DIR]"));
}

const QString usageHint = QStringLiteral(" (see --help)");

// The settings every file is denoised with, and the seed; a usage failure's status, or Success.
int readSettings(const CommandLine &line, FileSettings *settings, std::optional<unsigned> *seed)
{
    const QCommandLineParser &parser = line.parser;
    const bool estimated = parser.value(line.sigma) == QLatin1String("auto");
    if (!estimated && !intOption(parser, line.sigma, 1, 99, &settings->level))
        return fail(BadUsage, QStringLiteral("--sigma takes a whole number from 1 to 99, or auto"));
    // More threads than the largest machines have only cost memory: each reserves an 8 MiB stack
    // and, in glibc, up to 64 MiB of address space for its malloc arena.
    constexpr int kMaxThreads = 1024;
    if (parser.isSet(line.threads)
        && !intOption(parser, line.threads, 1, kMaxThreads, &settings->options.threads))
        return fail(BadUsage,
            QStringLiteral("--threads takes a whole number from 1 to %1").arg(kMaxThreads));
    if (parser.isSet(line.seed)) {
        bool ok = false;
        *seed = parser.value(line.seed).toUInt(&ok);
        if (!ok)
            return fail(BadUsage, QStringLiteral("--seed takes an unsigned whole number"));
    }
    if (!intOption(parser, line.quality, 1, 100, &settings->write.quality))
        return fail(BadUsage, QStringLiteral("--quality takes a whole number from 1 to 100"));
    settings->stripMetadata = parser.isSet(line.stripMetadata);
    settings->write.keepText = !settings->stripMetadata;
    settings->quiet = parser.isSet(line.quiet);
    settings->uniformNoise = parser.isSet(line.uniformNoise);
    return Success;
}

// INPUT... -o DIR: the folder checked (and made) before any work, then one sample table for
// every file, from the seed or the clock.
int runBatchForm(const CommandLine &line, FileSettings settings, std::optional<unsigned> seed)
{
    const QCommandLineParser &parser = line.parser;
    const QStringList inputs = parser.positionalArguments();
    if (inputs.isEmpty())
        return fail(BadUsage, QStringLiteral("expected at least one INPUT") + usageHint);
    const BatchNaming naming {parser.value(line.outputDir), parser.value(line.suffix),
        parser.value(line.format).toLower(), parser.isSet(line.recursive),
        parser.isSet(line.overwrite)};
    if (naming.suffix.contains(QLatin1Char('/')))
        return fail(BadUsage, QStringLiteral("--suffix may not hold a /"));
    if (!naming.format.isEmpty()
        && !QImageWriter::supportedImageFormats().contains(naming.format.toLatin1()))
        return fail(BadUsage,
            QStringLiteral("--format takes a format that can be written, such as png or jpg"));
    return runBatchFiles(inputs, naming, std::move(settings), seed);
}

// INPUT OUTPUT, which takes none of the batch's options.
int runOneFileForm(
    const CommandLine &line, const FileSettings &settings, std::optional<unsigned> seed)
{
    for (const QCommandLineOption *option :
        {&line.suffix, &line.format, &line.recursive, &line.overwrite})
        if (line.parser.isSet(*option))
            return fail(BadUsage,
                QStringLiteral("--%1 needs -o DIR").arg(option->names().constLast()) + usageHint);
    const QStringList files = line.parser.positionalArguments();
    if (files.size() != 2)
        return fail(
            BadUsage, QStringLiteral("expected two file names, INPUT and OUTPUT") + usageHint);
    return runOneFile({files[0], files[1], QString()}, settings, seed);
}

int run(const QGuiApplication &app)
{
    CommandLine line;
    if (!line.parser.parse(app.arguments()))
        return fail(BadUsage, line.parser.errorText() + usageHint);
    if (line.parser.isSet(line.help) || line.parser.isSet(QStringLiteral("help-all")))
        line.parser.showHelp(Success);
    if (line.parser.isSet(line.version))
        line.parser.showVersion();
    FileSettings settings;
    std::optional<unsigned> seed;
    if (const int status = readSettings(line, &settings, &seed))
        return status;
    if (line.parser.isSet(line.outputDir))
        return runBatchForm(line, settings, seed);
    return runOneFileForm(line, settings, seed);
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's SVG reader lays out text, which needs a GUI application, and with no display one
    // would end the process; the offscreen platform gives fonts without any display.
    qInstallMessageHandler(onlyCriticalMessages);
    // Before any lane of a batch starts.
    prepareMetadataLibrary();
    catchInterrupts();
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
