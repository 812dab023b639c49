#include "uci/opening_book.h"

#include <fstream>
#include <sstream>

#include "core/board/san.h"
#include "core/board/text.h"

namespace orvane::uci {
namespace {

// The move tokens of PGN movetext: comments ({...} and ; to the end of the line),
// variations (...), move numbers ("12." and "12..."; "12.Nf3" keeps its move), numeric
// annotation glyphs ($1) and the result are left out.
std::vector<std::string_view> move_tokens(std::string_view movetext) {
    std::vector<std::string_view> tokens;
    int brace = 0, paren = 0;
    std::size_t i = 0;
    while (i < movetext.size()) {
        const char c = movetext[i];
        if (brace > 0) {
            brace -= c == '}';
            ++i;
        } else if (c == '{') {
            ++brace;
            ++i;
        } else if (c == ';') {
            while (i < movetext.size() && movetext[i] != '\n') ++i;
        } else if (c == '(') {
            ++paren;
            ++i;
        } else if (c == ')') {
            paren -= paren > 0;
            ++i;
        } else if (text::whitespace_length(movetext.substr(i)) > 0) {
            i += text::whitespace_length(movetext.substr(i));
        } else {
            std::size_t end = i;
            while (end < movetext.size() && text::whitespace_length(movetext.substr(end)) == 0
                   && movetext[end] != '{' && movetext[end] != '(' && movetext[end] != ')'
                   && movetext[end] != ';')
                ++end;
            std::string_view word = movetext.substr(i, end - i);
            i = end;
            if (paren > 0) continue;
            const std::size_t dot = word.find_last_of('.');
            if (dot != std::string_view::npos) word.remove_prefix(dot + 1);
            if (word.empty() || word[0] == '$' || word == "*" || word == "1-0" || word == "0-1"
                || word == "1/2-1/2")
                continue;
            tokens.push_back(word);
        }
    }
    return tokens;
}

// The value of a tag line such as [FEN "..."], when the line is that tag.
std::optional<std::string> tag_value(std::string_view line, std::string_view name) {
    line = text::trim(line);
    if (!line.starts_with("[") || !line.substr(1).starts_with(name)) return std::nullopt;
    const std::size_t open = line.find('"');
    const std::size_t close = line.rfind('"');
    if (open == std::string_view::npos || close <= open) return std::nullopt;
    return std::string(line.substr(open + 1, close - open - 1));
}

bool has_pgn_extension(const std::string& path) {
    return path.size() >= 4 && text::ascii_lower(path.substr(path.size() - 4)) == ".pgn";
}

}  // namespace

OpeningBook OpeningBook::from_epd(std::string_view text) {
    OpeningBook book;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string_view> words = text::split_words(line);
        if (words.size() < 4 || words[0].starts_with("#")) continue;
        // The four position fields; the counters only when both are there as numbers.
        std::size_t fields = 4;
        if (words.size() >= 6 && text::parse_int<unsigned>(words[4])
            && text::parse_int<unsigned>(words[5]))
            fields = 6;
        book.entries_.push_back({text::join(words, 0, fields), {}});
    }
    return book;
}

OpeningBook OpeningBook::from_pgn(std::string_view text) {
    OpeningBook book;
    std::istringstream in{std::string(text)};
    Entry game;
    bool in_movetext = false;
    auto finish = [&] {
        if (in_movetext || !game.fen.empty()) book.entries_.push_back(std::move(game));
        game = Entry{};
        in_movetext = false;
    };
    for (std::string line; std::getline(in, line);) {
        const std::string_view trimmed = text::trim(line);
        if (trimmed.starts_with("[")) {
            if (in_movetext) finish();  // the tags of the next game
            if (auto fen = tag_value(trimmed, "FEN ")) game.fen = *fen;
            continue;
        }
        if (trimmed.empty()) continue;
        in_movetext = true;
        game.movetext += line;
        game.movetext += '\n';
    }
    finish();
    return book;
}

std::optional<Position> OpeningBook::position(std::size_t i) const {
    if (i >= entries_.size()) return std::nullopt;
    const Entry& entry = entries_[i];
    Position pos = Position::startpos();
    if (!entry.fen.empty()) {
        FenResult parsed = Position::from_fen(entry.fen);
        if (!std::holds_alternative<Position>(parsed)) return std::nullopt;
        pos = std::get<Position>(std::move(parsed));
    }
    for (std::string_view token : move_tokens(entry.movetext)) {
        const std::optional<Move> m = san::parse(pos, token);
        if (!m) return std::nullopt;
        pos.make_move(*m);
    }
    return pos;
}

BookLoad read_book(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return BookError{"cannot open book " + path};
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) return BookError{"cannot read book " + path};
    OpeningBook book = has_pgn_extension(path) ? OpeningBook::from_pgn(contents.str())
                                               : OpeningBook::from_epd(contents.str());
    if (book.size() == 0) return BookError{"no positions in book " + path};
    return book;
}

}  // namespace orvane::uci
