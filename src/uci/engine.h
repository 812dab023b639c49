// The UCI front end's state: one Engine owns the current position, every option value, the
// shared table, networks and tablebase, the stop flag and the searcher pool, and executes one
// command line at a time. Exactly one of the pool and the running search thread is present.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/eval/pst_eval.h"
#include "core/eval/nnue/network.h"
#include "core/eval/nnue/nnue_eval.h"
#include "core/board/position.h"
#include "core/router/router_net.h"
#include "core/router/router_moe_net.h"
#include "core/search/searcher.h"
#include "core/search/strength.h"
#include "core/parallel/thread_pool.h"
#include "core/tablebase/tablebase.h"
#include "core/parallel/named_thread.h"
#include "core/search/transposition_table.h"

namespace orvane::uci {

// ORVANE_VERSION is the version of the CMake project.
inline constexpr std::string_view ENGINE_NAME = "Orvane " ORVANE_VERSION;
inline constexpr std::string_view ENGINE_AUTHOR = "the Orvane authors";

using PstPool = smp::ThreadPool<PstEval>;
using NnuePool = smp::ThreadPool<nnue::NnueEval>;
using Pool = std::variant<std::unique_ptr<PstPool>, std::unique_ptr<NnuePool>>;

// What the search thread takes with it and hands back.
struct SearchJob;

class Engine {
public:
    Engine();
    ~Engine();

    // Executes one trimmed input line; false only for "quit".
    bool handle(std::string_view line);

    // Stops a running search (raising the stop flag), joins it and takes the pool back.
    void finish_search();
    // At end of input: the search is told to stop and joined; a crash is ignored here.
    void end_of_input();

    void perft(std::uint32_t depth);
    void set_option(const std::vector<std::string_view>& args);
    void apply_settings();
    void rebuild_pool();
    void go(const std::vector<std::string_view>& args);

    const Position& position() const { return position_; }
    bool searching() const { return search_thread_.joinable(); }

private:
    Pool& searcher();
    // The table and every searcher's learned tables, as after a new game.
    void clear_learned();
    void cmd_uci();
    void cmd_position(const std::vector<std::string_view>& args);
    void cmd_eval();
    void set_hash(std::uint64_t mb);
    void set_router_file(const std::string& path);
    void set_syzygy_path(const std::string& path);
    void set_eval_file(const std::string& path);
    void join_search(bool report_crash);

    std::optional<Pool> pool_;
    Position position_;
    std::shared_ptr<const Tablebase> tablebase_;
    std::size_t threads_ = 1;
    std::uint64_t move_overhead_ = 10;
    std::uint32_t router_plies_ = 2;
    std::uint32_t router_top_k_ = 0;
    std::uint32_t multi_pv_ = 1;
    std::shared_ptr<tt::TranspositionTable> tt_;
    std::shared_ptr<const router::RouterNet> router_;
    std::shared_ptr<const router_moe::RouterMoeNet> router_moe_;
    std::shared_ptr<const nnue::Network> network_;
    std::int32_t policy_min_depth_ = 0;
    std::int32_t router_reduce_ = 6;
    std::int32_t router_min_depth_ = 2;
    std::int32_t router_order_bonus_ = 0;
    std::uint32_t gumbel_temp_ = 0;
    smp::SmpMode smp_mode_ = smp::SmpMode::Lazy;
    SearchMode search_mode_ = SearchMode::AB;
    bool router_order_ = false;
    bool router_delta_ = true;
    bool use_nnue_ = true;
    bool show_wdl_ = false;
    bool chess960_ = false;  // UCI_Chess960: castles written as the king taking its rook
    bool abdada_ = false;
    std::shared_ptr<std::atomic<bool>> stop_;
    NamedThread search_thread_;
    std::shared_ptr<SearchJob> job_;
    bool goal_moves_ = false;
    bool limit_strength_ = false;
    std::int32_t elo_ = strength::MAX_ELO;
    std::uint64_t game_number_ = 0;  // counts "ucinewgame": the weaker player's per-game value
    // True while a "go ponder" search waits for "ponderhit"; shared with the search thread.
    std::shared_ptr<std::atomic<bool>> pondering_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace orvane::uci
