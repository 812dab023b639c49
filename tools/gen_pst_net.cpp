// orvane-gen-pst-net FILE: writes the built-in network until a trained one replaces it. The
// network reproduces the hand-written piece-square evaluation (eval::TABLES, the bishop pair
// and the tapering by game phase) in the 8 king bucket, 8 output bucket, W/D/L head layout.
//
// How: each perspective's accumulator holds hidden units in pairs A = c + g + d and
// B = c + g - d, with output weights +w and -w. While both stay inside 0..255 the pair adds
// w (A^2 - B^2) = 4 w (c + g) d to the output sum, so
//  - with g = 0 it is linear in d: the end-game values, in exact centipawns (c = 153 and
//    w = 17 make one unit of d worth 10404 in the sum, which the output scaling turns
//    into 1 cp);
//  - with g = the raw game phase it is phase x d: the (middle game - end game) part of the
//    tapering, c = 108. A second pair with g = 0 and the opposite weight takes back the
//    108 x d part. The sum needs 10404 / 24 = 433.5 per unit of phase x d, which is
//    4 x (3/8 x 109 + 5/8 x 108): each value goes 3/8 to pairs of weight 109 and the rest
//    to pairs of weight 108, exact but for the rounding of the 3/8 (under 0.01 cp a piece);
//  - with g = 255 x (count - k) the pair is a gate: both units clip to 0 below k and to 255
//    above k, so it contributes only when the count equals k exactly. Gates give the bishop
//    pair (own bishop count 2..10) and the cap of the phase at 24 (raw phase 25..40).
// Every unit depends on the perspective's own pieces (the phase on both sides'), and the
// other side's accumulator gets the negated output weights, so the output is g(side to
// move) - g(other side): constant offsets cancel, which lets each sum be shifted into range.
// The output buckets are all equal (the phase is computed exactly), and the W/D/L head uses
// twice the output weights: win and loss logits of +-score/200 cp, less ln 2 each, against
// a draw logit of 0 (so a level position is half a draw).
//
// Differences left: the last digit of the two truncating divisions of the output (at most
// 1 cp), 108 standing in for 433.5 / 4 in the phase cap (raw phase above 24 only), and
// positions beyond the ranges below (more than 10 pieces of one kind, raw phase above 40,
// the phase cap of the bishop-pair term when only one side has the pair).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/eval/pst_eval.h"
#include "core/eval/nnue/network.h"

