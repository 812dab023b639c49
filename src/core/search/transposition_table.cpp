#include "core/search/transposition_table.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>
#include <vector>

#include "core/board/text.h"

namespace orvane::tt {

namespace {

// The slots are mapped straight from the system rather than taken from the heap: a refused
// mapping is an ordinary error value under every build (sanitizer allocators abort on a
// failed huge malloc instead of returning null), and the mapping can be aligned to a huge page
// and marked for transparent huge pages, which spares a TLB miss on most probes.
constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

Slot* map_slots(std::size_t slot_count) {
    const std::size_t bytes = slot_count * sizeof(Slot);
    const std::size_t span = bytes + HUGE_PAGE_BYTES;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    const std::uintptr_t end = aligned + bytes;
    if (aligned > start) munmap(raw, aligned - start);
    if (start + span > end) munmap(reinterpret_cast<void*>(end), start + span - end);
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // only a hint
    return reinterpret_cast<Slot*>(aligned);
}

// Each part is zeroed by its own thread, so the pages of a large table are first touched in
// parallel. The threads own disjoint ranges and are all joined before this returns.
void zero_slots(Slot* slots, std::size_t slot_count, std::size_t parts) {
    if (parts <= 1) {
        std::memset(static_cast<void*>(slots), 0, slot_count * sizeof(Slot));
        return;
    }
    const std::size_t chunk = (slot_count + parts - 1) / parts;
    bool all_started = true;
    {
        std::vector<std::jthread> workers;
        workers.reserve(parts);
        try {
            for (std::size_t begin = 0; begin < slot_count; begin += chunk) {
                const std::size_t length = std::min(chunk, slot_count - begin);
                workers.emplace_back([slots, begin, length] {
                    std::memset(static_cast<void*>(slots + begin), 0, length * sizeof(Slot));
                });
            }
        } catch (const std::system_error&) {
            all_started = false;
        }
    }
    if (!all_started) fatal("could not start a thread to zero the Hash table");
}

void store_word(std::uint64_t& word, std::uint64_t value) {
    std::atomic_ref<std::uint64_t>(word).store(value, std::memory_order_relaxed);
}

// The data word is written first, then the key word that validates it.
void put(Slot& slot, std::uint64_t key, std::uint64_t data) {
    store_word(slot.data_word, data);
    store_word(slot.key_word, key ^ data);
}

std::string mb_text(std::size_t mb) { return std::to_string(mb) + " MB"; }

}  // namespace

std::uint64_t pack(Move move, int score, int eval, int depth, std::uint8_t bound, bool pv,
                   std::uint8_t generation) {
    score = std::clamp(score, -32768, 32767);
    if (eval != NO_EVAL) eval = std::clamp(eval, -32767, 32767);
    const long long depth_byte = std::clamp(static_cast<long long>(depth) + DEPTH_BIAS, 0LL, 255LL);
    return std::uint64_t{move}
           | std::uint64_t{static_cast<std::uint16_t>(score)} << 16
           | std::uint64_t{static_cast<std::uint16_t>(eval)} << 32
           | static_cast<std::uint64_t>(depth_byte) << 48
           | std::uint64_t{bound & 3u} << 56
           | std::uint64_t{pv} << 58
           | std::uint64_t{generation & 31u} << 59;
}

std::size_t zeroing_parts(std::size_t slot_count, std::size_t threads) {
    if (slot_count < PARALLEL_ZERO_SLOTS) return 1;
    return std::clamp<std::size_t>(threads, 1, slot_count);
}

std::optional<std::uint64_t> available_mb(std::string_view meminfo) {
    constexpr std::string_view LABEL = "MemAvailable:";
    while (!meminfo.empty()) {
        const std::size_t newline = meminfo.find('\n');
        const std::string_view line = meminfo.substr(0, newline);
        meminfo = newline == std::string_view::npos ? std::string_view{}
                                                    : meminfo.substr(newline + 1);
        if (!line.starts_with(LABEL)) continue;
        const auto words = text::split_words(line.substr(LABEL.size()));
        if (words.empty()) return std::nullopt;
        const auto kib = text::parse_int<std::uint64_t>(words.front());
        if (!kib) return std::nullopt;
        return *kib >> 10;
    }
    return std::nullopt;
}

TranspositionTable::TranspositionTable(Slot* slots, std::size_t slot_count, std::size_t threads)
    : slots_(slots), slot_count_(slot_count), threads_(std::max<std::size_t>(threads, 1)) {}

TranspositionTable::~TranspositionTable() { munmap(slots_, slot_count_ * sizeof(Slot)); }

TableResult TranspositionTable::try_new(std::size_t mb, std::size_t threads) {
    std::ifstream file("/proc/meminfo");
    if (!file) return try_new(mb, threads, std::nullopt);
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad()) return try_new(mb, threads, std::nullopt);
    return try_new(mb, threads, std::string_view{text});
}

