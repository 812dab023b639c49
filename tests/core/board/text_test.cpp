// Text helpers: word splitting and trimming on Unicode white space, strict integer parsing,
// UTF-8 character lengths and lower-casing.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/board/text.h"

namespace orvane::text {
namespace {

std::vector<std::string> words(std::string_view s) {
    std::vector<std::string> out;
    for (std::string_view w : split_words(s)) out.emplace_back(w);
    return out;
}

struct SplitCase {
    const char* name;
    std::string input;
    std::vector<std::string> expected;
};

const SplitCase SPLIT_CASES[] = {
    {"empty", "", {}},
    {"blanks_only", " \t\r\n\v\f", {}},
    {"plain", "go depth 5", {"go", "depth", "5"}},
    {"runs_count_once", "  go \t\t depth\r\n5  ", {"go", "depth", "5"}},
    {"crlf", "isready\r\n", {"isready"}},
    {"nbsp", "x\xC2\xA0y", {"x", "y"}},
    {"next_line", "x\xC2\x85y", {"x", "y"}},
    {"ogham_space", "x\xE1\x9A\x80y", {"x", "y"}},
    {"en_quad", "x\xE2\x80\x80y", {"x", "y"}},
    {"hair_space", "x\xE2\x80\x8Ay", {"x", "y"}},
    {"line_separator", "x\xE2\x80\xA8y", {"x", "y"}},
    {"paragraph_separator", "x\xE2\x80\xA9y", {"x", "y"}},
    {"narrow_nbsp", "x\xE2\x80\xAFy", {"x", "y"}},
    {"math_space", "x\xE2\x81\x9Fy", {"x", "y"}},
    {"ideographic_space", "x\xE3\x80\x80y", {"x", "y"}},
    {"mixed_run", "\xE3\x80\x80 x \xC2\xA0\t\xE2\x80\x83y\xE3\x80\x80", {"x", "y"}},
    // Not white space: zero-width space, byte order mark, ideographic comma, accented letters.
    {"zero_width_space", "x\xE2\x80\x8By", {"x\xE2\x80\x8By"}},
    {"byte_order_mark", "\xEF\xBB\xBFuci", {"\xEF\xBB\xBFuci"}},
    {"ideographic_comma", "x\xE3\x80\x81y", {"x\xE3\x80\x81y"}},
    {"accented", "caf\xC3\xA9 ol\xC3\xA9", {"caf\xC3\xA9", "ol\xC3\xA9"}},
    // Broken UTF-8 stays inside words byte by byte.
    {"lone_lead_byte", "a\xC2 b", {"a\xC2", "b"}},
    {"truncated_space", "a\xE3\x80", {"a\xE3\x80"}},
    {"lone_continuation", "\x80\x80 x", {"\x80\x80", "x"}},
    {"lead_then_space", "\xF0 \xE3\x80\x80x", {"\xF0", "x"}},
    {"nul_is_a_character", std::string("a\0b c", 5), {std::string("a\0b", 3), "c"}},
};

TEST(SplitWords, Table) {
    for (const SplitCase& c : SPLIT_CASES) EXPECT_EQ(words(c.input), c.expected) << c.name;
}

TEST(SplitWords, ViewsPointIntoTheInput) {
    const std::string line = "position \xC2\xA0startpos";
    std::vector<std::string_view> w = split_words(line);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].data(), line.data());
    EXPECT_EQ(w[1].data(), line.data() + 11);
}

TEST(Trim, Table) {
    struct Case {
        std::string input, expected;
    };
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {"x", "x"},
        {"  a b  ", "a b"},
        {"\tgo\r", "go"},
        {"\r\n", ""},
        {"\xC2\xA0x\xE3\x80\x80", "x"},
        {"\xE3\x80\x80\xE3\x80\x80", ""},
        {" a \xC2\xA0 b ", "a \xC2\xA0 b"},  // inner white space stays
        {"x\xC2", "x\xC2"},                  // a broken sequence is not white space
        {"x\xE2\x80", "x\xE2\x80"},
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},
    };
    for (const Case& c : cases) EXPECT_EQ(std::string(trim(c.input)), c.expected) << c.input;
}

TEST(Join, RangesAndBounds) {
    const std::vector<std::string_view> w = {"a", "b", "c"};
    EXPECT_EQ(join(w, 0, 3), "a b c");
    EXPECT_EQ(join(w, 1, 3), "b c");
    EXPECT_EQ(join(w, 1, 99), "b c");
    EXPECT_EQ(join(w, 2, 2), "");
    EXPECT_EQ(join(w, 3, 1), "");
    EXPECT_EQ(join({}, 0, 5), "");
}

