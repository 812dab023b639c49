#include "core/search/move_policy.h"

#include <cstdlib>

#include "core/search/move_ordering.h"

namespace orvane {

bool DummyPolicy::score_moves(const Position& pos, const Move* moves, int count, std::int32_t* scores,
                              int, int) {
    for (int i = 0; i < count; ++i) {
        const Move m = moves[i];
        if (is_quiet(m)) {
            const int to = move_to(m);
            scores[i] = 14 - std::abs(2 * file_of(to) - 7) - std::abs(2 * rank_of(to) - 7);
        } else {
            scores[i] = ordering::mvv_lva(pos, m) / 16 + 1000;
        }
    }
    return true;
}

}  // namespace orvane
