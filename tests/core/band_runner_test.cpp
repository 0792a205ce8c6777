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

using Ranges = std::vector<RowRange>;

// Work that visits the rows and computes nothing.
template<typename Cell>
bool visitRows(
    BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &, NormalCursor &)
{
    for (int y = rowBegin; y < rowEnd; ++y)
        if (!control.beginRow(y, rowEnd))
            return false;
    return true;
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

    bool rows(BandControl &control, int rowBegin, int rowEnd, const BandSink<float> &sink,
        NormalCursor &cursor) const
    {
        return denoiseGrayRows(
            control, rowBegin, rowEnd, dirX, dirY, src, sink, smooth, cursor, expTable, params);
    }
    bool rows(BandControl &control, int rowBegin, int rowEnd, const BandSink<Vec3> &sink,
        NormalCursor &cursor) const
    {
        return denoiseColorRows(
            control, rowBegin, rowEnd, dirX, dirY, src, sink, smooth, cursor, expTable, params);
    }
    BandWork<Cell> work() const
    {
        return [this](BandControl &control, int rowBegin, int rowEnd, const BandSink<Cell> &sink,
                   NormalCursor &cursor) { return rows(control, rowBegin, rowEnd, sink, cursor); };
    }

    Plane<Cell> src;
    Plane<Cell> smooth;
    GrayPlane dirX;
    GrayPlane dirY;
    DenoiseParams params;
    ExpTable expTable;
};

template<typename Cell>
Plane<Cell> zeroPlane(int width, int height)
{
    Plane<Cell> plane(width, height);
    std::fill(plane.data(), plane.data() + plane.cellCount(), Cell(0.0f));
    return plane;
}

// Sums and counts when every band is computed on its own into planes of its own, with the
// same cursors, and the planes are added up in band order: what the runner must reproduce
// bit for bit, however its threads are timed.
template<typename Cell>
std::pair<Plane<Cell>, GrayPlane> separateBands(
    const Scene<Cell> &scene, const Ranges &bands, const NormalTable &table)
{
    const int width = scene.src.width();
    const int height = scene.src.height();
    auto total = std::make_pair(zeroPlane<Cell>(width, height), zeroPlane<float>(width, height));
    for (int k = 0; k < int(bands.size()); ++k) {
        Plane<Cell> accum = zeroPlane<Cell>(width, height);
        GrayPlane count = zeroPlane<float>(width, height);
        BandControl control;
        NormalCursor cursor = table.cursor(k, int(bands.size()));
        scene.rows(control, bands[std::size_t(k)].begin, bands[std::size_t(k)].end,
            BandSink<Cell>(accum, count), cursor);
        for (std::int64_t i = 0; i < accum.cellCount(); ++i) {
            total.first.data()[i] = total.first.data()[i] + accum.data()[i];
            total.second.data()[i] += count.data()[i];
        }
    }
    return total;
}

template<typename Cell>
void expectBitIdentical(const Plane<Cell> &a, const Plane<Cell> &b, const char *what)
{
    ASSERT_EQ(a.cellCount(), b.cellCount());
    for (std::int64_t i = 0; i < a.cellCount(); ++i)
        ASSERT_TRUE(a.data()[i] == b.data()[i]) << what << " differs at cell " << i;
}

} // namespace

TEST(SplitRows, SplitsOnlyImagesLargerThan256OnBothSides)
{
    EXPECT_EQ(splitRows(300, 200, 4), Ranges({{0, 200}}));
    EXPECT_EQ(splitRows(256, 1000, 4), Ranges({{0, 1000}}));
    EXPECT_EQ(splitRows(300, 300, 4), Ranges({{0, 75}, {75, 150}, {150, 225}, {225, 300}}));
    EXPECT_EQ(splitRows(257, 257, 3), Ranges({{0, 85}, {85, 171}, {171, 257}}));
    EXPECT_EQ(splitRows(300, 1000, 3), Ranges({{0, 333}, {333, 666}, {666, 1000}}));
    EXPECT_EQ(splitRows(300, 300, 1), Ranges({{0, 300}}));
    EXPECT_EQ(splitRows(300, 300, 0), Ranges({{0, 300}}));
    EXPECT_GE(hardwareThreads(), 1);
}

