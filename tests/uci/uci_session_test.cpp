// Scripted UCI sessions against the real program: exact replies where the output is fixed,
// the info-line grammar and legality of every printed move where it depends on the search,
// and the way a session ends (quit, end of input) with exit code 0 and a silent stderr.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/search/strength.h"
#include "uci/engine.h"
#include "support/bench_signature.h"
#include "uci/engine_process.h"

namespace {

using namespace std::chrono_literals;
using orvane::Move;
using orvane::MoveList;
using orvane::from_fen;
using orvane::Position;
using orvane::testing::BestMove;
using orvane::testing::EngineProcess;
using orvane::testing::HANG_LIMIT;
using orvane::testing::InfoLine;
using orvane::testing::is_legal_line;
using orvane::testing::parse_bestmove;
using orvane::testing::parse_info;

const std::string BANNER = std::string("Orvane 0.1.0 (") + ORVANE_BUILD_LEVEL + ")";
constexpr const char* START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr const char* KIWIPETE =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

const std::vector<std::string> UCI_REPLY = {
    "id name Orvane 0.1.0",
    "id author the Orvane authors",
    "option name Hash type spin default 16 min 1 max 262144",
    "option name Clear Hash type button",
    "option name Threads type spin default 1 min 1 max 256",
    "option name Move Overhead type spin default 10 min 0 max 5000",
    "option name PolicyMinDepth type spin default 0 min 0 max 64",
    "option name RouterFile type string default <empty>",
    "option name RouterPlies type spin default 2 min 0 max 8",
    "option name RouterReduce type spin default 6 min 0 max 100",
    "option name RouterOrder type check default false",
    "option name RouterMinDepth type spin default 2 min 1 max 64",
    "option name RouterMode type combo default Delta var Delta var Replace",
    "option name RouterOrderBonus type spin default 0 min 0 max 10000",
    "option name RouterTopK type spin default 0 min 0 max 16",
    "option name SyzygyPath type string default <empty>",
    "option name UseNNUE type check default true",
    "option name EvalFile type string default <internal>",
    "option name MultiPV type spin default 1 min 1 max 256",
    "option name UCI_ShowWDL type check default false",
    "option name UCI_Chess960 type check default false",
    "option name GoalMoves type check default false",
    "option name ABDADA type check default false",
    "option name SMPMode type combo default Lazy var Lazy var YBWC var ABDADA",
    "option name SearchMode type combo default AB var AB var VOI var GumbelSH",
    "option name GumbelTemp type spin default 0 min 0 max 200",
    "option name Ponder type check default false",
    "option name UCI_LimitStrength type check default false",
    "option name UCI_Elo type spin default 3000 min 1320 max 3000",
    "uciok",
};

// What one search printed, checked line by line against the root position.
struct SearchOutput {
    std::vector<InfoLine> infos;
    std::vector<std::string> goal_lines;
    BestMove best;
};

// Every line before "bestmove" must be an info line (or, when `goals` is set, a goal-move
// line); every PV must be legal from `root`; "bestmove" must name a legal move, or "0000"
// exactly when the root has none, and its ponder move must be legal after it.
void check_search(const std::vector<std::string>& lines, const Position& root, SearchOutput& out,
                  bool goals = false) {
    ASSERT_FALSE(lines.empty()) << "the search printed nothing";
    const std::optional<BestMove> best = parse_bestmove(lines.back());
    ASSERT_TRUE(best) << "the search did not end with bestmove; last line: " << lines.back();
    out.best = *best;
    static const std::regex GOAL(
        R"(info string orvane (win|draw|lose) ([a-h][1-8][a-h][1-8][qrbn]?) )"
        R"(W(\d+)\.(\d) D(\d+)\.(\d) L(\d+)\.(\d))");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (goals && line.starts_with("info string orvane ")) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, GOAL)) << line;
            EXPECT_TRUE(is_legal_line(root, {m[2]})) << line;
            int permille = 0;
            for (int k : {3, 5, 7}) permille += std::stoi(m[k]) * 10 + std::stoi(m[k + 1]);
            EXPECT_EQ(permille, 1000) << line;
            out.goal_lines.push_back(line);
            continue;
        }
        const std::optional<InfoLine> info = parse_info(line);
        ASSERT_TRUE(info) << "not an info line: '" << line << "'";
        EXPECT_GE(info->depth, 1) << line;
        EXPECT_EQ(info->nps, info->nodes * 1000 / std::max<std::uint64_t>(info->time, 1)) << line;
        EXPECT_LE(info->hashfull, 1000u) << line;
        EXPECT_TRUE(is_legal_line(root, info->pv)) << "illegal PV: " << line;
        if (info->mate) {
            EXPECT_NE(info->score, 0) << line;
        }
        if (info->wdl) {
            EXPECT_TRUE(info->multipv) << "WDL output without the multipv index: " << line;
            EXPECT_EQ((*info->wdl)[0] + (*info->wdl)[1] + (*info->wdl)[2], 1000u) << line;
        }
        if (info->multipv) {
            EXPECT_GE(*info->multipv, 1) << line;
        }
        if (info->multipv == 1) {
            EXPECT_TRUE(info->wdl) << "multipv 1 printed without WDL: " << line;
        }
        out.infos.push_back(*info);
    }
    if (!orvane::testing::has_legal_move(root)) {
        EXPECT_EQ(best->best, "0000");
        EXPECT_FALSE(best->ponder);
        return;
    }
    ASSERT_TRUE(is_legal_line(root, {best->best})) << lines.back();
    if (best->ponder) {
        EXPECT_TRUE(is_legal_line(root, {best->best, *best->ponder})) << lines.back();
    }
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        const std::optional<std::string> banner = engine.read_line();
        ASSERT_TRUE(banner) << "no banner";
        ASSERT_EQ(*banner, BANNER);
    }

    // Every session ends with exit code 0, nothing left unread and nothing on stderr.
    void TearDown() override {
        if (!ended_) {
            engine.send("quit");
            const std::optional<int> code = engine.wait_exit();
            EXPECT_EQ(code, std::optional<int>(0)) << "signal " << engine.signal_number();
        }
        EXPECT_EQ(engine.pending_output(), "");
        EXPECT_EQ(orvane::testing::unexpected_errors(engine.error_text()), "");
    }

    // Sends the lines and returns what they printed (read up to the "readyok" of a following
    // "isready"); for commands that finish before the next line is read.
    std::vector<std::string> run(const std::vector<std::string>& lines) {
        for (const std::string& l : lines) engine.send(l);
        std::vector<std::string> out = engine.sync();
        EXPECT_TRUE(engine.synced_ok()) << "no readyok after " << ::testing::PrintToString(lines);
        return out;
    }

    std::string fen() {
        for (const std::string& line : run({"d"}))
            if (line.starts_with("FEN: ")) return line.substr(5);
        ADD_FAILURE() << "'d' printed no FEN line";
        return {};
    }

    // Sends the go command and returns its lines up to and including "bestmove", which must
    // come within `within`.
    std::vector<std::string> search_lines(const std::string& go,
                                          std::chrono::milliseconds within = HANG_LIMIT) {
        engine.send(go);
        std::vector<std::string> lines = engine.read_until_prefix_within("bestmove", within);
        EXPECT_FALSE(engine.timed_out()) << "no bestmove within " << within.count() << " ms after '"
                                         << go << "'";
        return lines;
    }

    SearchOutput search(const std::string& go, const Position& root, bool goals = false,
                        std::chrono::milliseconds within = HANG_LIMIT) {
        SearchOutput out;
        const std::vector<std::string> lines = search_lines(go, within);
        check_search(lines, root, out, goals);
        return out;
    }

    // Reads until the first info line of a running search.
    void wait_for_info() {
        const std::vector<std::string> lines = engine.read_until_prefix("info depth");
        ASSERT_FALSE(lines.empty());
        ASSERT_TRUE(lines.back().starts_with("info depth")) << lines.back();
    }

    EngineProcess engine;
    bool ended_ = false;
};

