// Parallel search: the ThreadPool owns the main Searcher and one long-lived helper thread per
// extra search thread. Each helper owns its own Searcher (evaluator, histories, stacks) and runs
// one WorkerCmd at a time from a one-slot mailbox. Lazy SMP: every helper searches the same
// root without limits until the main search ends, then a vote picks the reported move.
// Threads share only the table, the stop flags and the node counter, all behind shared pointers,
// plus the ABDADA busy-move table or the YBWC split pool in those modes (worksharing.h).
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "nnue.h"
#include "position.h"
#include "search.h"
#include "tt.h"
#include "worksharing.h"

namespace velmar {

class Tablebase;

enum class SmpMode : uint8_t { LAZY, YBWC, ABDADA };

// Surrounding white space and ASCII case are ignored: "lazy" or "lazysmp", "ybwc", "abdada".
std::optional<SmpMode> parse_smp_mode(std::string_view text);
const char* display_name(SmpMode mode);  // "Lazy", "YBWC", "ABDADA"

// The result to report among the main thread's and the helpers' (helper order). Helpers
// without a move or a completed iteration do not take part. A winning mate score beats
// everything (the highest, later ones winning ties); otherwise every thread votes for its move
// with depth x (score - lowest score + 10), and the move with the most votes wins, then the
// deeper thread, then the earlier one (the main thread first).
SearchResult pick_best_thread(const SearchResult& main, const std::vector<SearchResult>& helpers);

// Whether the line of `played` must be printed once more before its bestmove: it has a move,
// and its PV is not the last first-line PV printed (empty: none), which happens when the vote
// picks a helper. GUIs check that the bestmove and ponder move start the last PV shown.
bool needs_played_line(const std::vector<Move>& last_pv, const SearchResult& played);

// What a helper can be told to do. The helper acknowledges every command (wait() returns),
// so the pool knows when a replaced table or evaluator is no longer in use.
namespace worker {
// A full search of root restricted to root_moves, no limits and no output, until the pool's
// helper stop (or the engine's stop) is raised.
struct Search {
    Position root;
    std::vector<Move> root_moves;
    std::optional<std::chrono::steady_clock::time_point> start;  // the main search's clock
};
// YBWC: help at the splits of pool until it is no longer active.
struct HelpSplits {
    std::shared_ptr<YbwcPool> pool;
};
struct SetTable {
    std::shared_ptr<TranspositionTable> table;
};
struct SetTablebase {
    std::shared_ptr<const Tablebase> tablebase;  // null: none
    TbUse use;
};
struct SetBusyMoves {
    std::shared_ptr<BusyMoves> busy;  // null: ABDADA off
};
struct SetYbwcPool {
    std::shared_ptr<YbwcPool> pool;  // null: YBWC off
};
template <typename Eval>
struct SetEvaluator {
    Eval eval;
};
struct Clear {};  // histories, corrections, killers, counter moves, stacks
struct Quit {};
}  // namespace worker

template <typename Eval>
using WorkerCmd = std::variant<worker::Search, worker::HelpSplits, worker::SetTable,
                               worker::SetTablebase, worker::SetBusyMoves, worker::SetYbwcPool,
                               worker::SetEvaluator<Eval>, worker::Clear, worker::Quit>;

// The mailbox of one helper. Every field is guarded by `mutex`; the pool and the helper never
// hold another lock while holding it. One condition variable serves both directions: at most
// the helper waits for a command or the pool waits for the end of one, never both at once.
template <typename Eval>
struct WorkerShared {
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<WorkerCmd<Eval>> pending;
    std::optional<SearchResult> result;  // after Search
    bool busy = false;                   // from dispatch until the command is finished
    bool poisoned = false;               // the helper died: every later lock ends the process
};

template <typename Eval>
class HelperWorker {
public:
    // Starts the thread "helper-<number>", which owns searcher until Quit. Ends the process
    // with "spawn helper thread" when no thread can be started.
    static std::unique_ptr<HelperWorker> spawn(int number, std::unique_ptr<Searcher<Eval>> searcher,
                                               std::shared_ptr<const Tablebase> tablebase,
                                               const TbUse& tb_use = {});
    // Quit, then join.
    ~HelperWorker();
    HelperWorker(const HelperWorker&) = delete;
    HelperWorker& operator=(const HelperWorker&) = delete;

