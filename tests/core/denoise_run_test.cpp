// The whole run on planes: refusals, exactness on constant and scripted images, progress,
// cancellation, failures and the quality gained on a noisy scene.
#include "core/band_runner.h"
#include "core/denoise_run.h"
#include "core/run_stages.h"
#include "core/sample_tables.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <system_error>
#include <thread>

namespace {

template<typename Cell>
void expectSamePlanes(const Plane<Cell> &a, const Plane<Cell> &b)
{
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    for (std::int64_t i = 0; i < a.cellCount(); ++i)
        ASSERT_TRUE(a.data()[i] == b.data()[i]) << "cell " << i;
}

const NormalTable kZeros(std::vector<float>(16, 0.0f), 0);

RunOptions runOptions(const NormalTable *table, int threads = 1, RunObserver *observer = nullptr,
    const BandSeams *seams = nullptr)
{
    RunOptions o;
    o.table = table;
    o.threads = threads;
    o.observer = observer;
    o.seams = seams;
    return o;
}

RunStatus denoise(const GrayPlane &src, int level, GrayPlane &out, const RunOptions &o)
{
    return denoiseGray(src, level, out, o);
}
RunStatus denoise(const ColorPlane &src, int level, ColorPlane &out, const RunOptions &o)
{
    return denoiseColor(src, level, out, o);
}

} // namespace

TEST(DenoiseRun, RefusesBadLevelsAndWorkingSetsThatDoNotFit)
{
    const GrayPlane gray = constantGray(40, 30, 10.0f);
    RecordingObserver observer;
    RunOptions options = runOptions(&kZeros, 1, &observer);
    for (const int level : {0, -3}) {
        GrayPlane result = constantGray(2, 2, 1.0f);
        EXPECT_EQ(denoiseGray(gray, level, result, options), RunStatus::InvalidLevel);
        EXPECT_EQ(result.cellCount(), 0);
    }
    const std::int64_t needed = runWorkingSetBytes(40, 30, false, false, 1);
    EXPECT_EQ(
        runWorkingSetBytes(40, 30, true, true, 1) - runWorkingSetBytes(40, 30, true, false, 1),
        std::int64_t(kNormalTableSize) * 4);
    GrayPlane result;
    options.memoryLimit = needed - 1;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    EXPECT_EQ(result.cellCount(), 0);
    EXPECT_TRUE(observer.reports.empty());
    options.memoryLimit = needed + 1000;
    options.callerBytes = 1001; // the caller's result image counts against the same limit
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    options.callerBytes = 1000;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::Done);

    // More threads need more of the rows their chunks share.
    ColorPlane colorResult;
    options.callerBytes = 0;
    options.threads = 2;
    options.memoryLimit = runWorkingSetBytes(300, 300, true, false, 1);
    EXPECT_EQ(denoiseColor(constantColor(300, 300, Vec3(10.0f)), 10, colorResult, options),
        RunStatus::OutOfMemory);
}

// All-zero samples keep every walk at its pixel, so every estimate is the pixel's own patch.
TEST(DenoiseRun, ZeroSamplesGiveBackTheInputOnOneThreadAndMore)
{
    const GrayPlane gray = addNoise(sceneGray(260, 257), 20.0f, 1);
    const ColorPlane color = addNoise(sceneColor(257, 260), 20.0f, 2);
    for (const int threads : {1, 3}) {
        GrayPlane grayOut;
        ASSERT_EQ(denoiseGray(gray, 10, grayOut, runOptions(&kZeros, threads)), RunStatus::Done);
        EXPECT_LT(maxDifference(grayOut, gray), 1e-3f) << threads << " threads";
        ColorPlane colorOut;
        ASSERT_EQ(denoiseColor(color, 10, colorOut, runOptions(&kZeros, threads)), RunStatus::Done);
        EXPECT_LT(maxDifference(colorOut, color), 1e-3f) << threads << " threads";
    }
}

TEST(DenoiseRun, ProgressIsTheShareOfRowsDoneThenReaches100)
{
    RecordingObserver observer;
    GrayPlane out;
    ASSERT_EQ(denoiseGray(constantGray(16, 100, 5.0f), 10, out, runOptions(&kZeros, 1, &observer)),
        RunStatus::Done);
    EXPECT_EQ(observer.reports, std::vector<int>({0, 16, 32, 48, 64, 80, 96, 100}));
    // A cancel seen after the final 100 still leaves no result.
    RecordingObserver late;
    late.cancelAtReport = 2;
    ColorPlane result;
    EXPECT_EQ(
        denoiseColor(constantColor(15, 15, Vec3(5.0f)), 10, result, runOptions(&kZeros, 1, &late)),
        RunStatus::Cancelled);
    EXPECT_EQ(late.reports.back(), 100);
    EXPECT_EQ(result.cellCount(), 0);
}

