#include "core/eval/nnue/nnue_eval.h"
#include "core/search/root_modes.h"

#include <algorithm>
#include <cmath>

#include "core/search/searcher.h"
#include "core/board/zobrist.h"

namespace orvane::voi {

namespace {
constexpr int MATE_FOUND = 31872;
constexpr double SCORE_SCALE = 400.0;
constexpr double DENSITY = 0.3989422804014327;
constexpr std::uint64_t GUMBEL_SALT = 0x517cc1b727220a95ULL;
}  // namespace

double win_probability(int score) {
    if (score >= MATE_FOUND) return 1.0;
    if (score < -TB_WIN) return 0.0;
    return 1.0 / (1.0 + std::exp(-score / SCORE_SCALE));
}

void RootArm::update(int new_depth, int new_score, std::vector<Move> new_line, std::uint64_t nodes) {
    const double q_new = win_probability(new_score);
    if (depth > 0) volatility = 0.6 * volatility + 0.4 * std::abs(q_new - q);
    depth = new_depth;
    score = new_score;
    q = q_new;
    last_nodes = std::max<std::uint64_t>(nodes, 64);
    total_nodes += nodes;
    line = std::move(new_line);
}

double upper_tail(double z) {
    const double x = z / std::sqrt(2.0);
    const double ax = std::abs(x);
    const double t = 1.0 / (1.0 + 0.3275911 * ax);
    const double poly =
        t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))));
    const double erfc_abs = poly * std::exp(-ax * ax);
    const double erfc = x >= 0 ? erfc_abs : 2.0 - erfc_abs;
    return erfc / 2.0;
}

std::optional<VoiChoice> select_voi_arm(const std::vector<RootArm>& arms, int max_depth) {
    if (arms.empty()) return std::nullopt;
    std::size_t b = 0;
    for (std::size_t i = 1; i < arms.size(); ++i)
        if (arms[i].score > arms[b].score
            || (arms[i].score == arms[b].score && arms[i].depth >= arms[b].depth))
            b = i;
    double second = 0.0;
    for (std::size_t i = 0; i < arms.size(); ++i)
        if (i != b) second = std::max(second, arms[i].q);
    const double gap = std::max(arms[b].q - second, 0.0);

    std::optional<VoiChoice> best;
    double best_ratio = 0.0;
    for (std::size_t i = 0; i < arms.size(); ++i) {
        const RootArm& a = arms[i];
        if (a.depth >= max_depth || std::abs(a.score) > TB_WIN) continue;
        const double v = i == b ? gap : std::max(arms[b].q - a.q, 0.0);
        const double sigma =
            std::clamp(0.16 / std::sqrt(std::max(a.depth, 1)) + 0.5 * a.volatility, 0.004, 0.25);
        const double z = v / sigma;
        const double ei =
            z > 8 ? 0.0 : std::max(DENSITY * std::exp(-z * z / 2) - z * upper_tail(z), 0.0);
        const double value = sigma * ei;
        const double cost = std::pow(std::max(1.8 * static_cast<double>(a.last_nodes), 128.0), 0.6);
        const double ratio = value / cost;
        if (!best || ratio > best_ratio) {
            best = VoiChoice{i, value};
            best_ratio = ratio;
        }
    }
    return best;
}

std::vector<double> gumbel_noise(std::uint64_t key, std::size_t count) {
    std::uint64_t state = key ^ GUMBEL_SALT;
    std::vector<double> g;
    g.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double u = (static_cast<double>(zobrist::splitmix64(state) >> 11) + 0.5) * 0x1p-53;
        g.push_back(-std::log(-std::log(u)));
    }
    return g;
}

}  // namespace orvane::voi

