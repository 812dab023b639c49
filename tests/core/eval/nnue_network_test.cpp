// The network file: the 24 accepted lengths and nothing else, the exact error texts, the
// order and byte order of the blocks, padding, the output weight range, alignment, and
// the built-in network's layout.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/eval/nnue/network.h"

namespace orvane::nnue {
namespace {

constexpr Layout ALL_LAYOUTS[] = {
    {1, 1, false}, {1, 1, true}, {1, 8, false}, {1, 8, true},
    {4, 1, false}, {4, 1, true}, {4, 8, false}, {4, 8, true},
    {8, 1, false}, {8, 1, true}, {8, 8, false}, {8, 8, true},
};

// The lengths as the file format lists them: exact, padded.
constexpr std::size_t LISTED_LENGTHS[12][2] = {
    {1'579'010, 1'579'072},   {1'591'304, 1'591'360},   {1'607'696, 1'607'744},
    {1'619'990, 1'620'032},   {6'297'602, 6'297'664},   {6'309'896, 6'309'952},
    {6'326'288, 6'326'336},   {6'338'582, 6'338'624},   {12'589'058, 12'589'120},
    {12'601'352, 12'601'408}, {12'617'744, 12'617'792}, {12'630'038, 12'630'080},
};

// Offsets (in i16 values) of the blocks of a layout.
struct Blocks {
    std::size_t feature_biases, output_weights, output_biases, wdl_weights, wdl_biases;
    explicit Blocks(const Layout& l)
        : feature_biases(std::size_t(l.king_buckets) * INPUTS * HIDDEN),
          output_weights(feature_biases + HIDDEN),
          output_biases(output_weights + std::size_t(l.output_buckets) * OUTPUT_WIDTH),
          wdl_weights(output_biases + l.output_buckets),
          wdl_biases(wdl_weights + WDL_OUTPUTS * OUTPUT_WIDTH) {}
};

void put(std::vector<std::uint8_t>& bytes, std::size_t value_index, std::int16_t v) {
    bytes[2 * value_index] = static_cast<std::uint8_t>(v & 0xFF);
    bytes[2 * value_index + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8);
}

std::shared_ptr<const Network> load(const std::vector<std::uint8_t>& bytes) {
    NetworkResult r = Network::from_bytes(bytes);
    if (auto* e = std::get_if<NetworkError>(&r)) {
        ADD_FAILURE() << e->message;
        return nullptr;
    }
    return std::get<std::shared_ptr<const Network>>(r);
}

std::string error_of(const std::vector<std::uint8_t>& bytes) {
    NetworkResult r = Network::from_bytes(bytes);
    if (auto* e = std::get_if<NetworkError>(&r)) return e->message;
    return "(loaded)";
}

std::string length_message(std::size_t bytes) {
    return "network file has " + std::to_string(bytes)
           + " bytes; a (768->1024)x2->1 network needs 1579010 (1579072 padded), or 1591304 "
             "(1591360 padded) with a W/D/L head (other sizes: king/output buckets)";
}

TEST(NnueNetwork, LayoutLengthsAreTheListedOnes) {
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(exact_length(ALL_LAYOUTS[i]), LISTED_LENGTHS[i][0]) << i;
        EXPECT_EQ(padded_length(ALL_LAYOUTS[i]), LISTED_LENGTHS[i][1]) << i;
    }
}

TEST(NnueNetwork, EveryAcceptedLengthLoadsAndNeighboursAreRejected) {
    for (const Layout& l : ALL_LAYOUTS)
        for (std::size_t length : {exact_length(l), padded_length(l)}) {
            SCOPED_TRACE(length);
            std::vector<std::uint8_t> bytes(length, 0);
            auto net = load(bytes);
            ASSERT_TRUE(net);
            EXPECT_EQ(net->king_buckets(), l.king_buckets);
            EXPECT_EQ(net->output_buckets(), l.output_buckets);
            EXPECT_EQ(net->has_wdl_head(), l.wdl_head);
            for (std::size_t other : {length - 1, length + 1}) {
                bytes.resize(other, 0);
                EXPECT_EQ(error_of(bytes), length_message(other));
            }
        }
}

TEST(NnueNetwork, OtherLengthsAreRejectedWithTheSizeMessage) {
    for (std::size_t length : {std::size_t(0), std::size_t(1), std::size_t(64),
                               std::size_t(1'579'008), std::size_t(1'579'136),
                               std::size_t(3'158'020), std::size_t(12'630'144)})
        EXPECT_EQ(error_of(std::vector<std::uint8_t>(length, 0)), length_message(length));
}

TEST(NnueNetwork, BlocksAreReadInFileOrderLittleEndian) {
    const Layout l{4, 8, true};
    const Blocks b(l);
    std::vector<std::uint8_t> bytes(exact_length(l), 0);
    put(bytes, 0, 1234);                                   // bucket 0, feature 0, unit 0
    put(bytes, (2 * INPUTS + 5) * HIDDEN + 17, -30000);    // bucket 2, feature 5, unit 17
    put(bytes, b.feature_biases - 1, 30000);               // last row, last unit
    put(bytes, b.feature_biases + 3, -259);
    put(bytes, b.output_weights + 7 * OUTPUT_WIDTH + HIDDEN, -127);  // bucket 7, other side
    put(bytes, b.output_biases + 6, -32768);
    put(bytes, b.wdl_weights + 2 * OUTPUT_WIDTH + 5, 127);           // loss, own unit 5
    put(bytes, b.wdl_biases + 1, -2);

    auto net = load(bytes);
    ASSERT_TRUE(net);
    EXPECT_EQ(net->feature_row(0)[0], 1234);
    EXPECT_EQ(net->feature_row(2 * INPUTS + 5)[17], -30000);
    EXPECT_EQ(net->feature_row(4 * INPUTS - 1)[HIDDEN - 1], 30000);
    EXPECT_EQ(net->feature_biases()[3], -259);
    EXPECT_EQ(net->output_weights(7)[HIDDEN], -127);
    EXPECT_EQ(net->output_bias(6), -32768);
    EXPECT_EQ(net->wdl_weights(2)[5], 127);
    EXPECT_EQ(net->wdl_bias(1), -2);
    EXPECT_EQ(net->wdl_bias(0), 0);
}

TEST(NnueNetwork, PaddingIsIgnoredAndUnusedBucketsAreZero) {
    const Layout l{1, 1, false};
    std::mt19937 rng(7);
    std::vector<std::uint8_t> bytes(exact_length(l));
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    const Blocks b(l);
    for (std::size_t i = b.output_weights; i < b.output_biases; ++i)
        put(bytes, i, static_cast<std::int16_t>(int(rng() % 255) - 127));
    std::vector<std::uint8_t> padded = bytes;
    padded.resize(padded_length(l));
    for (std::size_t i = bytes.size(); i < padded.size(); ++i) padded[i] = 0xA5;

    auto plain = load(bytes), pad = load(padded);
    ASSERT_TRUE(plain && pad);
    for (int row = 0; row < INPUTS; ++row)
        ASSERT_EQ(std::memcmp(plain->feature_row(row), pad->feature_row(row), 2 * HIDDEN), 0);
    EXPECT_EQ(std::memcmp(plain->feature_biases(), pad->feature_biases(), 2 * HIDDEN), 0);
    EXPECT_EQ(std::memcmp(plain->output_weights(0), pad->output_weights(0), 2 * OUTPUT_WIDTH), 0);
    EXPECT_EQ(plain->output_bias(0), pad->output_bias(0));
    for (int bucket = 1; bucket < MAX_OUTPUT_BUCKETS; ++bucket) {
        EXPECT_EQ(pad->output_bias(bucket), 0);
        for (int i = 0; i < OUTPUT_WIDTH; ++i) ASSERT_EQ(pad->output_weights(bucket)[i], 0);
    }
}

TEST(NnueNetwork, OutputWeightsMustLieWithinPlusMinus127) {
    const std::string range_error = "output weights outside -127..127 (train with weight clipping)";
    struct Case {
        Layout layout;
        bool in_head;
        std::size_t index;  // within the output or W/D/L weight block
        std::int16_t value;
        bool accepted;
    };
    const Case cases[] = {
        {{1, 1, false}, false, 0, 127, true},
        {{1, 1, false}, false, 0, -127, true},
        {{1, 1, false}, false, 0, 128, false},
        {{1, 1, false}, false, OUTPUT_WIDTH - 1, -128, false},
        {{1, 8, false}, false, 7 * OUTPUT_WIDTH + 1500, 128, false},
        {{1, 1, true}, true, 0, -128, false},
        {{1, 1, true}, true, 3 * OUTPUT_WIDTH - 1, 128, false},
        {{1, 1, true}, true, OUTPUT_WIDTH, 127, true},
        {{1, 1, false}, false, 5, 32767, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " at " << c.index);
        const Blocks b(c.layout);
        std::vector<std::uint8_t> bytes(padded_length(c.layout), 0);
        put(bytes, (c.in_head ? b.wdl_weights : b.output_weights) + c.index, c.value);
        EXPECT_EQ(error_of(bytes), c.accepted ? "(loaded)" : range_error);
    }

    // Feature weights and biases have no range limit.
    const Layout l{1, 1, false};
    const Blocks b(l);
    std::vector<std::uint8_t> bytes(exact_length(l), 0);
    put(bytes, 12345, 30000);
    put(bytes, b.feature_biases, -30000);
    put(bytes, b.output_biases, 32767);
    auto net = load(bytes);
    ASSERT_TRUE(net);
    EXPECT_EQ(net->feature_row(12)[12345 - 12 * HIDDEN], 30000);
    EXPECT_EQ(net->feature_biases()[0], -30000);
    EXPECT_EQ(net->output_bias(0), 32767);
}

TEST(NnueNetwork, WeightBlocksAreAlignedTo64Bytes) {
    auto net = load(std::vector<std::uint8_t>(padded_length({4, 8, true}), 0));
    ASSERT_TRUE(net);
    auto aligned = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; };
    EXPECT_TRUE(aligned(net.get()));
    EXPECT_TRUE(aligned(net->feature_row(0)));
    EXPECT_TRUE(aligned(net->feature_row(3 * INPUTS + 1)));
    EXPECT_TRUE(aligned(net->feature_biases()));
    EXPECT_TRUE(aligned(net->output_weights(5)));
    EXPECT_TRUE(aligned(net->wdl_weights(0)));
    EXPECT_TRUE(aligned(net->wdl_weights(2)));
}

TEST(NnueNetwork, BuiltInNetworkIsSharedNarrowWithEightBucketsAndAHead) {
    auto net = default_net();
    ASSERT_TRUE(net);
    EXPECT_EQ(net->king_buckets(), 8);
    EXPECT_EQ(net->output_buckets(), 8);
    EXPECT_TRUE(net->has_wdl_head());
    EXPECT_EQ(net->width(), 512);  // trained 512 units wide: half the work of 1024
    EXPECT_EQ(default_net().get(), net.get());
}

}  // namespace
}  // namespace orvane::nnue
