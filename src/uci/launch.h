// Everything between "go" and "bestmove": the search-limits record, the search thread and
// its output (info lines, the goal-move summary, bestmove).
#pragma once

#include <string>
#include <vector>

#include "core/search/searcher.h"
#include "uci/engine.h"

namespace orvane::uci {

struct SearchJob {
    std::optional<Pool> pool;
    SearchLimits limits;
    Position position;
    bool goal_moves = false;
    std::shared_ptr<std::atomic<bool>> stop;
    bool infinite = false;
    MoveNotation notation;  // of the root: how castles are written (UCI_Chess960)
    // Set for a pondering search: the bestmove waits until it falls (ponderhit) or "stop".
    std::shared_ptr<std::atomic<bool>> pondering;
};

Pool take_pool(SearchJob& job);

// The body of the search thread.
void run_search_job(SearchJob& job);

// One "info" line for one reported search line.
std::string format_info(const IterationInfo& info, const MoveNotation& notation = {});

// The score as UCI prints it: "cp N" or "mate N".
std::string format_score(int score);

struct GoalLine {
    std::int32_t score;
    std::uint32_t win, draw, loss;
    Move move;
};
std::vector<std::string> format_goals(const std::vector<GoalLine>& lines,
                                      const MoveNotation& notation = {});

}  // namespace orvane::uci
