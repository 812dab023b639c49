// The search's tune records as UCI options and the `spsa` command, in the tuning build
// (ORVANE_TUNING) only: the normal build lists no such option and knows no such command, and
// these functions then do nothing.
#pragma once

#include <string>
#include <string_view>

namespace orvane::uci {

class Engine;

// The "option name ... type spin ..." lines of every record, each ending in "\n".
std::string tuning_option_lines();
// Sets the record of this name (letter case ignored; `name` is lower-cased already) when
// there is one, after any running search has finished; a value that is not an integer is
// ignored, one outside the range clamped. False when no record has this name.
bool set_tuning_option(Engine& engine, std::string_view name, std::string_view value);
// Executes `spsa` (OpenBench's SPSA input, one record a line); false for any other command.
bool tuning_command(std::string_view cmd);
// The `spsa` reply: every record with the value in force.
std::string spsa_lines();

}  // namespace orvane::uci
