#include "core/eval/nnue/nnue_eval.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane::nnue {
namespace {

constexpr int MAX_BOARD_PIECES = 64;

}  // namespace

std::uint8_t king_key(int king_buckets, Color perspective, Square king) {
    if (king_buckets == 1) return 0;
    const int mirror = file_of(king) >= 4;
    const int file = mirror ? 7 - file_of(king) : file_of(king);
    const int rank = perspective == WHITE ? rank_of(king) : 7 - rank_of(king);
    int bucket;
    if (king_buckets == 4) {
        bucket = rank == 0 ? (file < 2 ? 0 : 1) : rank == 1 ? 2 : 3;
    } else if (rank == 0) {
        bucket = file < 2 ? 0 : file == 2 ? 1 : 2;
    } else if (rank == 1) {
        bucket = file < 2 ? 3 : 4;
    } else if (rank <= 3) {
        bucket = file < 2 ? 5 : 6;
    } else {
        bucket = 7;
    }
    return static_cast<std::uint8_t>(2 * bucket + mirror);
}

KingKeys king_keys(int king_buckets, const Position& pos) {
    return {king_key(king_buckets, WHITE, pos.king_square(WHITE)),
            king_key(king_buckets, BLACK, pos.king_square(BLACK))};
}

namespace {

// The key an accumulator is kept under. With one block shared by every king bucket only the
// mirroring tells accumulators apart, so a king that changes bucket needs no refresh.
std::uint8_t accumulator_key(const Network& net, Color perspective, Square king) {
    const std::uint8_t key = king_key(net.king_buckets(), perspective, king);
    return net.shared_king_block() ? key & 1 : key;
}

KingKeys accumulator_keys(const Network& net, const Position& pos) {
    return {accumulator_key(net, WHITE, pos.king_square(WHITE)),
            accumulator_key(net, BLACK, pos.king_square(BLACK))};
}

}  // namespace

NnueEval::NnueEval(std::shared_ptr<const Network> net, simd::Path path)
    : net_(std::move(net)), kernels_(&simd::kernels(path)), stack_(STACK_SIZE) {
    if (!net_) fatal("NNUE evaluator without a network");
    for (std::size_t i = 0; i < stack_.size(); ++i) {
        Entry& e = stack_[i];
        e.added_count = e.removed_count = 0;
        e.added[0] = e.added[1] = e.removed[0] = e.removed[1] = PieceSquare{};
        e.king_keys = {0, 0};
        e.computed[0] = e.computed[1] = 0;
    }
    const int kb = net_->king_buckets();
    if (kb > 1) {
        cache_ = AlignedArray<CacheSlot>(std::size_t(2) * 2 * kb);
        for (std::size_t i = 0; i < cache_.size(); ++i) {
            std::memcpy(cache_[i].acc.v, net_->feature_biases(), sizeof(Acc));
            std::memset(cache_[i].pieces, 0, sizeof(cache_[i].pieces));
        }
    }
}

void NnueEval::refresh_perspective(const Position& pos, Color p, std::uint8_t key,
                                   Acc& out) const {
    const std::int16_t* rows[MAX_BOARD_PIECES];
    int n = 0;
    for (Bitboard b = pos.pieces(); b;) {
        const Square sq = pop_lsb(b);
        rows[n++] = net_->feature_row(feature_row(p, key, pos.piece_on(sq), sq));
    }
    kernels_->update(out.v, net_->feature_biases(), rows, n, nullptr, 0, net_->width());
}

void NnueEval::refresh(const Position& pos, Acc& white, Acc& black) const {
    const KingKeys keys = accumulator_keys(*net_, pos);
    refresh_perspective(pos, WHITE, keys[WHITE], white);
    refresh_perspective(pos, BLACK, keys[BLACK], black);
}

void NnueEval::reset(const Position& pos) {
    index_ = 0;
    Entry& e = stack_[0];
    e.added_count = e.removed_count = 0;
    e.king_keys = accumulator_keys(*net_, pos);
    refresh_perspective(pos, WHITE, e.king_keys[WHITE], e.acc[WHITE]);
    refresh_perspective(pos, BLACK, e.king_keys[BLACK], e.acc[BLACK]);
    e.computed[WHITE] = e.computed[BLACK] = 1;
}

void NnueEval::push_move(const Position& pos, Move m) {
    if (index_ + 1 >= STACK_SIZE) fatal("NNUE accumulator stack overflow");
    const Entry& parent = stack_[index_];
    Entry& e = stack_[index_ + 1];
    const int from = move_from(m), to = move_to(m);
    const Piece mover = pos.piece_on(from);
    const Color us = color_of(mover);

    e.king_keys = parent.king_keys;
    e.removed[0] = {mover, static_cast<Square>(from)};
    e.added[1] = e.removed[1] = PieceSquare{};
    e.added_count = e.removed_count = 1;
    if (is_castle(m)) {
        const Piece rook = make_piece(us, ROOK);
        const RookMove r = pos.castle_rook_move(m);  // Chess960: squares may coincide
        e.added[0] = {mover, static_cast<Square>(to)};
        e.added[1] = {rook, r.to};
        e.removed[1] = {rook, r.from};
        e.added_count = e.removed_count = 2;
    } else {
        const Piece arriving = is_promotion(m) ? make_piece(us, promoted_kind(m)) : mover;
        e.added[0] = {arriving, static_cast<Square>(to)};
        if (is_en_passant(m)) {
            e.removed[1] = {pos.piece_on(to ^ 8), static_cast<Square>(to ^ 8)};
            e.removed_count = 2;
        } else if (is_capture(m)) {
            e.removed[1] = {pos.piece_on(to), static_cast<Square>(to)};
            e.removed_count = 2;
        }
    }
    if (net_->king_buckets() > 1 && kind_of(mover) == KING)
        e.king_keys[us] = accumulator_key(*net_, us, static_cast<Square>(to));
    e.computed[WHITE] = e.computed[BLACK] = 0;
    ++index_;
}

