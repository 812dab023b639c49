#include "core/board/text.h"

namespace orvane::text {

std::size_t whitespace_length(std::string_view s) {
    if (s.empty()) return 0;
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c == 0xC2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (s.size() >= 3) {
        if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;   // U+1680
        if (c == 0xE2 && b(1) == 0x80 && (b(2) <= 0x8A || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
            return 3;                                               // U+2000-200A, 2028, 2029, 202F
        if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;   // U+205F
        if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;   // U+3000
    }
    return 0;
}

std::vector<std::string_view> split_words(std::string_view s) {
    std::vector<std::string_view> words;
    std::size_t i = 0, start = std::string_view::npos;
    while (i < s.size()) {
        std::size_t ws = whitespace_length(s.substr(i));
        if (ws > 0) {
            if (start != std::string_view::npos) words.push_back(s.substr(start, i - start));
            start = std::string_view::npos;
            i += ws;
        } else {
            if (start == std::string_view::npos) start = i;
            i += utf8_char_length(s.substr(i));
        }
    }
    if (start != std::string_view::npos) words.push_back(s.substr(start));
    return words;
}

std::string_view trim(std::string_view s) {
    while (std::size_t n = whitespace_length(s)) s.remove_prefix(n);
    // Trailing white space: walk forward, remembering where the last non-blank ended.
    std::size_t i = 0, end = 0;
    while (i < s.size()) {
        std::size_t ws = whitespace_length(s.substr(i));
        if (ws > 0) {
            i += ws;
        } else {
            i += utf8_char_length(s.substr(i));
            end = i;
        }
    }
    return s.substr(0, end);
}

std::string join(const std::vector<std::string_view>& words, std::size_t first, std::size_t last) {
    std::string out;
    for (std::size_t i = first; i < last && i < words.size(); ++i) {
        if (i > first) out += ' ';
        out += words[i];
    }
    return out;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string unicode_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = utf8_char_length(s.substr(i));
        auto c0 = static_cast<unsigned char>(s[i]);
        if (n == 1) {
            out += (c0 >= 'A' && c0 <= 'Z') ? static_cast<char>(c0 - 'A' + 'a') : s[i];
        } else if (n == 2) {
            unsigned cp = ((c0 & 0x1F) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F);
            if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2))
                cp += 0x20;                                          // Latin-1, Greek capitals
            else if (cp >= 0x410 && cp <= 0x42F) cp += 0x20;         // Cyrillic А-Я
            else if (cp >= 0x400 && cp <= 0x40F) cp += 0x50;         // Cyrillic Ѐ-Џ
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out.append(s.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::size_t utf8_char_length(std::string_view s) {
    if (s.empty()) return 0;
    auto c = static_cast<unsigned char>(s[0]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (n > s.size()) return 1;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
    return n;
}

}  // namespace orvane::text
