// Reflections of a FEN, for symmetry tests of the evaluators.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::fen_mirror {

inline std::vector<std::string> fields_of(std::string_view fen) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : fen) {
        if (c == ' ') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

inline std::vector<std::string> ranks_of(const std::string& board) {
    std::vector<std::string> ranks(1);
    for (char c : board) {
        if (c == '/')
            ranks.emplace_back();
        else
            ranks.back() += c;
    }
    return ranks;
}

inline std::string join_ranks(const std::vector<std::string>& ranks) {
    std::string out;
    for (std::size_t i = 0; i < ranks.size(); ++i) out += (i ? "/" : "") + ranks[i];
    return out;
}

// The same position with the colours exchanged and the board turned upside down.
inline std::string colour_mirror(std::string_view fen) {
    std::vector<std::string> f = fields_of(fen);
    std::vector<std::string> ranks = ranks_of(f[0]);
    std::reverse(ranks.begin(), ranks.end());
    for (std::string& r : ranks)
        for (char& c : r)
            c = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c) : std::toupper(c);
    std::string out = join_ranks(ranks);
    out += f[1] == "w" ? " b " : " w ";
    std::string castling;
    for (char c : std::string("KQkq")) {
        const char swapped = std::isupper(static_cast<unsigned char>(c)) ? std::tolower(c)
                                                                         : std::toupper(c);
        if (f[2].find(swapped) != std::string::npos) castling += c;
    }
    out += castling.empty() ? "-" : castling;
    std::string ep = f[3];
    if (ep != "-") ep[1] = ep[1] == '3' ? '6' : '3';
    out += " " + ep + " " + f[4] + " " + f[5];
    return out;
}

// The same position with files a..h reversed; castling rights and en passant are dropped.
inline std::string file_mirror(std::string_view fen) {
    std::vector<std::string> f = fields_of(fen);
    std::vector<std::string> ranks = ranks_of(f[0]);
    for (std::string& r : ranks) std::reverse(r.begin(), r.end());
    return join_ranks(ranks) + " " + f[1] + " - - " + f[4] + " " + f[5];
}

}  // namespace orvane::fen_mirror
