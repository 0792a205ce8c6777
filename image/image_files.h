// The image files of a folder in natural order: what Space and Backspace step through in the
// window and what pelta-denoise takes from a folder.
#pragma once

#include "image/file_safety.h"

#include <QCollator>
#include <QString>
#include <QStringList>

// Natural order of file names: digits compare as numbers ("img2" before "img10"); names that
// compare equal so ("a1", "a01") fall back to plain string order, so the order is total.
class NaturalOrder
{
public:
    NaturalOrder();
    bool operator()(const QString &a, const QString &b) const;

private:
    QCollator collator;
};

// The files of `folder` whose suffix (in any case) names a format the image reader supports, as
// paths relative to the folder in natural order; with `recursive` those of its sub-folders too.
// Hidden files and folders and links to folders are left out, and so is the sub-folder `skipped`
// (a batch's output folder); whether a file can actually be read is found out on reading it.
QStringList listImageFiles(
    const QString &folder, bool recursive = false, const FileIdentity &skipped = {});