TEST_F(Session, UciPrintsIdentificationAndEveryOptionInOrder) {
    EXPECT_EQ(run({"uci"}), UCI_REPLY);
    // A second "uci" prints the same list.
    EXPECT_EQ(run({"uci"}), UCI_REPLY);
}

struct Exchange {
    std::string bytes;  // sent as they are: the test supplies line ends
    std::vector<std::string> reply;
};

TEST_F(Session, SmallCommandsAnswerExactly) {
    const std::string long_word(100'000, 'x');
    const std::vector<Exchange> table = {
        {"isready\n", {"readyok"}},
        {"isready\r\n", {"readyok"}},
        {"\t isready \t\r\n", {"readyok"}},
        {"\xC2\xA0isready\xE2\x80\x83\n", {"readyok"}},  // no-break space, em space
        {"\n", {}},
        {"   \n", {}},
        {"\t\t\r\n", {}},
        {"\r\n", {}},
        {"stop\n", {}},
        {"ucinewgame\n", {}},
        {"Quit\n", {"info string unknown command: Quit"}},
        {"UCI\n", {"info string unknown command: UCI"}},
        {"IsReady\n", {"info string unknown command: IsReady"}},
        {"  xyzzy   plugh\t\r\n", {"info string unknown command: xyzzy   plugh"}},
        {"quitnow\n", {"info string unknown command: quitnow"}},
        {"\xFF\xFE\n", {"info string unknown command: \xFF\xFE"}},
        {long_word + "\n", {"info string unknown command: " + long_word}},
        {"isready\nisready\n", {"readyok", "readyok"}},
    };
    for (const Exchange& e : table) {
        engine.send_raw(e.bytes);
        const std::vector<std::string> reply = engine.sync_by_echo();
        EXPECT_TRUE(reply == e.reply) << ::testing::PrintToString(e.bytes.substr(0, 60)) << " -> "
                                      << ::testing::PrintToString(reply).substr(0, 300);
    }
}

struct PositionCase {
    std::vector<std::string> commands;
    std::vector<std::string> reply;
    std::string fen;  // the position afterwards, as "d" prints it
};

TEST_F(Session, PositionCommandKeepsOrReplacesThePosition) {
    const std::string E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1";
    const std::string E4_NF3 = "rnbqkbnr/pppppppp/8/8/4P3/5N2/PPPP1PPP/RNBQKB1R b KQkq - 1 1";
    const std::string EXPECTED = "info string expected 'startpos' or 'fen'";
    const std::vector<PositionCase> table = {
        {{"position startpos moves e2e4 e2e4 g1f3"}, {"info string illegal move e2e4"}, E4},
        {{"position startpos moves e2e4", "position moves d2d4"}, {EXPECTED}, E4},
        {{"position startpos moves e2e4", "position foo"}, {EXPECTED}, E4},
        {{"position startpos moves e2e4", "position"}, {EXPECTED}, E4},
        {{"position startpos moves e2e4", "position moves"}, {EXPECTED}, E4},
        {{"position startpos moves e2e4", "position Startpos"}, {EXPECTED}, E4},
        {{"position startpos foo bar moves e2e4"}, {}, E4},
        {{"position startpos moves"}, {}, START_FEN},
        {{"position startpos moves e7e5"}, {"info string illegal move e7e5"}, START_FEN},
        {{"position startpos moves e2e4 g8f6x b8c6"}, {"info string illegal move g8f6x"}, E4},
        {{"position startpos moves E2E4"}, {"info string illegal move E2E4"}, START_FEN},
        {{"position startpos moves e2e4 0000"}, {"info string illegal move 0000"}, E4},
        {{"position startpos moves g1f3 g8f6 f3g1 f6g8"},
         {},
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 4 3"},
        {{"position startpos moves e2e4 e7e5 g1f3 b8c6 f1c4 g8f6 e1g1"},
         {},
         "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 b kq - 5 4"},
        {{"position fen " + std::string(START_FEN) + " moves e2e4 g8f6 e4e5 d7d5"},
         {},
         "rnbqkb1r/ppp1pppp/5n2/3pP3/8/8/PPPP1PPP/RNBQKBNR w KQkq d6 0 3"},
        {{"position fen 8/P7/8/8/8/8/8/k6K w - - 0 1 moves a7a8q"},
         {},
         "Q7/8/8/8/8/8/8/k6K b - - 0 1"},
        {{"position fen 8/P7/8/8/8/8/8/k6K w - - 0 1 moves a7a8n"},
         {},
         "N7/8/8/8/8/8/8/k6K b - - 0 1"},
        {{"position fen 8/P7/8/8/8/8/8/k6K w - - 0 1 moves a7a8"},
         {"info string illegal move a7a8"},
         "8/P7/8/8/8/8/8/k6K w - - 0 1"},
        {{"position fen   4k3/8/8/8/8/8/8/4K3   w   -   -  "}, {}, "4k3/8/8/8/8/8/8/4K3 w - - 0 1"},
        {{"position fen 4k3/8/8/8/8/8/8/4K3 b - - 12 40 moves e8d7"},
         {},
         "8/3k4/8/8/8/8/8/4K3 w - - 13 41"},
        {{"position fen " + std::string(KIWIPETE)}, {}, KIWIPETE},
        // The FEN part ends at the first "moves".
        {{"position fen 4k3/8/8/8/8/8/8/4K3 w - - 0 1 moves e1d1 moves"},
         {"info string illegal move moves"},
         "4k3/8/8/8/8/8/8/3K4 b - - 1 1"},
    };
    for (const PositionCase& c : table) {
        run({"position startpos"});
        std::vector<std::string> reply;
        for (const std::string& command : c.commands)
            for (const std::string& l : run({command})) reply.push_back(l);
        EXPECT_EQ(reply, c.reply) << ::testing::PrintToString(c.commands);
        EXPECT_EQ(fen(), c.fen) << ::testing::PrintToString(c.commands);
    }
    // "ucinewgame" goes back to the start position.
    run({"position startpos moves e2e4", "ucinewgame"});
    EXPECT_EQ(fen(), START_FEN);
}

TEST_F(Session, BadFenIsReportedAndChangesNothing) {
    const std::vector<std::string> bad = {
        "position fen",
        "position fen moves e2e4",
        "position fen 8/8/8/8/8/8/8/8 w - - 0 1",
        "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1",
        "position fen rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP w KQkq - 0 1",
        "position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNZ w KQkq - 0 1",
        "position fen hello world",
        "position fen \xFF\xFE\xFD",
    };
    const std::string before = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1";
    static const std::regex BAD_FEN(R"(info string bad FEN: .+)");
    for (const std::string& line : bad) {
        run({"position startpos moves e2e4"});
        const std::vector<std::string> reply = run({line});
        ASSERT_EQ(reply.size(), 1u) << line;
        EXPECT_TRUE(std::regex_match(reply[0], BAD_FEN)) << line << " -> " << reply[0];
        EXPECT_EQ(fen(), before) << line;
    }
}

// The divide lines in generator order, the empty line and the total line.
void check_perft(const std::vector<std::string>& reply, Position pos, int depth) {
    MoveList moves;
    orvane::movegen::generate_all(pos, moves);
    ASSERT_EQ(reply.size(), static_cast<std::size_t>(moves.size()) + 2);
    std::uint64_t total = 0;
    for (int i = 0; i < moves.size(); ++i) {
        pos.make_move(moves[i]);
        const std::uint64_t count = depth < 2 ? 1 : orvane::movegen::perft(pos, depth - 1);
        pos.unmake_move(moves[i]);
        total += count;
        EXPECT_EQ(reply[i], orvane::move_to_uci(moves[i]) + ": " + std::to_string(count));
    }
    EXPECT_EQ(reply[moves.size()], "");
    static const std::regex TOTAL(R"(Nodes searched: (\d+)  \((\d+) ms, (\d+) nps\))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(reply.back(), m, TOTAL)) << reply.back();
    EXPECT_EQ(std::stoull(m[1]), total);
    const std::uint64_t ms = std::stoull(m[2]);
    EXPECT_GE(ms, 1u);
    EXPECT_EQ(std::stoull(m[3]), total * 1000 / ms);
}

TEST_F(Session, PerftDividesTheCurrentPosition) {
    struct Case {
        std::string position, command;
        int depth;
    };
    const std::vector<Case> table = {
        {"position startpos", "perft", 1},
        {"position startpos", "perft 0", 1},
        {"position startpos", "perft abc", 1},
        {"position startpos", "perft -2", 1},
        {"position startpos", "perft 2", 2},
        {"position startpos", "perft +2 extra words", 2},
        {"position startpos", "go perft 2", 2},
        {"position startpos", "go perft", 1},
        {"position startpos", "go perft -3", 1},
        {"position startpos", "go perft x", 1},
        {"position startpos", "go depth 5 perft 1", 1},
        {"position startpos moves e2e4", "perft 3", 3},
        {"position fen " + std::string(KIWIPETE), "perft 2", 2},
        {"position fen 8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "go perft 3", 3},
        // No legal move: only the empty line and a total of 0.
        {"position fen 8/8/8/8/8/8/1qk5/K7 w - - 0 1", "perft 2", 2},
    };
    for (const Case& c : table) {
        run({c.position});
        const std::vector<std::string> reply = run({c.command});
        SCOPED_TRACE(c.position + " / " + c.command);
        const std::string fen_text = fen();
        check_perft(reply, from_fen(fen_text), c.depth);
        // Perft leaves the position as it was.
        EXPECT_EQ(fen(), fen_text);
    }
    // The start position's 20 moves, counted one each.
    run({"position startpos"});
    const std::vector<std::string> reply = run({"perft"});
    ASSERT_EQ(reply.size(), 22u);
    EXPECT_TRUE(reply.back().starts_with("Nodes searched: 20  (")) << reply.back();
}

TEST_F(Session, DepthLimitedSearchReportsEveryIteration) {
    struct Case {
        std::string fen;
        int depth;
    };
    const std::vector<Case> table = {
        {START_FEN, 1},
        {START_FEN, 5},
        {KIWIPETE, 4},
        {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 6},
        {"rnbqkbnr/pppp1ppp/8/4p3/6P1/5P2/PPPPP2P/RNBQKBNR b KQkq - 0 2", 3},  // mate in one
        {"4k3/8/8/8/8/8/8/4K3 b - - 0 1", 4},  // bare kings
        {"k7/8/1K6/8/8/8/8/7R b - - 0 1", 3},  // one legal move
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.fen + " depth " + std::to_string(c.depth));
        run({"ucinewgame", "position fen " + c.fen});
        const Position root = from_fen(c.fen);
        const SearchOutput out = search("go depth " + std::to_string(c.depth), root);
        ASSERT_EQ(out.infos.size(), static_cast<std::size_t>(c.depth));
        for (int d = 1; d <= c.depth; ++d) {
            const InfoLine& info = out.infos[d - 1];
            EXPECT_EQ(info.depth, d);
            EXPECT_FALSE(info.multipv);
            EXPECT_FALSE(info.wdl);
            EXPECT_FALSE(info.pv.empty());
            if (d > 1) {
                EXPECT_GE(info.nodes, out.infos[d - 2].nodes);
            }
        }
        // One thread: the move played is the last completed line's first move.
        const InfoLine& last = out.infos.back();
        EXPECT_EQ(out.best.best, last.pv[0]);
        if (last.pv.size() > 1)
            EXPECT_EQ(out.best.ponder, std::optional<std::string>(last.pv[1]));
        else
            EXPECT_FALSE(out.best.ponder);
    }
}

TEST_F(Session, MateScoresArePrintedInMoves) {
    struct Case {
        std::string fen;
        int depth;
        std::string score;  // of the last line
        std::string best;  // empty: any legal move
    };
    const std::vector<Case> table = {
        {"k7/8/1K6/8/8/8/8/7R w - - 0 1", 4, "mate 1", "h1h8"},
        {"K7/8/1k6/8/8/8/8/7r b - - 0 1", 4, "mate 1", "h1h8"},
        {"rnbqkbnr/pppp1ppp/8/4p3/6P1/5P2/PPPPP2P/RNBQKBNR b KQkq - 0 2", 3, "mate 1", "d8h4"},
        // Black's only move walks into mate.
        {"k7/8/1K6/8/8/8/8/7R b - - 0 1", 4, "mate -1", "a8b8"},
        // Mate in two: the king steps up, then the rook mates.
        {"7k/8/5K2/8/8/8/8/R7 w - - 0 1", 6, "mate 2", ""},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.fen);
        run({"ucinewgame", "position fen " + c.fen});
        const SearchOutput out =
            search("go depth " + std::to_string(c.depth), from_fen(c.fen));
        ASSERT_FALSE(out.infos.empty());
        const InfoLine& last = out.infos.back();
        EXPECT_EQ(std::string(last.mate ? "mate " : "cp ") + std::to_string(last.score), c.score);
        if (!c.best.empty()) {
            EXPECT_EQ(out.best.best, c.best);
        }
    }
}

TEST_F(Session, NoLegalMovePrintsNullBestmove) {
    const std::vector<std::string> positions = {
        "position fen 8/8/8/8/8/8/1qk5/K7 w - - 0 1",  // checkmate
        "position fen 8/8/8/8/8/1q6/2k5/K7 w - - 0 1",  // stalemate
        "position fen 7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",  // stalemate
        "position startpos moves f2f3 e7e5 g2g4 d8h4",  // fool's mate
        "position fen 7k/5Q2/6K1/8/8/8/8/8 w - - 0 1 moves f7f8",  // mate by the move
    };
    const std::vector<std::string> limits = {
        "go depth 1", "go depth 5", "go nodes 100", "go movetime 10", "go wtime 1000 btime 1000",
        "go"};
    for (const std::string& p : positions) {
        for (const std::string& go : limits) {
            SCOPED_TRACE(p + " / " + go);
            run({p});
            const std::vector<std::string> lines = search_lines(go);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), "bestmove 0000");
        }
        // Even with no move an infinite search waits for "stop".
        run({p});
        engine.send("go infinite");
        EXPECT_EQ(engine.sync(), std::vector<std::string>{});
        EXPECT_EQ(run({"stop"}), std::vector<std::string>{"bestmove 0000"});
    }
}

