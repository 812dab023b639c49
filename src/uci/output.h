// Standard output for the UCI front end: every line is written whole under one lock and
// flushed at once, so lines from the search thread and the main thread never interleave.
#pragma once

#include <string_view>

namespace orvane::uci {

void write_line(std::string_view line);   // the line without its "\n"
void info_string(std::string_view text);  // "info string " + text
void write_raw(std::string_view text);    // several lines at once, each ending in "\n"

}  // namespace orvane::uci
