// Listing folders, naming outputs and finding the outputs a batch may not write.
#include "tools/batch_plan.h"

#include "image/file_safety.h"
#include "image/image_files.h"
#include "tools/denoise_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QMimeDatabase>
#include <QSet>

#include <algorithm>

namespace {

bool writable(const QString &format)
{
    return QImageWriter::supportedImageFormats().contains(format.toLatin1());
}

// True when the two extensions name one format, as "jpg" and "jpeg" or "tif" and "tiff" do.
bool sameFormat(const QString &a, const QString &b)
{
    const QMimeDatabase mimes;
    const QMimeType type
        = mimes.mimeTypeForFile(QStringLiteral("x.") + a, QMimeDatabase::MatchExtension);
    return !type.isDefault()
        && type == mimes.mimeTypeForFile(QStringLiteral("x.") + b, QMimeDatabase::MatchExtension);
}

// The output of an input found as `relative` (its path below a folder input, or its file name).
QString outputPath(const QString &relative, const QString &extension, const BatchNaming &naming)
{
    const QFileInfo info(relative);
    const QString name = info.completeBaseName() + naming.suffix + QLatin1Char('.') + extension;
    return QDir::cleanPath(QDir(naming.outputDir).filePath(info.path() + QLatin1Char('/') + name));
}

BatchItem refused(const QString &input, int refusal, const QString &failure)
{
    return {input, QString(), refusal, failure, false};
}

// The item of one file, found as `relative`: opened here without blocking, so that what cannot
// be read is refused before any work.
BatchItem fileItem(const QString &input, const QString &relative, const BatchNaming &naming)
{
    const OpenedFile opened = openRegularFile(input);
    if (!opened.file)
        return refused(input, UnreadableInput,
            QStringLiteral("cannot read %1: %2").arg(input, opened.errorText));
    const QString extension = naming.format.isEmpty()
        ? defaultOutputExtension(input, opened.file.get())
        : naming.format;
    return {input, outputPath(relative, extension, naming), 0, {}, false};
}

// The files one input means: itself with its file name, or a folder's images below it, never
// those of the output folder.
void addInput(const QString &input, const BatchNaming &naming, const FileIdentity &outputDir,
    std::vector<BatchItem> *items)
{
    if (!QFileInfo(input).isDir()) {
        items->push_back(fileItem(input, QFileInfo(input).fileName(), naming));
        return;
    }
    if (fileIdentity(input) == outputDir) {
        items->push_back(refused(input, UnreadableInput,
            QStringLiteral("cannot read %1: it is the output folder").arg(input)));
        return;
    }
    const QStringList files = listImageFiles(input, naming.recursive, outputDir);
    if (files.isEmpty())
        items->push_back(
            refused(input, UnreadableInput, QStringLiteral("no image files in %1").arg(input)));
    for (const QString &relative : files)
        items->push_back(fileItem(QDir(input).filePath(relative), relative, naming));
}

// Refuses, in order, an output that is an input, one that an earlier file writes, one that is not
// a regular file, and one that exists without overwrite. Names are compared by the file they
// reach, so a name that differs in case reaches an input on a disk that ignores case.
void refuseConflicts(std::vector<BatchItem> *items, bool overwrite)
{
    QSet<FileIdentity> inputs;
    for (const BatchItem &item : *items) {
        if (const FileIdentity input = fileIdentity(item.input); input.exists)
            inputs.insert(input);
    }
    QSet<QString> outputs;
    QSet<FileIdentity> existing;
    for (BatchItem &item : *items) {
        if (item.refusal != 0)
            continue;
        const QFileInfo info(item.output);
        const FileIdentity output = fileIdentity(item.output);
        QString reason;
        if (output.exists && inputs.contains(output))
            reason = QStringLiteral("it is one of the inputs");
        else if (outputs.contains(item.output) || (output.exists && existing.contains(output)))
            reason = QStringLiteral("an earlier input of the batch is written there");
        else if (output.exists && !info.isFile())
            reason = QStringLiteral("it is not a regular file");
        else if ((output.exists || info.isSymLink()) && !overwrite)
            reason = QStringLiteral("it exists (--overwrite replaces it)");
        outputs.insert(item.output);
        if (output.exists)
            existing.insert(output);
        item.replace = output.exists || info.isSymLink();
        if (!reason.isEmpty()) {
            item.refusal = UnwritableOutput;
            item.failure = QStringLiteral("cannot write %1: %2").arg(item.output, reason);
        }
    }
}

} // namespace

QString defaultOutputExtension(const QString &input, QIODevice *device)
{
    const QString format = QString::fromLatin1(QImageReader::imageFormat(device)).toLower();
    if (format.isEmpty() || !writable(format))
        return QStringLiteral("png");
    const QString suffix = QFileInfo(input).suffix().toLower();
    return writable(suffix) && sameFormat(suffix, format) ? suffix : format;
}

std::vector<BatchItem> planBatch(const QStringList &inputs, const BatchNaming &naming)
{
    std::vector<BatchItem> items;
    const FileIdentity outputDir = fileIdentity(naming.outputDir);
    for (const QString &input : inputs)
        addInput(input, naming, outputDir, &items);
    refuseConflicts(&items, naming.overwrite);
    return items;
}
