// The UCI engine state that survives between commands: the position, the option values, the
// shared table and network, and the pool of searchers, which a running search borrows. Only
// the main thread calls handle(); output goes through an Output so tests can run sessions.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "eval.h"
#include "nnue.h"
#include "output.h"
#include "position.h"
#include "router.h"
#include "router_moe.h"
#include "search.h"
#include "smp.h"
#include "strength.h"
#include "tt.h"
#include "voi.h"

namespace velmar::uci {

inline constexpr const char* VERSION = "Velmar 0.1.0";

// The root search scheme. Parsing lives here until the root modes arrive in the core.
enum class SearchMode { AB, VOI, GUMBEL_SH };

// Trimmed, ASCII case ignored: "ab", "alphabeta", "alpha-beta"; "voi"; "gumbel", "gumbelsh",
// "gumbel-sh", "mcts".
std::optional<SearchMode> parse_search_mode(std::string_view text);
const char* display_name(SearchMode mode);
RootMode root_mode(SearchMode mode);

// A parsed `go`: the limits for the side to move, or a perft request instead of a search.
// Times are read up to MAX_CLOCK_MS, larger numbers as that; "mate" is not a limit and is
// ignored.
struct GoCommand {
    SearchLimits limits;
    std::optional<uint32_t> perft_depth;
    bool ponder = false;  // "go ponder": the limits wait for ponderhit
};
GoCommand parse_go(const std::vector<std::string>& args, const Position& pos);

// Whether a search with these limits ends without `stop`: not infinite, and bounded by a
// fixed time, the side's clock, a depth or a node count.
bool ends_without_stop(const SearchLimits& limits);

// The searchers of one evaluator kind: the main searcher and its helper threads.
using Pool = std::variant<ThreadPool<PstEval>, ThreadPool<NnueEval>>;

// Option values that do not live in the table, the network or the pool itself.
struct Settings {
    uint64_t threads = 1;
    uint64_t move_overhead_ms = 10;
    uint64_t router_plies = 2;
    uint64_t router_top_k = 0;
    uint64_t multipv = 1;
    int32_t policy_min_depth = 0;
    int32_t router_reduce = 6;
    int32_t router_min_depth = 2;
    int32_t router_order_bonus = 0;
    uint32_t gumbel_temp = 0;
    SmpMode smp_mode = SmpMode::LAZY;
    SearchMode search_mode = SearchMode::AB;
    bool router_order = false;
    bool router_delta = true;
    bool use_nnue = true;
    bool show_wdl = false;
    bool abdada = false;
    bool goal_moves = false;
    // Only told to the engine: a `go ponder` is served whatever the option says.
    bool ponder = false;
    TbUse tb_use;
    bool chess960 = false;  // how the next position command reads FEN and moves
    bool limit_strength = false;
    int32_t elo = 1500;  // used only with limit_strength
    std::string syzygy_path;
    std::string router_file;
};

class Engine {
public:
    explicit Engine(Output& out);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Executes one trimmed input line; false only for "quit". `received` is when the line was
    // read: a `go` counts its time from then.
    bool handle(const std::string& line, std::chrono::steady_clock::time_point received);
    bool handle(const std::string& line) { return handle(line, std::chrono::steady_clock::now()); }
    // End of input: nobody is left to send stop, so a search that would not end on its own
    // (ends_without_stop) is stopped; a bounded one is joined as it runs and prints its move.
    void end_of_input();

    const Position& position() const { return position_; }
    const Settings& settings() const { return settings_; }
    uint64_t hash_mb() const { return hash_mb_; }
    bool searching() const { return searching_; }
    // A `go ponder` search is running and has not had its ponderhit.
    bool pondering() const { return ponder_ != nullptr; }
    // Helper threads of the pool (Threads - 1 once settings are applied); 0 while searching.
    size_t helper_count() const;
    bool uses_nnue_pool() const;

private:
    struct SearchThread;

    void cmd_uci();
    void cmd_position(const std::vector<std::string>& args);
    void cmd_go(const std::vector<std::string>& args,
                std::chrono::steady_clock::time_point received);
    void cmd_ponderhit(std::chrono::steady_clock::time_point received);
    void cmd_eval();
    void set_option(const std::vector<std::string>& args);
    void set_hash(uint64_t mb);
    void set_router_file(const std::string& value);
    void set_syzygy_path(const std::string& value);
    void set_eval_file(const std::string& value);
    void perft(uint32_t depth);

    void finish_search();  // stop a running search (if any), join it, take the pool back
    void join_search();    // join without stopping
    Pool& idle_pool();     // finish_search, then the pool, which must be back by then
    void apply_settings();
    void rebuild_pool();
    void clear_pool();
    // MultiPV as the option says, or more when the strength limit chooses among more lines.
    int searched_lines() const;

    Output& out_;
    std::optional<Pool> pool_;
    Position position_;
    Settings settings_;
    uint64_t hash_mb_ = 16;
    std::shared_ptr<TranspositionTable> tt_;
    std::shared_ptr<const Network> network_;
    // Installed by SyzygyPath once tables can be loaded; none until then.
    std::shared_ptr<const Tablebase> tablebase_;
    std::shared_ptr<const RouterNet> router_net_;  // at most one of the two routers is set
    std::shared_ptr<const RouterMoeNet> router_moe_net_;
    std::shared_ptr<std::atomic<bool>> stop_;
    // One thread runs every search; it lives as long as the engine.
    std::unique_ptr<SearchThread> search_thread_;
    bool searching_ = false;          // a go was handed over and not yet joined
    bool search_ends_alone_ = false;  // ends_without_stop of that go; false while pondering
    // The hit of the `go ponder` search running now; null when no search waits for one.
    std::shared_ptr<PonderHit> ponder_;
    bool ponder_ends_alone_ = false;  // ends_without_stop of that go, which holds after the hit
    SplitMix64 strength_rng_;  // the draws of UCI_LimitStrength, seeded from the clock
};

// The command-line and UCI "bench": searches the fixed positions, prints the summary lines.
void run_bench(const std::vector<std::string>& args, Output& out);

}  // namespace velmar::uci
