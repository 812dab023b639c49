// Searches guided by a router: whatever the policy settings, forced mates are found with the
// same distance as without a policy, and every reported line is legal.
#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "core/router/router_policy.h"
#include "core/search/searcher.h"
#include "support/position_helpers.h"

using namespace orvane;

namespace {

struct MateCase {
    std::string_view fen;
    int moves;  // mate in this many moves
};
constexpr MateCase MATES[] = {
    {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 1},
    {"r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4", 1},
    {"6k1/5ppp/8/8/8/8/1q3PPP/1R4K1 b - - 0 1", 1},
    {"7k/8/8/8/8/8/R7/1R5K w - - 0 1", 2},
    {"r1bq2rk/pp3pbp/2p1p1pQ/7P/3P4/2PB1N2/PP3PPR/2KR4 w - - 0 1", 2},
};

std::unique_ptr<MovePolicy> make_policy(int kind, const router_policy::RouterSettings& settings) {
    static const auto plain = std::make_shared<const router::RouterNet>(router::RouterNet::new_v4(64, 16, 7));
    static const auto moe =
        std::make_shared<const router_moe::RouterMoeNet>(router_moe::RouterMoeNet::random(8, 1, 8, 7));
    if (kind == 0) return std::make_unique<router_policy::RouterPolicy>(plain, settings);
    return std::make_unique<router_policy::RouterMoePolicy>(moe, settings);
}

}  // namespace

TEST(RouterSearch, FindsTheSameMatesInEveryMode) {
    for (int kind = 0; kind < 2; ++kind) {
        for (int variant = 0; variant < 8; ++variant) {
            router_policy::RouterSettings settings;
            settings.delta = (variant & 1) == 0;
            settings.order = (variant & 2) != 0;
            settings.order_bonus = (variant & 4) ? 500 : 0;
            settings.min_depth = 1;
            settings.plies = 4;
            for (const MateCase& c : MATES) {
                auto table = tt::TranspositionTable::new_table(2);
                Searcher<PstEval> s(PstEval{}, table, std::make_shared<std::atomic<bool>>(false));
                s.set_policy(make_policy(kind, settings));
                Position pos = from_fen(c.fen);
                SearchLimits limits;
                limits.depth = 2 * c.moves + 3;
                bool legal_lines = true;
                const SearchResult r = s.search(pos, limits, [&](const IterationInfo& info) {
                    Position line = pos;
                    for (Move m : info.pv) {
                        if (!movegen::is_legal_move(line, m)) legal_lines = false;
                        else line.make_move(m);
                    }
                });
                EXPECT_EQ(r.score, MATE - (2 * c.moves - 1))
                    << c.fen << " router " << kind << " variant " << variant;
                EXPECT_TRUE(legal_lines) << c.fen;
            }
        }
    }
}