TableResult TranspositionTable::try_new(std::size_t mb, std::size_t threads,
                                        std::optional<std::string_view> meminfo) {
    mb = std::clamp(mb, MIN_MB, MAX_MB);
    if (meminfo) {
        if (const auto available = available_mb(*meminfo); available && *available < mb)
            return TableError{"Hash " + mb_text(mb) + " is more than the free memory ("
                              + std::to_string(*available) + " MB)"};
    }
    const std::size_t slot_count = mb * SLOTS_PER_MB;
    Slot* slots = map_slots(slot_count);
    if (!slots) return TableError{"could not get " + mb_text(mb) + " of memory for Hash"};
    std::shared_ptr<TranspositionTable> table(new TranspositionTable(slots, slot_count, threads));
    table->zero();
    return table;
}

std::shared_ptr<TranspositionTable> TranspositionTable::new_table(std::size_t mb) {
    auto result = try_new(mb, 1);
    if (auto* error = std::get_if<TableError>(&result)) fatal(error->message);
    return std::get<std::shared_ptr<TranspositionTable>>(std::move(result));
}

void TranspositionTable::zero() {
    zero_slots(slots_, slot_count_, zeroing_parts(slot_count_, threads_));
}

void TranspositionTable::clear() {
    zero();
    generation_.store(0, std::memory_order_relaxed);
}

// A same-position entry of the current search that is deeper than `depth` keeps its slot
// against a store of lesser depth.
bool TranspositionTable::keeps_deeper(const std::optional<Entry>& old, int depth) const {
    return old && old->generation == current_generation() && old->depth > depth;
}

void TranspositionTable::store(std::uint64_t key, Move move, int score, int eval, int depth,
                               std::uint8_t bound, bool pv) {
    Slot& slot = slots_[index(key)];
    const auto old = read_entry(slot, key);
    if (bound != BOUND_EXACT && keeps_deeper(old, depth + SKIP_DEPTH_MARGIN)) return;
    if (old && move == NULL_MOVE) move = old->move;
    put(slot, key, pack(move, score, eval, depth, bound, pv, current_generation()));
}

void TranspositionTable::store_qsearch(std::uint64_t key, Move move, int score, int eval,
                                       std::uint8_t bound, bool pv) {
    Slot& slot = slots_[index(key)];
    const auto old = read_entry(slot, key);
    if (bound != BOUND_EXACT && keeps_deeper(old, SKIP_DEPTH_MARGIN)) return;
    if (old) {
        if (move == NULL_MOVE) move = old->move;
        pv = pv || old->pv;
    }
    put(slot, key, pack(move, score, eval, 0, bound, pv, current_generation()));
}

void TranspositionTable::store_probcut(std::uint64_t key, Move move, int score, int eval,
                                       int depth, bool pv) {
    Slot& slot = slots_[index(key)];
    if (keeps_deeper(read_entry(slot, key), depth)) return;
    put(slot, key, pack(move, score, eval, depth - 3, BOUND_LOWER, pv, current_generation()));
}

void TranspositionTable::write(std::uint64_t key, Move move, int score, int eval, int depth,
                               std::uint8_t bound, bool pv) {
    put(slots_[index(key)], key, pack(move, score, eval, depth, bound, pv, current_generation()));
}

int TranspositionTable::hashfull() const {
    const std::size_t sample = std::min<std::size_t>(slot_count_, 1000);
    const std::uint8_t generation = current_generation();
    std::size_t used = 0;
    for (std::size_t i = 0; i < sample; ++i) {
        const std::uint64_t data = load_word(slots_[i].data_word);
        if (data != 0 && (data >> 59) == generation) ++used;
    }
    return static_cast<int>(used * 1000 / sample);
}

Slot TranspositionTable::read_slot(std::size_t index) const {
    return Slot{load_word(slots_[index].key_word), load_word(slots_[index].data_word)};
}

void TranspositionTable::write_slot(std::size_t index, Slot slot) {
    store_word(slots_[index].data_word, slot.data_word);
    store_word(slots_[index].key_word, slot.key_word);
}

}  // namespace orvane::tt
