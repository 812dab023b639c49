// Speed of the static exchange test over the captures (and, separately, all legal moves) of
// a fixed set of middle-game and tactical positions. The per_call counter is the time of
// one see_ge call (CPU time; the machine may be shared).
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/board/movegen.h"
#include "core/board/see.h"

namespace {

using namespace orvane;

constexpr std::string_view POSITIONS[] = {
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "2r2rk1/pp1bqppp/2n1pn2/3p4/3P4/2NBPN2/PPQ2PPP/2R2RK1 w - - 0 12",
    "r1bq1rk1/pp2ppbp/2np1np1/8/3NP3/2N1BP2/PPPQ2PP/R3KB1R w KQ - 3 9",
    "r2q1rk1/pb1nbppp/1p2pn2/2pp4/2PP4/1PN1PN2/PB2BPPP/R2Q1RK1 b - - 0 10",
    "3r2k1/pp3ppp/2n1b3/q1pp4/4nB2/2PB1N2/P1Q2PPP/R4RK1 w - - 0 17",
    "2kr3r/ppp2ppp/2n1bn2/2b1p1q1/4P3/2NP1N2/PPPQBPPP/R3K2R b KQ - 5 10",
    "r1b2rk1/2q1bppp/p2p1n2/np2p3/3PP3/5N1P/PPBN1PP1/R1BQR1K1 b - - 0 13",
};

struct Sample {
    std::vector<Position> positions;
    std::vector<std::pair<int, Move>> moves;  // index into positions, move
};

Sample collect(bool captures_only) {
    Sample s;
    for (std::string_view fen : POSITIONS) {
        FenResult r = Position::from_fen(fen);
        if (!std::holds_alternative<Position>(r)) continue;
        s.positions.push_back(std::get<Position>(std::move(r)));
        MoveList list;
        if (captures_only)
            movegen::generate_noisy(s.positions.back(), list);
        else
            movegen::generate_all(s.positions.back(), list);
        for (Move m : list) s.moves.emplace_back(static_cast<int>(s.positions.size()) - 1, m);
    }
    return s;
}

void run(benchmark::State& state, bool captures_only, int threshold) {
    const Sample s = collect(captures_only);
    for (auto _ : state) {
        for (const auto& [i, m] : s.moves) {
            bool r = see::see_ge(s.positions[i], m, threshold);
            benchmark::DoNotOptimize(r);
        }
    }
    const double calls = static_cast<double>(state.iterations()) * s.moves.size();
    state.counters["calls_per_iter"] = static_cast<double>(s.moves.size());
    // Shown with its unit, e.g. "8.2ns": the inverted rate of calls is the time per call.
    state.counters["per_call"] =
        benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SeeNoisyThreshold0(benchmark::State& state) { run(state, true, 0); }
void BM_SeeAllMovesThreshold0(benchmark::State& state) { run(state, false, 0); }
void BM_SeeNoisyThresholdMinus100(benchmark::State& state) { run(state, true, -100); }

BENCHMARK(BM_SeeNoisyThreshold0);
BENCHMARK(BM_SeeAllMovesThreshold0);
BENCHMARK(BM_SeeNoisyThresholdMinus100);

}  // namespace

BENCHMARK_MAIN();
