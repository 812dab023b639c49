// The parallel-search building blocks on their own: the SMPMode words, the busy-move table
// (with colliding pairs and with several threads at once), the vote among the threads'
// results, and the split-point pool's hand-out rules with real waiting threads.
#include "core/parallel/thread_pool.h"

#include <chrono>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/parallel/smp_test_support.h"

namespace orvane::smp {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// SMPMode words.

TEST(SmpMode, ParsesTheModeWords) {
    struct Case {
        const char* text;
        std::optional<SmpMode> mode;
    };
    const Case cases[] = {
        {"lazy", SmpMode::Lazy},
        {"Lazy", SmpMode::Lazy},
        {"LazySMP", SmpMode::Lazy},
        {"lazysmp", SmpMode::Lazy},
        {"  LAZYsmp\t", SmpMode::Lazy},
        {"ybwc", SmpMode::YBWC},
        {" YBWC ", SmpMode::YBWC},
        {"yBwC\n", SmpMode::YBWC},
        {"abdada", SmpMode::ABDADA},
        {"\tABDADA", SmpMode::ABDADA},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"lazy smp", std::nullopt},
        {"lazy-smp", std::nullopt},
        {"yb wc", std::nullopt},
        {"ybwc2", std::nullopt},
        {"smp", std::nullopt},
        {"0", std::nullopt},
        {"ABDADA true", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_smp_mode(c.text), c.mode) << '"' << c.text << '"';
}

TEST(SmpMode, NamesParseBackToTheirMode) {
    for (SmpMode mode : {SmpMode::Lazy, SmpMode::YBWC, SmpMode::ABDADA})
        EXPECT_EQ(parse_smp_mode(smp_mode_name(mode)), mode);
    EXPECT_EQ(smp_mode_name(SmpMode::Lazy), "Lazy");
    EXPECT_EQ(smp_mode_name(SmpMode::YBWC), "YBWC");
    EXPECT_EQ(smp_mode_name(SmpMode::ABDADA), "ABDADA");
}

// ---------------------------------------------------------------------------------------------
// Busy moves.

constexpr std::uint64_t GOLDEN = 0x9E3779B97F4A7C15ULL;

TEST(BusyMoves, TagAndIndexValues) {
    struct Case {
        std::uint64_t key;
        Move move;
        std::uint64_t tag;
    };
    const Case cases[] = {
        {0, NULL_MOVE, GOLDEN},
        {GOLDEN, NULL_MOVE, 0},
        {0, 1, GOLDEN * 2},
        // The move is zero-extended: 0xFFFF + 1 = 0x10000, not 0.
        {0, 0xFFFF, GOLDEN << 16},
        {0xFFFFFFFFFFFFFFFFULL, 0xFFFF, ~(GOLDEN << 16)},
        {0x0123456789ABCDEFULL, 0x1234, 0x0123456789ABCDEFULL ^ (0x1235 * GOLDEN)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BusyMoves::tag(c.key, c.move), c.tag) << c.key << " " << c.move;
        EXPECT_EQ(BusyMoves::index(c.tag), c.tag & 0x7FFF);
        EXPECT_LT(BusyMoves::index(c.tag), BusyMoves::SIZE);
    }
    EXPECT_EQ(BusyMoves::SIZE, 32'768u);
}

TEST(BusyMoves, MarkAndUnmarkOnePair) {
    auto busy = std::make_unique<BusyMoves>();
    const std::uint64_t key = 0x5555AAAA12345678ULL;
    const Move m = make_move(12, 28, 0);
    EXPECT_FALSE(busy->is_busy(key, m));
    busy->mark(key, m);
    EXPECT_TRUE(busy->is_busy(key, m));
    EXPECT_FALSE(busy->is_busy(key, make_move(11, 27, 0)));  // another move of the position
    EXPECT_FALSE(busy->is_busy(key ^ 1, m));                   // the move in another position
    busy->mark(key, m);                                        // marking twice is harmless
    busy->unmark(key, m);
    EXPECT_FALSE(busy->is_busy(key, m));
    busy->unmark(key, m);  // unmarking a free pair changes nothing
    EXPECT_FALSE(busy->is_busy(key, m));
}

TEST(BusyMoves, PairsSharingASlot) {
    auto busy = std::make_unique<BusyMoves>();
    const Move m = make_move(6, 21, 0);
    const std::uint64_t key_a = 0x0F0F0F0F00001234ULL;
    const std::uint64_t key_b = key_a ^ 0x10000ULL;  // same low bits: same slot, another tag
    ASSERT_EQ(BusyMoves::index(BusyMoves::tag(key_a, m)), BusyMoves::index(BusyMoves::tag(key_b, m)));
    ASSERT_NE(BusyMoves::tag(key_a, m), BusyMoves::tag(key_b, m));

    busy->mark(key_a, m);
    EXPECT_TRUE(busy->is_busy(key_a, m));
    EXPECT_FALSE(busy->is_busy(key_b, m));  // the slot holds the other pair's tag

    // The second pair takes the slot over; the first one is no longer seen as busy.
    busy->mark(key_b, m);
    EXPECT_FALSE(busy->is_busy(key_a, m));
    EXPECT_TRUE(busy->is_busy(key_b, m));

    // Unmarking the first pair leaves the slot taken over by the second one alone.
    busy->unmark(key_a, m);
    EXPECT_TRUE(busy->is_busy(key_b, m));
    busy->unmark(key_b, m);
    EXPECT_FALSE(busy->is_busy(key_b, m));
    EXPECT_FALSE(busy->is_busy(key_a, m));
}

TEST(BusyMoves, EqualTagsOnlyMakeAMoveLookBusy) {
    // Two different pairs with the very same tag: marking one makes the other look busy. In
    // the move loop that can only defer a move, never lose it.
    auto busy = std::make_unique<BusyMoves>();
    const Move m1 = make_move(1, 18, 0), m2 = make_move(57, 42, 0);
    const std::uint64_t key1 = 0x1122334455667788ULL;
    const std::uint64_t key2 = key1 ^ BusyMoves::tag(0, m1) ^ BusyMoves::tag(0, m2);
    ASSERT_EQ(BusyMoves::tag(key1, m1), BusyMoves::tag(key2, m2));
    busy->mark(key1, m1);
    EXPECT_TRUE(busy->is_busy(key2, m2));
    busy->unmark(key2, m2);
    EXPECT_FALSE(busy->is_busy(key1, m1));
}

TEST(BusyMoves, NoMarkOutlivesItsSearchUnderContention) {
    // Several threads mark and unmark pairs that crowd into a few slots, as searchers do when
    // they reach the same nodes. Whatever the interleaving, once every thread has unmarked
    // its pairs all slots are free again.
    auto busy = std::make_unique<BusyMoves>();
    constexpr int THREADS = 4, ROUNDS = 20'000;
    std::vector<std::uint64_t> keys;
    for (std::uint64_t i = 0; i < 8; ++i) keys.push_back((i << 20) | 0x77);  // few slots
    std::latch start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::uint64_t state = 0x9E3779B9u * (t + 1);
            start.arrive_and_wait();
            for (int i = 0; i < ROUNDS; ++i) {
                state = state * 6364136223846793005ULL + 1442695040888963407ULL;
                const std::uint64_t key = keys[(state >> 33) % keys.size()];
                const Move m = static_cast<Move>((state >> 45) % 3);
                (void)busy->is_busy(key, m);
                busy->mark(key, m);
                (void)busy->is_busy(key ^ 0x8000, m);
                busy->unmark(key, m);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (std::uint64_t key : keys)
        for (Move m = 0; m < 3; ++m) EXPECT_FALSE(busy->is_busy(key, m)) << key << " " << m;
}

// ---------------------------------------------------------------------------------------------
// The vote.

const Move A = make_move(12, 28, 0);  // e2e4
const Move B = make_move(11, 27, 0);  // d2d4
const Move C = make_move(6, 21, 0);   // g1f3
const Move PONDER_A = make_move(52, 36, 0);
const Move PONDER_B = make_move(51, 35, 0);

SearchResult result(int score, int depth, Move best, Move ponder = NULL_MOVE, std::uint64_t nodes = 0) {
    SearchResult r;
    r.score = score;
    r.depth = depth;
    r.best = best;
    r.ponder = ponder;
    r.nodes = nodes;
    return r;
}

bool same(const SearchResult& a, const SearchResult& b) {
    return a.score == b.score && a.depth == b.depth && a.best == b.best && a.ponder == b.ponder
           && a.nodes == b.nodes;
}

TEST(PickBestThread, VoteCases) {
    struct Case {
        const char* name;
        SearchResult main;
        std::vector<SearchResult> helpers;
        int winner;  // -1 = main, else the helper's index
    };
    const std::vector<Case> cases = {
        {"main alone", result(15, 9, A, PONDER_A), {}, -1},
        {"helpers without a move or a completed depth never vote",
         result(-200, 3, A),
         {result(500, 0, B), result(500, 20, NULL_MOVE), result(31950, 0, C)},
         -1},
        {"a helper's higher mate wins with a different move",
         result(31900, 10, A, PONDER_A),
         {result(31950, 8, B, PONDER_B, 77)},
         0},
        {"the main thread's higher mate wins over a deeper helper",
         result(31990, 5, A),
         {result(31900, 12, B), result(400, 30, B)},
         -1},
        {"equal mates: the later candidate wins",
         result(31900, 10, A),
         {result(31990, 4, B), result(31990, 6, C)},
         1},
        {"a mate bound of 31872 counts as a mate",
         result(31871, 20, A),
         {result(31872, 2, B)},
         0},
        {"a mate by a helper without a completed depth is ignored",
         result(20, 10, A),
         {result(31990, 0, B)},
         -1},
        {"two agreeing shallower threads outvote one deeper thread",
         // votes: B = 14 * 15 = 210; A = 11 * 10 + 12 * 10 = 230 (lowest score 30)
         result(35, 14, B, PONDER_B),
         {result(30, 11, A), result(30, 12, A, PONDER_A)},
         1},
        {"the main thread and two helpers agreeing outvote a deeper helper",
         // votes: A = 3 * 10 * 10 = 300; C = 14 * 20 = 280
         result(30, 10, A),
         {result(30, 10, A), result(30, 10, A), result(40, 14, C)},
         -1},
        {"equal votes: the deeper candidate wins",
         // votes: A = 8 * 15 = 120; B = 12 * 10 = 120
         result(15, 8, A),
         {result(10, 12, B)},
         0},
        {"equal votes and equal depth: the first candidate stays",
         result(20, 10, A),
         {result(20, 10, B)},
         -1},
        {"equal votes and a shallower later candidate: the first stays",
         // votes: A = 12 * 10 = 120; B = 8 * 15 = 120
         result(10, 12, A),
         {result(15, 8, B)},
         -1},
        {"negative scores are measured from the lowest one",
         // lowest -300: A = 10 * 10 = 100, B = 9 * 110 = 990
         result(-300, 10, A),
         {result(-200, 9, B)},
         0},
        {"candidates with the same move share its votes; the deeper one is returned",
         // votes: A = 5 * 10 = 50; B = 6 * 60 + 9 * 60 = 900 for both of B's candidates
         result(0, 5, A),
         {result(50, 6, B), result(50, 9, B)},
         1},
    };
    for (const Case& c : cases) {
        const SearchResult got = pick_best_thread(c.main, c.helpers);
        const SearchResult& want = c.winner < 0 ? c.main : c.helpers[static_cast<std::size_t>(c.winner)];
        EXPECT_TRUE(same(got, want)) << c.name << ": got " << move_to_uci(got.best) << " score "
                                     << got.score << " depth " << got.depth;
    }
}

TEST(PickBestThread, VotesAreSummedWithoutOverflow) {
    // 400 agreeing helpers at depth 127 with scores 63,742 above the lowest: their sum is about
    // 3.2e9 votes, past what 32 bits hold.
    const SearchResult main = result(-31871, 127, A);
    std::vector<SearchResult> helpers(400, result(31871, 127, B));
    helpers[7].ponder = PONDER_B;  // same votes and depth as the first helper: not chosen
    const SearchResult got = pick_best_thread(main, helpers);
    EXPECT_TRUE(same(got, helpers[0])) << move_to_uci(got.best) << " " << got.score;
}

// ---------------------------------------------------------------------------------------------
// The split-point pool.

std::shared_ptr<YbwcSplit> split_with(std::size_t moves) {
    auto s = std::make_shared<YbwcSplit>();
    for (std::size_t i = 0; i < moves; ++i)
        s->moves.push_back({static_cast<Move>(make_move(8 + static_cast<int>(i), 16 + static_cast<int>(i), 0)),
                            static_cast<std::int32_t>(100 - i)});
    return s;
}

// Waits (yielding) until the condition holds; the test's time limit guards against a hang.
template <class F>
void wait_until(F condition) {
    while (!condition()) std::this_thread::yield();
}

TEST(YbwcPool, NoWorkWhenInactiveAndEmpty) {
    YbwcPool pool;
    EXPECT_EQ(pool.wait_for_work(), nullptr);
    EXPECT_FALSE(pool.has_idle());
}

TEST(YbwcPool, HandsOutTheNewestSplitWithMovesLeft) {
    YbwcPool pool;
    auto s1 = split_with(3), s2 = split_with(2), s3 = split_with(4);
    pool.push_split(s1);
    pool.push_split(s2);
    pool.push_split(s3);

    EXPECT_EQ(pool.wait_for_work(), s3);
    EXPECT_EQ(s3->helpers.load(), 1u);
    EXPECT_FALSE(pool.has_idle());

    s3->stop.store(true);  // failed high: no more moves from it
    EXPECT_EQ(pool.wait_for_work(), s2);
    s2->next.store(2);  // every move handed out
    EXPECT_EQ(pool.wait_for_work(), s1);
    EXPECT_EQ(s1->helpers.load(), 1u);
    EXPECT_EQ(pool.wait_for_work(), s1);  // a second helper on the same split point
    EXPECT_EQ(s1->helpers.load(), 2u);

    s1->next.store(3);
    EXPECT_EQ(pool.wait_for_work(), nullptr);  // nothing left and no search active

    pool.release(*s1);
    pool.release(*s1);
    pool.release(*s2);
    pool.release(*s3);
    EXPECT_EQ(s1->helpers.load(), 0u);
    EXPECT_EQ(s3->helpers.load(), 0u);
}

TEST(YbwcPool, RemoveKeepsTheOrderAndDropsTheReference) {
    YbwcPool pool;
    auto s1 = split_with(1), s2 = split_with(1), s3 = split_with(1);
    for (const auto& s : {s1, s2, s3}) pool.push_split(s);
    EXPECT_EQ(s2.use_count(), 2);
    pool.remove_split(s2);
    EXPECT_EQ(s2.use_count(), 1);
    pool.remove_split(s2);  // not in the list any more: ignored
    pool.remove_split(split_with(1));

    EXPECT_EQ(pool.wait_for_work(), s3);
    s3->next.store(1);
    EXPECT_EQ(pool.wait_for_work(), s1);
    s1->next.store(1);
    EXPECT_EQ(pool.wait_for_work(), nullptr);
    pool.remove_split(s1);
    pool.remove_split(s3);
    EXPECT_EQ(s1.use_count(), 1);
    EXPECT_EQ(s3.use_count(), 1);
}

TEST(YbwcPool, AWaitingHelperGetsTheNextSplitPoint) {
    YbwcPool pool;
    pool.set_active(true);
    std::shared_ptr<YbwcSplit> got;
    std::thread helper([&] { got = pool.wait_for_work(); });
    wait_until([&] { return pool.has_idle(); });

    auto s = split_with(5);
    pool.push_split(s);
    helper.join();
    EXPECT_EQ(got, s);
    EXPECT_EQ(s->helpers.load(), 1u);
    EXPECT_FALSE(pool.has_idle());

    // The creator waits briefly while a helper works; the helper's release ends the wait.
    std::thread leaver([&] {
        s->next.store(5);
        pool.release(*s);
    });
    while (s->helpers.load() != 0) pool.wait_briefly(*s);
    leaver.join();
    pool.wait_briefly(*s);  // no helper left: returns at once
    pool.remove_split(s);
    EXPECT_EQ(s.use_count(), 2);  // the test's and `got`
    pool.set_active(false);
}

TEST(YbwcPool, EndOfTheSearchReleasesEveryWaitingHelper) {
    YbwcPool pool;
    pool.set_active(true);
    constexpr int HELPERS = 3;
    std::atomic<int> done{0};
    std::vector<std::thread> helpers;
    for (int i = 0; i < HELPERS; ++i)
        helpers.emplace_back([&] {
            EXPECT_EQ(pool.wait_for_work(), nullptr);
            done.fetch_add(1);
        });
    // An exhausted or stopped split point is no work either.
    auto exhausted = split_with(2);
    exhausted->next.store(2);
    auto stopped = split_with(2);
    stopped->stop.store(true);
    pool.push_split(exhausted);
    pool.push_split(stopped);
    EXPECT_EQ(done.load(), 0);
    pool.set_active(false);
    for (std::thread& t : helpers) t.join();
    EXPECT_EQ(done.load(), HELPERS);
    EXPECT_FALSE(pool.has_idle());
    pool.remove_split(exhausted);
    pool.remove_split(stopped);
}

TEST(YbwcPool, NoSplitPointIsRemovedWhileAHelperWorksOnIt) {
    // A creator publishes split points one after the other, as the main thread does; helpers
    // take moves through the pool. The creator removes a split point once no helper is on it:
    // by then every move handed out must be finished, or a helper's result would be lost. On
    // every other split point the creator leaves all the moves to the helpers, so the pool has
    // to hand each of those to a waiting helper. Every helper leaves when the search ends.
    testing::Watchdog watchdog("YbwcPool.NoSplitPointIsRemoved");
    YbwcPool pool;
    pool.set_active(true);
    constexpr int HELPERS = 3, SPLITS = 300, MOVES = 12;
    std::vector<std::atomic<int>> finished(SPLITS * MOVES);
    std::atomic<int> helper_moves{0};
    auto work = [&](YbwcSplit& s, bool helper) {
        for (;;) {
            const std::size_t i = s.next.fetch_add(1);
            if (i >= s.moves.size()) break;
            std::this_thread::yield();  // a move takes a while: room for the others to step in
            finished[s.ply * MOVES + static_cast<int>(i)].fetch_add(1);
            if (helper) helper_moves.fetch_add(1);
        }
    };
    std::vector<std::shared_ptr<YbwcSplit>> splits;
    for (int k = 0; k < SPLITS; ++k) {
        splits.push_back(split_with(MOVES));
        splits.back()->ply = k;  // the split point's number, for the helpers
    }

    std::vector<std::thread> helpers;
    for (int h = 0; h < HELPERS; ++h)
        helpers.emplace_back([&] {
            while (std::shared_ptr<YbwcSplit> s = pool.wait_for_work()) {
                work(*s, true);
                pool.release(*s);
            }
        });

    int lost = 0;
    for (int k = 0; k < SPLITS; ++k) {
        YbwcSplit& s = *splits[k];
        pool.push_split(splits[k]);
        if (k % 2 == 0) work(s, false);
        while (s.next.load() < MOVES || s.helpers.load() != 0) {
            pool.wait_briefly(s);
            std::this_thread::yield();
        }
        for (int i = 0; i < MOVES; ++i) lost += finished[k * MOVES + i].load() != 1;
        pool.remove_split(splits[k]);
    }
    pool.set_active(false);
    for (std::thread& t : helpers) t.join();

    EXPECT_EQ(lost, 0) << "moves unfinished when their split point was removed";
    EXPECT_GE(helper_moves.load(), SPLITS / 2 * MOVES);
    for (const auto& s : splits) EXPECT_EQ(s->helpers.load(), 0u);
}

}  // namespace
}  // namespace orvane::smp
