#include "uci/engine.h"

#include <chrono>
#include <string>

#include "core/movegen.h"
#include "core/text.h"
#include "uci/output.h"

namespace orvane::uci {

Engine::Engine() : position_(Position::startpos()) {}

bool Engine::handle(std::string_view line) {
    const std::vector<std::string_view> words = text::split_words(line);
    if (words.empty()) return true;
    const std::string_view cmd = words[0];
    const std::vector<std::string_view> args(words.begin() + 1, words.end());

    if (cmd == "uci") {
        cmd_uci();
    } else if (cmd == "isready") {
        write_line("readyok");
    } else if (cmd == "ucinewgame") {
        position_ = Position::startpos();
    } else if (cmd == "position") {
        cmd_position(args);
    } else if (cmd == "go") {
        cmd_go(args);
    } else if (cmd == "stop") {
    } else if (cmd == "quit") {
        return false;
    } else if (cmd == "d" || cmd == "display") {
        write_line(position_.diagram());
    } else if (cmd == "perft") {
        std::uint32_t depth = 1;
        if (!args.empty()) depth = text::parse_int<std::uint32_t>(args[0]).value_or(1);
        perft(depth);
    } else {
        info_string("unknown command: " + std::string(line));
    }
    return true;
}

void Engine::cmd_uci() {
    std::string out = "id name " + std::string(ENGINE_NAME) + "\n";
    out += "id author " + std::string(ENGINE_AUTHOR) + "\n";
    out += "uciok\n";
    write_raw(out);
}

void Engine::cmd_position(const std::vector<std::string_view>& args) {
    std::size_t moves_at = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "moves") {
            moves_at = i;
            break;
        }
    }
    if (moves_at == 0) {
        info_string("expected 'startpos' or 'fen'");
        return;
    }
    Position next;
    if (args[0] == "fen") {
        FenResult parsed = Position::from_fen(text::join(args, 1, moves_at));
        if (auto* error = std::get_if<FenError>(&parsed)) {
            info_string(error->text());
            return;
        }
        next = std::get<Position>(std::move(parsed));
    } else if (args[0] == "startpos") {
        next = Position::startpos();
    } else {
        info_string("expected 'startpos' or 'fen'");
        return;
    }
    position_ = std::move(next);
    for (std::size_t i = moves_at + 1; i < args.size(); ++i) {
        std::optional<Move> m = position_.parse_uci_move(args[i]);
        if (!m) {
            info_string("illegal move " + std::string(args[i]));
            return;
        }
        position_.make_move(*m);
    }
}

void Engine::cmd_go(const std::vector<std::string_view>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "perft") {
            // The depth is read as a signed number; a negative or missing one counts as 1.
            std::int64_t depth = 1;
            if (i + 1 < args.size()) depth = text::parse_int<std::int64_t>(args[i + 1]).value_or(1);
            if (depth < 1) depth = 1;
            perft(static_cast<std::uint32_t>(std::min<std::int64_t>(depth, UINT32_MAX)));
            return;
        }
    }
}

void Engine::perft(std::uint32_t depth) {
    const auto start = std::chrono::steady_clock::now();
    MoveList moves;
    movegen::generate_all(position_, moves);
    std::uint64_t total = 0;
    std::string out;
    for (Move m : moves) {
        position_.make_move(m);
        std::uint64_t count = depth < 2 ? 1 : movegen::perft(position_, static_cast<int>(depth - 1));
        position_.unmake_move(m);
        out += move_to_uci(m) + ": " + std::to_string(count) + "\n";
        total += count;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                    - start)
                  .count();
    if (ms < 1) ms = 1;
    std::uint64_t nps = total * 1000 / static_cast<std::uint64_t>(ms);
    out += "\nNodes searched: " + std::to_string(total) + "  (" + std::to_string(ms) + " ms, "
           + std::to_string(nps) + " nps)\n";
    write_raw(out);
}

}  // namespace orvane::uci
