// Tuned search parameters: one record (name, value, range, step) for every number of the
// search worth fitting, in the order of ALL. Families of three are indexed by the phase bucket
// of a node (0: opening and middle game, 1: simplified middle game, 2: endgame). The search
// reads a record only through value(): a compile-time constant in the normal build; in the
// tuning build (ORVANE_TUNING) an entry of `live`, which the UCI options of the same names
// change while no search runs. Names, ranges and steps are there for tuning tools (the
// `spsa` command prints them for OpenBench).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::tune {

// Written {name, value, min, max, step, index}; the index fills the gap before the step, so
// that a family's entries stay 40 bytes apart as they were without it.
struct Param {
    constexpr Param(std::string_view name_, int value_, int min_, int max_, double step_,
                    int index_)
        : name(name_), value(value_), min(min_), max(max_), index(index_), step(step_) {}
    std::string_view name;
    int value;
    int min;
    int max;
    int index;  // its place in ALL (checked below)
    double step;
};
static_assert(sizeof(Param) == 40);

using Family = std::array<Param, 3>;

consteval bool well_formed(const Family& family) {
    for (std::size_t i = 0; i < family.size(); ++i) {
        const Param& p = family[i];
        if (p.min > p.value || p.value > p.max || p.step <= 0) return false;
        std::string_view suffix = p.name.substr(p.name.size() - 3);
        if (suffix[0] != '_' || suffix[1] != 'P' || suffix[2] != static_cast<char>('0' + i))
            return false;
        if (i > 0 && p.index != family[i - 1].index + 1) return false;
    }
    return true;
}

// Pruning margins and thresholds by phase bucket.
inline constexpr Family RFP_MARGIN{{
    {"RFP_MARGIN_P0", 78, 30, 160, 8.0, 0},
    {"RFP_MARGIN_P1", 93, 30, 160, 8.0, 1},
    {"RFP_MARGIN_P2", 81, 30, 160, 8.0, 2},
}};
inline constexpr Family FUT_BASE{{
    {"FUT_BASE_P0", 99, 20, 200, 10.0, 3},
    {"FUT_BASE_P1", 113, 20, 200, 10.0, 4},
    {"FUT_BASE_P2", 102, 20, 200, 10.0, 5},
}};
inline constexpr Family FUT_MULT{{
    {"FUT_MULT_P0", 103, 40, 200, 10.0, 6},
    {"FUT_MULT_P1", 106, 40, 200, 10.0, 7},
    {"FUT_MULT_P2", 98, 40, 200, 10.0, 8},
}};
inline constexpr Family LMP_BASE{{
    {"LMP_BASE_P0", 3, 1, 8, 1.0, 9},
    {"LMP_BASE_P1", 3, 1, 8, 1.0, 10},
    {"LMP_BASE_P2", 3, 1, 8, 1.0, 11},
}};
inline constexpr Family SEE_NOISY{{
    {"SEE_NOISY_P0", 24, 10, 80, 5.0, 12},
    {"SEE_NOISY_P1", 27, 10, 80, 5.0, 13},
    {"SEE_NOISY_P2", 30, 10, 80, 5.0, 14},
}};
inline constexpr Family SEE_QUIET{{
    {"SEE_QUIET_P0", 61, 20, 120, 8.0, 15},
    {"SEE_QUIET_P1", 57, 20, 120, 8.0, 16},
    {"SEE_QUIET_P2", 54, 20, 120, 8.0, 17},
}};

static_assert(well_formed(RFP_MARGIN) && well_formed(FUT_BASE) && well_formed(FUT_MULT));
static_assert(well_formed(LMP_BASE) && well_formed(SEE_NOISY) && well_formed(SEE_QUIET));

