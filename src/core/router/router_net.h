// Router networks of the RRT1-RRT4 files: small policy networks that give every legal move of
// a position a log-probability. 768 piece-square inputs from the side to move's view feed one
// or two hidden layers; a move is scored first by its (piece type, from-square) source and then
// by its destination among the moves of that source, with hand-made tactical flags added to
// both logits. A loaded network is immutable and shared read-only by every searcher's policy;
// scratch space lives per thread, so log_probs may run on several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"

namespace orvane::router {

inline constexpr int INPUTS = 768;             // (own 0 / enemy 384) + piece type x 64 + square
inline constexpr int SOURCES = 384;            // piece type x 64 + square
inline constexpr int MOVE_BIAS_SIZE = 24'576;  // (piece type x 64 + from) x 64 + to
inline constexpr int PROMO_KINDS = 5;          // none, knight, bishop, rook, queen
inline constexpr int MOVE_FLAGS = 18;
inline constexpr int SOURCE_FLAGS = 8;
inline constexpr std::uint32_t MAX_HIDDEN = 4096;
// Router files are refused beyond this length before they are read: the largest RRT1-RRT4
// network (4096 x 4096 hidden) takes about 80 MB, and RRT5 networks stay far below it unless
// their experts are thousands of units wide.
inline constexpr std::uint64_t MAX_FILE_BYTES = std::uint64_t{256} << 20;

// RRT2 files store only the first flags of each piece type's group.
inline constexpr int RRT2_MOVE_FLAGS = 11;
inline constexpr int RRT2_SOURCE_FLAGS = 4;

// Move-flag bits, computed on the real board. "Attacked" means by the opponent of the mover;
// the destination is tested on the occupancy without the mover's from-square.
inline constexpr int MF_CAPTURE = 0;  // + captured type 0..4 (en passant = pawn)
inline constexpr int MF_CHECK = 5;
inline constexpr int MF_SEE_LOSS = 6;  // not castling and fails see_ge(move, 0)
inline constexpr int MF_TO_ATTACKED = 7;
inline constexpr int MF_TO_PAWN_ATTACKED = 8;
inline constexpr int MF_CASTLE = 9;
inline constexpr int MF_FROM_ATTACKED = 10;
inline constexpr int MF_PROMOTION = 11;
inline constexpr int MF_SEE_GAIN = 12;     // promotion or sound capture, and see_ge(move, 1)
inline constexpr int MF_ESCAPE_PAWN = 13;  // a piece leaves a pawn attack for a square free of one
inline constexpr int MF_ESCAPE = 14;       // from an attacked square to an unattacked one
inline constexpr int MF_THREAT = 15;       // the moved piece attacks an enemy piece afterwards
inline constexpr int MF_PASSED = 16;       // pawn move to a passed pawn's square
inline constexpr int MF_ADVANCED = 17;     // pawn move to the sixth rank or beyond

// Source-flag bits of a from-square, gathered from the move flags of its moves.
inline constexpr int SF_ATTACKED = 0;
inline constexpr int SF_PAWN_ATTACKED = 1;  // not a pawn, attacked by an enemy pawn
inline constexpr int SF_GOOD_CAPTURE = 2;
inline constexpr int SF_CHECK = 3;
inline constexpr int SF_HANGING = 4;  // attacked and not defended
inline constexpr int SF_SEE_GAIN = 5;
inline constexpr int SF_SEVENTH_PAWN = 6;
inline constexpr int SF_CASTLE = 7;

// A loader's message for a file that cannot be used.
struct LoadError {
    std::string message;
};

// The 18 move-flag bits of every move and the 8 source-flag bits of every from-square
// (indexed by the real, unmirrored square; squares without moves get 0).
void compute_flags(const Position& pos, std::span<const Move> moves, std::uint32_t* move_flags,
                   std::array<std::uint8_t, 64>& source_flags);

// The start value and step of the generator behind freshly initialised networks.
struct XorShift64 {
    std::uint64_t state = 1;
    // Uniform in [-1, 1).
    float next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return 2.0f * static_cast<float>(state >> 40) / 16'777'216.0f - 1.0f;
    }
};

struct RouterNet;
using LoadResult = std::variant<std::shared_ptr<const RouterNet>, LoadError>;

// The weights in the order of the file. g = h2 when h2 > 0, else h1.
struct RouterNet {
    std::vector<float> w1;                   // 768 x h1, a row per input feature
    std::vector<float> b1;                   // h1
    std::vector<float> source_weights;       // 384 x g
    std::vector<float> source_bias;          // 384
    std::vector<float> dest_weights;         // 384 x g, a row per (piece type, to)
    std::vector<float> move_bias;            // 24,576
    std::vector<float> promo_bias;           // 5
    std::vector<float> move_flag_weights;    // 6 x 18
    std::vector<float> source_flag_weights;  // 6 x 8
    std::vector<float> w2;                   // h2 x h1, a row per second-layer unit
    std::vector<float> b2;                   // h2
    std::vector<float> modulation;           // 384 x h2, a row per (piece type, from)
    std::uint32_t h1 = 0;
    std::uint32_t h2 = 0;  // 0: one hidden layer
    float scale = 1.0f;    // multiplies every logit
    bool screlu = true;    // first-layer activation: clamp(x, 0, 1)^2, else ReLU
    int version = 4;       // the file version it was read from (1..4)

    std::uint32_t trunk_size() const { return h2 > 0 ? h2 : h1; }

    static LoadResult from_bytes(std::span<const std::uint8_t> bytes);
    // A fresh network of the RRT4 layout (h2 > 0) or of the one-layer layout (h2 = 0).
    static RouterNet new_v4(std::uint32_t h1, std::uint32_t h2, std::uint64_t rng_state = 1);

    // One log-probability per move, in list order. `moves` are the legal moves of `pos` (at
    // least one, at most 256); `out` has room for them all. Allocates nothing once the
    // calling thread's scratch space has grown to this network's size.
    void log_probs(const Position& pos, std::span<const Move> moves, std::span<float> out) const;
    std::vector<float> log_probs(const Position& pos, std::span<const Move> moves) const;

    static float dot(std::span<const float> a, std::span<const float> b);
};

// Size in bytes of a file of this version (1..4) for these hidden sizes.
std::uint64_t expected_size(int version, std::uint32_t h1, std::uint32_t h2);

// The file image of `net` in version 1..4. Versions 1-3 need h2 = 0 and version 4 h2 > 0;
// RRT1 drops the flag weights and RRT2 keeps only the entries its layout has room for.
std::vector<std::uint8_t> serialise(const RouterNet& net, int version);

// Shared by both router kinds.

// The log-sum-exp of `values`, its maximum subtracted first.
float log_sum_exp(const float* values, int count);

// Moves grouped by from-square, in order of first appearance. A from-square holds one piece,
// so it also names the (piece type, from) source.
struct SourceGroups {
    std::uint8_t from[64];
    std::uint8_t of_move[MAX_MOVES];
    int count = 0;
};
void group_sources(std::span<const Move> moves, SourceGroups& groups);

// The two-level softmax: log P(move) = [its source's logit - log-sum-exp over the sources] +
// [its move logit - log-sum-exp over the moves of its source].
void two_level_log_softmax(const SourceGroups& groups, const float* source_logits,
                           const float* move_logits, std::span<float> out);

}  // namespace orvane::router
