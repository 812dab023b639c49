// Text helpers for everything the engine reads: splitting on white space (Unicode white
// space in UTF-8, as GUIs may send it), trimming, and strict decimal number parsing.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::text {

// Length in bytes of the white-space character at the start of s, or 0 when s does not
// begin with one (ASCII blanks and the Unicode White_Space characters encoded in UTF-8).
std::size_t whitespace_length(std::string_view s);

std::vector<std::string_view> split_words(std::string_view s);
std::string_view trim(std::string_view s);
std::string join(const std::vector<std::string_view>& words, std::size_t first, std::size_t last);
std::string ascii_lower(std::string_view s);
// Lower-cases ASCII and the Latin-1, Greek and Cyrillic letters of UTF-8 text.
std::string unicode_lower(std::string_view s);
// Length in bytes of the UTF-8 character at the start of s (1 for invalid bytes).
std::size_t utf8_char_length(std::string_view s);

// A decimal integer of type T: an optional "+", or "-" for signed types, then digits only.
// Out-of-range values and any other character fail.
template <std::integral T>
std::optional<T> parse_int(std::string_view s) {
    std::string_view digits = s;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        if (digits.front() == '-' && !std::is_signed_v<T>) return std::nullopt;
        digits.remove_prefix(1);
        if (s.front() == '+') s.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return value;
}

}  // namespace orvane::text
