// NnueEval: the Evaluator over a shared Network. It keeps a stack of accumulator entries
// that follows the search's push/make and unmake/pop sequence; push_move only records which
// pieces appear and disappear, and the accumulators are brought up to date lazily, when a
// position is evaluated, from the nearest computed ancestor. When a perspective's king key
// changed on the way, a per-perspective, per-key refresh cache (only with more than one king
// bucket) stands in for a rebuild from scratch. Each search thread owns its own NnueEval;
// copies copy the stack and the cache and share the network. Nothing allocates after
// construction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/eval/evaluator.h"
#include "core/eval/nnue/network.h"
#include "core/eval/nnue/simd.h"

namespace orvane::nnue {

inline constexpr int STACK_SIZE = 136;  // the search's 128 plies and some room
inline constexpr int OUTPUT_SCALE = 400;
inline constexpr int OUTPUT_DIVISOR = 16320;  // 255 x 64
inline constexpr int ACTIVATION_MAX = 255;

// One perspective's accumulator: feature biases plus the rows of every piece on the board.
struct alignas(ALIGNMENT) Acc {
    std::int16_t v[HIDDEN];
};

// King key of a perspective: 2 x king bucket + mirror (own king on files e-h). Keys are
// always 0 with one king bucket.
using KingKeys = std::array<std::uint8_t, 2>;  // white perspective, black perspective
std::uint8_t king_key(int king_buckets, Color perspective, Square king);
KingKeys king_keys(int king_buckets, const Position& pos);

// The weight row of a piece on a square for a perspective with the given king key: the
// perspective's own pieces first, ranks flipped for black, files flipped when mirrored.
inline int feature_row(Color perspective, std::uint8_t key, Piece piece, Square sq) {
    int s = sq ^ (perspective == BLACK ? 56 : 0) ^ ((key & 1) ? 7 : 0);
    int side = color_of(piece) == perspective ? 0 : 384;
    return (key >> 1) * INPUTS + side + kind_of(piece) * 64 + s;
}

// Output bucket by the number of pieces on the board, kings included.
inline int output_bucket(int output_buckets, int pieces) {
    if (output_buckets == 1) return 0;
    int per_bucket = (32 + output_buckets - 1) / output_buckets;
    int b = (pieces > 2 ? pieces - 2 : 0) / per_bucket;
    return b < output_buckets - 1 ? b : output_buckets - 1;
}

class NnueEval {
public:
    explicit NnueEval(std::shared_ptr<const Network> net,
                      simd::Path path = simd::best_path());

    void reset(const Position& pos);
    void push_move(const Position& pos, Move m);
    void pop_move();
    int evaluate(const Position& pos);
    std::optional<WdlProbs> wdl(const Position& pos) const;

    // Both accumulators from scratch with the position's king keys.
    void refresh(const Position& pos, Acc& white, Acc& black) const;

    const Network& network() const { return *net_; }
    std::shared_ptr<const Network> shared_network() const { return net_; }
    int ply() const { return index_; }

private:
    struct PieceSquare {
        Piece piece = NO_PIECE;
        Square square = NO_SQUARE;
    };
    struct alignas(ALIGNMENT) Entry {
        Acc acc[2];  // white perspective, black perspective
        std::uint64_t added_count = 0;
        std::uint64_t removed_count = 0;
        PieceSquare added[2];
        PieceSquare removed[2];
        KingKeys king_keys{};
        std::uint8_t computed[2]{};
    };
    // The accumulator of one perspective and key as it was last brought up to date, with
    // the piece sets it then matched.
    struct alignas(ALIGNMENT) CacheSlot {
        Acc acc;
        Bitboard pieces[2][6];
    };

    void refresh_perspective(const Position& pos, Color p, std::uint8_t key, Acc& out) const;
    void update_perspective(const Position& pos, Color p);
    void replay(Color p, int from);
    void refresh_from_cache(const Position& pos, Color p);
    std::int32_t output_sum(const Acc& us, const Acc& them, const std::int16_t* weights) const;

    std::shared_ptr<const Network> net_;
    const simd::Kernels* kernels_;
    AlignedArray<Entry> stack_;
    AlignedArray<CacheSlot> cache_;  // [perspective][key], empty with one king bucket
    int index_ = 0;
};

static_assert(Evaluator<NnueEval>);

}  // namespace orvane::nnue
