#include "syzygy/syzygy.h"

#include <tbprobe.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

#include "core/board/movegen.h"

namespace orvane {
namespace {

// Held for every call into Fathom and for every change of LOADED. Made on first use: the
// Windows thread library's mutex has no constant initialiser, and nothing may run before main.
std::mutex& fathom_lock() {
    static std::mutex lock;
    return lock;
}
// The object whose tables Fathom holds, or null. Changed only under fathom_lock(); probes
// check it under the lock, max_pieces() reads it without.
constinit std::atomic<const Syzygy*> LOADED{nullptr};

static_assert(TB_MAX_MOVES == 193);
static_assert(TB_PROMOTES_QUEEN == 1 && TB_PROMOTES_ROOK == 2 && TB_PROMOTES_BISHOP == 3
              && TB_PROMOTES_KNIGHT == 4);
// Piece kind of each Fathom promotion code; code 0 is no promotion.
constexpr int PROMOTED_KIND[5] = {-1, QUEEN, ROOK, BISHOP, KNIGHT};

unsigned ep_argument(const Position& pos) { return pos.ep_square() < 64 ? pos.ep_square() : 0; }

Wdl wdl_of(unsigned value) { return static_cast<Wdl>(std::min(value, 4u)); }

// Index in legal of the move a packed root entry describes, or -1.
int find_move(const MoveList& legal, unsigned entry) {
    unsigned from = TB_GET_FROM(entry);
    unsigned to = TB_GET_TO(entry);
    unsigned promotes = TB_GET_PROMOTES(entry);
    if (promotes > TB_PROMOTES_KNIGHT) return -1;
    for (int i = 0; i < legal.size(); ++i) {
        Move m = legal[i];
        if (static_cast<unsigned>(move_from(m)) != from || static_cast<unsigned>(move_to(m)) != to)
            continue;
        bool same_promotion = promotes == TB_PROMOTES_NONE
                                  ? !is_promotion(m)
                                  : is_promotion(m) && promoted_kind(m) == PROMOTED_KIND[promotes];
        if (same_promotion) return i;
    }
    return -1;
}

// Length of the well-formed UTF-8 sequence at the start of s, or 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view s) {
    auto byte = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    unsigned c = byte(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // overlong forms and surrogates narrow the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (byte(1) < lo || byte(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return n;
}

}  // namespace

SyzygyLoad Syzygy::load(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return SyzygyError{"path contains a NUL byte"};

    // Allocated before Fathom's state changes, so nothing can fail between the change and
    // recording who owns it.
    std::shared_ptr<Syzygy> tb(new Syzygy());
    tb->path_ = std::string(path);
    bool initialised;
    {
        std::lock_guard lock(fathom_lock());
        initialised = tb_init(tb->path_.c_str());
        if (initialised && TB_LARGEST > 0) {
            tb->max_pieces_ = TB_LARGEST;
            LOADED.store(tb.get());
            return tb;
        }
        restore_after_failed_load();
    }
    if (!initialised)
        return SyzygyError{"Fathom could not initialise tablebases at "
                           + syzygy::debug_quoted(path)};
    return SyzygyError{"no Syzygy tables found in " + syzygy::debug_quoted(path)};
}

// tb_init has already dropped the tables Fathom held. Reopen those of the object still in
// use, so that a mistyped path does not silently switch the tablebase off; if they cannot
// be had back as they were, release everything and retire that object.
void Syzygy::restore_after_failed_load() {
    const Syzygy* previous = LOADED.load();
    if (previous != nullptr && tb_init(previous->path_.c_str())
        && TB_LARGEST == previous->max_pieces_)
        return;
    tb_init("");
    LOADED.store(nullptr);
}

Syzygy::~Syzygy() { unload(); }

void Syzygy::unload() {
    std::lock_guard lock(fathom_lock());
    // A later load owns Fathom's tables now; they are not this object's to release.
    if (LOADED.load() != this) return;
    tb_init("");
    LOADED.store(nullptr);
}

bool Syzygy::is_loaded() const { return LOADED.load(std::memory_order_relaxed) == this; }

std::uint32_t Syzygy::max_pieces() const { return is_loaded() ? max_pieces_ : 0; }

std::optional<Wdl> Syzygy::probe_wdl(const Position& pos) const {
    // Cheap refusals first: most positions in the tree end here without the lock.
    if (pos.halfmove() != 0 || pos.castling() != 0) return std::nullopt;
    if (static_cast<std::uint32_t>(pos.piece_count()) > max_pieces()) return std::nullopt;

    unsigned result;
    {
        std::lock_guard lock(fathom_lock());
        if (!is_loaded()) return std::nullopt;
        result =
            tb_probe_wdl_impl(pos.pieces(WHITE), pos.pieces(BLACK), pos.kind(KING), pos.kind(QUEEN),
                              pos.kind(ROOK), pos.kind(BISHOP), pos.kind(KNIGHT), pos.kind(PAWN),
                              ep_argument(pos), pos.side() == WHITE);
    }
    if (result == TB_RESULT_FAILED) return std::nullopt;
    return wdl_of(result);
}

std::optional<std::vector<RootMove>> Syzygy::probe_root(const Position& pos) const {
    if (pos.castling() != 0) return std::nullopt;
    if (static_cast<std::uint32_t>(pos.piece_count()) > max_pieces()) return std::nullopt;

    std::array<unsigned, TB_MAX_MOVES> results;
    results.fill(TB_RESULT_FAILED);
    unsigned result;
    {
        std::lock_guard lock(fathom_lock());
        if (!is_loaded()) return std::nullopt;
        result =
            tb_probe_root_impl(pos.pieces(WHITE), pos.pieces(BLACK), pos.kind(KING),
                               pos.kind(QUEEN), pos.kind(ROOK), pos.kind(BISHOP), pos.kind(KNIGHT),
                               pos.kind(PAWN), static_cast<unsigned>(pos.halfmove()),
                               ep_argument(pos), pos.side() == WHITE, results.data());
    }
    if (result == TB_RESULT_FAILED) return std::nullopt;

    // Every entry must name a distinct legal move, and every legal move must have one:
    // a partial list would let the root filter drop moves it knows nothing about.
    MoveList legal;
    movegen::generate_all(pos, legal);
    std::array<bool, 256> matched{};
    std::vector<RootMove> root_moves;
    root_moves.reserve(static_cast<std::size_t>(legal.size()));
    for (unsigned entry : results) {
        if (entry == TB_RESULT_FAILED) break;
        int index = find_move(legal, entry);
        if (index < 0 || matched[static_cast<std::size_t>(index)]) return std::nullopt;
        matched[static_cast<std::size_t>(index)] = true;
        root_moves.push_back({TB_GET_DTZ(entry), legal[index], wdl_of(TB_GET_WDL(entry))});
    }
    if (root_moves.size() != static_cast<std::size_t>(legal.size())) return std::nullopt;
    return root_moves;
}

namespace syzygy {

std::string debug_quoted(std::string_view text) {
    static constexpr char LOWER_HEX[] = "0123456789abcdef";
    static constexpr char UPPER_HEX[] = "0123456789ABCDEF";
    auto unicode_escape = [](std::string& out, unsigned code) {
        out += "\\u{";
        if (code >= 16) out += LOWER_HEX[code >> 4];
        out += LOWER_HEX[code & 15];
        out += '}';
    };

    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = utf8_sequence_length(text.substr(i));
        if (n == 0) {
            out += "\\x";
            out += UPPER_HEX[c >> 4];
            out += UPPER_HEX[c & 15];
            n = 1;
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            unicode_escape(out, static_cast<unsigned char>(text[i + 1]));  // C1 controls
        } else if (n > 1) {
            out.append(text.substr(i, n));
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
            unicode_escape(out, c);
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    out += '"';
    return out;
}

}  // namespace syzygy
}  // namespace orvane