TEST(SplitRows, MoreThreadsThanRowsGiveOneRowPerBand)
{
    const Ranges thin = splitRows(300, 300, 64);
    ASSERT_EQ(thin.size(), 64u);
    EXPECT_EQ(thin.front(), RowRange({0, 4}));
    const Ranges single = splitRows(400, 260, 1000);
    ASSERT_EQ(single.size(), 260u);
    for (int k = 0; k < 260; ++k)
        EXPECT_EQ(single[std::size_t(k)], RowRange({k, k + 1}));
}

TEST(BandRunner, ReportsProgressOfTheCallingThreadsBandOnly)
{
    GrayPlane accum(300, 1000);
    GrayPlane count(300, 1000);
    const NormalTable table(std::vector<float>(8, 0.0f), 0);
    RecordingObserver observer;
    ASSERT_EQ(runBands<float>(
                  splitRows(300, 1000, 3), 2, accum, count, table, visitRows<float>, &observer),
        RunStatus::Done);
    EXPECT_EQ(observer.reports, std::vector<int>({0, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99}));

    // A calling-thread band of 4 rows reports at every row.
    RecordingObserver thin;
    ASSERT_EQ(
        runBands<float>(splitRows(300, 300, 64), 5, accum, count, table, visitRows<float>, &thin),
        RunStatus::Done);
    EXPECT_EQ(thin.reports, std::vector<int>({0, 25, 50, 75}));
    EXPECT_FALSE(observer.calledFromOtherThread || thin.calledFromOtherThread);
}

// The calling thread keeps its observer live while it computes a long band and while it
// waits for a slower one, and a cancel asked for during the wait stops the slow band.
TEST(BandRunner, KeepsTheCallerLiveWhileComputingAndWaiting)
{
    using namespace std::chrono_literals;
    GrayPlane accum(300, 300);
    GrayPlane count(300, 300);
    const NormalTable table(std::vector<float>(8, 0.0f), 0);
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
    ASSERT_EQ(
        runBands(splitRows(300, 300, 2), 1, accum, count, table, work, &observer), RunStatus::Done);
    // About 24 calls over 600 ms at one per 25 ms; far fewer would freeze a dialog.
    EXPECT_GE(observer.keepAlives, 12);
    EXPECT_FALSE(observer.calledFromOtherThread);

    RecordingObserver cancelling;
    cancelling.cancelAtKeepAlive = 10; // during the wait, after band 0's 200 ms
    EXPECT_EQ(runBands(splitRows(300, 300, 2), 1, accum, count, table, work, &cancelling),
        RunStatus::Cancelled);
    EXPECT_TRUE(slowBandStopped);
    EXPECT_GE(cancelling.keepAlives, 10);
}

TEST(BandRunner, FailuresOnAnyThreadAreReportedAfterEveryThreadIsJoined)
{
    GrayPlane accum(300, 300);
    GrayPlane count(300, 300);
    const NormalTable table(std::vector<float>(8, 0.0f), 0);
    const Ranges bands = splitRows(300, 300, 4);
    std::atomic<bool> returned {false};
    std::atomic<int> rowsAfterReturn {0};
    for (const int failing : {0, 2}) {
        BandSeams seams;
        seams.atRow = [&](int band, int row) {
            if (returned)
                ++rowsAfterReturn;
            if (band == failing && row == bands[std::size_t(band)].begin + 3)
                throw std::bad_alloc();
        };
        returned = false;
        EXPECT_EQ(runBands<float>(bands, 1, accum, count, table, visitRows<float>, nullptr, seams),
            RunStatus::OutOfMemory)
            << "band " << failing;
        returned = true;
    }

    BandSeams broken;
    broken.atRow = [&](int band, int) {
        if (returned)
            ++rowsAfterReturn;
        if (band == 3)
            throw std::runtime_error("broken band");
    };
    returned = false;
    EXPECT_THROW(runBands<float>(bands, 1, accum, count, table, visitRows<float>, nullptr, broken),
        std::runtime_error);
    returned = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rowsAfterReturn, 0);
}