TEST(RunStages, PresmoothingAndNormalisation)
{
    GrayPlane impulse = constantGray(5, 5, 0.0f);
    impulse.at(2, 2) = 16.0f;
    impulse.at(0, 0) = 16.0f;
    GrayPlane smooth(5, 5);
    BandControl control;
    ASSERT_TRUE(presmooth(impulse, smooth, control));
    EXPECT_EQ(smooth.at(2, 2), 4.0f);
    EXPECT_EQ(smooth.at(1, 2), 2.0f);
    EXPECT_EQ(smooth.at(3, 3), 1.0f);
    EXPECT_EQ(smooth.at(0, 0), 9.0f); // (4 + 2 + 2 + 1) * 16 / 16 through clamped neighbours
    ColorPlane colorImpulse(5, 5), colorSmooth(5, 5);
    colorImpulse.at(2, 2) = Vec3(16.0f, 32.0f, 0.0f);
    ASSERT_TRUE(presmooth(colorImpulse, colorSmooth, control));
    EXPECT_EQ(colorSmooth.at(2, 1), Vec3(2.0f, 4.0f, 0.0f));

    // Where nothing was counted (0 or NaN) the source stays.
    GrayPlane accum = constantGray(3, 1, 12.0f);
    GrayPlane count = constantGray(3, 1, 4.0f);
    count.at(1, 0) = 0.0f;
    count.at(2, 0) = std::nanf("");
    ASSERT_TRUE(normalise(accum, count, constantGray(3, 1, 7.0f), control));
    EXPECT_EQ(accum.at(0, 0), 3.0f);
    EXPECT_EQ(accum.at(1, 0), 7.0f);
    EXPECT_EQ(accum.at(2, 0), 7.0f);
}

