// Move policies: what the search asks a learned policy (a router network) for move ordering
// and late-move reductions. NoPolicy is the default and the only policy of helper threads;
// DummyPolicy is a fixed test policy. Each searcher owns its policy exclusively.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/board/position.h"

namespace orvane {

class MovePolicy {
public:
    virtual ~MovePolicy() = default;
    // Smallest node depth at which the policy acts.
    virtual std::int32_t min_depth() const = 0;
    virtual bool wants(int ply, int depth) const = 0;
    // true: the engine's own ordering stays and the policy only adds bonuses.
    virtual bool keeps_normal_order() const = 0;
    // true: the policy's score also places the table move; false: it is forced to the front.
    virtual bool ranks_tt_move() const = 0;
    // One score per move; false means the policy has no opinion.
    virtual bool score_moves(const Position& pos, const Move* moves, int count, std::int32_t* scores,
                             int ply, int depth) = 0;
    virtual std::optional<std::int32_t> reduction(const Position& pos, Move m, int depth) = 0;
    // true: reduction() is added to the engine's reduction; false: it replaces it.
    virtual bool reduction_is_delta() const = 0;
    virtual bool uses_order_bonus() const = 0;
    virtual std::int32_t quiet_order_bonus(const Position& pos, Move m, int move_count) = 0;
    virtual void new_search() = 0;
    virtual std::string_view name() const = 0;
};

class NoPolicy final : public MovePolicy {
public:
    std::int32_t min_depth() const override { return INT32_MAX; }
    bool wants(int, int depth) const override { return depth == INT32_MAX; }
    bool keeps_normal_order() const override { return false; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position&, const Move*, int, std::int32_t*, int, int) override {
        return false;
    }
    std::optional<std::int32_t> reduction(const Position&, Move, int) override {
        return std::nullopt;
    }
    bool reduction_is_delta() const override { return false; }
    bool uses_order_bonus() const override { return false; }
    std::int32_t quiet_order_bonus(const Position&, Move, int) override { return 0; }
    void new_search() override {}
    std::string_view name() const override { return "none"; }
};

// Centre-loving quiet moves and MVV-LVA captures: a fixed policy that exercises every
// policy hook of the search in tests.
class DummyPolicy final : public MovePolicy {
public:
    explicit DummyPolicy(std::int32_t min_depth) : min_depth_(min_depth) {}
    std::int32_t min_depth() const override { return min_depth_; }
    bool wants(int, int depth) const override { return depth >= min_depth_; }
    bool keeps_normal_order() const override { return false; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position& pos, const Move* moves, int count, std::int32_t* scores, int,
                     int) override;
    std::optional<std::int32_t> reduction(const Position&, Move, int) override {
        return std::nullopt;
    }
    bool reduction_is_delta() const override { return false; }
    bool uses_order_bonus() const override { return false; }
    std::int32_t quiet_order_bonus(const Position&, Move, int) override { return 0; }
    void new_search() override {}
    std::string_view name() const override { return "dummy"; }

private:
    std::int32_t min_depth_;
};

}  // namespace orvane
