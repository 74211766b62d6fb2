// One search thread: Searcher<Eval> runs iterative deepening with aspiration windows over a
// fail-soft principal-variation alpha-beta search and a quiescence search, and hands every
// finished iteration to a callback. It owns its evaluator, histories, per-ply stacks and its
// copy of the position; it shares only the transposition table, the stop flag, the node
// counter and (read-only) an endgame tablebase, so a pool can run one Searcher per thread.
// The core never prints.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "eval.h"
#include "ordering.h"
#include "position.h"
#include "tablebase.h"
#include "tt.h"
#include "worksharing.h"

namespace velmar {

// How the main thread chooses its root move: iterative deepening over the whole root, or a
// mode that searches each root move on its own (voi.h).
enum class RootMode { AB, VOI, GUMBEL_SH };

// The longest time any clock value may stand for, about 35 years. Larger values are read as
// this one, so a deadline (a steady_clock time in nanoseconds) never overflows.
inline constexpr uint64_t MAX_CLOCK_MS = uint64_t(1) << 40;

// The signal that ends pondering. A `go ponder` search has no time budget until the front end
// calls hit() (the opponent played the expected move); from the time given there the search
// spends the clock of its limits as a normal search would. The front end writes once, the
// main search thread reads while it polls its limits: a single atomic, no lock.
class PonderHit {
public:
    void hit(std::chrono::steady_clock::time_point when) {
        ticks_.store(when.time_since_epoch().count(), std::memory_order_release);
    }
    // When hit() was called; nothing before.
    std::optional<std::chrono::steady_clock::time_point> time() const {
        const Ticks t = ticks_.load(std::memory_order_acquire);
        if (t == NOT_HIT) return std::nullopt;
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(t));
    }

private:
    using Ticks = std::chrono::steady_clock::rep;
    static constexpr Ticks NOT_HIT = std::numeric_limits<Ticks>::min();
    std::atomic<Ticks> ticks_{NOT_HIT};
};

// What a `go` asks for. Times are in milliseconds and already belong to the side to move.
struct SearchLimits {
    std::optional<uint64_t> nodes;
    std::optional<uint64_t> movetime;
    std::optional<uint64_t> time;
    std::vector<Move> searchmoves;  // empty: every legal move
    std::optional<int32_t> depth;
    std::optional<int32_t> movestogo;
    uint64_t inc = 0;
    bool infinite = false;  // no time budget at all, whatever else is given
    // When the clock started: the front end stamps the moment it read `go`, so the time spent
    // before the search runs counts against the budget. None: when search() begins.
    std::optional<std::chrono::steady_clock::time_point> start;
    // `go ponder`: the budget of the limits above counts from the hit, none before it. Null for
    // every other search.
    std::shared_ptr<const PonderHit> ponder;
};

// Soft limit: the iterative deepening starts no new iteration past (a fraction of) it.
// Hard limit: the search itself stops there. Clock values beyond MAX_CLOCK_MS count as that.
// On a clock at or near Move Overhead the hard limit keeps a reserve (see search.cpp), and it
// never falls as the time left grows.
struct TimeBudget {
    std::optional<uint64_t> soft_ms;
    std::optional<uint64_t> hard_ms;
};
TimeBudget time_budget(const SearchLimits& limits, uint64_t move_overhead_ms);

// The position occurred before with the same side to move, within the fifty-move window and
// not across a null move.
bool is_repetition(const Position& pos);

// start + ms, or the latest time the clock can express when that is beyond it.
std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point start,
                                                     uint64_t ms);

// One finished iteration (one line of it with MultiPV), as the front end prints it.
struct IterationInfo {
    bool has_wdl = false;
    std::array<uint32_t, 3> wdl{};  // win, draw, loss per mille, side to move at the root
    std::vector<Move> pv;
    int32_t depth = 0;
    uint64_t seldepth = 0;
    uint64_t multipv = 1;  // 1-based
    int32_t score = 0;     // mate-like beyond +-31871, see types.h
    uint64_t nodes = 0;
    uint64_t time = 0;  // ms since the search started
    uint64_t tbhits = 0;
    uint64_t hashfull = 0;  // per mille
};
using InfoSink = std::function<void(const IterationInfo&)>;

struct SearchResult {
    uint64_t nodes = 0;  // this thread's
    int32_t depth = 0;   // last completed iteration
    int32_t score = 0;
    Move best;  // NO_MOVE when the root has no legal move
    Move ponder;
    std::vector<Move> pv;   // starts with best and ponder; empty without a best move
    uint64_t seldepth = 0;  // of the last completed iteration
};

