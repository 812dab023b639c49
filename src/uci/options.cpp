// The option list, "setoption", and the two operations that push option values into the
// searcher pool. Every option takes effect inside its setoption command.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "core/board/text.h"
#include "core/router/router_policy.h"
#include "core/search/strength.h"
#include "core/search/transposition_table.h"
#include "syzygy/syzygy.h"
#include "uci/engine.h"
#include "uci/output.h"
#include "uci/tuning_options.h"

namespace orvane::uci {

namespace {

constexpr std::size_t MAX_THREADS = 256;
constexpr std::uint32_t MAX_MULTI_PV = 256;
constexpr std::uint32_t MAX_GUMBEL_TEMP = 200;

// Says what is wrong with a file of this many bytes, before anything is read or allocated.
using SizeCheck = std::function<std::optional<std::string>(std::uint64_t)>;

// The whole file, or the reason it cannot be used: the system's, or the size check's.
std::variant<std::vector<std::uint8_t>, std::string> read_file(const std::string& path,
                                                               const SizeCheck& size_problem) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string(std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return std::string(std::strerror(err));
    }
    // Devices and pipes could stream forever: only plain files are read.
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::string(S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (std::optional<std::string> problem = size_problem(size)) {
        ::close(fd);
        return *problem;
    }
    bytes.reserve(static_cast<std::size_t>(size));
    // A file that grows while it is read is cut one byte past its checked size, which the
    // loaders then refuse for its length.
    std::uint8_t buffer[1 << 16];
    while (bytes.size() <= size) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, size + 1 - bytes.size()));
        const ssize_t n = ::read(fd, buffer, wanted);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return std::string(std::strerror(err));
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    return bytes;
}

bool check_value(std::string_view value) { return text::ascii_lower(text::trim(value)) == "true"; }

}  // namespace

void Engine::cmd_uci() {
    std::string out = "id name " + std::string(ENGINE_NAME) + "\n";
    out += "id author " + std::string(ENGINE_AUTHOR) + "\n";
    out += "option name Hash type spin default 16 min " + std::to_string(tt::MIN_MB) + " max "
           + std::to_string(tt::MAX_MB) + "\n";
    out += "option name Clear Hash type button\n";
    out += "option name Threads type spin default 1 min 1 max " + std::to_string(MAX_THREADS) + "\n";
    out += "option name Move Overhead type spin default 10 min 0 max 5000\n";
    out += "option name PolicyMinDepth type spin default 0 min 0 max 64\n";
    out += "option name RouterFile type string default <empty>\n";
    out += "option name RouterPlies type spin default 2 min 0 max 8\n";
    out += "option name RouterReduce type spin default 6 min 0 max 100\n";
    out += "option name RouterOrder type check default false\n";
    out += "option name RouterMinDepth type spin default 2 min 1 max 64\n";
    out += "option name RouterMode type combo default Delta var Delta var Replace\n";
    out += "option name RouterOrderBonus type spin default 0 min 0 max 10000\n";
    out += "option name RouterTopK type spin default 0 min 0 max 16\n";
    out += "option name SyzygyPath type string default <empty>\n";
    out += "option name UseNNUE type check default true\n";
    out += "option name EvalFile type string default <internal>\n";
    out += "option name MultiPV type spin default 1 min 1 max " + std::to_string(MAX_MULTI_PV) + "\n";
    out += "option name UCI_ShowWDL type check default false\n";
    out += "option name UCI_Chess960 type check default false\n";
    out += "option name GoalMoves type check default false\n";
    out += "option name ABDADA type check default false\n";
    out += "option name SMPMode type combo default Lazy var Lazy var YBWC var ABDADA\n";
    out += "option name SearchMode type combo default AB var AB var VOI var GumbelSH\n";
    out += "option name GumbelTemp type spin default 0 min 0 max 200\n";
    out += "option name Ponder type check default false\n";
    out += "option name UCI_LimitStrength type check default false\n";
    out += "option name UCI_Elo type spin default " + std::to_string(strength::MAX_ELO) + " min "
           + std::to_string(strength::MIN_ELO) + " max " + std::to_string(strength::MAX_ELO) + "\n";
    out += tuning_option_lines();
    out += "uciok\n";
    write_raw(out);
}

