#include "core/tablebase/tablebase.h"

#include <algorithm>

namespace orvane::tablebase {

std::vector<Move> filter_root_moves(std::span<const RootMove> root_moves) {
    std::vector<Move> kept;
    if (root_moves.empty()) return kept;

    Wdl best = Wdl::LOSS;
    for (const RootMove& rm : root_moves) best = std::max(best, rm.wdl);

    // A win wants the quickest zeroing move, a loss the slowest; a draw takes any.
    std::uint32_t best_dtz = 0;
    bool first = true;
    for (const RootMove& rm : root_moves) {
        if (rm.wdl != best) continue;
        if (first)
            best_dtz = rm.dtz;
        else if (best > Wdl::DRAW)
            best_dtz = std::min(best_dtz, rm.dtz);
        else if (best < Wdl::DRAW)
            best_dtz = std::max(best_dtz, rm.dtz);
        first = false;
    }

    for (const RootMove& rm : root_moves)
        if (rm.wdl == best && (best == Wdl::DRAW || rm.dtz == best_dtz)) kept.push_back(rm.mv);
    return kept;
}

}  // namespace orvane::tablebase
