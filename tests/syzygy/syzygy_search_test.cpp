// Searches with real tables attached: wins are converted, draws are never claimed as wins,
// and the root keeps only the moves that preserve the best result.
#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/search/searcher.h"
#include "support/position_helpers.h"
#include "syzygy/syzygy.h"

using namespace orvane;

namespace {

constexpr std::string_view TABLES = "../shared/syzygy";

std::shared_ptr<Syzygy> load_tables() {
    SyzygyLoad loaded = Syzygy::load(TABLES);
    if (auto* error = std::get_if<SyzygyError>(&loaded)) {
        ADD_FAILURE() << "the shared tables are missing: " << error->message;
        return nullptr;
    }
    return std::get<std::shared_ptr<Syzygy>>(loaded);
}

struct Outcome {
    SearchResult result;
    std::uint64_t tbhits = 0;
    std::vector<Move> pv;
};

Outcome search(std::string_view fen, const std::shared_ptr<Syzygy>& tables, int depth) {
    auto table = tt::TranspositionTable::new_table(16);
    Searcher<PstEval> s(PstEval{}, table, std::make_shared<std::atomic<bool>>(false));
    s.set_tablebase(tables);
    Position pos = from_fen(fen);
    SearchLimits limits;
    limits.depth = depth;
    Outcome out;
    out.result = s.search(pos, limits, [&](const IterationInfo& info) {
        out.tbhits = info.tbhits;
        out.pv.assign(info.pv.begin(), info.pv.end());
    });
    return out;
}

}  // namespace

TEST(SyzygySearch, RootKeepsTheFastestWin) {
    auto tables = load_tables();
    ASSERT_TRUE(tables);
    // KQvK: d1d7 zeroes fastest; KPvK: e6d6 and e6f6 keep the win.
    EXPECT_EQ(move_to_uci(search("8/8/8/4k3/8/8/8/3QK3 w - - 0 1", tables, 1).result.best), "d1d7");
    const std::string kp = move_to_uci(search("4k3/8/4K3/4P3/8/8/8/8 w - - 0 1", tables, 3).result.best);
    EXPECT_TRUE(kp == "e6d6" || kp == "e6f6") << kp;
    // The only winning move is an under-promotion.
    EXPECT_EQ(move_to_uci(search("7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", tables, 2).result.best), "d7d8n");
}

TEST(SyzygySearch, WonEndgameIsConvertedToMate) {
    auto tables = load_tables();
    ASSERT_TRUE(tables);
    const Outcome out = search("6k1/8/6K1/8/8/8/8/R7 w - - 0 1", tables, 6);
    EXPECT_EQ(move_to_uci(out.result.best), "a1a8");
    EXPECT_EQ(out.result.score, MATE - 1);
    EXPECT_GT(out.tbhits, 0u);

    // KQvK from a distance: every move keeps the win and the search finds the mate.
    const Outcome far = search("8/8/8/4k3/8/8/8/3QK3 w - - 0 1", tables, 22);
    EXPECT_GE(far.result.score, MATE_BOUND);
}

TEST(SyzygySearch, DrawsAreNeverClaimedAsWins) {
    auto tables = load_tables();
    ASSERT_TRUE(tables);
    for (std::string_view fen : {"k7/8/8/8/8/8/P7/K7 b - - 0 1", "8/8/8/4k3/8/8/8/2B1K3 w - - 0 1",
                                 "4k3/8/4P3/4K3/8/8/8/8 w - - 0 1"}) {
        const Outcome out = search(fen, tables, 12);
        EXPECT_LT(out.result.score, TB_WIN - MAX_PLY) << fen;
        EXPECT_GT(out.result.score, -(TB_WIN - MAX_PLY)) << fen;
    }
    // A win the fifty-move rule spoils is kept at the root but scored as no win.
    const Outcome cursed = search("8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 0 1", tables, 4);
    EXPECT_EQ(move_to_uci(cursed.result.best), "d2e3");
    EXPECT_LT(cursed.result.score, MATE_BOUND);
}

TEST(SyzygySearch, PositionsWithCastlingRightsAreNotProbed) {
    auto tables = load_tables();
    ASSERT_TRUE(tables);
    const Outcome out = search("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1", tables, 1);
    EXPECT_EQ(out.tbhits, 0u);
}
