// The row workers: whole planes on chosen and seeded samples, and every build of the fast
// workers against the plain reference.
#include "core/cell_math.h"
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

template<typename Cell>
constexpr bool kColor = std::is_same_v<Cell, Vec3>;

// What one worker left after the pixels of rows [firstRow, H) and columns [part.columnBegin,
// part.columnEnd): sums, counts and normalised estimates.
template<typename Cell>
struct Outcome
{
    Plane<Cell> accum;
    GrayPlane count;
    Plane<Cell> estimate;
};

// Rows from a first one on and the columns between two, in pixels.
struct Part
{
    int firstRow = 0;
    int columnBegin = 0;
    int columnEnd = -1; // the width
};

template<typename Cell>
Outcome<Cell> runWorker(const Plane<Cell> &src, int level, const NormalTable &table, Worker worker,
    Part part, WorkerTarget target = WorkerTarget::Baseline)
{
    const int firstRow = part.firstRow;
    const int width = src.width();
    const int height = src.height();
    const DenoiseParams params
        = kColor<Cell> ? colorParams(level, width, height) : grayParams(level, width, height);
    const auto scene = std::make_unique<WorkerInputs<Cell>>(copyOf(src), params, table);
    Outcome<Cell> out {Plane<Cell>(width, height), GrayPlane(width, height), {}};
    const ChunkSink<Cell> sink(out.accum, out.count, part.columnBegin, part.columnEnd);
    ThreadControl control;
    if (worker == Worker::Fast)
        denoiseRows(scene->inputs, control, firstRow, height, sink, target);
    else
        referenceRows(scene->inputs, control, firstRow, height, sink);
    out.estimate = copyOf(out.accum);
    normaliseRows(out.estimate, out.count, src, 0, height, control);
    return out;
}

// Squared differences of whole numbers, and their sums up to 2^24, are exact in float in any
// order: every build of the fast worker this processor runs must then compute exactly what the
// reference computes, sums, counts and estimates bit for bit.
template<typename Cell>
void expectSameAsReference(
    const Plane<Cell> &src, int level, const NormalTable &table, Part part = {})
{
    SCOPED_TRACE(testing::Message() << (kColor<Cell> ? "colour" : "gray") << " level " << level
                                    << ", " << src.width() << " x " << src.height());
    const Outcome<Cell> reference = runWorker(src, level, table, Worker::Reference, part);
    for (const WorkerTarget target : availableWorkerTargets()) {
        SCOPED_TRACE(testing::Message() << "target " << int(target));
        const Outcome<Cell> fast = runWorker(src, level, table, Worker::Fast, part, target);
        EXPECT_EQ(maxDifference(fast.count, reference.count), 0.0f);
        EXPECT_EQ(maxDifference(fast.accum, reference.accum), 0.0f);
        EXPECT_EQ(maxDifference(fast.estimate, reference.estimate), 0.0f);
        // A source whose rows lie further apart than its width, as the image adapter makes them.
        const Outcome<Cell> spread = runWorker(withPitch(src, src.width() + 7, Cell(1000.0f)),
            level, table, Worker::Fast, part, target);
        EXPECT_EQ(maxDifference(spread.accum, reference.accum), 0.0f);
    }
}

const NormalTable &seeded()
{
    static const NormalTable table(31337u);
    return table;
}

} // namespace

// Odd sizes bring up every border case; noise of the level's size and far off it (many
// refused moves); pixels starting inside the image read and write rows above them and columns
// left of them.
TEST(Workers, FastBuildsComputeTheReferenceBitForBitOnWholeNumberImages)
{
    for (const int level : {5, 20, 35, 60, 90})
        expectSameAsReference(
            addNoise(sceneGray(53, 41), float(level), 100u + unsigned(level)), level, seeded());
    expectSameAsReference(addNoise(sceneGray(29, 31), 40.0f, 7u), 10, seeded());
    for (const int level : {10, 30, 70})
        expectSameAsReference(
            addNoise(sceneColor(47, 38), float(level), 200u + unsigned(level)), level, seeded());
    expectSameAsReference(addNoise(sceneColor(31, 29), 45.0f, 8u), 15, seeded());
    expectSameAsReference(addNoise(sceneColor(40, 36), 30.0f, 9u), 30, seeded(), {17, 0, -1});
    expectSameAsReference(addNoise(sceneGray(40, 36), 30.0f, 10u), 30, seeded(), {3, 11, 29});
}

// Wide moves in a cycle of 512 draws, every eighth a tiny one so that some move always passes
// the jump test: the same few paths walked again and again must match move for move.
TEST(Workers, FastBuildsComputeTheReferenceBitForBitOnChosenSamples)
{
    std::vector<float> samples;
    for (int i = 0; i < 512; ++i)
        samples.push_back(
            ((i / 2) % 8 == 7 ? 0.001f : 2.5f) * float(std::sin(double(i) * 12.9898)));
    const NormalTable chosen(samples, 15);
    for (const int level : {10, 25, 50})
        expectSameAsReference(addNoise(sceneGray(37, 33), float(level), 300u), level, chosen);
    for (const int level : {20, 40, 60})
        expectSameAsReference(addNoise(sceneColor(35, 30), float(level), 301u), level, chosen);
}

// The weight follows exp(-x) to float precision over the whole range that counts, is exactly 1
// at distance 0 (a flat image weighs every place alike) and 0 from exp(-29) on. The fast
// workers compute the same operations, which the tests above hold them to.
TEST(Workers, PatchWeightIsExpToFloatPrecisionUpToTheCutoff)
{
    const WeightScale plain(1.0f, 0.0f);
    EXPECT_EQ(patchWeight(0.0f, plain), 1.0f);
    EXPECT_EQ(patchWeight(-5.0f, plain), 1.0f);
    double worst = 0.0;
    for (float y = 0.0f; y < kWeightCutoff; y += 0.000731f) {
        const double exact = std::exp2(-double(y));
        worst = std::max(worst, std::fabs(double(weightAt(y)) - exact) / exact);
    }
    EXPECT_LT(worst, 3e-7);
    EXPECT_GT(weightAt(std::nextafter(kWeightCutoff, 0.0f)), 0.0f);
    EXPECT_EQ(weightAt(kWeightCutoff), 0.0f);
    // Distances in the run's own scale: exp(-max(d - offset, 0) / scale).
    const WeightScale run(12.5f, -100.0f);
    for (const float d : {0.0f, 100.0f, 150.0f, 300.0f, 462.0f})
        EXPECT_NEAR(patchWeight(d, run), std::exp(-std::max(d - 100.0f, 0.0f) / 12.5f),
            2e-6 * std::exp(-std::max(d - 100.0f, 0.0f) / 12.5f))
            << d;
    EXPECT_EQ(patchWeight(100.0f + 12.5f * 29.5f, run), 0.0f);
}
