#include "syzygy/syzygy.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/board/movegen.h"
#include "support/position_helpers.h"

namespace orvane {

void PrintTo(Wdl wdl, std::ostream* os) { *os << "Wdl " << static_cast<int>(wdl); }

namespace {

using namespace std::string_literals;

// The test tables: every 3- and 4-piece material and KRPvKR, KRBvKR, KQRvKR, KRRvKR, KRNvKR.
constexpr std::string_view TABLES = "../shared/syzygy";

std::shared_ptr<Syzygy> load_tables() {
    SyzygyLoad loaded = Syzygy::load(TABLES);
    if (const auto* error = std::get_if<SyzygyError>(&loaded))
        throw std::runtime_error("the test tables must be present: " + error->message);
    return std::get<std::shared_ptr<Syzygy>>(std::move(loaded));
}

std::string error_of(const SyzygyLoad& loaded) {
    const auto* error = std::get_if<SyzygyError>(&loaded);
    return error ? error->message : "(loaded)";
}

std::string root_moves_text(const std::vector<RootMove>& root_moves) {
    std::string out;
    for (const RootMove& rm : root_moves) {
        out += move_to_uci(rm.mv);
        out += " wdl ";
        out += std::to_string(static_cast<int>(rm.wdl));
        out += " dtz ";
        out += std::to_string(rm.dtz);
        out += '\n';
    }
    return out;
}

class SyzygyTables : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::is_directory(TABLES))
            << "the test tables are missing from " << TABLES;
        tb = load_tables();
    }
    std::shared_ptr<Syzygy> tb;
};

TEST_F(SyzygyTables, LoadReportsLargestPieceCount) { EXPECT_EQ(tb->max_pieces(), 5u); }

// Verified positions: WDL (none = not probed), root entry count, and what the root filter
// keeps, in the library's order ("*" = every root move).
struct TableCase {
    std::string_view name;
    std::string_view fen;
    std::optional<Wdl> wdl;
    int root_entries;
    std::string_view kept;
};

constexpr TableCase TABLE_CASES[] = {
    {"KQvKWin", "8/8/8/4k3/8/8/8/3QK3 w - - 0 1", Wdl::WIN, 21, "d1d7"},
    {"KRvKMateInOne", "6k1/8/6K1/8/8/8/8/R7 w - - 0 1", Wdl::WIN, 19, "a1a8"},
    {"KRvKWin", "4k3/8/8/8/8/8/8/R3K3 w - - 0 1", Wdl::WIN, 15, "a1a7"},
    {"KPvKWin", "4k3/8/4K3/4P3/8/8/8/8 w - - 0 1", Wdl::WIN, 4, "e6d6 e6f6"},
    {"KPvKRookPawnDraw", "k7/8/8/8/8/8/P7/K7 b - - 0 1", Wdl::DRAW, 3, "a8a7 a8b7 a8b8"},
    {"KBvKDraw", "8/8/8/4k3/8/8/8/2B1K3 w - - 0 1", Wdl::DRAW, 12, "*"},
    {"KPvKPEnPassantWins", "8/2k5/8/5Pp1/8/8/K7/8 w - g6 0 1", Wdl::WIN, 7, "f5g6"},
    {"KPvKPNoEnPassantLoses", "8/2k5/8/5Pp1/8/8/K7/8 w - - 0 1", Wdl::LOSS, 6,
     "a2a1 a2b1 a2b2 a2a3 a2b3"},
    {"KRPvKRLucena", "1K6/1P1k4/8/8/8/8/r7/2R5 w - - 0 1", Wdl::WIN, 14, "c1d1 c1c4 c1c5"},
    {"KRPvKRKnightPromotion", "7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", Wdl::WIN, 19, "d7d8n"},
    {"KRPvKRRookPromotion", "1R6/k1P5/8/8/8/6K1/2r5/8 w - - 0 1", Wdl::WIN, 23, "c7c8r"},
    {"KRBvKRCursedWin", "8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 0 1", Wdl::CURSED_WIN, 27, "d2e3"},
    {"KRBvKRCursedWinClock10", "8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 10 1", std::nullopt, 27, "d2e3"},
    {"KRBvKRLossAtDtz100", "8/8/8/4B1r1/5R2/8/8/k1K5 b - - 0 1", Wdl::LOSS, 2, "a1a2"},
    {"KRBvKRBlessedLossClock1", "8/8/8/4B1r1/5R2/8/8/k1K5 b - - 1 1", std::nullopt, 2, "a1a2"},
    {"KQvKStalemate", "k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", Wdl::DRAW, 0, ""},
    {"KQvKCheckmated", "k7/1Q6/1K6/8/8/8/8/8 b - - 0 1", Wdl::LOSS, 0, ""},
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.fen; }