// One root move judged on its own (the goal lines of the front end).
struct GoalLine {
    int32_t score = 0;
    uint32_t win = 0, draw = 0, loss = 0;  // per mille
    Move move;
};

struct Wdl {
    uint32_t win = 0, draw = 0, loss = 0;
};

// One root move searched on its own (for root modes that treat moves as arms).
struct RootMoveSearch {
    bool stopped = false;
    std::vector<Move> pv;
    int32_t score = 0;
    uint64_t nodes = 0;
};

// The root moves to search: `current` narrowed to searchmoves (in current's order). An empty
// searchmoves, or one that names no move of current, keeps current.
std::vector<Move> restrict_root_moves(const std::vector<Move>& current,
                                      const std::vector<Move>& searchmoves);

// Late-move reduction table, LMR[min(depth, 63)][min(moves searched, 63)].
using LmrTable = std::array<std::array<int32_t, 64>, 64>;
LmrTable make_lmr_table();

template <typename Eval>
class Searcher {
public:
    Searcher(Eval eval, std::shared_ptr<TranspositionTable> table,
             std::shared_ptr<std::atomic<bool>> stop);
    ~Searcher();
    Searcher(const Searcher&) = delete;
    Searcher& operator=(const Searcher&) = delete;

    // Runs a whole search of `root` (its undo stack counts for repetitions).
    SearchResult search(const SearchLimits& limits, const Position& root, const InfoSink& report);

    // Forgets everything learnt: histories, killers, counter moves, corrections, stacks.
    // The table is shared and cleared by its owner.
    void clear();

    // After search(): every legal root move searched on its own within a node budget derived
    // from the finished search. Ignores the shared stop flag; leaves it in place afterwards.
    std::vector<GoalLine> goal_lines(const SearchResult& finished);

    // Searches one root move of the last search's root (its root, evaluator and tables).
    RootMoveSearch search_root_move(Move m, int depth, bool use_aspiration,
                                    int32_t previous_score);
    // W/D/L per mille for the root side, of the line `pv` from the last search's root.
    Wdl line_wdl(const std::vector<Move>& pv, int32_t score);
    // After search(): reports `played` (a result for the same root, possibly another thread's,
    // its nodes counting every thread) as an iteration line, on this searcher's clock.
    void report_result(const SearchResult& played, const InfoSink& report);

    void set_multipv(int lines) { multipv_ = lines; }
    void set_show_wdl(bool on) { show_wdl_ = on; }
    // Used only by the main thread (index 0), with at least two root moves and one line.
    void set_search_mode(RootMode mode) { root_mode_ = mode; }
    // The GumbelTemp option as given (0 = no noise); the noise is scaled by temp / 100.
    void set_gumbel_temp(double temp) { gumbel_temp_ = temp; }
    void set_move_overhead_ms(uint64_t ms) { move_overhead_ms_ = ms; }
    void set_policy(std::unique_ptr<MovePolicy> policy);
    void set_table(std::shared_ptr<TranspositionTable> table) { table_ = std::move(table); }
    void set_stop(std::shared_ptr<std::atomic<bool>> stop) { stop_ = std::move(stop); }
    // The pool's own stop for helpers; null when there is none.
    void set_helper_stop(std::shared_ptr<std::atomic<bool>> stop) {
        helper_stop_ = std::move(stop);
    }
    void set_shared_nodes(std::shared_ptr<std::atomic<uint64_t>> nodes) {
        shared_nodes_ = std::move(nodes);
    }
    void set_thread_index(int index) { thread_index_ = index; }
    void set_evaluator(Eval eval) { eval_ = std::move(eval); }
    // Null: no tablebase. Read-only and shared by every thread; replaced only between searches.
    void set_tablebase(std::shared_ptr<const Tablebase> tablebase) {
        tablebase_ = std::move(tablebase);
    }
    void set_tb_use(const TbUse& use) { tb_use_ = use; }

    // Shared with the other threads in ABDADA mode; null otherwise (the usual case).
    void set_busy_moves(std::shared_ptr<BusyMoves> busy) { busy_moves_ = std::move(busy); }
    // Shared by every thread in YBWC mode; null otherwise (the usual case).
    void set_ybwc_pool(std::shared_ptr<YbwcPool> pool) { ybwc_ = std::move(pool); }
    // A helper's whole share of a YBWC search: moves of published splits until the pool is
    // no longer active or a stop flag is raised.
    void help_splits(YbwcPool& pool);

