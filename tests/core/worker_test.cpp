// The row workers: distances, weights, cells, whole bands on scripted and seeded samples, and
// every build of the fast workers against the plain reference.
#include "core/color_worker.h"
#include "core/gray_worker.h"
#include "core/row_worker.h"
#include "core/run_stages.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

namespace {

enum class Worker { Fast, Reference };
constexpr Worker kWorkers[] = {Worker::Fast, Worker::Reference};

template<typename Cell>
constexpr bool kColor = std::is_same_v<Cell, Vec3>;

// What one worker left after rows [bandBegin, H): sums, counts and normalised estimates.
template<typename Cell>
struct Outcome
{
    Plane<Cell> accum;
    GrayPlane count;
    Plane<Cell> estimate;
};

template<typename Cell>
Outcome<Cell> runWorker(
    const Plane<Cell> &src, int level, const NormalTable &table, Worker worker, int bandBegin = 0)
{
    const int width = src.width();
    const int height = src.height();
    const DenoiseParams params
        = kColor<Cell> ? colorParams(level, width, height) : grayParams(level, width, height);
    Plane<Cell> smooth(width, height);
    GrayPlane dirX(width, height), dirY(width, height);
    BandControl control;
    presmooth(src, smooth, control);
    fillDirections(smooth, dirX, dirY, control);
    const auto expTable = std::make_unique<ExpTable>();
    fillExpTable(expTable->data(), kExpTableSize);

    Outcome<Cell> out {Plane<Cell>(width, height), constantGray(width, height, 0.0f), {}};
    std::fill(out.accum.data(), out.accum.data() + out.accum.cellCount(), Cell(0.0f));
    const BandSink<Cell> sink(out.accum, out.count);
    const RowInputs<Cell> inputs {src, smooth, dirX, dirY, expTable->data(), table, params};
    if (worker == Worker::Fast)
        denoiseRows(inputs, control, bandBegin, height, sink);
    else
        referenceRows(inputs, control, bandBegin, height, sink);
    out.estimate = Plane<Cell>(width, height);
    std::copy(out.accum.data(), out.accum.data() + out.accum.cellCount(), out.estimate.data());
    normalise(out.estimate, out.count, src, control);
    return out;
}

// How many effective patches cover each pixel when every pixel contributes its estimate.
GrayPlane coverage(int width, int height, int f)
{
    GrayPlane counts = constantGray(width, height, 0.0f);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int r = std::min({f, x, y, width - 1 - x, height - 1 - y});
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    counts.at(x + dx, y + dy) += 1.0f;
        }
    return counts;
}

// With all-zero samples no walk leaves its pixel; on a constant image every move passes the
// jump test with weight 1. Either way every pixel contributes: the counts are known exactly
// and the estimate is the source.
template<typename Cell>
void expectEveryPixelContributes(const Plane<Cell> &src, const NormalTable &table, int level)
{
    SCOPED_TRACE(testing::Message() << (kColor<Cell> ? "colour" : "gray") << " level " << level);
    const int radius
        = kColor<Cell> ? colorParams(level, 1, 1).patchRadius : grayParams(level, 1, 1).patchRadius;
    for (const Worker worker : kWorkers) {
        SCOPED_TRACE(worker == Worker::Fast ? "fast" : "reference");
        const Outcome<Cell> out = runWorker(src, level, table, worker);
        EXPECT_EQ(maxDifference(out.count, coverage(src.width(), src.height(), radius)), 0.0f);
        EXPECT_LT(maxDifference(out.estimate, src), 1e-3f);
    }
}

