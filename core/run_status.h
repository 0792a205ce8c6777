// How a denoise ended: the one status every layer returns and every caller turns into its own
// words or exit code.
#pragma once

enum class RunStatus {
    Done,
    Cancelled, // the observer asked to stop; nothing was produced
    OutOfMemory, // the working set did not fit, or an allocation failed on some thread
    InvalidLevel, // a noise level below 1
    // The image's colour model is neither RGB nor Grayscale. Only image/ returns it: the core
    // works on planes and knows nothing of colour models.
    UnsupportedColorModel,
};