    uint64_t nodes() const { return nodes_; }
    int thread_index() const { return thread_index_; }
    const MovePolicy& policy() const { return *policy_; }
    Eval& evaluator() { return eval_; }
    const std::shared_ptr<TranspositionTable>& table() const { return table_; }

private:
    struct Tables;      // big per-thread tables, on the heap
    class ArmDriver;    // the root modes' view of this searcher

    int32_t negamax(int depth, int32_t alpha, int32_t beta, int ply, bool after_null,
                    bool cut_node);
    int32_t qsearch(int32_t alpha, int32_t beta, int ply);
    bool try_probcut(int depth, int32_t probcut_beta, int32_t static_eval, int32_t raw_eval,
                     int ply, bool cut_node, bool pv, int32_t& score);
    int32_t corrected_eval(int32_t raw, int ply) const;
    void update_correction(int32_t diff, int depth, int ply);

    int32_t aspiration(int depth, int32_t previous_score);
    void report_line(int depth, int32_t score, uint64_t multipv, const InfoSink& report);
    // Time, tbhits, hashfull and W/D/L of a line whose pv and score are already in.
    void finish_info(IterationInfo& info);
    void count_node();
    uint64_t elapsed_ms() const;
    // Since the time budget started: the search's start, or the ponder hit.
    uint64_t budget_elapsed_ms() const;
    void apply_budget(const TimeBudget& budget, std::chrono::steady_clock::time_point from);
    // While pondering: once the hit has come, the waiting budget applies from its time.
    void check_ponder_hit();
    // The WDL as this search counts it (TbUse::fifty_move_rule).
    uint8_t counted_wdl(uint8_t wdl) const;
    void flush_nodes();
    bool root_allows(Move m) const;
    void record_move(int ply, Move m);
    // The PV at ply becomes m followed by the PV one ply deeper.
    void extend_pv(int ply, Move m);
    // Takes moves of split until none is left or one of them reaches beta. The owner works in
    // place; a helper first takes the split's position.
    void help_ybwc_split(YbwcSplit& split, bool owner);
    bool limits_reached();
    // limits_reached, or the split being worked on has been abandoned.
    bool must_stop();

    Eval eval_;
    std::shared_ptr<TranspositionTable> table_;
    std::shared_ptr<std::atomic<bool>> stop_;
    std::shared_ptr<std::atomic<bool>> helper_stop_;
    std::shared_ptr<std::atomic<uint64_t>> shared_nodes_;
    std::shared_ptr<const Tablebase> tablebase_;
    TbUse tb_use_;
    std::shared_ptr<BusyMoves> busy_moves_;
    std::shared_ptr<YbwcPool> ybwc_;
    // The split being worked on (its stop and its parents' are polled with the others), or null.
    const YbwcSplit* split_ = nullptr;
    std::unique_ptr<MovePolicy> policy_;
    int32_t policy_min_depth_ = INT32_MAX;
    std::unique_ptr<Tables> t_;

    int thread_index_ = 0;
    int multipv_ = 1;
    bool show_wdl_ = false;
    RootMode root_mode_ = RootMode::AB;
    double gumbel_temp_ = 0.0;
    uint64_t move_overhead_ms_ = 10;

    // Per search.
    Position pos_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point budget_start_;
    // Set while a `go ponder` search waits for its hit; the budget it will then apply.
    std::shared_ptr<const PonderHit> ponder_;
    TimeBudget ponder_budget_;
    std::optional<uint64_t> node_limit_;
    std::optional<std::chrono::steady_clock::time_point> hard_deadline_;
    std::optional<uint64_t> soft_ms_;
    // The limits are looked at when nodes_ & poll_mask_ is 0: every 2048 nodes, more often
    // when the hard limit is a few milliseconds away.
    uint64_t poll_mask_ = 2047;
    uint64_t nodes_ = 0;
    uint64_t flushed_nodes_ = 0;
    int seldepth_ = 0;
    int root_depth_ = 0;
    uint64_t tbhits_ = 0;
    bool stopped_ = false;
    std::vector<Move> root_moves_;
    bool root_list_active_ = false;  // the root list is narrower than the legal moves
    std::vector<Move> root_excluded_;
    // The root's tablebase verdicts as counted (counted_wdl; empty when the root was not
    // probed), for line_wdl and the scores of the root's children.
    std::vector<RootMove> tb_root_moves_;
    // The same verdicts by the key of the position after each move, for the side to move
    // there.
    std::vector<std::pair<uint64_t, uint8_t>> tb_root_children_;
};

}  // namespace velmar
