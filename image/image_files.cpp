// Listing a folder's image files in natural order.
#include "image/image_files.h"

#include <QDir>
#include <QDirIterator>
#include <QImageReader>

#include <algorithm>

NaturalOrder::NaturalOrder()
{
    // The C locale compares code points and ignores the numeric mode; English rules stand in.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    collator = QCollator(locale);
    collator.setNumericMode(true);
}

bool NaturalOrder::operator()(const QString &a, const QString &b) const
{
    const int order = collator.compare(a, b);
    return order != 0 ? order < 0 : a < b;
}

namespace {

// Appends the image files of `path`, relative to `base`, then those of its sub-folders (symbolic
// links and hidden ones left out) when `recursive`, except the sub-folder that is `skipped`.
void addFolder(const QDir &base, const QString &path, const QStringList &patterns, bool recursive,
    const FileIdentity &skipped, QStringList *files)
{
    QDirIterator it(path, patterns, QDir::Files);
    while (it.hasNext())
        files->append(base.relativeFilePath(it.next()));
    if (!recursive)
        return;
    QDirIterator folders(path, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    while (folders.hasNext()) {
        const QString folder = folders.next();
        if (fileIdentity(folder) != skipped)
            addFolder(base, folder, patterns, recursive, skipped, files);
    }
}

} // namespace

QStringList listImageFiles(const QString &folder, bool recursive, const FileIdentity &skipped)
{
    QStringList patterns;
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats)
        patterns.append(QStringLiteral("*.") + QString::fromLatin1(format));
    const QDir base(QDir(folder).absolutePath());
    QStringList files;
    addFolder(base, base.path(), patterns, recursive, skipped, &files);
    std::sort(files.begin(), files.end(), NaturalOrder());
    return files;
}