void Engine::set_option(const std::vector<std::string_view>& args) {
    std::size_t name_at = args.size(), value_at = args.size();
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "name" && name_at == args.size()) name_at = i;
        if (args[i] == "value" && value_at == args.size()) value_at = i;
    }
    const std::size_t name_begin = name_at == args.size() ? 0 : name_at + 1;
    const std::size_t name_end = value_at >= name_begin ? value_at : args.size();
    const std::string name = text::unicode_lower(text::join(args, name_begin, name_end));
    const std::string value = value_at < args.size() ? text::join(args, value_at + 1, args.size()) : "";

    if (name == "hash") {
        auto mb = text::parse_int<std::uint64_t>(value);
        if (!mb) return;
        set_hash(*mb);
    } else if (name == "clear hash") {
        clear_learned();
        return;
    } else if (name == "threads") {
        auto n = text::parse_int<std::uint64_t>(value);
        if (!n) return;
        threads_ = static_cast<std::size_t>(std::clamp<std::uint64_t>(*n, 1, MAX_THREADS));
    } else if (name == "move overhead") {
        auto ms = text::parse_int<std::uint64_t>(value);
        if (!ms) return;
        move_overhead_ = *ms;
    } else if (name == "policymindepth") {
        policy_min_depth_ = text::parse_int<std::int32_t>(value).value_or(0);
    } else if (name == "routerfile") {
        set_router_file(std::string(text::trim(value)));
    } else if (name == "routerplies") {
        router_plies_ = text::parse_int<std::uint32_t>(value).value_or(2);
    } else if (name == "routerreduce") {
        router_reduce_ = text::parse_int<std::int32_t>(value).value_or(6);
    } else if (name == "routerorder") {
        router_order_ = value == "true";
    } else if (name == "routermindepth") {
        router_min_depth_ = text::parse_int<std::int32_t>(value).value_or(2);
    } else if (name == "routermode") {
        router_delta_ = text::ascii_lower(text::trim(value)) != "replace";
    } else if (name == "routerorderbonus") {
        router_order_bonus_ = text::parse_int<std::int32_t>(value).value_or(0);
    } else if (name == "routertopk") {
        router_top_k_ = text::parse_int<std::uint32_t>(value).value_or(0);
    } else if (name == "syzygypath") {
        set_syzygy_path(std::string(text::trim(value)));
    } else if (name == "usennue") {
        finish_search();
        const bool on = check_value(value);
        if (on != use_nnue_) {
            use_nnue_ = on;
            rebuild_pool();
        }
        info_string(std::string("evaluation: ") + (use_nnue_ ? "NNUE" : "hand-written"));
        return;
    } else if (name == "evalfile") {
        set_eval_file(std::string(text::trim(value)));
        return;
    } else if (name == "multipv") {
        auto n = text::parse_int<std::uint64_t>(value);
        if (!n) return;
        multi_pv_ = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(*n, 1, MAX_MULTI_PV));
    } else if (name == "uci_chess960") {
        // Only the notation changes: positions and moves are the same in both modes.
        finish_search();
        chess960_ = check_value(value);
        return;
    } else if (name == "uci_showwdl") {
        show_wdl_ = check_value(value);
    } else if (name == "goalmoves") {
        finish_search();
        goal_moves_ = check_value(value);
        return;
    } else if (name == "abdada") {
        abdada_ = check_value(value);
    } else if (name == "smpmode") {
        std::optional<smp::SmpMode> mode = smp::parse_smp_mode(value);
        if (!mode) return;
        smp_mode_ = *mode;
        abdada_ = *mode == smp::SmpMode::ABDADA;
        apply_settings();
        info_string("SMPMode set to " + std::string(smp::smp_mode_name(*mode)));
        return;
    } else if (name == "searchmode") {
        std::optional<SearchMode> mode = parse_search_mode(value);
        if (!mode) return;
        search_mode_ = *mode;
        apply_settings();
        info_string("SearchMode set to " + std::string(search_mode_name(*mode)));
        return;
    } else if (name == "ponder") {
        // Only tells the engine that the GUI may ponder; "go ponder" works either way.
    } else if (name == "uci_limitstrength") {
        limit_strength_ = check_value(value);
    } else if (name == "uci_elo") {
        auto elo = text::parse_int<std::int64_t>(value);
        if (!elo) return;
        elo_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(*elo, strength::MIN_ELO, strength::MAX_ELO));
    } else if (name == "gumbeltemp") {
        auto t = text::parse_int<std::uint32_t>(value);
        if (!t) return;
        gumbel_temp_ = std::min(*t, MAX_GUMBEL_TEMP);
    } else if (set_tuning_option(*this, name, value)) {
        return;
    } else {
        info_string("unknown option '" + name + "'");
        return;
    }
    apply_settings();
}

