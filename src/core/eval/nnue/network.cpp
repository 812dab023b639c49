#include "core/eval/nnue/network.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace orvane::nnue {
namespace {

constexpr std::array<Layout, 12> LAYOUTS = {{
    {1, 1, false}, {1, 1, true}, {1, 8, false}, {1, 8, true},
    {4, 1, false}, {4, 1, true}, {4, 8, false}, {4, 8, true},
    {8, 1, false}, {8, 1, true}, {8, 8, false}, {8, 8, true},
}};

static_assert(exact_length(LAYOUTS[0]) == 1'579'010 && padded_length(LAYOUTS[0]) == 1'579'072);
static_assert(exact_length(LAYOUTS[1]) == 1'591'304 && padded_length(LAYOUTS[1]) == 1'591'360);
static_assert(exact_length(LAYOUTS[11]) == 12'630'038 && padded_length(LAYOUTS[11]) == 12'630'080);

// Little-endian i16 values read in file order.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::int16_t next() {
        std::int16_t v;
        read(&v, 1);
        return v;
    }
    void read(std::int16_t* out, std::size_t count) {
        if (bytes_.size() - pos_ < 2 * count) fatal("network reader ran out of input");
        const std::uint8_t* p = bytes_.data() + pos_;
        for (std::size_t i = 0; i < count; ++i) {
            auto v = static_cast<std::uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
            out[i] = static_cast<std::int16_t>(v);
        }
        pos_ += 2 * count;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

bool in_output_range(const std::int16_t* w, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (w[i] < -MAX_OUTPUT_WEIGHT || w[i] > MAX_OUTPUT_WEIGHT) return false;
    return true;
}

// Whether the king-bucket blocks of the feature weights are all the same.
bool all_blocks_equal(const AlignedArray<std::int16_t>& weights, int blocks) {
    const std::size_t block = std::size_t(INPUTS) * HIDDEN;
    for (int b = 1; b < blocks; ++b)
        if (std::memcmp(weights.data(), weights.data() + b * block, block * sizeof(std::int16_t)) != 0)
            return false;
    return true;
}

// One past the highest unit with a nonzero value in any of `rows` rows of `stride` values.
int live_units(const std::int16_t* values, std::size_t rows, int stride, int live) {
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int16_t* row = values + r * std::size_t(stride);
        for (int i = stride - 1; i >= live; --i)
            if (row[i] != 0) {
                live = i + 1;
                break;
            }
    }
    return live;
}

}  // namespace

std::string length_error(std::uint64_t bytes) {
    const Layout plain{1, 1, false}, head{1, 1, true};
    return "network file has " + std::to_string(bytes) + " bytes; a (768->"
           + std::to_string(HIDDEN) + ")x2->1 network needs "
           + std::to_string(exact_length(plain)) + " (" + std::to_string(padded_length(plain))
           + " padded), or " + std::to_string(exact_length(head)) + " ("
           + std::to_string(padded_length(head))
           + " padded) with a W/D/L head (other sizes: king/output buckets)";
}

std::optional<Layout> layout_for_length(std::size_t bytes) {
    for (const Layout& l : LAYOUTS)
        if (bytes == exact_length(l) || bytes == padded_length(l)) return l;
    return std::nullopt;
}

NetworkResult Network::from_bytes(std::span<const std::uint8_t> bytes) {
    std::optional<Layout> layout = layout_for_length(bytes.size());
    if (!layout) return NetworkError{length_error(bytes.size())};

    std::shared_ptr<Network> net(new Network());
    net->king_buckets_ = layout->king_buckets;
    net->output_buckets_ = layout->output_buckets;
    net->feature_weights_ =
        AlignedArray<std::int16_t>(std::size_t(layout->king_buckets) * INPUTS * HIDDEN);

    Reader in(bytes);
    in.read(net->feature_weights_.data(), net->feature_weights_.size());
    net->feature_rows_ = layout->king_buckets * INPUTS;
    if (all_blocks_equal(net->feature_weights_, layout->king_buckets)) {
        // One copy instead of eight: the rows a search touches then fit the caches.
        AlignedArray<std::int16_t> block(std::size_t(INPUTS) * HIDDEN);
        std::memcpy(block.data(), net->feature_weights_.data(), block.size() * sizeof(std::int16_t));
        net->feature_weights_ = std::move(block);
        net->feature_rows_ = INPUTS;
    }
    in.read(net->feature_biases_, HIDDEN);
    for (int b = 0; b < layout->output_buckets; ++b) in.read(net->output_weights_[b], OUTPUT_WIDTH);
    for (int b = 0; b < layout->output_buckets; ++b) net->output_biases_[b] = in.next();
    if (layout->wdl_head) {
        net->wdl_weights_ = AlignedArray<std::int16_t>(WDL_OUTPUTS * OUTPUT_WIDTH);
        in.read(net->wdl_weights_.data(), net->wdl_weights_.size());
        for (int j = 0; j < WDL_OUTPUTS; ++j) net->wdl_biases_[j] = in.next();
    }

    if (!in_output_range(&net->output_weights_[0][0], MAX_OUTPUT_BUCKETS * OUTPUT_WIDTH)
        || !in_output_range(net->wdl_weights_.data(), net->wdl_weights_.size()))
        return NetworkError{"output weights outside -127..127 (train with weight clipping)"};
    net->cut_to_live_width();
    return std::shared_ptr<const Network>(std::move(net));
}

void Network::cut_to_live_width() {
    int live = live_units(feature_weights_.data(), std::size_t(feature_rows_), HIDDEN, 0);
    live = live_units(feature_biases_, 1, HIDDEN, live);
    // Output and head rows hold the side to move's half, then the other side's.
    live = live_units(&output_weights_[0][0], 2 * MAX_OUTPUT_BUCKETS, HIDDEN, live);
    live = live_units(wdl_weights_.data(), wdl_weights_.size() / HIDDEN, HIDDEN, live);
    const int width = std::max(UNIT_BLOCK, (live + UNIT_BLOCK - 1) / UNIT_BLOCK * UNIT_BLOCK);
    if (width == HIDDEN) return;
    AlignedArray<std::int16_t> cut(std::size_t(feature_rows_) * std::size_t(width));
    for (std::size_t r = 0; r < std::size_t(feature_rows_); ++r)
        std::memcpy(cut.data() + r * width, feature_weights_.data() + r * HIDDEN,
                    std::size_t(width) * sizeof(std::int16_t));
    feature_weights_ = std::move(cut);
    width_ = width;
}

}  // namespace orvane::nnue
