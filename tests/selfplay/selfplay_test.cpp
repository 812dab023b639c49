// Self-play games and their labels: what the tables decide for a position, which drawn games
// are dropped, relabelled real records against the tables and their own search scores, and
// the game loop's endings, determinism and stop.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/board/movegen.h"
#include "support/position_helpers.h"
#include "selfplay/adjudication.h"
#include "selfplay/game_player.h"
#include "syzygy/syzygy.h"
#include "train/dataset.h"

namespace orvane::selfplay {
namespace {

using game_record::Result;

std::shared_ptr<Syzygy> tables() {
    static std::shared_ptr<Syzygy> loaded = [] {
        SyzygyLoad load = Syzygy::load("../shared/syzygy");
        if (auto* e = std::get_if<SyzygyError>(&load)) {
            ADD_FAILURE() << e->message;
            return std::shared_ptr<Syzygy>();
        }
        return std::get<std::shared_ptr<Syzygy>>(load);
    }();
    return loaded;
}

struct VerdictCase {
    std::string_view name, fen;
    std::optional<Result> result;
};

constexpr VerdictCase VERDICTS[] = {
    {"queen_wins_for_white", "8/8/8/2k5/8/8/8/3QK3 w - - 0 1", Result::WHITE_WIN},
    {"queen_wins_with_black_to_move", "8/8/8/2k5/8/8/8/3QK3 b - - 0 1", Result::WHITE_WIN},
    {"black_rook_wins", "8/8/8/3k4/8/8/3r4/6K1 w - - 0 1", Result::BLACK_WIN},
    {"rook_against_rook_draws", "8/8/3k4/3r4/8/8/3R4/3K4 w - - 0 1", Result::DRAW},
    {"bare_kings_draw", "8/8/3k4/8/8/8/8/3K4 b - - 0 1", Result::DRAW},
    {"a_move_since_the_capture", "8/8/8/2k5/8/8/8/3QK3 w - - 3 40", std::nullopt},
    {"six_pieces", "8/8/3k4/3rp3/8/8/3RP3/3K4 w - - 0 1", std::nullopt},
    {"castling_rights", "4k3/8/8/8/8/8/8/R3K3 w Q - 0 1", std::nullopt},
    {"five_pieces_without_a_table", "8/8/3k4/3q4/8/8/3Q4/3KP3 w - - 0 1", std::nullopt},
};

class TablebaseVerdict : public testing::TestWithParam<VerdictCase> {};

TEST_P(TablebaseVerdict, IsTheGameResultFromWhitesView) {
    ASSERT_TRUE(tables());
    const VerdictCase& c = GetParam();
    EXPECT_EQ(tablebase_result(from_fen(c.fen), *tables()), c.result) << c.fen;
}

INSTANTIATE_TEST_SUITE_P(Positions, TablebaseVerdict, testing::ValuesIn(VERDICTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BareKing, AgainstAQueenOrRookOnly) {
    const std::pair<std::string_view, bool> cases[] = {
        {"8/8/2k5/8/8/8/8/3QK3 w - - 0 1", true},
        {"8/8/3k4/8/8/8/1PP5/3RK3 b - - 0 1", true},
        {"3qk3/8/8/8/8/8/8/3K4 w - - 0 1", true},
        {"8/8/3k4/8/8/8/8/2BNK3 w - - 0 1", false},
        {"8/8/2k5/2p5/8/8/8/3QK3 w - - 0 1", false},
        {"8/8/3k4/8/8/8/8/3K4 w - - 0 1", false},
    };
    for (const auto& [fen, expected] : cases)
        EXPECT_EQ(bare_king_against_major(from_fen(fen)), expected) << fen;
}

// Scores from White's view, one a ply from ply 70 on; the verdict after the last one.
TEST(ScoreAdjudication, NeedsOneSideAheadThroughTheWholeStreak) {
    using Verdict = ScoreAdjudicator::Verdict;
    struct Case {
        std::vector<int> scores;
        Verdict verdict;
    };
    const Case cases[] = {
        {{2000, 2100, 2500, 2000}, Verdict::WHITE_WIN},
        {{-2000, -3000, -2500, -2001}, Verdict::BLACK_WIN},
        {{2000, 2100, -2500, -2000}, Verdict::NONE},  // a swing starts the streak again
        {{-2500, 2000, 2100, 2500}, Verdict::NONE},
        {{-2500, 2000, 2100, 2500, 2200}, Verdict::WHITE_WIN},
        {{2000, 2100, 1999, 2500}, Verdict::NONE},
        {{0, 5, -10, 10, 0, 3, -3, 0, 1, 2}, Verdict::DRAW},
        {{0, 5, -10, 11, 0, 3, -3, 0, 1, 2}, Verdict::NONE},
    };
    for (const Case& c : cases) {
        ScoreAdjudicator a(WIN_SCORE, WIN_PLIES, DRAW_SCORE, DRAW_PLIES, DRAW_MIN_PLY);
        Verdict v = Verdict::NONE;
        for (std::size_t i = 0; i < c.scores.size(); ++i) {
            ASSERT_EQ(v, Verdict::NONE) << "ended early at score " << i;
            v = a.add(c.scores[i], DRAW_MIN_PLY + int(i));
        }
        EXPECT_EQ(v, c.verdict) << testing::PrintToString(c.scores);
    }
    // No draw before the minimum ply.
    ScoreAdjudicator early(WIN_SCORE, WIN_PLIES, DRAW_SCORE, DRAW_PLIES, DRAW_MIN_PLY);
    for (int ply = DRAW_MIN_PLY - DRAW_PLIES; ply < DRAW_MIN_PLY; ++ply)
        EXPECT_EQ(early.add(0, ply), Verdict::NONE);
}

std::vector<game_record::Game> read_games(const std::string& path) {
    std::string error;
    const std::vector<std::uint8_t> bytes = train::read_game_file(path, error);
    EXPECT_EQ(error, "");
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::vector<game_record::Game> games;
    while (std::optional<game_record::Game> g = game_record::read(in)) games.push_back(*g);
    return games;
}

// The position before scored ply `plies` of a game.
Position replayed(const game_record::Game& game, std::size_t plies) {
    Position pos = Position::startpos();
    for (Move m : game.opening) pos.make_move(m);
    for (std::size_t i = 0; i < plies; ++i) pos.make_move(game.plies[i].move);
    return pos;
}

// Real records made without tables: every game the tables decide ends at the first position
// they answer, with their result; the engine's own last score agrees with a decisive verdict
// in nearly every game (a colour mix-up would turn that around).
TEST(Relabel, RealRecordsEndAtTheTablesFirstAnswer) {
    ASSERT_TRUE(tables());
    const std::vector<game_record::Game> games = read_games("data/gen2_nnue_a.bin.zst");
    ASSERT_GT(games.size(), 4000u);
    int decided = 0, decisive = 0, agreeing = 0, dropped = 0, flipped_draws = 0;
    for (const game_record::Game& game : games) {
        const std::optional<Labels> labels = relabel(game, tables().get());
        if (!labels) {
            ++dropped;
            EXPECT_EQ(game.result, Result::DRAW);
            continue;
        }
        if (!labels->changed) {
            EXPECT_EQ(labels->result, game.result);
            EXPECT_EQ(labels->scored_plies, game.plies.size());
            continue;
        }
        ++decided;
        ASSERT_LE(labels->scored_plies, game.plies.size());
        const Position end = replayed(game, labels->scored_plies);
        EXPECT_EQ(tablebase_result(end, *tables()), labels->result) << end.to_fen();
        if (labels->scored_plies > 0) {
            // The position before is not one the tables answer.
            const Position before = replayed(game, labels->scored_plies - 1);
            EXPECT_FALSE(tablebase_result(before, *tables())) << before.to_fen();
        }
        flipped_draws += game.result == Result::DRAW && labels->result != Result::DRAW;
        if (labels->result == Result::DRAW || labels->scored_plies == 0) continue;
        const game_record::ScoredPly& last = game.plies[labels->scored_plies - 1];
        const Color mover = end.side() ^ 1;
        const int white_score = mover == WHITE ? last.score : -last.score;
        if (std::abs(white_score) < 300) continue;
        ++decisive;
        agreeing += (white_score > 0) == (labels->result == Result::WHITE_WIN);
    }
    EXPECT_GT(decided, 200);
    EXPECT_GT(flipped_draws, 50);
    EXPECT_LT(dropped, 50);
    ASSERT_GT(decisive, 100);
    EXPECT_GT(agreeing, decisive * 9 / 10);
}

// The loader applies the same labels: every position of a mended game carries its result.
TEST(Relabel, TheTrainerLoadsTheMendedResults) {
    ASSERT_TRUE(tables());
    const std::vector<game_record::Game> games = read_games("data/gen2_nnue_a.bin.zst");
    std::string error;
    const std::vector<std::uint8_t> bytes =
        train::read_game_file("data/gen2_nnue_a.bin.zst", error);
    std::vector<train::PackedPosition> mended, recorded;
    train::LoadStats mended_stats, recorded_stats;
    std::uint32_t first = 0, second = 0;
    train::expand_games(bytes, first, mended, mended_stats, {true, tables().get()});
    train::expand_games(bytes, second, recorded, recorded_stats, {false, nullptr});
    EXPECT_GT(mended_stats.relabelled_games, 0u);
    EXPECT_GT(mended_stats.cut_plies, 0u);
    EXPECT_EQ(recorded_stats.relabelled_games + recorded_stats.cut_plies, 0u);
    EXPECT_LT(mended.size(), recorded.size());
    for (const train::PackedPosition& p : mended) {
        const std::optional<Labels> labels = relabel(games.at(p.game), tables().get());
        ASSERT_TRUE(labels);
        const int white = static_cast<int>(labels->result);
        ASSERT_EQ(p.result, p.side == WHITE ? white : 2 - white) << train::packed_fen(p);
    }
}

// Games of the loop, with tables and with few nodes: each ending is what its final position
// says; the same games played without tables show that the tables end a game at the first
// position they answer and change nothing before it; the same generator start plays the same
// game.
TEST(GamePlayer, EndingsMatchTheFinalPositionAndGamesRepeat) {
    ASSERT_TRUE(tables());
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Settings settings;
    settings.soft_nodes = 400;
    settings.table_mb = 1;
    Settings with_tables = settings;
    with_tables.tablebase = tables();
    GamePlayer<PstEval> player(PstEval{}, with_tables, 7, stop);
    GamePlayer<PstEval> without_tables(PstEval{}, settings, 7, stop);
    int played = 0, by_tables = 0;
    for (int n = 0; n < 12; ++n) {
        const std::optional<PlayedGame> game = player.play(8 + n % 2);
        const std::optional<PlayedGame> alone = without_tables.play(8 + n % 2);
        ASSERT_EQ(game.has_value(), alone.has_value());
        if (!game) continue;
        ++played;
        const game_record::Game& g = game->record;
        ASSERT_EQ(g.opening.size(), static_cast<std::size_t>(8 + n % 2));
        const Position end = replayed(g, g.plies.size());
        MoveList legal;
        movegen::generate_all(end, legal);
        switch (game->ending) {
        case Ending::RULES:
            if (legal.empty() && end.in_check())
                EXPECT_EQ(g.result, end.side() == WHITE ? Result::BLACK_WIN : Result::WHITE_WIN);
            else
                EXPECT_EQ(g.result, Result::DRAW) << end.to_fen();
            break;
        case Ending::TABLEBASE:
            ++by_tables;
            EXPECT_EQ(tablebase_result(end, *tables()), g.result) << end.to_fen();
            break;
        case Ending::WIN_ADJUDICATED: {
            ASSERT_GE(g.plies.size(), static_cast<std::size_t>(WIN_PLIES));
            const int last = g.plies.back().score;
            EXPECT_GE(std::abs(last), WIN_SCORE);
            const Color mover = end.side() ^ 1;
            EXPECT_EQ(g.result, (last > 0) == (mover == WHITE) ? Result::WHITE_WIN
                                                               : Result::BLACK_WIN);
            break;
        }
        case Ending::DRAW_ADJUDICATED:
        case Ending::LENGTH: EXPECT_EQ(g.result, Result::DRAW); break;
        }
        // Before the end, no position was one the tables answer.
        for (std::size_t i = 0; i < g.plies.size(); ++i)
            ASSERT_FALSE(tablebase_result(replayed(g, i), *tables()));

        // Without tables the game is the same up to that point, and goes on only where the
        // tables ended it.
        const game_record::Game& h = alone->record;
        EXPECT_EQ(h.opening, g.opening);
        ASSERT_GE(h.plies.size(), g.plies.size());
        for (std::size_t i = 0; i < g.plies.size(); ++i) ASSERT_EQ(h.plies[i].move, g.plies[i].move);
        if (game->ending == Ending::TABLEBASE) {
            EXPECT_GT(h.plies.size(), g.plies.size());
        } else {
            EXPECT_EQ(h.plies.size(), g.plies.size());
            EXPECT_EQ(alone->ending, game->ending);
            EXPECT_EQ(h.result, g.result);
        }
    }
    EXPECT_GE(played, 8);
    // This generator start's games reach endings the tables know (two of the twelve when this
    // was written), so the checks above cover the tables' endings too.
    EXPECT_GT(by_tables, 0);

    GamePlayer<PstEval> first(PstEval{}, with_tables, 99, stop);
    GamePlayer<PstEval> second(PstEval{}, with_tables, 99, stop);
    const std::optional<PlayedGame> a = first.play(8), b = second.play(8);
    ASSERT_TRUE(a && b);
    ASSERT_FALSE(a->record.plies.empty());
    EXPECT_EQ(a->record.opening, b->record.opening);
    ASSERT_EQ(a->record.plies.size(), b->record.plies.size());
    for (std::size_t i = 0; i < a->record.plies.size(); ++i)
        EXPECT_EQ(a->record.plies[i].move, b->record.plies[i].move);
    EXPECT_EQ(a->record.result, b->record.result);
    stop->store(true);
    EXPECT_FALSE(player.play(8));
}

}  // namespace
}  // namespace orvane::selfplay
