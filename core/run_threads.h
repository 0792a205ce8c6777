// Rows of a run on threads: the stages' bands (one per thread), the workers' chunks (taken by
// whichever thread is free), progress and cancellation.
#pragma once

#include "chunk_sink.h"
#include "plane_run.h"
#include "planes.h"
#include "run_hooks.h"
#include "thread_control.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class RunObserver;

// Rows [begin, end) of an image.
struct RowRange
{
    int begin = 0;
    int end = 0;
};

constexpr bool operator==(RowRange a, RowRange b)
{
    return a.begin == b.begin && a.end == b.end;
}

// std::thread::hardware_concurrency(), or 1 when the system cannot tell.
int hardwareThreads();

// The chunks of a run whose workers write up to `radius` rows beyond their own: edges at every
// image row (plane row + originY) that is a multiple of max(chunkRows, 2 * radius), so that
// only the two chunks next to an edge write the rows around it. Where the edges lie depends on
// nothing else: neither the thread count nor the timing changes which additions meet in which
// order, and a crop with its origin cuts its rows where the whole image does.
std::vector<RowRange> chunkRows(int height, int radius, int originY, int chunkRows = kChunkRows);

// The bytes that the rows shared by chunks, and the buffers of the chunks' parts, take at most
// at once while `threads` threads run over an image `width` cells wide, for cells of `cellBytes`
// bytes plus a float count.
std::int64_t sharedRowBytes(int width, int radius, int threads, std::size_t cellBytes);

// A chunk's work: compute rows [rowBegin, rowEnd) into the sink; false when the control
// stopped it.
template<typename Cell>
using ChunkWork = std::function<bool(
    ThreadControl &control, int rowBegin, int rowEnd, const ChunkSink<Cell> &sink)>;

// Runs `work` on every chunk of accum's rows (chunkRows with originY; the chunk height from
// `hooks` when given) on `threads` threads, the calling thread one of them, each taking the next
// chunk as it frees up. Rows written by one chunk alone are added straight into `accum` and
// `count`; the rows around an edge go to two buffers, one per chunk, that are added into the
// planes as soon as both chunks are done. So the result is the same bit for bit on any number
// of threads and with any timing. `accum` and `count` must be zero.
//
// A chunk wider than kChunkColumns (or the width from `hooks`) is worked in parts, left to
// right, cut like its rows (chunkRows on the columns, with originX). Each part is computed into
// a zeroed buffer of its own, then copied into the chunk's rows, except the columns that the part
// before it wrote too, where it is added to what that part left.
//
// Every observer call is made on the calling thread: it reports the share of rows done and
// keeps the observer live while it computes or waits, never blocking longer than
// ThreadControl::kKeepAlivePeriod. Once the observer asks to cancel, or a chunk fails, every
// thread stops at its next pixel. Returns Done, Cancelled or OutOfMemory (an allocation failed
// on any thread; `accum` and `count` are then partly written); any other exception from a chunk
// is rethrown once all threads are joined.
template<typename Cell>
RunStatus runChunks(int threads, int radius, int originX, int originY, Plane<Cell> &accum,
    GrayPlane &count, const ChunkWork<Cell> &work, RunObserver *observer,
    const RunHooks *hooks = nullptr);

// One thread's share of a job: thread k of a run, with the control to poll (see ThreadControl).
using ThreadTask = std::function<void(int thread, ThreadControl &control)>;

// Runs task(k) for k in [0, n): task 0 on the calling thread, the others on threads of their
// own started before it (a task whose thread cannot be started, and every task after it, runs
// on the calling thread after task 0). Only task 0's control gets `observer` and `progress`;
// the calling thread keeps the observer live while it waits for the others. Returns Done,
// Cancelled (the observer asked to stop) or OutOfMemory (an allocation failed on any thread);
// any other exception from a task is rethrown once every thread has been joined.
RunStatus runOnThreads(int n, const ThreadTask &task, RunObserver *observer,
    const RunProgress *progress, const RunHooks *hooks = nullptr);

// A stage's work on rows [rowBegin, rowEnd); false when the control stopped it.
using RowWork = std::function<bool(ThreadControl &control, int rowBegin, int rowEnd)>;

// The rows a stage's thread is handed at a time, between two looks at the rows done.
constexpr int kStageSliceRows = 16;

// Runs `work` over rows [0, rows) through runOnThreads on up to `threads` threads (at least 1),
// each taking the next slice of kStageSliceRows rows as it frees up, and reports the share of
// all rows done (0..99) like the workers: for the stages around the row workers (pre-smoothing,
// directions, normalisation) and the image's conversions, whose rows are independent of each
// other, so that any thread count and timing give the same planes.
RunStatus runRowStage(int rows, int threads, const RowWork &work, RunObserver *observer);
