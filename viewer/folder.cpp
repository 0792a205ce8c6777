// The images of a folder: listing by the reader's suffixes, natural order, the walk from one.
#include "viewer/folder.h"

#include <QCollator>
#include <QDir>
#include <QImageReader>

#include <algorithm>

// Natural order: digits compare as numbers. Names that the collator finds equal ("a1", "a01")
// fall back to plain string order, so that the order is total and the same on every listing.
static bool sortsBefore(const QCollator &collator, const QString &a, const QString &b)
{
    const int order = collator.compare(a, b);
    return order != 0 ? order < 0 : a < b;
}

static QCollator naturalCollator()
{
    // The C locale compares code points and ignores the numeric mode; English rules stand in.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    return collator;
}

QStringList folderImageNames(const QString &folder)
{
    QStringList patterns;
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    for (const QByteArray &format : formats)
        patterns.append(QStringLiteral("*.") + QString::fromLatin1(format));
    // QDir matches the patterns without regard to case, so "IMG_1.JPG" is listed too.
    QStringList names = QDir(folder).entryList(patterns, QDir::Files);
    const QCollator collator = naturalCollator();
    std::sort(names.begin(), names.end(),
        [&](const QString &a, const QString &b) { return sortsBefore(collator, a, b); });
    return names;
}

QStringList neighbourNames(const QStringList &names, const QString &current, int step)
{
    const QCollator collator = naturalCollator();
    const auto after = std::upper_bound(names.begin(), names.end(), current,
        [&](const QString &a, const QString &b) { return sortsBefore(collator, a, b); });
    const int split = int(after - names.begin());
    // Forward from the first name after the current one round to the last before it.
    QStringList order = names.mid(split) + names.mid(0, split);
    order.removeAll(current);
    if (step < 0)
        std::reverse(order.begin(), order.end());
    return order;
}
