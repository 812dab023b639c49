// Syzygy tablebases through the Fathom probing library. Fathom keeps one set of tables in
// global state and is not re-entrant, so every call into it holds one process-wide lock, and
// only the most recently loaded Syzygy object may probe: an object that was unloaded, or
// replaced by a later load, answers none from then on instead of reading tables it no longer
// owns (after a release Fathom crashes on any probe).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/tablebase/tablebase.h"

namespace orvane {

struct SyzygyError {
    std::string message;
};

class Syzygy;
using SyzygyLoad = std::variant<std::shared_ptr<Syzygy>, SyzygyError>;

class Syzygy final : public Tablebase {
public:
    // Loads every table under path (several directories separated by ':', by ';' on Windows,
    // as Fathom splits them). A failed load leaves the previously loaded object working.
    static SyzygyLoad load(std::string_view path);

    Syzygy(const Syzygy&) = delete;
    Syzygy& operator=(const Syzygy&) = delete;
    // Releases the tables if this object still holds them.
    ~Syzygy() override;

    // Releases the tables; every later probe through this object answers none.
    void unload();

    std::uint32_t max_pieces() const override;
    std::optional<Wdl> probe_wdl(const Position& pos) const override;
    std::optional<std::vector<RootMove>> probe_root(const Position& pos) const override;

private:
    Syzygy() = default;
    bool is_loaded() const;
    static void restore_after_failed_load();

    std::uint32_t max_pieces_ = 0;
    std::string path_;  // kept to restore the tables after a failed load of another path
};

namespace syzygy {

// The text between double quotes with backslash, double quote, tab, CR, LF and NUL escaped,
// other control characters as \u{..} and bytes that are not UTF-8 as \x..; as error
// messages show paths.
std::string debug_quoted(std::string_view text);

}  // namespace syzygy
}  // namespace orvane
