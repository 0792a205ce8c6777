// Speed of the row workers (pixels per second), fast and reference side by side, and of a whole
// preview-sized run.
#include "core/color_worker.h"
#include "core/denoise_run.h"
#include "core/gray_worker.h"
#include "core/run_stages.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

constexpr int kSide = 128;

const NormalTable &benchTable()
{
    static const NormalTable table(99u);
    return table;
}

// The planes a worker reads for the noisy test scene (noise 20), built as a run builds them.
template<typename Cell>
struct WorkerSetup
{
    explicit WorkerSetup(Plane<Cell> source)
        : src(std::move(source))
        , smooth(kSide, kSide)
        , dirX(kSide, kSide)
        , dirY(kSide, kSide)
        , accum(kSide, kSide)
        , count(kSide, kSide)
    {
        BandControl control;
        presmooth(src, smooth, control);
        fillDirections(smooth, dirX, dirY, control);
        fillExpTable(expTable.data(), kExpTableSize);
    }

    void clear()
    {
        std::fill(accum.data(), accum.data() + accum.cellCount(), Cell(0.0f));
        std::fill(count.data(), count.data() + count.cellCount(), 0.0f);
    }

    Plane<Cell> src;
    Plane<Cell> smooth;
    GrayPlane dirX;
    GrayPlane dirY;
    Plane<Cell> accum;
    GrayPlane count;
    ExpTable expTable;
};

template<bool fast>
void BM_GrayWorker(benchmark::State &state)
{
    const auto rows = fast ? denoiseGrayRows : referenceGrayRows;
    const int level = int(state.range(0));
    WorkerSetup<float> setup(addNoise(sceneGray(kSide, kSide), 20.0f, 1));
    const DenoiseParams params = grayParams(level, kSide, kSide);
    NormalCursor cursor = benchTable().cursor();
    for (auto _ : state) {
        setup.clear();
        BandControl control;
        rows(control, 0, kSide, setup.dirX, setup.dirY, setup.src,
            BandSink<float>(setup.accum, setup.count), setup.smooth, cursor, setup.expTable,
            params);
        benchmark::DoNotOptimize(setup.accum.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

template<bool fast>
void BM_ColorWorker(benchmark::State &state)
{
    const auto rows = fast ? denoiseColorRows : referenceColorRows;
    const int level = int(state.range(0));
    WorkerSetup<Vec3> setup(addNoise(sceneColor(kSide, kSide), 20.0f, 2));
    const DenoiseParams params = colorParams(level, kSide, kSide);
    NormalCursor cursor = benchTable().cursor();
    for (auto _ : state) {
        setup.clear();
        BandControl control;
        rows(control, 0, kSide, setup.dirX, setup.dirY, setup.src,
            BandSink<Vec3>(setup.accum, setup.count), setup.smooth, cursor, setup.expTable, params);
        benchmark::DoNotOptimize(setup.accum.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

// What the dialog's preview costs: a 256 x 256 colour crop at level 30 on one thread, the
// sample table built by the run as every run builds it.
void BM_PreviewRun(benchmark::State &state)
{
    const ColorPlane noisy = addNoise(sceneColor(256, 256), 30.0f, 3);
    RunOptions options;
    options.threads = 1;
    for (auto _ : state) {
        ColorPlane result;
        if (denoiseColor(noisy, 30, result, options) != RunStatus::Done)
            state.SkipWithError("run did not finish");
        benchmark::DoNotOptimize(result.data());
    }
    state.SetItemsProcessed(state.iterations() * 256 * 256);
}

} // namespace

BENCHMARK_TEMPLATE(BM_GrayWorker, true)->Arg(10)->Arg(30)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_GrayWorker, false)->Arg(10)->Arg(30)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ColorWorker, true)->Arg(10)->Arg(30)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ColorWorker, false)->Arg(10)->Arg(30)->Arg(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreviewRun)->Unit(benchmark::kMillisecond);
