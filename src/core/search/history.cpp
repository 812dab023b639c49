#include "core/eval/nnue/nnue_eval.h"
#include "core/search/history.h"

#include <cstring>

#include "core/search/searcher.h"

namespace orvane {

void History::clear() { std::memset(this, 0, sizeof(*this)); }

void History::halve_main() {
    for (auto& side : main)
        for (auto& a : side)
            for (auto& b : a)
                for (auto& from : b)
                    for (auto& entry : from) entry = static_cast<std::int16_t>(entry / 2);
}

template <Evaluator E>
void Searcher<E>::update_history(Color side, Bitboard threats, Piece piece, Move m, int ply,
                                 int bonus) {
    const int from = move_from(m), to = move_to(m), kind = kind_of(piece);
    apply_history_bonus(history_.main_entry(side, threat_bucket(threats, from, to), from, to), bonus);
    if (ply >= 1 && cont_[ply - 1].present)
        apply_history_bonus(history_.cont1[cont_[ply - 1].piece][cont_[ply - 1].to][kind][to], bonus);
    if (ply >= 2 && cont_[ply - 2].present)
        apply_history_bonus(history_.cont2[cont_[ply - 2].piece][cont_[ply - 2].to][kind][to], bonus);
    if (ply >= 4 && cont_[ply - 4].present)
        apply_history_bonus(
            history_.cont4[kind_of(cont_[ply - 4].piece)][cont_[ply - 4].to][kind][to], bonus);
}

template <Evaluator E>
void Searcher<E>::update_cap_history(Piece piece, int to, int captured, int bonus) {
    apply_history_bonus(history_.capture[piece][to][captured], bonus);
}

namespace {
constexpr int CORRECTION_CLAMP = 199;
constexpr std::uint64_t KEY_MASK = CORRECTION_SIZE - 1;
}  // namespace

template <Evaluator E>
int Searcher<E>::corrected_eval(const Position& pos, int raw, int ply) const {
    const Color s = pos.side();
    int c = history_.pawn_corr[s][pos.pawn_key() & KEY_MASK]
            + (history_.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK]
               + history_.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & KEY_MASK])
                  / 2
            + history_.minor_corr[s][pos.minor_key() & KEY_MASK] / 2;
    if (ply >= 1 && cont_[ply - 1].present)
        c += history_.cont_corr1[s][kind_of(cont_[ply - 1].piece)][cont_[ply - 1].to] / 2;
    if (ply >= 2 && cont_[ply - 2].present)
        c += history_.cont_corr2[s][kind_of(cont_[ply - 2].piece)][cont_[ply - 2].to] / 2;
    c = std::clamp(c / 256, -CORRECTION_CLAMP, CORRECTION_CLAMP);
    return std::clamp(raw + c, -TB_WIN, TB_WIN);
}

template <Evaluator E>
void Searcher<E>::update_correction(const Position& pos, int diff, int depth, int ply) {
    const int w = std::min(depth + 1, 16);
    const int target = std::clamp(diff * 256, -CORRECTION_MAX, CORRECTION_MAX);
    auto blend = [&](std::int16_t& entry) {
        int v = (entry * (256 - w) + target * w) / 256;
        entry = static_cast<std::int16_t>(std::clamp(v, -CORRECTION_MAX, CORRECTION_MAX));
    };
    const Color s = pos.side();
    blend(history_.pawn_corr[s][pos.pawn_key() & KEY_MASK]);
    blend(history_.nonpawn_corr[s][WHITE][pos.nonpawn_key(WHITE) & KEY_MASK]);
    blend(history_.nonpawn_corr[s][BLACK][pos.nonpawn_key(BLACK) & KEY_MASK]);
    blend(history_.minor_corr[s][pos.minor_key() & KEY_MASK]);
    if (ply >= 1 && cont_[ply - 1].present)
        blend(history_.cont_corr1[s][kind_of(cont_[ply - 1].piece)][cont_[ply - 1].to]);
    if (ply >= 2 && cont_[ply - 2].present)
        blend(history_.cont_corr2[s][kind_of(cont_[ply - 2].piece)][cont_[ply - 2].to]);
}

#define ORVANE_HISTORY_INSTANCES(E)                                                              \
    template void Searcher<E>::update_history(Color, Bitboard, Piece, Move, int, int);           \
    template void Searcher<E>::update_cap_history(Piece, int, int, int);                         \
    template int Searcher<E>::corrected_eval(const Position&, int, int) const;                   \
    template void Searcher<E>::update_correction(const Position&, int, int, int);

ORVANE_HISTORY_INSTANCES(PstEval)
ORVANE_HISTORY_INSTANCES(nnue::NnueEval)

}  // namespace orvane