// Rows of a vertical ramp; every path of a scripted table draws the script from its start.
// Each path steps x + 1, x, x + 1 ... (stepScale 2 at level 4, samples +-0.5 for x, 0 for y): every
// patch it meets is the pixel's own. Its closing move draws (0, 1) and goes one row down along the
// structure, to a patch 1 level further on the ramp. Per path 7 weights of 1 and one of -0.2: the
// estimate is v - 1.4 slope / 47.6 inside. Swapping the draws, dropping the closing move or
// changing its sign or scale moves it.
template<typename Cell>
void walkAlongRows(Cell slope, Worker worker)
{
    const std::vector<float> path = {0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f,
        -0.5f, 0.0f, 0.5f, 0.0f, 0.0f, 1.0f};
    const NormalTable table(path, int(path.size()) - 1);
    const int width = 32;
    const int height = 24;
    Plane<Cell> rows(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rows.at(x, y) = Cell(100.0f) + Cell(float(y)) * slope;
    const Outcome<Cell> out = runWorker(rows, 4, table, worker);
    // In the last column the walks alternate between an unusable and a usable column: 3
    // weights and the closing move: v - 0.2 slope / 2.8.
    for (int y = 2; y <= height - 4; ++y)
        for (int x = 2; x <= width - 1; ++x) {
            if (x == width - 3 || x == width - 2)
                continue;
            const float bias = x == width - 1 ? -0.2f / 2.8f : -1.4f / 47.6f;
            Plane<Cell> got(1, 1), expected(1, 1);
            got.at(0, 0) = out.estimate.at(x, y);
            expected.at(0, 0) = rows.at(x, y) + Cell(bias) * slope;
            ASSERT_LT(maxDifference(got, expected), 1e-4f) << x << ", " << y;
        }
}

// Squared differences of whole numbers, and their sums up to 2^24, are exact in float in any
// order: every build of the fast worker this processor runs must make the reference's
// decisions. Only bilinear patch samples may round differently in their last bit.
template<typename Cell>
void expectSameDecisions(
    const Plane<Cell> &src, int level, const NormalTable &table, int bandBegin = 0)
{
    SCOPED_TRACE(testing::Message() << (kColor<Cell> ? "colour" : "gray") << " level " << level
                                    << ", " << src.width() << " x " << src.height());
    const Outcome<Cell> reference = runWorker(src, level, table, Worker::Reference, bandBegin);
    const WorkerTarget previous = workerTarget();
    for (const WorkerTarget target : availableWorkerTargets()) {
        SCOPED_TRACE(testing::Message() << "target " << int(target));
        useWorkerTarget(target);
        const Outcome<Cell> fast = runWorker(src, level, table, Worker::Fast, bandBegin);
        EXPECT_EQ(maxDifference(fast.count, reference.count), 0.0f);
        EXPECT_LT(maxDifference(fast.accum, reference.accum), 1e-2f);
        EXPECT_LT(maxDifference(fast.estimate, reference.estimate), 1e-3f);
    }
    useWorkerTarget(previous);
}

// On fractional values distances are summed in another order and may flip a rare closing
// move: at most 0.1 % of 8-bit values more than one level apart, PSNR within 0.02 dB.
template<typename Cell>
void expectAgreement(const Plane<Cell> &clean, int level, unsigned seed, const NormalTable &table)
{
    SCOPED_TRACE(testing::Message() << (kColor<Cell> ? "colour" : "gray") << " level " << level);
    const auto fractional = [](const Plane<Cell> &plane) {
        Plane<Cell> out(plane.width(), plane.height());
        for (std::int64_t i = 0; i < plane.cellCount(); ++i)
            out.data()[i] = plane.data()[i] * Cell(0.8137f) + Cell(20.31f);
        return out;
    };
    const Plane<Cell> noisy = fractional(addNoise(clean, float(level), seed));
    const Plane<Cell> fast = toPixels(runWorker(noisy, level, table, Worker::Fast).estimate);
    const Plane<Cell> reference
        = toPixels(runWorker(noisy, level, table, Worker::Reference).estimate);
    const int channels = kColor<Cell> ? 3 : 1;
    const float *a = reinterpret_cast<const float *>(fast.data());
    const float *b = reinterpret_cast<const float *>(reference.data());
    std::int64_t apart = 0;
    for (std::int64_t i = 0; i < fast.cellCount() * channels; ++i)
        apart += std::fabs(a[i] - b[i]) > 1.0f ? 1 : 0;
    EXPECT_LE(apart * 1000, fast.cellCount() * channels);
    const Plane<Cell> cleanValues = fractional(clean);
    EXPECT_NEAR(psnr(cleanValues, fast), psnr(cleanValues, reference), 0.02);
}

class Workers : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(31337u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> Workers::table_;

} // namespace

TEST(WorkerSteps, DistancesWeightsCellsAndClamps)
{
    // b is a shifted by one column plus 1 in the middle row; a negative radius reads nothing.
    const float a[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const float b[] = {0, 1, 2, 3, 4, 6, 7, 8, 8, 9, 10, 11};
    EXPECT_EQ(patchDistance(a, b, 1, 1, 2, 1, 1, 4, 4), 3.0f);
    EXPECT_EQ(patchDistance(a, b, 0, 0, 3, 2, 0, 4, 4), 100.0f);
    EXPECT_EQ(patchDistance(a, b, 1, 1, 2, 1, -1, 4, 4), 0.0f);
    const Vec3 c[] = {Vec3(1, 2, 3), Vec3(4, 6, 3)};
    EXPECT_EQ(colorPatchDistance(c, c, 0, 0, 1, 0, 0, 2, 2), 25.0f);

    ExpTable table;
    fillExpTable(table.data(), kExpTableSize);
    // Level 10, gray: offset 2 * 9 * 100 = 1800, scale 144; d^2 216 over it gives entry 1500.
    const DenoiseParams p = grayParams(10, 20, 20);
    EXPECT_EQ(patchWeight(1800.0f + 216.0f, p, table), table[1500]);
    EXPECT_EQ(patchWeight(1800.0f, p, table), 1.0f);
    EXPECT_EQ(patchWeight(0.0f, p, table), 1.0f);
    EXPECT_EQ(patchWeight(1800.0f + 29.0f * 144.0f, p, table), 0.0f);
    // Colour, level 30: offset 2 * 75 * 900, scale 75 * 144; excess 0.5 scale.
    EXPECT_EQ(patchWeight(135000.0f + 5400.0f, colorParams(30, 20, 20), table), table[500]);

    EXPECT_EQ(nearestCell(0.49999997f), 0); // floor(v + 0.5) would give 1
    EXPECT_EQ(nearestCell(-2.5f), -3);
    for (float v = 1022.0f; v < 1026.0f; v = std::nextafter(v, 2000.0f))
        ASSERT_EQ(nearestCell(v), int(std::round(v))) << v;
    for (float v = -40.0f; v < 5000.0f; v += 0.0625f / 3.0f)
        ASSERT_EQ(nearestCell(v), int(std::round(v))) << v;
    EXPECT_TRUE(usableCell(4, 3, 0, 5, 4));
    EXPECT_FALSE(usableCell(5, 3, 0, 5, 4)); // a path at x >= W - 0.5 rounds to W
    EXPECT_FALSE(usableCell(1, 2, 2, 5, 4));
    EXPECT_TRUE(usableCell(2, 2, 2, 5, 5));
    EXPECT_FALSE(usableCell(3, 2, 2, 5, 5));
    EXPECT_EQ(clampToPlane(7.5f, 6), 6.0f);
    EXPECT_EQ(clampToPlane(-0.1f, 6), 0.0f);
    EXPECT_EQ(clampToPixel(Vec3(-1.0f, 12.25f, 256.0f)), Vec3(0.0f, 12.25f, 255.0f));
    Vec3 cells[3] = {Vec3(1.0f), Vec3(2.0f), Vec3(3.0f)};
    fillVec3(cells, 2, 7.0f);
    EXPECT_EQ(cells[1], Vec3(7.0f));
    EXPECT_EQ(cells[2], Vec3(3.0f));
}

// The colour jump test compares the sum of squares with the last float whose root is at most
// sigma.
TEST(WorkerSteps, JumpLimitIsTheLastSquareWhoseRootStaysWithinSigma)
{
    for (const float sigma : {1.0f, 2.0f, 7.0f, 30.0f, 31.0f, 55.0f, 99.0f, 1e-3f, 0.0f}) {
        const float limit = squaredLimit(sigma);
        EXPECT_LE(std::sqrt(limit), sigma) << sigma;
        EXPECT_GT(std::sqrt(std::nextafter(limit, HUGE_VALF)), sigma) << sigma;
    }
}

TEST_F(Workers, EveryPixelContributesOnZeroSamplesAndConstantImages)
{
    const NormalTable zeros(std::vector<float>(64, 0.0f), 0);
    expectEveryPixelContributes(addNoise(sceneGray(23, 19), 20.0f, 11), zeros, 20);
    expectEveryPixelContributes(addNoise(sceneColor(21, 17), 20.0f, 12), zeros, 60);
    for (const int level : {10, 50, 90})
        expectEveryPixelContributes(constantGray(40, 30, 117.0f), *table_, level);
    for (const int level : {10, 40, 70})
        expectEveryPixelContributes(
            constantColor(33, 28, Vec3(117.0f, 40.0f, 201.0f)), *table_, level);
}

TEST(WorkersOnScriptedSamples, WalkAlongRowsAndCloseAlongTheStructure)
{
    for (const Worker worker : kWorkers) {
        SCOPED_TRACE(worker == Worker::Fast ? "fast" : "reference");
        walkAlongRows(1.0f, worker);
        walkAlongRows(Vec3(1.0f, 2.0f, -1.0f), worker);
    }
}

TEST_F(Workers, StopAtTheFirstRowOnceStopped)
{
    const GrayPlane gray = constantGray(20, 20, 50.0f);
    GrayPlane accum = constantGray(20, 20, 0.0f), count = constantGray(20, 20, 0.0f);
    ExpTable expTable;
    fillExpTable(expTable.data(), kExpTableSize);
    std::atomic<bool> stop {true};
    BandControl control(0, &stop, nullptr);
    const RowInputs<float> inputs {
        gray, gray, gray, gray, expTable.data(), *table_, grayParams(10, 20, 20)};
    EXPECT_FALSE(denoiseRows(inputs, control, 0, 20, BandSink<float>(accum, count)));
    EXPECT_EQ(maxDifference(count, constantGray(20, 20, 0.0f)), 0.0f);
}

// Odd sizes bring up every border case; noise of the level's size and far off it (many
// refused moves); a band starting inside the image reads and writes rows above it.
TEST_F(Workers, FastBuildsMakeTheReferenceDecisionsOnWholeNumberImages)
{
    for (const int level : {5, 20, 35, 60, 90})
        expectSameDecisions(
            addNoise(sceneGray(53, 41), float(level), 100u + unsigned(level)), level, *table_);
    expectSameDecisions(addNoise(sceneGray(29, 31), 40.0f, 7u), 10, *table_);
    for (const int level : {10, 30, 70})
        expectSameDecisions(
            addNoise(sceneColor(47, 38), float(level), 200u + unsigned(level)), level, *table_);
    expectSameDecisions(addNoise(sceneColor(31, 29), 45.0f, 8u), 15, *table_);
    expectSameDecisions(addNoise(sceneColor(40, 36), 30.0f, 9u), 30, *table_, 17);
}

// Wide moves in a fixed cycle, every eighth a tiny one so that some move always passes the
// jump test: the same paths walked again and again must match move for move.
TEST_F(Workers, FastBuildsMakeTheReferenceDecisionsOnScriptedSamples)
{
    std::vector<float> samples;
    for (int i = 0; i < 512; ++i)
        samples.push_back(
            ((i / 2) % 8 == 7 ? 0.001f : 2.5f) * float(std::sin(double(i) * 12.9898)));
    const NormalTable scripted(samples, 15); // every path draws from entry 16 on
    for (const int level : {10, 25, 50})
        expectSameDecisions(addNoise(sceneGray(37, 33), float(level), 300u), level, scripted);
    for (const int level : {20, 40, 60})
        expectSameDecisions(addNoise(sceneColor(35, 30), float(level), 301u), level, scripted);
}

TEST_F(Workers, FastAgreesWithTheReferenceOnFractionalImages)
{
    for (const int level : {10, 30, 50}) {
        expectAgreement(sceneGray(97, 83), level, 400u, *table_);
        expectAgreement(sceneColor(89, 77), level, 401u, *table_);
    }
}
