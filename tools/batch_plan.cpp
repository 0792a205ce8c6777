// Listing folders, naming outputs and finding the outputs a batch may not write.
#include "tools/batch_plan.h"

#include "image/image_files.h"
#include "tools/denoise_file.h"

#include <QDir>
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

// The output of `input` found as `relative` (its path below a folder input, or its file name).
QString outputPath(const QString &input, const QString &relative, const BatchNaming &naming)
{
    const QString extension
        = naming.format.isEmpty() ? defaultOutputExtension(input) : naming.format;
    const QFileInfo info(relative);
    const QString name = info.completeBaseName() + naming.suffix + QLatin1Char('.') + extension;
    return QDir::cleanPath(QDir(naming.outputDir).filePath(info.path() + QLatin1Char('/') + name));
}

// The files one input means: itself with its file name, or a folder's images below it.
void addInput(const QString &input, const BatchNaming &naming, std::vector<BatchItem> *items)
{
    if (!QFileInfo(input).isDir()) {
        items->push_back({input, outputPath(input, QFileInfo(input).fileName(), naming), 0, {}});
        return;
    }
    const QStringList files = listImageFiles(input, naming.recursive);
    for (const QString &relative : files) {
        const QString path = QDir(input).filePath(relative);
        items->push_back({path, outputPath(path, relative, naming), 0, {}});
    }
}

// Refuses, in order, an output that is an input, one that an earlier file writes, and one that
// exists without overwrite.
void refuseConflicts(std::vector<BatchItem> *items, bool overwrite)
{
    QSet<QString> inputs;
    for (const BatchItem &item : *items)
        inputs.insert(QFileInfo(item.input).canonicalFilePath());
    QSet<QString> outputs;
    for (BatchItem &item : *items) {
        const QFileInfo output(item.output);
        if (output.exists() && inputs.contains(output.canonicalFilePath()))
            item.reason = QStringLiteral("it is one of the inputs");
        else if (outputs.contains(item.output))
            item.reason = QStringLiteral("an earlier input of the batch is written there");
        else if (output.exists() && !overwrite)
            item.reason = QStringLiteral("it exists (--overwrite replaces it)");
        outputs.insert(item.output);
        if (!item.reason.isEmpty())
            item.refusal = UnwritableOutput;
    }
}

} // namespace

QString defaultOutputExtension(const QString &input)
{
    const QString format = QString::fromLatin1(QImageReader::imageFormat(input)).toLower();
    if (format.isEmpty() || !writable(format))
        return QStringLiteral("png");
    const QString suffix = QFileInfo(input).suffix().toLower();
    return writable(suffix) && sameFormat(suffix, format) ? suffix : format;
}

std::vector<BatchItem> planBatch(const QStringList &inputs, const BatchNaming &naming)
{
    std::vector<BatchItem> items;
    for (const QString &input : inputs)
        addInput(input, naming, &items);
    refuseConflicts(&items, naming.overwrite);
    return items;
}
