// Chess960 through the real program: the option in the uci reply, castles both ways in the
// notation of each mode (the other one is an illegal move), castling fields refused with the
// previous position kept, and searches whose info lines and bestmove are legal in Chess960
// notation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/position_helpers.h"
#include "uci/engine_process.h"

namespace {

using orvane::Move;
using orvane::Position;
using orvane::testing::EngineProcess;

// Kings on b1 and b8, castling with the e- or the a-file rook.
constexpr const char* KB = "rk2r3/pppppppp/8/8/8/8/PPPPPPPP/RK2R3 w EAea - 0 1";
constexpr const char* KB_CASTLED = "2krr3/pppppppp/8/8/8/8/PPPPPPPP/R4RK1 w - - 2 2";
constexpr const char* DOUBLE_960 =
    "brknrq1b/pp1ppppp/2p5/1P1N4/2P4n/8/P2PPPPP/RQB1KNRB b GQeb - 0 5";

bool legal_line(Position pos, const std::vector<std::string>& moves, bool chess960) {
    for (const std::string& text : moves) {
        const std::optional<Move> m = pos.parse_uci_move(text, chess960);
        if (!m) return false;
        pos.make_move(*m);
    }
    return true;
}

class Chess960Session : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.read_line()) << "no banner"; }

    void TearDown() override {
        engine.send("quit");
        EXPECT_EQ(engine.wait_exit(), std::optional<int>(0)) << "signal " << engine.signal_number();
        EXPECT_EQ(engine.pending_output(), "");
        EXPECT_EQ(orvane::testing::unexpected_errors(engine.error_text()), "");
    }

    std::vector<std::string> run(const std::vector<std::string>& lines) {
        for (const std::string& l : lines) engine.send(l);
        return engine.sync();
    }

    std::string fen() {
        for (const std::string& line : run({"d"}))
            if (line.starts_with("FEN: ")) return line.substr(5);
        return "(no FEN line)";
    }

    void chess960(bool on) {
        const std::string value = on ? "true" : "false";
        EXPECT_EQ(run({"setoption name UCI_Chess960 value " + value}), std::vector<std::string>{});
    }

    // A search from `fen`: every PV and the bestmove and ponder moves legal in the mode's
    // notation; returns the bestmove.
    std::string search(const std::string& fen, const std::string& go, bool chess960) {
        engine.send("position fen " + fen);
        engine.send(go);
        const std::vector<std::string> lines = engine.read_until_prefix("bestmove");
        EXPECT_FALSE(lines.empty() || engine.timed_out()) << go;
        if (lines.empty()) return {};
        const Position root = orvane::from_fen(fen);
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            const auto info = orvane::testing::parse_info(lines[i]);
            EXPECT_TRUE(info && legal_line(root, info->pv, chess960)) << lines[i];
        }
        const auto best = orvane::testing::parse_bestmove(lines.back());
        EXPECT_TRUE(best) << lines.back();
        if (!best) return {};
        std::vector<std::string> line{best->best};
        if (best->ponder) line.push_back(*best->ponder);
        EXPECT_TRUE(legal_line(root, line, chess960)) << lines.back();
        return best->best;
    }

    EngineProcess engine;
};

TEST_F(Chess960Session, TheOptionIsAnnounced) {
    const std::vector<std::string> reply = run({"uci"});
    EXPECT_EQ(std::count(reply.begin(), reply.end(),
                         "option name UCI_Chess960 type check default false"),
              1);
}

TEST_F(Chess960Session, CastlesInTheNotationOfEachMode) {
    const std::string kb = KB;
    chess960(true);
    EXPECT_EQ(run({"position fen " + kb + " moves b1e1 b8a8"}), std::vector<std::string>{});
    EXPECT_EQ(fen(), KB_CASTLED);
    EXPECT_EQ(run({"position fen " + kb + " moves b1g1 b8a8"}),
              std::vector<std::string>{"info string illegal move b1g1"});
    EXPECT_EQ(fen(), kb);
    EXPECT_EQ(run({"position startpos moves e2e4 e7e5 g1f3 g8f6 f1c4 f8c5 e1h1 e8h8"}),
              std::vector<std::string>{});
    EXPECT_EQ(fen(), "rnbq1rk1/pppp1ppp/5n2/2b1p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 w - - 6 5");

    chess960(false);
    // (b8c8 would be the king's step: the plain move wins where the two read alike)
    EXPECT_EQ(run({"position fen " + kb + " moves b1g1 b8g8"}), std::vector<std::string>{});
    EXPECT_EQ(fen(), "r4rk1/pppppppp/8/8/8/8/PPPPPPPP/R4RK1 w - - 2 2");
    EXPECT_EQ(run({"position fen " + kb + " moves b1e1"}),
              std::vector<std::string>{"info string illegal move b1e1"});
    EXPECT_EQ(fen(), kb);
}

TEST_F(Chess960Session, BadCastlingFieldsKeepThePosition) {
    chess960(true);
    run({std::string("position fen ") + KB + " moves b1e1"});
    const std::string before = fen();
    const std::pair<std::string, std::string> bad[] = {
        {"4k3/8/8/8/8/8/8/4K3 w K - 0 1", "castling 'K': no rook on the h-side of the king"},
        {"rk2r3/pppppppp/8/8/8/8/PPPPPPPP/RK2R3 w C - 0 1", "castling 'C': no rook on c1"},
        {"rk2r3/pppppppp/8/8/8/8/PPPPPPPP/RK2R3 w EAeaX - 0 1", "bad castling 'X'"},
        {"rk2r3/pppppppp/8/8/8/8/PKPPPPPP/R3R3 w EA - 0 1",
         "castling 'E': the king is not on its back rank"},
    };
    for (const auto& [fen_text, message] : bad) {
        EXPECT_EQ(run({"position fen " + fen_text + " moves b1e1"}),
                  std::vector<std::string>{"info string bad FEN: " + message});
        EXPECT_EQ(fen(), before);
    }
}

TEST_F(Chess960Session, PerftAndSearchesWriteChess960Castles) {
    chess960(true);
    run({std::string("position fen ") + KB});
    engine.send("go perft 1");
    const std::vector<std::string> perft = engine.read_until_prefix("Nodes searched");
    for (const char* castle : {"b1e1: 1", "b1a1: 1"})
        EXPECT_EQ(std::count(perft.begin(), perft.end(), castle), 1) << castle;
    EXPECT_EQ(search(KB, "go depth 5 searchmoves b1e1", true), "b1e1");
    search(KB, "go depth 8", true);
    search(DOUBLE_960, "go depth 8", true);
    chess960(false);
    EXPECT_EQ(search(KB, "go depth 5 searchmoves b1g1", false), "b1g1");
}

}  // namespace
