// Opening books as genfens reads them: EPD lines (fields after the position ignored, the
// move counters kept), PGN games (tags, comments, variations, annotation glyphs, move
// numbers, results, CR LF line ends, a [FEN] start), entries that do not parse or play,
// and files that are missing, empty or named *.pgn in capitals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "uci/opening_book.h"

namespace orvane::uci {
namespace {

constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// The FEN of each entry, "none" where the entry does not give a position.
std::vector<std::string> fens(const OpeningBook& book) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < book.size(); ++i) {
        const std::optional<Position> pos = book.position(i);
        out.push_back(pos ? pos->to_fen() : "none");
    }
    return out;
}

struct BookCase {
    const char* name;
    const char* text;
    std::vector<std::string> fens;
};
void PrintTo(const BookCase& c, std::ostream* out) { *out << c.name; }

const BookCase EPD_CASES[] = {
    {"four_fields_and_operations",
     "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - bm e5; id \"a\";\n",
     {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"}},
    {"move_counters_kept",
     "8/8/4k3/8/8/4K3/4P3/8 w - - 12 40\n",
     {"8/8/4k3/8/8/4K3/4P3/8 w - - 12 40"}},
    {"comments_blank_lines_and_crlf",
     "# a comment\r\n\r\n8/8/4k3/8/8/4K3/4P3/8 w - -\r\n  \n",
     {"8/8/4k3/8/8/4K3/4P3/8 w - - 0 1"}},
    {"a_bad_line_gives_no_position",
     "not a fen at all\n8/8/4k3/8/8/4K3/4P3/8 w - -\n",
     {"none", "8/8/4k3/8/8/4K3/4P3/8 w - - 0 1"}},
};

const BookCase PGN_CASES[] = {
    {"tags_numbers_and_result",
     "[Event \"?\"]\n[Result \"*\"]\n\n1. e4 e5 2. Nf3 Nc6 *\n",
     {"r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3"}},
    {"comments_variations_glyphs_and_joined_numbers",
     "[Event \"?\"]\n\n1.e4 {best by test} e5 (1... c5 2. Nf3 (2. c3) d6) 2.Nf3 $1 ; to the end\n"
     "2... Nc6 {a comment; not a line comment} 1-0\n",
     {"r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3"}},
    {"two_games_crlf",
     "[Event \"1\"]\r\n\r\n1. d4 d5 1/2-1/2\r\n\r\n[Event \"2\"]\r\n\r\n1. c4 0-1\r\n",
     {"rnbqkbnr/ppp1pppp/8/3p4/3P4/8/PPP1PPPP/RNBQKBNR w KQkq - 0 2",
      "rnbqkbnr/pppppppp/8/8/2P5/8/PP1PPPPP/RNBQKBNR b KQkq - 0 1"}},
    {"fen_tag_start_and_castling",
     "[SetUp \"1\"]\n[FEN \"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1\"]\n\n1. O-O O-O-O *\n",
     {"2kr3r/8/8/8/8/8/8/R4RK1 w - - 2 2"}},
    {"fen_tag_without_moves",
     "[FEN \"8/8/4k3/8/8/4K3/4P3/8 w - - 0 1\"]\n\n*\n",
     {"8/8/4k3/8/8/4K3/4P3/8 w - - 0 1"}},
    {"an_illegal_move_gives_no_position",
     "[Event \"1\"]\n\n1. e4 e4 *\n\n[Event \"2\"]\n\n1. Nf3 *\n",
     {"none", "rnbqkbnr/pppppppp/8/8/8/5N2/PPPPPPPP/RNBQKB1R b KQkq - 1 1"}},
};

class EpdBook : public testing::TestWithParam<BookCase> {};
TEST_P(EpdBook, GivesThePositions) {
    EXPECT_EQ(fens(OpeningBook::from_epd(GetParam().text)), GetParam().fens);
}
INSTANTIATE_TEST_SUITE_P(Cases, EpdBook, testing::ValuesIn(EPD_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class PgnBook : public testing::TestWithParam<BookCase> {};
TEST_P(PgnBook, GivesThePositions) {
    EXPECT_EQ(fens(OpeningBook::from_pgn(GetParam().text)), GetParam().fens);
}
INSTANTIATE_TEST_SUITE_P(Cases, PgnBook, testing::ValuesIn(PGN_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OpeningBook, AnEntryPastTheEndGivesNothing) {
    EXPECT_FALSE(OpeningBook::from_epd(START).position(1).has_value());
}

class BookFile : public testing::Test {
protected:
    // One folder per test and process: CTest runs the tests of this file side by side.
    std::filesystem::path folder_ =
        std::filesystem::temp_directory_path()
        / ("orvane-book-test-" + std::to_string(::getpid()) + "-"
           + testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(folder_); }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::string write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
};

TEST_F(BookFile, TheNameTellsPgnFromEpd) {
    const std::string game = "[Event \"?\"]\n\n1. e4 *\n";
    const auto pgn = read_book(write("book.PGN", game));
    ASSERT_TRUE(std::holds_alternative<OpeningBook>(pgn));
    EXPECT_EQ(fens(std::get<OpeningBook>(pgn)),
              std::vector<std::string>{"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"});
    // The same text in a file of another name is read as EPD: no line has four fields.
    const auto epd = read_book(write("book.epd", game));
    ASSERT_TRUE(std::holds_alternative<BookError>(epd));
    EXPECT_NE(std::get<BookError>(epd).message.find("no positions"), std::string::npos);
}

TEST_F(BookFile, MissingAndEmptyFilesAreErrors) {
    const std::string missing = (folder_ / "missing.epd").string();
    const auto absent = read_book(missing);
    ASSERT_TRUE(std::holds_alternative<BookError>(absent));
    EXPECT_EQ(std::get<BookError>(absent).message, "cannot open book " + missing);
    EXPECT_TRUE(std::holds_alternative<BookError>(read_book(write("empty.pgn", ""))));
    EXPECT_TRUE(std::holds_alternative<BookError>(read_book(folder_.string())));
}

}  // namespace
}  // namespace orvane::uci