namespace orvane {

template <Evaluator E>
SearchResult Searcher<E>::run_root_mode(Position& root, const std::vector<Move>& moves, int max_depth,
                                        const InfoCallback& on_info) {
    using voi::RootArm;
    constexpr int MATE_FOUND = 31872;
    const int d0 = std::min(max_depth, 4);
    std::vector<RootArm> arms(moves.size());
    for (std::size_t i = 0; i < moves.size(); ++i) {
        arms[i].move = moves[i];
        arms[i].line = {moves[i]};
    }
    auto elapsed = [&] { return static_cast<double>(elapsed_ms()); };
    auto hard_stop = [&] {
        if (stop_->load(std::memory_order_relaxed)) return true;
        return limits_reached();
    };
    auto soft_exhausted = [&] { return soft_limit_ms_ && !pondering() && elapsed() >= static_cast<double>(*soft_limit_ms_); };
    auto search_arm = [&](RootArm& arm, int depth, bool aspiration) {
        std::optional<RootMoveResult> r = search_root_move(root, arm.move, depth, aspiration, arm.score);
        if (!r) return false;
        arm.update(depth, r->score, std::move(r->line), r->nodes);
        return true;
    };
    int last_reported_depth = 0;
    Move last_reported_move = NULL_MOVE;
    auto report = [&](const RootArm& arm) {
        if (arm.depth < 1) return;
        report_line(root, arm.line, arm.depth, arm.score, seldepth_, 1, on_info);
        last_reported_depth = arm.depth;
        last_reported_move = arm.move;
    };
    auto finish = [&](const RootArm& arm) {
        report(arm);
        SearchResult r;
        r.score = arm.score;
        r.depth = std::max(arm.depth, 1);
        r.best = arm.move;
        r.ponder = arm.line.size() > 1 ? arm.line[1] : NULL_MOVE;
        return r;
    };
    // Best by score, then depth; `later_wins` decides full ties.
    auto best_arm = [&](bool later_wins) {
        std::size_t b = 0;
        for (std::size_t i = 1; i < arms.size(); ++i) {
            const bool better = arms[i].score > arms[b].score
                                || (arms[i].score == arms[b].score && arms[i].depth > arms[b].depth)
                                || (later_wins && arms[i].score == arms[b].score
                                    && arms[i].depth == arms[b].depth);
            if (better) b = i;
        }
        return b;
    };

    if (search_mode_ == SearchMode::VOI) {
        for (RootArm& arm : arms)
            if (arm.depth == 0) search_arm(arm, 1, false);
        std::size_t best = best_arm(false);
        report(arms[best]);
        if (arms[best].score >= MATE_FOUND || soft_exhausted()) return finish(arms[best]);

        bool stop = false;
        for (RootArm& arm : arms) {
            if (arm.depth >= d0) continue;
            if (!search_arm(arm, d0, true)) {
                stop = true;
                break;
            }
            const RootArm& current = arms[best];
            if (arm.score > current.score || (arm.score == current.score && arm.depth > current.depth))
                best = static_cast<std::size_t>(&arm - arms.data());
            if (max_depth > 1 && hard_stop()) {
                stop = true;
                break;
            }
        }
        if (stop) return finish(arms[best]);
        report(arms[best]);
        if (arms[best].score >= MATE_FOUND || soft_exhausted()) return finish(arms[best]);

        for (;;) {
            std::optional<voi::VoiChoice> choice = voi::select_voi_arm(arms, max_depth);
            if (!choice) break;
            if (hard_stop() || (soft_node_limit_ && nodes_ >= *soft_node_limit_)) break;
            if (soft_limit_ms_ && !pondering()) {
                const double fraction = (choice->value >= 0.0015 || arms[best].depth < 8) ? 0.95 : 0.45;
                if (elapsed() >= fraction * static_cast<double>(*soft_limit_ms_)) break;
            }
            RootArm& arm = arms[choice->arm];
            if (!search_arm(arm, arm.depth + 1, true)) break;
            best = best_arm(true);
            if (arms[best].depth > last_reported_depth || arms[best].move != last_reported_move)
                report(arms[best]);
            if (arms[best].score >= MATE_FOUND) break;
        }
        return finish(arms[best]);
    }

    // Gumbel sequential halving.
    std::size_t best = 0;
    bool have_best = false;
    for (RootArm& arm : arms) {
        if (!search_arm(arm, d0, false)) break;
        const std::size_t i = static_cast<std::size_t>(&arm - arms.data());
        if (!have_best || arm.score > arms[best].score) best = i;
        have_best = true;
        if (hard_stop()) break;
    }
    if (!have_best || hard_stop()) return finish(arms[best]);
    report(arms[best]);
    if (max_depth < 5 || arms[best].score >= MATE_FOUND) return finish(arms[best]);

    const std::vector<double> noise = voi::gumbel_noise(root.key(), arms.size());
    std::vector<std::size_t> order(arms.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return arms[a].score / 200.0 + gumbel_temp_ * noise[a]
               > arms[b].score / 200.0 + gumbel_temp_ * noise[b];
    });
    int d = std::min(d0 + 2, max_depth);
    std::size_t m = std::min<std::size_t>(arms.size(), 16);
    for (;;) {
        if (abort_ && abort_->load()) break;
        if (soft_limit_ms_ && !pondering() && elapsed() >= 0.9 * static_cast<double>(*soft_limit_ms_)) break;
        bool stop = false;
        for (std::size_t k = 0; k < m; ++k) {
            RootArm& arm = arms[order[k]];
            if (arm.depth >= d) continue;
            if (!search_arm(arm, d, true)) {
                stop = true;
                break;
            }
            if (arm.score > arms[best].score
                || (arm.score == arms[best].score && arm.depth > arms[best].depth))
                best = order[k];
            if (hard_stop() || (soft_limit_ms_ && !pondering() && elapsed() >= 0.95 * static_cast<double>(*soft_limit_ms_))) {
                stop = true;
                break;
            }
        }
        if (stop) break;
        if (m >= 2)
            std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(m),
                             [&](std::size_t a, std::size_t b) {
                                 if (arms[a].score != arms[b].score) return arms[a].score > arms[b].score;
                                 return arms[a].depth > arms[b].depth;
                             });
        best = order[0];
        report(arms[best]);
        if (d >= max_depth || arms[best].score >= MATE_FOUND) break;
        if (m < 3) {
            d += 1;
        } else {
            m = (m + 1) / 2;
            d = std::min(d + 2, max_depth);
        }
    }
    return finish(arms[best]);
}

template SearchResult Searcher<PstEval>::run_root_mode(Position&, const std::vector<Move>&, int,
                                                      const InfoCallback&);
template SearchResult Searcher<nnue::NnueEval>::run_root_mode(Position&, const std::vector<Move>&, int,
                                                      const InfoCallback&);

}  // namespace orvane
