// The row split and the band runner: exact sharing of rows, progress, liveness, failures.
#include "core/band_runner.h"
#include "core/color_worker.h"
#include "core/gray_worker.h"
#include "core/run_stages.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

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
bool visitRows(
    BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &, NormalCursor &)
{
    for (int y = rowBegin; y < rowEnd; ++y)
        if (!control.beginRow(y, rowEnd))
            return false;
    return true;
}

const NormalTable kZeros(std::vector<float>(8, 0.0f), 0);

template<typename Cell>
Plane<Cell> zeroPlane(int width, int height)
{
    Plane<Cell> plane(width, height);
    std::fill(plane.data(), plane.data() + plane.cellCount(), Cell(0.0f));
    return plane;
}

// Everything a band of the real worker reads, built from a source as a run builds it.
template<typename Cell>
struct Scene
{
    Scene(Plane<Cell> source, DenoiseParams params)
        : src(std::move(source))
        , smooth(src.width(), src.height())
        , dirX(src.width(), src.height())
        , dirY(src.width(), src.height())
        , params(params)
    {
        BandControl control;
        presmooth(src, smooth, control);
        fillDirections(smooth, dirX, dirY, control);
        fillExpTable(expTable.data(), kExpTableSize);
    }

    bool operator()(BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &sink,
        NormalCursor &cursor) const
    {
        if constexpr (std::is_same_v<Cell, float>)
            return denoiseGrayRows(
                control, rowBegin, rowEnd, dirX, dirY, src, sink, smooth, cursor, expTable, params);
        else
            return denoiseColorRows(
                control, rowBegin, rowEnd, dirX, dirY, src, sink, smooth, cursor, expTable, params);
    }

    Plane<Cell> src, smooth;
    GrayPlane dirX, dirY;
    DenoiseParams params;
    ExpTable expTable;
};

// Each band computed on its own with the runner's cursor and added up in band order: what
// the runner must reproduce bit for bit, however its threads are timed. Thin bands with a wide
// patch make every boundary row written by up to four bands.
template<typename Cell>
void expectSameAsSeparateBands(const Scene<Cell> &scene, const Ranges &bands, int callerBand,
    const NormalTable &table, bool serial)
{
    const int width = scene.src.width();
    const int height = scene.src.height();
    Plane<Cell> sums = zeroPlane<Cell>(width, height);
    GrayPlane counts = zeroPlane<float>(width, height);
    for (int k = 0; k < int(bands.size()); ++k) {
        Plane<Cell> accum = zeroPlane<Cell>(width, height);
        GrayPlane count = zeroPlane<float>(width, height);
        BandControl control;
        NormalCursor cursor = table.cursor(k, int(bands.size()));
        scene(control, bands[std::size_t(k)].begin, bands[std::size_t(k)].end,
            BandSink<Cell>(accum, count), cursor);
        for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
            sums.data()[i] = sums.data()[i] + accum.data()[i];
            counts.data()[i] += count.data()[i];
        }
    }
    Plane<Cell> accum = zeroPlane<Cell>(width, height);
    GrayPlane count = zeroPlane<float>(width, height);
    std::vector<std::atomic<int>> visits(static_cast<std::size_t>(height));
    BandSeams seams;
    seams.serial = serial;
    seams.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
    const BandWork<Cell> work = std::cref(scene);
    ASSERT_EQ(
        runBands(bands, callerBand, accum, count, table, work, nullptr, seams), RunStatus::Done);
    for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
        ASSERT_TRUE(count.data()[i] == counts.data()[i]) << "count at " << i;
        ASSERT_TRUE(accum.data()[i] == sums.data()[i]) << "sum at " << i;
    }
    for (const auto &v : visits)
        ASSERT_EQ(v, 1);
}

} // namespace

TEST(SplitRows, SplitsOnlyImagesLargerThan256OnBothSides)
{
    EXPECT_EQ(splitRows(300, 200, 4), Ranges({{0, 200}}));
    EXPECT_EQ(splitRows(256, 1000, 4), Ranges({{0, 1000}}));
    EXPECT_EQ(splitRows(300, 300, 4), Ranges({{0, 75}, {75, 150}, {150, 225}, {225, 300}}));
    EXPECT_EQ(splitRows(257, 257, 3), Ranges({{0, 85}, {85, 171}, {171, 257}}));
    EXPECT_EQ(splitRows(300, 1000, 3), Ranges({{0, 333}, {333, 666}, {666, 1000}}));
    EXPECT_EQ(splitRows(300, 300, 0), Ranges({{0, 300}}));
    const Ranges single = splitRows(400, 260, 1000);
    ASSERT_EQ(single.size(), 260u);
    for (int k = 0; k < 260; ++k)
        EXPECT_EQ(single[std::size_t(k)], RowRange({k, k + 1}));
}

