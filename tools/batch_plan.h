// The plan of a batch: which files a list of inputs and folders means, and where each result goes.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class QIODevice;

// How a batch names its outputs and what it may replace.
struct BatchNaming
{
    QString outputDir; // exists and is a writable folder
    QString suffix; // inserted between the base name and the extension
    QString format; // the format (and extension) of every output; empty: each input's own
    bool recursive = false; // folders given as inputs are listed with their sub-folders
    bool overwrite = false; // an output that exists now may be replaced (never an input)
};

// One file of a batch and its output. A file refused before any work has the status of its
// refusal and the line that says it: UnreadableInput when the input cannot be opened (not a
// regular file, no permission, a folder without images, the output folder itself),
// UnwritableOutput when its output is an input, another input's output, not a regular file, or
// exists without overwrite. `replace` is set for an output that exists and may be replaced; every
// other output is committed only if no file of its name has appeared meanwhile.
struct BatchItem
{
    QString input;
    QString output;
    int refusal = 0;
    QString failure;
    bool replace = false;
};

// The format and extension of an input's output, `device` open on it: the input's own format when
// Qt can write it, keeping the input's suffix when that names the same format ("jpg" and "jpeg"),
// otherwise PNG.
QString defaultOutputExtension(const QString &input, QIODevice *device);

// Every file of the inputs, in their order (a folder's files in natural order, never those in
// naming.outputDir), with its output under naming.outputDir and, where the input may not be read
// or the output may not be written, its refusal.
std::vector<BatchItem> planBatch(const QStringList &inputs, const BatchNaming &naming);