// The node, in the order it uses them. Depths are plies, margins centipawns.
inline constexpr Param RFP_MAX_DEPTH{"RFP_MAX_DEPTH", 8, 4, 14, 1.0, 18};
inline constexpr Param RFP_TTPV_MARGIN{"RFP_TTPV_MARGIN", 37, 0, 100, 5.0, 19};
inline constexpr Param NMP_MIN_DEPTH{"NMP_MIN_DEPTH", 3, 2, 6, 1.0, 20};
// The null move searches depth - NMP_BASE_REDUCTION - depth / NMP_DEPTH_DIVISOR, and one ply
// less for each NMP_EVAL_DIVISOR of eval above beta, at most NMP_EVAL_MAX_REDUCTION.
inline constexpr Param NMP_BASE_REDUCTION{"NMP_BASE_REDUCTION", 5, 2, 8, 1.0, 21};
inline constexpr Param NMP_DEPTH_DIVISOR{"NMP_DEPTH_DIVISOR", 4, 2, 8, 1.0, 22};
inline constexpr Param NMP_EVAL_DIVISOR{"NMP_EVAL_DIVISOR", 199, 100, 400, 15.0, 23};
inline constexpr Param NMP_EVAL_MAX_REDUCTION{"NMP_EVAL_MAX_REDUCTION", 3, 1, 6, 1.0, 24};
inline constexpr Param NMP_VERIFY_DEPTH{"NMP_VERIFY_DEPTH", 14, 8, 24, 1.0, 25};
inline constexpr Param PROBCUT_MARGIN{"PROBCUT_MARGIN", 199, 80, 400, 15.0, 26};
inline constexpr Param PROBCUT_MIN_DEPTH{"PROBCUT_MIN_DEPTH", 3, 2, 8, 1.0, 27};
inline constexpr Param IIR_MIN_DEPTH{"IIR_MIN_DEPTH", 4, 2, 8, 1.0, 28};
inline constexpr Param LMP_MAX_DEPTH{"LMP_MAX_DEPTH", 9, 4, 14, 1.0, 29};
inline constexpr Param HISTORY_PRUNE_MAX_DEPTH{"HISTORY_PRUNE_MAX_DEPTH", 7, 3, 12, 1.0, 30};
// A quiet move whose history is below this times the depth is skipped.
inline constexpr Param HISTORY_PRUNE_FACTOR{"HISTORY_PRUNE_FACTOR", -2296, -6000, -500, 200.0, 31};
inline constexpr Param FUTILITY_MAX_DEPTH{"FUTILITY_MAX_DEPTH", 8, 4, 14, 1.0, 32};
inline constexpr Param SEE_PRUNE_MAX_DEPTH{"SEE_PRUNE_MAX_DEPTH", 10, 4, 16, 1.0, 33};
inline constexpr Param SINGULAR_MIN_DEPTH{"SINGULAR_MIN_DEPTH", 8, 4, 12, 1.0, 34};
// The singular search's beta lies this many eighths of a centipawn per ply below the table score.
inline constexpr Param SINGULAR_MARGIN{"SINGULAR_MARGIN", 16, 4, 48, 2.0, 35};
inline constexpr Param DOUBLE_EXTENSION_MARGIN{"DOUBLE_EXTENSION_MARGIN", 20, 0, 60, 4.0, 36};
// Late-move reductions: log(depth) x log(moves) / (LMR_DIVISOR / 100) + LMR_BASE / 100, less
// one ply per LMR_HISTORY_DIVISOR of history (two at most); a capture with a capture history
// beyond +-CAPTURE_HISTORY_REDUCTION is reduced one ply less or more.
inline constexpr Param LMR_BASE{"LMR_BASE", 50, 0, 150, 8.0, 37};
inline constexpr Param LMR_DIVISOR{"LMR_DIVISOR", 248, 150, 400, 10.0, 38};
inline constexpr Param LMR_HISTORY_DIVISOR{"LMR_HISTORY_DIVISOR", 8386, 4000, 16000, 400.0, 39};
inline constexpr Param CAPTURE_HISTORY_REDUCTION{"CAPTURE_HISTORY_REDUCTION", 4096, 1000, 10000,
                                                 400.0, 40};
