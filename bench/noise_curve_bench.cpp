// Speed of the noise curve and of its transform on a 24-megapixel photograph, single thread.
#include "core/noise_curve.h"
#include "core/noise_transform.h"
#include "support/test_images.h"

#include <benchmark/benchmark.h>

#include <optional>
#include <type_traits>

namespace {

// The test scene with noise of deviation 20, as a curve is measured on a freshly opened image.
// Arguments: width, height.
template<typename Cell>
Plane<Cell> noisyScene(benchmark::State &state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    if constexpr (std::is_same_v<Cell, float>)
        return addNoise(sceneGray(width, height), 20.0f, 7);
    else
        return addNoise(sceneColor(width, height), 20.0f, 8);
}

template<typename Cell>
void BM_MeasureNoiseCurve(benchmark::State &state)
{
    const Plane<Cell> src = noisyScene<Cell>(state);
    for (auto _ : state) {
        const std::optional<NoiseCurve> curve = measureNoiseCurve(src);
        if (!curve)
            state.SkipWithError("no curve");
        benchmark::DoNotOptimize(curve);
    }
    state.SetItemsProcessed(state.iterations() * src.cellCount());
}

// The transform there and back over the whole plane, as a run on the transformed planes needs.
template<typename Cell>
void BM_StabiliseAndBack(benchmark::State &state)
{
    Plane<Cell> src = noisyScene<Cell>(state);
    const StabilisingTransform transform(*measureNoiseCurve(src));
    for (auto _ : state) {
        transform.forward(src);
        transform.inverse(src);
        benchmark::DoNotOptimize(src.data());
    }
    state.SetItemsProcessed(state.iterations() * src.cellCount());
}

BENCHMARK(BM_MeasureNoiseCurve<Vec3>)->Args({6000, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MeasureNoiseCurve<float>)->Args({6000, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StabiliseAndBack<Vec3>)->Args({6000, 4000})->Unit(benchmark::kMillisecond);

} // namespace
