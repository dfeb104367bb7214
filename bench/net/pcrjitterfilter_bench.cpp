// Cost of one PCR through the jitter filter, as the engine thread pays it per PCR packet.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "net/linux_pf_packet/pcrjitterfilter.h"

namespace {

constexpr unsigned long long CADENCE = 2000000;  // 40 ms in ticks

// Arrivals with +-10 ms of jitter, prepared outside the timed loop.
std::vector<unsigned long long> jitteredArrivals(size_t n) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<long long> jitter(-500000, 500000);
    std::vector<unsigned long long> a(n);
    for (size_t k = 0; k < n; ++k)
        a[k] = 1000000000000ull + k * CADENCE + static_cast<unsigned long long>(jitter(random));
    return a;
}

void BM_CalculateSkewSliding(benchmark::State& state) {
    const size_t n = 1 << 16;
    const auto arrivals = jitteredArrivals(n);
    PcrJitterFilter f;
    f.init(256, 0);
    f.reset(0);
    size_t k = 0;
    // Past filling, so that the timed calls slide the window.
    for (; k < 600; ++k)
        f.calculateSkew(k * CADENCE, arrivals[k]);
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.calculateSkew(k * CADENCE, arrivals[k % n] + (k / n) * n * CADENCE));
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CalculateSkewSliding);

// Worst case of the sliding window: every sample evicts the minimum and forces a rescan.
void BM_CalculateSkewRescan(benchmark::State& state) {
    PcrJitterFilter f;
    f.init(256, 0);
    f.reset(0);
    unsigned long long k = 0;
    // Lateness rising by one tick per sample: the oldest sample is always the minimum.
    auto arrival = [](unsigned long long i) { return 1000000000000ull + i * CADENCE + (i % 1000000); };
    for (; k < 600; ++k)
        f.calculateSkew(k * CADENCE, arrival(k));
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.calculateSkew(k * CADENCE, arrival(k)));
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CalculateSkewRescan);

}  // namespace

BENCHMARK_MAIN();
