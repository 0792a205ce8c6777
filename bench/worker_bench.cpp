// Speed of the row workers (pixels per second), fast and reference side by side, and of a whole
// preview-sized run.
#include "core/plane_run.h"
#include "core/row_worker.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <type_traits>

namespace {

constexpr int kSide = 128;

const NormalTable &benchTable()
{
    static const NormalTable table(99u);
    return table;
}

// The fast or the reference worker over the whole noisy test scene at the given level.
template<typename Cell, bool fast>
void BM_Worker(benchmark::State &state)
{
    constexpr bool color = std::is_same_v<Cell, Vec3>;
    const int level = int(state.range(0));
    Plane<Cell> noisy;
    if constexpr (color)
        noisy = addNoise(sceneColor(kSide, kSide), 20.0f, 2);
    else
        noisy = addNoise(sceneGray(kSide, kSide), 20.0f, 1);
    const DenoiseParams params
        = color ? colorParams(level, kSide, kSide) : grayParams(level, kSide, kSide);
    const auto setup = std::make_unique<WorkerInputs<Cell>>(std::move(noisy), params, benchTable());
    Plane<Cell> accum(kSide, kSide);
    GrayPlane count(kSide, kSide);
    for (auto _ : state) {
        accum.fill(Cell(0.0f));
        count.fill(0.0f);
        ThreadControl control;
        const ChunkSink<Cell> sink(accum, count);
        if (fast)
            denoiseRows(setup->inputs, control, 0, kSide, sink);
        else
            referenceRows(setup->inputs, control, 0, kSide, sink);
        benchmark::DoNotOptimize(accum.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

// What the dialog's preview costs: the 256 x 256 colour crop with its border at level 30 (56
// pixels each side, 368 x 368 in all) on every core, from the table the dialog built when it
// opened.
void BM_PreviewRun(benchmark::State &state)
{
    const ColorPlane noisy = addNoise(sceneColor(368, 368), 30.0f, 3);
    RunOptions options;
    options.table = &benchTable();
    options.originX = 56;
    options.originY = 56;
    for (auto _ : state) {
        ColorPlane result;
        if (denoiseColor(noisy, 30, result, options) != RunStatus::Done)
            state.SkipWithError("run did not finish");
        benchmark::DoNotOptimize(result.data());
    }
    state.SetItemsProcessed(state.iterations() * 256 * 256);
}

} // namespace

BENCHMARK_TEMPLATE(BM_Worker, float, true)
    ->Name("BM_GrayWorker")
    ->Arg(10)
    ->Arg(30)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Worker, float, false)
    ->Name("BM_GrayReferenceWorker")
    ->Arg(10)
    ->Arg(30)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Worker, Vec3, true)
    ->Name("BM_ColorWorker")
    ->Arg(10)
    ->Arg(30)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Worker, Vec3, false)
    ->Name("BM_ColorReferenceWorker")
    ->Arg(10)
    ->Arg(30)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreviewRun)->Unit(benchmark::kMillisecond)->UseRealTime();
