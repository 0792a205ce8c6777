// The whole run on planes: refusals, the stages, exactness on constant images and across
// threads, progress, crops and the quality gained on a noisy scene.
#include "core/denoise_run.h"
#include "core/run_hooks.h"
#include "core/run_stages.h"
#include "core/sample_tables.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <system_error>

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
    const RunHooks *hooks = nullptr)
{
    RunOptions o;
    o.table = table;
    o.threads = threads;
    o.observer = observer;
    o.hooks = hooks;
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

class DenoiseRunOnSeededSamples : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(424242u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> DenoiseRunOnSeededSamples::table_;

} // namespace

TEST(DenoiseRun, RefusesBadLevelsAndWorkingSetsThatDoNotFit)
{
    const GrayPlane gray = filled(40, 30, 10.0f);
    RecordingObserver observer;
    RunOptions options = runOptions(&kZeros, 1, &observer);
    GrayPlane result = filled(2, 2, 1.0f);
    EXPECT_EQ(denoiseGray(gray, 0, result, options), RunStatus::InvalidLevel);
    EXPECT_EQ(result.cellCount(), 0);
    EXPECT_EQ(
        runWorkingSetBytes(40, 30, true, true, 1) - runWorkingSetBytes(40, 30, true, false, 1),
        std::int64_t(kNormalTableSize) * 4);
    const std::int64_t needed = runWorkingSetBytes(40, 30, false, false, 1);
    options.memoryLimit = needed + 1000;
    options.callerBytes = 1001; // the caller's result image counts against the same limit
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::OutOfMemory);
    EXPECT_EQ(result.cellCount(), 0);
    EXPECT_TRUE(observer.reports.empty());
    options.callerBytes = 1000;
    EXPECT_EQ(denoiseGray(gray, 10, result, options), RunStatus::Done);

    // More threads need more of the rows their chunks share.
    ColorPlane colorResult;
    options.callerBytes = 0;
    options.threads = 2;
    options.memoryLimit = runWorkingSetBytes(300, 300, true, false, 1);
    EXPECT_EQ(denoiseColor(filled(300, 300, Vec3(10.0f)), 10, colorResult, options),
        RunStatus::OutOfMemory);
}

TEST(DenoiseRun, ProgressIsTheShareOfRowsDoneThenReaches100)
{
    RecordingObserver observer;
    GrayPlane out;
    ASSERT_EQ(denoiseGray(filled(16, 100, 5.0f), 10, out, runOptions(&kZeros, 1, &observer)),
        RunStatus::Done);
    EXPECT_EQ(observer.reports, std::vector<int>({0, 16, 32, 48, 64, 80, 96, 100}));
    // On more threads the reports still come from the calling thread only, in order.
    RecordingObserver shared;
    ASSERT_EQ(denoiseGray(filled(30, 400, 5.0f), 10, out, runOptions(&kZeros, 3, &shared)),
        RunStatus::Done);
    EXPECT_TRUE(std::is_sorted(shared.reports.begin(), shared.reports.end()));
    EXPECT_EQ(shared.reports.back(), 100);
    EXPECT_FALSE(shared.calledFromOtherThread);
    // A cancel seen after the final 100 still leaves no result.
    RecordingObserver late;
    late.cancelAtReport = 2;
    ColorPlane result;
    EXPECT_EQ(denoiseColor(filled(15, 15, Vec3(5.0f)), 10, result, runOptions(&kZeros, 1, &late)),
        RunStatus::Cancelled);
    EXPECT_EQ(late.reports.back(), 100);
    EXPECT_EQ(result.cellCount(), 0);
}

TEST(RunStages, PresmoothingAndNormalisation)
{
    GrayPlane impulse(5, 5), smooth(5, 5);
    impulse.at(2, 2) = 16.0f;
    impulse.at(0, 0) = 16.0f;
    BandControl control;
    ASSERT_TRUE(presmoothRows(impulse, smooth, 0, 5, control));
    EXPECT_EQ(smooth.at(2, 2), 4.0f);
    EXPECT_EQ(smooth.at(1, 2), 2.0f);
    EXPECT_EQ(smooth.at(3, 3), 1.0f);
    EXPECT_EQ(smooth.at(0, 0), 9.0f); // (4 + 2 + 2 + 1) * 16 / 16 through clamped neighbours
    ColorPlane colorImpulse(5, 5), colorSmooth(5, 5);
    colorImpulse.at(2, 2) = Vec3(16.0f, 32.0f, 0.0f);
    ASSERT_TRUE(presmoothRows(colorImpulse, colorSmooth, 0, 5, control));
    EXPECT_EQ(colorSmooth.at(2, 1), Vec3(2.0f, 4.0f, 0.0f));

    // Where nothing was counted (0 or NaN) the source stays.
    GrayPlane accum = filled(3, 1, 12.0f);
    GrayPlane count = filled(3, 1, 4.0f);
    count.at(1, 0) = 0.0f;
    count.at(2, 0) = std::nanf("");
    ASSERT_TRUE(normaliseRows(accum, count, filled(3, 1, 7.0f), 0, 1, control));
    EXPECT_EQ(accum.at(0, 0), 3.0f);
    EXPECT_EQ(accum.at(1, 0), 7.0f);
    EXPECT_EQ(accum.at(2, 0), 7.0f);
}

