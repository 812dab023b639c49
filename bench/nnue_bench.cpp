// NNUE speed on the built-in network, per vector path (argument: 0 scalar, then the vector
// paths of this build): a move pushed, made, evaluated, unmade and popped (one accumulator
// update per perspective and the output layer); the same for king moves that change the
// king key (refresh cache); a full refresh; and the two kernels alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/board/movegen.h"
#include "core/eval/nnue/nnue_eval.h"

namespace orvane::nnue {
namespace {

constexpr std::string_view MIDDLE_GAME =
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
// Every king move from e1 changes the white king key (mirror side or bucket).
constexpr std::string_view KING_WALK = "r3k2r/pp3ppp/2n5/8/8/2N5/PP3PPP/R3K2R w KQkq - 0 1";

simd::Path path_of(const benchmark::State& state) {
    return simd::available_paths()[static_cast<std::size_t>(state.range(0))];
}

Position parse(std::string_view fen) { return std::get<Position>(Position::from_fen(fen)); }

std::vector<Move> legal_moves(const Position& pos, bool kings_only) {
    MoveList list;
    movegen::generate_all(pos, list);
    std::vector<Move> moves;
    for (Move m : list)
        if (!kings_only || kind_of(pos.piece_on(move_from(m))) == KING) moves.push_back(m);
    return moves;
}

void run_moves(benchmark::State& state, std::string_view fen, bool kings_only) {
    Position pos = parse(fen);
    NnueEval eval(default_net(), path_of(state));
    eval.reset(pos);
    eval.evaluate(pos);
    const std::vector<Move> moves = legal_moves(pos, kings_only);
    std::size_t i = 0;
    for (auto _ : state) {
        const Move m = moves[i];
        i = i + 1 == moves.size() ? 0 : i + 1;
        eval.push_move(pos, m);
        pos.make_move(m);
        benchmark::DoNotOptimize(eval.evaluate(pos));
        pos.unmake_move(m);
        eval.pop_move();
    }
    state.SetLabel(std::string(simd::kernels(path_of(state)).name));
}

void BM_PushEvaluatePop(benchmark::State& state) { run_moves(state, MIDDLE_GAME, false); }

void BM_KingMoveCacheRefresh(benchmark::State& state) { run_moves(state, KING_WALK, true); }

void BM_ResetAndEvaluate(benchmark::State& state) {
    const Position pos = parse(MIDDLE_GAME);
    NnueEval eval(default_net(), path_of(state));
    for (auto _ : state) {
        eval.reset(pos);
        benchmark::DoNotOptimize(eval.evaluate(pos));
    }
    state.SetLabel(std::string(simd::kernels(path_of(state)).name));
}

void BM_Wdl(benchmark::State& state) {
    const Position pos = parse(MIDDLE_GAME);
    NnueEval eval(default_net(), path_of(state));
    for (auto _ : state) benchmark::DoNotOptimize(eval.wdl(pos));
    state.SetLabel(std::string(simd::kernels(path_of(state)).name));
}

void BM_UpdateKernel(benchmark::State& state) {
    const simd::Kernels& k = simd::kernels(path_of(state));
    auto net = default_net();
    Acc a, b;
    const std::int16_t* add[2] = {net->feature_row(100), net->feature_row(200)};
    const std::int16_t* sub[2] = {net->feature_row(300), net->feature_row(400)};
    std::copy(net->feature_biases(), net->feature_biases() + HIDDEN, a.v);
    for (auto _ : state) {
        k.update(b.v, a.v, add, 1, sub, 2, net->width());  // a capture: one row in, two out
        benchmark::DoNotOptimize(b);
    }
    state.SetLabel(std::string(k.name));
}

void BM_OutputKernel(benchmark::State& state) {
    const simd::Kernels& k = simd::kernels(path_of(state));
    auto net = default_net();
    const Position pos = parse(MIDDLE_GAME);
    NnueEval eval(net, path_of(state));
    Acc us, them;
    eval.refresh(pos, us, them);
    for (auto _ : state) benchmark::DoNotOptimize(
            k.output(us.v, them.v, net->output_weights(7), net->width()));
    state.SetLabel(std::string(k.name));
}

void paths(benchmark::internal::Benchmark* b) {
    for (std::size_t i = 0; i < simd::available_paths().size(); ++i) b->Arg(static_cast<int>(i));
}

BENCHMARK(BM_PushEvaluatePop)->Apply(paths);
BENCHMARK(BM_KingMoveCacheRefresh)->Apply(paths);
BENCHMARK(BM_ResetAndEvaluate)->Apply(paths);
BENCHMARK(BM_Wdl)->Apply(paths);
BENCHMARK(BM_UpdateKernel)->Apply(paths);
BENCHMARK(BM_OutputKernel)->Apply(paths);

}  // namespace
}  // namespace orvane::nnue

BENCHMARK_MAIN();
