// Strictly legal move generation. Every generator applies pins, checks and king safety
// itself, in one fixed order (king, knights, diagonal sliders, straight sliders, pawns,
// pinned pawns, en passant, castles) that decides the order of perft output and of search.
#pragma once

#include <cstdint>

#include "core/board/position.h"

namespace orvane {

// Room for the moves of any position (the most known in a legal position is 218).
inline constexpr int MAX_MOVES = 256;

struct MoveList {
    Move moves[MAX_MOVES];
    int count = 0;

    void push(Move m) {
        ORVANE_ASSERT(count < MAX_MOVES);
        moves[count++] = m;
    }
    int size() const { return count; }
    bool empty() const { return count == 0; }
    Move operator[](int i) const { return moves[i]; }
    const Move* begin() const { return moves; }
    const Move* end() const { return moves + count; }
    bool contains(Move m) const {
        for (int i = 0; i < count; ++i)
            if (moves[i] == m) return true;
        return false;
    }
};

namespace movegen {

void generate_all(const Position& pos, MoveList& list);
void generate_noisy(const Position& pos, MoveList& list);
void generate_quiet(const Position& pos, MoveList& list);
bool has_legal_move(const Position& pos);
bool is_legal_move(const Position& pos, Move m);
std::uint64_t perft(Position& pos, int depth);

}  // namespace movegen
}  // namespace orvane
