// The row split of a run and the running of its bands on threads, with progress and cancellation.
#pragma once

#include "band_control.h"
#include "band_sink.h"
#include "denoise_run.h"
#include "planes.h"
#include "sample_tables.h"

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

// The bands of a width x height image run on `threads` threads (below 1 counts as 1). Images
// of 256 rows or columns or fewer are one band [0, height). Otherwise, with N the thread count
// limited to the row count, band 0 is [0, H / N) for the calling thread and band k is
// [k * H / N, (k + 1) * H / N), in integer arithmetic, the last one ending at H.
std::vector<RowRange> splitRows(int width, int height, int threads);

// Rows that the bands' workers (writing up to `radius` rows beyond their band) keep in private
// buffers because another band writes them too, counted once per band that keeps them.
std::int64_t privateRowCount(const std::vector<RowRange> &bands, int radius, int height);

// Test seams of runBands; the defaults are what a real run uses.
struct BandSeams
{
    // Run every band on the calling thread, one after another in band order. The result is
    // bit-identical to a threaded run of the same bands.
    bool serial = false;
    // Called on the calling thread before band k's thread is started; throwing simulates a
    // thread that cannot be started.
    std::function<void(int band)> beforeThreadStart;
    // Called at the start of every row on the thread computing it (see RowHook).
    RowHook atRow;
};

// A band's work: compute rows [rowBegin, rowEnd) into the sink, drawing through the cursor;
// false when the control stopped it.
template<typename Cell>
using BandWork = std::function<bool(BandControl &control, int rowBegin, int rowEnd,
    const BandSink<Cell> &sink, NormalCursor &cursor)>;

// Runs `work` once for every band, band k drawing through table.cursor(k, bands.size()):
// band 0 on the calling thread, the others on threads of their own started before it (a band
// whose thread cannot be started, and every band after it, runs on the calling thread after
// band 0). Rows written by one band alone are added straight into `accum` and `count`; rows
// written by several bands go to per-band buffers that are added in after every thread has
// been joined, in band order, so that the result does not depend on the threads' timing.
// `accum` and `count` (radius = the workers' patch radius) must be zero where the bands write.
//
// Every observer call is made on the calling thread: band 0 reports progress, and the
// calling thread keeps the observer live while it computes or waits for the other bands,
// never blocking longer than BandControl::kKeepAlivePeriod. Once the observer asks to cancel,
// or a band fails, every band stops at its next pixel. Returns Done, Cancelled or OutOfMemory
// (an allocation failed on any thread; `accum` and `count` are then partly written); any
// other exception from a band is rethrown once all threads are joined.
template<typename Cell>
RunStatus runBands(const std::vector<RowRange> &bands, int radius, Plane<Cell> &accum,
    GrayPlane &count, const NormalTable &table, const BandWork<Cell> &work, RunObserver *observer,
    const BandSeams &seams = {});

// One band's share of a job: band k of a run, with the control to poll (see BandControl).
using BandTask = std::function<void(int band, BandControl &control)>;

// Runs task(k) for k in [0, n): band 0 on the calling thread, the others on threads of their
// own started before it (a band whose thread cannot be started, and every band after it, runs
// on the calling thread after band 0). Only band 0 gets `observer`, and reports progress when
// `reportsProgress` is set; the calling thread keeps the observer live while it waits for the
// other bands. Returns Done, Cancelled (the observer asked to stop) or OutOfMemory (an
// allocation failed on any thread); any other exception from a band is rethrown once every
// thread has been joined.
RunStatus runOnThreads(int n, const BandTask &task, RunObserver *observer, bool reportsProgress,
    const BandSeams &seams);

// A stage's work on rows [rowBegin, rowEnd); false when the control stopped it.
using RowWork = std::function<bool(BandControl &control, int rowBegin, int rowEnd)>;

// Runs `work` once for every band through runOnThreads, without progress reports: for the
// stages around the row workers (pre-smoothing, directions, normalisation), whose rows are
// independent of each other.
RunStatus runRowStage(
    const std::vector<RowRange> &bands, const RowWork &work, RunObserver *observer);
