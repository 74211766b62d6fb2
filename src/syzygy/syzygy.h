// Syzygy tablebases behind the core's Tablebase interface. The tables themselves are the
// prober's process-wide state (prober/tbprobe.h): `load` replaces it, `unload` empties it, and
// a Syzygy value only records how many pieces the loaded set covers. Loading, unloading and
// root probes hold FATHOM_LOCK; WDL probes run lock-free on any number of threads.
#pragma once

#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "tablebase.h"
#include "types.h"

namespace velmar {

// Guards the prober's global state: held for the whole of every load, unload and root probe.
extern std::mutex FATHOM_LOCK;

class Syzygy final : public Tablebase {
public:
    // Registers the tables in the directories of `path` (separated by ':' or ';'), replacing
    // whatever was loaded. Errors: "path contains a NUL byte", "Fathom could not initialise
    // tablebases at " + quoted path, "no Syzygy tables found in " + quoted path.
    static Result<Syzygy> load(std::string_view path);
    // Frees every table and mapping. No probe may run meanwhile.
    static void unload();

    uint32_t max_pieces() const override { return max_pieces_; }
    uint8_t probe_wdl(const Position& pos) const override;
    std::optional<std::vector<RootMove>> probe_root(const Position& pos) const override;

private:
    explicit Syzygy(uint32_t max_pieces) : max_pieces_(max_pieces) {}
    uint32_t max_pieces_;
};

// `text` as a double-quoted literal with backslashes, quotes and control characters escaped.
std::string quoted(std::string_view text);

}  // namespace velmar
