// The two forms of pelta-denoise on options already read: one file to another, and many files
// and folders into one folder.
#pragma once

#include "tools/batch_plan.h"
#include "tools/denoise_file.h"

#include <optional>

// Prints the message after "pelta-denoise: " on standard error; returns the status.
int fail(int status, const QString &message);

// INPUT OUTPUT: one file, its output's format from the output's suffix; an existing output is
// replaced, unless it is the input (by any name) or not a regular file. Without a seed the run
// draws its samples from the clock. Returns the exit status.
int runOneFile(const FileJob &job, const FileSettings &settings, std::optional<unsigned> seed);

// INPUT... -o DIR: the folder made when missing and checked before any work, the batch planned,
// then every file denoised with one sample table, from the seed or the clock. Returns the exit
// status.
int runBatchFiles(const QStringList &inputs, const BatchNaming &naming, FileSettings settings,
    std::optional<unsigned> seed);
