// Speed of whole runs (preview and photograph sizes) and of the row workers on 1 and 2 threads.
#include "core/plane_run.h"
#include "core/row_worker.h"
#include "core/run_threads.h"
#include "support/reference_workers.h"
#include "support/test_images.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <type_traits>

namespace {

template<typename Cell>
Plane<Cell> noisyScene(int width, int height, float noise)
{
    if constexpr (std::is_same_v<Cell, float>)
        return addNoise(sceneGray(width, height), noise, 7);
    else
        return addNoise(sceneColor(width, height), noise, 8);
}

RunStatus runOnce(const GrayPlane &src, int level, const RunOptions &options)
{
    GrayPlane result;
    const RunStatus status = denoiseGray(src, level, result, options);
    benchmark::DoNotOptimize(result.data());
    return status;
}

RunStatus runOnce(const ColorPlane &src, int level, const RunOptions &options)
{
    ColorPlane result;
    const RunStatus status = denoiseColor(src, level, result, options);
    benchmark::DoNotOptimize(result.data());
    return status;
}

// A whole run as the dialog or the tool makes it, the sample table built by the run, on the
// test scene with noise of the standard deviation that the level names.
// Arguments: level, width, height, threads (0: all).
template<typename Cell>
void BM_Run(benchmark::State &state)
{
    const int level = int(state.range(0));
    const int width = int(state.range(1));
    const int height = int(state.range(2));
    const Plane<Cell> src = noisyScene<Cell>(width, height, float(level));
    RunOptions options;
    options.threads = int(state.range(3));
    for (auto _ : state) {
        if (runOnce(src, level, options) != RunStatus::Done)
            state.SkipWithError("run did not finish");
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

// The row workers alone over a whole image split as a run splits it, on 1 or 2 threads;
// planes and table are built once outside the timing. Arguments: level, width, height, threads.
template<typename Cell>
void BM_Workers(benchmark::State &state)
{
    const int level = int(state.range(0));
    const int width = int(state.range(1));
    const int height = int(state.range(2));
    const int threads = int(state.range(3));
    static const NormalTable table(4711u);
    constexpr bool color = std::is_same_v<Cell, Vec3>;
    const DenoiseParams params
        = color ? colorParams(level, width, height) : grayParams(level, width, height);
    const auto scene = std::make_unique<WorkerInputs<Cell>>(
        noisyScene<Cell>(width, height, float(level)), params, table);
    const ChunkWork<Cell> work
        = [&](ThreadControl &chunk, int rowBegin, int rowEnd, const ChunkSink<Cell> &sink) {
              return denoiseRows(scene->inputs, chunk, rowBegin, rowEnd, sink);
          };
    Plane<Cell> accum(width, height);
    GrayPlane count(width, height);
    for (auto _ : state) {
        state.PauseTiming();
        accum.fill(Cell(0.0f));
        count.fill(0.0f);
        state.ResumeTiming();
        if (runChunks(threads, params.patchRadius, 0, 0, accum, count, work, nullptr)
            != RunStatus::Done)
            state.SkipWithError("chunks did not finish");
        benchmark::DoNotOptimize(accum.data());
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

void previewArgs(benchmark::internal::Benchmark *b)
{
    for (const int level : {10, 30, 50})
        b->Args({level, 256, 256, 1});
    b->Args({30, 256, 256, 0});
    b->ArgNames({"level", "w", "h", "threads"})->Unit(benchmark::kMillisecond);
}

void largeArgs(benchmark::internal::Benchmark *b)
{
    for (const int level : {10, 30, 50})
        b->Args({level, 2048, 1536, 0});
    b->Args({30, 2048, 1536, 1});
    b->Args({30, 512, 512, 0});
    b->ArgNames({"level", "w", "h", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void workerArgs(benchmark::internal::Benchmark *b)
{
    for (const int threads : {1, 2})
        b->Args({30, 2048, 1536, threads});
    b->ArgNames({"level", "w", "h", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace

BENCHMARK_TEMPLATE(BM_Run, float)->Name("BM_GrayRun")->Apply(previewArgs);
BENCHMARK_TEMPLATE(BM_Run, Vec3)->Name("BM_ColorRun")->Apply(previewArgs);
BENCHMARK_TEMPLATE(BM_Run, float)->Name("BM_GrayRunLarge")->Apply(largeArgs);
BENCHMARK_TEMPLATE(BM_Run, Vec3)->Name("BM_ColorRunLarge")->Apply(largeArgs);
BENCHMARK_TEMPLATE(BM_Workers, float)->Name("BM_GrayWorkers")->Apply(workerArgs);
BENCHMARK_TEMPLATE(BM_Workers, Vec3)->Name("BM_ColorWorkers")->Apply(workerArgs);