TEST_F(DenoiseRunOnSeededSamples, ConstantImagesComeBackUnchanged)
{
    for (const int side : {16, 257}) {
        for (const int threads : {1, 3}) {
            SCOPED_TRACE(testing::Message() << side << " pixels, " << threads << " threads");
            const GrayPlane gray = filled(side, 300, 117.0f);
            const ColorPlane color = filled(300, side, Vec3(117.0f, 40.0f, 201.0f));
            GrayPlane grayOut;
            ColorPlane colorOut;
            ASSERT_EQ(
                denoise(gray, 10, grayOut, runOptions(table_.get(), threads)), RunStatus::Done);
            ASSERT_EQ(
                denoise(color, 10, colorOut, runOptions(table_.get(), threads)), RunStatus::Done);
            EXPECT_LT(maxDifference(grayOut, gray), 1e-3f);
            EXPECT_LT(maxDifference(colorOut, color), 1e-3f);
        }
    }
}

// Byte-identical on any number of threads, with small chunks so that rows cross many chunk
// edges, also when a thread cannot be started and its work falls to the calling thread.
TEST_F(DenoiseRunOnSeededSamples, ResultsDoNotDependOnTheThreads)
{
    const GrayPlane gray = addNoise(sceneGray(120, 100), 20.0f, 3);
    const ColorPlane color = addNoise(sceneColor(80, 60), 30.0f, 4);
    RunHooks hooks;
    hooks.chunkRows = 1;
    GrayPlane grayAlone;
    ColorPlane colorAlone;
    ASSERT_EQ(denoiseGray(gray, 50, grayAlone, runOptions(table_.get(), 1, nullptr, &hooks)),
        RunStatus::Done);
    ASSERT_EQ(denoiseColor(color, 30, colorAlone, runOptions(table_.get(), 1, nullptr, &hooks)),
        RunStatus::Done);
    hooks.beforeThreadStart = [](int thread) {
        if (thread == 5)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    for (const int threads : {3, 8}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        GrayPlane grayOut;
        ColorPlane colorOut;
        ASSERT_EQ(
            denoiseGray(gray, 50, grayOut, runOptions(table_.get(), threads, nullptr, &hooks)),
            RunStatus::Done);
        expectSamePlanes(grayOut, grayAlone);
        ASSERT_EQ(
            denoiseColor(color, 30, colorOut, runOptions(table_.get(), threads, nullptr, &hooks)),
            RunStatus::Done);
        expectSamePlanes(colorOut, colorAlone);
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
    int sameUnplaced = 0;
    for (int y = 30; y < 60; ++y)
        for (int x = 30; x < 70; ++x) {
            ASSERT_EQ(part.at(x, y), whole.at(left + x, top + y)) << x << ", " << y;
            sameUnplaced += unplaced.at(x, y) == whole.at(left + x, top + y);
        }
    EXPECT_LT(sameUnplaced, 120); // without the origin the crop draws elsewhere
}

// Noise 20, level 20. Measured gains with these seeds: 13.02 dB (gray), 15.53 dB (colour). The
// bounds sit 0.2 dB to either side: a broken weight (about 4 and 8 dB) or a walk that ignores
// edges falls below, and a change that gains more than that should be noticed too.
TEST_F(DenoiseRunOnSeededSamples, NoisySceneGainsTheMeasuredQuality)
{
    const GrayPlane cleanGray = sceneGray(128, 128);
    const GrayPlane noisyGray = addNoise(cleanGray, 20.0f, 2024);
    GrayPlane grayOut;
    ASSERT_EQ(denoiseGray(noisyGray, 20, grayOut, runOptions(table_.get())), RunStatus::Done);
    EXPECT_NEAR(psnr(cleanGray, toPixels(grayOut)) - psnr(cleanGray, noisyGray), 13.02, 0.2);

    const ColorPlane cleanColor = sceneColor(128, 128);
    const ColorPlane noisyColor = addNoise(cleanColor, 20.0f, 2025);
    ColorPlane colorOut;
    ASSERT_EQ(denoiseColor(noisyColor, 20, colorOut, runOptions(table_.get())), RunStatus::Done);
    EXPECT_NEAR(psnr(cleanColor, toPixels(colorOut)) - psnr(cleanColor, noisyColor), 15.53, 0.2);
}
