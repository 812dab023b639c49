// Two threads store and probe the same slots at once. Every stored field is a function of the
// key, so a hit whose fields belong to another position (a torn slot read as a hit) is caught.
// Meant to run under the thread sanitizer as well: the racy words must be atomic accesses.
#include "core/search/transposition_table.h"

#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace orvane::tt {
namespace {

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The fields a key's entry must carry.
Move move_of(std::uint64_t key) { return static_cast<Move>(mix(key) | 1); }
int score_of(std::uint64_t key) { return static_cast<int>(mix(key ^ 1) % 64001) - 32000; }
int eval_of(std::uint64_t key) { return static_cast<int>(mix(key ^ 2) % 60001) - 30000; }
int depth_of(std::uint64_t key) { return static_cast<int>(mix(key ^ 3) % 40); }

struct Counts {
    std::uint64_t hits = 0;
    std::uint64_t wrong = 0;
    std::uint64_t stores = 0;
};

// Keys crowd into few slots so that the two threads keep writing the same slots.
std::vector<std::uint64_t> crowded_keys(const TranspositionTable& table) {
    std::vector<std::uint64_t> keys;
    std::uint64_t state = 12345;
    for (std::uint64_t slot = 0; slot < 4; ++slot) {
        const std::uint64_t base = slot * (~0ull / table.slot_count()) + 1;
        for (int j = 0; j < 16; ++j) {
            state = mix(state);
            keys.push_back(base + (state >> 52));  // same slot, another position
        }
    }
    for (int j = 0; j < 64; ++j) keys.push_back(mix(state + j));  // spread out
    return keys;
}

void hammer(TranspositionTable& table, const std::vector<std::uint64_t>& keys, int thread,
            int operations, std::latch& start, Counts& counts) {
    std::uint64_t state = mix(thread + 1);
    start.arrive_and_wait();
    for (int i = 0; i < operations; ++i) {
        state = mix(state);
        const std::uint64_t key = keys[state % keys.size()];
        const auto bound = static_cast<std::uint8_t>((state >> 20) & 3);
        const bool pv = (state >> 22) & 1;
        const Move move = (state >> 23) % 5 == 0 ? NULL_MOVE : move_of(key);
        switch ((state >> 32) % 8) {
        case 0:
        case 1:
            table.store(key, move, score_of(key), eval_of(key), depth_of(key), bound, pv);
            ++counts.stores;
            break;
        case 2:
            table.store_qsearch(key, move, score_of(key), eval_of(key), bound, pv);
            ++counts.stores;
            break;
        case 3:
            table.store_probcut(key, move_of(key), score_of(key), eval_of(key), depth_of(key), pv);
            ++counts.stores;
            break;
        case 4:
            if (thread == 0 && (state >> 40) % 1024 == 0) table.new_generation();
            if ((state >> 50) % 64 == 0) (void)table.hashfull();
            table.prefetch(key);
            break;
        default:
            if (const auto entry = table.probe(key)) {
                ++counts.hits;
                const bool right = (entry->move == NULL_MOVE || entry->move == move_of(key))
                                   && entry->score == score_of(key)
                                   && entry->eval == eval_of(key);
                counts.wrong += !right;
            }
        }
    }
}

TEST(Stress, TwoThreadsNeverReadAnotherPositionsEntry) {
    auto result = TranspositionTable::try_new(1, 1, std::nullopt);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<TranspositionTable>>(result));
    TranspositionTable& table = *std::get<0>(result);
    const auto keys = crowded_keys(table);
    constexpr int OPERATIONS = 1'000'000;

    Counts counts[2];
    std::latch start(2);
    {
        std::jthread a(hammer, std::ref(table), std::cref(keys), 0, OPERATIONS, std::ref(start),
                       std::ref(counts[0]));
        std::jthread b(hammer, std::ref(table), std::cref(keys), 1, OPERATIONS, std::ref(start),
                       std::ref(counts[1]));
    }
    for (const Counts& c : counts) {
        EXPECT_GT(c.stores, OPERATIONS / 4u);
        EXPECT_GT(c.hits, OPERATIONS / 20u);
        EXPECT_EQ(c.wrong, 0u);
    }

    // Afterwards every slot still decodes to its own position's fields.
    std::uint64_t wrong = 0;
    for (std::uint64_t key : keys)
        if (const auto entry = table.probe(key))
            wrong += entry->score != score_of(key) || entry->eval != eval_of(key);
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
}  // namespace orvane::tt