// What a limit promises with one thread: the iterations it allows (0: any number), and a
// node limit the completed iterations keep to within the 2048 nodes between two looks at the
// count (the first iteration always completes). Every search, clocks and movetime included,
// answers within ANSWER_LIMIT: a guard against hangs and gross overruns, not a speed test.
struct LimitCase {
    std::string go;
    int depth = 0;
    std::uint64_t nodes = 0;
};

constexpr std::chrono::milliseconds ANSWER_LIMIT{10'000};

TEST_F(Session, EachLimitKeepsItsPromise) {
    const std::vector<LimitCase> limits = {
        {"go nodes 500", 0, 500},
        {"go depth abc nodes 2000", 0, 2000},
        {"go nodes 20000", 0, 20000},
        {"go nodes 0", 1},  // nothing beyond the first iteration
        {"go nodes 1 depth 30", 1},
        {"go depth 0", 1},
        {"go depth -3", 1},
        {"go depth 1", 1},
        {"go nodes abc depth 2", 2},
        {"go wtime 99999999999999999999999 depth 2", 2},
        {"go depth 2 depth", 2},
        {"go searchmoves depth 2", 2},
        {"go movetime 200"},
        {"go movetime 50"},
        {"go movetime 0"},
        {"go movetime -5"},
        {"go wtime 2000 btime 2000"},
        {"go wtime 100 btime 100"},
        {"go wtime 50 winc 10 movestogo 1"},
        {"go wtime 0"},
        {"go wtime -100"},
        {"go movestogo 0 wtime 100"},
    };
    for (const std::string& f : {std::string(START_FEN), std::string(KIWIPETE)}) {
        for (const LimitCase& c : limits) {
            SCOPED_TRACE(f + " / " + c.go);
            run({"ucinewgame", "position fen " + f});
            const SearchOutput out = search(c.go, from_fen(f), false, ANSWER_LIMIT);
            ASSERT_FALSE(out.infos.empty());
            if (c.depth) {
                EXPECT_EQ(out.infos.size(), static_cast<std::size_t>(c.depth));
                EXPECT_EQ(out.infos.back().depth, c.depth);
            }
            if (c.nodes) {
                EXPECT_LE(out.infos.back().nodes, c.nodes + 2048);
            }
        }
    }
}

TEST_F(Session, ValueWordsAreAlsoReadAsKeywords) {
    // "go depth infinite": the depth is malformed, and "infinite" is then read as a keyword.
    for (const std::string go : {"go depth infinite", "go movetime infinite", "go nodes infinite"}) {
        SCOPED_TRACE(go);
        run({"position startpos"});
        engine.send(go);
        wait_for_info();
        std::vector<std::string> lines = engine.read_until(
            [](const std::string& l) { return l.starts_with("info depth 3") || l.starts_with("bestmove"); });
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back().starts_with("info depth 3")) << lines.back();
        engine.send("stop");
        SearchOutput out;
        check_search(engine.read_until_prefix("bestmove"), Position::startpos(), out);
    }
    // "go nodes depth 2": no node limit, depth 2.
    run({"position startpos"});
    const SearchOutput out = search("go nodes depth 2", Position::startpos());
    EXPECT_EQ(out.infos.size(), 2u);
}

