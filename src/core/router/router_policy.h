// Move policies over a router network: near the root they score every legal move with the
// network's log-probability, and the search uses the scores to order moves, to add quiet-move
// ordering bonuses, and to replace or adjust late-move reductions. Only the main searcher
// holds one; it owns the policy and its cache exclusively and uses them on its own thread.
// The network itself is shared read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/search/move_policy.h"
#include "core/router/router_net.h"
#include "core/router/router_moe_net.h"

namespace orvane::router_policy {

// The Router options as the policy reads them.
struct RouterSettings {
    std::uint32_t plies = 2;    // acts only at plies below this
    double reduce_scale = 0.6;  // RouterReduce / 10
    std::int32_t min_depth = 2;
    std::int32_t order_bonus = 0;
    bool order = false;       // the network's scores replace the engine's ordering
    bool delta = true;        // reductions adjust the engine's (false: replace them)
    std::uint32_t top_k = 0;  // RRT5 only: from-squares that get the expert head, 0 = all
};

// A position's scored move list: (move, log-probability) in the order it was scored.
struct ScoredMove {
    Move move;
    float log_prob;
};

// Everything both router policies share: the cache of scored positions and the rules that
// turn log-probabilities into scores, bonuses and reductions.
class CachedRouterPolicy : public MovePolicy {
public:
    static constexpr std::size_t MAX_CACHE_ENTRIES = 100'000;

    explicit CachedRouterPolicy(const RouterSettings& settings) : settings_(settings) {}

    std::int32_t min_depth() const override { return settings_.min_depth; }
    bool wants(int ply, int depth) const override {
        return ply >= 0 && static_cast<std::uint32_t>(ply) < settings_.plies
               && depth >= settings_.min_depth;
    }
    bool keeps_normal_order() const override { return !settings_.order; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position& pos, const Move* moves, int count, std::int32_t* scores,
                     int ply, int depth) override;
    std::optional<std::int32_t> reduction(const Position& pos, Move m, int depth) override;
    bool reduction_is_delta() const override { return settings_.delta; }
    bool uses_order_bonus() const override { return settings_.order_bonus > 0; }
    std::int32_t quiet_order_bonus(const Position& pos, Move m, int move_count) override;
    void new_search() override { cache_.clear(); }

    std::uint64_t evaluations() const { return evaluations_; }
    std::size_t cache_size() const { return cache_.size(); }
    // The cached scores of a position, or null.
    const std::vector<ScoredMove>* cached(std::uint64_t key) const;
    const RouterSettings& settings() const { return settings_; }

protected:
    // The network's log-probabilities of `moves` (legal, at least one) into `out`.
    virtual void evaluate(const Position& pos, std::span<const Move> moves,
                          std::span<float> out) const = 0;

private:
    const std::vector<ScoredMove>& scored(const Position& pos, std::span<const Move> moves);

    std::unordered_map<std::uint64_t, std::vector<ScoredMove>> cache_;
    RouterSettings settings_;
    std::uint64_t evaluations_ = 0;
};

class RouterPolicy final : public CachedRouterPolicy {
public:
    RouterPolicy(std::shared_ptr<const router::RouterNet> net, const RouterSettings& settings)
        : CachedRouterPolicy(settings), net_(std::move(net)) {}
    std::string_view name() const override { return "router"; }

protected:
    void evaluate(const Position& pos, std::span<const Move> moves,
                  std::span<float> out) const override {
        net_->log_probs(pos, moves, out);
    }

private:
    std::shared_ptr<const router::RouterNet> net_;
};

class RouterMoePolicy final : public CachedRouterPolicy {
public:
    RouterMoePolicy(std::shared_ptr<const router_moe::RouterMoeNet> net,
                    const RouterSettings& settings)
        : CachedRouterPolicy(settings), net_(std::move(net)) {}
    std::string_view name() const override { return "router-moe"; }

protected:
    void evaluate(const Position& pos, std::span<const Move> moves,
                  std::span<float> out) const override {
        net_->log_probs(pos, moves, settings().top_k, out);
    }

private:
    std::shared_ptr<const router_moe::RouterMoeNet> net_;
};

// The scoring rules, exposed for tests: 1000 x log-probability truncated and saturated to
// i32 (NaN 0); the ordering bonus; the Replace and Delta reductions.
std::int32_t policy_score(float log_prob);
std::int32_t order_bonus(float log_prob, std::size_t move_count, std::int32_t bonus);
std::int32_t replace_reduction(float log_prob, double scale);
std::int32_t delta_reduction(float log_prob, std::size_t move_count, double scale);

}  // namespace orvane::router_policy
