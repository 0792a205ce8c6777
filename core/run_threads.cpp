// Stage bands, worker chunks with the rows they share, the threads, waiting and merging.
#include "run_threads.h"

#include "run_observer.h"
#include "sample_tables.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

int hardwareThreads()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(std::min<unsigned>(n, INT_MAX));
}

namespace {

int chunkHeight(int radius, int chunkRows)
{
    return std::max({chunkRows, 2 * radius, 1});
}

} // namespace

std::vector<RowRange> chunkRows(int height, int radius, int originY, int chunkRows)
{
    const int step = chunkHeight(radius, chunkRows);
    // The first edge: the first row after 0 whose image row is a multiple of the step.
    const int phase = int(((std::int64_t(originY) % step) + step) % step);
    std::vector<RowRange> chunks;
    int begin = 0;
    int end = phase == 0 ? step : step - phase;
    while (begin < height) {
        chunks.push_back({begin, std::min(end, height)});
        begin = end;
        end += step;
    }
    return chunks;
}

std::int64_t sharedRowBytes(int width, int radius, int threads, std::size_t cellBytes)
{
    // A running chunk holds the buffers of its two edges, and an edge lives until the chunk on
    // its other side is done: at most two edges per thread, each two buffers of 2 * radius rows.
    const std::int64_t rows = std::int64_t(std::max(threads, 1)) * 2 * 2 * 2 * radius;
    // A chunk in parts holds one part's buffer at a time.
    const std::int64_t partCells = std::int64_t(std::min(width, kChunkColumns) + 2 * radius)
        * (chunkHeight(radius, kChunkRows) + 2 * radius);
    const std::int64_t parts = width > kChunkColumns ? std::max(threads, 1) * partCells : 0;
    return (rows * width + parts) * std::int64_t(cellBytes + sizeof(float));
}

namespace {

// The threads of one runOnThreads call, in three steps: start the tasks beyond the first on
// threads of their own, wait for them while the caller's control serves the observer, and
// collect how each task ended.
class TaskThreads
{
public:
    TaskThreads(int n, const ThreadTask &task, const RunHooks *hooks)
        : task_(task)
        , hooks_(hooks)
    {
        errors_.resize(std::size_t(n));
        threads_.reserve(std::size_t(n > 0 ? n - 1 : 0));
    }

    // Set once the observer asks to cancel or a task fails; read by every task.
    std::atomic<bool> stop {false};

    // Starts tasks 1 to n - 1, each on a thread of its own; returns the first task whose thread
    // could not be started (n when all were).
    int start(int n)
    {
        for (int k = 1; k < n; ++k) {
            try {
                if (hooks_ && hooks_->beforeThreadStart)
                    hooks_->beforeThreadStart(k);
                std::lock_guard<std::mutex> lock(mutex_);
                threads_.emplace_back([this, k] {
                    ThreadControl control(k, &stop, nullptr, nullptr, hooks_);
                    runHere(k, control);
                    std::lock_guard<std::mutex> lock(mutex_);
                    --running_;
                    finished_.notify_all();
                });
                ++running_; // under the lock, so the thread cannot count itself out first
            } catch (...) {
                return k;
            }
        }
        return n;
    }

    // Runs task k on the current thread and records how it ended; never throws.
    void runHere(int k, ThreadControl &control)
    {
        try {
            task_(k, control);
        } catch (...) {
            errors_[std::size_t(k)] = std::current_exception();
            stop.store(true);
        }
    }

    // Waits for the started threads, serving `caller` at least every keep-alive period and
    // never blocking for longer; then joins them.
    void wait(ThreadControl &caller)
    {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (!finished_.wait_for(
                lock, ThreadControl::kKeepAlivePeriod, [&] { return running_ == 0; })) {
                if (callerError_)
                    continue;
                lock.unlock();
                try {
                    caller.whileWaiting();
                } catch (...) {
                    callerError_ = std::current_exception();
                    stop.store(true);
                }
                lock.lock();
            }
        }
        for (std::thread &thread : threads_)
            thread.join();
    }

    // How the run ended: the first failure other than a failed allocation is rethrown.
    RunStatus collect() const
    {
        bool outOfMemory = false;
        std::exception_ptr failure = callerError_;
        for (const std::exception_ptr &error : errors_) {
            if (!error)
                continue;
            try {
                std::rethrow_exception(error);
            } catch (const std::bad_alloc &) {
                outOfMemory = true;
            } catch (...) {
                if (!failure)
                    failure = error;
            }
        }
        if (failure)
            std::rethrow_exception(failure);
        if (outOfMemory)
            return RunStatus::OutOfMemory;
        return stop.load() ? RunStatus::Cancelled : RunStatus::Done;
    }

private:
    const ThreadTask &task_;
    const RunHooks *hooks_;
    std::vector<std::exception_ptr> errors_;
    std::vector<std::thread> threads_;
    std::exception_ptr callerError_;
    std::mutex mutex_;
    std::condition_variable finished_;
    int running_ = 0; // started threads whose task has not finished, guarded by mutex_
};

} // namespace

