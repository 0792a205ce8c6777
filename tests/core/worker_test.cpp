// The row workers: distances, weights, cells, and whole bands on scripted and seeded samples.
#include "core/color_worker.h"
#include "core/gray_worker.h"
#include "core/run_stages.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

// The planes a worker reads, built from a source as a run builds them.
template<typename Cell>
struct WorkerInputs
{
    explicit WorkerInputs(const Plane<Cell> &src)
        : smooth(src.width(), src.height())
        , dirX(src.width(), src.height())
        , dirY(src.width(), src.height())
        , accum(src.width(), src.height())
        , count(src.width(), src.height())
    {
        BandControl control;
        presmooth(src, smooth, control);
        fillDirections(smooth, dirX, dirY, control);
        std::fill(accum.data(), accum.data() + accum.cellCount(), Cell(0.0f));
        std::fill(count.data(), count.data() + count.cellCount(), 0.0f);
        fillExpTable(expTable.data(), kExpTableSize);
    }

    Plane<Cell> smooth;
    GrayPlane dirX;
    GrayPlane dirY;
    Plane<Cell> accum;
    GrayPlane count;
    ExpTable expTable;
};

// The worker of the core, or the plain reference in the test support; both must pass every
// test here.
enum class Worker { Fast, Reference };
constexpr Worker kWorkers[] = {Worker::Fast, Worker::Reference};

const char *nameOf(Worker worker)
{
    return worker == Worker::Fast ? "fast worker" : "reference worker";
}

bool runWorker(const GrayPlane &src, WorkerInputs<float> &in, NormalCursor &cursor,
    const DenoiseParams &params, Worker worker)
{
    BandControl control;
    const auto rows = worker == Worker::Fast ? denoiseGrayRows : referenceGrayRows;
    return rows(control, 0, src.height(), in.dirX, in.dirY, src,
        BandSink<float>(in.accum, in.count), in.smooth, cursor, in.expTable, params);
}

bool runWorker(const ColorPlane &src, WorkerInputs<Vec3> &in, NormalCursor &cursor,
    const DenoiseParams &params, Worker worker)
{
    BandControl control;
    const auto rows = worker == Worker::Fast ? denoiseColorRows : referenceColorRows;
    return rows(control, 0, src.height(), in.dirX, in.dirY, src, BandSink<Vec3>(in.accum, in.count),
        in.smooth, cursor, in.expTable, params);
}

// How many effective patches cover each pixel when every pixel contributes its estimate.
GrayPlane coverage(int width, int height, int f)
{
    GrayPlane counts = constantGray(width, height, 0.0f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int r = std::min({f, x, y, width - 1 - x, height - 1 - y});
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    counts.at(x + dx, y + dy) += 1.0f;
        }
    }
    return counts;
}

template<typename Cell>
Plane<Cell> cellPlane(Cell value)
{
    Plane<Cell> plane(1, 1);
    plane.at(0, 0) = value;
    return plane;
}

template<typename Cell>
Plane<Cell> normalised(const WorkerInputs<Cell> &in)
{
    Plane<Cell> out(in.accum.width(), in.accum.height());
    for (std::int64_t i = 0; i < out.cellCount(); ++i)
        out.data()[i] = in.accum.data()[i] / Cell(in.count.data()[i]);
    return out;
}

} // namespace

