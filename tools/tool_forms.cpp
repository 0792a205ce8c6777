// The forms of the tool: the checks before any work, the sample table and the console.
#include "tools/tool_forms.h"

#include "core/sample_tables.h"
#include "image/file_safety.h"
#include "tools/batch_run.h"
#include "tools/interrupt.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>

#include <cstdio>
#include <memory>
#include <new>
#include <unistd.h>

namespace {

// The one-file form's bar on standard error, redrawn in place while the run goes on.
class ProgressLine : public InterruptibleObserver
{
public:
    explicit ProgressLine(Console &console)
        : console_(console)
    { }

    void progress(int percent) override
    {
        constexpr int kWidth = 40;
        console_.progress(QStringLiteral("Denoising %1 %2%")
                              .arg(barText(percent * kWidth / 100, kWidth))
                              .arg(percent, 3));
    }

private:
    Console &console_;
};

// The folder of a batch: made when missing; it must be a writable folder.
bool prepareOutputDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (!info.exists())
        return QDir().mkpath(dir);
    return info.isDir() && info.isWritable();
}

} // namespace

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "pelta-denoise: %s\n", qUtf8Printable(message));
    return status;
}

int runOneFile(const FileJob &job, const FileSettings &settings, std::optional<unsigned> seed)
{
    // Known before reading anything, so that a long run never ends in a format error or in a
    // folder that cannot take the file (the save writes a temporary file beside the target).
    const QFileInfo outputInfo(job.output);
    const QByteArray format = outputInfo.suffix().toLower().toLatin1();
    if (!QImageWriter::supportedImageFormats().contains(format)) {
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: its suffix names no image format that can be written")
                .arg(job.output));
    }
    const QFileInfo folder(outputInfo.absolutePath());
    if (!folder.isDir())
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: there is no folder %2")
                .arg(job.output, folder.filePath()));
    if (!folder.isWritable())
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: the folder %2 is not writable")
                .arg(job.output, folder.filePath()));

    const OpenedFile opened = openRegularFile(job.input);
    if (!opened.file)
        return fail(
            UnreadableInput, QStringLiteral("cannot read %1: %2").arg(job.input, opened.errorText));
    const FileIdentity output = fileIdentity(job.output);
    if (output == fileIdentity(job.input))
        return fail(
            UnwritableOutput, QStringLiteral("cannot write %1: it is the input").arg(job.output));
    if (output.exists && !outputInfo.isFile())
        return fail(UnwritableOutput,
            QStringLiteral("cannot write %1: it is not a regular file").arg(job.output));

    Console console(!settings.quiet && isatty(STDERR_FILENO));
    LoadedInput input;
    QImageReader reader(opened.file.get());
    if (const int status = loadInput(job, reader, settings, console, &input))
        return status;
    ProgressLine progress(console);
    RunOptions options = settings.options;
    options.observer = &progress;
    // Without a seed the run builds its own table from the clock.
    std::unique_ptr<NormalTable> table;
    try {
        if (seed)
            table = std::make_unique<NormalTable>(*seed);
    } catch (const std::bad_alloc &) {
        return notEnoughMemory(job, console);
    }
    options.table = table.get();
    return denoiseAndWrite(job, input, options, console);
}

int runBatchFiles(const QStringList &inputs, const BatchNaming &naming, FileSettings settings,
    std::optional<unsigned> seed)
{
    if (!prepareOutputDir(naming.outputDir))
        return fail(UnwritableOutput,
            QStringLiteral("cannot write into %1: it is not a writable folder")
                .arg(naming.outputDir));
    const std::vector<BatchItem> items = planBatch(inputs, naming);
    const std::unique_ptr<NormalTable> table
        = seed ? std::make_unique<NormalTable>(*seed) : std::make_unique<NormalTable>();
    settings.options.table = table.get();
    Console console(!settings.quiet && isatty(STDERR_FILENO));
    return runBatch(items, settings, console);
}
