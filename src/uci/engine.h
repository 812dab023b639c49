// The UCI front end's state: one Engine owns the current position, every option value and
// the searcher pool, and executes one command line at a time.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/position.h"

namespace orvane::uci {

inline constexpr std::string_view ENGINE_NAME = "Orvane 0.1.0";
inline constexpr std::string_view ENGINE_AUTHOR = "the Orvane authors";

class Engine {
public:
    Engine();

    // Executes one trimmed input line; false only for "quit".
    bool handle(std::string_view line);

    // Divide counts of the current position: one line per root move, then the total.
    void perft(std::uint32_t depth);

    const Position& position() const { return position_; }

private:
    void cmd_uci();
    void cmd_position(const std::vector<std::string_view>& args);
    void cmd_go(const std::vector<std::string_view>& args);

    Position position_;
};

}  // namespace orvane::uci
