// The walk through a folder's images from one of them.
#include "viewer/folder.h"

#include "image/image_files.h"

#include <algorithm>

QStringList neighbourNames(const QStringList &names, const QString &current, int step)
{
    const auto after = std::upper_bound(names.begin(), names.end(), current, NaturalOrder());
    const int split = int(after - names.begin());
    // Forward from the first name after the current one round to the last before it.
    QStringList order = names.mid(split) + names.mid(0, split);
    order.removeAll(current);
    if (step < 0)
        std::reverse(order.begin(), order.end());
    return order;
}