    // Replaces any command still pending; never waits for the helper's work.
    void dispatch(WorkerCmd<Eval> cmd);
    // Blocks until the last command is finished; the result of a Search, else nothing.
    std::optional<SearchResult> wait();

private:
    HelperWorker() = default;
    void post(WorkerCmd<Eval> cmd, bool check_poison);

    std::shared_ptr<WorkerShared<Eval>> shared_;
    pthread_t thread_{};
};

// The two results of one pool search.
struct PoolResult {
    SearchResult reported;  // what bestmove prints; nodes = every thread's
    SearchResult main;      // the main thread's own search, which goal lines continue from
};

template <typename Eval>
class ThreadPool {
public:
    // The main searcher alone (thread index 0), bound to table and stop; no helpers yet.
    ThreadPool(Eval eval, std::shared_ptr<TranspositionTable> table,
               std::shared_ptr<std::atomic<bool>> stop);
    ThreadPool(ThreadPool&&) noexcept = default;
    ThreadPool& operator=(ThreadPool&&) noexcept = default;
    ~ThreadPool();

    Searcher<Eval>& main() { return *main_; }
    size_t helper_count() const { return helpers_.size(); }
    SmpMode mode() const { return mode_; }
    bool abdada() const { return abdada_; }

    // Every setter below runs only while no search runs. Those that reach the helpers wait for
    // each helper in turn, so the next search starts with every thread up to date.
    void set_table(std::shared_ptr<TranspositionTable> table);
    // The tables (null: none) and how every thread uses them.
    void set_tablebase(std::shared_ptr<const Tablebase> tablebase, const TbUse& use = {});
    void set_mode(SmpMode mode, bool abdada);
    // The ABDADA table (null: none) for the main thread and every helper.
    void set_busy_moves(std::shared_ptr<BusyMoves> busy);
    // The YBWC split pool (null: none) for the main thread and every helper.
    void set_ybwc_pool(std::shared_ptr<YbwcPool> pool);
    void set_multipv(int lines);
    // Grows (new helpers copy the main evaluator) or shrinks (dropped helpers quit) the list.
    void set_helper_count(size_t count);
    // The table, then the main thread's learning tables, then each helper's.
    void clear();
    // A fresh evaluator for the network in every thread. A member template, so that the
    // explicit instantiation of the other pool has no body to instantiate (clang 14, which
    // the fuzzers are built with, instantiates constrained members whose constraints fail).
    template <typename E = Eval>
        requires std::is_same_v<E, NnueEval>
    void set_network(std::shared_ptr<const Network> network);

    // One search of root: helpers (if any) search the same root moves while the main thread
    // searches with the real limits and reports through report. The last first-line PV
    // reported always starts with the reported move and its ponder move.
    PoolResult search(const SearchLimits& limits, const Position& root, const InfoSink& report);

private:
    PoolResult search_threads(const SearchLimits& limits, const Position& root,
                              const InfoSink& report);

    std::unique_ptr<Searcher<Eval>> main_;
    std::vector<std::unique_ptr<HelperWorker<Eval>>> helpers_;  // helper 1 first
    std::shared_ptr<TranspositionTable> table_;
    std::shared_ptr<std::atomic<bool>> stop_;
    // Raised when the main search ends; only helpers read it.
    std::shared_ptr<std::atomic<bool>> helper_stop_;
    // Every thread adds its nodes every few thousand nodes; reset by search() only.
    std::shared_ptr<std::atomic<uint64_t>> nodes_;
    std::shared_ptr<const Tablebase> tablebase_;
    TbUse tb_use_;
    std::shared_ptr<YbwcPool> ybwc_;
    SmpMode mode_ = SmpMode::LAZY;
    bool abdada_ = false;
    int multipv_ = 1;
};

}  // namespace velmar
