// Band split, per-band sinks with private shared rows, threads, waiting and the final merge.
#include "band_runner.h"

#include "run_observer.h"

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

std::vector<RowRange> splitRows(int width, int height, int threads)
{
    if (width <= 256 || height <= 256 || threads <= 1)
        return {{0, height}};
    const std::int64_t n = std::min(threads, height);
    std::vector<RowRange> bands;
    bands.reserve(std::size_t(n));
    for (std::int64_t k = 0; k < n; ++k)
        bands.push_back({int(k * height / n), int((k + 1) * height / n)});
    return bands;
}

namespace {

// Rows [begin, end) that band `band` writes into.
RowRange touchedRows(RowRange band, int radius, int height)
{
    if (band.begin >= band.end)
        return {0, 0};
    return {std::max(band.begin - radius, 0), std::min(band.end + radius, height)};
}

// For every row, how many bands write into it.
std::vector<int> writersPerRow(const std::vector<RowRange> &bands, int radius, int height)
{
    std::vector<int> writers(std::size_t(height), 0);
    for (const RowRange band : bands) {
        const RowRange touched = touchedRows(band, radius, height);
        for (int y = touched.begin; y < touched.end; ++y)
            ++writers[std::size_t(y)];
    }
    return writers;
}

} // namespace

std::int64_t privateRowCount(const std::vector<RowRange> &bands, int radius, int height)
{
    if (bands.size() < 2)
        return 0;
    const std::vector<int> writers = writersPerRow(bands, radius, height);
    std::int64_t rows = 0;
    for (const RowRange band : bands) {
        const RowRange touched = touchedRows(band, radius, height);
        for (int y = touched.begin; y < touched.end; ++y)
            rows += writers[std::size_t(y)] > 1 ? 1 : 0;
    }
    return rows;
}

namespace {

// The sinks of all bands and the private rows behind them.
template<typename Cell>
struct BandTargets
{
    std::vector<BandSink<Cell>> sinks;
    std::vector<std::vector<int>> privateRows; // per band, the image rows it keeps privately
    std::vector<Plane<Cell>> privateAccum; // per band, row i holds image row privateRows[i]
    std::vector<GrayPlane> privateCount;

    BandTargets(
        const std::vector<RowRange> &bands, int radius, Plane<Cell> &accum, GrayPlane &count)
    {
        const int n = int(bands.size());
        if (n == 1) {
            sinks.emplace_back(accum, count);
            return;
        }
        const int width = accum.width();
        const int height = accum.height();
        const std::vector<int> writers = writersPerRow(bands, radius, height);
        sinks.reserve(std::size_t(n));
        privateRows.resize(std::size_t(n));
        privateAccum.reserve(std::size_t(n));
        privateCount.reserve(std::size_t(n));
        for (int k = 0; k < n; ++k) {
            const RowRange touched = touchedRows(bands[std::size_t(k)], radius, height);
            std::vector<int> &rows = privateRows[std::size_t(k)];
            for (int y = touched.begin; y < touched.end; ++y)
                if (writers[std::size_t(y)] > 1)
                    rows.push_back(y);
            privateAccum.emplace_back(width, int(rows.size()));
            privateCount.emplace_back(width, int(rows.size()));
            Plane<Cell> &ownAccum = privateAccum.back();
            GrayPlane &ownCount = privateCount.back();
            if constexpr (std::is_same_v<Cell, float>)
                fillFloats(ownAccum.data(), int(ownAccum.cellCount()), 0.0f);
            fillFloats(ownCount.data(), int(ownCount.cellCount()), 0.0f);

            sinks.emplace_back(touched.begin, touched.end - touched.begin);
            std::size_t next = 0;
            for (int y = touched.begin; y < touched.end; ++y) {
                if (next < rows.size() && rows[next] == y) {
                    sinks.back().setRow(y, ownAccum.row(int(next)), ownCount.row(int(next)));
                    ++next;
                } else {
                    sinks.back().setRow(y, accum.row(y), count.row(y));
                }
            }
        }
    }

    // Adds the private rows into the run's planes, band after band.
    void merge(Plane<Cell> &accum, GrayPlane &count) const
    {
        const int width = accum.width();
        for (std::size_t k = 0; k < privateRows.size(); ++k) {
            for (std::size_t i = 0; i < privateRows[k].size(); ++i) {
                const int y = privateRows[k][i];
                const Cell *fromAccum = privateAccum[k].row(int(i));
                const float *fromCount = privateCount[k].row(int(i));
                Cell *toAccum = accum.row(y);
                float *toCount = count.row(y);
                for (int x = 0; x < width; ++x) {
                    toAccum[x] += fromAccum[x];
                    toCount[x] += fromCount[x];
                }
            }
        }
    }
};

} // namespace