RunStatus runOnThreads(int n, const ThreadTask &task, RunObserver *observer,
    const RunProgress *progress, const RunHooks *hooks)
{
    std::unique_ptr<TaskThreads> threads;
    try {
        threads = std::make_unique<TaskThreads>(n, task, hooks);
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }
    ThreadControl caller(0, &threads->stop, observer, progress, hooks);
    // Tasks whose thread could not be started run here after task 0.
    const int firstOnCaller = threads->start(n);
    if (n > 0)
        threads->runHere(0, caller);
    for (int k = firstOnCaller; k < n; ++k)
        threads->runHere(k, caller);
    threads->wait(caller);
    return threads->collect();
}

namespace {

// The rows around the edge between two chunks, which both chunks write: one buffer each,
// added into the run's planes by whichever chunk finishes second.
template<typename Cell>
struct Edge
{
    RowRange rows;
    Plane<Cell> above; // from the chunk above the edge
    GrayPlane aboveCount;
    Plane<Cell> below; // from the chunk below it
    GrayPlane belowCount;
    std::atomic<int> chunksDone {0};
};

// Zeroed buffers for `rows` rows of `width` cells.
template<typename Cell>
void allocateHalf(Plane<Cell> &sums, GrayPlane &counts, int width, int rows)
{
    sums = Plane<Cell>(width, rows);
    counts = GrayPlane(width, rows);
}

template<typename Cell>
class ChunkedRun
{
public:
    ChunkedRun(int radius, int originX, int originY, Plane<Cell> &accum, GrayPlane &count,
        const RunHooks *hooks)
        : radius_(radius)
        , accum_(accum)
        , count_(count)
        , chunks_(chunkRows(accum.height(), radius, originY, hooks ? hooks->chunkRows : kChunkRows))
        , parts_(chunkRows(
              accum.width(), radius, originX, hooks ? hooks->chunkColumns : kChunkColumns))
        , edges_(chunks_.size())
    {
        // Edge k lies above chunk k; the first chunk has none, and a radius of 0 shares nothing.
        // Only the first and the last chunk may be shorter than 2 * radius, so the rows around
        // two edges never meet.
        for (std::size_t k = 1; k < chunks_.size(); ++k) {
            const int at = chunks_[k].begin;
            edges_[k].rows = radius > 0
                ? RowRange {std::max(at - radius, 0), std::min(at + radius, accum.height())}
                : RowRange {at, at};
        }
    }

    int chunkCount() const { return int(chunks_.size()); }
    RowRange chunk(int k) const { return chunks_[std::size_t(k)]; }

    // Runs chunk k through `work`; true when it was done to its end.
    bool run(int k, ThreadControl &control, const ChunkWork<Cell> &work)
    {
        const RowRange rows = chunks_[std::size_t(k)];
        const int height = accum_.height();
        const int width = accum_.width();
        Edge<Cell> *top = k > 0 ? &edges_[std::size_t(k)] : nullptr;
        Edge<Cell> *bottom = k + 1 < chunkCount() ? &edges_[std::size_t(k) + 1] : nullptr;
        const int first = std::max(rows.begin - radius_, 0);
        const int last = std::min(rows.end + radius_, height);
        ChunkSink<Cell> sink(first, last - first, 0, width, 0);
        if (top)
            allocateHalf(top->below, top->belowCount, width, top->rows.end - top->rows.begin);
        if (bottom)
            allocateHalf(
                bottom->above, bottom->aboveCount, width, bottom->rows.end - bottom->rows.begin);
        for (int y = first; y < last; ++y) {
            if (top && y < top->rows.end) {
                const int i = y - top->rows.begin;
                sink.setRow(y, top->below.row(i), top->belowCount.row(i));
            } else if (bottom && y >= bottom->rows.begin) {
                const int i = y - bottom->rows.begin;
                sink.setRow(y, bottom->above.row(i), bottom->aboveCount.row(i));
            } else {
                sink.setRow(y, accum_.row(y), count_.row(y));
            }
        }
        if (!(parts_.size() <= 1 ? work(control, rows.begin, rows.end, sink)
                                 : runParts(rows, first, last, sink, control, work)))
            return false;
        for (Edge<Cell> *edge : {top, bottom})
            if (edge && edge->chunksDone.fetch_add(1, std::memory_order_acq_rel) == 1)
                merge(*edge);
        return true;
    }

private:
    // The chunk's parts in turn, each computed into a buffer of its rows [first, last) and of
    // its columns widened by the radius, then moved into the chunk's sink.
    bool runParts(RowRange rows, int first, int last, const ChunkSink<Cell> &sink,
        ThreadControl &control, const ChunkWork<Cell> &work)
    {
        const int width = accum_.width();
        int partWidth = 0;
        for (const RowRange part : parts_)
            partWidth = std::max(partWidth, part.end - part.begin + 2 * radius_);
        Plane<Cell> sums(std::min(partWidth, width), last - first);
        GrayPlane counts(std::min(partWidth, width), last - first);
        for (std::size_t k = 0; k < parts_.size(); ++k) {
            const RowRange part = parts_[k];
            const int from = std::max(part.begin - radius_, 0);
            const int to = std::min(part.end + radius_, width);
            if (k > 0) {
                sums.fill(Cell(0.0f));
                counts.fill(0.0f);
            }
            ChunkSink<Cell> partSink(first, last - first, part.begin, part.end, from);
            for (int y = first; y < last; ++y)
                partSink.setRow(y, sums.row(y - first), counts.row(y - first));
            if (!work(control, rows.begin, rows.end, partSink))
                return false;
            // Columns [from, shared) were written by the part before too.
            const int shared = k > 0 ? std::min(part.begin + radius_, to) : from;
            for (int y = first; y < last; ++y) {
                const Cell *partSums = sums.row(y - first);
                const float *partCounts = counts.row(y - first);
                Cell *chunkSums = sink.accumAt(from, y);
                float *chunkCounts = sink.countAt(from, y);
                for (int i = 0; i < shared - from; ++i) {
                    chunkSums[i] = chunkSums[i] + partSums[i];
                    chunkCounts[i] += partCounts[i];
                }
                std::copy(partSums + (shared - from), partSums + (to - from),
                    chunkSums + (shared - from));
                std::copy(partCounts + (shared - from), partCounts + (to - from),
                    chunkCounts + (shared - from));
            }
        }
        return true;
    }