// A reduced move that beat alpha by this much (plus two per ply) is searched one ply deeper.
inline constexpr Param DEEPER_MARGIN{"DEEPER_MARGIN", 46, 10, 100, 5.0, 41};
// History updates after a cutoff: min(MULT x depth + OFFSET, MAX) for the move that cut,
// the same malus terms for the moves tried before it.
inline constexpr Param HISTORY_BONUS_MULT{"HISTORY_BONUS_MULT", 216, 100, 400, 15.0, 42};
inline constexpr Param HISTORY_BONUS_OFFSET{"HISTORY_BONUS_OFFSET", 33, -100, 200, 15.0, 43};
inline constexpr Param HISTORY_BONUS_MAX{"HISTORY_BONUS_MAX", 1248, 600, 2500, 80.0, 44};
inline constexpr Param HISTORY_MALUS_MULT{"HISTORY_MALUS_MULT", 286, 100, 450, 15.0, 45};
inline constexpr Param HISTORY_MALUS_OFFSET{"HISTORY_MALUS_OFFSET", 103, -100, 250, 15.0, 46};
inline constexpr Param HISTORY_MALUS_MAX{"HISTORY_MALUS_MAX", 1271, 600, 2500, 80.0, 47};

// Quiescence search: delta pruning and the exchange threshold.
inline constexpr Param QS_DELTA_MARGIN{"QS_DELTA_MARGIN", 199, 50, 400, 15.0, 48};
inline constexpr Param QS_SEE_MARGIN{"QS_SEE_MARGIN", 198, 50, 400, 15.0, 49};

// Iterative deepening: the first aspiration window's half width.
inline constexpr Param ASPIRATION_DELTA{"ASPIRATION_DELTA", 19, 8, 40, 2.0, 50};

// The clock. The soft limit is increment x TM_INCREMENT_SHARE / 100 + remaining time /
// moves to go (TM_MOVES_TO_GO when the GUI does not say). After an iteration the search stops
// once it has used TM_SOFT_STOP / 100 of the soft limit times a scale: the node factor
// (TM_NODE_SCALE / 100 x (TM_NODE_OFFSET / 100 - the best move's share of the nodes)), the
// stability factor (TM_STABILITY_k / 100 after k iterations with the same best move) and
// 1 + the score's drop (at most TM_DROP_CAP centipawns) / TM_DROP_DIVISOR.
inline constexpr Param TM_MOVES_TO_GO{"TM_MOVES_TO_GO", 20, 10, 50, 2.0, 51};
inline constexpr Param TM_INCREMENT_SHARE{"TM_INCREMENT_SHARE", 75, 40, 100, 5.0, 52};
inline constexpr Param TM_SOFT_STOP{"TM_SOFT_STOP", 85, 30, 100, 4.0, 53};
inline constexpr Param TM_NODE_SCALE{"TM_NODE_SCALE", 135, 80, 200, 8.0, 54};
inline constexpr Param TM_NODE_OFFSET{"TM_NODE_OFFSET", 150, 100, 200, 5.0, 55};
inline constexpr std::array<Param, 5> TM_STABILITY{{
    {"TM_STABILITY_0", 200, 120, 300, 10.0, 56},
    {"TM_STABILITY_1", 140, 90, 220, 8.0, 57},
    {"TM_STABILITY_2", 110, 70, 160, 6.0, 58},
    {"TM_STABILITY_3", 90, 50, 130, 6.0, 59},
    {"TM_STABILITY_4", 80, 40, 120, 6.0, 60},
}};
inline constexpr Param TM_DROP_CAP{"TM_DROP_CAP", 100, 40, 200, 8.0, 61};
inline constexpr Param TM_DROP_DIVISOR{"TM_DROP_DIVISOR", 200, 100, 400, 15.0, 62};

