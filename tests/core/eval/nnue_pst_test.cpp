// The generated network against the hand-written evaluation it reproduces (the build always
// writes it, whichever network the program embeds): positions from
// the opening book's real openings, continued by random play (captures, promotions, bare
// kings), scored incrementally along each game. The network computes the same sums; only
// the last digit may differ, because its output passes two truncating divisions (by 255,
// then by 40.8) where the hand-written score has one (by 24), and no fixed offset rounds
// both signs the same way. About one score in six differs by 1 cp; none by more.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/eval/pst_eval.h"
#include "core/board/movegen.h"
#include "core/eval/nnue/nnue_eval.h"
#include "support/position_helpers.h"

namespace orvane {
namespace {

constexpr const char* BOOK = "../shared/books/8moves_v3.pgn";
constexpr int BOOK_GAMES = 120;
constexpr int RANDOM_PLIES = 90;
// Largest difference in normal positions, and the share of them that may differ at all.
constexpr int TOLERANCE_CP = 1;
constexpr double MAX_DIFFERING_SHARE = 0.25;
// Normal: what the network is built for (raw phase at most 40, at most 10 pieces of a kind,
// and the bishop pair on both sides or neither while the raw phase exceeds 24).
constexpr int MAX_RAW_PHASE = 40;

// Read once; a missing or invalid file fails every test that needs it.
std::shared_ptr<const nnue::Network> pst_net() {
    static const std::shared_ptr<const nnue::Network> net = []() -> std::shared_ptr<const nnue::Network> {
        std::ifstream in(ORVANE_PST_NET, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        nnue::NetworkResult result = nnue::Network::from_bytes(bytes);
        if (auto* error = std::get_if<nnue::NetworkError>(&result)) {
            ADD_FAILURE() << ORVANE_PST_NET << ": " << error->message;
            return nullptr;
        }
        return std::get<std::shared_ptr<const nnue::Network>>(std::move(result));
    }();
    return net;
}

// A move in standard algebraic notation, matched against the legal moves.
std::optional<Move> parse_san(const Position& pos, std::string san) {
    while (!san.empty() && std::string_view("+#!?").find(san.back()) != std::string_view::npos)
        san.pop_back();
    MoveList list;
    movegen::generate_all(pos, list);
    if (san == "O-O" || san == "O-O-O") {
        const int kind = san == "O-O" ? KING_CASTLE : QUEEN_CASTLE;
        for (Move m : list)
            if (move_kind(m) == kind) return m;
        return std::nullopt;
    }
    int kind = PAWN, promo = -1;
    if (std::string_view("NBRQK").find(san[0]) != std::string_view::npos) {
        kind = static_cast<int>(std::string_view("PNBRQK").find(san[0]));
        san.erase(0, 1);
    }
    if (auto eq = san.find('='); eq != std::string::npos) {
        promo = static_cast<int>(std::string_view("PNBRQK").find(san[eq + 1]));
        san.erase(eq);
    }
    if (san.size() < 2) return std::nullopt;
    const int to = make_square(san[san.size() - 2] - 'a', san[san.size() - 1] - '1');
    std::string hint = san.substr(0, san.size() - 2);
    std::erase(hint, 'x');
    std::optional<Move> found;
    for (Move m : list) {
        const int from = move_from(m);
        if (move_to(m) != to || kind_of(pos.piece_on(from)) != kind) continue;
        if (is_promotion(m) != (promo >= 0) || (promo >= 0 && promoted_kind(m) != promo)) continue;
        bool fits = true;
        for (char c : hint)
            fits = fits && (c >= 'a' && c <= 'h' ? file_of(from) == c - 'a'
                                                 : rank_of(from) == c - '1');
        if (!fits) continue;
        if (found) return std::nullopt;
        found = m;
    }
    return found;
}

// The move lists of the first `count` games of a PGN file.
std::vector<std::vector<std::string>> read_games(const char* path, int count) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> games;
    std::vector<std::string> moves;
    std::string line;
    while (std::getline(in, line) && int(games.size()) < count) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') continue;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && line[i] == ' ') ++i;
            std::size_t j = line.find(' ', i);
            if (j == std::string::npos) j = line.size();
            std::string token = line.substr(i, j - i);
            i = j;
            if (token.empty()) continue;
            if (token == "1-0" || token == "0-1" || token == "1/2-1/2" || token == "*") {
                games.push_back(moves);
                moves.clear();
                continue;
            }
            if (auto dot = token.rfind('.'); dot != std::string::npos) token.erase(0, dot + 1);
            if (!token.empty()) moves.push_back(token);
        }
    }
    return games;
}

int raw_phase(const Position& pos) {
    return popcount(pos.kind(KNIGHT) | pos.kind(BISHOP)) + 2 * popcount(pos.kind(ROOK))
           + 4 * popcount(pos.kind(QUEEN));
}

bool is_normal(const Position& pos) {
    const int raw = raw_phase(pos);
    if (raw > MAX_RAW_PHASE) return false;
    for (Color c = WHITE; c <= BLACK; ++c) {
        for (int kind = KNIGHT; kind <= QUEEN; ++kind)
            if (popcount(pos.pieces(c, kind)) > 10) return false;
    }
    const bool white_pair = popcount(pos.pieces(WHITE, BISHOP)) > 1;
    const bool black_pair = popcount(pos.pieces(BLACK, BISHOP)) > 1;
    return raw <= eval::MAX_PHASE || white_pair == black_pair;
}

struct Stats {
    int positions = 0, normal = 0, differing = 0, max_normal_diff = 0, max_other_diff = 0;
    double sum_abs_diff = 0;
    std::string worst;