TEST(PatchDistance, SumsSquaredDifferencesOverTheSquare)
{
    // Two 4 x 3 buffers; b is a shifted by one column plus 1 in the middle row.
    const float a[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const float b[] = {0, 1, 2, 3, 4, 6, 7, 8, 8, 9, 10, 11};
    EXPECT_EQ(patchDistance(a, b, 1, 1, 2, 1, 1, 4, 4), 3.0f);
    EXPECT_EQ(patchDistance(a, a, 1, 1, 2, 1, 1, 4, 4), 9.0f);
    EXPECT_EQ(patchDistance(a, b, 0, 0, 3, 2, 0, 4, 4), 100.0f);
    EXPECT_EQ(patchDistance(a, b, 1, 1, 2, 1, -1, 4, 4), 0.0f);

    const Vec3 c[] = {Vec3(1, 2, 3), Vec3(4, 6, 3)};
    EXPECT_EQ(colorPatchDistance(c, c, 0, 0, 1, 0, 0, 2, 2), 25.0f);
    EXPECT_EQ(colorPatchDistance(c, c, 0, 0, 1, 0, -1, 2, 2), 0.0f);
}

TEST(PatchWeight, FollowsTheNonLocalMeansFormWithItsOffset)
{
    ExpTable table;
    fillExpTable(table.data(), kExpTableSize);
    // Level 10, gray: 9 values, offset 2 * 9 * 100 = 1800, scale 144.
    const DenoiseParams p = grayParams(10, 20, 20);
    EXPECT_EQ(patchWeight(1800.0f + 216.0f, p, table), table[1500]);
    EXPECT_EQ(patchWeight(1800.0f, p, table), 1.0f);
    EXPECT_EQ(patchWeight(0.0f, p, table), 1.0f);
    EXPECT_EQ(patchWeight(1800.0f + 144.0f, p, table), table[1000]);
    EXPECT_EQ(patchWeight(1800.0f + 29.0f * 144.0f, p, table), 0.0f);
    // Colour, level 30: 75 values, offset 2 * 75 * 900, scale 75 * 144; excess 0.5 scale.
    const DenoiseParams c = colorParams(30, 20, 20);
    EXPECT_EQ(patchWeight(135000.0f + 5400.0f, c, table), table[500]);
}

TEST(PathCells, RoundHalvesAwayFromZeroAndKeepPatchesInside)
{
    EXPECT_EQ(nearestCell(2.5f), 3);
    EXPECT_EQ(nearestCell(2.49f), 2);
    EXPECT_EQ(nearestCell(0.5f), 1);
    EXPECT_EQ(nearestCell(0.0f), 0);
    EXPECT_EQ(nearestCell(0.49999997f), 0); // floor(v + 0.5) would give 1
    EXPECT_EQ(nearestCell(-2.5f), -3);
    // Every float step of the path range near the halves, and a sweep over the rest.
    for (float v = 1022.0f; v < 1026.0f; v = std::nextafter(v, 2000.0f))
        ASSERT_EQ(nearestCell(v), int(std::round(v))) << v;
    for (float v = -40.0f; v < 5000.0f; v += 0.0625f / 3.0f)
        ASSERT_EQ(nearestCell(v), int(std::round(v))) << v;
    EXPECT_TRUE(usableCell(0, 0, 0, 5, 4));
    EXPECT_TRUE(usableCell(4, 3, 0, 5, 4));
    EXPECT_FALSE(usableCell(5, 3, 0, 5, 4)); // a path at x >= W - 0.5 rounds to W
    EXPECT_FALSE(usableCell(1, 2, 2, 5, 4));
    EXPECT_TRUE(usableCell(2, 1, 1, 5, 4));
    EXPECT_TRUE(usableCell(2, 2, 2, 5, 5));
    EXPECT_FALSE(usableCell(3, 2, 2, 5, 5));
    EXPECT_EQ(clampToPlane(7.5f, 6), 6.0f);
    EXPECT_EQ(clampToPlane(-0.1f, 6), 0.0f);
    EXPECT_EQ(clampToPlane(5.5f, 6), 5.5f);
}

TEST(ClampToPixel, LimitsEveryComponentToThePixelRange)
{
    EXPECT_EQ(clampToPixel(254.5f), 254.5f);
    EXPECT_EQ(clampToPixel(-3.0f), 0.0f);
    EXPECT_EQ(clampToPixel(300.0f), 255.0f);
    EXPECT_EQ(clampToPixel(Vec3(-1.0f, 12.25f, 256.0f)), Vec3(0.0f, 12.25f, 255.0f));
    Vec3 cells[3] = {Vec3(1.0f), Vec3(2.0f), Vec3(3.0f)};
    fillVec3(cells, 2, 7.0f);
    EXPECT_EQ(cells[0], Vec3(7.0f));
    EXPECT_EQ(cells[1], Vec3(7.0f));
    EXPECT_EQ(cells[2], Vec3(3.0f));
}

// With every sample 0 no walk leaves its pixel: every position is the pixel itself with
// weight 1, so every pixel contributes and every estimate is the pixel's own patch.
TEST(WorkersOnZeroSamples, EveryPixelContributesItsOwnPatch)
{
    const NormalTable zeros(std::vector<float>(64, 0.0f), 0);
    const GrayPlane gray = addNoise(sceneGray(23, 19), 20.0f, 11);
    const ColorPlane color = addNoise(sceneColor(21, 17), 20.0f, 12);
    for (const Worker worker : kWorkers) {
        SCOPED_TRACE(nameOf(worker));
        WorkerInputs<float> grayIn(gray);
        NormalCursor grayCursor = zeros.cursor();
        ASSERT_TRUE(runWorker(gray, grayIn, grayCursor, grayParams(20, 23, 19), worker));
        EXPECT_EQ(maxDifference(grayIn.count, coverage(23, 19, 2)), 0.0f);
        EXPECT_LT(maxDifference(normalised(grayIn), gray), 1e-3f);

        WorkerInputs<Vec3> colorIn(color);
        NormalCursor colorCursor = zeros.cursor();
        ASSERT_TRUE(runWorker(color, colorIn, colorCursor, colorParams(60, 21, 17), worker));
        EXPECT_EQ(maxDifference(colorIn.count, coverage(21, 17, 3)), 0.0f);
        EXPECT_LT(maxDifference(normalised(colorIn), color), 1e-3f);
    }
}

// Rows of a vertical ramp, constant along x. Each path steps x + 1, x, x + 1 ... (stepScale 2
// at level 4, samples +-0.5 for x and 0 for y), so every patch it meets is the pixel's own;
// its closing move draws (0, 1) and goes one row down, along the structure direction (0, 1),
// where the patch is 1 level further along the ramp. Per path 7 weights of 1 and one -0.2
// patch: the estimate is v - 7 * 0.2 * slope / (7 * 6.8) in the interior. Swapping the x and y
// draws, dropping the closing move, changing its sign or scale all move this value.
template<typename Cell>
void walkAlongRows(Cell slope, Worker worker)
{
    SCOPED_TRACE(nameOf(worker));
    const std::vector<float> path = {0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f, -0.5f, 0.0f, 0.5f, 0.0f,
        -0.5f, 0.0f, 0.5f, 0.0f, 0.0f, 1.0f};
    const NormalTable table(path, int(path.size()) - 1);
    const int width = 32;
    const int height = 24;
    Plane<Cell> rows(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            rows.at(x, y) = Cell(100.0f) + Cell(float(y)) * slope;

    WorkerInputs<Cell> in(rows);
    NormalCursor cursor = table.cursor();
    const DenoiseParams params = std::is_same_v<Cell, float> ? grayParams(4, width, height)
                                                             : colorParams(4, width, height);
    ASSERT_TRUE(runWorker(rows, in, cursor, params, worker));
    const Plane<Cell> out = normalised(in);
    const Cell bias = Cell(-1.4f / 47.6f) * slope;
    Plane<Cell> expected(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            expected.at(x, y) = rows.at(x, y) + bias;
    for (int y = 2; y <= height - 4; ++y)
        for (int x = 2; x <= width - 4; ++x)
            ASSERT_LT(maxDifference(cellPlane(out.at(x, y)), cellPlane(expected.at(x, y))), 1e-4f)
                << x << ", " << y;
    // In the last column the walks alternate between an unusable column (W - 1 for radius 1,
    // W for radius 0) and a usable one, so 3 weights and the closing move, usable only
    // because it starts from the previous point: estimate v - 0.2 * slope / 2.8.
    const Cell borderBias = Cell(-0.2f / 2.8f) * slope;
    for (int y = 2; y <= height - 4; ++y)
        ASSERT_LT(maxDifference(cellPlane(out.at(width - 1, y)),
                      cellPlane(rows.at(width - 1, y) + borderBias)),
            1e-4f)
            << "last column, row " << y;
    // Every path drew a multiple of 16 samples: 7 moves and the closing move, none refused.
    EXPECT_EQ(cursor.position(), int(path.size()) - 1);
}

TEST(WorkersOnScriptedSamples, WalkAlongRowsAndCloseAlongTheStructure)
{
    for (const Worker worker : kWorkers) {
        walkAlongRows(1.0f, worker);
        walkAlongRows(Vec3(1.0f, 2.0f, -1.0f), worker);
    }
}

class WorkersOnSeededSamples : public testing::Test
{
protected:
    static void SetUpTestSuite() { table_ = std::make_unique<NormalTable>(20240611u); }
    static void TearDownTestSuite() { table_.reset(); }
    static std::unique_ptr<NormalTable> table_;
};

std::unique_ptr<NormalTable> WorkersOnSeededSamples::table_;

// On a constant image every move passes the jump test and every usable position has weight
// 1: every pixel contributes, so the counts are known exactly, and the estimates reproduce the
// constant up to float rounding.
TEST_F(WorkersOnSeededSamples, ConstantImageGivesExactCountsAndTheConstant)
{
    const GrayPlane gray = constantGray(40, 30, 117.0f);
    const ColorPlane color = constantColor(33, 28, Vec3(117.0f, 40.0f, 201.0f));
    for (const Worker worker : kWorkers) {
        SCOPED_TRACE(nameOf(worker));
        for (const int level : {10, 50, 90}) {
            WorkerInputs<float> in(gray);
            NormalCursor cursor = table_->cursor();
            const DenoiseParams params = grayParams(level, 40, 30);
            ASSERT_TRUE(runWorker(gray, in, cursor, params, worker));
            EXPECT_EQ(maxDifference(in.count, coverage(40, 30, params.patchRadius)), 0.0f);
            EXPECT_LT(maxDifference(normalised(in), gray), 1e-3f) << "level " << level;
        }
        for (const int level : {10, 40, 70}) {
            WorkerInputs<Vec3> in(color);
            NormalCursor cursor = table_->cursor();
            const DenoiseParams params = colorParams(level, 33, 28);
            ASSERT_TRUE(runWorker(color, in, cursor, params, worker));
            EXPECT_EQ(maxDifference(in.count, coverage(33, 28, params.patchRadius)), 0.0f);
            EXPECT_LT(maxDifference(normalised(in), color), 1e-3f) << "level " << level;
        }
    }
}

TEST_F(WorkersOnSeededSamples, StopAtTheFirstRowOnceStopped)
{
    const GrayPlane gray = constantGray(20, 20, 50.0f);
    WorkerInputs<float> in(gray);
    std::atomic<bool> stop {true};
    BandControl control(0, &stop, nullptr, false);
    NormalCursor cursor = table_->cursor();
    EXPECT_FALSE(
        denoiseGrayRows(control, 0, 20, in.dirX, in.dirY, gray, BandSink<float>(in.accum, in.count),
            in.smooth, cursor, in.expTable, grayParams(10, 20, 20)));
    EXPECT_EQ(cursor.position(), table_->start());
}
