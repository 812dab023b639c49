// Tuned search parameters, in families of three indexed by the phase bucket of a node
// (0: opening and middle game, 1: simplified middle game, 2: endgame). The search reads only
// the values; names, ranges and steps are there for tuning tools.
#pragma once

#include <array>
#include <string_view>

namespace orvane::tune {

struct Param {
    std::string_view name;
    int value;
    int min;
    int max;
    double step;
};

using Family = std::array<Param, 3>;

consteval bool well_formed(const Family& family) {
    for (std::size_t i = 0; i < family.size(); ++i) {
        const Param& p = family[i];
        if (p.min > p.value || p.value > p.max || p.step <= 0) return false;
        std::string_view suffix = p.name.substr(p.name.size() - 3);
        if (suffix[0] != '_' || suffix[1] != 'P' || suffix[2] != static_cast<char>('0' + i))
            return false;
    }
    return true;
}

inline constexpr Family RFP_MARGIN{{
    {"RFP_MARGIN_P0", 78, 30, 160, 8.0},
    {"RFP_MARGIN_P1", 93, 30, 160, 8.0},
    {"RFP_MARGIN_P2", 81, 30, 160, 8.0},
}};
inline constexpr Family FUT_BASE{{
    {"FUT_BASE_P0", 99, 20, 200, 10.0},
    {"FUT_BASE_P1", 113, 20, 200, 10.0},
    {"FUT_BASE_P2", 102, 20, 200, 10.0},
}};
inline constexpr Family FUT_MULT{{
    {"FUT_MULT_P0", 103, 40, 200, 10.0},
    {"FUT_MULT_P1", 106, 40, 200, 10.0},
    {"FUT_MULT_P2", 98, 40, 200, 10.0},
}};
inline constexpr Family LMP_BASE{{
    {"LMP_BASE_P0", 3, 1, 8, 1.0},
    {"LMP_BASE_P1", 3, 1, 8, 1.0},
    {"LMP_BASE_P2", 3, 1, 8, 1.0},
}};
inline constexpr Family SEE_NOISY{{
    {"SEE_NOISY_P0", 24, 10, 80, 5.0},
    {"SEE_NOISY_P1", 27, 10, 80, 5.0},
    {"SEE_NOISY_P2", 30, 10, 80, 5.0},
}};
inline constexpr Family SEE_QUIET{{
    {"SEE_QUIET_P0", 61, 20, 120, 8.0},
    {"SEE_QUIET_P1", 57, 20, 120, 8.0},
    {"SEE_QUIET_P2", 54, 20, 120, 8.0},
}};

static_assert(well_formed(RFP_MARGIN) && well_formed(FUT_BASE) && well_formed(FUT_MULT));
static_assert(well_formed(LMP_BASE) && well_formed(SEE_NOISY) && well_formed(SEE_QUIET));

inline constexpr std::array<const Family*, 6> ALL = {&RFP_MARGIN, &FUT_BASE, &FUT_MULT,
                                                     &LMP_BASE,   &SEE_NOISY, &SEE_QUIET};

}  // namespace orvane::tune
