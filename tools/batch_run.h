// Running a planned batch: several files at once on the cores, one progress line, one status.
#pragma once

#include "tools/batch_plan.h"
#include "tools/denoise_file.h"

#include <vector>

// Denoises every item with the settings (whose options carry the batch's one sample table) and
// returns the highest status of any file, 0 only when every output was written, or
// interruptedStatus() once an interrupt stopped the batch. Files run side by side on lanes of
// settings.options.threads / lanes threads each; a file whose run would not fit in memory next
// to the others runs alone. A result does not depend on the lanes or threads.
int runBatch(const std::vector<BatchItem> &items, const FileSettings &settings, Console &console);
