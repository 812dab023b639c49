// Random command lines for fuzzing the engine's command loop.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/board/movegen.h"
#include "core/board/position.h"
#include "core/board/text.h"

namespace orvane::testing {

// The blank-separated words of a line.
inline std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = std::min(text.find(' ', i), text.size());
        if (end > i) words.push_back(text.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

// Lines for fuzzing the command loop: well-formed commands, mutated ones, random bytes and
// very long lines, all from one rng state so that a failure can be replayed. Lines never
// contain '\n'. Options whose values would only test the machine (a huge Hash, hundreds of
// threads, long perft, bench, files) are kept to small or harmless values.
class UciLineMaker {
public:
    explicit UciLineMaker(std::uint64_t state, bool allow_quit = true)
        : rng_(state), allow_quit_(allow_quit) {}

    std::string next() {
        const int kind = below(1000);
        std::string line;
        if (kind < 4)
            line = long_line();
        else if (kind < 60)
            line = random_bytes(below(80));
        else if (kind < 300)
            line = mutate(command());
        else
            line = command();
        return sanitize(std::move(line));
    }

    // True when the engine starts a search for this line (and so prints one bestmove).
    static bool starts_search(std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(line));
        if (words.empty() || words[0] != "go") return false;
        return std::find(words.begin(), words.end(), "perft") == words.end();
    }

    static bool is_quit(std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(line));
        return !words.empty() && words[0] == "quit";
    }

    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

private:
    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[below(items.size())];
    }

    std::string number() {
        static const std::vector<std::string> odd = {"0",
                                                     "-0",
                                                     "+0",
                                                     "-1",
                                                     "+1",
                                                     "1",
                                                     "2",
                                                     "3",
                                                     "127",
                                                     "128",
                                                     "255",
                                                     "256",
                                                     "65535",
                                                     "65536",
                                                     "2147483647",
                                                     "2147483648",
                                                     "-2147483648",
                                                     "-2147483649",
                                                     "4294967295",
                                                     "4294967296",
                                                     "9223372036854775807",
                                                     "9223372036854775808",
                                                     "-9223372036854775808",
                                                     "18446744073709551615",
                                                     "18446744073709551616",
                                                     "99999999999999999999999",
                                                     "1e3",
                                                     "0x10",
                                                     "--5",
                                                     "++5",
                                                     "+-5",
                                                     "5-",
                                                     " ",
                                                     "",
                                                     "abc",
                                                     "\xFF"};
        if (below(3) == 0) return pick(odd);
        return std::to_string(static_cast<std::int64_t>(below(5000)) - 100);
    }

    std::string random_move_text() {
        static const std::vector<std::string> texts = {
            "e2e4", "d2d4", "g1f3", "e7e5", "a7a8q", "a7a8",  "e1g1", "e1c1", "e8g8", "h7h8n",
            "a1a1", "i9i9", "e2e5", "0000", "e2",    "e2e4e", "E2E4", "b1c3", "c7c5", "d7d5"};
        return pick(texts);
    }

    // A random game from `fen`, as a "moves" list (sometimes with an illegal word inside).
    std::string moves_from(const std::string& fen, int max_plies) {
        FenResult parsed = Position::from_fen(fen);
        if (!std::holds_alternative<Position>(parsed)) return "";
        Position pos = std::get<Position>(std::move(parsed));
        std::string out;
        const int plies = static_cast<int>(below(static_cast<std::uint64_t>(max_plies) + 1));
        for (int i = 0; i < plies; ++i) {
            MoveList legal;
            movegen::generate_all(pos, legal);
            if (legal.empty()) break;
            const Move m = legal[static_cast<int>(below(static_cast<std::uint64_t>(legal.size())))];
            out += ' ';
            out += move_to_uci(m);
            pos.make_move(m);
        }
        if (below(8) == 0) {
            out += ' ';
            out += random_move_text();
        }
        return out;
    }

    std::string fen() {
        static const std::vector<std::string> fens = {
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
            "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
            "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
            "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
            "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
            "8/P7/8/8/8/8/7p/k6K w - - 0 1",
            "8/8/8/4k3/8/8/8/KQ6 w - - 0 1",
            "8/8/8/8/8/8/1qk5/K7 w - - 0 1",
            "8/8/8/8/8/1q6/2k5/K7 w - - 0 1",
            "k7/8/1K6/8/8/8/8/7R w - - 0 1",
            "4k3/8/8/8/8/8/8/4K2R w K - 99 80",
            "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
            "8/8/8/8/8/8/8/8 w - - 0 1",
            "k7/8/8/8/8/8/8/K7 w - - 70000 1",
            "K7/8/8/8/8/8/8/k7 b KQkq - 0 1",
            "kk6/8/8/8/8/8/8/KK6 w - - 0 1",
            "k7/8/8/8/8/8/8/K6P w - - 0 1",
            "k6Q/8/8/8/8/8/8/K7 w - - 0 1",
            "k6Q/8/8/8/8/8/8/K7 b - - 0 1",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e3 0 1",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0",
            "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w",
            "QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQkQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQKQQQ b - - 0 1",
            "4k3/8/8/8/8/8/pppppppp/4K3 b - - 0 1",
            "3k4/8/8/8/8/8/8/R3K2R w KQ - 0 1 extra fields here",
        };
        std::string f = pick(fens);
        if (below(6) == 0) {
            // A character changed: mostly a bad FEN, sometimes another valid one.
            const std::string alphabet = "pnbrqkPNBRQK12345678/ -wb0";
            f[below(f.size())] = alphabet[below(alphabet.size())];
        }
        return f;
    }

    std::string name_case(std::string name) {
        const int how = static_cast<int>(below(4));
        for (char& c : name) {
            if (how == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            if (how == 2 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            if (how == 3 && below(2) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
        return name;
    }

    std::string setoption_for(const std::string& name) {
        const std::string key = orvane::text::ascii_lower(name);
        std::string value;
        if (key == "hash")
            value = below(5) ? std::to_string(1 + below(64))
                             : pick<std::string>({"abc", "0", "-1", ""});
        else if (key == "threads")
            value =
                below(5) ? std::to_string(1 + below(8)) : pick<std::string>({"0", "-3", "x", ""});
        else if (key == "uci_elo")
            value = below(2) ? std::to_string(1000 + below(2200)) : number();
        else if (key == "evalfile")
            value =
                pick<std::string>({"<internal>", "", "/nonexistent/net.nnue", "  <internal>  "});
        else if (key == "routerfile")
            value = pick<std::string>({"<empty>", "", "/nonexistent/router.bin"});
        else if (key == "syzygypath")
            value = pick<std::string>({"<empty>", "", "/nonexistent/tables",
                                       std::string(ORVANE_SOURCE_DIR) + "/../shared/syzygy"});
        else if (key == "smpmode")
            value = pick<std::string>({"Lazy", "YBWC", "ABDADA", "lazysmp", "ybwc", "junk", ""});
        else if (key == "searchmode")
            value = pick<std::string>({"AB", "VOI", "GumbelSH", "mcts", "alpha-beta", "x"});
        else if (key == "usennue" || key == "uci_showwdl" || key == "abdada" ||
                 key == "routerorder" || key == "goalmoves" || key == "ponder" ||
                 key == "uci_limitstrength")
            value = pick<std::string>({"true", "false", "TRUE", "True", "yes", ""});
        else if (key == "routermode")
            value = pick<std::string>({"Delta", "Replace", "replace", "x"});
        else if (key == "multipv")
            value = below(4) ? std::to_string(below(6)) : number();
        else
            value = number();
        std::string line = "setoption name " + name_case(name);
        if (key != "clear hash" || below(2)) line += " value " + value;
        return line;
    }

    std::string setoption() {
        static const std::vector<std::string> names = {
            "Hash",       "Clear Hash",       "Threads",      "Move Overhead", "PolicyMinDepth",
            "RouterFile", "RouterPlies",      "RouterReduce", "RouterOrder",   "RouterMinDepth",
            "RouterMode", "RouterOrderBonus", "RouterTopK",   "SyzygyPath",    "UseNNUE",
            "EvalFile",   "MultiPV",          "UCI_ShowWDL",  "GoalMoves",     "ABDADA",
            "SMPMode",    "SearchMode",       "GumbelTemp",   "Unknown Thing", "Hashes",
            "Ponder",     "UCI_LimitStrength", "UCI_Elo"};
        return setoption_for(pick(names));
    }

    std::string go() {
        switch (below(20)) {
            case 0: return "go nodes " + std::to_string(1 + below(3000));
            case 1: return "go depth " + std::to_string(1 + below(3));
            case 2: return "go movetime " + std::to_string(below(15));
            case 3:
                return "go wtime " + std::to_string(below(2000)) + " btime " +
                       std::to_string(below(2000)) + " winc " + std::to_string(below(50)) +
                       " binc " + std::to_string(below(50));
            case 4:
                return "go wtime " + std::to_string(below(3000)) + " btime " +
                       std::to_string(below(3000)) + " movestogo " + std::to_string(below(40));
            case 5: return "go infinite";
            case 6: return "go";
            case 7:
                return "go searchmoves " + random_move_text() + " " + random_move_text() +
                       " nodes 800";
            case 8: return "go perft " + std::to_string(below(3));
            case 9: return "go ponder depth 2";
            case 10: return "go depth " + number() + " nodes " + number();
            case 11: return "go movetime " + number();
            case 12: return "go infinite searchmoves " + random_move_text();
            case 13: return "go ponder";
            case 14:
                return "go ponder wtime " + std::to_string(below(3000)) + " btime " +
                       std::to_string(below(3000)) + " winc " + std::to_string(below(50));
            case 15: return pick<std::string>({"go mate 0", "go mate -3", "go mate 0 depth 2"});
            case 16: return "go mate " + number() + (below(2) ? " nodes 2000" : "");
            case 17: return "go mate " + std::to_string(1 + below(4)) + " depth 3";
            case 18: return "go ponder mate 1 movetime " + std::to_string(below(30));
            default: return "go nodes 500 depth 2 movetime 20";
        }
    }

    std::string command() {
        const int k = static_cast<int>(below(100));
        if (k < 22) return go();
        if (k < 29) return "stop";
        if (k < 32) return below(4) ? "ponderhit" : "ponderhit " + number();
        if (k < 50) {
            if (below(2))
                return "position startpos" +
                       std::string(below(5) ? " moves" + moves_from(START_FEN_TEXT, 30) : "");
            const std::string f = fen();
            return "position fen " + f + (below(2) ? " moves" + moves_from(f, 12) : "");
        }
        if (k < 66) return setoption();
        if (k < 72) return "isready";
        if (k < 74) return "uci";
        if (k < 78) return "ucinewgame";
        if (k < 81) return below(2) ? "d" : "display";
        if (k < 85) return "eval";
        if (k < 88) return below(2) ? "perft" : "perft " + std::to_string(below(3));
        if (k < 89) return "quit";
        if (k < 92)
            return pick<std::string>({"position", "position moves e2e4", "position foo",
                                      "setoption", "Quit", "UCI", "go go go", "stop stop"});
        return pick<std::string>(
            {"", "   ", "\t", "\r", "isready\r", " \xC2\xA0 isready \xE2\x80\x83"});
    }

    std::string random_bytes(std::size_t n) {
        static const std::vector<std::string> pieces = {
            " ",        "\t",           "\r",   std::string(1, '\0'),
            "\xC2\xA0", "\xE3\x80\x80", "\xFF", "\xC3",
            "go",       "moves",        "name", "value",
            "fen",      "startpos"};
        std::string out;
        while (out.size() < n) {
            if (below(4) == 0) {
                out += pick(pieces);
            } else {
                char c = static_cast<char>(below(256));
                if (c == '\n') c = ' ';
                out += c;
            }
        }
        return out;
    }

    std::string long_line() {
        switch (below(4)) {
            case 0: return random_bytes(10'000 + below(190'000));
            case 1: {
                std::string line = "position startpos moves";
                const int rounds = 50 + static_cast<int>(below(800));
                for (int i = 0; i < rounds; ++i) line += " g1f3 g8f6 f3g1 f6g8";
                return line;
            }
            case 2: return "position startpos moves" + moves_from(START_FEN_TEXT, 400);
            default: {
                std::string line = "setoption name ";
                for (int i = static_cast<int>(below(20'000)); i > 0; --i) line += "x ";
                return line + "value 1";
            }
        }
    }

    std::string mutate(std::string line) {
        static const std::vector<std::string> keywords = {
            "moves",     "name",   "value",    "fen",   "startpos", "infinite", "searchmoves",
            "depth",     "nodes",  "movetime", "wtime", "btime",    "winc",     "binc",
            "movestogo", "ponder", "go",       "stop",  "position", "mate",     "ponderhit"};
        const int edits = 1 + static_cast<int>(below(3));
        for (int e = 0; e < edits; ++e) {
            std::vector<std::string> words = words_of(line);
            switch (below(7)) {
                case 0:
                    if (!line.empty()) line.erase(below(line.size()), 1 + below(4));
                    break;
                case 1: line.insert(below(line.size() + 1), random_bytes(1 + below(3))); break;
                case 2:
                case 3:
                    if (!words.empty()) {
                        words[below(words.size())] = below(2) ? number() : pick(keywords);
                        line = join(words);
                    }
                    break;
                case 4:
                    if (!words.empty()) {
                        const std::size_t i = below(words.size());
                        words.insert(words.begin() + static_cast<std::ptrdiff_t>(i), words[i]);
                        line = join(words);
                    }
                    break;
                case 5:
                    if (words.size() >= 2) {
                        std::swap(words[below(words.size())], words[below(words.size())]);
                        line = join(words);
                    }
                    break;
                default: line.resize(below(line.size() + 1)); break;
            }
        }
        return line;
    }

    static std::string join(const std::vector<std::string>& words) {
        std::string out;
        for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
        return out;
    }

    // Keeps the line within what a fuzz run should spend (see the class comment).
    std::string sanitize(std::string line) {
        std::string_view view = line;
        if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
        const std::vector<std::string_view> words =
            orvane::text::split_words(orvane::text::trim(view));
        if (words.empty()) return line;
        if (std::find(words.begin(), words.end(), "bench") != words.end()) return "isready";
        if (std::find(words.begin(), words.end(), "perft") != words.end())
            return below(2) ? "perft " + std::to_string(below(3))
                            : "go perft " + std::to_string(below(3));
        if (words[0] == "quit" && !allow_quit_) return "isready";
        if (words[0] == "setoption") {
            // The name as the engine reads it: after "name" (or from the start) up to "value".
            const std::vector<std::string_view> args(words.begin() + 1, words.end());
            std::size_t name_at = args.size(), value_at = args.size();
            for (std::size_t i = 0; i < args.size(); ++i) {
                if (args[i] == "name" && name_at == args.size()) name_at = i;
                if (args[i] == "value" && value_at == args.size()) value_at = i;
            }
            const std::size_t begin = name_at == args.size() ? 0 : name_at + 1;
            const std::size_t end = value_at >= begin ? value_at : args.size();
            const std::string name =
                orvane::text::ascii_lower(orvane::text::join(args, begin, end));
            for (const char* guarded :
                 {"hash", "threads", "goalmoves", "evalfile", "routerfile", "syzygypath"})
                if (name == guarded) return setoption_for(name);
        }
        return line;
    }

    static constexpr const char* START_FEN_TEXT =
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

    std::mt19937_64 rng_;
    bool allow_quit_;
};

}  // namespace orvane::testing
