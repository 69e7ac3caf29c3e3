// The benchmark families; each registers its benchmarks with Google Benchmark.
#ifndef VELMORA_BENCH_REGISTRY_H
#define VELMORA_BENCH_REGISTRY_H

namespace velmora_bench {

void register_pairwise();
void register_index();

}  // namespace velmora_bench

#endif