    // Both chunks are done: the edge's rows are the sums of their two buffers, which the
    // planes did not hold before. Frees the buffers.
    void merge(Edge<Cell> &edge)
    {
        const int width = accum_.width();
        for (int y = edge.rows.begin; y < edge.rows.end; ++y) {
            const int i = y - edge.rows.begin;
            const Cell *above = edge.above.row(i);
            const Cell *below = edge.below.row(i);
            const float *aboveCount = edge.aboveCount.row(i);
            const float *belowCount = edge.belowCount.row(i);
            Cell *sums = accum_.row(y);
            float *counts = count_.row(y);
            for (int x = 0; x < width; ++x) {
                sums[x] = above[x] + below[x];
                counts[x] = aboveCount[x] + belowCount[x];
            }
        }
        edge.above = Plane<Cell>();
        edge.below = Plane<Cell>();
        edge.aboveCount = GrayPlane();
        edge.belowCount = GrayPlane();
    }

    int radius_;
    Plane<Cell> &accum_;
    GrayPlane &count_;
    std::vector<RowRange> chunks_;
    std::vector<RowRange> parts_; // columns
    std::vector<Edge<Cell>> edges_;
};

} // namespace

template<typename Cell>
RunStatus runChunks(int threads, int radius, int originX, int originY, Plane<Cell> &accum,
    GrayPlane &count, const ChunkWork<Cell> &work, RunObserver *observer, const RunHooks *hooks)
{
    if (accum.height() == 0)
        return RunStatus::Done;
    std::unique_ptr<ChunkedRun<Cell>> run;
    try {
        run = std::make_unique<ChunkedRun<Cell>>(radius, originX, originY, accum, count, hooks);
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }
    RunProgress progress;
    progress.rows = accum.height();
    std::atomic<int> nextChunk {0};
    const ThreadTask task = [&](int, ThreadControl &control) {
        for (;;) {
            const int k = nextChunk.fetch_add(1);
            if (k >= run->chunkCount() || !run->run(k, control, work))
                return;
            const RowRange rows = run->chunk(k);
            progress.rowsDone.fetch_add(rows.end - rows.begin, std::memory_order_relaxed);
        }
    };
    const int n = std::max(1, std::min(threads, run->chunkCount()));
    return runOnThreads(n, task, observer, &progress, hooks);
}

RunStatus runRowStage(int rows, int threads, const RowWork &work, RunObserver *observer)
{
    RunProgress progress;
    progress.rows = std::max(rows, 1);
    const int slices = (std::max(rows, 0) + kStageSliceRows - 1) / kStageSliceRows;
    // Each thread takes the next slice as it frees up, so that none waits at the end of a stage
    // for one that the system gave less time.
    std::atomic<int> nextSlice {0};
    const ThreadTask task = [&](int, ThreadControl &control) {
        for (int k = nextSlice.fetch_add(1); k < slices; k = nextSlice.fetch_add(1)) {
            const int y = k * kStageSliceRows;
            const int end = std::min(y + kStageSliceRows, rows);
            if (!control.beginRow(y) || !work(control, y, end))
                return;
            progress.rowsDone.fetch_add(end - y, std::memory_order_relaxed);
        }
    };
    return runOnThreads(std::clamp(threads, 1, std::max(slices, 1)), task, observer, &progress);
}

template RunStatus runChunks<float>(int, int, int, int, GrayPlane &, GrayPlane &,
    const ChunkWork<float> &, RunObserver *, const RunHooks *);
template RunStatus runChunks<Vec3>(int, int, int, int, ColorPlane &, GrayPlane &,
    const ChunkWork<Vec3> &, RunObserver *, const RunHooks *);
