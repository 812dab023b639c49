#include "train/dataset.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "core/eval/nnue/nnue_eval.h"
#include "selfplay/adjudication.h"

namespace orvane::train {

PackedPosition pack(const Position& pos, int score, int result, std::uint32_t game) {
    PackedPosition p{};
    p.occupancy = pos.pieces();
    int n = 0;
    for (Bitboard b = p.occupancy; b; ++n) {
        const Piece piece = pos.piece_on(pop_lsb(b));
        p.pieces[n / 2] |= static_cast<std::uint8_t>(piece << (4 * (n % 2)));
    }
    p.score = static_cast<std::int16_t>(score);
    p.result = static_cast<std::uint8_t>(result);
    p.side = pos.side();
    p.game = game;
    return p;
}

Piece packed_piece(const PackedPosition& p, int index) {
    return static_cast<Piece>((p.pieces[index / 2] >> (4 * (index % 2))) & 15);
}

std::string packed_fen(const PackedPosition& p) {
    std::array<Piece, 64> board;
    board.fill(NO_PIECE);
    int n = 0;
    for (Bitboard b = p.occupancy; b; ++n) board[pop_lsb(b)] = packed_piece(p, n);
    return fen_placement(board) + (p.side == WHITE ? " w - - 0 1" : " b - - 0 1");
}

int feature_index(Color perspective, Square own_king, Piece piece, Square sq) {
    const std::uint8_t mirror = file_of(own_king) >= 4 ? 1 : 0;
    return nnue::feature_row(perspective, mirror, piece, sq);
}

void extract(const PackedPosition& p, Features& out) {
    Square kings[2] = {NO_SQUARE, NO_SQUARE};
    int n = 0;
    for (Bitboard b = p.occupancy; b; ++n) {
        const Square sq = pop_lsb(b);
        const Piece piece = packed_piece(p, n);
        if (kind_of(piece) == KING) kings[color_of(piece)] = sq;
    }
    const Color us = p.side, them = p.side ^ 1;
    n = 0;
    for (Bitboard b = p.occupancy; b; ++n) {
        const Square sq = pop_lsb(b);
        const Piece piece = packed_piece(p, n);
        out.us[n] = static_cast<std::uint16_t>(feature_index(us, kings[us], piece, sq));
        out.them[n] = static_cast<std::uint16_t>(feature_index(them, kings[them], piece, sq));
    }
    out.count = n;
    out.bucket = nnue::output_bucket(OUTPUT_BUCKETS, n);
    out.us_king_bucket = nnue::king_key(KING_BUCKETS, us, kings[us]) >> 1;
    out.them_king_bucket = nnue::king_key(KING_BUCKETS, them, kings[them]) >> 1;
}

bool keep_sample(const game_record::Sample& s, LoadStats& stats, const EarlyPlies& early) {
    if (s.searched_ply < early.after_opening || s.ply < early.from_start) {
        ++stats.early;
        return false;
    }
    if (s.position.in_check()) {
        ++stats.in_check;
        return false;
    }
    if (is_capture(s.move) || is_promotion(s.move)) {
        ++stats.noisy;
        return false;
    }
    if (s.score > MAX_SCORE || s.score < -MAX_SCORE) {
        ++stats.extreme;
        return false;
    }
    return true;
}

void expand_games(std::span<const std::uint8_t> bytes, std::uint32_t& next_game,
                  std::vector<PackedPosition>& out, LoadStats& stats, const LabelSource& labels,
                  const EarlyPlies& early) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::uint64_t consumed = 0;
    while (std::optional<game_record::Game> game = game_record::read(in)) {
        consumed = static_cast<std::uint64_t>(in.tellg());
        const std::uint32_t index = next_game++;
        ++stats.games;
        if (labels.relabel) {
            const std::optional<selfplay::Labels> mended = selfplay::relabel(*game, labels.tables);
            if (!mended) {
                // Either an illegal move (counted below by the replay) or a game to drop.
                if (game_record::replay(*game, [](const game_record::Sample&) {})) {
                    ++stats.dropped_games;
                    continue;
                }
            } else {
                stats.relabelled_games += mended->changed ? 1 : 0;
                stats.cut_plies += game->plies.size() - mended->scored_plies;
                game->result = mended->result;
                game->plies.resize(mended->scored_plies);
            }
        }
        const std::size_t before = out.size();
        LoadStats counts;
        const bool legal = game_record::replay(*game, [&](const game_record::Sample& s) {
            ++counts.scored_plies;
            if (!keep_sample(s, counts, early)) return;
            const int white_result = static_cast<int>(s.result);  // 0 black won .. 2 white won
            const int result = s.position.side() == WHITE ? white_result : 2 - white_result;
            out.push_back(pack(s.position, s.score, result, index));
        });
        if (!legal) {
            // A corrupt record: none of its positions can be trusted.
            out.resize(before);
            ++stats.corrupt_games;
            continue;
        }
        stats.scored_plies += counts.scored_plies;
        stats.early += counts.early;
        stats.in_check += counts.in_check;
        stats.noisy += counts.noisy;
        stats.extreme += counts.extreme;
        stats.kept += out.size() - before;
    }
    stats.trailing_bytes += bytes.size() - consumed;
}

namespace {

// Single quotes around a path for the shell, with embedded quotes escaped.
std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

std::vector<std::uint8_t> read_game_file(const std::string& path, std::string& error) {
    error.clear();
    std::vector<std::uint8_t> bytes;
    if (!path.ends_with(".zst")) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot open " + path;
            return {};
        }
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) error = "cannot read " + path;
        return error.empty() ? bytes : std::vector<std::uint8_t>{};
    }
    // The file must exist before the shell sees it, or zstd's message is all one gets.
    if (!std::ifstream(path)) {
        error = "cannot open " + path;
        return {};
    }
    const std::string command = "zstd -dc -- " + shell_quote(path) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "cannot run zstd for " + path;
        return {};
    }
    std::uint8_t buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + n);
    const int status = pclose(pipe);
    // A damaged or truncated archive must not pass for a short one.
    if (status != 0) {
        error = "zstd could not decompress " + path + " (is zstd installed and the file whole?)";
        return {};
    }
    return bytes;
}

Split split_by_game(std::vector<PackedPosition> all, double fraction, std::mt19937_64& rng) {
    std::vector<std::uint32_t> games;
    {
        std::unordered_set<std::uint32_t> seen;
        for (const PackedPosition& p : all)
            if (seen.insert(p.game).second) games.push_back(p.game);
    }
    std::sort(games.begin(), games.end());
    std::shuffle(games.begin(), games.end(), rng);

    std::unordered_set<std::uint32_t> held_out;
    const auto wanted = static_cast<std::size_t>(fraction * static_cast<double>(all.size()));
    if (fraction > 0 && games.size() >= 2) {
        std::unordered_map<std::uint32_t, std::size_t> sizes;
        for (const PackedPosition& p : all) ++sizes[p.game];
        std::size_t taken = 0;
        // At least one game, never every game.
        for (std::size_t i = 0; i + 1 < games.size() && (taken < wanted || held_out.empty());
             ++i) {
            held_out.insert(games[i]);
            taken += sizes[games[i]];
        }
    }
    Split split;
    for (const PackedPosition& p : all)
        (held_out.count(p.game) ? split.valid : split.train).push_back(p);
    all = {};
    std::shuffle(split.train.begin(), split.train.end(), rng);
    std::shuffle(split.valid.begin(), split.valid.end(), rng);
    return split;
}

}  // namespace orvane::train
