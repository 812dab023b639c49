#include "core/eval/nnue/nnue_eval.h"
#include "core/search/bench.h"

#include <algorithm>
#include <chrono>

#include "core/search/searcher.h"

namespace orvane::bench {

const std::array<std::string_view, 16> POSITIONS = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4",
    "r1bqkbnr/pp1ppppp/2n5/2p5/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3",
    "rnbqkb1r/ppp2ppp/4pn2/3p4/2PP4/2N5/PP2PPPP/R1BQKBNR w KQkq - 2 4",
    "r2q1rk1/pp2bppp/2n1pn2/2pp4/3P4/2PBPN2/PP1N1PPP/R2QK2R w KQ - 0 9",
    "2r2rk1/pp3ppp/2n1b3/3p4/3P4/2P1BN2/P4PPP/R4RK1 w - - 0 18",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
    "8/5pk1/6p1/8/2R5/6P1/r4PK1/8 w - - 0 40",
    "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
    "8/8/8/4k3/8/8/4P3/4K3 w - - 0 1",
    "3r2k1/1p3ppp/p7/8/1P6/P3B3/5PPP/6K1 w - - 0 30",
};

template <Evaluator E>
BenchResult run_with(int depth, const E& evaluator) {
    auto table = tt::TranspositionTable::try_new(16, 1);
    if (auto* error = std::get_if<tt::TableError>(&table)) fatal(error->message);
    auto searcher = std::make_unique<Searcher<E>>(
        evaluator, std::get<std::shared_ptr<tt::TranspositionTable>>(table),
        std::make_shared<std::atomic<bool>>(false));
    SearchLimits limits;
    limits.depth = std::clamp(depth, 1, 127);

    BenchResult result;
    std::chrono::steady_clock::duration elapsed{};
    for (std::string_view fen : POSITIONS) {
        FenResult parsed = Position::from_fen(fen);
        if (!std::holds_alternative<Position>(parsed)) fatal("bench FEN is valid");
        Position pos = std::get<Position>(std::move(parsed));
        searcher->table()->clear();
        searcher->clear_learned();
        const auto start = std::chrono::steady_clock::now();
        const SearchResult r = searcher->search(pos, limits, InfoCallback{});
        elapsed += std::chrono::steady_clock::now() - start;
        result.nodes.push_back(r.nodes);
        result.total += r.nodes;
    }
    result.ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    return result;
}

BenchResult run(int depth) { return run_with(depth, PstEval{}); }

template BenchResult run_with<PstEval>(int, const PstEval&);
template BenchResult run_with<nnue::NnueEval>(int, const nnue::NnueEval&);

}  // namespace orvane::bench
