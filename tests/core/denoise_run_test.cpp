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

std::vector<int> tenths(int last)
{
    std::vector<int> values;
    for (int v = 0; v <= last; v += 10)
        values.push_back(v);
    return values;
}

template<typename Cell>
void expectSamePlanes(const Plane<Cell> &a, const Plane<Cell> &b)
{
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    for (std::int64_t i = 0; i < a.cellCount(); ++i)
        ASSERT_TRUE(a.data()[i] == b.data()[i]) << "cell " << i;
}

const NormalTable &zeroSamples()
{
    static const NormalTable table(std::vector<float>(16, 0.0f), 0);
    return table;
}

} // namespace

TEST(DenoiseRun, LevelsBelowOneAreRefused)
{
    const GrayPlane gray = constantGray(20, 20, 10.0f);
    for (const int level : {0, -3}) {
        GrayPlane result = constantGray(2, 2, 1.0f);
        RecordingObserver observer;
        RunOptions options;
        options.table = &zeroSamples();
        options.observer = &observer;
        EXPECT_EQ(denoiseGray(gray, level, result, options), RunStatus::InvalidLevel);
        EXPECT_EQ(result.cellCount(), 0);
        EXPECT_TRUE(observer.reports.empty());
    }
    ColorPlane color;
    EXPECT_EQ(denoiseColor(constantColor(20, 20, Vec3(1.0f)), 0, color), RunStatus::InvalidLevel);
}

TEST(DenoiseRun, RefusesBeforeAllocatingWhenTheWorkingSetDoesNotFit)
{
    const GrayPlane gray = constantGray(40, 30, 10.0f);
    const std::int64_t needed = runWorkingSetBytes(40, 30, false, false);
    EXPECT_EQ(runWorkingSetBytes(40, 30, true, true) - runWorkingSetBytes(40, 30, true, false),
        std::int64_t(kNormalTableSize) * 4);

    RecordingObserver observer;
    RunOptions options;
    options.table = &zeroSamples();
    options.observer = &observer;
    options.memoryLimit = needed - 1;
    GrayPlane result;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    EXPECT_TRUE(observer.reports.empty());
    EXPECT_EQ(result.cellCount(), 0);

    options.memoryLimit = needed + 1000;
    options.callerBytes = 1001; // the caller's result image counts against the same limit
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    options.callerBytes = 1000;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::Done);
    EXPECT_EQ(result.cellCount(), 40 * 30);

    // A split run also needs the rows its bands share.
    const ColorPlane color = constantColor(300, 300, Vec3(10.0f));
    ColorPlane colorResult;
    options.callerBytes = 0;
    options.threads = 2;
    options.memoryLimit = runWorkingSetBytes(300, 300, true, false);
    EXPECT_EQ(denoiseColor(color, 10, colorResult, options), RunStatus::OutOfMemory);
}

// All-zero samples keep every walk at its pixel, so every estimate is the pixel's own patch.
TEST(DenoiseRun, ZeroSamplesGiveBackTheInputInOneBandAndSplit)
{
    const GrayPlane gray = addNoise(sceneGray(260, 257), 20.0f, 1);
    const ColorPlane color = addNoise(sceneColor(257, 260), 20.0f, 2);
    for (const int threads : {1, 3}) {
        RunOptions options;
        options.table = &zeroSamples();
        options.threads = threads;
        GrayPlane grayOut;
        ASSERT_EQ(denoiseGray(gray, 10, grayOut, options), RunStatus::Done);
        EXPECT_LT(maxDifference(grayOut, gray), 1e-3f) << threads << " threads";
        ColorPlane colorOut;
        ASSERT_EQ(denoiseColor(color, 10, colorOut, options), RunStatus::Done);
        EXPECT_LT(maxDifference(colorOut, color), 1e-3f) << threads << " threads";
    }
}

TEST(DenoiseRun, ProgressFollowsTheCallingThreadsBandThenReaches100)
{
    RunOptions options;
    options.table = &zeroSamples();
    options.threads = 3;

    RecordingObserver rows200;
    options.observer = &rows200;
    GrayPlane gray;
    ASSERT_EQ(denoiseGray(constantGray(16, 200, 5.0f), 10, gray, options), RunStatus::Done);
    std::vector<int> expected = tenths(90);
    expected.push_back(100);
    EXPECT_EQ(rows200.reports, expected);

    RecordingObserver rows15;
    options.observer = &rows15;
    ColorPlane color;
    ASSERT_EQ(denoiseColor(constantColor(15, 15, Vec3(5.0f)), 10, color, options), RunStatus::Done);
    EXPECT_EQ(rows15.reports,
        std::vector<int>({0, 6, 13, 20, 26, 33, 40, 46, 53, 60, 66, 73, 80, 86, 93, 100}));

    RecordingObserver rows1000;
    options.observer = &rows1000;
    ASSERT_EQ(denoiseGray(constantGray(257, 1000, 5.0f), 10, gray, options), RunStatus::Done);
    EXPECT_EQ(rows1000.reports, std::vector<int>({0, 9, 19, 29, 39, 49, 59, 69, 79, 89, 99, 100}));
    EXPECT_FALSE(rows200.calledFromOtherThread || rows15.calledFromOtherThread
        || rows1000.calledFromOtherThread);
}