void Engine::set_hash(std::uint64_t mb) {
    finish_search();
    const std::size_t old_mb = tt_->size_mb();
    // The old table goes first, so that its memory is free for the new one.
    tt_ = tt::TranspositionTable::new_table(1);
    apply_settings();
    tt::TableResult made = tt::TranspositionTable::try_new(static_cast<std::size_t>(mb), threads_);
    if (auto* error = std::get_if<tt::TableError>(&made)) {
        info_string(error->message + "; keeping Hash " + std::to_string(old_mb) + " MB");
        made = tt::TranspositionTable::try_new(old_mb, threads_);
        if (std::holds_alternative<tt::TableError>(made)) made = tt::TranspositionTable::try_new(1, 1);
        if (auto* again = std::get_if<tt::TableError>(&made)) fatal(again->message);
    }
    tt_ = std::get<std::shared_ptr<tt::TranspositionTable>>(made);
}

void Engine::set_router_file(const std::string& path) {
    finish_search();
    if (path.empty() || path == "<empty>") {
        router_.reset();
        router_moe_.reset();
        info_string("router off");
        return;
    }
    auto file = read_file(path, [](std::uint64_t size) -> std::optional<std::string> {
        if (size <= router::MAX_FILE_BYTES) return std::nullopt;
        return "router file has " + std::to_string(size) + " bytes, more than any router has ("
               + std::to_string(router::MAX_FILE_BYTES) + ")";
    });
    if (auto* error = std::get_if<std::string>(&file)) {
        info_string("cannot use router " + path + ": " + *error);
        return;
    }
    const std::vector<std::uint8_t>& bytes = std::get<std::vector<std::uint8_t>>(file);
    if (bytes.size() > 3 && bytes[0] == 'R' && bytes[1] == 'R' && bytes[2] == 'T' && bytes[3] == '5') {
        router_moe::LoadResult parsed = router_moe::RouterMoeNet::from_bytes(bytes);
        if (auto* error = std::get_if<router::LoadError>(&parsed)) {
            info_string("cannot use RRT5 router " + path + ": " + error->message);
            return;
        }
        router_moe_ = std::get<std::shared_ptr<const router_moe::RouterMoeNet>>(parsed);
        router_.reset();
        info_string("loaded RRT5 MoE router " + path + " (C=" + std::to_string(router_moe_->channels)
                    + " B=" + std::to_string(router_moe_->blocks)
                    + " E=" + std::to_string(router_moe_->expert_units) + ")");
        return;
    }
    router::LoadResult parsed = router::RouterNet::from_bytes(bytes);
    if (auto* error = std::get_if<router::LoadError>(&parsed)) {
        info_string("cannot use router " + path + ": " + error->message);
        return;
    }
    router_ = std::get<std::shared_ptr<const router::RouterNet>>(parsed);
    router_moe_.reset();
    info_string("loaded router " + path + " (hidden " + std::to_string(router_->h1) + ")");
}

void Engine::set_syzygy_path(const std::string& path) {
    finish_search();
    std::shared_ptr<Syzygy> previous = std::dynamic_pointer_cast<Syzygy>(
        std::const_pointer_cast<Tablebase>(tablebase_));
    tablebase_.reset();
    apply_settings();
    if (path.empty() || path == "<empty>") {
        if (previous) previous->unload();
        return;
    }
    previous.reset();
    SyzygyLoad loaded = Syzygy::load(path);
    if (auto* error = std::get_if<SyzygyError>(&loaded)) {
        info_string(error->message);
        return;
    }
    auto tables = std::get<std::shared_ptr<Syzygy>>(loaded);
    info_string("loaded Syzygy tables up to " + std::to_string(tables->max_pieces()) + " pieces");
    tablebase_ = tables;
}

