// The row splits and the runners: exact sharing of rows, progress, liveness, failures.
#include "core/band_runner.h"
#include "core/row_worker.h"
#include "core/run_stages.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Ranges = std::vector<RowRange>;

template<typename Cell>
bool visitRows(BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &)
{
    for (int y = rowBegin; y < rowEnd; ++y)
        if (!control.beginRow(y))
            return false;
    return true;
}

template<typename Cell>
Plane<Cell> zeroPlane(int width, int height)
{
    Plane<Cell> plane(width, height);
    std::fill(plane.data(), plane.data() + plane.cellCount(), Cell(0.0f));
    return plane;
}

// Everything a chunk of the real worker reads, built from a source as a run builds it.
template<typename Cell>
struct Scene
{
    Scene(Plane<Cell> source, DenoiseParams params, const NormalTable &table)
        : src(std::move(source))
        , smooth(src.width(), src.height())
        , dirX(src.width(), src.height())
        , dirY(src.width(), src.height())
        , inputs {src, smooth, dirX, dirY, expTable.data(), table, params}
    {
        BandControl control;
        presmooth(src, smooth, control);
        fillDirections(smooth, dirX, dirY, control);
        fillExpTable(expTable.data(), kExpTableSize);
    }

    bool operator()(
        BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &sink) const
    {
        return denoiseRows(inputs, control, rowBegin, rowEnd, sink);
    }

    Plane<Cell> src, smooth;
    GrayPlane dirX, dirY;
    ExpTable expTable;
    RowInputs<Cell> inputs;
};

// Each chunk computed on its own and added up in chunk order: what the runner must reproduce
// bit for bit on any number of threads, however they are timed. Thin chunks with a wide patch
// make most rows shared.
template<typename Cell>
void expectSameAsSeparateChunks(const Scene<Cell> &scene, int originY, int chunk)
{
    const int width = scene.src.width();
    const int height = scene.src.height();
    const int radius = scene.inputs.params.patchRadius;
    Plane<Cell> sums = zeroPlane<Cell>(width, height);
    GrayPlane counts = zeroPlane<float>(width, height);
    for (const RowRange rows : chunkRows(height, radius, originY, chunk)) {
        Plane<Cell> accum = zeroPlane<Cell>(width, height);
        GrayPlane count = zeroPlane<float>(width, height);
        BandControl control;
        scene(control, rows.begin, rows.end, BandSink<Cell>(accum, count));
        for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
            sums.data()[i] = sums.data()[i] + accum.data()[i];
            counts.data()[i] += count.data()[i];
        }
    }
    for (const int threads : {1, 2, 3, 64}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        Plane<Cell> accum = zeroPlane<Cell>(width, height);
        GrayPlane count = zeroPlane<float>(width, height);
        std::vector<std::atomic<int>> visits(static_cast<std::size_t>(height));
        BandSeams seams;
        seams.chunkRows = chunk;
        seams.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
        const ChunkWork<Cell> work = std::cref(scene);
        ASSERT_EQ(runChunks(threads, radius, originY, accum, count, work, nullptr, seams),
            RunStatus::Done);
        for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
            ASSERT_TRUE(count.data()[i] == counts.data()[i]) << "count at " << i;
            ASSERT_TRUE(accum.data()[i] == sums.data()[i]) << "sum at " << i;
        }
        for (const auto &v : visits)
            ASSERT_EQ(v, 1);
    }
}

} // namespace

TEST(SplitRows, StagesAndChunks)
{
    EXPECT_EQ(splitRows(300, 4), Ranges({{0, 75}, {75, 150}, {150, 225}, {225, 300}}));
    EXPECT_EQ(splitRows(257, 3), Ranges({{0, 85}, {85, 171}, {171, 257}}));
    EXPECT_EQ(splitRows(200, 0), Ranges({{0, 200}}));
    EXPECT_EQ(splitRows(3, 8), Ranges({{0, 1}, {1, 2}, {2, 3}}));
    // Edges at the image rows that are multiples of 16, whatever the origin.
    EXPECT_EQ(chunkRows(40, 2, 0), Ranges({{0, 16}, {16, 32}, {32, 40}}));
    EXPECT_EQ(chunkRows(40, 2, 37), Ranges({{0, 11}, {11, 27}, {27, 40}}));
    EXPECT_EQ(chunkRows(40, 2, -5), Ranges({{0, 5}, {5, 21}, {21, 37}, {37, 40}}));
    EXPECT_EQ(chunkRows(16, 5, 0), Ranges({{0, 16}}));
    // At least twice the radius, so that the rows around two edges never meet.
    EXPECT_EQ(chunkRows(25, 5, 0, 1), Ranges({{0, 10}, {10, 20}, {20, 25}}));
}

