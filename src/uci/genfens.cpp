#include "uci/genfens.h"

#include <atomic>
#include <cstdlib>
#include <unordered_set>

#include "core/board/movegen.h"
#include "core/board/text.h"
#include "core/board/zobrist.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/eval/pst_eval.h"
#include "core/search/searcher.h"
#include "uci/opening_book.h"
#include "uci/output.h"

namespace orvane::uci::genfens {
namespace {

// A generator of its own (not the standard library's distributions, whose results differ
// between library versions), so that a seed means the same positions everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t below(std::uint64_t n) { return zobrist::splitmix64(state_) % n; }

private:
    std::uint64_t state_;
};

// `plies` random legal moves; nothing when a game ends on the way.
std::optional<Position> random_walk(Position pos, int plies, Random& random) {
    for (int i = 0; i < plies; ++i) {
        MoveList moves;
        movegen::generate_all(pos, moves);
        if (moves.empty()) return std::nullopt;
        pos.make_move(moves[static_cast<int>(random.below(static_cast<std::uint64_t>(moves.size())))]);
    }
    if (!movegen::has_legal_move(pos) || pos.insufficient_material()) return std::nullopt;
    return pos;
}

template <Evaluator E>
class Generator {
public:
    Generator(const E& evaluator, const std::optional<OpeningBook>& book, std::uint64_t seed)
        : searcher_(std::make_unique<Searcher<E>>(evaluator,
                                                  tt::TranspositionTable::new_table(tt::MIN_MB),
                                                  std::make_shared<std::atomic<bool>>(false))),
          book_(book),
          random_(seed) {
        limits_.depth = SEARCH_DEPTH;
    }

    // The next position, or nothing when this try gave none.
    std::optional<Position> next() {
        std::optional<Position> start = Position::startpos();
        int plies = RANDOM_PLIES_FROM_START;
        if (book_) {
            start = book_->position(random_.below(book_->size()));
            plies = RANDOM_PLIES_FROM_BOOK;
        }
        plies += static_cast<int>(random_.below(2));
        if (!start) return std::nullopt;
        std::optional<Position> pos = random_walk(*start, plies, random_);
        if (!pos || !seen_.insert(pos->key()).second || !balanced(*pos)) return std::nullopt;
        return pos;
    }

private:
    // The score of a short search from a cleared state: one position's verdict never depends
    // on the positions tried before it.
    bool balanced(Position pos) {
        searcher_->table()->clear();
        searcher_->clear_learned();
        const SearchResult r = searcher_->search(pos, limits_, InfoCallback{});
        return std::abs(r.score) <= BALANCED_CP;
    }

    std::unique_ptr<Searcher<E>> searcher_;  // large: kept off the stack
    const std::optional<OpeningBook>& book_;
    Random random_;
    SearchLimits limits_;
    std::unordered_set<std::uint64_t> seen_;
};

template <Evaluator E>
void generate(const Request& request, const std::optional<OpeningBook>& book, const E& evaluator) {
    Generator<E> generator(evaluator, book, request.seed);
    std::uint64_t found = 0;
    const std::uint64_t tries = request.count * TRIES_PER_POSITION + TRIES_PER_POSITION;
    for (std::uint64_t t = 0; t < tries && found < request.count; ++t) {
        if (std::optional<Position> pos = generator.next()) {
            write_line("info string genfens " + pos->to_fen());
            ++found;
        }
    }
    if (found < request.count)
        info_string("genfens: only " + std::to_string(found) + " of "
                    + std::to_string(request.count) + " positions found in "
                    + std::to_string(tries) + " tries");
}

}  // namespace

std::variant<Request, std::string> parse(const std::vector<std::string_view>& args) {
    const char* usage = "usage: genfens N seed S book <file|None>";
    Request request;
    if (args.empty()) return std::string(usage);
    const std::optional<std::uint64_t> count = text::parse_int<std::uint64_t>(args[0]);
    if (!count) return "genfens: not a count: " + std::string(args[0]);
    request.count = *count;
    bool have_seed = false, have_book = false;
    for (std::size_t i = 1; i + 1 < args.size() && !(have_seed && have_book); i += 2) {
        if (args[i] == "seed" && !have_seed) {
            const std::optional<std::uint64_t> seed = text::parse_int<std::uint64_t>(args[i + 1]);
            if (!seed) return "genfens: not a seed: " + std::string(args[i + 1]);
            request.seed = *seed;
            have_seed = true;
        } else if (args[i] == "book" && !have_book) {
            if (args[i + 1] != "None") request.book = std::string(args[i + 1]);
            have_book = true;
        } else {
            break;  // the extra words
        }
    }
    if (!have_seed || !have_book) return std::string(usage);
    return request;
}

void run(const std::vector<std::string_view>& args, std::shared_ptr<const nnue::Network> net) {
    const std::variant<Request, std::string> parsed = parse(args);
    if (const auto* message = std::get_if<std::string>(&parsed)) {
        info_string(*message);
        return;
    }
    const Request& request = std::get<Request>(parsed);
    std::optional<OpeningBook> book;
    if (request.book) {
        BookLoad loaded = read_book(*request.book);
        if (const auto* error = std::get_if<BookError>(&loaded)) {
            info_string("genfens: " + error->message);
            return;
        }
        book = std::get<OpeningBook>(std::move(loaded));
    }
    if (net)
        generate(request, book, nnue::NnueEval(std::move(net)));
    else
        generate(request, book, PstEval{});
}

}  // namespace orvane::uci::genfens