RunStatus runOnThreads(int n, const BandTask &task, RunObserver *observer, bool reportsProgress,
    const BandSeams &seams)
{
    std::vector<std::exception_ptr> errors;
    std::vector<std::thread> threads;
    try {
        errors.resize(std::size_t(n));
        threads.reserve(std::size_t(n > 0 ? n - 1 : 0));
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }

    // Set once the observer asks to cancel or a band fails; read by every band.
    std::atomic<bool> stop {false};
    std::mutex mutex;
    std::condition_variable bandFinished;
    int running = 0; // started threads whose band has not finished, guarded by mutex

    // Runs band k on the current thread and records how it ended; never throws.
    auto runBand = [&](int k, RunObserver *bandObserver) {
        try {
            BandControl control(k, &stop, bandObserver, reportsProgress && k == 0, &seams.atRow);
            task(k, control);
        } catch (...) {
            errors[std::size_t(k)] = std::current_exception();
            stop.store(true);
        }
    };

    int firstOnCaller = 1; // bands from here on run on the calling thread after band 0
    if (!seams.serial) {
        firstOnCaller = n;
        for (int k = 1; k < n; ++k) {
            bool counted = false;
            try {
                if (seams.beforeThreadStart)
                    seams.beforeThreadStart(k);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++running;
                    counted = true;
                }
                threads.emplace_back([&, k] {
                    runBand(k, nullptr);
                    std::lock_guard<std::mutex> lock(mutex);
                    --running;
                    bandFinished.notify_all();
                });
            } catch (...) {
                if (counted) {
                    std::lock_guard<std::mutex> lock(mutex);
                    --running;
                }
                firstOnCaller = k;
                break;
            }
        }
    }

    if (n > 0)
        runBand(0, observer);
    for (int k = firstOnCaller; k < n; ++k)
        runBand(k, observer);

    // Wait for the other bands without ever blocking the caller for long.
    std::exception_ptr callerError;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!bandFinished.wait_for(
            lock, BandControl::kKeepAlivePeriod, [&] { return running == 0; })) {
            if (!observer || callerError)
                continue;
            lock.unlock();
            try {
                observer->keepAlive();
                if (observer->cancelRequested())
                    stop.store(true);
            } catch (...) {
                callerError = std::current_exception();
                stop.store(true);
            }
            lock.lock();
        }
    }
    for (std::thread &thread : threads)
        thread.join();

    bool outOfMemory = false;
    std::exception_ptr failure = callerError;
    for (const std::exception_ptr &error : errors) {
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
    if (stop.load())
        return RunStatus::Cancelled;
    return RunStatus::Done;
}

template<typename Cell>
RunStatus runBands(const std::vector<RowRange> &bands, int radius, Plane<Cell> &accum,
    GrayPlane &count, const NormalTable &table, const BandWork<Cell> &work, RunObserver *observer,
    const BandSeams &seams)
{
    const int n = int(bands.size());
    if (n == 0)
        return RunStatus::Done;

    std::unique_ptr<BandTargets<Cell>> targets;
    try {
        targets = std::make_unique<BandTargets<Cell>>(bands, radius, accum, count);
    } catch (const std::bad_alloc &) {
        return RunStatus::OutOfMemory;
    }
    const BandTask task = [&](int k, BandControl &control) {
        NormalCursor cursor = table.cursor(k, n);
        const RowRange band = bands[std::size_t(k)];
        work(control, band.begin, band.end, targets->sinks[std::size_t(k)], cursor);
    };
    const RunStatus status = runOnThreads(n, task, observer, true, seams);
    if (status == RunStatus::Done)
        targets->merge(accum, count);
    return status;
}

RunStatus runRowStage(
    const std::vector<RowRange> &bands, const RowWork &work, RunObserver *observer)
{
    const BandTask task = [&](int k, BandControl &control) {
        work(control, bands[std::size_t(k)].begin, bands[std::size_t(k)].end);
    };
    return runOnThreads(int(bands.size()), task, observer, false, BandSeams());
}

template RunStatus runBands<float>(const std::vector<RowRange> &, int, GrayPlane &, GrayPlane &,
    const NormalTable &, const BandWork<float> &, RunObserver *, const BandSeams &);
template RunStatus runBands<Vec3>(const std::vector<RowRange> &, int, ColorPlane &, GrayPlane &,
    const NormalTable &, const BandWork<Vec3> &, RunObserver *, const BandSeams &);
