// Endgame tablebases as the search sees them: one small interface that any probing backend
// implements, so the core never depends on probing code. A loaded tablebase is shared
// read-only by every searcher and may be probed from any thread; the backend serialises
// whatever its library needs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/board/position.h"

namespace orvane {

// Win/draw/loss class from the side to move's view. The middle values are results the
// 50-move rule turns into a draw.
enum class Wdl : std::uint8_t { LOSS = 0, BLESSED_LOSS = 1, DRAW = 2, CURSED_WIN = 3, WIN = 4 };

// One legal root move with the table's verdict on the position after it.
struct RootMove {
    std::uint32_t dtz;  // distance to the next zeroing move, in plies
    Move mv;
    Wdl wdl;  // from the root side's view
};

class Tablebase {
public:
    virtual ~Tablebase() = default;
    // Largest piece count (both kings included) of any loaded table; 0 when none can be probed.
    virtual std::uint32_t max_pieces() const = 0;
    // None when the position must not or cannot be probed; never an invented answer.
    virtual std::optional<Wdl> probe_wdl(const Position& pos) const = 0;
    // One entry per legal move, or none when the tables cannot rank every move.
    virtual std::optional<std::vector<RootMove>> probe_root(const Position& pos) const = 0;
};

namespace tablebase {

// The root moves that keep the best result: among wins the fastest to zero, among losses
// the slowest, among draws all of them; input order is kept.
std::vector<Move> filter_root_moves(std::span<const RootMove> root_moves);

}  // namespace tablebase
}  // namespace orvane
