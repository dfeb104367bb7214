// Cost of one packet descriptor round trip through the lock-free pool.
#include <benchmark/benchmark.h>

#include "tspacketpool.h"

static void BM_PoolAllocFree(benchmark::State& state) {
    TsPacketPool pool;
    pool.init(1000);
    for (auto _ : state) {
        TsPacket* p = pool.alloc();
        benchmark::DoNotOptimize(p);
        pool.free(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PoolAllocFree);

BENCHMARK_MAIN();