namespace {

using namespace orvane;
using nnue::HIDDEN;
using nnue::INPUTS;

constexpr int KING_BUCKETS = 8;
constexpr int OUTPUT_BUCKETS = 8;
constexpr int ACT_MAX = 255;

constexpr int LINEAR_C = 153;  // 17 x 153 x 4 = 10404: one unit of d is one centipawn
constexpr int LINEAR_W = 17;
constexpr int LINEAR_D_MAX = ACT_MAX - LINEAR_C;
constexpr int PRODUCT_C = 108;  // with raw phase <= 40: 108 + 40 + 107 <= 255
// 10404 / 24 = 433.5 = 4 x (3/8 x 109 + 5/8 x 108): each value is split into a part of
// round(3/8 x value) under weight 109 and the rest under weight 108.
constexpr int PRODUCT_W_HIGH = 109;
constexpr int PRODUCT_W_LOW = 108;
constexpr int PRODUCT_D_MAX = 107;
constexpr int MAX_RAW_PHASE = 40;
constexpr int MAX_UNIT_WEIGHT = 63;  // head weights are 2x: at most 126
constexpr int HEAD_SCALE = 2;
constexpr int HEAD_WIN_LOSS_BIAS = -11312;  // -ln 2 x 16320
constexpr int OUTPUT_BIAS = -1;  // the last-digit rounding that matches most often
constexpr int BISHOP_PAIR_MAX_COUNT = 10;

constexpr int OWN = 0, OTHER = 384;
constexpr std::array<int, 6> PHASE_WEIGHT = {0, 1, 1, 2, 4, 0};
// Piece counts of one side that the sums are kept in range for.
constexpr std::array<int, 6> MAX_COUNT = {8, 10, 10, 10, 9, 1};

int feature(int side, int kind, int sq) { return side + kind * 64 + sq; }

int floor_div(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// A linear function of one perspective's features.
struct Form {
    std::array<int, INPUTS> coef{};
    int constant = 0;

    Form operator+(const Form& o) const {
        Form r = *this;
        for (int f = 0; f < INPUTS; ++f) r.coef[f] += o.coef[f];
        r.constant += o.constant;
        return r;
    }
    Form operator*(int k) const {
        Form r = *this;
        for (int& c : r.coef) c *= k;
        r.constant *= k;
        return r;
    }
};

Form constant_form(int c) {
    Form f;
    f.constant = c;
    return f;
}

// The raw game phase: minor pieces 1, rooks 2, queens 4, both sides.
Form phase_form() {
    Form f;
    for (int side : {OWN, OTHER})
        for (int kind = PAWN; kind <= KING; ++kind)
            for (int sq = 0; sq < 64; ++sq) f.coef[feature(side, kind, sq)] = PHASE_WEIGHT[kind];
    return f;
}

// 255 x (own pieces of `kind` - k): the gate that is open when the count is exactly k.
Form count_gate(int kind, int k) {
    Form f;
    for (int sq = 0; sq < 64; ++sq) f.coef[feature(OWN, kind, sq)] = ACT_MAX;
    f.constant = -ACT_MAX * k;
    return f;
}

Form phase_gate(int level) {
    Form f = phase_form() * ACT_MAX;
    f.constant = -ACT_MAX * level;
    return f;
}

bool square_possible(int kind, int sq) { return kind != PAWN || (sq >= 8 && sq < 56); }

// Splits the per-square values of one own piece kind into as few forms as needed for the
// sum of each, over the allowed piece counts, to fit -d_max..d_max once shifted to centre.
std::vector<Form> split_kind(int kind, const std::array<int, 64>& value, int d_max) {
    const int count_lo = kind == KING ? 1 : 0, count_hi = MAX_COUNT[kind];
    for (int k = 1;; ++k) {
        std::vector<Form> parts;
        bool fits = true;
        for (int j = 0; j < k && fits; ++j) {
            Form f;
            int a = 1 << 30, b = -(1 << 30);
            for (int sq = 0; sq < 64; ++sq) {
                int v = floor_div(value[sq] + j, k);
                f.coef[feature(OWN, kind, sq)] = v;
                if (!square_possible(kind, sq)) continue;
                a = std::min(a, v);
                b = std::max(b, v);
            }
            int lo = a < 0 ? count_hi * a : count_lo * a;
            int hi = b > 0 ? count_hi * b : count_lo * b;
            fits = hi - lo <= 2 * d_max;
            f.constant = -(lo + hi) / 2;
            parts.push_back(f);
        }
        if (fits) return parts;
    }
}

struct Unit {
    std::array<int, INPUTS> weight{};
    int bias = 0;
    int out = 0;  // output weight on the side to move's accumulator
};

class Builder {
public:
    // Units A = c + g + d and B = c + g - d with output weights +weight and -weight, the
    // weight spread over copies so that no copy exceeds MAX_UNIT_WEIGHT.
    void add_pair(const Form& g, const Form& d, int c, int weight) {
        const int copies = (std::abs(weight) + MAX_UNIT_WEIGHT - 1) / MAX_UNIT_WEIGHT;
        for (int r = 0; r < copies; ++r) {
            const int w = weight / copies + (r < weight % copies ? 1 : 0)
                          - (r < -weight % copies ? 1 : 0);
            for (int sign : {1, -1}) {
                Unit u;
                for (int f = 0; f < INPUTS; ++f) u.weight[f] = g.coef[f] + sign * d.coef[f];
                u.bias = c + g.constant + sign * d.constant;
                u.out = sign * w;
                units_.push_back(u);
            }
        }
    }
    const std::vector<Unit>& units() const { return units_; }

private:
    std::vector<Unit> units_;
};

std::array<int, 64> table(int phase, int kind) {
    std::array<int, 64> t;
    for (int sq = 0; sq < 64; ++sq) t[sq] = eval::TABLES[phase][make_piece(WHITE, kind)][sq];
    return t;
}

bool tables_symmetric() {
    for (int phase = 0; phase < 2; ++phase)
        for (int kind = PAWN; kind <= KING; ++kind)
            for (int sq = 0; sq < 64; ++sq)
                if (table(phase, kind)[sq] != table(phase, kind)[sq ^ 7]) return false;
    return true;
}

int three_eighths(int v) { return floor_div(3 * v + 4, 8); }

// Raw phase x d under `weight`, where `gate` is open (always for an empty gate): the pair
// with c + gate + phase, and the pair with c + gate alone that takes back the c x d part.
void add_phase_product(Builder& b, const Form& gate, const Form& d, int weight) {
    b.add_pair(gate + phase_form(), d, PRODUCT_C, weight);
    b.add_pair(gate, d, PRODUCT_C, -weight);
}

std::vector<Unit> build_units() {
    Builder b;
    const Form none;

    for (int kind = PAWN; kind <= KING; ++kind) {
        // End-game values, linear.
        for (const Form& d : split_kind(kind, table(1, kind), LINEAR_D_MAX))
            b.add_pair(none, d, LINEAR_C, LINEAR_W);

        // Middle game minus end game, times the phase, with the phase capped at 24.
        std::array<int, 64> diff = table(0, kind), high, low;
        for (int sq = 0; sq < 64; ++sq) {
            diff[sq] -= table(1, kind)[sq];
            high[sq] = three_eighths(diff[sq]);
            low[sq] = diff[sq] - high[sq];
        }
        for (const Form& d : split_kind(kind, high, PRODUCT_D_MAX))
            add_phase_product(b, none, d, PRODUCT_W_HIGH);
        for (const Form& d : split_kind(kind, low, PRODUCT_D_MAX))
            add_phase_product(b, none, d, PRODUCT_W_LOW);
        for (const Form& d : split_kind(kind, diff, PRODUCT_D_MAX))
            for (int level = eval::MAX_PHASE + 1; level <= MAX_RAW_PHASE; ++level)
                b.add_pair(phase_gate(level), d, PRODUCT_C, -(level - eval::MAX_PHASE));
    }

    // The bishop pair: end-game bonus plus (middle game - end game) x phase, per count.
    const int pair_diff = eval::BISHOP_PAIR_MG - eval::BISHOP_PAIR_EG;
    for (int k = 2; k <= BISHOP_PAIR_MAX_COUNT; ++k) {
        const Form gate = count_gate(BISHOP, k);
        b.add_pair(gate, constant_form(eval::BISHOP_PAIR_EG), LINEAR_C, LINEAR_W);
        add_phase_product(b, gate, constant_form(three_eighths(pair_diff)), PRODUCT_W_HIGH);
        add_phase_product(b, gate, constant_form(pair_diff - three_eighths(pair_diff)),
                          PRODUCT_W_LOW);
    }
    return b.units();
}

void put(std::vector<std::uint8_t>& out, int v) {
    if (v < -32768 || v > 32767) {
        std::fprintf(stderr, "gen-pst-net: weight %d does not fit 16 bits\n", v);
        std::exit(1);
    }
    auto u = static_cast<std::uint16_t>(v);
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvane-gen-pst-net FILE\n");
        return 2;
    }
    // Mirrored king buckets share their weight rows, so the tables must not tell a-d from e-h.
    if (!tables_symmetric()) {
        std::fprintf(stderr, "gen-pst-net: the piece-square tables are not left-right symmetric\n");
        return 1;
    }
    const std::vector<Unit> units = build_units();
    if (units.size() > std::size_t(HIDDEN)) {
        std::fprintf(stderr, "gen-pst-net: %zu hidden units needed, %d available\n", units.size(),
                     HIDDEN);
        return 1;
    }
    auto unit = [&](int i) -> const Unit& {
        static const Unit unused{};
        return i < int(units.size()) ? units[i] : unused;
    };

    const nnue::Layout layout{KING_BUCKETS, OUTPUT_BUCKETS, true};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(nnue::padded_length(layout));
    for (int bucket = 0; bucket < KING_BUCKETS; ++bucket)
        for (int f = 0; f < INPUTS; ++f)
            for (int i = 0; i < HIDDEN; ++i) put(bytes, unit(i).weight[f]);
    for (int i = 0; i < HIDDEN; ++i) put(bytes, unit(i).bias);
    for (int bucket = 0; bucket < OUTPUT_BUCKETS; ++bucket) {
        for (int i = 0; i < HIDDEN; ++i) put(bytes, unit(i).out);
        for (int i = 0; i < HIDDEN; ++i) put(bytes, -unit(i).out);
    }
    for (int bucket = 0; bucket < OUTPUT_BUCKETS; ++bucket) put(bytes, OUTPUT_BIAS);
    for (int head_sign : {1, 0, -1}) {
        for (int i = 0; i < HIDDEN; ++i) put(bytes, head_sign * HEAD_SCALE * unit(i).out);
        for (int i = 0; i < HIDDEN; ++i) put(bytes, -head_sign * HEAD_SCALE * unit(i).out);
    }
    put(bytes, HEAD_WIN_LOSS_BIAS);
    put(bytes, 0);
    put(bytes, HEAD_WIN_LOSS_BIAS);
    const std::string text = "Orvane piece-square reproduction network. ";
    while (bytes.size() < nnue::padded_length(layout))
        bytes.push_back(static_cast<std::uint8_t>(text[bytes.size() % text.size()]));

    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()
        || std::fclose(file) != 0) {
        std::fprintf(stderr, "gen-pst-net: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("gen-pst-net: %zu hidden units, %zu bytes written to %s\n", units.size(),
                bytes.size(), argv[1]);
    return 0;
}
