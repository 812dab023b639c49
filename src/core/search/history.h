// The learned move-ordering tables of one search thread (quiet, continuation and capture
// histories) and the correction histories that adjust the static evaluation. All entries
// are 16-bit; they persist across searches (only the main history is halved at each start).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace orvane {

inline constexpr int HISTORY_MAX = 16384;
inline constexpr int CORRECTION_MAX = 32512;
inline constexpr int CORRECTION_SIZE = 16384;  // entries per key table (low 14 bits of a key)

// h += b - h * |b| / 16384, clamped: entries saturate smoothly toward +-16384.
inline void apply_history_bonus(std::int16_t& entry, int bonus) {
    int h = entry;
    h += bonus - h * std::abs(bonus) / HISTORY_MAX;
    entry = static_cast<std::int16_t>(std::clamp(h, -HISTORY_MAX, HISTORY_MAX));
}

// Which of a move's squares an enemy pawn attacks: 2 x (from attacked) + (to attacked).
inline int threat_bucket(std::uint64_t pawn_threats, int from, int to) {
    return static_cast<int>(((pawn_threats >> from) & 1) * 2 + ((pawn_threats >> to) & 1));
}

struct History {
    // [side][from attacked by an enemy pawn][to attacked by an enemy pawn][from][to]
    std::int16_t main[2][2][2][64][64];
    // [previous piece][previous destination][moving kind][destination]
    std::int16_t cont1[12][64][6][64];
    std::int16_t cont2[12][64][6][64];
    // [kind moved four plies back][its destination][moving kind][destination]
    std::int16_t cont4[6][64][6][64];
    // [moving piece][destination][captured kind]
    std::int16_t capture[12][64][6];

    std::int16_t pawn_corr[2][CORRECTION_SIZE];
    std::int16_t nonpawn_corr[2][2][CORRECTION_SIZE];  // [side][colour of the pieces][key]
    std::int16_t minor_corr[2][CORRECTION_SIZE];
    std::int16_t cont_corr1[2][6][64];  // [side][kind moved one ply back][its destination]
    std::int16_t cont_corr2[2][6][64];

    std::int16_t& main_entry(int side, int bucket, int from, int to) {
        return main[side][bucket >> 1][bucket & 1][from][to];
    }
    std::int16_t main_entry(int side, int bucket, int from, int to) const {
        return main[side][bucket >> 1][bucket & 1][from][to];
    }

    void clear();
    void halve_main();
};

}  // namespace orvane
