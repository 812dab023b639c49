// ABDADA's busy-move table, shared by every searcher of a pool in ABDADA mode.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/board/types.h"

namespace orvane::smp {

// ABDADA's table of (position, move) pairs some thread is searching right now. Each slot is
// one atomic word used with relaxed ordering on purpose: the table orders nothing else, and
// a mark seen late, missed or overwritten by another pair only changes the move order (a
// move searched by two threads at once, or deferred to the end of the move loop, where it is
// still searched). A check followed by a mark is not atomic as a whole, for the same reason.
class BusyMoves {
public:
    static constexpr std::size_t SIZE = 32'768;

    static std::uint64_t tag(std::uint64_t key, Move m) {
        return key ^ ((static_cast<std::uint64_t>(m) + 1) * 0x9E3779B97F4A7C15ULL);
    }
    static std::size_t index(std::uint64_t tag) { return tag & (SIZE - 1); }

    bool is_busy(std::uint64_t key, Move m) const {
        const std::uint64_t t = tag(key, m);
        return slots_[index(t)].load(std::memory_order_relaxed) == t;
    }
    void mark(std::uint64_t key, Move m) {
        const std::uint64_t t = tag(key, m);
        slots_[index(t)].store(t, std::memory_order_relaxed);
    }
    // Leaves a slot alone that another pair has taken over since.
    void unmark(std::uint64_t key, Move m) {
        std::uint64_t t = tag(key, m);
        slots_[index(t)].compare_exchange_strong(t, 0, std::memory_order_relaxed);
    }

private:
    std::atomic<std::uint64_t> slots_[SIZE]{};
};

}  // namespace orvane::smp
