// Training data for the network trainer: self-play game files (raw records or zstd-compressed)
// expanded into quiet positions, packed 32 bytes each, with the game they came from, the
// search score and the game result, both from the side to move's view. Positions the network
// should not learn from are dropped while loading: the side to move in check, a capture or
// promotion as the best move, scores beyond +-2000 (mate scores included), and the opening
// plies. The trainer owns the position vectors; nothing here is shared between threads
// except read-only.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "selfplay/game_record.h"
#include "core/board/position.h"
#include "core/tablebase/tablebase.h"

namespace orvane::train {

inline constexpr int MAX_SCORE = 2000;    // larger scores (and every mate score) are dropped
inline constexpr int FEATURES = 768;      // 2 sides x 6 kinds x 64 squares
inline constexpr int MAX_ACTIVE = 32;     // pieces on a legal board
inline constexpr int OUTPUT_BUCKETS = 8;  // by piece count, as the engine chooses them
inline constexpr int KING_BUCKETS = 8;    // by the own king's square, as the engine's

// A position packed for training. The pieces of the occupied squares, lowest square first,
// are 4-bit nibbles (low nibble first).
struct PackedPosition {
    Bitboard occupancy;
    std::uint8_t pieces[16];
    std::int16_t score;   // centipawns, side to move's view
    std::uint8_t result;  // side to move's view: 0 lost, 1 draw, 2 won
    Color side;
    std::uint32_t game;   // index of the game among everything loaded
};
static_assert(sizeof(PackedPosition) == 32);

PackedPosition pack(const Position& pos, int score, int result, std::uint32_t game);
Piece packed_piece(const PackedPosition& p, int index);
// The board as a FEN (no castling rights or en-passant square: the network does not see them).
std::string packed_fen(const PackedPosition& p);

// The network inputs of one position: the feature indices (0..767) of every piece from the
// side to move's perspective and from the other side's, and the output bucket.
struct Features {
    int count;
    int bucket;
    int us_king_bucket;    // the engine's king bucket (0..7) of each perspective
    int them_king_bucket;
    std::uint16_t us[MAX_ACTIVE];
    std::uint16_t them[MAX_ACTIVE];
};

// Index of a piece for one perspective: own pieces first, ranks flipped for black, files
// flipped when that perspective's own king stands on files e-h. It is the engine's row for
// king bucket 0 with the same mirror, so a trained block serves every king bucket.
int feature_index(Color perspective, Square own_king, Piece piece, Square sq);
void extract(const PackedPosition& p, Features& out);

// Counts of a load, for the progress report.
struct LoadStats {
    std::uint64_t games = 0;
    std::uint64_t corrupt_games = 0;   // a move in the record was illegal
    std::uint64_t scored_plies = 0;
    std::uint64_t kept = 0;
    std::uint64_t early = 0;           // before the first kept ply
    std::uint64_t in_check = 0;
    std::uint64_t noisy = 0;           // best move a capture or promotion
    std::uint64_t extreme = 0;         // |score| > MAX_SCORE
    std::uint64_t trailing_bytes = 0;  // not a whole record at the end of a file
    std::uint64_t relabelled_games = 0;  // result or length changed by the tables
    std::uint64_t cut_plies = 0;         // scored plies after the tables' first answer
    std::uint64_t dropped_games = 0;     // drawn with a bare king against a queen or rook
};

// How recorded results are read: as recorded, or mended (see selfplay/adjudication.h) with
// the tables when given.
struct LabelSource {
    bool relabel = true;
    const Tablebase* tables = nullptr;
};

// Which plies of a game are too early to learn from: the first `after_opening` searched plies
// after the random opening, and those before `from_start` counted from the start position (the
// rule of the networks up to gen4b, with 16, which dropped the first seven or so searched
// plies of every game). By default every searched ply is kept.
struct EarlyPlies {
    int after_opening = 0;
    int from_start = 0;
};

// Whether a sample of a game is kept for training; the reason is counted in `stats`.
bool keep_sample(const game_record::Sample& s, LoadStats& stats, const EarlyPlies& early = {});

// Appends the kept positions of every game in `bytes` (concatenated records) to `out`,
// numbering games from `next_game` on (a dropped game keeps its number).
void expand_games(std::span<const std::uint8_t> bytes, std::uint32_t& next_game,
                  std::vector<PackedPosition>& out, LoadStats& stats,
                  const LabelSource& labels = {}, const EarlyPlies& early = {});

// The whole content of a game file; names ending in ".zst" are decompressed through the
// `zstd -dc` command. An error is reported as a message in `error` and an empty result.
std::vector<std::uint8_t> read_game_file(const std::string& path, std::string& error);

// Splits positions into training and validation sets by whole games (positions of one
// game are too alike to judge each other), about `fraction` of the positions held out.
// Both sets come back shuffled.
struct Split {
    std::vector<PackedPosition> train;
    std::vector<PackedPosition> valid;
};
Split split_by_game(std::vector<PackedPosition> all, double fraction, std::mt19937_64& rng);

}  // namespace orvane::train
