// genfens through the program, as a testing framework calls it (`orvane "genfens N seed S
// book B" quit`): N lines for a seed, the same again for that seed and others for another;
// every position legal, playable and not decided by a search; positions that start from an
// EPD or PGN book; errors as one info line; extra words and the hand-written evaluator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "uci/engine_process.h"
#include "uci/genfens.h"

namespace {

using orvane::Position;
using orvane::testing::EngineProcess;
using orvane::testing::parse_info;
namespace genfens = orvane::uci::genfens;

const std::string PREFIX = "info string genfens ";
const std::string BOOK_8MOVES = std::string(ORVANE_SOURCE_DIR) + "/../shared/books/8moves_v3.pgn";

// Every line the program prints when started with these command-line commands.
std::vector<std::string> run(const std::vector<std::string>& args) {
    EngineProcess engine(args);
    std::vector<std::string> lines = engine.read_until([](const std::string&) { return false; });
    EXPECT_TRUE(engine.at_end()) << "the program did not end";
    EXPECT_EQ(engine.wait_exit(), std::optional<int>(0));
    return lines;
}

// The FENs of the genfens lines of a command line, checking that nothing else but the banner
// was printed.
std::vector<std::string> positions(const std::string& command,
                                   const std::vector<std::string>& before = {}) {
    std::vector<std::string> args = before;
    args.push_back(command);
    args.push_back("quit");
    std::vector<std::string> fens;
    const std::vector<std::string> lines = run(args);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].starts_with(PREFIX))
            fens.push_back(lines[i].substr(PREFIX.size()));
        else if (!lines[i].starts_with("info string evaluation:"))
            ADD_FAILURE() << command << " printed: " << lines[i];
    }
    return fens;
}

int fullmove(const std::string& fen) { return std::stoi(fen.substr(fen.rfind(' ') + 1)); }

TEST(Genfens, ASeedGivesTheSamePositionsAndAnotherSeedOthers) {
    const std::vector<std::string> first = positions("genfens 12 seed 77 book None");
    EXPECT_EQ(first.size(), 12u);
    EXPECT_EQ(positions("genfens 12 seed 77 book None"), first);
    const std::vector<std::string> other = positions("genfens 12 seed 78 book None");
    EXPECT_EQ(other.size(), 12u);
    EXPECT_NE(other, first);
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), first.size())
        << "a position came twice";
}

// Each position is a legal FEN with a move to play and mating material, and a search of the
// same depth from a cleared state scores it well inside the decided range (the program's
// own search may differ from genfens' in small ways, so the band here is twice as wide).
TEST(Genfens, PositionsAreLegalPlayableAndUndecided) {
    std::vector<std::string> fens = positions("genfens 10 seed 5 book None");
    const std::vector<std::string> from_book = positions("genfens 10 seed 5 book " + BOOK_8MOVES);
    EXPECT_EQ(from_book.size(), 10u);
    fens.insert(fens.end(), from_book.begin(), from_book.end());
    EngineProcess engine({"setoption name Hash value 1"});
    for (const std::string& fen : fens) {
        const Position pos = orvane::from_fen(fen);
        ASSERT_FALSE(HasFailure()) << fen;
        EXPECT_TRUE(orvane::testing::has_legal_move(pos)) << fen;
        EXPECT_FALSE(pos.insufficient_material()) << fen;
        engine.send("ucinewgame");
        engine.send("position fen " + fen);
        engine.send("go depth " + std::to_string(genfens::SEARCH_DEPTH));
        const std::vector<std::string> lines = engine.read_until_prefix("bestmove ");
        ASSERT_FALSE(lines.empty());
        ASSERT_TRUE(lines.back().starts_with("bestmove ")) << fen;
        std::optional<orvane::testing::InfoLine> last;
        for (const std::string& line : lines)
            if (auto info = parse_info(line)) last = info;
        ASSERT_TRUE(last) << fen;
        EXPECT_FALSE(last->mate) << fen;
        EXPECT_LE(std::abs(last->score), 2 * genfens::BALANCED_CP) << fen;
    }
}

class GenfensBook : public testing::Test {
protected:
    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path()
        / ("orvane-genfens-test-" + std::to_string(::getpid()) + "-"
           + testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(folder_); }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
};

// A book of one king-and-pawns position: every position is a few plies from it.
TEST_F(GenfensBook, EpdPositionsStartFromTheBook) {
    const std::string book = write("pawns.epd", "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - id \"pawns\";\n");
    const std::vector<std::string> fens = positions("genfens 6 seed 3 book " + book);
    EXPECT_EQ(fens.size(), 6u);
    for (const std::string& fen : fens) {
        const std::string placement = fen.substr(0, fen.find(' '));
        EXPECT_EQ(placement.find_first_not_of("kpKP/12345678"), std::string::npos) << fen;
        EXPECT_EQ(fullmove(fen), 2) << fen;  // two or three plies from move 1
    }
}

// A book of one game that only parses when its comments and variation are left out.
TEST_F(GenfensBook, PgnPositionsStartAfterTheGame) {
    const std::string book = write(
        "one.pgn", "[Event \"?\"]\r\n\r\n1. e4 {king's pawn} e5 (1... c5) 2. Nf3 Nc6 *\r\n");
    const std::vector<std::string> fens = positions("genfens 5 seed 9 book " + book);
    EXPECT_EQ(fens.size(), 5u);
    for (const std::string& fen : fens) EXPECT_EQ(fullmove(fen), 4) << fen;
}

TEST(Genfens, ExtraWordsAndTheHandWrittenEvaluator) {
    EXPECT_EQ(positions("genfens 4 seed 5 book None extra words").size(), 4u);
    EXPECT_EQ(positions("genfens 4 seed 5 book None", {"setoption name UseNNUE value false"}).size(),
              4u);
    EXPECT_TRUE(positions("genfens 0 seed 5 book None").empty());
}

struct ErrorCase {
    const char* command;
    const char* reply;
};

const ErrorCase ERRORS[] = {
    {"genfens", "info string usage: genfens N seed S book <file|None>"},
    {"genfens 3 seed 1", "info string usage: genfens N seed S book <file|None>"},
    {"genfens 3 book None", "info string usage: genfens N seed S book <file|None>"},
    {"genfens x seed 1 book None", "info string genfens: not a count: x"},
    {"genfens -3 seed 1 book None", "info string genfens: not a count: -3"},
    {"genfens 3 seed y book None", "info string genfens: not a seed: y"},
    {"genfens 3 seed 1 book /no/such/book.epd",
     "info string genfens: cannot open book /no/such/book.epd"},
};

TEST(Genfens, ErrorsAreOneInfoLineAndTheEngineGoesOn) {
    for (const ErrorCase& c : ERRORS) {
        const std::vector<std::string> lines = run({c.command, "isready", "quit"});
        ASSERT_EQ(lines.size(), 3u) << c.command;  // the banner first
        EXPECT_EQ(lines[1], c.reply);
        EXPECT_EQ(lines[2], "readyok");
    }
}

}  // namespace