class DenoiseRunOnSeededSamples : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(424242u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> DenoiseRunOnSeededSamples::table_;

template<typename Cell>
void expectConstantUnchanged(Cell value, const NormalTable &table)
{
    const std::pair<int, std::vector<int>> cases[]
        = {{16, {1, 2}}, {17, {1, 3}}, {257, {1, 2, 3, 8}}, {300, {1, 2, 3, 8}}};
    for (const auto &[side, threadCounts] : cases) {
        const int height = side == 17 ? 300 : side;
        Plane<Cell> src(side, height);
        std::fill(src.data(), src.data() + src.cellCount(), value);
        for (const int threads : threadCounts) {
            SCOPED_TRACE(testing::Message() << side << " x " << height << ", " << threads);
            Plane<Cell> out;
            ASSERT_EQ(denoise(src, 10, out, runOptions(&table, threads)), RunStatus::Done);
            EXPECT_LT(maxDifference(out, src), 1e-3f);
            expectSamePlanes(toPixels(out), src);
        }
    }
}

TEST_F(DenoiseRunOnSeededSamples, ConstantImagesComeBackUnchanged)
{
    expectConstantUnchanged(117.0f, *table_);
    expectConstantUnchanged(Vec3(117.0f, 40.0f, 201.0f), *table_);
}

// Byte-identical on any number of threads, with small chunks so that rows cross many chunk
// edges, also when threads cannot be started and their work falls to the calling thread.
TEST_F(DenoiseRunOnSeededSamples, ResultsDoNotDependOnTheThreads)
{
    const GrayPlane gray = addNoise(sceneGray(120, 100), 20.0f, 3);
    const ColorPlane color = addNoise(sceneColor(80, 60), 30.0f, 4);
    BandSeams small;
    small.chunkRows = 1;
    GrayPlane grayAlone;
    ColorPlane colorAlone;
    ASSERT_EQ(denoiseGray(gray, 50, grayAlone, runOptions(table_.get(), 1, nullptr, &small)),
        RunStatus::Done);
    ASSERT_EQ(denoiseColor(color, 30, colorAlone, runOptions(table_.get(), 1, nullptr, &small)),
        RunStatus::Done);
    for (const int threads : {2, 3, 64}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        GrayPlane grayOut;
        ColorPlane colorOut;
        ASSERT_EQ(
            denoiseGray(gray, 50, grayOut, runOptions(table_.get(), threads, nullptr, &small)),
            RunStatus::Done);
        expectSamePlanes(grayOut, grayAlone);
        ASSERT_EQ(
            denoiseColor(color, 30, colorOut, runOptions(table_.get(), threads, nullptr, &small)),
            RunStatus::Done);
        expectSamePlanes(colorOut, colorAlone);
    }

    for (const int failing : {1, 5}) {
        BandSeams seams = small;
        std::vector<std::atomic<int>> visits(100);
        seams.beforeThreadStart = [failing](int thread) {
            if (thread == failing)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
        };
        seams.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
        GrayPlane result;
        ASSERT_EQ(denoiseGray(gray, 50, result, runOptions(table_.get(), 8, nullptr, &seams)),
            RunStatus::Done);
        expectSamePlanes(result, grayAlone);
        for (const auto &v : visits)
            ASSERT_EQ(v, 1);
    }
}

// A crop run with its origin draws for each pixel as the whole image does: away from the crop's
// border, where no walk reaches it, its estimates are the image's bit for bit.
TEST_F(DenoiseRunOnSeededSamples, ACropWithItsOriginDrawsAsTheImageDoes)
{
    const GrayPlane image = addNoise(sceneGray(180, 150), 5.0f, 5);
    const int left = 37;
    const int top = 21;
    GrayPlane crop(100, 90);
    for (int y = 0; y < crop.height(); ++y)
        for (int x = 0; x < crop.width(); ++x)
            crop.at(x, y) = image.at(left + x, top + y);
    GrayPlane whole, part, unplaced;
    ASSERT_EQ(denoiseGray(image, 5, whole, runOptions(table_.get(), 2)), RunStatus::Done);
    RunOptions placed = runOptions(table_.get(), 2);
    placed.originX = left;
    placed.originY = top;
    ASSERT_EQ(denoiseGray(crop, 5, part, placed), RunStatus::Done);
    ASSERT_EQ(denoiseGray(crop, 5, unplaced, runOptions(table_.get(), 2)), RunStatus::Done);
    // A walk's moves have a standard deviation of sqrt(5) pixels: 30 pixels from the border is
    // more than five times as far as seven of them go.
    int same = 0;
    int sameUnplaced = 0;
    for (int y = 30; y < 60; ++y)
        for (int x = 30; x < 70; ++x) {
            ASSERT_EQ(part.at(x, y), whole.at(left + x, top + y)) << x << ", " << y;
            same += part.at(x, y) == whole.at(left + x, top + y);
            sameUnplaced += unplaced.at(x, y) == whole.at(left + x, top + y);
        }
    EXPECT_EQ(same, 1200);
    EXPECT_LT(sameUnplaced, 120); // without the origin the crop draws elsewhere
}

// Cancelling at the third progress report, and bad_alloc on a row of any thread, stop every
// thread early, join them all and leave no result and no 100 % report.
TEST_F(DenoiseRunOnSeededSamples, CancellationAndFailuresStopEveryThread)
{
    const GrayPlane gray = addNoise(sceneGray(300, 300), 20.0f, 4);
    std::atomic<bool> returned {false};
    std::atomic<int> rowsAfterReturn {0}, rowsStarted {0};
    const auto seamsFailingAt = [&](int failingRow) {
        BandSeams seams;
        seams.atRow = [&, failingRow](int, int row) {
            ++rowsStarted;
            if (returned)
                ++rowsAfterReturn;
            if (row == failingRow)
                throw std::bad_alloc();
        };
        returned = false;
        return seams;
    };
    for (const int failingRow : {-1, 5, 200}) {
        SCOPED_TRACE(failingRow);
        RecordingObserver observer;
        observer.cancelAtReport = failingRow < 0 ? 3 : 0;
        const BandSeams seams = seamsFailingAt(failingRow);
        GrayPlane result = constantGray(2, 2, 0.0f);
        rowsStarted = 0;
        EXPECT_EQ(denoiseGray(gray, 30, result, runOptions(table_.get(), 3, &observer, &seams)),
            failingRow < 0 ? RunStatus::Cancelled : RunStatus::OutOfMemory);
        returned = true;
        EXPECT_EQ(result.cellCount(), 0);
        EXPECT_LT(rowsStarted, 300);
        if (failingRow < 0) {
            EXPECT_EQ(observer.reports.size(), 3u);
        }
        EXPECT_TRUE(std::find(observer.reports.begin(), observer.reports.end(), 100)
            == observer.reports.end());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rowsAfterReturn, 0);
}

// Noise 20, level 20. Measured gains with these seeds: 13.02 dB (gray), 15.53 dB (colour);
// the bounds sit 0.2 dB below, so a broken weight (about 4 and 8 dB) or a walk that ignores
// edges fails them.
TEST_F(DenoiseRunOnSeededSamples, NoisySceneGainsTheMeasuredQuality)
{
    const GrayPlane cleanGray = sceneGray(128, 128);
    const GrayPlane noisyGray = addNoise(cleanGray, 20.0f, 2024);
    GrayPlane grayOut;
    ASSERT_EQ(denoiseGray(noisyGray, 20, grayOut, runOptions(table_.get())), RunStatus::Done);
    EXPECT_GT(psnr(cleanGray, toPixels(grayOut)) - psnr(cleanGray, noisyGray), 12.8);

    const ColorPlane cleanColor = sceneColor(128, 128);
    const ColorPlane noisyColor = addNoise(cleanColor, 20.0f, 2025);
    ColorPlane colorOut;
    ASSERT_EQ(denoiseColor(noisyColor, 20, colorOut, runOptions(table_.get())), RunStatus::Done);
    EXPECT_GT(psnr(cleanColor, toPixels(colorOut)) - psnr(cleanColor, noisyColor), 15.3);
}
