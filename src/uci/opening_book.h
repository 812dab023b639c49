// Opening books, read for genfens: an EPD file (one position per line: the four FEN fields,
// then the move counters or EPD operations, which are ignored) or a PGN file (each game's
// movetext in standard algebraic notation, played from its [FEN] tag or the start position).
// A PGN game is kept as text and played only when it is chosen, so a large book loads fast;
// a line or game that does not parse or play is skipped when chosen.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/board/position.h"

namespace orvane::uci {

class OpeningBook {
public:
    // Books from the text of an EPD file and of a PGN file.
    static OpeningBook from_epd(std::string_view text);
    static OpeningBook from_pgn(std::string_view text);

    std::size_t size() const { return entries_.size(); }
    // The position of entry i; nothing when its text is not a legal FEN or game.
    std::optional<Position> position(std::size_t i) const;

private:
    struct Entry {
        std::string fen;       // empty: the start position
        std::string movetext;  // PGN only
    };
    std::vector<Entry> entries_;
};

struct BookError {
    std::string message;
};
using BookLoad = std::variant<OpeningBook, BookError>;

// A file named *.pgn (any letter case) is read as PGN, any other as EPD.
BookLoad read_book(const std::string& path);

}  // namespace orvane::uci