TEST(DenoiseRun, CancelAfterTheLastReportStillLeavesNoResult)
{
    RunOptions options;
    options.table = &zeroSamples();
    RecordingObserver observer;
    observer.cancelAtReport = 16; // the 100 after the fifteen row reports
    options.observer = &observer;
    GrayPlane result;
    EXPECT_EQ(denoiseGray(constantGray(15, 15, 5.0f), 10, result, options), RunStatus::Cancelled);
    EXPECT_EQ(observer.reports.back(), 100);
    EXPECT_EQ(result.cellCount(), 0);
}

TEST(RunStages, PresmoothingUsesTheBinomialKernelWithClampedBorders)
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
    EXPECT_EQ(smooth.at(4, 4), 0.0f);
    // The corner sees itself through its clamped neighbours: (4 + 2 + 2 + 1) * 16 / 16.
    EXPECT_EQ(smooth.at(0, 0), 9.0f);

    ColorPlane colorImpulse(5, 5);
    colorImpulse.at(2, 2) = Vec3(16.0f, 32.0f, 0.0f);
    ColorPlane colorSmooth(5, 5);
    ASSERT_TRUE(presmooth(colorImpulse, colorSmooth, control));
    EXPECT_EQ(colorSmooth.at(1, 1), Vec3(1.0f, 2.0f, 0.0f));
    EXPECT_EQ(colorSmooth.at(2, 1), Vec3(2.0f, 4.0f, 0.0f));
}

TEST(RunStages, NormalisationKeepsTheSourceWhereNothingWasCounted)
{
    GrayPlane accum = constantGray(3, 1, 12.0f);
    GrayPlane count = constantGray(3, 1, 4.0f);
    count.at(1, 0) = 0.0f;
    count.at(2, 0) = std::nanf("");
    const GrayPlane src = constantGray(3, 1, 7.0f);
    BandControl control;
    ASSERT_TRUE(normalise(accum, count, src, control));
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

    static RunOptions options(int threads, RunObserver *observer = nullptr)
    {
        RunOptions o;
        o.table = table_.get();
        o.threads = threads;
        o.observer = observer;
        return o;
    }
};

std::unique_ptr<NormalTable> DenoiseRunOnSeededSamples::table_;

// Sizes below 257 on either side run in one band whatever the thread count.
const std::pair<int, std::vector<int>> kConstantCases[]
    = {{16, {1}}, {17, {1}}, {257, {1, 2, 3, 8}}, {300, {1, 2, 3, 8}}};

TEST_F(DenoiseRunOnSeededSamples, ConstantGrayImagesComeBackUnchanged)
{
    for (const auto &[side, threadCounts] : kConstantCases) {
        const int height = side == 17 ? 300 : side;
        const GrayPlane gray = constantGray(side, height, 117.0f);
        for (const int threads : threadCounts) {
            SCOPED_TRACE(testing::Message() << side << " x " << height << ", " << threads);
            GrayPlane out;
            ASSERT_EQ(denoiseGray(gray, 10, out, options(threads)), RunStatus::Done);
            EXPECT_LT(maxDifference(out, gray), 1e-3f);
            expectSamePlanes(toPixels(out), gray);
        }
    }
}

TEST_F(DenoiseRunOnSeededSamples, ConstantColorImagesComeBackUnchanged)
{
    for (const auto &[side, threadCounts] : kConstantCases) {
        const int height = side == 17 ? 300 : side;
        const ColorPlane color = constantColor(side, height, Vec3(117.0f, 40.0f, 201.0f));
        for (const int threads : threadCounts) {
            SCOPED_TRACE(testing::Message() << side << " x " << height << ", " << threads);
            ColorPlane out;
            ASSERT_EQ(denoiseColor(color, 10, out, options(threads)), RunStatus::Done);
            EXPECT_LT(maxDifference(out, color), 1e-3f);
            expectSamePlanes(toPixels(out), color);
        }
    }
}