TEST(BandRunner, ReportsProgressOfTheCallingThreadsBandOnly)
{
    GrayPlane accum(300, 1000), count(300, 1000);
    const struct
    {
        Ranges bands;
        int callerBand;
        std::vector<int> reports;
    } cases[] = {{splitRows(300, 1000, 3), 2, {0, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99}},
        {splitRows(300, 300, 64), 5, {0, 25, 50, 75}}}; // a 4-row band reports every row
    for (const auto &c : cases) {
        RecordingObserver observer;
        ASSERT_EQ(runBands<float>(
                      c.bands, c.callerBand, accum, count, kZeros, visitRows<float>, &observer),
            RunStatus::Done);
        EXPECT_EQ(observer.reports, c.reports);
        EXPECT_FALSE(observer.calledFromOtherThread);
    }
}

// The caller stays live while computing its band and while waiting for a slower one, and a
// cancel asked for during the wait stops the slow band.
TEST(BandRunner, KeepsTheCallerLiveWhileComputingAndWaiting)
{
    GrayPlane accum(300, 300), count(300, 300);
    const auto busyFor = [](BandControl &control, std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            if (!control.betweenPixels())
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    };
    std::atomic<bool> slowBandStopped {false};
    const BandWork<float> work = [&](BandControl &control, int rowBegin, int rowEnd,
                                     const BandSink<float> &, NormalCursor &) {
        if (!control.beginRow(rowBegin, rowEnd))
            return false;
        if (rowBegin == 0)
            return busyFor(control, 200ms);
        slowBandStopped = !busyFor(control, 600ms);
        return !slowBandStopped;
    };
    RecordingObserver observer;
    ASSERT_EQ(runBands(splitRows(300, 300, 2), 1, accum, count, kZeros, work, &observer),
        RunStatus::Done);
    EXPECT_GE(observer.keepAlives, 12); // about 24 at one per 25 ms
    EXPECT_FALSE(observer.calledFromOtherThread);

    RecordingObserver cancelling;
    cancelling.cancelAtKeepAlive = 10; // during the wait, after band 0's 200 ms
    EXPECT_EQ(runBands(splitRows(300, 300, 2), 1, accum, count, kZeros, work, &cancelling),
        RunStatus::Cancelled);
    EXPECT_TRUE(slowBandStopped);
}

TEST(BandRunner, FailuresOnAnyThreadAreReportedAfterEveryThreadIsJoined)
{
    GrayPlane accum(300, 300), count(300, 300);
    const Ranges bands = splitRows(300, 300, 4);
    std::atomic<bool> returned {false};
    std::atomic<int> rowsAfterReturn {0};
    const auto failIn = [&](int failing, auto error) {
        BandSeams seams;
        seams.atRow = [&, failing, error](int band, int row) {
            if (returned)
                ++rowsAfterReturn;
            if (band == failing && row == bands[std::size_t(band)].begin + 3)
                throw error;
        };
        returned = false;
        return seams;
    };
    for (const int failing : {0, 2}) {
        EXPECT_EQ(runBands<float>(bands, 1, accum, count, kZeros, visitRows<float>, nullptr,
                      failIn(failing, std::bad_alloc())),
            RunStatus::OutOfMemory)
            << "band " << failing;
        returned = true;
    }
    EXPECT_THROW(runBands<float>(bands, 1, accum, count, kZeros, visitRows<float>, nullptr,
                     failIn(3, std::runtime_error("broken band"))),
        std::runtime_error);
    returned = true;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rowsAfterReturn, 0);
}

TEST(BandRunner, ThinBandsAddExactlyWhatSeparateBandsAdd)
{
    const NormalTable table(777u);
    const Scene<float> gray(addNoise(sceneGray(16, 300), 20.0f, 5), grayParams(80, 16, 300));
    for (const bool serial : {false, true}) {
        SCOPED_TRACE(serial ? "serial" : "threaded");
        expectSameAsSeparateBands(gray, splitRows(300, 300, 64), 5, table, serial); // radius 5
    }
    const Scene<Vec3> color(addNoise(sceneColor(12, 257), 20.0f, 6), colorParams(60, 12, 257));
    expectSameAsSeparateBands(color, splitRows(300, 257, 100), 3, table, false); // radius 3
}

// Every row of every band exactly once, on as many threads as bands; a cancel while the
// calling thread's band runs stops every band.
TEST(RowStage, CoversEveryRowOnceAndStopsWhenCancelled)
{
    const Ranges bands = splitRows(300, 1000, 3);
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