inline constexpr std::array<const Param*, 63> ALL = {
    &RFP_MARGIN[0],       &RFP_MARGIN[1],        &RFP_MARGIN[2],
    &FUT_BASE[0],         &FUT_BASE[1],          &FUT_BASE[2],
    &FUT_MULT[0],         &FUT_MULT[1],          &FUT_MULT[2],
    &LMP_BASE[0],         &LMP_BASE[1],          &LMP_BASE[2],
    &SEE_NOISY[0],        &SEE_NOISY[1],         &SEE_NOISY[2],
    &SEE_QUIET[0],        &SEE_QUIET[1],         &SEE_QUIET[2],
    &RFP_MAX_DEPTH,       &RFP_TTPV_MARGIN,      &NMP_MIN_DEPTH,
    &NMP_BASE_REDUCTION,  &NMP_DEPTH_DIVISOR,    &NMP_EVAL_DIVISOR,
    &NMP_EVAL_MAX_REDUCTION, &NMP_VERIFY_DEPTH,  &PROBCUT_MARGIN,
    &PROBCUT_MIN_DEPTH,   &IIR_MIN_DEPTH,        &LMP_MAX_DEPTH,
    &HISTORY_PRUNE_MAX_DEPTH, &HISTORY_PRUNE_FACTOR, &FUTILITY_MAX_DEPTH,
    &SEE_PRUNE_MAX_DEPTH, &SINGULAR_MIN_DEPTH,   &SINGULAR_MARGIN,
    &DOUBLE_EXTENSION_MARGIN, &LMR_BASE,         &LMR_DIVISOR,
    &LMR_HISTORY_DIVISOR, &CAPTURE_HISTORY_REDUCTION, &DEEPER_MARGIN,
    &HISTORY_BONUS_MULT,  &HISTORY_BONUS_OFFSET, &HISTORY_BONUS_MAX,
    &HISTORY_MALUS_MULT,  &HISTORY_MALUS_OFFSET, &HISTORY_MALUS_MAX,
    &QS_DELTA_MARGIN,     &QS_SEE_MARGIN,        &ASPIRATION_DELTA,
    &TM_MOVES_TO_GO,      &TM_INCREMENT_SHARE,   &TM_SOFT_STOP,
    &TM_NODE_SCALE,       &TM_NODE_OFFSET,       &TM_STABILITY[0],
    &TM_STABILITY[1],     &TM_STABILITY[2],      &TM_STABILITY[3],
    &TM_STABILITY[4],     &TM_DROP_CAP,          &TM_DROP_DIVISOR,
};

// Every record in its place, within its range, with a positive step and a name of capitals,
// digits and underscores that no other record has (UCI option names ignore letter case).
consteval bool well_formed_list() {
    for (std::size_t i = 0; i < ALL.size(); ++i) {
        const Param& p = *ALL[i];
        if (p.index != static_cast<int>(i)) return false;
        if (p.min > p.value || p.value > p.max || p.step <= 0) return false;
        if (p.name.empty()) return false;
        for (char c : p.name)
            if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
        for (std::size_t j = 0; j < i; ++j)
            if (ALL[j]->name == p.name) return false;
    }
    return true;
}
static_assert(ALL.size() >= 30);
static_assert(well_formed_list());

#ifdef ORVANE_TUNING
consteval std::array<int, ALL.size()> initial_values() {
    std::array<int, ALL.size()> v{};
    for (std::size_t i = 0; i < ALL.size(); ++i) v[i] = ALL[i]->value;
    return v;
}
// The values in force, written only while no search runs (by set()).
inline constinit std::array<int, ALL.size()> live = initial_values();
inline int value(const Param& p) { return live[static_cast<std::size_t>(p.index)]; }
inline void set(const Param& p, int v) { live[static_cast<std::size_t>(p.index)] = v; }
#else
constexpr int value(const Param& p) { return p.value; }
#endif

// The record of this name, letter case ignored; null when there is none.
const Param* find(std::string_view name);
// A value for the record, clamped to its range; nothing when the text is not an integer.
std::optional<int> parse_value(const Param& p, std::string_view text);
// OpenBench's SPSA input line: "NAME, int, value, min, max, c_end, r_end", with the step as
// c_end and `r_end` as given (0.002 is the usual start).
std::string openbench_line(const Param& p, int value, double r_end = 0.002);
// The UCI option that sets the record: "option name NAME type spin default ... min ... max ...".
std::string option_line(const Param& p, int value);

}  // namespace orvane::tune
