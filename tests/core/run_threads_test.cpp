// The row splits and the chunk runner: exact sharing of rows and failures on any thread.
#include "core/row_worker.h"
#include "core/run_threads.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// Threads of a run that have computed a row and not yet ended: a thread's thread_local objects
// are destroyed before a join of it returns. Each lingers a little as it ends, so that a runner
// that returned without joining would see it still counted.
std::atomic<int> liveThreads {0};

struct LiveThread
{
    LiveThread() { ++liveThreads; }
    ~LiveThread()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --liveThreads;
    }
};

bool visitRows(ThreadControl &control, int rowBegin, int rowEnd, const ChunkSink<float> &)
{
    for (int y = rowBegin; y < rowEnd; ++y)
        if (!control.beginRow(y))
            return false;
    return true;
}

// Each chunk computed on its own, part by part, with the parts and then the chunks added up in
// order: what the runner must reproduce bit for bit on any number of threads, however they are
// timed. Thin chunks and parts with a wide patch make most cells shared.
template<typename Cell>
void expectSameAsSeparateChunks(
    const WorkerInputs<Cell> &scene, int originX, int originY, int chunk, int columns)
{
    SCOPED_TRACE(testing::Message() << "chunks of " << chunk << " rows and " << columns
                                    << " columns from " << originX << ", " << originY);
    const ChunkWork<Cell> work
        = [&scene](ThreadControl &control, int rowBegin, int rowEnd, const ChunkSink<Cell> &sink) {
              return denoiseRows(scene.inputs, control, rowBegin, rowEnd, sink);
          };
    const int width = scene.src.width();
    const int height = scene.src.height();
    const int radius = scene.inputs.params.patchRadius;
    const auto addInto = [](auto &sums, const auto &plane) {
        for (std::int64_t i = 0; i < plane.cellCount(); ++i)
            sums.data()[i] = sums.data()[i] + plane.data()[i];
    };
    Plane<Cell> sums = Plane<Cell>(width, height);
    GrayPlane counts = GrayPlane(width, height);
    for (const RowRange rows : chunkRows(height, radius, originY, chunk)) {
        Plane<Cell> chunkSums = Plane<Cell>(width, height);
        GrayPlane chunkCounts = GrayPlane(width, height);
        for (const RowRange part : chunkRows(width, radius, originX, columns)) {
            Plane<Cell> accum = Plane<Cell>(width, height);
            GrayPlane count = GrayPlane(width, height);
            ThreadControl control;
            work(
                control, rows.begin, rows.end, ChunkSink<Cell>(accum, count, part.begin, part.end));
            addInto(chunkSums, accum);
            addInto(chunkCounts, count);
        }
        addInto(sums, chunkSums);
        addInto(counts, chunkCounts);
    }
    for (const int threads : {1, 2, 3, 64}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        Plane<Cell> accum = Plane<Cell>(width, height);
        GrayPlane count = GrayPlane(width, height);
        std::vector<std::atomic<int>> visits(static_cast<std::size_t>(height));
        RunHooks hooks;
        hooks.chunkRows = chunk;
        hooks.chunkColumns = columns;
        hooks.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
        ASSERT_EQ(runChunks(threads, radius, originX, originY, accum, count, work, nullptr, &hooks),
            RunStatus::Done);
        for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
            ASSERT_TRUE(count.data()[i] == counts.data()[i]) << "count at " << i;
            ASSERT_TRUE(accum.data()[i] == sums.data()[i]) << "sum at " << i;
        }
        const int parts = int(chunkRows(width, radius, originX, columns).size());
        for (const auto &v : visits)
            ASSERT_EQ(v, parts);
    }
}

} // namespace

TEST(ChunkRunner, FailuresOnAnyThreadAreReportedAfterEveryThreadIsJoined)
{
    GrayPlane accum(300, 300), count(300, 300);
    RunHooks hooks;
    const auto failAt = [&](int failingRow, auto error) {
        hooks.atRow = [failingRow, error](int thread, int row) {
            if (thread != 0) {
                thread_local LiveThread live;
            }
            if (row == failingRow)
                throw error;
        };
        return &hooks;
    };
    for (const int failingRow : {3, 170}) {
        EXPECT_EQ(runChunks<float>(4, 2, 0, 0, accum, count, visitRows, nullptr,
                      failAt(failingRow, std::bad_alloc())),
            RunStatus::OutOfMemory)
            << "row " << failingRow;
        EXPECT_EQ(liveThreads, 0);
    }
    EXPECT_THROW(runChunks<float>(4, 2, 0, 0, accum, count, visitRows, nullptr,
                     failAt(250, std::runtime_error("broken chunk"))),
        std::runtime_error);
    EXPECT_EQ(liveThreads, 0);
}

TEST(ChunkRunner, ThinChunksAddExactlyWhatSeparateChunksAdd)
{
    const NormalTable table(777u);
    const WorkerInputs<float> gray(
        addNoise(sceneGray(16, 100), 20.0f, 5), grayParams(80, 16, 100), table); // radius 5
    expectSameAsSeparateChunks(gray, 0, 0, 1, kChunkColumns);
    expectSameAsSeparateChunks(gray, 0, 7, 16, kChunkColumns);
    expectSameAsSeparateChunks(gray, 4, 0, 1, 1); // parts of 10 columns, the first of 6
    const WorkerInputs<Vec3> color(
        addNoise(sceneColor(12, 57), 20.0f, 6), colorParams(60, 12, 57), table); // radius 3
    expectSameAsSeparateChunks(color, 0, 3, 1, kChunkColumns);
    expectSameAsSeparateChunks(color, 5, 3, 1, 1); // parts of 6 columns, the first of 1
}