class BandRunnerOnSeededSamples : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(777u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> BandRunnerOnSeededSamples::table_;

// Bands of 4 and 5 rows with a patch radius of 5 (gray level 80): every boundary row is
// written by up to four bands, which a merge with the neighbouring bands only would miss.
TEST_F(BandRunnerOnSeededSamples, ThinGrayBandsAddExactlyWhatSeparateBandsAdd)
{
    const Scene<float> scene(addNoise(sceneGray(16, 300), 20.0f, 5), grayParams(80, 16, 300));
    const Ranges bands = splitRows(300, 300, 64);
    const auto expected = separateBands(scene, bands, *table_);

    for (const bool serial : {false, true}) {
        GrayPlane accum = zeroPlane<float>(16, 300);
        GrayPlane count = zeroPlane<float>(16, 300);
        std::vector<std::atomic<int>> visits(300);
        BandSeams seams;
        seams.serial = serial;
        seams.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
        ASSERT_EQ(runBands(bands, 5, accum, count, *table_, scene.work(), nullptr, seams),
            RunStatus::Done);
        expectBitIdentical(count, expected.second, serial ? "serial count" : "threaded count");
        expectBitIdentical(accum, expected.first, serial ? "serial sums" : "threaded sums");
        for (const auto &v : visits)
            ASSERT_EQ(v, 1);
    }
}

TEST_F(BandRunnerOnSeededSamples, ThinColorBandsAddExactlyWhatSeparateBandsAdd)
{
    const Scene<Vec3> scene(addNoise(sceneColor(12, 257), 20.0f, 6), colorParams(60, 12, 257));
    const Ranges bands = splitRows(300, 257, 100); // 2 and 3 rows, radius 3
    const auto expected = separateBands(scene, bands, *table_);
    ColorPlane accum = zeroPlane<Vec3>(12, 257);
    GrayPlane count = zeroPlane<float>(12, 257);
    ASSERT_EQ(runBands(bands, 3, accum, count, *table_, scene.work(), nullptr), RunStatus::Done);
    expectBitIdentical(count, expected.second, "count");
    expectBitIdentical(accum, expected.first, "sums");
}

// The stages around the workers: every row of every band exactly once, on as many threads as
// bands, and a cancel asked for while the calling thread's band runs stops every band.
TEST(RowStage, CoversEveryRowOnceAndStopsWhenCancelled)
{
    const Ranges bands = splitRows(300, 1000, 3);
    std::vector<std::atomic<int>> visits(1000);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    const RowWork visit = [&](BandControl &control, int rowBegin, int rowEnd) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
        }
        for (int y = rowBegin; y < rowEnd; ++y) {
            if (!control.betweenPixels())
                return false;
            ++visits[std::size_t(y)];
        }
        return true;
    };
    RecordingObserver observer;
    ASSERT_EQ(runRowStage(bands, visit, &observer), RunStatus::Done);
    for (const auto &v : visits)
        ASSERT_EQ(v, 1);
    EXPECT_EQ(threads.size(), 3u);
    EXPECT_TRUE(observer.reports.empty());

    using namespace std::chrono_literals;
    std::atomic<int> rowsDone {0};
    const RowWork slow = [&](BandControl &control, int rowBegin, int rowEnd) {
        for (int y = rowBegin; y < rowEnd; ++y) {
            if (!control.betweenPixels())
                return false;
            std::this_thread::sleep_for(1ms);
            ++rowsDone;
        }
        return true;
    };
    RecordingObserver cancelling;
    cancelling.cancelAtKeepAlive = 2;
    EXPECT_EQ(runRowStage(bands, slow, &cancelling), RunStatus::Cancelled);
    EXPECT_LT(rowsDone, 500);
    EXPECT_FALSE(observer.calledFromOtherThread || cancelling.calledFromOtherThread);
}
