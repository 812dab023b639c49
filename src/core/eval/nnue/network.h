// The NNUE weights: a (768 inputs x king bucket -> 1024) feature transformer shared by both
// perspectives, a 2 x 1024 -> 1 output layer with up to 8 output buckets and an optional
// win/draw/loss head. A Network is built once by from_bytes, then shared read-only (through
// std::shared_ptr<const Network>) by every thread and every evaluator copy.
// The weight file has no header: its length alone tells the layout. All of it is
// little-endian i16: feature weights [KB][768][1024], feature biases [1024], output weights
// [OB][2048] (side to move, then the other side), output biases [OB], then with the head
// W/D/L weights [3][2048] and biases [3]; optional padding to a multiple of 64 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/board/types.h"

namespace orvane::nnue {

inline constexpr int INPUTS = 768;            // 2 sides x 6 kinds x 64 squares
inline constexpr int HIDDEN = 1024;           // units per perspective
inline constexpr int OUTPUT_WIDTH = 2 * HIDDEN;
inline constexpr int MAX_OUTPUT_BUCKETS = 8;
inline constexpr int WDL_OUTPUTS = 3;         // win, draw, loss
inline constexpr int MAX_OUTPUT_WEIGHT = 127; // keeps activation x weight inside 16 bits
inline constexpr int UNIT_BLOCK = 512;        // a cut network's width is a multiple of this
inline constexpr std::size_t ALIGNMENT = 64;

// A zero-filled heap array on a 64-byte boundary; copies are deep. Allocation failure is a
// fatal stop.
template <typename T>
class AlignedArray {
public:
    AlignedArray() = default;
    explicit AlignedArray(std::size_t count) : count_(count) {
        if (count == 0) return;
        void* p = ::operator new(count * sizeof(T), std::align_val_t{ALIGNMENT}, std::nothrow);
        if (p == nullptr) fatal("out of memory for the network");
        std::memset(p, 0, count * sizeof(T));
        data_.reset(static_cast<T*>(p));
    }
    AlignedArray(const AlignedArray& other) : AlignedArray(other.count_) {
        if (count_ != 0) std::memcpy(data_.get(), other.data_.get(), count_ * sizeof(T));
    }
    AlignedArray(AlignedArray&&) noexcept = default;
    AlignedArray& operator=(const AlignedArray& other) {
        if (this != &other) *this = AlignedArray(other);
        return *this;
    }
    AlignedArray& operator=(AlignedArray&&) noexcept = default;

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }

private:
    struct Free {
        void operator()(T* p) const { ::operator delete(p, std::align_val_t{ALIGNMENT}); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t count_ = 0;
};

// One of the 12 accepted file layouts.
struct Layout {
    int king_buckets;    // 1, 4 or 8
    int output_buckets;  // 1 or 8
    bool wdl_head;
};

// Length of a layout's weights without padding, and rounded up to a multiple of 64.
constexpr std::size_t exact_length(const Layout& l) {
    std::size_t values = std::size_t(l.king_buckets) * INPUTS * HIDDEN + HIDDEN
                         + std::size_t(l.output_buckets) * (OUTPUT_WIDTH + 1)
                         + (l.wdl_head ? WDL_OUTPUTS * (OUTPUT_WIDTH + 1) : 0);
    return 2 * values;
}
constexpr std::size_t padded_length(const Layout& l) {
    return (exact_length(l) + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT;
}

// The layout whose exact or padded length is `bytes`, if any.
std::optional<Layout> layout_for_length(std::size_t bytes);
// What the loader says of a file whose length fits no layout.
std::string length_error(std::uint64_t bytes);

struct NetworkError {
    std::string message;
};

class Network;
using NetworkResult = std::variant<std::shared_ptr<const Network>, NetworkError>;

class alignas(ALIGNMENT) Network {
public:
    // The file's layout is chosen by its length; output and W/D/L weights must lie in
    // -127..127. Errors are texts for the user; nothing of a rejected file is kept.
    static NetworkResult from_bytes(std::span<const std::uint8_t> bytes);

    int king_buckets() const { return king_buckets_; }
    // True when every king bucket of the file holds the same weights (a network trained
    // with one shared block): the network keeps one copy, and accumulators of different
    // buckets with the same mirroring are equal.
    bool shared_king_block() const { return feature_rows_ == INPUTS && king_buckets_ > 1; }
    int output_buckets() const { return output_buckets_; }
    bool has_wdl_head() const { return !wdl_weights_.empty(); }
    // The hidden units in use per perspective: 1024, or 512 when the file's units 512..1023
    // are all zero (a network trained narrower). Those units add nothing to any output, so
    // the evaluator leaves them out; accumulator lanes from `width()` on are never read.
    int width() const { return width_; }

    // Row `row` (bucket x 768 + feature) of the feature transformer: `width()` weights.
    const std::int16_t* feature_row(int row) const {
        if (row >= feature_rows_) row %= INPUTS;  // a bucket of the shared block
        return feature_weights_.data() + std::size_t(row) * std::size_t(width_);
    }
    const std::int16_t* feature_biases() const { return feature_biases_; }
    // 2048 weights: 1024 for the side to move's accumulator, then 1024 for the other's (of
    // each half only the first `width()` can be nonzero).
    const std::int16_t* output_weights(int bucket) const { return output_weights_[bucket]; }
    std::int32_t output_bias(int bucket) const { return output_biases_[bucket]; }
    // j: 0 win, 1 draw, 2 loss; only with the head.
    const std::int16_t* wdl_weights(int j) const {
        return wdl_weights_.data() + std::size_t(j) * OUTPUT_WIDTH;
    }
    std::int32_t wdl_bias(int j) const { return wdl_biases_[j]; }

private:
    Network() = default;
    // Drops the trailing block of units that are zero everywhere (see width()).
    void cut_to_live_width();

    alignas(ALIGNMENT) std::int16_t feature_biases_[HIDDEN]{};
    alignas(ALIGNMENT) std::int16_t output_weights_[MAX_OUTPUT_BUCKETS][OUTPUT_WIDTH]{};
    AlignedArray<std::int16_t> feature_weights_;  // [KB x 768][width]
    AlignedArray<std::int16_t> wdl_weights_;      // [3][2048], empty without the head
    std::int32_t output_biases_[MAX_OUTPUT_BUCKETS]{};
    std::int32_t wdl_biases_[WDL_OUTPUTS]{};
    int king_buckets_ = 1;
    int feature_rows_ = INPUTS;  // rows held: INPUTS x the distinct king blocks
    int output_buckets_ = 1;
    int width_ = HIDDEN;
};

// The network stored in the program, built on first use (once per process) and shared by
// every caller afterwards. It lives in the orvane_net library beside the embedded bytes.
std::shared_ptr<const Network> default_net();

}  // namespace orvane::nnue