// parse_int: optional "+", "-" only for signed types, then decimal digits only.
template <typename T>
struct IntCase {
    const char* text;
    std::optional<T> expected;
};

template <typename T>
void check_ints(std::initializer_list<IntCase<T>> cases) {
    for (const IntCase<T>& c : cases)
        EXPECT_EQ(parse_int<T>(c.text), c.expected) << "'" << c.text << "'";
}

TEST(ParseInt, SignedThirtyTwo) {
    check_ints<std::int32_t>({
        {"0", 0},
        {"7", 7},
        {"+7", 7},
        {"-7", -7},
        {"-0", 0},
        {"+0", 0},
        {"0007", 7},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"-+1", std::nullopt},
        {"--1", std::nullopt},
        {"++1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"\t1", std::nullopt},
        {"1x", std::nullopt},
        {"x1", std::nullopt},
        {"1.0", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"1_000", std::nullopt},
        {"\xEF\xBC\x91", std::nullopt},  // full-width one
        {"\xD9\xA1", std::nullopt},      // Arabic-Indic one
    });
}

TEST(ParseInt, UnsignedTypes) {
    check_ints<std::uint32_t>({
        {"0", 0u},
        {"+5", 5u},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"-1", std::nullopt},
        {"-0", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
    });
    check_ints<std::uint16_t>({
        {"65535", 65535},
        {"65536", std::nullopt},
        {"100000", std::nullopt},
        {"-1", std::nullopt},
    });
    check_ints<std::uint8_t>({
        {"255", 255},
        {"256", std::nullopt},
        {"+255", 255},
    });
    check_ints<std::uint64_t>({
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"+18446744073709551615", UINT64_MAX},
    });
}

TEST(ParseInt, SignedSmallAndWide) {
    check_ints<std::int8_t>({
        {"127", 127},
        {"128", std::nullopt},
        {"-128", -128},
        {"-129", std::nullopt},
    });
    check_ints<std::int64_t>({
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"+9223372036854775807", INT64_MAX},
    });
}

TEST(Utf8, CharacterLength) {
    struct Case {
        std::string input;
        std::size_t length;
    };
    const Case cases[] = {
        {"", 0},
        {"a", 1},
        {"\xC3\xA9x", 2},         // é
        {"\xE2\x82\xAC", 3},      // €
        {"\xF0\x9F\x98\x80", 4},  // an emoji
        {"\xC3", 1},              // truncated
        {"\xE2\x82", 1},
        {"\xF0\x9F\x98", 1},
        {"\xC3x", 1},  // lead byte without continuation
        {"\xE2\x82x", 1},
        {"\x80", 1},              // lone continuation byte
        {"\xFF\x80\x80\x80", 1},  // never a lead byte
    };
    for (const Case& c : cases) EXPECT_EQ(utf8_char_length(c.input), c.length) << c.input;
}

TEST(Case, AsciiAndUnicodeLower) {
    EXPECT_EQ(ascii_lower("UseNNUE Hash-Size_9"), "usennue hash-size_9");
    EXPECT_EQ(ascii_lower("\xC3\x84"), "\xC3\x84");  // only ASCII changes
    struct Case {
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"SyzygyPath", "syzygypath"},
        {"\xC3\x84\xC3\x96\xC3\x9C", "\xC3\xA4\xC3\xB6\xC3\xBC"},  // ÄÖÜ
        {"\xC3\x80\xC3\x9E", "\xC3\xA0\xC3\xBE"},                  // À Þ, the ends of the range
        {"\xC3\x97", "\xC3\x97"},                                  // × is no letter
        {"\xC3\x9F", "\xC3\x9F"},                                  // ß has no capital here
        {"\xCE\x91\xCE\xA9", "\xCE\xB1\xCF\x89"},                  // Α Ω
        {"\xCE\xA2", "\xCE\xA2"},                                  // unassigned gap in Greek
        {"\xD0\x90\xD0\xAF", "\xD0\xB0\xD1\x8F"},                  // А Я
        {"\xD0\x81\xD0\x8F", "\xD1\x91\xD1\x9F"},                  // Ё Џ
        {"\xE2\x82\xAC\xF0\x9F\x98\x80", "\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"A\xC3", "a\xC3"},  // broken tail kept
    };
    for (const Case& c : cases) EXPECT_EQ(unicode_lower(c.input), c.expected) << c.input;
}

}  // namespace
}  // namespace orvane::text
