// The images of a folder in the order Space and Backspace step through them.
#pragma once

#include <QString>
#include <QStringList>

// The names of the files in `folder` whose suffix names a format the image reader supports, in
// natural order ("img2" before "img10"). Hidden files and folders are left out; whether a file can
// actually be read is found out only when it is opened.
QStringList folderImageNames(const QString &folder);

// The names to try, in order, for the image `step` (+1 the next, -1 the previous) away from
// `current` in `names` as folderImageNames sorts them, wrapping at the ends: every name except
// `current` once. A current name that is not in the list (removed since, or opened under a suffix
// the reader does not know) counts from where it would sort.
QStringList neighbourNames(const QStringList &names, const QString &current, int step);
