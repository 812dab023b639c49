#include "core/search/transposition_table.h"

#include <sys/resource.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace orvane::tt {
namespace {

std::shared_ptr<TranspositionTable> make_table(std::size_t mb, std::size_t threads = 1) {
    auto result = TranspositionTable::try_new(mb, threads, std::nullopt);
    if (auto* error = std::get_if<TableError>(&result)) ADD_FAILURE() << error->message;
    return std::get<std::shared_ptr<TranspositionTable>>(result);
}

std::string error_of(const TableResult& result) {
    const auto* error = std::get_if<TableError>(&result);
    return error ? error->message : "(no error)";
}

// In a 1 MiB table the key (i << 48) | low lands in slot i for any low 48 bits, which gives
// distinct positions that share a slot, and keys for the first slots that hashfull samples.
constexpr std::uint64_t key_in_slot(std::uint64_t i, std::uint64_t low) { return i << 48 | low; }

// --- Entry encoding ----------------------------------------------------------------------

TEST(Encoding, FieldsSitWhereTheLayoutSays) {
    const std::uint64_t word = pack(0x1234, -2, 5, 10, BOUND_LOWER, true, 7);
    EXPECT_EQ(word, 0x1234ull | 0xFFFEull << 16 | 0x0005ull << 32 | 18ull << 48 | 2ull << 56
                        | 1ull << 58 | 7ull << 59);
    // Only the low 5 bits of the generation are kept.
    EXPECT_EQ(unpack(pack(1, 0, 0, 0, BOUND_EXACT, false, 37)).generation, 5);
}

struct EncodingCase {
    const char* name;
    int score, eval, depth;
    int read_score, read_eval, read_depth;
};
constexpr EncodingCase ENCODING_CASES[] = {
    {"plain", 35, -17, 7, 35, -17, 7},
    {"no_eval_marker", -120, NO_EVAL, 1, -120, NO_EVAL, 1},
    {"mate_scores", 32000, 31871, 127, 32000, 31871, 127},
    {"mated_scores", -32000, -31871, 0, -32000, -31871, 0},
    {"depth_below_range", 0, 0, -9, 0, 0, -8},
    {"depth_lowest", 0, 0, -8, 0, 0, -8},
    {"depth_highest", 0, 0, 247, 0, 0, 247},
    {"depth_above_range", 0, 0, 300, 0, 0, 247},
    {"huge_depth", 0, 0, 2'000'000'000, 0, 0, 247},
    // Out-of-range values saturate: a wrapped score would change sign, and an eval of
    // -32768 would read as "no evaluation".
    {"score_saturates", 40'000, 0, 0, 32767, 0, 0},
    {"negative_score_saturates", -40'000, 0, 0, -32768, 0, 0},
    {"eval_saturates", 0, 40'000, 0, 0, 32767, 0},
    {"negative_eval_stays_an_eval", 0, -40'000, 0, 0, -32767, 0},
};

class Encoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(Encoding, RoundTrips) {
    const EncodingCase& c = GetParam();
    for (bool pv : {false, true}) {
        for (std::uint8_t bound = 0; bound < 4; ++bound) {
            const Entry e = unpack(pack(0xBEEF, c.score, c.eval, c.depth, bound, pv, 31));
            EXPECT_EQ(e.move, 0xBEEF);
            EXPECT_EQ(e.score, c.read_score);
            EXPECT_EQ(e.eval, c.read_eval);
            EXPECT_EQ(e.depth, c.read_depth);
            EXPECT_EQ(e.bound, bound);
            EXPECT_EQ(e.pv, pv);
            EXPECT_EQ(e.generation, 31);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Encoding, testing::ValuesIn(ENCODING_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Encoding, DepthByteIsClampedOnBothEnds) {
    EXPECT_EQ(pack(0, 0, 0, -9, 0, false, 0) >> 48 & 0xFF, 0u);
    EXPECT_EQ(pack(0, 0, 0, 300, 0, false, 0) >> 48 & 0xFF, 255u);

    auto table = make_table(1);
    table->store(0x1111, 1, 0, 0, -9, BOUND_EXACT, false);
    EXPECT_EQ(table->probe(0x1111)->depth, -8);
    table->store(0x2222, 1, 0, 0, 300, BOUND_EXACT, false);
    EXPECT_EQ(table->probe(0x2222)->depth, 247);
}

// --- Mate scores -------------------------------------------------------------------------

TEST(MateScores, RoundTripAtEveryPly) {
    for (int ply = 0; ply <= 128; ++ply) {
        const int scores[] = {0, 1, -1, 500, -500, 31742, -31742, 31743, -31743,
                              31871 - ply, -31871 + ply, 32000 - ply, -32000 + ply};
        for (int score : scores) {
            const int stored = score_to_tt(score, ply);
            EXPECT_EQ(score_from_tt(stored, ply), score) << "score " << score << " ply " << ply;
            EXPECT_LE(stored, 32767);
            EXPECT_GE(stored, -32768);
            // What goes into the table fits the 16-bit field unchanged.
            EXPECT_EQ(unpack(pack(0, stored, 0, 0, 0, false, 0)).score, stored);
        }
    }
}

TEST(MateScores, AreStoredRelativeToTheNode) {
    // Mate in 10 plies from the root found at ply 6: 4 plies from the node.
    EXPECT_EQ(score_to_tt(32000 - 10, 6), 32000 - 4);
    EXPECT_EQ(score_to_tt(-32000 + 10, 6), -32000 + 4);
    // The same node reached at ply 2 is mate in 6 from the root.
    EXPECT_EQ(score_from_tt(32000 - 4, 2), 32000 - 6);
    EXPECT_EQ(score_from_tt(-32000 + 4, 2), -32000 + 6);
    // Below the mate range nothing moves.
    EXPECT_EQ(score_to_tt(31742, 50), 31742);
    EXPECT_EQ(score_from_tt(-31742, 50), -31742);
}

// --- Store and replacement ---------------------------------------------------------------

struct ReplaceCase {
    const char* name;
    bool same_position;
    bool older_generation;
    int old_depth;
    std::uint8_t new_bound;
    int new_depth;
    Move new_move;
    bool replaced;
    Move read_move;  // move in the slot afterwards
};
constexpr Move OLD_MOVE = 0x0A1C;
constexpr Move NEW_MOVE = 0x0B2D;
constexpr ReplaceCase REPLACE_CASES[] = {
    {"shallow_bound_skipped", true, false, 10, BOUND_LOWER, 6, NEW_MOVE, false, OLD_MOVE},
    {"shallow_upper_skipped", true, false, 4, BOUND_UPPER, 0, NEW_MOVE, false, OLD_MOVE},
    {"within_margin_stored", true, false, 9, BOUND_LOWER, 6, NEW_MOVE, true, NEW_MOVE},
    {"exact_always_stored", true, false, 40, BOUND_EXACT, 0, NEW_MOVE, true, NEW_MOVE},
    {"older_generation_stored", true, true, 40, BOUND_UPPER, 0, NEW_MOVE, true, NEW_MOVE},
    {"deeper_stored", true, false, 5, BOUND_UPPER, 9, NEW_MOVE, true, NEW_MOVE},
    {"no_move_keeps_old_move", true, false, 5, BOUND_UPPER, 5, 0, true, OLD_MOVE},
    {"other_position_replaced", false, false, 60, BOUND_UPPER, 0, NEW_MOVE, true, NEW_MOVE},
    {"other_position_no_move", false, false, 60, BOUND_UPPER, 0, 0, true, 0},
};

class Replacement : public testing::TestWithParam<ReplaceCase> {};

TEST_P(Replacement, FollowsTheRule) {
    const ReplaceCase& c = GetParam();
    auto table = make_table(1);
    const std::uint64_t old_key = key_in_slot(77, 0x1234);
    const std::uint64_t new_key = c.same_position ? old_key : key_in_slot(77, 0x5678);
    ASSERT_EQ(table->index(old_key), table->index(new_key));

    table->store(old_key, OLD_MOVE, 111, 11, c.old_depth, BOUND_LOWER, false);
    if (c.older_generation) table->new_generation();
    table->store(new_key, c.new_move, 222, 22, c.new_depth, c.new_bound, true);

    const auto entry = table->probe(new_key);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->move, c.read_move);
    EXPECT_EQ(entry->score, c.replaced ? 222 : 111);
    EXPECT_EQ(entry->depth, c.replaced ? c.new_depth : c.old_depth);
    EXPECT_EQ(entry->pv, c.replaced);
    if (!c.same_position) {
        EXPECT_FALSE(table->probe(old_key));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Replacement, testing::ValuesIn(REPLACE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Store, WritesTheCurrentGeneration) {
    auto table = make_table(1);
    for (int i = 0; i < 40; ++i) table->new_generation();
    table->store(0x42, 1, 0, 0, 1, BOUND_EXACT, false);
    EXPECT_EQ(table->generation(), 40);
    EXPECT_EQ(table->probe(0x42)->generation, 40 & 31);
    for (int i = 0; i < 216; ++i) table->new_generation();
    EXPECT_EQ(table->generation(), 0);  // the byte wraps
}

// The quiescence rule: depth 0 under the common rule, keeping the pv flag of the position.
TEST(Store, QuiescenceResults) {
    auto table = make_table(1);
    const std::uint64_t key = 0x9999'0000'1234;

    table->store(key, OLD_MOVE, 50, 5, 4, BOUND_LOWER, true);
    table->store_qsearch(key, NEW_MOVE, 60, 6, BOUND_UPPER, false);
    EXPECT_EQ(table->probe(key)->score, 50) << "a depth-4 entry outlives a bound";
    table->store_qsearch(key, 0, 70, 7, BOUND_EXACT, false);
    auto entry = table->probe(key);
    EXPECT_EQ(entry->score, 70) << "an exact result is always stored";
    EXPECT_EQ(entry->depth, 0);
    EXPECT_EQ(entry->bound, BOUND_EXACT);
    EXPECT_EQ(entry->move, OLD_MOVE);
    EXPECT_TRUE(entry->pv);

    table->store(key, OLD_MOVE, 50, 5, 3, BOUND_LOWER, false);
    table->store_qsearch(key, NEW_MOVE, 80, NO_EVAL, BOUND_LOWER, false);
    entry = table->probe(key);
    EXPECT_EQ(entry->score, 80) << "a depth-3 entry does not";
    EXPECT_EQ(entry->eval, NO_EVAL);
    EXPECT_EQ(entry->move, NEW_MOVE);
    EXPECT_FALSE(entry->pv);

    table->store(key, OLD_MOVE, 50, 5, 20, BOUND_LOWER, false);
    table->new_generation();
    table->store_qsearch(key, NEW_MOVE, 90, 9, BOUND_UPPER, false);
    EXPECT_EQ(table->probe(key)->score, 90) << "nor does one of an older search";
}

TEST(Store, ProbCutResults) {
    auto table = make_table(1);
    const std::uint64_t key = 0x7777'0000'4321;

    table->store(key, OLD_MOVE, 50, 5, 9, BOUND_UPPER, false);
    table->store_probcut(key, NEW_MOVE, 300, 30, 8, true);
    EXPECT_EQ(table->probe(key)->score, 50) << "searched deeper than the node";

    table->store_probcut(key, NEW_MOVE, 300, 30, 9, true);
    const auto entry = table->probe(key);
    EXPECT_EQ(entry->score, 300) << "an equal depth is overwritten";
    EXPECT_EQ(entry->move, NEW_MOVE);
    EXPECT_EQ(entry->eval, 30);
    EXPECT_EQ(entry->depth, 6);
    EXPECT_EQ(entry->bound, BOUND_LOWER);
    EXPECT_TRUE(entry->pv);

    table->store(key, OLD_MOVE, 50, 5, 30, BOUND_EXACT, false);
    table->new_generation();
    table->store_probcut(key, NEW_MOVE, 400, 30, 3, false);
    EXPECT_EQ(table->probe(key)->score, 400) << "an older search's entry is overwritten";
    EXPECT_EQ(table->probe(key)->depth, 0);

    table->store(key_in_slot(table->index(key), 1), OLD_MOVE, 50, 5, 60, BOUND_EXACT, false);
    table->store_probcut(key, NEW_MOVE, 500, 30, 3, false);
    EXPECT_EQ(table->probe(key)->score, 500) << "so is another position";
}

TEST(Store, WriteIgnoresTheReplacementRule) {
    auto table = make_table(1);
    const std::uint64_t key = 0x5555'0000'0001;
    EXPECT_FALSE(table->probe(key));
    table->write(key, 0, 10, 0, 6, BOUND_UPPER, false);
    ASSERT_TRUE(table->probe(key));
    EXPECT_EQ(table->probe(key)->depth, 6);
    EXPECT_EQ(table->probe(key)->generation, table->generation());
    EXPECT_FALSE(table->probe(key ^ 1));
    // write ignores the replacement rule.
    table->write(key, 0, 20, 0, 0, BOUND_UPPER, false);
    EXPECT_EQ(table->probe(key)->score, 20);
    table->new_generation();
    EXPECT_NE(table->probe(key)->generation, table->generation());
}

// --- Probe -------------------------------------------------------------------------------

TEST(Probe, TornSlotReadsAsMiss) {
    auto table = make_table(1);
    const std::uint64_t a = key_in_slot(300, 0xAAAA);
    const std::uint64_t b = key_in_slot(300, 0xBBBB);
    table->store(a, 1, 10, 0, 5, BOUND_EXACT, false);
    const Slot slot_a = table->read_slot(300);
    table->store(b, 2, 20, 0, 5, BOUND_EXACT, false);
    const Slot slot_b = table->read_slot(300);
    ASSERT_TRUE(table->probe(b));

    // b's key word over a's data word, as when a store of b races one of a.
    table->write_slot(300, Slot{slot_b.key_word, slot_a.data_word});
    EXPECT_FALSE(table->probe(a));
    EXPECT_FALSE(table->probe(b));
    table->write_slot(300, Slot{slot_a.key_word, slot_b.data_word});
    EXPECT_FALSE(table->probe(a));
    EXPECT_FALSE(table->probe(b));
    // An empty data word is never a hit, whatever the key word.
    table->write_slot(300, Slot{a, 0});
    EXPECT_FALSE(table->probe(a));
    EXPECT_FALSE(table->probe(0));
}

TEST(Probe, IndexStaysInRangeForAnySize) {
    for (std::size_t mb : {1, 3, 5}) {
        auto table = make_table(mb);
        const std::size_t n = table->slot_count();
        EXPECT_EQ(table->index(0), 0u);
        EXPECT_EQ(table->index(~0ull), n - 1);
        EXPECT_EQ(table->index(1ull << 63), n / 2);
        for (std::uint64_t key = 1; key != 0; key <<= 1) EXPECT_LT(table->index(key * 0x9E37), n);
        table->store(~0ull, 3, 1, 2, 3, BOUND_EXACT, true);
        EXPECT_EQ(table->probe(~0ull)->move, 3);
    }
}

// --- Occupancy and clearing --------------------------------------------------------------

TEST(Hashfull, CountsOnlyTheCurrentGeneration) {
    auto table = make_table(1);
    EXPECT_EQ(table->hashfull(), 0);
    auto fill = [&](std::uint64_t first, std::uint64_t last) {
        for (std::uint64_t i = first; i < last; ++i)
            table->store(key_in_slot(i, 9), 1, 0, 0, 1, BOUND_UPPER, false);
    };
    fill(0, 500);
    fill(1000, 3000);  // slots beyond the first 1000 are not sampled
    EXPECT_EQ(table->hashfull(), 500);

    table->new_generation();
    EXPECT_EQ(table->hashfull(), 0);
    fill(400, 523);
    EXPECT_EQ(table->hashfull(), 123);

    table->clear();
    EXPECT_EQ(table->generation(), 0);
    EXPECT_EQ(table->hashfull(), 0);
    EXPECT_FALSE(table->probe(key_in_slot(10, 9)));
}

struct SplitCase {
    std::size_t mb, threads, parts;
};
constexpr SplitCase SPLIT_CASES[] = {
    {1, 8, 1}, {32, 8, 1}, {63, 8, 1}, {64, 8, 8}, {64, 1, 1},
    {64, 0, 1}, {64, 3, 3}, {1024, 2, 2}, {262'144, 64, 64},
};

TEST(Zeroing, SplitsLargeTablesOverTheThreads) {
    for (const SplitCase& c : SPLIT_CASES)
        EXPECT_EQ(zeroing_parts(c.mb * SLOTS_PER_MB, c.threads), c.parts)
            << c.mb << " MB, " << c.threads << " threads";
    EXPECT_EQ(zeroing_parts(PARALLEL_ZERO_SLOTS - 1, 8), 1u);
    EXPECT_EQ(zeroing_parts(PARALLEL_ZERO_SLOTS, 8), 8u);
}

// Odd thread counts leave a shorter last part; every slot must still be zeroed.
TEST(Zeroing, ClearEmptiesEverySlot) {
    auto table = make_table(64, 3);
    EXPECT_EQ(table->threads(), 3u);
    for (std::size_t threads : {3, 7, 1}) {
        table->set_threads(threads);
        const std::size_t n = table->slot_count();
        for (std::size_t i = 0; i < n; i += 4093) table->write_slot(i, Slot{i + 1, i + 2});
        table->write_slot(n - 1, Slot{1, 2});
        table->new_generation();
        table->clear();
        EXPECT_EQ(table->generation(), 0);
        std::size_t dirty = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Slot s = table->read_slot(i);
            dirty += s.key_word != 0 || s.data_word != 0;
        }
        EXPECT_EQ(dirty, 0u) << threads << " threads";
    }
    table->set_threads(0);
    EXPECT_EQ(table->threads(), 1u);
}

// --- Construction ------------------------------------------------------------------------

TEST(Construction, SizeIsClampedAndZeroed) {
    auto table = make_table(0, 0);
    EXPECT_EQ(table->slot_count(), 65'536u);
    EXPECT_EQ(table->size_mb(), 1u);
    EXPECT_EQ(table->threads(), 1u);
    EXPECT_EQ(table->generation(), 0);
    EXPECT_EQ(table->hashfull(), 0);

    auto real = TranspositionTable::try_new(0, 1);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<TranspositionTable>>(real))
        << error_of(real);
    EXPECT_EQ(std::get<0>(real)->slot_count(), 65'536u);
    EXPECT_EQ(TranspositionTable::new_table(2)->slot_count(), 2 * 65'536u);
}

struct MeminfoCase {
    const char* name;
    const char* text;
    std::optional<std::uint64_t> mb;
};
const MeminfoCase MEMINFO_CASES[] = {
    {"usual", "MemTotal:       24683772 kB\nMemFree:  1 kB\nMemAvailable:   24344212 kB\n",
     23773},
    {"first_line", "MemAvailable: 2048 kB", 2},
    {"plus_sign", "MemAvailable: +1048576 kB\n", 1024},
    {"no_space", "MemAvailable:1047552 kB\n", 1023},
    {"below_one_mb", "MemAvailable: 1023 kB\n", 0},
    {"missing", "MemTotal: 24683772 kB\nMemFree: 1 kB\n", std::nullopt},
    {"not_a_number", "MemAvailable: lots kB\n", std::nullopt},
    {"negative", "MemAvailable: -5 kB\n", std::nullopt},
    {"no_number", "MemAvailable:\n", std::nullopt},
    {"label_inside_line", "XMemAvailable: 99999 kB\n", std::nullopt},
    {"empty", "", std::nullopt},
};

TEST(Construction, ReadsAvailableMemory) {
    for (const MeminfoCase& c : MEMINFO_CASES) EXPECT_EQ(available_mb(c.text), c.mb) << c.name;
}

TEST(Construction, RefusesMoreThanTheFreeMemory) {
    const std::string_view meminfo = "MemAvailable:    1048576 kB\n";
    EXPECT_EQ(error_of(TranspositionTable::try_new(1025, 4, meminfo)),
              "Hash 1025 MB is more than the free memory (1024 MB)");
    // The size is clamped before the check.
    EXPECT_EQ(error_of(TranspositionTable::try_new(1'000'000, 4, meminfo)),
              "Hash 262144 MB is more than the free memory (1024 MB)");
    EXPECT_EQ(error_of(TranspositionTable::try_new(1, 1, "MemAvailable: 1000 kB\n")),
              "Hash 1 MB is more than the free memory (0 MB)");
    // Exactly the free memory, or an unreadable figure, passes.
    EXPECT_TRUE(std::holds_alternative<std::shared_ptr<TranspositionTable>>(
        TranspositionTable::try_new(4, 1, "MemAvailable: 4096 kB\n")));
    EXPECT_TRUE(std::holds_alternative<std::shared_ptr<TranspositionTable>>(
        TranspositionTable::try_new(4, 1, "MemAvailable: ? kB\n")));
}

// This machine has far less than 200,000 MB: the real request must come back as a message.
TEST(Construction, RealOversizedRequestFails) {
    const std::string message = error_of(TranspositionTable::try_new(200'000, 2));
    EXPECT_TRUE(message.starts_with("Hash 200000 MB is more than the free memory ("))
        << message;
    EXPECT_TRUE(message.ends_with(" MB)")) << message;
    EXPECT_THROW(TranspositionTable::new_table(200'000), FatalError);
}

// Virtual memory of this process in KiB, from /proc/self/status.
std::uint64_t virtual_kib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == "VmSize:" && status >> word) return std::stoull(word);
    return 0;
}

// A refused mapping is reported, not a crash. The address space of a child process is
// capped a little above what it uses, so the mapping of a 4 GiB table must fail there.
int refused_mapping_child() {
    const std::uint64_t limit = (virtual_kib() << 10) + (std::uint64_t{256} << 20);
    const rlimit cap{limit, limit};
    if (virtual_kib() == 0 || setrlimit(RLIMIT_AS, &cap) != 0) return 2;
    const std::string message = error_of(TranspositionTable::try_new(4096, 2, std::nullopt));
    return message == "could not get 4096 MB of memory for Hash" ? 0 : 1;
}

TEST(Construction, RefusedMemoryIsAnError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(refused_mapping_child()), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace orvane::tt