void NnueEval::pop_move() {
    if (index_ == 0) fatal("NNUE pop without push");
    --index_;
}

// Forward from the computed entry `from` to the current one, move by move.
void NnueEval::replay(Color p, int from) {
    for (int k = from + 1; k <= index_; ++k) {
        Entry& e = stack_[k];
        const std::uint8_t key = e.king_keys[p];
        const std::int16_t* add[2];
        const std::int16_t* sub[2];
        const int add_count = static_cast<int>(e.added_count);
        const int sub_count = static_cast<int>(e.removed_count);
        for (int i = 0; i < add_count; ++i)
            add[i] = net_->feature_row(feature_row(p, key, e.added[i].piece, e.added[i].square));
        for (int i = 0; i < sub_count; ++i)
            sub[i] =
                net_->feature_row(feature_row(p, key, e.removed[i].piece, e.removed[i].square));
        kernels_->update(e.acc[p].v, stack_[k - 1].acc[p].v, add, add_count, sub, sub_count,
                         net_->width());
        e.computed[p] = 1;
    }
}

// The king key changed on the way: bring the cache slot of the current key up to date by
// the difference between the board and the pieces the slot last saw.
void NnueEval::refresh_from_cache(const Position& pos, Color p) {
    Entry& e = stack_[index_];
    const std::uint8_t key = e.king_keys[p];
    CacheSlot& slot = cache_[std::size_t(p) * 2 * net_->king_buckets() + key];
    const std::int16_t* add[MAX_BOARD_PIECES];
    const std::int16_t* sub[MAX_BOARD_PIECES];
    int add_count = 0, sub_count = 0;
    for (Color c = WHITE; c <= BLACK; ++c)
        for (int kind = PAWN; kind <= KING; ++kind) {
            const Piece piece = make_piece(c, kind);
            const Bitboard now = pos.pieces(c, kind), before = slot.pieces[c][kind];
            for (Bitboard b = now & ~before; b;)
                add[add_count++] = net_->feature_row(feature_row(p, key, piece, pop_lsb(b)));
            for (Bitboard b = before & ~now; b;)
                sub[sub_count++] = net_->feature_row(feature_row(p, key, piece, pop_lsb(b)));
            slot.pieces[c][kind] = now;
        }
    kernels_->update(slot.acc.v, slot.acc.v, add, add_count, sub, sub_count, net_->width());
    e.acc[p] = slot.acc;
    e.computed[p] = 1;
}

void NnueEval::update_perspective(const Position& pos, Color p) {
    if (stack_[index_].computed[p]) return;
    int from = index_;
    while (from > 0 && !stack_[from].computed[p]) --from;
    if (!stack_[from].computed[p]) fatal("NNUE evaluate before reset");

    const std::uint8_t key = stack_[index_].king_keys[p];
    bool same_key = true;
    for (int k = from; k < index_; ++k) same_key = same_key && stack_[k].king_keys[p] == key;
    if (same_key)
        replay(p, from);
    else
        refresh_from_cache(pos, p);
}

std::int32_t NnueEval::output_sum(const Acc& us, const Acc& them,
                                  const std::int16_t* weights) const {
    return kernels_->output(us.v, them.v, weights, net_->width());
}

int NnueEval::evaluate(const Position& pos) {
    update_perspective(pos, WHITE);
    update_perspective(pos, BLACK);
    const Entry& e = stack_[index_];
    const Color us = pos.side();
    const int bucket = output_bucket(net_->output_buckets(), pos.piece_count());
    const std::int32_t dot = output_sum(e.acc[us], e.acc[us ^ 1], net_->output_weights(bucket));
    const std::int64_t out = dot / ACTIVATION_MAX + net_->output_bias(bucket);
    return static_cast<int>(out * OUTPUT_SCALE / OUTPUT_DIVISOR);
}

std::optional<WdlProbs> NnueEval::wdl(const Position& pos) const {
    if (!net_->has_wdl_head()) return std::nullopt;
    Acc acc[2];
    refresh(pos, acc[WHITE], acc[BLACK]);
    const Color us = pos.side();
    float z[WDL_OUTPUTS];
    for (int j = 0; j < WDL_OUTPUTS; ++j) {
        const std::int32_t dot = output_sum(acc[us], acc[us ^ 1], net_->wdl_weights(j));
        z[j] = static_cast<float>(dot / ACTIVATION_MAX + net_->wdl_bias(j))
               / static_cast<float>(OUTPUT_DIVISOR);
    }
    const float m = std::max({z[0], z[1], z[2]});
    float e[WDL_OUTPUTS], sum = 0.0f;
    for (int j = 0; j < WDL_OUTPUTS; ++j) sum += e[j] = std::exp(z[j] - m);
    return WdlProbs{e[0] / sum, e[1] / sum, e[2] / sum};
}

}  // namespace orvane::nnue
