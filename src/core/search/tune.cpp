// The records as text: lookup by name, values read from an option, and the lines that list
// them for a GUI (UCI options) and for OpenBench (SPSA input).
#include "core/search/tune.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "core/board/text.h"

namespace orvane::tune {

const Param* find(std::string_view name) {
    const std::string wanted = text::ascii_lower(text::trim(name));
    for (const Param* p : ALL)
        if (text::ascii_lower(p->name) == wanted) return p;
    return nullptr;
}

std::optional<int> parse_value(const Param& p, std::string_view text) {
    const std::optional<std::int64_t> v = text::parse_int<std::int64_t>(text::trim(text));
    if (!v) return std::nullopt;
    return static_cast<int>(std::clamp<std::int64_t>(*v, p.min, p.max));
}

std::string openbench_line(const Param& p, int value, double r_end) {
    char line[160];
    std::snprintf(line, sizeof line, "%.*s, int, %d, %d, %d, %g, %g",
                  static_cast<int>(p.name.size()), p.name.data(), value, p.min, p.max, p.step,
                  r_end);
    return line;
}

std::string option_line(const Param& p, int value) {
    return "option name " + std::string(p.name) + " type spin default " + std::to_string(value)
           + " min " + std::to_string(p.min) + " max " + std::to_string(p.max);
}

}  // namespace orvane::tune
