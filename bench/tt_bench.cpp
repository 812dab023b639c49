// Transposition-table throughput: one probe or one store per iteration on random keys, on a
// table that fits the caches poorly (16 MB) and one that does not fit at all (256 MB).
// Time per iteration is the cost of one operation, mostly the memory access of its slot.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "core/search/transposition_table.h"

namespace {

using orvane::tt::TranspositionTable;

constexpr std::size_t KEY_COUNT = 1 << 20;

std::vector<std::uint64_t> random_keys() {
    std::vector<std::uint64_t> keys(KEY_COUNT);
    std::uint64_t x = 0x2545F4914F6CDD1Dull;
    for (auto& key : keys) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        key = x;
    }
    return keys;
}

std::shared_ptr<TranspositionTable> filled_table(std::size_t mb,
                                                 const std::vector<std::uint64_t>& keys) {
    auto table = TranspositionTable::new_table(mb);
    for (std::uint64_t key : keys)
        table->store(key, static_cast<orvane::Move>(key), 10, 20, 5, orvane::tt::BOUND_EXACT,
                     false);
    return table;
}

void BM_Probe(benchmark::State& state) {
    const auto keys = random_keys();
    const auto table = filled_table(static_cast<std::size_t>(state.range(0)), keys);
    std::size_t i = 0;
    int hits = 0;
    for (auto _ : state) {
        hits += table->probe(keys[i]).has_value();
        i = (i + 1) & (KEY_COUNT - 1);
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(state.iterations());
}

void BM_ProbePrefetched(benchmark::State& state) {
    const auto keys = random_keys();
    const auto table = filled_table(static_cast<std::size_t>(state.range(0)), keys);
    constexpr std::size_t AHEAD = 8;  // a search prefetches after a make, a few hundred ns early
    std::size_t i = 0;
    int hits = 0;
    for (auto _ : state) {
        table->prefetch(keys[(i + AHEAD) & (KEY_COUNT - 1)]);
        hits += table->probe(keys[i]).has_value();
        i = (i + 1) & (KEY_COUNT - 1);
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(state.iterations());
}

void BM_Store(benchmark::State& state) {
    const auto keys = random_keys();
    const auto table = TranspositionTable::new_table(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        const std::uint64_t key = keys[i];
        table->store(key, static_cast<orvane::Move>(key), 10, 20, static_cast<int>(i & 15),
                     orvane::tt::BOUND_LOWER, false);
        i = (i + 1) & (KEY_COUNT - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Probe)->Arg(16)->Arg(256);
BENCHMARK(BM_ProbePrefetched)->Arg(16)->Arg(256);
BENCHMARK(BM_Store)->Arg(16)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
