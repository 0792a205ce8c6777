// The plan of a batch: which files a list of inputs and folders means, and where each result goes.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// How a batch names its outputs and what it may replace.
struct BatchNaming
{
    QString outputDir; // exists and is a writable folder
    QString suffix; // inserted between the base name and the extension
    QString format; // the format (and extension) of every output; empty: each input's own
    bool recursive = false; // folders given as inputs are listed with their sub-folders
    bool overwrite = false; // an existing output may be replaced (never an input)
};

// One file of a batch and its output. A file refused before any work (the output exists, is an
// input, or is another input's output too) has refusal UnwritableOutput and its reason.
struct BatchItem
{
    QString input;
    QString output;
    int refusal = 0;
    QString reason;
};

// The format and extension of an input's output: the input's own format when Qt can write it,
// keeping the input's suffix when that names the same format ("jpg" and "jpeg"), otherwise PNG.
QString defaultOutputExtension(const QString &input);

// Every file of the inputs, in their order (a folder's files in natural order), with its output
// under naming.outputDir and, where the output may not be written, its refusal.
std::vector<BatchItem> planBatch(const QStringList &inputs, const BatchNaming &naming);
