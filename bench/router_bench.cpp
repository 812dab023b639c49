// Router inference time per position: an RRT4 network of 256 x 32 and an RRT5 network with
// C = 32, B = 2, E = 32 (top-K off and 4), over a few middle-game and end-game positions.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/board/movegen.h"
#include "core/router/router_net.h"
#include "core/router/router_moe_net.h"

using namespace orvane;

namespace {

const char* const FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
};

struct Sample {
    Position pos;
    MoveList moves;
};

std::vector<Sample> samples() {
    std::vector<Sample> out;
    for (const char* fen : FENS) {
        Sample s{std::get<Position>(Position::from_fen(fen)), {}};
        movegen::generate_all(s.pos, s.moves);
        out.push_back(s);
    }
    return out;
}

void bm_rrt4(benchmark::State& state) {
    const router::RouterNet net = router::RouterNet::new_v4(256, 32);
    const std::vector<Sample> positions = samples();
    float out[256];
    std::size_t i = 0;
    for (auto _ : state) {
        const Sample& s = positions[i++ % positions.size()];
        net.log_probs(s.pos, {s.moves.moves, static_cast<std::size_t>(s.moves.count)},
                      {out, static_cast<std::size_t>(s.moves.count)});
        benchmark::DoNotOptimize(out[0]);
    }
    state.SetLabel("per position");
}
BENCHMARK(bm_rrt4);

void bm_rrt5(benchmark::State& state) {
    const router_moe::RouterMoeNet net = router_moe::RouterMoeNet::random(32, 2, 32);
    const std::vector<Sample> positions = samples();
    const auto top_k = static_cast<std::uint32_t>(state.range(0));
    float out[256];
    std::size_t i = 0;
    for (auto _ : state) {
        const Sample& s = positions[i++ % positions.size()];
        net.log_probs(s.pos, {s.moves.moves, static_cast<std::size_t>(s.moves.count)}, top_k,
                      {out, static_cast<std::size_t>(s.moves.count)});
        benchmark::DoNotOptimize(out[0]);
    }
    state.SetLabel("per position");
}
BENCHMARK(bm_rrt5)->Arg(0)->Arg(4);

// The residual tower alone: one 32 -> 32 convolution.
void bm_conv32(benchmark::State& state) {
    const router_moe::RouterMoeNet net = router_moe::RouterMoeNet::random(32, 1, 8);
    std::vector<float> in(32 * 64, 0.5f), out(32 * 64);
    for (auto _ : state) {
        router_moe::conv3x3_8x8(in.data(), 32, net.res_blocks[0].conv1_weights.data(),
                                net.res_blocks[0].conv1_bias.data(), 32, out.data());
        benchmark::DoNotOptimize(out[0]);
    }
}
BENCHMARK(bm_conv32);

}  // namespace

BENCHMARK_MAIN();
