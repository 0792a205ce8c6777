// The whole run on planes: refusals, the stages, exactness on constant images and across
// threads, progress, crops and the quality gained on a noisy scene.
#include "core/plane_run.h"
#include "core/run_hooks.h"
#include "core/run_stages.h"
#include "core/sample_tables.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <system_error>
#include <utility>

namespace {

const NormalTable kZeros(std::vector<float>(16, 0.0f), 0);

const NormalTable &seeded()
{
    static const NormalTable table(424242u);
    return table;
}

RunOptions runOptions(const NormalTable &table, int threads = 1, RunObserver *observer = nullptr,
    const RunHooks *hooks = nullptr)
{
    RunOptions o;
    o.table = &table;
    o.threads = threads;
    o.observer = observer;
    o.hooks = hooks;
    return o;
}

template<typename Cell>
Plane<Cell> denoised(const Plane<Cell> &src, int level, const RunOptions &options)
{
    Plane<Cell> out;
    if constexpr (std::is_same_v<Cell, float>)
        EXPECT_EQ(denoiseGray(src, level, out, options), RunStatus::Done);
    else
        EXPECT_EQ(denoiseColor(src, level, out, options), RunStatus::Done);
    return out;
}

template<typename Cell>
bool samePlanes(const Plane<Cell> &a, const Plane<Cell> &b)
{
    return a.width() == b.width() && a.height() == b.height()
        && std::equal(valuesOf(a), valuesOf(a) + valueCount(a), valuesOf(b));
}

} // namespace

TEST(PlaneRun, RefusesBadLevelsAndWorkingSetsThatDoNotFit)
{
    const GrayPlane gray = filled(40, 30, 10.0f);
    RecordingObserver observer;
    RunOptions options = runOptions(kZeros, 1, &observer);
    GrayPlane result = filled(2, 2, 1.0f);
    EXPECT_EQ(denoiseGray(gray, 0, result, options), RunStatus::InvalidLevel);
    EXPECT_EQ(result.cellCount(), 0);
    // Nothing to denoise in 0 x 0: no work, no report, an empty result.
    result = filled(2, 2, 1.0f);
    EXPECT_EQ(
        denoiseGray(GrayPlane(), 10, result, runOptions(kZeros, 4, &observer)), RunStatus::Done);
    EXPECT_EQ(result.cellCount(), 0);
    // The caller's result image counts against the same limit.
    options.memoryLimit = runWorkingSetBytes(40, 30, false, false, 1) + 1000;
    options.callerBytes = 1001;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    EXPECT_TRUE(observer.reports.empty());
    options.callerBytes = 1000;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::Done);
    // A run starts at most one thread a row: 1024 threads cost a 30-row image what 30 do.
    options.threads = 1024;
    options.memoryLimit = runWorkingSetBytes(40, 30, false, false, 30) + 1000;
    EXPECT_EQ(runWorkingSetBytes(40, 30, false, false, 1024), options.memoryLimit - 1000);
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::Done);
}

// Every stage moves the bar: smoothing and directions before the first worker row, the workers
// once per chunk of rows, normalising after the last row; each value once, rising to 100.
TEST(PlaneRun, ProgressMovesThroughEveryStageThenReaches100)
{
    RecordingObserver observer;
    RunHooks hooks;
    std::size_t atFirstRow = 0, atLastRow = 0;
    hooks.atRow = [&](int, int y) { (y == 0 ? atFirstRow : atLastRow) = observer.reports.size(); };
    denoised(filled(16, 100, 5.0f), 10, runOptions(kZeros, 1, &observer, &hooks));
    const std::vector<int> &reports = observer.reports;
    EXPECT_EQ(reports.front(), 0);
    EXPECT_EQ(reports.back(), 100);
    EXPECT_TRUE(std::adjacent_find(reports.begin(), reports.end(), std::greater_equal<int>())
        == reports.end());
    EXPECT_GE(atFirstRow, 2u);
    EXPECT_EQ(atLastRow - atFirstRow, 7u); // rows 0, 16 ... 96
    EXPECT_EQ(reports.size() - atLastRow, 2u);
    // On more threads the reports still come from the calling thread only, in order.
    RecordingObserver shared;
    denoised(filled(30, 400, 5.0f), 10, runOptions(kZeros, 3, &shared));
    EXPECT_TRUE(std::is_sorted(shared.reports.begin(), shared.reports.end()));
    EXPECT_EQ(shared.reports.back(), 100);
    EXPECT_FALSE(shared.calledFromOtherThread);
    // A cancel seen after the final 100 still leaves no result.
    RecordingObserver late;
    late.cancelAtReport = int(reports.size());
    GrayPlane result;
    EXPECT_EQ(denoiseGray(filled(16, 100, 5.0f), 10, result, runOptions(kZeros, 1, &late)),
        RunStatus::Cancelled);
    EXPECT_EQ(late.reports, reports);
    EXPECT_EQ(result.cellCount(), 0);
}

