// genfens: opening positions for a distributed testing framework (OpenBench asks each machine
// for them before a test or data-generation workload).
//
//   genfens N seed S book <file|None> [extra...]
//
// prints N lines "info string genfens <FEN>": each position is reached by a few random legal
// plies from the start position (book None) or from a random entry of an EPD or PGN book, and
// kept only when a short fixed-depth search from a cleared state scores it inside a balanced
// band. The same request gives the same positions on every machine and build; another seed
// gives others. Words after the book are accepted and ignored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/eval/nnue/network.h"

namespace orvane::uci::genfens {

inline constexpr int RANDOM_PLIES_FROM_START = 8;  // 8 or 9 plies: either side may be to move
inline constexpr int RANDOM_PLIES_FROM_BOOK = 2;   // 2 or 3 plies beyond the book's position
inline constexpr int SEARCH_DEPTH = 6;
inline constexpr int BALANCED_CP = 300;  // kept when the search scores within +/- this
inline constexpr std::uint64_t TRIES_PER_POSITION = 1000;

struct Request {
    std::uint64_t count = 0;
    std::uint64_t seed = 0;
    std::optional<std::string> book;  // none: the start position
};

// The request of the command's words after "genfens", or a message saying what is wrong.
std::variant<Request, std::string> parse(const std::vector<std::string_view>& args);

// Runs the command: the lines, or one "info string" line for an error. The short search
// evaluates with `net`, or with the hand-written evaluator when it is null.
void run(const std::vector<std::string_view>& args, std::shared_ptr<const nnue::Network> net);

}  // namespace orvane::uci::genfens