TEST_F(Session, SearchmovesRestrictsTheRootMoves) {
    run({"position startpos"});
    const Position root = Position::startpos();
    SearchOutput out = search("go depth 4 searchmoves a2a3 h2h4", root);
    const std::set<std::string> allowed = {"a2a3", "h2h4"};
    EXPECT_TRUE(allowed.contains(out.best.best)) << out.best.best;
    for (const InfoLine& info : out.infos) EXPECT_TRUE(allowed.contains(info.pv[0])) << info.pv[0];

    // One allowed move; the list ends at the first word that is not a legal move.
    out = search("go searchmoves b1a3 e2e5 e2e4 depth 3", root);
    EXPECT_EQ(out.best.best, "b1a3");
    for (const InfoLine& info : out.infos) EXPECT_EQ(info.pv[0], "b1a3");
}

TEST_F(Session, InfiniteSearchAnswersIsreadyAndWaitsForStop) {
    run({"position startpos"});
    engine.send("go infinite");
    wait_for_info();
    // "isready" is answered while the search goes on; no bestmove comes before it.
    engine.send("isready");
    std::vector<std::string> lines = engine.read_until(
        [](const std::string& l) { return l == "readyok" || l.starts_with("bestmove"); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "readyok");
    // "d" and "uci" work during the search and do not stop it.
    engine.send("d");
    engine.send("uci");
    lines = engine.read_until(
        [](const std::string& l) { return l == "uciok" || l.starts_with("bestmove"); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "uciok");
    lines.clear();
    engine.send("stop");
    lines = engine.read_until_prefix("bestmove");
    SearchOutput out;
    check_search(lines, Position::startpos(), out);
    // Stopped once: a second "stop" prints nothing.
    EXPECT_EQ(run({"stop"}), std::vector<std::string>{});
}

TEST_F(Session, CommandsThatNeedThePoolStopTheSearchFirst) {
    // The stopped search prints its bestmove before anything the command prints, and the
    // command then takes effect as usual.
    const std::string e4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1";
    struct Case {
        std::string command, fen_after;
        std::size_t lines_after;  // what the command itself prints
    };
    const std::vector<Case> table = {
        {"position startpos moves e2e4", e4, 0},  {"ucinewgame", START_FEN, 0},
        {"go depth 1", START_FEN, 0},             {"setoption name MultiPV value 1", START_FEN, 0},
        {"eval", START_FEN, 1},                   {"perft 1", START_FEN, 22},
        {"setoption name Clear Hash", START_FEN, 0}, {"stop", START_FEN, 0}};
    for (const Case& c : table) {
        SCOPED_TRACE(c.command);
        run({"position startpos"});
        engine.send("go infinite");
        wait_for_info();
        engine.send(c.command);
        SearchOutput out;
        check_search(engine.read_until_prefix("bestmove"), Position::startpos(), out);
        if (c.command.starts_with("go")) {
            SearchOutput second;
            check_search(engine.read_until_prefix("bestmove"), Position::startpos(), second);
            EXPECT_EQ(second.infos.size(), 1u);
        }
        EXPECT_EQ(engine.sync().size(), c.lines_after);
        EXPECT_TRUE(engine.synced_ok());
        EXPECT_EQ(fen(), c.fen_after);
    }
}

TEST_F(Session, ClockOfTheSideNotToMoveIsIgnored) {
    // Black to move and only White's clock: no time limit, so the search goes on until
    // "stop"; a search that took White's millisecond would end after a few iterations.
    for (const std::string& p :
         {std::string("position startpos moves e2e4"), std::string("position startpos")}) {
        SCOPED_TRACE(p);
        run({p});
        const bool black = p.ends_with("e2e4");
        engine.send(black ? "go wtime 1 winc 0 movestogo 1" : "go btime 1 binc 0 movestogo 1");
        const std::vector<std::string> lines = engine.read_until([](const std::string& l) {
            const auto info = parse_info(l);
            return l.starts_with("bestmove") || (info && info->depth >= 5);
        });
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back().starts_with("info depth")) << lines.back();
        engine.send("stop");
        const std::vector<std::string> rest = engine.read_until_prefix("bestmove");
        ASSERT_FALSE(rest.empty());
        EXPECT_TRUE(rest.back().starts_with("bestmove "));
    }
    // The side to move's own clock does end the search by itself.
    run({"position startpos moves e2e4"});
    search("go btime 1 wtime 100000000",
           from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"));
}

TEST_F(Session, HandWrittenEvaluationIsReported) {
    static const std::regex EVAL(R"(hand-written eval \(side to move\): (-?\d+) cp)");
    run({"setoption name UseNNUE value false", "position startpos"});
    std::vector<std::string> reply = run({"eval"});
    ASSERT_EQ(reply.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(reply[0], m, EVAL)) << reply[0];
    // The same position with colours swapped scores the same for the side to move.
    const int white_view = std::stoi(m[1]);
    run({"position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1"});
    reply = run({"eval"});
    ASSERT_EQ(reply.size(), 1u);
    ASSERT_TRUE(std::regex_match(reply[0], m, EVAL)) << reply[0];
    EXPECT_EQ(std::stoi(m[1]), white_view);
    // The hand-written pool searches too.
    run({"position startpos"});
    search("go depth 4", Position::startpos());
}

TEST_F(Session, ParallelAndRootModesSearchLegally) {
    const std::vector<std::vector<std::string>> setups = {
        {"setoption name Threads value 3"},
        {"setoption name Threads value 3", "setoption name ABDADA value true"},
        {"setoption name Threads value 3", "setoption name SMPMode value YBWC"},
        {"setoption name Threads value 2", "setoption name SMPMode value ABDADA"},
        {"setoption name Threads value 2", "setoption name SMPMode value YBWC",
         "setoption name UseNNUE value false"},
        {"setoption name Threads value 999", "setoption name Threads value 2"},
        {"setoption name SearchMode value VOI"},
        {"setoption name SearchMode value GumbelSH", "setoption name GumbelTemp value 100"},
        {"setoption name SearchMode value GumbelSH", "setoption name Threads value 2"},
        {"setoption name PolicyMinDepth value 2"},
    };
    for (const std::vector<std::string>& setup : setups) {
        SCOPED_TRACE(::testing::PrintToString(setup));
        // Put everything back first.
        run({"setoption name Threads value 1", "setoption name SMPMode value Lazy",
             "setoption name ABDADA value false", "setoption name SearchMode value AB",
             "setoption name UseNNUE value true", "setoption name PolicyMinDepth value 0",
             "setoption name GumbelTemp value 0", "ucinewgame"});
        run(setup);
        for (const std::string& f : {std::string(START_FEN), std::string(KIWIPETE)}) {
            run({"position fen " + f});
            const SearchOutput out = search("go depth 5", from_fen(f));
            EXPECT_FALSE(out.infos.empty());
            search("go nodes 3000", from_fen(f));
        }
        // A stopped infinite search with helpers still names a legal move.
        run({"position fen " + std::string(KIWIPETE)});
        engine.send("go infinite");
        wait_for_info();
        engine.send("stop");
        SearchOutput out;
        check_search(engine.read_until_prefix("bestmove"), from_fen(KIWIPETE), out);
    }
}

TEST_F(Session, MultiPvPrintsOneLinePerRootMove) {
    run({"setoption name MultiPV value 3", "position startpos"});
    const SearchOutput out = search("go depth 3", Position::startpos());
    ASSERT_EQ(out.infos.size(), 9u);
    for (std::size_t i = 0; i < out.infos.size(); ++i) {
        const InfoLine& info = out.infos[i];
        EXPECT_EQ(info.depth, static_cast<int>(i / 3) + 1);
        if (i % 3 == 0)
            EXPECT_FALSE(info.multipv);
        else
            EXPECT_EQ(info.multipv, std::optional<int>(static_cast<int>(i % 3) + 1));
    }
    // Three different first moves per depth, best first.
    for (std::size_t d = 0; d < 3; ++d) {
        std::set<std::string> firsts;
        for (std::size_t k = 0; k < 3; ++k) firsts.insert(out.infos[d * 3 + k].pv[0]);
        EXPECT_EQ(firsts.size(), 3u);
        EXPECT_GE(out.infos[d * 3].score, out.infos[d * 3 + 1].score);
        EXPECT_GE(out.infos[d * 3 + 1].score, out.infos[d * 3 + 2].score);
    }
    // More lines than legal moves: one line per legal move.
    run({"setoption name MultiPV value 256", "position fen k7/8/1K6/8/8/8/8/7R b - - 0 1"});
    const SearchOutput one =
        search("go depth 2", from_fen("k7/8/1K6/8/8/8/8/7R b - - 0 1"));
    EXPECT_EQ(one.infos.size(), 2u);
}

TEST_F(Session, WdlOutputCarriesTheMultipvIndex) {
    run({"setoption name UCI_ShowWDL value true", "position startpos"});
    SearchOutput out = search("go depth 3", Position::startpos());
    ASSERT_EQ(out.infos.size(), 3u);
    for (const InfoLine& info : out.infos) {
        EXPECT_EQ(info.multipv, std::optional<int>(1));
        EXPECT_TRUE(info.wdl);
    }
    // A mate score is a certain win for the side to move.
    const std::string mate = "k7/8/1K6/8/8/8/8/7R w - - 0 1";
    run({"position fen " + mate});
    out = search("go depth 3", from_fen(mate));
    ASSERT_TRUE(out.infos.back().wdl);
    EXPECT_EQ(*out.infos.back().wdl, (std::array<unsigned, 3>{1000, 0, 0}));
    run({"setoption name MultiPV value 2", "position startpos"});
    out = search("go depth 2", Position::startpos());
    ASSERT_EQ(out.infos.size(), 4u);
    for (std::size_t i = 0; i < out.infos.size(); ++i)
        EXPECT_EQ(out.infos[i].multipv, std::optional<int>(static_cast<int>(i % 2) + 1));
}

TEST_F(Session, GoalMovesPrintsWinDrawLoseSummary) {
    run({"setoption name GoalMoves value TRUE"});
    for (const std::string& f :
         {std::string(START_FEN), std::string("k7/8/1K6/8/8/8/8/7R w - - 0 1")}) {
        run({"position fen " + f});
        const SearchOutput out = search("go depth 3", from_fen(f), true);
        ASSERT_EQ(out.goal_lines.size(), 3u);
        EXPECT_TRUE(out.goal_lines[0].starts_with("info string orvane win "));
        EXPECT_TRUE(out.goal_lines[1].starts_with("info string orvane draw "));
        EXPECT_TRUE(out.goal_lines[2].starts_with("info string orvane lose "));
    }
    // The mate is the surest win.
    const std::vector<std::string> lines = search_lines("go depth 3");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(lines[lines.size() - 4].starts_with("info string orvane win h1h8 W100.0 D0.0 L0.0"))
        << lines[lines.size() - 4];
    // "stop" ends the search and the analysis after it: nothing is analysed.
    run({"position startpos"});
    engine.send("go infinite");
    wait_for_info();
    engine.send("stop");
    SearchOutput stopped;
    check_search(engine.read_until_prefix("bestmove"), Position::startpos(), stopped, true);
    EXPECT_TRUE(stopped.goal_lines.empty());
    // A timed search's analysis keeps to the time the search was given, even with 218 moves
    // to look at (at 5,000 nodes each, more than the whole clock).
    const std::string many = "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1";
    run({"position fen " + many});
    search("go wtime 1000 btime 1000", from_fen(many), true, 1000ms);
    // "stop" during the analysis of an untimed search: the bestmove at once.
    run({"position fen " + std::string(KIWIPETE)});
    engine.send("go depth 9");
    engine.read_until([](const std::string& l) { return l.starts_with("info depth 9 "); });
    engine.send("stop");
    check_search(engine.read_until_prefix_within("bestmove", 1000ms), from_fen(KIWIPETE), stopped,
                 true);
    // With tablebases the analysis leaves nothing behind for the next search, on another
    // position: its moves are that position's own.
    run({"setoption name SyzygyPath value " + std::string(ORVANE_SOURCE_DIR) + "/../shared/syzygy"});
    for (const char* f : {"8/8/8/4k3/8/8/8/KQ6 w - - 0 1", "4k3/8/8/8/8/8/8/4K2R w K - 0 1",
                          "8/8/8/8/8/2k5/8/K2q4 w - - 0 1"}) {
        run({"position fen " + std::string(f)});
        search("go depth 3", from_fen(f), true);
    }
    run({"setoption name SyzygyPath value <empty>"});
    // No goal lines without a best move.
    run({"position fen 8/8/8/8/8/8/1qk5/K7 w - - 0 1"});
    EXPECT_EQ(search_lines("go depth 2"), std::vector<std::string>{"bestmove 0000"});
    run({"setoption name GoalMoves value false", "position startpos"});
    EXPECT_TRUE(search("go depth 2", Position::startpos(), true).goal_lines.empty());
}

// An infinite or pondering search that ends by itself (the mate found at once, a single
// legal move, its depth limit) keeps its bestmove until "stop", or "ponderhit" for a
// pondering one: with one thread and with two in every parallel mode. Under a short clock
// the split points of YBWC end with the main thread's time.
TEST_F(Session, SearchesThatEndByThemselvesWaitForStopOrPonderhit) {
    const std::string mate = "k7/8/1K6/8/8/8/8/7R w - - 0 1";
    const std::string single = "k7/8/1K6/8/8/8/8/7R b - - 0 1";  // Kb8 only
    struct Case {
        std::string fen, go;
        int last_depth;
        std::string release;
    };
    const std::vector<Case> cases = {
        {mate, "go infinite", 127, "stop"},
        {START_FEN, "go infinite depth 3", 3, "stop"},
        {mate, "go ponder wtime 100 btime 100", 127, "ponderhit"},
        {single, "go ponder wtime 100000 btime 100000", 1, "ponderhit"},
        {START_FEN, "go ponder depth 3", 3, "stop"},
        {START_FEN, "go ponder wtime 50 btime 50 depth 3", 3, "ponderhit"},
    };
    const std::pair<std::string, std::string> setups[] = {
        {"Lazy", "1"}, {"Lazy", "2"}, {"YBWC", "2"}, {"ABDADA", "2"}};
    for (const auto& [mode, threads] : setups) {
        run({"setoption name SMPMode value " + mode, "setoption name Threads value " + threads});
        for (const Case& c : cases) {
            SCOPED_TRACE(mode + " x" + threads + " " + c.fen + " / " + c.go);
            run({"ucinewgame", "position fen " + c.fen});
            engine.send(c.go);
            const std::string last = "info depth " + std::to_string(c.last_depth) + " ";
            std::vector<std::string> lines = engine.read_until([&](const std::string& l) {
                return l.starts_with(last) || l.starts_with("bestmove");
            });
            ASSERT_FALSE(lines.empty());
            ASSERT_TRUE(lines.back().starts_with(last)) << lines.back();
            EXPECT_EQ(orvane::testing::count_prefix(engine.sync(), "bestmove"), 0u);
            engine.send(c.release);
            SearchOutput out;
            check_search(engine.read_until_prefix("bestmove"), from_fen(c.fen), out);
        }
        if (mode == "YBWC") {
            for (const char* f : {KIWIPETE, START_FEN}) {
                run({"position fen " + std::string(f)});
                search("go wtime 200 btime 200", from_fen(f), false, 2000ms);
            }
        }
    }
}

TEST_F(Session, PonderingFollowsPonderhitAndStop) {
    run({"setoption name Ponder value true", "position startpos"});
    // The bestmove names a ponder move.
    EXPECT_TRUE(search("go depth 6", Position::startpos()).best.ponder);
    // Pondering past what the clock allows: nothing before "ponderhit", then the move.
    engine.send("go ponder wtime 300 btime 300");
    const std::vector<std::string> deep = engine.read_until([](const std::string& l) {
        const auto info = parse_info(l);
        return l.starts_with("bestmove") || (info && info->depth >= 8);
    });
    ASSERT_FALSE(deep.empty());
    EXPECT_TRUE(deep.back().starts_with("info depth")) << deep.back();
    EXPECT_EQ(orvane::testing::count_prefix(engine.sync(), "bestmove"), 0u);
    engine.send("ponderhit");
    SearchOutput out;
    check_search(engine.read_until_prefix_within("bestmove", ANSWER_LIMIT), Position::startpos(),
                 out);
    // "stop" while pondering, then the game goes on as usual.
    engine.send("go ponder wtime 60000 btime 60000 winc 100 binc 100");
    wait_for_info();
    engine.send("stop");
    check_search(engine.read_until_prefix("bestmove"), Position::startpos(), out);
    run({"position startpos moves e2e4"});
    search("go depth 3", from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"));
    // "ponderhit" with nothing pondering changes nothing and prints nothing; during an
    // infinite search it does not end the wait for "stop".
    EXPECT_EQ(run({"ponderhit"}), std::vector<std::string>{});
    run({"position fen k7/8/1K6/8/8/8/8/7R w - - 0 1"});
    engine.send("go infinite depth 2");
    engine.read_until([](const std::string& l) { return l.starts_with("info depth 2 "); });
    engine.send("ponderhit");
    EXPECT_EQ(orvane::testing::count_prefix(engine.sync(), "bestmove"), 0u);
    engine.send("stop");
    check_search(engine.read_until_prefix("bestmove"), from_fen("k7/8/1K6/8/8/8/8/7R w - - 0 1"), out);
}

TEST_F(Session, GoMateEndsAtTheMateOrAtItsOtherLimits) {
    const std::string mate2 = "7k/8/5K2/8/8/8/8/R7 w - - 0 1";
    struct Case {
        std::string fen, go;
        int mate;   // the mate found (0: none) ...
        int depth;  // ... or the depth limit that ended the search
    };
    const std::vector<Case> table = {
        {mate2, "go mate 2", 2, 0},
        {mate2, "go mate 5", 2, 0},
        {mate2, "go mate 9223372036854775807", 2, 0},  // any mate
        {mate2, "go mate 1 depth 7", 2, 7},           // no mate in one: the depth ends it
        {mate2, "go mate 1", 2, 127},                 // ... or alone, the deepest iteration
        {START_FEN, "go mate 0 depth 3", 0, 3},        // no mate is shorter than one move:
        {START_FEN, "go mate -3 depth 3", 0, 3},       // ignored
        {START_FEN, "go mate 99999999999999999999 depth 2", 0, 2},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.fen + " / " + c.go);
        run({"ucinewgame", "position fen " + c.fen});
        const SearchOutput out = search(c.go, from_fen(c.fen));
        ASSERT_FALSE(out.infos.empty());
        const InfoLine& last = out.infos.back();
        EXPECT_EQ(last.mate, c.mate != 0);
        if (c.mate) {
            EXPECT_EQ(last.score, c.mate);
        }
        // Found: the search stops at once, far from the depth limit.
        if (c.depth) {
            EXPECT_EQ(last.depth, c.depth);
        } else {
            EXPECT_LE(last.depth, 8);
        }
        EXPECT_EQ(out.best.best, last.pv[0]);
    }
}

// The best move's score at depth 8 at full strength, and the score of `move` there.
std::pair<long long, long long> full_strength_scores(EngineProcess& engine, const std::string& fen,
                                                     const std::string& move) {
    auto last_score = [&](const std::string& go) {
        engine.send(go);
        long long score = 0;
        for (const std::string& l : engine.read_until_prefix("bestmove"))
            if (const auto info = parse_info(l))
                score = info->mate ? (info->score > 0 ? 100'000 : -100'000) : info->score;
        return score;
    };
    engine.send("position fen " + fen);
    return {last_score("go depth 8"), last_score("go depth 8 searchmoves " + move)};
}

TEST_F(Session, WeakerLevelsKeepMatesAndMaterial) {
    const std::string mate = "k7/8/1K6/8/8/8/8/7R w - - 0 1";
    const std::vector<std::string> fens = {
        "rnbqkbnr/pppp1ppp/8/4p3/3Q4/8/PPPP1PPP/RNB1KBNR w KQkq - 0 3",  // the queen is attacked
        "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4",  // Qxf7 mates
        "rnb1kbnr/pppp1ppp/8/4p3/4P2q/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3",    // Nxh4 wins the queen
    };
    for (const int elo : {1320, 1500, 2000, 2500, 3000}) {
        SCOPED_TRACE(elo);
        run({"setoption name UCI_LimitStrength value true",
             "setoption name UCI_Elo value " + std::to_string(elo), "ucinewgame"});
        for (const std::string& f : fens) {
            run({"setoption name UCI_LimitStrength value true", "position fen " + f});
            const SearchOutput out = search("go wtime 20000 btime 20000", from_fen(f));
            run({"setoption name UCI_LimitStrength value false"});
            const auto [best, chosen] = full_strength_scores(engine, f, out.best.best);
            EXPECT_GE(chosen, best - 400) << f << ": " << out.best.best;
        }
        run({"setoption name UCI_LimitStrength value true", "position fen " + mate});
        EXPECT_EQ(search("go wtime 20000 btime 20000", from_fen(mate)).best.best, "h1h8");
    }
}

TEST_F(Session, WeakerLevelsKeepTheirCapsAndSometimesPlayAnotherLine) {
    const std::vector<std::string> fens = {
        START_FEN, KIWIPETE, "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4",
        "r1bq1rk1/pp2bppp/2n1pn2/3p4/2PP4/2N2N2/PP2BPPP/R2QKB1R w KQ - 0 8",
        "rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2",
        "r2q1rk1/pp2ppbp/2np1np1/8/3NP1b1/2N1BP2/PPPQ2PP/R3KB1R w KQ - 3 9"};
    for (const int elo : {1320, 1500, 2000}) {
        SCOPED_TRACE(elo);
        const orvane::StrengthLevel level = orvane::strength::level_for_elo(elo);
        run({"setoption name UCI_LimitStrength value true",
             "setoption name UCI_Elo value " + std::to_string(elo), "ucinewgame"});
        int other_lines = 0;
        for (const std::string& f : fens) {
            run({"position fen " + f});
            const SearchOutput out = search("go wtime 60000 btime 60000", from_fen(f));
            ASSERT_FALSE(out.infos.empty());
            const InfoLine& last = out.infos.back();
            EXPECT_LE(last.depth, level.depth) << f;
            EXPECT_LE(last.nodes, 4 * level.nodes + 2048) << f;
            std::string best_line;
            for (const InfoLine& info : out.infos)
                if (info.depth == last.depth && info.multipv.value_or(1) == 1) best_line = info.pv[0];
            other_lines += out.best.best != best_line;
        }
        if (level.deviate_permille >= 250) EXPECT_GT(other_lines, 0);
    }
}

TEST(SessionStrength, TheSameGameGivesTheSameMoves) {
    // Two engines at the same level, fed the same commands, choose alike: the choice depends
    // on the positions and the game count, not on the clock.
    const std::vector<std::string> fens = {START_FEN, KIWIPETE,
                                           "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4",
                                           "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
                                           "rnbqkbnr/pp1ppppp/8/2p5/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2"};
    // The second engine runs two threads: a level plays the same at any thread count.
    std::vector<std::string> moves[2];
    for (std::vector<std::string>& seen : moves) {
        EngineProcess engine;
        ASSERT_TRUE(engine.read_line());
        if (&seen == &moves[1]) engine.send("setoption name Threads value 2");
        engine.send("setoption name UCI_LimitStrength value true");
        engine.send("setoption name UCI_Elo value 1400");
        for (int game = 0; game < 3; ++game) {
            engine.send("ucinewgame");
            for (const std::string& f : fens) {
                engine.send("position fen " + f);
                engine.send("go wtime 60000 btime 60000");
                const std::vector<std::string> lines = engine.read_until_prefix("bestmove");
                ASSERT_FALSE(lines.empty());
                seen.push_back(lines.back());
            }
        }
        engine.send("quit");
        EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    }
    EXPECT_EQ(moves[0], moves[1]);
}

TEST_F(Session, LongGameHistoryIsAccepted) {
    std::string line = "position startpos moves";
    for (int i = 0; i < 500; ++i) line += " g1f3 g8f6 f3g1 f6g8";
    EXPECT_EQ(run({line}), std::vector<std::string>{});
    EXPECT_EQ(fen(), "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 2000 1001");
    search("go depth 3", from_fen(START_FEN));
}

// Ways a session ends.

TEST(SessionEnd, QuitDuringAnInfiniteSearchExitsWithZero) {
    EngineProcess engine;
    engine.send("go infinite");
    const std::vector<std::string> lines = engine.read_until_prefix("info depth 2");
    ASSERT_FALSE(lines.empty());
    engine.send("quit");
    engine.send("isready");  // read no more after quit
    const std::vector<std::string> rest =
        engine.read_until([](const std::string&) { return false; });
    ASSERT_FALSE(rest.empty());
    EXPECT_TRUE(rest.back().starts_with("bestmove ")) << rest.back();
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    EXPECT_EQ(engine.error_text(), "");
}

TEST(SessionEnd, EndOfInputStopsAnInfiniteSearch) {
    EngineProcess engine;
    engine.send("go infinite");
    ASSERT_FALSE(engine.read_until_prefix("info depth 2").empty());
    engine.close_input();
    const std::vector<std::string> rest =
        engine.read_until([](const std::string&) { return false; });
    ASSERT_FALSE(rest.empty()) << "no bestmove at end of input";
    EXPECT_TRUE(rest.back().starts_with("bestmove ")) << rest.back();
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    EXPECT_EQ(engine.error_text(), "");
}

TEST(SessionEnd, QuitStopsADeepSearch) {
    EngineProcess engine;
    engine.send("position fen " + std::string(KIWIPETE));
    engine.send("go depth 100");
    ASSERT_FALSE(engine.read_until_prefix("info depth 2").empty());
    engine.send("quit");
    const std::vector<std::string> rest =
        engine.read_until([](const std::string&) { return false; });
    ASSERT_FALSE(rest.empty());
    EXPECT_TRUE(rest.back().starts_with("bestmove ")) << rest.back();
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
}

TEST(SessionEnd, EndOfInputWhenIdleAndLastLineWithoutNewline) {
    EngineProcess engine;
    engine.send_raw("isready\nisready");  // the last line has no line end
    engine.close_input();
    const std::vector<std::string> lines =
        engine.read_until([](const std::string&) { return false; });
    EXPECT_EQ(lines, (std::vector<std::string>{BANNER, "readyok", "readyok"}));
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    EXPECT_EQ(engine.error_text(), "");
}

TEST(SessionEnd, NothingAfterQuitIsRead) {
    EngineProcess engine;
    engine.send_raw("isready\nquit\nisready\nuci\n");
    const std::vector<std::string> lines =
        engine.read_until([](const std::string&) { return false; });
    EXPECT_EQ(lines, (std::vector<std::string>{BANNER, "readyok"}));
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
}

TEST(SessionEnd, ManyCommandsInOneWrite) {
    // A GUI may send a whole batch before reading anything.
    EngineProcess engine;
    std::string batch;
    for (int i = 0; i < 50; ++i) batch += "position startpos moves e2e4\ngo depth 2\nisready\n";
    batch += "quit\n";
    engine.send_raw(batch);
    const std::vector<std::string> lines =
        engine.read_until([](const std::string&) { return false; });
    int bestmoves = 0, ready = 0;
    for (const std::string& l : lines) {
        bestmoves += l.starts_with("bestmove ");
        ready += l == "readyok";
    }
    EXPECT_EQ(bestmoves, 50);
    EXPECT_EQ(ready, 50);
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
}

TEST(SessionEnd, BenchPrintsThePinnedSignatures) {
    namespace signature = orvane::bench_signature;
    const std::string depth = std::to_string(signature::DEPTH);
    const std::pair<std::vector<std::string>, std::uint64_t> runs[] = {
        {{"bench", depth}, signature::NNUE}, {{"bench", depth, "hce"}, signature::HCE}};
    for (const auto& [args, nodes] : runs) {
        EngineProcess engine(args);
        EXPECT_EQ(engine.read_line(), "Bench: " + std::to_string(nodes) + " nodes (depth " + depth
                                          + ", 16 positions)");
        EXPECT_TRUE(engine.read_line().value_or("").starts_with("Speed: "));
        EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    }
}

}  // namespace
