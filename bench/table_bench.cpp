// The cost of building the sample table, paid by every run.
#include "core/sample_tables.h"

#include <benchmark/benchmark.h>

static void BM_NormalTableBuild(benchmark::State &state)
{
    unsigned seed = 1;
    for (auto _ : state) {
        NormalTable table(seed++);
        benchmark::DoNotOptimize(table.values());
    }
}
BENCHMARK(BM_NormalTableBuild)->Unit(benchmark::kMillisecond);
