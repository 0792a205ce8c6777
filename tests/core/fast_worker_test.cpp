// The fast row workers against the plain reference: same walks and decisions, same estimates.
#include "core/color_worker.h"
#include "core/gray_worker.h"
#include "core/run_stages.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <type_traits>

namespace {

// What one worker left after a whole image: sums, counts, normalised estimates, and where its
// cursor ended (which tells how many samples it drew).
template<typename Cell>
struct Outcome
{
    Plane<Cell> accum;
    GrayPlane count;
    Plane<Cell> estimate;
    int cursorEnd = 0;
};

template<typename Cell>
Outcome<Cell> runWorker(
    const Plane<Cell> &src, int level, const NormalTable &table, bool fast, int bandBegin = 0)
{
    constexpr bool color = std::is_same_v<Cell, Vec3>;
    const int width = src.width();
    const int height = src.height();
    const DenoiseParams params
        = color ? colorParams(level, width, height) : grayParams(level, width, height);
    Plane<Cell> smooth(width, height);
    GrayPlane dirX(width, height);
    GrayPlane dirY(width, height);
    BandControl control;
    presmooth(src, smooth, control);
    fillDirections(smooth, dirX, dirY, control);
    const auto expTable = std::make_unique<ExpTable>();
    fillExpTable(expTable->data(), kExpTableSize);

    Outcome<Cell> out;
    out.accum = Plane<Cell>(width, height);
    out.count = constantGray(width, height, 0.0f);
    std::fill(out.accum.data(), out.accum.data() + out.accum.cellCount(), Cell(0.0f));
    const BandSink<Cell> sink(out.accum, out.count);
    NormalCursor cursor = table.cursor();
    if constexpr (color) {
        const auto rows = fast ? denoiseColorRows : referenceColorRows;
        rows(control, bandBegin, height, dirX, dirY, src, sink, smooth, cursor, *expTable, params);
    } else {
        const auto rows = fast ? denoiseGrayRows : referenceGrayRows;
        rows(control, bandBegin, height, dirX, dirY, src, sink, smooth, cursor, *expTable, params);
    }
    out.cursorEnd = cursor.position();
    out.estimate = Plane<Cell>(width, height);
    std::copy(out.accum.data(), out.accum.data() + out.accum.cellCount(), out.estimate.data());
    normalise(out.estimate, out.count, src, control);
    return out;
}

float valueOf(float v, int)
{
    return v;
}

float valueOf(Vec3 v, int c)
{
    return c == 0 ? v.r : (c == 1 ? v.g : v.b);
}

template<typename Cell>
constexpr int channelsOf()
{
    return std::is_same_v<Cell, Vec3> ? 3 : 1;
}

// How many values of two planes differ by more than `limit`.
template<typename Cell>
std::int64_t valuesApart(const Plane<Cell> &a, const Plane<Cell> &b, float limit)
{
    std::int64_t apart = 0;
    for (std::int64_t i = 0; i < a.cellCount(); ++i)
        for (int c = 0; c < channelsOf<Cell>(); ++c)
            apart += std::fabs(valueOf(a.data()[i], c) - valueOf(b.data()[i], c)) > limit ? 1 : 0;
    return apart;
}

// Squared differences of whole numbers, and their sums up to 2^24, are exact in float in any
// order: on such an image the fast distances, weights and weight sums equal the reference's to
// the bit, so every decision of the walk must be the same.
// Runs the fast workers on one of the instruction sets this processor has, for a scope.
class TargetScope
{
public:
    explicit TargetScope(WorkerTarget target)
        : previous_(workerTarget())
    {
        useWorkerTarget(target);
    }
    ~TargetScope() { useWorkerTarget(previous_); }
    TargetScope(const TargetScope &) = delete;
    TargetScope &operator=(const TargetScope &) = delete;

private:
    WorkerTarget previous_;
};

// Every build of the fast worker this processor can run (plain x86-64, AVX2, AVX-512) against
// the reference.
template<typename Cell>
void expectSameDecisions(const Plane<Cell> &src, int level, const NormalTable &table)
{
    SCOPED_TRACE(testing::Message() << (channelsOf<Cell>() == 3 ? "colour" : "gray") << " level "
                                    << level << ", " << src.width() << " x " << src.height());
    const Outcome<Cell> reference = runWorker(src, level, table, false);
    for (const WorkerTarget target : availableWorkerTargets()) {
        SCOPED_TRACE(testing::Message() << "target " << int(target));
        const TargetScope scope(target);
        const Outcome<Cell> fast = runWorker(src, level, table, true);
        EXPECT_EQ(fast.cursorEnd, reference.cursorEnd);
        EXPECT_EQ(maxDifference(fast.count, reference.count), 0.0f);
        // Only the bilinear patch samples may round differently: a shifted sample position
        // px + dx can lose a last bit of its fraction.
        EXPECT_LT(maxDifference(fast.estimate, reference.estimate), 1e-3f);
    }
}

// Every value v becomes 0.8137 v + 20.31: no longer whole numbers.
template<typename Cell>
Plane<Cell> fractional(Plane<Cell> plane)
{
    for (std::int64_t i = 0; i < plane.cellCount(); ++i)
        plane.data()[i] = plane.data()[i] * Cell(0.8137f) + Cell(20.31f);
    return plane;
}

template<typename Cell>
void expectAgreement(
    const Plane<Cell> &clean, const Plane<Cell> &noisy, int level, const NormalTable &table)
{
    SCOPED_TRACE(
        testing::Message() << (channelsOf<Cell>() == 3 ? "colour" : "gray") << " level " << level);
    const Outcome<Cell> fast = runWorker(noisy, level, table, true);
    const Outcome<Cell> reference = runWorker(noisy, level, table, false);
    const Plane<Cell> fastPixels = toPixels(fast.estimate);
    const Plane<Cell> referencePixels = toPixels(reference.estimate);
    const std::int64_t values = fastPixels.cellCount() * channelsOf<Cell>();
    EXPECT_LE(valuesApart(fastPixels, referencePixels, 1.0f) * 1000, values);
    EXPECT_NEAR(psnr(clean, fastPixels), psnr(clean, referencePixels), 0.02);
}

class FastWorkers : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(31337u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> FastWorkers::table_;

} // namespace

// Odd sizes so that every border case of the patch test and of the sampling comes up; noise of
// the level's size, as a user would choose it, and far off it (many refused moves).
TEST_F(FastWorkers, MakeTheReferenceDecisionsOnWholeNumberImages)
{
    for (const int level : {5, 20, 35, 60, 90})
        expectSameDecisions(
            addNoise(sceneGray(53, 41), float(level), 100u + unsigned(level)), level, *table_);
    expectSameDecisions(addNoise(sceneGray(29, 31), 40.0f, 7u), 10, *table_);
    for (const int level : {10, 30, 70})
        expectSameDecisions(
            addNoise(sceneColor(47, 38), float(level), 200u + unsigned(level)), level, *table_);
    expectSameDecisions(addNoise(sceneColor(31, 29), 45.0f, 8u), 15, *table_);
}

// A scripted table of a few hundred samples (wide moves in a fixed cycle, every eighth move a
// tiny one so that some move always passes the jump test) walks the same paths again and
// again; the decisions must still match move for move.
TEST_F(FastWorkers, MakeTheReferenceDecisionsOnScriptedSamples)
{
    std::vector<float> samples;
    for (int i = 0; i < 512; ++i) {
        const float scale = (i / 2) % 8 == 7 ? 0.001f : 2.5f;
        samples.push_back(scale * float(std::sin(double(i) * 12.9898)));
    }
    // Every move draws two samples, so starting after entry 15 keeps the pairs aligned.
    const NormalTable scripted(samples, 15);
    for (const int level : {10, 25, 50})
        expectSameDecisions(addNoise(sceneGray(37, 33), float(level), 300u), level, scripted);
    for (const int level : {20, 40, 60})
        expectSameDecisions(addNoise(sceneColor(35, 30), float(level), 301u), level, scripted);
}

// A band that starts inside the image (as every band but the first does) reads and writes
// rows above it: the same as the reference there too.
TEST_F(FastWorkers, BandsStartingInsideTheImageMatchTheReference)
{
    const ColorPlane color = addNoise(sceneColor(40, 36), 30.0f, 9u);
    const Outcome<Vec3> fast = runWorker(color, 30, *table_, true, 17);
    const Outcome<Vec3> reference = runWorker(color, 30, *table_, false, 17);
    EXPECT_EQ(fast.cursorEnd, reference.cursorEnd);
    EXPECT_EQ(maxDifference(fast.count, reference.count), 0.0f);
    EXPECT_LT(maxDifference(fast.accum, reference.accum), 1e-2f);
}

// On an image of fractional values the distances are summed in another order and may differ
// in their last bits, which can flip a rare closing move. The results must still agree: at
// most 0.1 % of the 8-bit values more than one level apart, PSNR within 0.02 dB.
TEST_F(FastWorkers, AgreeWithTheReferenceOnFractionalImages)
{
    for (const int level : {10, 30, 50}) {
        const GrayPlane clean = fractional(sceneGray(97, 83));
        expectAgreement(
            clean, fractional(addNoise(sceneGray(97, 83), float(level), 400u)), level, *table_);
        const ColorPlane cleanColor = fractional(sceneColor(89, 77));
        expectAgreement(cleanColor, fractional(addNoise(sceneColor(89, 77), float(level), 401u)),
            level, *table_);
    }
}

// The colour jump test compares the sum of squares with a limit instead of taking its root:
// the limit must be the last float whose root is still at most sigma.
TEST(JumpLimit, IsTheLastSquareWhoseRootStaysWithinSigma)
{
    for (const float sigma : {1.0f, 2.0f, 7.0f, 30.0f, 31.0f, 55.0f, 99.0f, 1e-3f, 0.0f}) {
        const float limit = squaredLimit(sigma);
        EXPECT_LE(std::sqrt(limit), sigma) << sigma;
        EXPECT_GT(std::sqrt(std::nextafter(limit, HUGE_VALF)), sigma) << sigma;
    }
}
