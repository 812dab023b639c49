// Zobrist keys: 793 fixed 64-bit values (piece x square, the 16 castling-rights values,
// the eight en-passant files and the side to move), produced by the compiler from SplitMix64,
// and 16 more, the next values of the same stream, for castling rooks off the corner files
// (Chess960): one per colour and file, added for each right whose rook is not on the a- or
// h-file it has in standard chess, so standard positions keep their keys.
#pragma once

#include <array>
#include <cstdint>

namespace orvane::zobrist {

inline constexpr int CASTLING_BASE = 768;
inline constexpr int EP_BASE = 784;
inline constexpr int SIDE_KEY = 792;
inline constexpr int KEY_COUNT = 793;

constexpr std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::array<std::uint64_t, KEY_COUNT> make_keys() {
    std::array<std::uint64_t, KEY_COUNT> keys{};
    std::uint64_t state = 0x0A5F1E2D3C4B5A69ULL;
    for (auto& k : keys) k = splitmix64(state);
    return keys;
}

inline constexpr std::array<std::uint64_t, KEY_COUNT> KEYS = make_keys();

constexpr std::array<std::uint64_t, 16> make_castle_file_keys() {
    std::array<std::uint64_t, 16> keys{};
    std::uint64_t state = 0x0A5F1E2D3C4B5A69ULL;
    for (int i = 0; i < KEY_COUNT; ++i) splitmix64(state);
    for (auto& k : keys) k = splitmix64(state);
    return keys;
}

// Indexed by colour * 8 + the rook's file.
inline constexpr std::array<std::uint64_t, 16> CASTLE_FILE_KEYS = make_castle_file_keys();

constexpr std::uint64_t piece_key(int piece, int sq) { return KEYS[piece * 64 + sq]; }

}  // namespace orvane::zobrist