class VerifiedPosition : public SyzygyTables, public testing::WithParamInterface<TableCase> {};

TEST_P(VerifiedPosition, ProbesMatchTheTables) {
    const TableCase& c = GetParam();
    Position pos = from_fen(c.fen);
    EXPECT_EQ(tb->probe_wdl(pos), c.wdl);

    auto root = tb->probe_root(pos);
    ASSERT_TRUE(root.has_value());
    MoveList legal;
    movegen::generate_all(pos, legal);
    ASSERT_EQ(static_cast<int>(root->size()), c.root_entries) << root_moves_text(*root);
    ASSERT_EQ(legal.size(), c.root_entries);
    for (const RootMove& rm : *root) EXPECT_TRUE(legal.contains(rm.mv)) << move_to_uci(rm.mv);

    std::vector<Move> kept = tablebase::filter_root_moves(*root);
    if (c.kept == "*") {
        EXPECT_EQ(kept.size(), root->size());
    } else {
        EXPECT_EQ(uci_list(kept), c.kept) << root_moves_text(*root);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, VerifiedPosition, testing::ValuesIn(TABLE_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Single root entries the tables are known to give (dtz -1: not checked).
struct EntryCase {
    std::string_view fen;
    std::string_view move;
    Wdl wdl;
    int dtz;
};

constexpr EntryCase ENTRY_CASES[] = {
    {"8/8/8/4k3/8/8/8/3QK3 w - - 0 1", "d1d7", Wdl::WIN, 13},
    {"8/8/8/4k3/8/8/8/3QK3 w - - 0 1", "d1d4", Wdl::DRAW, -1},
    {"8/8/8/4k3/8/8/8/3QK3 w - - 0 1", "d1d6", Wdl::DRAW, -1},
    {"6k1/8/6K1/8/8/8/8/R7 w - - 0 1", "a1a8", Wdl::WIN, 1},
    {"4k3/8/4K3/4P3/8/8/8/8 w - - 0 1", "e6f6", Wdl::WIN, 3},
    {"4k3/8/4K3/4P3/8/8/8/8 w - - 0 1", "e6d5", Wdl::DRAW, -1},
    {"k7/8/8/8/8/8/P7/K7 b - - 0 1", "a8b7", Wdl::DRAW, 0},
    {"8/2k5/8/5Pp1/8/8/K7/8 w - g6 0 1", "f5g6", Wdl::WIN, 1},
    {"8/2k5/8/5Pp1/8/8/K7/8 w - - 0 1", "f5f6", Wdl::LOSS, 1},
    {"8/2k5/8/5Pp1/8/8/K7/8 w - - 0 1", "a2b3", Wdl::LOSS, 2},
    {"1K6/1P1k4/8/8/8/8/r7/2R5 w - - 0 1", "c1d1", Wdl::WIN, 15},
    {"1K6/1P1k4/8/8/8/8/r7/2R5 w - - 0 1", "c1a1", Wdl::DRAW, -1},
    {"1K6/1P1k4/8/8/8/8/r7/2R5 w - - 0 1", "c1c2", Wdl::LOSS, -1},
    {"7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", "d7d8n", Wdl::WIN, 1},
    {"7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", "d7d8q", Wdl::LOSS, -1},
    {"7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", "d7d8r", Wdl::LOSS, -1},
    {"7K/3P1k2/4r3/8/8/1R6/8/8 w - - 0 1", "d7d8b", Wdl::LOSS, -1},
    {"1R6/k1P5/8/8/8/6K1/2r5/8 w - - 0 1", "c7c8r", Wdl::WIN, 1},
    {"1R6/k1P5/8/8/8/6K1/2r5/8 w - - 0 1", "c7c8q", Wdl::DRAW, -1},
    {"1R6/k1P5/8/8/8/6K1/2r5/8 w - - 0 1", "c7c8n", Wdl::DRAW, -1},
    {"8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 0 1", "d2e3", Wdl::CURSED_WIN, 116},
    {"8/8/8/4B1r1/5R2/8/8/k1K5 b - - 0 1", "a1a2", Wdl::LOSS, 100},
    {"8/8/8/4B1r1/5R2/8/8/k1K5 b - - 0 1", "g5e5", Wdl::LOSS, 1},
    {"8/8/8/4B1r1/5R2/8/8/k1K5 b - - 1 1", "a1a2", Wdl::BLESSED_LOSS, 100},
    {"8/8/8/4B1r1/5R2/8/8/k1K5 b - - 1 1", "g5e5", Wdl::LOSS, 1},
};

TEST_F(SyzygyTables, RootEntriesCarryTheTablesVerdict) {
    for (const EntryCase& c : ENTRY_CASES) {
        SCOPED_TRACE(std::string(c.fen) + " " + std::string(c.move));
        Position pos = from_fen(c.fen);
        std::optional<Move> mv = pos.parse_uci_move(c.move);
        ASSERT_TRUE(mv.has_value());
        auto root = tb->probe_root(pos);
        ASSERT_TRUE(root.has_value());
        const RootMove* found = nullptr;
        for (const RootMove& rm : *root)
            if (rm.mv == *mv) found = &rm;
        ASSERT_NE(found, nullptr) << root_moves_text(*root);
        EXPECT_EQ(found->wdl, c.wdl);
        if (c.dtz >= 0) {
            EXPECT_EQ(found->dtz, static_cast<std::uint32_t>(c.dtz));
        }
    }
}

TEST_F(SyzygyTables, EnPassantEntryIsTheGeneratedEnPassantMove) {
    Position pos = from_fen("8/2k5/8/5Pp1/8/8/K7/8 w - g6 0 1");
    auto root = tb->probe_root(pos);
    ASSERT_TRUE(root.has_value());
    int en_passant = 0;
    for (const RootMove& rm : *root) {
        if (move_to(rm.mv) != 46) continue;
        ++en_passant;
        EXPECT_EQ(rm.mv, make_move(37, 46, EN_PASSANT));
        EXPECT_EQ(rm.wdl, Wdl::WIN);
    }
    EXPECT_EQ(en_passant, 1);
}

TEST_F(SyzygyTables, NoProbeWhereTheTablesCannotAnswer) {
    constexpr std::string_view NEVER_PROBED[] = {
        "4k3/8/8/8/8/8/8/R3K3 w Q - 0 1",      // castling right
        "4k2r/8/8/8/8/8/8/4K3 b k - 0 1",      // castling right, the other side
        "8/5k2/8/4PP2/8/8/r7/4K2R w - - 0 1",  // six pieces
        "8/8/8/3qk3/8/8/4P3/3QK3 w - - 0 1",   // five pieces without a table (KQPvKQ)
    };
    for (std::string_view text : NEVER_PROBED) {
        SCOPED_TRACE(text);
        Position pos = from_fen(text);
        EXPECT_EQ(tb->probe_wdl(pos), std::nullopt);
        EXPECT_EQ(tb->probe_root(pos), std::nullopt);
    }
}

TEST_F(SyzygyTables, HalfMoveClockStopsOnlyTheWdlProbe) {
    Position fresh = from_fen("8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 0 1");
    Position clocked = from_fen("8/3B4/8/1R6/5r2/8/3K4/5k2 w - - 10 1");
    EXPECT_EQ(tb->probe_wdl(fresh), Wdl::CURSED_WIN);
    EXPECT_EQ(tb->probe_wdl(clocked), std::nullopt);
    auto a = tb->probe_root(fresh);
    auto b = tb->probe_root(clocked);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(root_moves_text(*a), root_moves_text(*b));
}

TEST_F(SyzygyTables, ProbesAgreeAcrossThreads) {
    std::vector<Position> positions;
    std::vector<std::optional<Wdl>> expected_wdl;
    std::vector<std::string> expected_root;
    for (const TableCase& c : TABLE_CASES) {
        positions.push_back(from_fen(c.fen));
        expected_wdl.push_back(c.wdl);
        expected_root.push_back(root_moves_text(tb->probe_root(positions.back()).value()));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round)
                for (std::size_t i = 0; i < positions.size(); ++i) {
                    if (tb->probe_wdl(positions[i]) != expected_wdl[i]) ++mismatches[t];
                    auto root = tb->probe_root(positions[i]);
                    if (!root || root_moves_text(*root) != expected_root[i]) ++mismatches[t];
                }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// --- loading, unloading and replacing ------------------------------------------------------

const Position& probe_position() {
    static const Position pos = from_fen("8/8/8/4k3/8/8/8/3QK3 w - - 0 1");
    return pos;
}

void expect_working(const Syzygy& tb) {
    EXPECT_EQ(tb.max_pieces(), 5u);
    EXPECT_EQ(tb.probe_wdl(probe_position()), Wdl::WIN);
    auto root = tb.probe_root(probe_position());
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->size(), 21u);
}

void expect_retired(const Syzygy& tb) {
    EXPECT_EQ(tb.max_pieces(), 0u);
    EXPECT_EQ(tb.probe_wdl(probe_position()), std::nullopt);
    EXPECT_EQ(tb.probe_root(probe_position()), std::nullopt);
}

TEST(SyzygyLifetime, UnloadAndReloadCycles) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        std::shared_ptr<Syzygy> tb = load_tables();
        expect_working(*tb);
        tb->unload();
        expect_retired(*tb);  // Fathom would crash on a probe after the release
        tb->unload();
        expect_retired(*tb);
    }
    // Dropping the last holder releases the tables as unload does.
    std::shared_ptr<Syzygy> dropped = load_tables();
    expect_working(*dropped);
    dropped.reset();
    expect_working(*load_tables());
}

TEST(SyzygyLifetime, LaterLoadRetiresTheEarlierObject) {
    std::shared_ptr<Syzygy> first = load_tables();
    std::shared_ptr<Syzygy> second = load_tables();
    expect_retired(*first);
    expect_working(*second);
    // The earlier object no longer owns the tables, so it must not release them.
    first->unload();
    first.reset();
    expect_working(*second);
}

TEST(SyzygyLifetime, FailedLoadKeepsTheTablesInUse) {
    std::shared_ptr<Syzygy> tb = load_tables();
    EXPECT_NE(error_of(Syzygy::load("../shared/syzygy/no-such-directory")), "(loaded)");
    expect_working(*tb);
    EXPECT_NE(error_of(Syzygy::load("bad\0path"s)), "(loaded)");
    expect_working(*tb);
    tb->unload();
    EXPECT_NE(error_of(Syzygy::load("../shared/syzygy/no-such-directory")), "(loaded)");
    expect_retired(*tb);
    expect_working(*load_tables());
}

// --- error texts ----------------------------------------------------------------------------

class ScratchDirectory {
public:
    ScratchDirectory()
        : root_(std::filesystem::temp_directory_path()
                / ("orvane-syzygy-test-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(root_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::filesystem::path make(const std::string& name) const {
        std::filesystem::path dir = root_ / name;
        std::filesystem::create_directories(dir);
        return dir;
    }

private:
    std::filesystem::path root_;
};

TEST(SyzygyErrors, NulByteInPath) {
    EXPECT_EQ(error_of(Syzygy::load("../shared/syzygy\0/x"s)), "path contains a NUL byte");
    EXPECT_EQ(error_of(Syzygy::load("\0"s)), "path contains a NUL byte");
}

TEST(SyzygyErrors, MissingDirectory) {
    EXPECT_EQ(error_of(Syzygy::load("../shared/syzygy/no-such-directory")),
              "no Syzygy tables found in \"../shared/syzygy/no-such-directory\"");
}

TEST(SyzygyErrors, EmptyDirectoryNameIsQuotedWithEscapes) {
    ScratchDirectory scratch;
    std::filesystem::path dir = scratch.make("empty \"dir\" \\ tab\there");
    std::string shown = dir.parent_path().string() + "/empty \\\"dir\\\" \\\\ tab\\there";
    EXPECT_EQ(error_of(Syzygy::load(dir.string())), "no Syzygy tables found in \"" + shown + "\"");
}

TEST(SyzygyErrors, DirectoryWithOnlyBrokenTables) {
    ScratchDirectory scratch;
    std::filesystem::path dir = scratch.make("broken");
    std::ofstream(dir / "KQvK.rtbw") << "not a table";
    std::ofstream(dir / "KRvK.rtbw");
    EXPECT_EQ(error_of(Syzygy::load(dir.string())),
              "no Syzygy tables found in \"" + dir.string() + "\"");
}

TEST(SyzygyErrors, QuotedTextLikeDebugOutput) {
    struct QuoteCase {
        std::string text, shown;
    };
    const QuoteCase cases[] = {
        {"", R"("")"},
        {"/tables/syzygy", R"("/tables/syzygy")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\tb", R"("C:\\tb")"},
        {"it's", R"("it's")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {"nul\0"s, R"("nul\0")"},
        {"\x01\x1b\x1f\x7f", R"("\u{1}\u{1b}\u{1f}\u{7f}")"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB2",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB2\""},
        {"\xC2\x85", R"("\u{85}")"},
        {"\xFF", R"("\xFF")"},
        {"x\xC3", R"("x\xC3")"},
        {"\xC0\xAF", R"("\xC0\xAF")"},
        {"\xED\xA0\x80", R"("\xED\xA0\x80")"},
    };
    for (const QuoteCase& c : cases) EXPECT_EQ(syzygy::debug_quoted(c.text), c.shown);
}

}  // namespace
}  // namespace orvane
