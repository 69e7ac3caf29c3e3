#include <benchmark/benchmark.h>

#include "bench_registry.h"

int main(int argc, char **argv) {
    velmora_bench::register_pairwise();
    velmora_bench::register_index();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
