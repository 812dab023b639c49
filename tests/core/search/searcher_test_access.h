// Reaches the internals of a Searcher that the search tests look at: the history tables and
// continuation records, the corrected evaluation and the time limits derived from a limits
// record. Searcher names this class a friend.
#pragma once

#include <cstdint>
#include <optional>

#include "core/search/searcher.h"

namespace orvane {

template <Evaluator E>
class SearcherTestAccess {
public:
    explicit SearcherTestAccess(Searcher<E>& s) : s_(s) {}

    History& history() { return s_.history_; }
    void set_cont(int ply, Piece piece, int to) {
        s_.cont_[ply] = {true, piece, static_cast<std::uint8_t>(to)};
    }
    void clear_cont(int ply) { s_.cont_[ply] = {}; }
    int quiet_history(Color side, Bitboard threats, Piece piece, Move m, int ply) const {
        return s_.quiet_history(side, threats, piece, m, ply);
    }
    void update_history(Color side, Bitboard threats, Piece piece, Move m, int ply, int bonus) {
        s_.update_history(side, threats, piece, m, ply, bonus);
    }
    void update_cap_history(Piece piece, int to, int captured, int bonus) {
        s_.update_cap_history(piece, to, captured, bonus);
    }
    int corrected_eval(const Position& pos, int raw, int ply) const {
        return s_.corrected_eval(pos, raw, ply);
    }
    void update_correction(const Position& pos, int diff, int depth, int ply) {
        s_.update_correction(pos, diff, depth, ply);
    }

    void compute_time_limits(const SearchLimits& limits) { s_.compute_time_limits(limits); }
    std::optional<std::uint64_t> soft_limit() const { return s_.soft_limit_ms_; }
    std::optional<std::uint64_t> hard_limit() const { return s_.hard_limit_ms_; }

private:
    Searcher<E>& s_;
};

}  // namespace orvane