TEST(RunStages, PresmoothingAndNormalisation)
{
    GrayPlane impulse(5, 5), smooth(5, 5);
    impulse.at(2, 2) = impulse.at(0, 0) = 16.0f;
    ThreadControl control;
    ASSERT_TRUE(presmoothRows(impulse, smooth, 0, 5, control));
    EXPECT_EQ(smooth.at(2, 2), 4.0f);
    EXPECT_EQ(smooth.at(1, 2), 2.0f);
    EXPECT_EQ(smooth.at(3, 3), 1.0f);
    EXPECT_EQ(smooth.at(0, 0), 9.0f); // (4 + 2 + 2 + 1) * 16 / 16 through clamped neighbours
    // Normalising: where no patch was counted (every weight too small) the source stays.
    GrayPlane accum = filled(2, 1, 12.0f), count = filled(2, 1, 4.0f);
    count.at(1, 0) = 0.0f;
    ASSERT_TRUE(normaliseRows(accum, count, filled(2, 1, 7.0f), 0, 1, control));
    EXPECT_EQ(accum.at(0, 0), 3.0f);
    EXPECT_EQ(accum.at(1, 0), 7.0f);
}

// Byte-identical on any number of threads, with small chunks so that rows cross many chunk
// edges, also when a thread cannot be started and its work falls to the calling thread; on one
// pixel (which can only keep its value), one column, one row and odd sizes.
TEST(PlaneRun, ResultsDoNotDependOnTheThreads)
{
    RunHooks hooks;
    hooks.chunkRows = 1;
    hooks.beforeThreadStart = [](int thread) {
        if (thread == 5)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    for (const auto &[width, height] : {std::pair(1, 1), {1, 40}, {40, 1}, {257, 89}}) {
        SCOPED_TRACE(testing::Message() << width << " x " << height);
        const GrayPlane gray = addNoise(sceneGray(width, height), 20.0f, 4);
        const ColorPlane color = addNoise(sceneColor(width, height), 20.0f, 5);
        const GrayPlane grayAlone = denoised(gray, 50, runOptions(seeded(), 1, nullptr, &hooks));
        const ColorPlane colorAlone = denoised(color, 50, runOptions(seeded(), 1, nullptr, &hooks));
        for (const int threads : {3, 8}) {
            const RunOptions options = runOptions(seeded(), threads, nullptr, &hooks);
            EXPECT_TRUE(samePlanes(denoised(gray, 50, options), grayAlone)) << threads;
            EXPECT_TRUE(samePlanes(denoised(color, 50, options), colorAlone)) << threads;
        }
        if (width * height == 1) {
            EXPECT_LT(maxDifference(grayAlone, gray), 1e-3f);
            EXPECT_LT(maxDifference(colorAlone, color), 1e-3f);
        }
    }
}

// A crop run with its origin draws for each pixel as the whole image does and cuts its chunks
// where the image does (parts of 16 columns here): away from the crop's border, where no walk
// reaches it (moves of sd sqrt(5), 30 pixels away), its estimates are the image's bit for bit.
TEST(PlaneRun, ACropWithItsOriginDrawsAsTheImageDoes)
{
    RunHooks hooks;
    hooks.chunkColumns = 16;
    const GrayPlane image = addNoise(sceneGray(180, 150), 5.0f, 5);
    GrayPlane crop(100, 90);
    for (int y = 0; y < crop.height(); ++y)
        for (int x = 0; x < crop.width(); ++x)
            crop.at(x, y) = image.at(37 + x, 21 + y);
    RunOptions placed = runOptions(seeded(), 2, nullptr, &hooks);
    placed.originX = 37;
    placed.originY = 21;
    const GrayPlane whole = denoised(image, 5, runOptions(seeded(), 2, nullptr, &hooks));
    const GrayPlane part = denoised(crop, 5, placed);
    int same = 0;
    for (int y = 30; y < 60; ++y)
        for (int x = 30; x < 70; ++x)
            same += part.at(x, y) == whole.at(37 + x, 21 + y);
    EXPECT_EQ(same, 1200);
}

// Noise 20, level 20. Measured gains with these seeds: 13.02 dB (gray), 15.53 dB (colour). The
// bounds sit 0.2 dB to either side: a broken weight (about 4 and 8 dB) or a walk that ignores
// edges falls below, and a change that gains more than that should be noticed too.
TEST(PlaneRun, NoisySceneGainsTheMeasuredQuality)
{
    const GrayPlane gray = sceneGray(128, 128);
    const GrayPlane noisyGray = addNoise(gray, 20.0f, 2024);
    const GrayPlane grayOut = toPixels(denoised(noisyGray, 20, runOptions(seeded())));
    EXPECT_NEAR(psnr(gray, grayOut) - psnr(gray, noisyGray), 13.02, 0.2);
    const ColorPlane color = sceneColor(128, 128);
    const ColorPlane noisyColor = addNoise(color, 20.0f, 2025);
    const ColorPlane colorOut = toPixels(denoised(noisyColor, 20, runOptions(seeded())));
    EXPECT_NEAR(psnr(color, colorOut) - psnr(color, noisyColor), 15.53, 0.2);
}
