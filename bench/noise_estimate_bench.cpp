// Speed of the noise estimate on a 24-megapixel photograph, colour and gray, single thread.
#include "core/noise_estimate.h"
#include "support/test_images.h"

#include <benchmark/benchmark.h>

#include <optional>
#include <type_traits>

namespace {

// The test scene with noise of deviation 20, as an estimate runs on a freshly opened image.
// Arguments: width, height.
template<typename Cell>
void BM_EstimateNoise(benchmark::State &state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    Plane<Cell> src;
    if constexpr (std::is_same_v<Cell, float>)
        src = addNoise(sceneGray(width, height), 20.0f, 7);
    else
        src = addNoise(sceneColor(width, height), 20.0f, 8);
    for (auto _ : state) {
        const std::optional<float> estimate = estimateNoiseLevel(src);
        if (!estimate)
            state.SkipWithError("no estimate");
        benchmark::DoNotOptimize(estimate);
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

BENCHMARK(BM_EstimateNoise<Vec3>)->Args({6000, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EstimateNoise<float>)->Args({6000, 4000})->Unit(benchmark::kMillisecond);

} // namespace
