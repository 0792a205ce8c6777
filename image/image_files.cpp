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

QStringList listImageFiles(const QString &folder, bool recursive)
{
    QStringList patterns;
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats)
        patterns.append(QStringLiteral("*.") + QString::fromLatin1(format));
    const QDir base(QDir(folder).absolutePath());
    QDirIterator it(base.path(), patterns, QDir::Files,
        recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    QStringList files;
    while (it.hasNext())
        files.append(base.relativeFilePath(it.next()));
    std::sort(files.begin(), files.end(), NaturalOrder());
    return files;
}