TEST(ChunkRunner, ReportsTheShareOfRowsDoneFromTheCallingThreadOnly)
{
    GrayPlane accum(30, 200), count(30, 200);
    RecordingObserver alone;
    ASSERT_EQ(runChunks<float>(1, 2, 0, accum, count, visitRows<float>, &alone), RunStatus::Done);
    EXPECT_EQ(alone.reports, std::vector<int>({0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96}));
    RecordingObserver shared;
    ASSERT_EQ(runChunks<float>(3, 2, 0, accum, count, visitRows<float>, &shared), RunStatus::Done);
    // Other threads may have done every row before the caller looks: no report is also right.
    EXPECT_TRUE(std::is_sorted(shared.reports.begin(), shared.reports.end()));
    EXPECT_EQ(
        std::adjacent_find(shared.reports.begin(), shared.reports.end()), shared.reports.end());
    EXPECT_TRUE(shared.reports.empty() || shared.reports.back() <= 99);
    EXPECT_FALSE(shared.calledFromOtherThread);
}

// The caller stays live while computing its chunk and while waiting for a slower one, and a
// cancel asked for during the wait stops the slow chunk.
TEST(ChunkRunner, KeepsTheCallerLiveWhileComputingAndWaiting)
{
    GrayPlane accum(300, 32), count(300, 32);
    const auto busyFor = [](BandControl &control, std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            if (!control.betweenPixels())
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };
    std::atomic<bool> slowChunkStopped {false};
    std::atomic<int> started {0};
    const ChunkWork<float> work
        = [&](BandControl &control, int rowBegin, int, const BandSink<float> &) {
              if (!control.beginRow(rowBegin))
                  return false;
              if (started++ == 0)
                  return busyFor(control, 200ms);
              slowChunkStopped = !busyFor(control, 600ms);
              return !slowChunkStopped;
          };
    RecordingObserver observer;
    ASSERT_EQ(runChunks(2, 1, 0, accum, count, work, &observer), RunStatus::Done);
    EXPECT_GE(observer.keepAlives, 12); // about 24 at one per 25 ms
    EXPECT_FALSE(observer.calledFromOtherThread);

    RecordingObserver cancelling;
    cancelling.cancelAtKeepAlive = 10; // after the first chunk's 200 ms
    started = 0;
    EXPECT_EQ(runChunks(2, 1, 0, accum, count, work, &cancelling), RunStatus::Cancelled);
    EXPECT_TRUE(slowChunkStopped);
}

TEST(ChunkRunner, FailuresOnAnyThreadAreReportedAfterEveryThreadIsJoined)
{
    GrayPlane accum(300, 300), count(300, 300);
    std::atomic<bool> returned {false};
    std::atomic<int> rowsAfterReturn {0};
    const auto failAt = [&](int failingRow, auto error) {
        BandSeams seams;
        seams.atRow = [&, failingRow, error](int, int row) {
            if (returned)
                ++rowsAfterReturn;
            if (row == failingRow)
                throw error;
        };
        returned = false;
        return seams;
    };
    for (const int failingRow : {3, 170}) {
        EXPECT_EQ(runChunks<float>(4, 2, 0, accum, count, visitRows<float>, nullptr,
                      failAt(failingRow, std::bad_alloc())),
            RunStatus::OutOfMemory)
            << "row " << failingRow;
        returned = true;
    }
    EXPECT_THROW(runChunks<float>(4, 2, 0, accum, count, visitRows<float>, nullptr,
                     failAt(250, std::runtime_error("broken chunk"))),
        std::runtime_error);
    returned = true;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rowsAfterReturn, 0);
}

TEST(ChunkRunner, ThinChunksAddExactlyWhatSeparateChunksAdd)
{
    const NormalTable table(777u);
    const Scene<float> gray(
        addNoise(sceneGray(16, 100), 20.0f, 5), grayParams(80, 16, 100), table); // radius 5
    expectSameAsSeparateChunks(gray, 0, 1);
    expectSameAsSeparateChunks(gray, 7, 16);
    const Scene<Vec3> color(
        addNoise(sceneColor(12, 57), 20.0f, 6), colorParams(60, 12, 57), table); // radius 3
    expectSameAsSeparateChunks(color, 3, 1);
}

// Every row of every band exactly once, on as many threads as bands; a cancel while the
// calling thread's band runs stops every band.
TEST(RowStage, CoversEveryRowOnceAndStopsWhenCancelled)
{
    const Ranges bands = splitRows(1000, 3);
    std::vector<std::atomic<int>> visits(1000);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::atomic<int> rowsDone {0};
    const auto work = [&](bool slow) -> RowWork {
        return [&, slow](BandControl &control, int rowBegin, int rowEnd) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
            }
            for (int y = rowBegin; y < rowEnd; ++y) {
                if (!control.betweenPixels())
                    return false;
                if (slow)
                    std::this_thread::sleep_for(1ms);
                ++visits[std::size_t(y)];
                ++rowsDone;
            }
            return true;
        };
    };
    RecordingObserver observer;
    ASSERT_EQ(runRowStage(bands, work(false), &observer), RunStatus::Done);
    for (const auto &v : visits)
        ASSERT_EQ(v, 1);
    EXPECT_EQ(threads.size(), 3u);
    EXPECT_TRUE(observer.reports.empty());

    rowsDone = 0;
    RecordingObserver cancelling;
    cancelling.cancelAtKeepAlive = 2;
    EXPECT_EQ(runRowStage(bands, work(true), &cancelling), RunStatus::Cancelled);
    EXPECT_LT(rowsDone, 500);
    EXPECT_FALSE(cancelling.calledFromOtherThread);
}
