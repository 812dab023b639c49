#include <algorithm>
#include <cmath>

#include "core/board/movegen.h"
#include "core/router/router_policy.h"

namespace orvane::router_policy {
namespace {

constexpr float SCORE_SCALE = 1000.0f;  // scores are thousandths of a log-probability
constexpr double MAX_ORDER_BONUS = 8000.0;
constexpr double MAX_REPLACE_REDUCTION = 64.0;
constexpr double MIN_DELTA_REDUCTION = -1.0;
constexpr double MAX_DELTA_REDUCTION = 2.0;

// x rounded half away from zero and clamped to [lo, hi]; NaN (a corrupt network) gives the
// value of the range nearest to 0.
std::int32_t nearest_clamped(double x, double lo, double hi) {
    if (std::isnan(x)) return static_cast<std::int32_t>(std::clamp(0.0, lo, hi));
    return static_cast<std::int32_t>(std::clamp(std::round(x), lo, hi));
}

const ScoredMove* find_move(const std::vector<ScoredMove>& entry, Move m) {
    for (const ScoredMove& s : entry)
        if (s.move == m) return &s;
    return nullptr;
}

}  // namespace

std::int32_t policy_score(float log_prob) {
    const float x = SCORE_SCALE * log_prob;
    if (std::isnan(x)) return 0;
    if (x >= 2147483648.0f) return INT32_MAX;
    if (x <= -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(x);  // truncation toward zero
}

std::int32_t order_bonus(float log_prob, std::size_t move_count, std::int32_t bonus) {
    const double relative = std::log(static_cast<double>(std::max<std::size_t>(move_count, 1)))
                            + static_cast<double>(log_prob);
    return nearest_clamped(relative * bonus, -MAX_ORDER_BONUS, MAX_ORDER_BONUS);
}

std::int32_t replace_reduction(float log_prob, double scale) {
    return nearest_clamped(-static_cast<double>(log_prob) * scale, 0.0, MAX_REPLACE_REDUCTION);
}

std::int32_t delta_reduction(float log_prob, std::size_t move_count, double scale) {
    const double uniform = std::log(static_cast<double>(std::max<std::size_t>(move_count, 1)));
    return nearest_clamped((-static_cast<double>(log_prob) - uniform) * scale, MIN_DELTA_REDUCTION,
                           MAX_DELTA_REDUCTION);
}

const std::vector<ScoredMove>* CachedRouterPolicy::cached(std::uint64_t key) const {
    auto it = cache_.find(key);
    return it == cache_.end() ? nullptr : &it->second;
}

// One network evaluation per position and move list: an entry is reused only for the very
// same list in the same order, since the scores are handed out by index.
const std::vector<ScoredMove>& CachedRouterPolicy::scored(const Position& pos,
                                                          std::span<const Move> moves) {
    if (auto it = cache_.find(pos.key()); it != cache_.end()) {
        const std::vector<ScoredMove>& entry = it->second;
        if (entry.size() == moves.size()
            && std::equal(moves.begin(), moves.end(), entry.begin(),
                          [](Move m, const ScoredMove& s) { return m == s.move; }))
            return entry;
    }
    ++evaluations_;
    if (cache_.size() > MAX_CACHE_ENTRIES) cache_.clear();
    float log_probs[MAX_MOVES];
    evaluate(pos, moves, std::span<float>(log_probs, moves.size()));
    std::vector<ScoredMove>& entry = cache_[pos.key()];
    entry.resize(moves.size());
    for (std::size_t i = 0; i < moves.size(); ++i) entry[i] = {moves[i], log_probs[i]};
    return entry;
}

bool CachedRouterPolicy::score_moves(const Position& pos, const Move* moves, int count,
                                     std::int32_t* scores, int, int) {
    if (count <= 0) return false;
    const std::vector<ScoredMove>& entry = scored(pos, {moves, static_cast<std::size_t>(count)});
    const std::size_t n = std::min(entry.size(), static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < n; ++i) scores[i] = policy_score(entry[i].log_prob);
    return true;
}

std::optional<std::int32_t> CachedRouterPolicy::reduction(const Position& pos, Move m, int) {
    if (!(settings_.reduce_scale > 0.0)) return std::nullopt;
    const std::vector<ScoredMove>* entry = cached(pos.key());
    if (!entry) {
        MoveList list;
        movegen::generate_all(pos, list);
        if (list.empty()) return std::nullopt;
        entry = &scored(pos, {list.begin(), static_cast<std::size_t>(list.size())});
    }
    const ScoredMove* s = find_move(*entry, m);
    if (!s) return std::nullopt;
    return settings_.delta ? delta_reduction(s->log_prob, entry->size(), settings_.reduce_scale)
                           : replace_reduction(s->log_prob, settings_.reduce_scale);
}

std::int32_t CachedRouterPolicy::quiet_order_bonus(const Position& pos, Move m, int) {
    if (settings_.order_bonus <= 0) return 0;
    const std::vector<ScoredMove>* entry = cached(pos.key());
    if (!entry) return 0;
    const ScoredMove* s = find_move(*entry, m);
    if (!s) return 0;
    return order_bonus(s->log_prob, entry->size(), settings_.order_bonus);
}

}  // namespace orvane::router_policy