    void add(const Position& pos, int nnue, int pst) {
        const int diff = std::abs(nnue - pst);
        ++positions;
        sum_abs_diff += diff;
        differing += diff != 0;
        if (is_normal(pos)) {
            ++normal;
            if (diff > max_normal_diff) worst = pos.to_fen();
            max_normal_diff = std::max(max_normal_diff, diff);
        } else {
            max_other_diff = std::max(max_other_diff, diff);
        }
    }
};

TEST(NnuePst, GeneratedNetworkTracksHandWrittenEvaluation) {
    const auto games = read_games(BOOK, BOOK_GAMES);
    ASSERT_EQ(int(games.size()), BOOK_GAMES) << "cannot read " << BOOK;

    const auto net = pst_net();
    ASSERT_TRUE(net);
    nnue::NnueEval nnue(net);
    PstEval pst;
    Stats stats;
    std::mt19937_64 rng(20240607);
    for (const auto& game : games) {
        Position pos = Position::startpos();
        nnue.reset(pos);
        std::vector<Move> played;
        auto play = [&](Move m) {
            nnue.push_move(pos, m);
            pos.make_move(m);
            played.push_back(m);
            stats.add(pos, nnue.evaluate(pos), pst.evaluate(pos));
        };
        for (const std::string& san : game) {
            std::optional<Move> m = parse_san(pos, san);
            ASSERT_TRUE(m) << san << " in " << pos.to_fen();
            play(*m);
        }
        for (int ply = 0; ply < RANDOM_PLIES; ++ply) {
            MoveList list;
            movegen::generate_all(pos, list);
            if (list.empty() || nnue.ply() + 1 >= nnue::STACK_SIZE) break;
            play(list[static_cast<int>(rng() % list.size())]);
        }
        // A fresh start on the final position agrees with the incremental result.
        const int incremental = nnue.evaluate(pos);
        nnue.reset(pos);
        EXPECT_EQ(nnue.evaluate(pos), incremental) << pos.to_fen();
        while (!played.empty()) {
            pos.unmake_move(played.back());
            played.pop_back();
        }
    }

    std::printf("%d positions (%d normal): %d differ, mean |diff| %.3f cp, max %d cp in normal "
                "positions, %d cp in others\n",
                stats.positions, stats.normal, stats.differing,
                stats.sum_abs_diff / stats.positions, stats.max_normal_diff,
                stats.max_other_diff);
    EXPECT_GE(stats.positions, 5000);
    EXPECT_LE(stats.max_normal_diff, TOLERANCE_CP) << stats.worst;
    EXPECT_LE(stats.differing, MAX_DIFFERING_SHARE * stats.positions);
}

struct FenCase {
    std::string_view name, fen;
};

// Hand-picked positions: symmetric ones, bare kings, the phase cap, the bishop pair.
constexpr FenCase EXACT_CASES[] = {
    {"start", START_FEN},
    {"start_black", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"},
    {"bare_kings_centre", "8/8/3k4/8/4K3/8/8/8 w - - 0 1"},
    {"bare_kings_corner", "7k/8/8/8/8/8/8/K7 b - - 0 1"},
    {"bishop_pair_only_white", "4k3/pppppppp/8/8/8/8/PPPPPPPP/2B1KB2 w - - 0 1"},
    {"rook_endgame", "8/5pk1/6p1/8/3R4/6P1/5PK1/r7 w - - 0 1"},
    {"queen_vs_rook", "8/8/4k3/8/8/3QK3/8/7r b - - 0 1"},
    {"kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"},
    {"extra_queens", "1q2k1q1/pppppp2/8/8/8/8/PPPPPPPP/RNBQKBNR w KQ - 0 1"},
    {"phase_capped", "rnbqkbnr/pppppppp/8/8/8/8/1PPPPPPP/QNBQKBNR w Kkq - 0 1"},
};

class NnuePstExact : public testing::TestWithParam<FenCase> {};

TEST_P(NnuePstExact, MatchesWithinTolerance) {
    Position pos = from_fen(GetParam().fen);
    const auto net = pst_net();
    ASSERT_TRUE(net);
    nnue::NnueEval nnue(net);
    nnue.reset(pos);
    EXPECT_NEAR(nnue.evaluate(pos), PstEval().evaluate(pos), TOLERANCE_CP);
}

INSTANTIATE_TEST_SUITE_P(Positions, NnuePstExact, testing::ValuesIn(EXACT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NnuePst, StartPositionIsLevelAndTheHeadFavoursTheStrongerSide) {
    const auto net = pst_net();
    ASSERT_TRUE(net);
    nnue::NnueEval nnue(net);
    Position start = Position::startpos();
    nnue.reset(start);
    EXPECT_EQ(nnue.evaluate(start), 0);
    std::optional<WdlProbs> level = nnue.wdl(start);
    ASSERT_TRUE(level);
    EXPECT_NEAR(level->win, level->loss, 1e-6);
    EXPECT_GT(level->draw, level->win);

    // White is a queen up; from Black's side the same position is lost.
    Position up = from_fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    std::optional<WdlProbs> white = nnue.wdl(up);
    Position black_to_move = from_fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    std::optional<WdlProbs> black = nnue.wdl(black_to_move);
    ASSERT_TRUE(white && black);
    EXPECT_GT(white->win, 0.95f);
    EXPECT_LT(white->loss, 0.001f);
    EXPECT_NEAR(black->loss, white->win, 1e-6);
}

}  // namespace
}  // namespace orvane
