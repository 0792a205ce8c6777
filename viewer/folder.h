// The order Space and Backspace step through the images of a folder.
#pragma once

#include <QString>
#include <QStringList>

// The names to try, in order, for the image `step` (+1 the next, -1 the previous) away from
// `current` in `names` as listImageFiles sorts them, wrapping at the ends: every name except
// `current` once. A current name that is not in the list (removed since, or opened under a suffix
// the reader does not know) counts from where it would sort.
QStringList neighbourNames(const QStringList &names, const QString &current, int step);