TEST_F(DenoiseRunOnSeededSamples, ThreadedRunsEqualSerialOnesWhateverTheTiming)
{
    const GrayPlane gray = addNoise(sceneGray(260, 280), 20.0f, 3);
    BandSeams serial;
    serial.serial = true;
    RunOptions serialOptions = options(8);
    serialOptions.seams = &serial;
    GrayPlane expected;
    ASSERT_EQ(denoiseGray(gray, 10, expected, serialOptions), RunStatus::Done);
    GrayPlane threaded;
    ASSERT_EQ(denoiseGray(gray, 10, threaded, options(8)), RunStatus::Done);
    expectSamePlanes(threaded, expected);

    // Threads that cannot be started leave their bands to the calling thread: same result.
    for (const int failing : {1, 5}) {
        BandSeams seams;
        std::vector<std::atomic<int>> visits(280);
        seams.beforeThreadStart = [failing](int band) {
            if (band == failing)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
        };
        seams.atRow = [&](int, int row) { ++visits[std::size_t(row)]; };
        RunOptions failingOptions = options(8);
        failingOptions.seams = &seams;
        GrayPlane result;
        ASSERT_EQ(denoiseGray(gray, 10, result, failingOptions), RunStatus::Done);
        expectSamePlanes(result, expected);
        for (const auto &v : visits)
            ASSERT_EQ(v, 1);
    }
}

// Cancelling from the third progress report, and an allocation failure in one band, both
// stop every band early, join every thread and leave no result and no 100 % report.
TEST_F(DenoiseRunOnSeededSamples, CancellationAndFailuresStopEveryBand)
{
    const GrayPlane gray = addNoise(sceneGray(300, 300), 20.0f, 4);
    std::atomic<bool> returned {false};
    std::atomic<int> rowsAfterReturn {0};
    std::atomic<int> rowsStarted {0};
    BandSeams counting;
    counting.atRow = [&](int, int) {
        ++rowsStarted;
        if (returned)
            ++rowsAfterReturn;
    };

    RecordingObserver observer;
    observer.cancelAtReport = 3;
    RunOptions cancelOptions = options(3, &observer);
    cancelOptions.seams = &counting;
    GrayPlane result = constantGray(2, 2, 0.0f);
    EXPECT_EQ(denoiseGray(gray, 30, result, cancelOptions), RunStatus::Cancelled);
    returned = true;
    EXPECT_EQ(observer.reports, std::vector<int>({0, 10, 20}));
    EXPECT_EQ(result.cellCount(), 0);
    EXPECT_LT(rowsStarted, 300);

    for (const int failing : {0, 2}) {
        BandSeams seams;
        seams.atRow = [&, failing](int band, int row) {
            ++rowsStarted;
            if (returned)
                ++rowsAfterReturn;
            if (band == failing && row == 100 * band + 5)
                throw std::bad_alloc();
        };
        RecordingObserver failObserver;
        RunOptions failOptions = options(3, &failObserver);
        failOptions.seams = &seams;
        returned = false;
        EXPECT_EQ(denoiseGray(gray, 30, result, failOptions), RunStatus::OutOfMemory);
        returned = true;
        EXPECT_EQ(result.cellCount(), 0);
        EXPECT_TRUE(std::find(failObserver.reports.begin(), failObserver.reports.end(), 100)
            == failObserver.reports.end());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rowsAfterReturn, 0);
}

// A noisy scene of ramps and sharp edges at noise 20 and level 20. The gains measured with
// these seeds are 13.02 dB (gray) and 15.53 dB (colour); the bounds sit 0.2 dB below, so that
// a broken weight (about 4 and 8 dB) or a walk that ignores edges fails them.
TEST_F(DenoiseRunOnSeededSamples, NoisySceneGainsTheMeasuredQuality)
{
    const GrayPlane cleanGray = sceneGray(128, 128);
    const GrayPlane noisyGray = addNoise(cleanGray, 20.0f, 2024);
    GrayPlane grayOut;
    ASSERT_EQ(denoiseGray(noisyGray, 20, grayOut, options(1)), RunStatus::Done);
    const double grayGain = psnr(cleanGray, toPixels(grayOut)) - psnr(cleanGray, noisyGray);
    EXPECT_GT(grayGain, 12.8) << "gray gain " << grayGain;

    const ColorPlane cleanColor = sceneColor(128, 128);
    const ColorPlane noisyColor = addNoise(cleanColor, 20.0f, 2025);
    ColorPlane colorOut;
    ASSERT_EQ(denoiseColor(noisyColor, 20, colorOut, options(1)), RunStatus::Done);
    const double colorGain = psnr(cleanColor, toPixels(colorOut)) - psnr(cleanColor, noisyColor);
    EXPECT_GT(colorGain, 15.3) << "colour gain " << colorGain;
}
