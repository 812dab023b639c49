// Transposition table: one direct-mapped table of search results shared by every searcher.
// The engine front end builds it from the Hash option and hands the same std::shared_ptr to
// every searcher and helper thread; its size never changes (a new size is a new table).
// Lock-free: each slot is two 64-bit words read and written with relaxed atomics, and the
// key word holds key ^ data_word, so a slot torn by two racing writers reads as a miss.
// Mate scores are stored relative to the node (score_to_tt / score_from_tt).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/board/types.h"

namespace orvane::tt {

// Bounds of a stored score.
inline constexpr std::uint8_t BOUND_NONE = 0;
inline constexpr std::uint8_t BOUND_UPPER = 1;  // score <= alpha
inline constexpr std::uint8_t BOUND_LOWER = 2;  // score >= beta
inline constexpr std::uint8_t BOUND_EXACT = 3;

inline constexpr int NO_EVAL = -32768;          // eval field of an entry without an evaluation
inline constexpr int DEPTH_BIAS = 8;            // the depth byte holds depth + 8
inline constexpr int MIN_DEPTH = -DEPTH_BIAS;   // what depth byte 0 reads back as
inline constexpr int MAX_DEPTH = 255 - DEPTH_BIAS;
inline constexpr int MATE_BOUND = 31743;        // |score| >= this is a mate score
inline constexpr int SKIP_DEPTH_MARGIN = 3;     // a same-position entry this much deeper stays

inline constexpr std::size_t MIN_MB = 1;
inline constexpr std::size_t MAX_MB = 262'144;
inline constexpr std::size_t SLOTS_PER_MB = 65'536;  // 65,536 slots of 16 bytes
// Tables of this many slots (64 MiB) and more are zeroed by several threads.
inline constexpr std::size_t PARALLEL_ZERO_SLOTS = 64 * SLOTS_PER_MB;

// key_word = key ^ data_word; a data word of 0 is an empty slot.
struct Slot {
    std::uint64_t key_word;
    std::uint64_t data_word;
};
static_assert(sizeof(Slot) == 16);

// A decoded data word.
struct Entry {
    Move move;
    int score;      // in the table's mate convention: convert with score_from_tt
    int eval;       // NO_EVAL when none was stored
    int depth;      // MIN_DEPTH..MAX_DEPTH
    std::uint8_t bound;
    bool pv;
    std::uint8_t generation;  // low 5 bits of the table generation at the store
};

// data_word: move 0-15 | score 16-31 | eval 32-47 | depth+8 48-55 | bound 56-57 | pv 58 | gen 59-63
// Depth is clamped to what the byte can hold. Score and eval are clamped to 16 bits (eval to
// -32767..32767 unless it is NO_EVAL), so an out-of-range value saturates instead of wrapping
// into a wrong sign or into the no-eval marker.
std::uint64_t pack(Move move, int score, int eval, int depth, std::uint8_t bound, bool pv,
                   std::uint8_t generation);
inline Entry unpack(std::uint64_t data_word) {
    return Entry{
        .move = static_cast<Move>(data_word),
        .score = static_cast<std::int16_t>(data_word >> 16),
        .eval = static_cast<std::int16_t>(data_word >> 32),
        .depth = static_cast<int>((data_word >> 48) & 0xFF) - DEPTH_BIAS,
        .bound = static_cast<std::uint8_t>((data_word >> 56) & 3),
        .pv = ((data_word >> 58) & 1) != 0,
        .generation = static_cast<std::uint8_t>(data_word >> 59),
    };
}

// Racing searchers read and write the two words of a slot with no lock. Each word is one
// relaxed 64-bit atomic access, so a word is never half-written; a slot may still pair the
// words of two different stores, and then key_word ^ data_word matches neither key.
inline std::uint64_t load_word(std::uint64_t& word) {
    return std::atomic_ref<std::uint64_t>(word).load(std::memory_order_relaxed);
}

// The slot's entry when it holds this key.
inline std::optional<Entry> read_entry(Slot& slot, std::uint64_t key) {
    const std::uint64_t data = load_word(slot.data_word);
    const std::uint64_t key_word = load_word(slot.key_word);
    if (data == 0 || (key_word ^ data) != key) return std::nullopt;
    return unpack(data);
}

// A score s found at ply becomes node-relative for the table, and back again on reading.
inline constexpr int score_to_tt(int score, int ply) {
    if (score >= MATE_BOUND) return score + ply;
    if (score <= -MATE_BOUND) return score - ply;
    return score;
}
inline constexpr int score_from_tt(int score, int ply) {
    if (score > MATE_BOUND - 1) return score - ply;
    if (score < -(MATE_BOUND - 1)) return score + ply;
    return score;
}

// Number of threads that zero a table of slot_count slots when threads are configured:
// small tables are zeroed by the caller alone.
std::size_t zeroing_parts(std::size_t slot_count, std::size_t threads);

// MiB of memory the system reports as available, from the "MemAvailable:" line of a
// /proc/meminfo text; nothing when the line is missing or its number does not parse.
std::optional<std::uint64_t> available_mb(std::string_view meminfo);

struct TableError {
    std::string message;
};
class TranspositionTable;
using TableResult = std::variant<std::shared_ptr<TranspositionTable>, TableError>;

class TranspositionTable {
public:
    // A zeroed table of mb MiB (clamped to 1..262,144), generation 0; refused when the
    // system reports less free memory than that, or when the memory cannot be had.
    static TableResult try_new(std::size_t mb, std::size_t threads);
    // The same with the /proc/meminfo text given (nothing = no free-memory check).
    static TableResult try_new(std::size_t mb, std::size_t threads,
                               std::optional<std::string_view> meminfo);
    // try_new(mb, 1), a failure being a fatal stop.
    static std::shared_ptr<TranspositionTable> new_table(std::size_t mb);

    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;
    ~TranspositionTable();

