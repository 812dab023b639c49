#include "uci/tuning_options.h"

#include "core/search/searcher.h"
#include "core/search/tune.h"
#include "uci/engine.h"
#include "uci/output.h"

namespace orvane::uci {

std::string spsa_lines() {
    std::string out;
    for (const tune::Param* p : tune::ALL) out += tune::openbench_line(*p, tune::value(*p)) + "\n";
    return out;
}

#ifdef ORVANE_TUNING

std::string tuning_option_lines() {
    std::string out;
    for (const tune::Param* p : tune::ALL) out += tune::option_line(*p, p->value) + "\n";
    return out;
}

bool set_tuning_option(Engine& engine, std::string_view name, std::string_view value) {
    const tune::Param* p = tune::find(name);
    if (!p) return false;
    engine.finish_search();
    if (const std::optional<int> v = tune::parse_value(*p, value)) {
        tune::set(*p, *v);
        rebuild_lmr_table();
    }
    return true;
}

bool tuning_command(std::string_view cmd) {
    if (cmd != "spsa") return false;
    write_raw(spsa_lines());
    return true;
}

#else

std::string tuning_option_lines() { return {}; }
bool set_tuning_option(Engine&, std::string_view, std::string_view) { return false; }
bool tuning_command(std::string_view) { return false; }

#endif

}  // namespace orvane::uci