void Engine::set_eval_file(const std::string& path) {
    finish_search();
    if (path.empty() || path == "<internal>") {
        info_string("using the built-in network");
        network_ = nnue::default_net();
    } else {
        auto refuse = [&](const std::string& reason) {
            info_string("cannot use " + path + ": " + reason + "; keeping the current network");
        };
        auto file = read_file(path, [](std::uint64_t size) -> std::optional<std::string> {
            if (nnue::layout_for_length(size)) return std::nullopt;
            return nnue::length_error(size);
        });
        if (auto* error = std::get_if<std::string>(&file)) {
            refuse(*error);
            return;
        }
        nnue::NetworkResult parsed = nnue::Network::from_bytes(std::get<std::vector<std::uint8_t>>(file));
        if (auto* error = std::get_if<nnue::NetworkError>(&parsed)) {
            refuse(error->message);
            return;
        }
        info_string("loaded network " + path);
        network_ = std::get<std::shared_ptr<const nnue::Network>>(parsed);
    }
    if (auto* pool = std::get_if<std::unique_ptr<NnuePool>>(&*pool_)) {
        (*pool)->set_evaluator(nnue::NnueEval(network_));
    } else {
        info_string("the network is used only when UseNNUE is true");
    }
}

void Engine::apply_settings() {
    finish_search();
    if (!pool_) fatal("searcher available when idle");
    std::visit(
        [&](auto& pool) {
            pool->set_table(tt_);
            pool->set_mode(smp_mode_, abdada_);
            const std::size_t n = std::max<std::size_t>(threads_, 1);
            tt_->set_threads(n);
            pool->resize(n);
            const bool busy = n >= 2
                              && (smp_mode_ == smp::SmpMode::ABDADA
                                  || (smp_mode_ == smp::SmpMode::Lazy && abdada_));
            pool->set_busy(busy ? std::make_shared<smp::BusyMoves>() : nullptr);
            pool->set_ybwc(n >= 2 && smp_mode_ == smp::SmpMode::YBWC ? std::make_shared<smp::YbwcPool>()
                                                                     : nullptr);
            pool->set_tablebase(tablebase_);
            auto& main = pool->main();
            main.set_move_overhead(move_overhead_);
            main.set_multipv(static_cast<int>(multi_pv_));
            main.set_show_wdl(show_wdl_);
            main.set_search_mode(search_mode_, gumbel_temp_ / 100.0);
            if (policy_min_depth_ >= 1) main.set_policy(std::make_unique<DummyPolicy>(policy_min_depth_));
            else main.set_policy(std::make_unique<NoPolicy>());
            router_policy::RouterSettings settings;
            settings.plies = router_plies_;
            settings.reduce_scale = router_reduce_ / 10.0;
            settings.min_depth = router_min_depth_;
            settings.order_bonus = router_order_bonus_;
            settings.order = router_order_;
            settings.delta = router_delta_;
            settings.top_k = router_top_k_;
            if (router_moe_)
                main.set_policy(std::make_unique<router_policy::RouterMoePolicy>(router_moe_, settings));
            else if (router_)
                main.set_policy(std::make_unique<router_policy::RouterPolicy>(router_, settings));
        },
        *pool_);
}

void Engine::rebuild_pool() {
    finish_search();
    Pool pool;
    if (use_nnue_) {
        auto searcher = std::make_unique<Searcher<nnue::NnueEval>>(nnue::NnueEval(network_), tt_, stop_);
        pool = std::make_unique<NnuePool>(std::move(searcher));
    } else {
        pool = std::make_unique<PstPool>(std::make_unique<Searcher<PstEval>>(PstEval{}, tt_, stop_));
    }
    std::visit([](auto& p) { p->clear(); }, pool);
    pool_.reset();
    pool_ = std::move(pool);
    apply_settings();
}

}  // namespace orvane::uci