    // Only while no search runs.
    void clear();
    void set_threads(std::size_t threads) { threads_ = threads < 1 ? 1 : threads; }
    std::size_t threads() const { return threads_; }

    // Once per search, by the main searcher only.
    void new_generation() { generation_.fetch_add(1, std::memory_order_relaxed); }
    std::uint8_t generation() const { return generation_.load(std::memory_order_relaxed); }

    // Every store takes the score already in the table's convention (score_to_tt).
    // The general store: a same-position entry of the current generation that is deeper by
    // more than SKIP_DEPTH_MARGIN survives a non-exact store, and a store without a move keeps
    // the move of a same-position entry. Any other position in the slot is replaced.
    void store(std::uint64_t key, Move move, int score, int eval, int depth, std::uint8_t bound,
               bool pv);
    // Quiescence results: depth 0 under the same rule, and the pv flag of a same-position
    // entry is kept.
    void store_qsearch(std::uint64_t key, Move move, int score, int eval, std::uint8_t bound,
                       bool pv);
    // A ProbCut success at node depth `depth`: a lower bound stored at depth - 3 unless the
    // slot holds this position from the current generation searched deeper than `depth`.
    void store_probcut(std::uint64_t key, Move move, int score, int eval, int depth, bool pv);
    // Unconditional write with the current generation.
    void write(std::uint64_t key, Move move, int score, int eval, int depth, std::uint8_t bound,
               bool pv);

    // Inline: every node asks.
    std::optional<Entry> probe(std::uint64_t key) const { return read_entry(slots_[index(key)], key); }
    void prefetch(std::uint64_t key) const { __builtin_prefetch(&slots_[index(key)]); }

    // Per-mille of the first 1000 slots written in the current generation.
    int hashfull() const;

    std::size_t size_mb() const { return slot_count_ / SLOTS_PER_MB; }
    std::size_t slot_count() const { return slot_count_; }
    std::size_t index(std::uint64_t key) const {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(key) * slot_count_) >> 64);
    }

    // Raw words of a slot, for tests and diagnostics.
    Slot read_slot(std::size_t index) const;
    void write_slot(std::size_t index, Slot slot);

private:
    TranspositionTable(Slot* slots, std::size_t slot_count, std::size_t threads);
    void zero();
    bool keeps_deeper(const std::optional<Entry>& old, int depth) const;
    std::uint8_t current_generation() const { return generation() & 31; }

    Slot* slots_;
    std::size_t slot_count_;
    std::size_t threads_;
    std::atomic<std::uint8_t> generation_{0};
};

}  // namespace orvane::tt
