// RunHooks: the one seam through which tests reach into a run's threads and rows.
#pragma once

#include <functional>

// The rows the workers are handed at a time: small enough that the threads finish together,
// large enough that few rows are shared between chunks.
constexpr int kChunkRows = 16;
// The columns a chunk is computed in at a time, left to right: narrow enough that the rows its
// walks read stay in the processor's cache from one row to the next (on a photograph 6000
// pixels wide, parts of 256 columns ran 3 % faster than 512 and 1.5 % faster than 128).
constexpr int kChunkColumns = 256;

// A real run uses none of these; tests set them through RunOptions::hooks.
struct RunHooks
{
    // Called on the calling thread before thread k (1 and up) is started; throwing simulates a
    // thread that cannot be started.
    std::function<void(int thread)> beforeThreadStart;
    // Called at the start of every row (once for each part of a chunk) on the thread computing
    // it, with the thread's index (0 for the calling thread) and the row; counts rows or injects
    // failures (it may throw).
    std::function<void(int thread, int row)> atRow;
    // The chunk height, small in tests so that rows cross many chunk edges.
    int chunkRows = kChunkRows;
    // The width of a chunk's parts, small in tests so that pixels cross many of their edges.
    int chunkColumns = kChunkColumns;
};
