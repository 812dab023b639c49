#include "selfplay/game_record.h"

namespace orvane::game_record {

namespace {

void put16(std::ostream& out, std::uint16_t v) {
    const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    out.write(bytes, 2);
}

bool get16(std::istream& in, std::uint16_t& v) {
    unsigned char bytes[2];
    if (!in.read(reinterpret_cast<char*>(bytes), 2)) return false;
    v = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

}  // namespace

void write(std::ostream& out, const Game& game) {
    out.put(static_cast<char>(game.result));
    out.put(static_cast<char>(game.opening.size()));
    put16(out, static_cast<std::uint16_t>(game.plies.size()));
    for (Move m : game.opening) put16(out, m);
    for (const ScoredPly& p : game.plies) {
        put16(out, p.move);
        put16(out, static_cast<std::uint16_t>(p.score));
    }
}

std::optional<Game> read(std::istream& in) {
    unsigned char head[2];
    if (!in.read(reinterpret_cast<char*>(head), 2)) return std::nullopt;
    if (head[0] > 2) return std::nullopt;
    std::uint16_t count = 0;
    if (!get16(in, count)) return std::nullopt;
    Game game;
    game.result = static_cast<Result>(head[0]);
    game.opening.resize(head[1]);
    for (Move& m : game.opening)
        if (!get16(in, m)) return std::nullopt;
    game.plies.resize(count);
    for (ScoredPly& p : game.plies) {
        std::uint16_t score = 0;
        if (!get16(in, p.move) || !get16(in, score)) return std::nullopt;
        p.score = static_cast<std::int16_t>(score);
    }
    return game;
}

}  // namespace orvane::game_record
