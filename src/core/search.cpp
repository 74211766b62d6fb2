#include "search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "movegen.h"
#include "nnue.h"
#include "see.h"
#include "tune.h"
#include "voi.h"

namespace velmar {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t EVAL_STACK_NONE = -1'073'741'824;
constexpr int CORRECTION_SIZE = 16384;
constexpr int MAX_SEARCH_DEPTH = 127;
// Beyond this ply a node returns its static evaluation: keeps every per-ply index in range.
constexpr int PLY_LIMIT = 126;
// Stop conditions are read, and nodes published, once per this many nodes.
constexpr uint64_t POLL_MASK = 2047;
// Under this hard limit a 2048-node poll (a millisecond or two) would be much of the budget.
constexpr uint64_t TIGHT_LIMIT_MS = 100;
constexpr uint64_t TIGHT_POLL_MASK = 127;
constexpr int MAX_QUIETS_REMEMBERED = 64;
constexpr int MAX_NOISY_REMEMBERED = 32;
// ABDADA: at most this many busy moves per node are put off; later ones are searched at once.
constexpr int MAX_DEFERRED = 32;
// Best-move stability scale of the soft time limit, by iterations the move has held (max 4).
constexpr double STABILITY_SCALE[5] = {2.0, 1.4, 1.1, 0.9, 0.8};

int32_t clamp32(int64_t v, int64_t lo, int64_t hi) { return int32_t(std::clamp(v, lo, hi)); }


// No pawns, rooks or queens and at most one minor piece: nobody can mate.
bool insufficient_material(const Position& pos) {
    if (pos.by_type(PAWN) | pos.by_type(ROOK) | pos.by_type(QUEEN)) return false;
    return !more_than_one(pos.by_type(KNIGHT) | pos.by_type(BISHOP));
}

bool has_non_pawn_material(const Position& pos, Color c) {
    return (pos.by_color(c) & ~(pos.by_type(PAWN) | pos.by_type(KING))) != 0;
}

int game_phase(const Position& pos) {
    return popcount(pos.by_type(KNIGHT) | pos.by_type(BISHOP)) + 2 * popcount(pos.by_type(ROOK))
           + 4 * popcount(pos.by_type(QUEEN));
}

int32_t victim_value(const Position& pos, Move m) {
    if (m.is_en_passant()) return ORDER_VALUE[PAWN];
    if (m.is_capture()) return ORDER_VALUE[type_of(pos.piece_on(m.to()))];
    return 0;
}

bool is_under_promotion(Move m) { return m.is_promotion() && m.promoted() != QUEEN; }

int threat_index(Bitboard threats, Move m) {
    return 2 * int((threats >> m.from()) & 1) + int((threats >> m.to()) & 1);
}

// Aspiration bounds saturate to the "no score" sentinels rather than leave the scale.
int32_t lower_bound_of(int64_t v) { return v < -SCORE_MATE ? SCORE_NONE : int32_t(v); }
int32_t upper_bound_of(int64_t v) { return v > SCORE_MATE ? SCORE_INFINITE : int32_t(v); }

// Thread i > 0 skips some depths so that helpers spread over several iterations at once.
bool helper_skips(int index, int depth, int max_depth) {
    if (index == 0 || depth == 1 || depth == max_depth) return false;
    if (index % 2 == 0) return (depth + index) % 3 == 0;
    return depth % 2 == 0;
}

struct PlyState {
    int32_t static_eval = EVAL_STACK_NONE;
    Move excluded;
    // The move made from this ply, for the evaluation feedback of the child.
    Move last_move;
    bool last_quiet = false;
    uint8_t last_threat = 0;
};

}  // namespace

bool is_repetition(const Position& pos) {
    const auto& states = pos.states();
    // Positions before the last null move belong to a line no game can reach, so the scan
    // ends there.
    const int n = int(std::min<size_t>(std::min(pos.halfmove_clock(), pos.plies_since_null()),
                                       states.size()));
    const uint64_t key = pos.key();
    for (int k = 4; k <= n; k += 2)
        if (states[states.size() - k].key == key) return true;
    return false;
}

TimeBudget time_budget(const SearchLimits& limits, uint64_t move_overhead_ms) {
    // Every value is capped first, so none of the sums and products below can overflow.
    const uint64_t overhead = std::min(move_overhead_ms, MAX_CLOCK_MS);
    TimeBudget budget;
    if (limits.movetime) {
        const uint64_t t = std::min(*limits.movetime, MAX_CLOCK_MS);
        budget.hard_ms = std::max<uint64_t>(t > overhead ? t - overhead : 0, 1);
        return budget;
    }
    if (!limits.time) return budget;
    const uint64_t t = std::min(*limits.time, MAX_CLOCK_MS);
    const uint64_t inc = std::min(limits.inc, MAX_CLOCK_MS);
    const int64_t to_go = limits.movestogo ? *limits.movestogo : 20;
    const uint64_t divisor = to_go <= 0 ? 1 : uint64_t(std::min<int64_t>(to_go, 60));
    // Every move costs about Move Overhead of clock beyond the thinking, and an increment
    // below that does not pay it back. Sudden death then needs the difference kept in hand
    // for the moves ahead (up to 20), or a long game ends with a clock that no search, however
    // short, can beat. Of the reserve a move may take a hundredth, which still buys a few
    // plies; a limit of 0 means the first iteration only.
    const uint64_t shortfall = overhead > inc ? overhead - inc : 0;
    const uint64_t keep = overhead + shortfall * std::min<uint64_t>(divisor, 20);
    const uint64_t above_overhead = t > overhead ? t - overhead : 0;
    const uint64_t trickle = std::min(above_overhead, keep - overhead) / 100;
    // Beyond the reserve, the hard limit takes at most 7/10 of the time.
    const uint64_t remaining = t > keep ? t - keep : 0;
    uint64_t soft = std::min(remaining / divisor + inc * 3 / 4, remaining / 2);
    uint64_t hard = std::max(std::min(remaining * 7 / 10, 4 * soft), soft);
    soft += trickle;
    hard += trickle;
    budget.soft_ms = soft;
    budget.hard_ms = hard;
    return budget;
}

Clock::time_point deadline_after(Clock::time_point start, uint64_t ms) {
    const auto span = std::chrono::milliseconds(std::min(ms, MAX_CLOCK_MS));
    if (start > Clock::time_point::max() - span) return Clock::time_point::max();
    return start + span;
}

std::vector<Move> restrict_root_moves(const std::vector<Move>& current,
                                      const std::vector<Move>& searchmoves) {
    if (searchmoves.empty()) return current;
    if (current.empty()) return searchmoves;
    std::vector<Move> out;
    for (Move m : current)
        if (std::find(searchmoves.begin(), searchmoves.end(), m) != searchmoves.end())
            out.push_back(m);
    return out.empty() ? current : out;
}

LmrTable make_lmr_table() {
    LmrTable t{};
    for (int d = 1; d < 64; ++d)
        for (int m = 1; m < 64; ++m)
            t[d][m] = int32_t(0.5
                              + std::log(double(d)) * std::log(double(m)) / margin::LMR_DIVISOR);
    return t;
}

template <typename Eval>
struct Searcher<Eval>::Tables {
    Histories hist;
    // Correction tables in 1/256 units, keyed by side to move and a position feature.
    int16_t pawn_corr[2][CORRECTION_SIZE];
    int16_t non_pawn_corr[2][2][CORRECTION_SIZE];
    int16_t minor_corr[2][CORRECTION_SIZE];
    int16_t cont_corr1[2][6][64];
    int16_t cont_corr2[2][6][64];
    PlyState ply[MAX_PLY + 2];
    // Triangular PV: row p holds the line from ply p at indices p .. pv_len[p] - 1.
    Move pv[MAX_PLY + 1][MAX_PLY + 1];
    int pv_len[MAX_PLY + 1];
    uint64_t root_nodes[64][64];  // nodes per root move (from, to) in this iteration
    LmrTable lmr;

    void clear() {
        hist.clear();
        std::memset(pawn_corr, 0, sizeof(pawn_corr));
        std::memset(non_pawn_corr, 0, sizeof(non_pawn_corr));
        std::memset(minor_corr, 0, sizeof(minor_corr));
        std::memset(cont_corr1, 0, sizeof(cont_corr1));
        std::memset(cont_corr2, 0, sizeof(cont_corr2));
        for (PlyState& p : ply) p = PlyState{};
        for (auto& row : pv)
            for (Move& m : row) m = NO_MOVE;
        for (int& len : pv_len) len = 0;
        std::memset(root_nodes, 0, sizeof(root_nodes));
    }
};

template <typename Eval>
Searcher<Eval>::Searcher(Eval eval, std::shared_ptr<TranspositionTable> table,
                         std::shared_ptr<std::atomic<bool>> stop)
    : eval_(std::move(eval)),
      table_(std::move(table)),
      stop_(stop ? std::move(stop) : std::make_shared<std::atomic<bool>>(false)),
      shared_nodes_(std::make_shared<std::atomic<uint64_t>>(0)),
      policy_(std::make_unique<NoPolicy>()),
      t_(std::make_unique<Tables>()),
      pos_(Position::startpos()) {
    t_->clear();
    t_->lmr = make_lmr_table();
}

template <typename Eval>
Searcher<Eval>::~Searcher() = default;

template <typename Eval>
void Searcher<Eval>::set_policy(std::unique_ptr<MovePolicy> policy) {
    policy_ = policy ? std::move(policy) : std::make_unique<NoPolicy>();
    policy_min_depth_ = policy_->min_depth();
}

template <typename Eval>
void Searcher<Eval>::clear() {
    t_->clear();
}

template <typename Eval>
uint64_t Searcher<Eval>::elapsed_ms() const {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
}

template <typename Eval>
uint64_t Searcher<Eval>::budget_elapsed_ms() const {
    return uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - budget_start_)
            .count());
}

template <typename Eval>
void Searcher<Eval>::apply_budget(const TimeBudget& budget, Clock::time_point from) {
    budget_start_ = from;
    soft_ms_ = budget.soft_ms;
    if (budget.hard_ms) hard_deadline_ = deadline_after(from, *budget.hard_ms);
    if (budget.hard_ms && *budget.hard_ms < TIGHT_LIMIT_MS)
        poll_mask_ = std::min(poll_mask_, TIGHT_POLL_MASK);
}

template <typename Eval>
void Searcher<Eval>::check_ponder_hit() {
    if (const std::optional<Clock::time_point> hit = ponder_->time()) {
        apply_budget(ponder_budget_, *hit);
        ponder_.reset();
    }
}

template <typename Eval>
uint8_t Searcher<Eval>::counted_wdl(uint8_t wdl) const {
    return tb_use_.fifty_move_rule ? wdl : ignoring_fifty_move_rule(wdl);
}

template <typename Eval>
void Searcher<Eval>::flush_nodes() {
    shared_nodes_->fetch_add(nodes_ - flushed_nodes_, std::memory_order_relaxed);
    flushed_nodes_ = nodes_;
}

template <typename Eval>
void Searcher<Eval>::count_node() {
    if ((++nodes_ & poll_mask_) != 0) return;
    flush_nodes();
    // Depth 1 always completes, so there is always a move to play.
    if (root_depth_ < 2) return;
    if (must_stop()) stopped_ = true;
}

template <typename Eval>
bool Searcher<Eval>::limits_reached() {
    // Relaxed loads suffice: the flags only go from false to true, and a late sighting costs
    // one more poll. The ponder hit is read at the same polls, so it starts the clock at most
    // one poll late.
    if (ponder_) check_ponder_hit();
    return stop_->load(std::memory_order_relaxed)
           || (helper_stop_ && helper_stop_->load(std::memory_order_relaxed))
           || (node_limit_ && nodes_ >= *node_limit_)
           || (hard_deadline_ && Clock::now() >= *hard_deadline_);
}

template <typename Eval>
bool Searcher<Eval>::must_stop() {
    return limits_reached() || (split_ && split_->abandoned());
}

template <typename Eval>
void Searcher<Eval>::help_ybwc_split(YbwcSplit& split, bool owner) {
    Tables& t = *t_;
    Histories& h = t.hist;
    const YbwcSplit* const previous_split = split_;
    split_ = &split;
    if (!owner) {
        pos_ = split.pos;
        eval_.reset(pos_);
        root_depth_ = split.root_depth;
    }
    const int ply = split.ply, depth = split.depth;
    const int32_t beta = split.beta;
    const HistoryContext ctx = h.context(pos_.side_to_move(), pawn_threats(pos_), ply);
    const int moves = int(split.moves.size());
    while (!split.abandoned() && !stopped_) {
        const int i = split.next.fetch_add(1);
        if (i >= moves) break;
        const Move m = split.moves[size_t(i)];
        const int32_t g = split.scores[size_t(i)];
        const bool quiet = !m.is_noisy();
        int32_t hist = 0;
        if (quiet) hist = g >= order::COUNTER ? h.quiet_history(ctx, pos_.piece_on(m.from()), m) : g;
        const bool check = pos_.gives_check(m);

        record_move(ply, m);
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        table_->prefetch(pos_.key());
        const int32_t alpha = split.alpha.load();

        int r = 0;
        if (depth >= 2 && i >= (split.pv ? 1 : 0) && !check && !split.in_check) {
            const int32_t lmr = t.lmr[std::min(depth, 63)][std::min(i + 1, 63)];
            if (quiet)
                r = lmr - std::clamp(hist / margin::LMR_HISTORY_DIV, -2, 2) - int(split.pv)
                    - int(g >= order::COUNTER) + int(split.cut_node && !split.pv)
                    + int(split.tt_noisy) + int(!split.improving);
            else if (depth == 2 || g >= order::GOOD_NOISY || split.pv)
                r = 0;
            else
                r = lmr / 2 + int(!split.improving);
            r = std::max(std::min(r, std::max(depth - 2, 0)), 0);
        }
        int32_t score = -negamax(depth - 1 - r, -alpha - 1, -alpha, ply + 1, false, true);
        if (r > 0 && score > alpha && !stopped_)
            score = -negamax(depth - 1, -alpha - 1, -alpha, ply + 1, false, !split.cut_node);
        if (score > alpha && score < beta && !stopped_)
            score = -negamax(depth - 1, -beta, -alpha, ply + 1, false, false);

        pos_.unmake_move(m);
        eval_.pop_move();
        if (stopped_) break;
        std::lock_guard lock(split.result_mutex);
        if (score > split.best_score) {
            split.best_score = score;
            split.best_move = m;
            split.pv_line.assign(1, m);
            for (int k = ply + 1; k < t.pv_len[ply + 1]; ++k) split.pv_line.push_back(t.pv[ply + 1][k]);
        }
        split.raise_alpha(score);
        if (score >= beta) split.stop->store(true);
    }
    split_ = previous_split;
    if (stopped_ && !must_stop()) stopped_ = false;  // only the split was cut off
}

template <typename Eval>
void Searcher<Eval>::help_splits(YbwcPool& pool) {
    start_ = budget_start_ = Clock::now();
    ponder_.reset();
    tb_root_moves_.clear();
    tb_root_children_.clear();
    node_limit_.reset();
    soft_ms_.reset();
    hard_deadline_.reset();
    nodes_ = flushed_nodes_ = 0;
    stopped_ = false;
    tbhits_ = 0;
    seldepth_ = 0;
    root_moves_.clear();
    root_list_active_ = false;
    root_excluded_.clear();
    policy_->new_search();
    policy_min_depth_ = policy_->min_depth();
    while (!limits_reached()) {
        std::shared_ptr<YbwcSplit> split = pool.wait_for_work();
        if (!split) break;
        stopped_ = false;
        help_ybwc_split(*split, false);
        pool.detach(*split);
    }
    flush_nodes();
}

template <typename Eval>
bool Searcher<Eval>::root_allows(Move m) const {
    if (std::find(root_excluded_.begin(), root_excluded_.end(), m) != root_excluded_.end())
        return false;
    return std::find(root_moves_.begin(), root_moves_.end(), m) != root_moves_.end();
}

template <typename Eval>
void Searcher<Eval>::record_move(int ply, Move m) {
    const Piece piece = pos_.piece_on(m.from());
    t_->hist.move_stack[ply] = PlyMove{true, piece, m.to()};
    PlyState& ps = t_->ply[ply];
    ps.last_move = m;
    ps.last_quiet = !m.is_noisy();
    ps.last_threat = uint8_t(threat_index(pawn_threats(pos_), m));
}

template <typename Eval>
void Searcher<Eval>::extend_pv(int ply, Move m) {
    Tables& t = *t_;
    Move* row = t.pv[ply];
    row[ply] = m;
    const int len = std::max(t.pv_len[ply + 1], ply + 1);
    for (int i = ply + 1; i < len; ++i) row[i] = t.pv[ply + 1][i];
    t.pv_len[ply] = len;
}

template <typename Eval>
int32_t Searcher<Eval>::corrected_eval(int32_t raw, int ply) const {
    const Tables& t = *t_;
    const Color us = pos_.side_to_move();
    int32_t sum = t.pawn_corr[us][pos_.pawn_key() % CORRECTION_SIZE]
                  + (t.non_pawn_corr[us][WHITE][pos_.non_pawn_key(WHITE) % CORRECTION_SIZE]
                     + t.non_pawn_corr[us][BLACK][pos_.non_pawn_key(BLACK) % CORRECTION_SIZE])
                        / 2
                  + t.minor_corr[us][pos_.minor_key() % CORRECTION_SIZE] / 2;
    const PlyMove* ms = t.hist.move_stack;
    if (ply >= 1 && ms[ply - 1].made)
        sum += t.cont_corr1[us][type_of(ms[ply - 1].piece)][ms[ply - 1].to] / 2;
    if (ply >= 2 && ms[ply - 2].made)
        sum += t.cont_corr2[us][type_of(ms[ply - 2].piece)][ms[ply - 2].to] / 2;
    const int32_t correction =
        std::clamp(sum / 256, -margin::CORRECTION_CLAMP, margin::CORRECTION_CLAMP);
    return clamp32(int64_t(raw) + correction, -SCORE_EVAL_MAX, SCORE_EVAL_MAX);
}

template <typename Eval>
void Searcher<Eval>::update_correction(int32_t diff, int depth, int ply) {
    Tables& t = *t_;
    const Color us = pos_.side_to_move();
    const int32_t w = std::min(depth + 1, margin::CORRECTION_MAX_WEIGHT);
    const int32_t lim = margin::CORRECTION_ENTRY_MAX;
    const int32_t target = clamp32(int64_t(diff) * 256, -lim, lim);
    auto blend = [&](int16_t& e) {
        e = int16_t(std::clamp((e * (256 - w) + target * w) / 256, -lim, lim));
    };
    blend(t.pawn_corr[us][pos_.pawn_key() % CORRECTION_SIZE]);
    blend(t.non_pawn_corr[us][WHITE][pos_.non_pawn_key(WHITE) % CORRECTION_SIZE]);
    blend(t.non_pawn_corr[us][BLACK][pos_.non_pawn_key(BLACK) % CORRECTION_SIZE]);
    blend(t.minor_corr[us][pos_.minor_key() % CORRECTION_SIZE]);
    const PlyMove* ms = t.hist.move_stack;
    if (ply >= 1 && ms[ply - 1].made)
        blend(t.cont_corr1[us][type_of(ms[ply - 1].piece)][ms[ply - 1].to]);
    if (ply >= 2 && ms[ply - 2].made)
        blend(t.cont_corr2[us][type_of(ms[ply - 2].piece)][ms[ply - 2].to]);
}

template <typename Eval>
int32_t Searcher<Eval>::negamax(int depth, int32_t alpha, int32_t beta, int ply, bool after_null,
                                bool cut_node) {
    Tables& t = *t_;
    Histories& h = t.hist;
    t.pv_len[ply] = ply;
    const bool in_check = pos_.in_check();

    // 1. Draws. The fifty-move rule yields to a mate delivered on the hundredth half-move.
    if (ply > 0) {
        if (pos_.halfmove_clock() >= 100) {
            if (!in_check || has_legal_move(pos_)) return SCORE_DRAW;
        } else if (is_repetition(pos_)) {
            return SCORE_DRAW;
        }
        if (insufficient_material(pos_)) return SCORE_DRAW;
    }

    // 2. Check extension, bounded so that perpetual checks cannot run away.
    if (in_check && ply < std::max(2, 2 * root_depth_)) ++depth;

    // 3. Horizon.
    if (depth < 1) return qsearch(alpha, beta, ply);

    // 4. Bookkeeping.
    count_node();
    if (stopped_) return 0;
    seldepth_ = std::max(seldepth_, ply);
    if (ply > PLY_LIMIT)
        return in_check ? SCORE_DRAW
                        : clamp32(eval_.evaluate(pos_), -SCORE_EVAL_MAX, SCORE_EVAL_MAX);

    // 5. Mate-distance pruning: no line from here can beat a shorter mate already in hand.
    alpha = std::max(alpha, -SCORE_MATE + ply);
    beta = std::min(beta, SCORE_MATE - 1 - ply);
    if (alpha >= beta) return alpha;

    const bool is_pv = beta - alpha > 1;
    const int32_t alpha_entry = alpha;
    const Move excluded = t.ply[ply].excluded;
    const Color us = pos_.side_to_move();

    // 6. Transposition table.
    const uint64_t key = pos_.key();
    const std::optional<TtEntry> probe = table_->probe(key, ply);
    const bool tt_hit = probe.has_value();
    const TtEntry tte = tt_hit ? *probe : TtEntry{};
    const bool pv_ish = is_pv || (tt_hit && tte.pv);
    // A child of a root inside the tables has its verdict from the root probe (step 7), which
    // no table entry may overrule: the same position met deeper, with another clock, left
    // only an evaluation there.
    uint8_t root_wdl = WDL_NONE;
    if (ply == 1 && excluded.is_null())
        for (const auto& [child_key, child_wdl] : tb_root_children_)
            if (child_key == key) root_wdl = child_wdl;
    if (excluded.is_null() && !is_pv && tt_hit && tte.depth >= depth && root_wdl == WDL_NONE) {
        if ((tte.bound == Bound::UPPER && tte.score <= alpha)
            || (tte.bound == Bound::LOWER && tte.score >= beta) || tte.bound == Bound::EXACT)
            return tte.score;
    }
    const Move tt_move = tte.move;

    // 7. Endgame tables. Only a zero halfmove clock gives a verdict the fifty-move rule cannot
    // overturn later in the line. A win or loss that does not settle the window becomes a
    // limit on this node's result, so the search can still find a mate inside it. Without the
    // fifty-move rule the root's children need no probe: the root probe judged them, with the
    // root's own clock, which is how a cursed win at the root scores as the win it then is.
    int32_t floor = SCORE_NONE, cap = SCORE_MATE;
    uint8_t wdl = root_wdl;
    const bool judged_at_root = ply == 1 && !tb_root_children_.empty();
    if (tablebase_ && excluded.is_null() && ply > 0 && !judged_at_root
        && pos_.halfmove_clock() == 0 && depth >= tb_use_.probe_depth
        && uint32_t(popcount(pos_.pieces()))
               <= std::min(tablebase_->max_pieces(), tb_use_.probe_limit)) {
        wdl = tablebase_->probe_wdl(pos_);
        if (wdl != WDL_NONE) {
            ++tbhits_;
            wdl = counted_wdl(wdl);
        }
    }
    if (wdl != WDL_NONE) {
        int32_t score = SCORE_DRAW;
        Bound bound = Bound::EXACT;
        if (wdl == WDL_WIN) {
            score = SCORE_TB_WIN - ply;
            bound = Bound::LOWER;
        } else if (wdl == WDL_LOSS) {
            score = -SCORE_TB_WIN + ply;
            bound = Bound::UPPER;
        }
        if (bound == Bound::LOWER && score < beta) {
            floor = score;
        } else if (bound == Bound::UPPER && alpha < score) {
            cap = score;
        } else {
            // A root verdict holds for the root's clock only, so it stays out of the table.
            if (root_wdl == WDL_NONE)
                table_->store(key, NO_MOVE, tt::score_to_tt(score, ply), TT_EVAL_NONE,
                              std::min(depth + margin::TB_STORE_DEPTH_BONUS, MAX_SEARCH_DEPTH),
                              bound, pv_ish);
            return score;
        }
    }
    auto bounded = [&](int32_t v) { return std::clamp(v, floor, cap); };

    // 8. Static evaluation, from the table when it has one.
    int32_t raw = TT_EVAL_NONE;
    int32_t eval = SCORE_NONE;
    bool improving = false;
    if (in_check) {
        t.ply[ply].static_eval = EVAL_STACK_NONE;
    } else {
        raw = tt_hit && tte.eval != TT_EVAL_NONE
                  ? tte.eval
                  : clamp32(eval_.evaluate(pos_), -SCORE_EVAL_MAX, SCORE_EVAL_MAX);
        eval = corrected_eval(raw, ply);
        t.ply[ply].static_eval = eval;

        // 9. Evaluation feedback: a quiet move after which the mover's outlook improved
        // gains history, one that let the evaluation swing against it loses.
        if (ply >= 1) {
            const PlyState& prev = t.ply[ply - 1];
            if (prev.last_quiet && h.move_stack[ply - 1].made
                && prev.static_eval != EVAL_STACK_NONE) {
                const int32_t b = std::clamp(-2 * (prev.static_eval + eval),
                                             margin::EVAL_FEEDBACK_MIN, margin::EVAL_FEEDBACK_MAX);
                const Move pm = prev.last_move;
                int16_t& e = h.main[us ^ 1][prev.last_threat >> 1][prev.last_threat & 1]
                                   [pm.from()][pm.to()];
                e = gravity(e, b);
            }
        }

        // 10. Improving: better than two plies ago (or four, when two ago was in check).
        if (ply < 2) improving = true;
        else if (t.ply[ply - 2].static_eval != EVAL_STACK_NONE)
            improving = eval > t.ply[ply - 2].static_eval;
        else if (ply > 3 && t.ply[ply - 4].static_eval != EVAL_STACK_NONE)
            improving = eval > t.ply[ply - 4].static_eval;
        else improving = true;
    }
    const int pi = phase_index(game_phase(pos_));

    // 11. Reverse futility pruning.
    if (!is_pv && !in_check && excluded.is_null() && depth <= margin::RFP_MAX_DEPTH
        && std::abs(beta) <= SCORE_EVAL_MAX
        && eval - RFP_MARGIN[pi].value * (depth - int(improving))
                   - (tt_hit && tte.pv ? margin::RFP_TT_PV : 0)
               >= beta) {
        if (!has_non_pawn_material(pos_, us) && !has_legal_move(pos_)) return SCORE_DRAW;
        return bounded(eval);
    }

    // 12. Null move, verified at high depth against zugzwang.
    if (!is_pv && !after_null && !in_check && excluded.is_null()
        && depth >= margin::NMP_MIN_DEPTH) {
        const bool upper = tt_hit && tte.bound == Bound::UPPER;
        const bool enough = upper ? eval >= beta && tte.score >= beta : eval >= beta;
        if (enough && std::abs(beta) <= SCORE_MATE_BOUND && has_non_pawn_material(pos_, us)) {
            h.move_stack[ply] = PlyMove{};
            t.ply[ply].last_quiet = false;
            const int null_depth =
                depth - margin::NMP_BASE - depth / margin::NMP_DEPTH_DIV
                - std::min((eval - beta) / margin::NMP_EVAL_DIV, margin::NMP_EVAL_MAX);
            pos_.make_null();
            table_->prefetch(pos_.key());
            const int32_t score = -negamax(null_depth, -beta, -beta + 1, ply + 1, true, !cut_node);
            pos_.unmake_null();
            if (stopped_) return 0;
            if (score >= beta) {
                bool confirmed = true;
                if (depth >= margin::NMP_VERIFY_DEPTH) {
                    const int32_t v = negamax(null_depth, beta - 1, beta, ply, true, cut_node);
                    if (stopped_) return 0;
                    confirmed = v >= beta;
                }
                if (confirmed) return bounded(score > SCORE_MATE_BOUND ? beta : score);
            }
        }
    }

    // 13. ProbCut: a capture that beats beta by a margin in a shallow search cuts here.
    if (!is_pv && !in_check && excluded.is_null() && depth >= margin::PROBCUT_MIN_DEPTH
        && std::abs(beta) <= SCORE_MATE_BOUND) {
        const int32_t probcut_beta = std::min(beta + margin::PROBCUT_MARGIN, SCORE_MATE_BOUND);
        if (eval + margin::PROBCUT_EVAL_SLACK >= probcut_beta
            && !(tt_hit && tte.depth >= depth - margin::PROBCUT_TT_DEPTH
                 && tte.score < probcut_beta)) {
            int32_t score = 0;
            if (try_probcut(depth, probcut_beta, eval, raw, ply, cut_node, pv_ish, score))
                return bounded(score);
            if (stopped_) return 0;
        }
    }

    // 14. Internal iterative reduction: without a table move this node is probably new.
    if (ply > 0 && depth >= margin::IIR_MIN_DEPTH && excluded.is_null() && tt_move.is_null())
        --depth;

    // 15. Move loop.
    const bool policy_node = depth >= policy_min_depth_ && policy_->wants(ply, depth);
    const bool reduction_only = policy_node && policy_->reduction_is_delta()
                                && policy_->keeps_normal_order() && !policy_->uses_order_bonus();
    const bool delta_reductions = policy_node && policy_->reduction_is_delta();
    // ABDADA: below depth 3 a deferral saves less than the table traffic costs.
    BusyMoves* const busy = depth >= 3 ? busy_moves_.get() : nullptr;
    const bool all_moves = ply == 0 || (policy_node && !reduction_only) || busy;
    const PickerInputs in = picker_inputs(pos_, h, tt_move, ply);
    MovePolicy* const order_policy = policy_node && !reduction_only ? policy_.get() : nullptr;
    MainPicker picker = all_moves ? MainPicker(pos_, h, in, order_policy, ply, depth)
                                  : MainPicker(pos_, h, in);

    Move quiets[MAX_QUIETS_REMEMBERED];
    Move noisies[MAX_NOISY_REMEMBERED];
    int quiet_count = 0, noisy_count = 0;
    int moves_searched = 0, quiets_searched = 0;
    int32_t best = SCORE_NONE;
    Move best_move;
    const int sure_extension_ply = std::max(2, 2 * root_depth_);

    // Moves another thread was searching when we reached them, searched after all the others.
    Move deferred[MAX_DEFERRED];
    int32_t deferred_scores[MAX_DEFERRED];
    int deferred_count = 0, replayed = 0;
    bool replaying = false;

    Move m;
    int32_t order_score = 0;
    for (;;) {
        if (!picker.next(m, order_score)) {
            if (replayed == deferred_count) break;
            replaying = true;
            m = deferred[replayed];
            order_score = deferred_scores[replayed++];
        }
        if (m == excluded) continue;
        if (ply == 0 && !root_allows(m)) continue;

        const bool quiet = !m.is_noisy();
        const Piece piece = pos_.piece_on(m.from());
        int32_t hist = 0;
        if (quiet)
            hist = order_score >= order::COUNTER || reduction_only
                       ? h.quiet_history(in.ctx, piece, m)
                       : order_score;
        const bool good_noisy = order_score >= order::GOOD_NOISY && order_score < order::TT_MOVE;
        int check_state = -1;  // gives_check, computed at most once and only when asked
        auto gives_check = [&] {
            if (check_state < 0) check_state = pos_.gives_check(m) ? 1 : 0;
            return check_state == 1;
        };

        // a. Pruning, once a move has proved we are not simply mated. A deferred move passed
        // these tests when it came from the picker.
        if (ply > 0 && !in_check && best >= -SCORE_EVAL_MAX && !replaying) {
            if (quiet) {
                if (depth <= margin::LMP_MAX_DEPTH) {
                    int limit = depth * depth + LMP_BASE[pi].value;
                    if (!improving) limit = limit * 2 / 3;
                    if (quiets_searched >= limit && !gives_check()) continue;
                }
                if (depth < margin::HISTORY_PRUNE_MAX_DEPTH && !pv_ish
                    && hist < -margin::HISTORY_PRUNE_PER_DEPTH * depth && !gives_check())
                    continue;
                if (depth <= margin::FUTILITY_MAX_DEPTH
                    && alpha >= eval + hist / margin::FUTILITY_HISTORY_DIV + FUT_BASE[pi].value
                                    + FUT_MULT[pi].value * depth
                    && !gives_check())
                    continue;
            }
            if (depth <= margin::SEE_PRUNE_MAX_DEPTH) {
                if (quiet) {
                    if (!see_ge(pos_, m, -SEE_QUIET[pi].value * depth)) continue;
                } else if (!good_noisy && !see_ge(pos_, m, -SEE_NOISY[pi].value * depth * depth)) {
                    continue;
                }
            }
        }

        // Another thread is inside this move right now: look at the rest first.
        uint64_t busy_key = 0;
        if (busy) {
            busy_key = BusyMoves::key(pos_.key(), m);
            if (!replaying && moves_searched > 0 && deferred_count < MAX_DEFERRED
                && busy->is_busy(busy_key)) {
                deferred[deferred_count] = m;
                deferred_scores[deferred_count++] = order_score;
                continue;
            }
        }

        // b. Singular extension: is the table move the only one that holds?
        int extension = 0;
        if (m == tt_move && ply > 0 && depth >= margin::SINGULAR_MIN_DEPTH && excluded.is_null()
            && tte.depth >= depth - margin::SINGULAR_TT_DEPTH
            && (tte.bound == Bound::LOWER || tte.bound == Bound::EXACT)
            && std::abs(tte.score) <= SCORE_EVAL_MAX) {
            const int32_t singular_beta = tte.score - margin::SINGULAR_MARGIN_PER_DEPTH * depth;
            t.ply[ply].excluded = m;
            const int32_t v = negamax((depth - 1) / 2, singular_beta - 1, singular_beta, ply,
                                      after_null, cut_node);
            t.ply[ply].excluded = NO_MOVE;
            if (stopped_) return 0;
            if (v < singular_beta) {
                if (is_pv || v >= singular_beta - margin::DOUBLE_EXT_MARGIN) extension = 1;
                else extension = ply < sure_extension_ply ? 2 : 1;
            } else if (singular_beta >= beta) {
                return bounded(singular_beta);  // multi-cut: several moves beat beta
            } else {
                extension = tte.score >= beta ? -1 : 0;
            }
        }
        const int new_depth = depth - 1 + extension;

        // e (computed before the move is made). Late-move reduction.
        int r = 0;
        if (moves_searched > 0) {
            std::optional<int32_t> absolute;
            if (policy_node && !policy_->reduction_is_delta())
                absolute = policy_->reduction(pos_, m, depth);
            if (absolute) {
                r = *absolute;
            } else if (depth >= 2 && moves_searched > (is_pv ? 1 : 0) && !in_check
                       && !gives_check()) {
                const int32_t lmr = t.lmr[std::min(depth, 63)][std::min(moves_searched, 63)];
                if (quiet) {
                    int32_t delta = 0;
                    if (delta_reductions)
                        delta = policy_->reduction(pos_, m, depth).value_or(0);
                    r = lmr + int(tt_move.is_noisy()) + int(!is_pv && cut_node) + int(!improving)
                        - int(pv_ish) + delta - int(order_score >= order::COUNTER)
                        - std::clamp(hist / margin::LMR_HISTORY_DIV, -2, 2);
                } else if (order_score >= order::GOOD_NOISY || is_pv || depth == 2) {
                    r = 0;
                } else {
                    const int32_t ch = h.capture[piece][m.to()][captured_type(pos_, m)]
                                       / margin::LMR_CAPTURE_HISTORY_DIV;
                    r = lmr / 2 + int(!improving) - (ch > 0) + (ch < 0);
                }
            }
            r = std::clamp(r, 0, std::max(new_depth - 1, 0));
        }

        // c. Make the move.
        if (busy) busy->mark(busy_key);
        record_move(ply, m);
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        table_->prefetch(pos_.key());
        const uint64_t nodes_before = nodes_;

        // d, e. Principal variation search.
        int32_t score;
        if (moves_searched == 0) {
            score = -negamax(new_depth, -beta, -alpha, ply + 1, false, !(cut_node || is_pv));
        } else {
            score = -negamax(new_depth - r, -alpha - 1, -alpha, ply + 1, false, true);
            if (r > 0 && score > alpha) {
                const int deeper = std::max(
                    1, new_depth + int(score > best + margin::DEEPER_MARGIN + 2 * new_depth)
                           - int(score < best + new_depth));
                score = -negamax(deeper, -alpha - 1, -alpha, ply + 1, false, !cut_node);
            }
            if (score > alpha && score < beta)
                score = -negamax(new_depth, -beta, -alpha, ply + 1, false, false);
        }

        // f. Unmake.
        pos_.unmake_move(m);
        eval_.pop_move();
        if (busy) busy->release(busy_key);
        if (stopped_) return 0;
        if (ply == 0) t.root_nodes[m.from()][m.to()] += nodes_ - nodes_before;
        ++moves_searched;

        // g. Best so far, PV, cut-off.
        if (score > best) {
            best = score;
            if (score > alpha) {
                best_move = m;
                extend_pv(ply, m);
                if (score >= beta) {
                    // History updates. In check there is no static evaluation to compare with.
                    const int d = depth + int(!in_check && alpha_entry >= eval);
                    const int32_t bonus = history_bonus(d), malus = history_malus(d);
                    if (quiet) {
                        if (h.killers[ply][0] != m) {
                            h.killers[ply][1] = h.killers[ply][0];
                            h.killers[ply][0] = m;
                        }
                        if (ply >= 1 && h.move_stack[ply - 1].made) {
                            const PlyMove& previous = h.move_stack[ply - 1];
                            h.counter_moves[previous.piece][previous.to] = m;
                        }
                        h.update_history(us, in.ctx.threats, piece, m, ply, bonus);
                        for (int i = 0; i < quiet_count; ++i)
                            h.update_history(us, in.ctx.threats, pos_.piece_on(quiets[i].from()),
                                             quiets[i], ply, -malus);
                    } else {
                        h.update_cap_history(piece, m.to(), captured_type(pos_, m), bonus);
                    }
                    for (int i = 0; i < noisy_count; ++i)
                        h.update_cap_history(pos_.piece_on(noisies[i].from()), noisies[i].to(),
                                             captured_type(pos_, noisies[i]), -malus);
                    break;
                }
                alpha = score;
            }
        }

        // h. Remember what was searched, for the maluses of a later cut-off.
        if (quiet) {
            if (quiet_count < MAX_QUIETS_REMEMBERED) quiets[quiet_count++] = m;
            ++quiets_searched;
        } else if (noisy_count < MAX_NOISY_REMEMBERED) {
            noisies[noisy_count++] = m;
        }

        // YBWC: the first move is searched and did not cut off; idle threads may share the rest.
        if (ybwc_ && moves_searched == 1 && ybwc_->has_idle() && depth >= 5 && !busy_moves_
            && !policy_node && excluded.is_null() && !(ply == 0 && root_list_active_)) {
            auto split = std::make_shared<YbwcSplit>(pos_);
            Move rest;
            int32_t rest_score = 0;
            while (picker.next(rest, rest_score)) {
                if (ply == 0 && !root_allows(rest)) continue;
                split->moves.push_back(rest);
                split->scores.push_back(rest_score);
            }
            if (split->moves.empty()) continue;
            split->ply = ply;
            split->depth = depth;
            split->root_depth = root_depth_;
            split->beta = beta;
            split->alpha.store(alpha);
            split->pv = is_pv;
            split->cut_node = cut_node;
            split->in_check = in_check;
            split->improving = improving;
            split->tt_noisy = tt_move.is_noisy();
            split->best_score = best;
            split->best_move = best_move;
            split->parent = split_;
            ybwc_->push_split(split);
            help_ybwc_split(*split, true);
            ybwc_->remove_split(split.get());  // no helper joins from now on
            // Our own limits are not the helpers': when they run out, tell the helpers the
            // node is abandoned.
            if (ybwc_->wait_for_helpers(*split, [this] { return stopped_ || must_stop(); }))
                stopped_ = true;
            if (stopped_) return 0;
            std::lock_guard lock(split->result_mutex);
            if (split->best_score > best) {
                best = split->best_score;
                if (best > alpha) {
                    best_move = split->best_move;
                    const int len = std::min(int(split->pv_line.size()), MAX_PLY + 1 - ply);
                    for (int i = 0; i < len; ++i) t.pv[ply][ply + i] = split->pv_line[size_t(i)];
                    t.pv_len[ply] = ply + len;
                }
            }
            break;
        }
    }

    // 16. Mate or stalemate.
    if (moves_searched == 0 && excluded.is_null()) return in_check ? -SCORE_MATE + ply : SCORE_DRAW;

    // 17. Endgame table limits.
    if (best < floor || best > cap) {
        const bool low = best < floor;
        best = low ? floor : cap;
        t.pv_len[ply] = ply;
        table_->store(key, NO_MOVE, tt::score_to_tt(best, ply), raw, depth,
                      low ? Bound::LOWER : Bound::UPPER, pv_ish);
        return best;
    }

    // 18. Correction history and the table.
    if (excluded.is_null() && !(ply == 0 && root_list_active_)) {
        if (!in_check && (best_move.is_null() || !best_move.is_noisy())
            && std::abs(best) <= SCORE_MATE_BOUND && !(best >= beta && best <= eval)
            && !(best <= alpha_entry && best >= eval))
            update_correction(best - eval, depth, ply);
        const Bound bound =
            best >= beta ? Bound::LOWER : best > alpha_entry ? Bound::EXACT : Bound::UPPER;
        table_->store(key, best_move, tt::score_to_tt(best, ply), in_check ? TT_EVAL_NONE : raw,
                      depth, bound, pv_ish);
    }
    return best;
}

template <typename Eval>
bool Searcher<Eval>::try_probcut(int depth, int32_t probcut_beta, int32_t static_eval,
                                 int32_t raw_eval, int ply, bool cut_node, bool pv,
                                 int32_t& score) {
    MovePicker picker;
    generate_noisy(pos_, picker.list);
    score_probcut(picker, pos_);
    const int32_t see_threshold = std::max(1, probcut_beta - static_eval);
    Move m;
    int32_t order_score = 0;
    while (picker.next_move(m, order_score)) {
        if (is_under_promotion(m) || !see_ge(pos_, m, see_threshold)) continue;
        record_move(ply, m);
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        table_->prefetch(pos_.key());
        int32_t v = -qsearch(-probcut_beta, -probcut_beta + 1, ply + 1);
        if (v >= probcut_beta && !stopped_)
            v = -negamax(depth - margin::PROBCUT_REDUCTION, -probcut_beta, -probcut_beta + 1,
                         ply + 1, false, !cut_node);
        pos_.unmake_move(m);
        eval_.pop_move();
        if (stopped_) return false;
        if (v >= probcut_beta) {
            table_->store(pos_.key(), m, tt::score_to_tt(v, ply), raw_eval,
                          depth - margin::PROBCUT_TT_DEPTH, Bound::LOWER, pv);
            score = v;
            return true;
        }
    }
    return false;
}

template <typename Eval>
int32_t Searcher<Eval>::qsearch(int32_t alpha, int32_t beta, int ply) {
    Tables& t = *t_;
    t.pv_len[ply] = ply;
    count_node();
    if (stopped_) return 0;
    seldepth_ = std::max(seldepth_, ply);
    const bool in_check = pos_.in_check();

    // 1. Draws.
    if (pos_.halfmove_clock() < 100) {
        if (is_repetition(pos_) || insufficient_material(pos_)) return SCORE_DRAW;
    } else if (!in_check || has_legal_move(pos_)) {
        return SCORE_DRAW;
    }

    // 2. Depth guard.
    if (ply > PLY_LIMIT) {
        if (has_legal_move(pos_))
            return in_check ? SCORE_DRAW
                            : clamp32(eval_.evaluate(pos_), -SCORE_EVAL_MAX, SCORE_EVAL_MAX);
        return in_check ? -SCORE_MATE + ply : SCORE_DRAW;
    }

    // 3. Table: any depth will do here.
    const uint64_t key = pos_.key();
    const std::optional<TtEntry> probe = table_->probe(key, ply);
    const bool tt_hit = probe.has_value();
    const TtEntry tte = tt_hit ? *probe : TtEntry{};
    if (beta - alpha < 2 && tt_hit
        && ((tte.bound == Bound::LOWER && tte.score >= beta)
            || (tte.bound == Bound::UPPER && tte.score <= alpha) || tte.bound == Bound::EXACT))
        return tte.score;

    // 4. Stand pat, or every evasion when in check.
    const int32_t alpha_entry = alpha;
    const Color us = pos_.side_to_move();
    int32_t raw = TT_EVAL_NONE;
    int32_t stand = SCORE_NONE;
    int32_t best = SCORE_NONE;
    bool pawns_only = false;
    if (!in_check) {
        raw = tt_hit && tte.eval != TT_EVAL_NONE
                  ? tte.eval
                  : clamp32(eval_.evaluate(pos_), -SCORE_EVAL_MAX, SCORE_EVAL_MAX);
        stand = corrected_eval(raw, ply);
        // With only pawns left, standing pat could hide a stalemate.
        pawns_only = !has_non_pawn_material(pos_, us);
        if (stand >= beta) return pawns_only && !has_legal_move(pos_) ? SCORE_DRAW : stand;
    }
    MovePicker picker;  // only now: most quiescence nodes stand pat before needing it
    if (!in_check) {
        generate_noisy(pos_, picker.list);
        if (picker.list.empty() && pawns_only && !has_legal_move(pos_)) return SCORE_DRAW;
        alpha = std::max(alpha, stand);
        best = stand;
    } else {
        generate_all(pos_, picker.list);
        if (picker.list.empty()) return -SCORE_MATE + ply;
    }

    // 5. Order.
    HistoryContext ctx;
    ctx.side = us;
    if (in_check) ctx.threats = pawn_threats(pos_);
    score_qsearch(picker, pos_, t.hist, ctx, tte.move);

    // 6. Search.
    Move best_move;
    Move m;
    int32_t order_score = 0;
    while (picker.next_move(m, order_score)) {
        if (!in_check && !m.is_promotion()) {
            if (stand + victim_value(pos_, m) + margin::QS_DELTA <= alpha) continue;
            if (!see_ge(pos_, m, std::max(0, alpha - stand - margin::QS_SEE_SLACK))) continue;
        }
        t.hist.move_stack[ply] = PlyMove{true, pos_.piece_on(m.from()), m.to()};
        t.ply[ply].last_quiet = false;
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        table_->prefetch(pos_.key());
        const int32_t score = -qsearch(-beta, -alpha, ply + 1);
        pos_.unmake_move(m);
        eval_.pop_move();
        if (stopped_) return 0;
        if (score > best) {
            best = score;
            if (score > alpha) {
                best_move = m;
                extend_pv(ply, m);
                if (score >= beta) break;
                alpha = score;
            }
        }
    }

    // 7. Store.
    const int32_t exact_floor = in_check ? alpha_entry : std::max(alpha_entry, stand);
    const Bound bound =
        best >= beta ? Bound::LOWER : best > exact_floor ? Bound::EXACT : Bound::UPPER;
    table_->store(key, best_move, tt::score_to_tt(best, ply), in_check ? TT_EVAL_NONE : raw, 0,
                  bound, beta - alpha_entry > 1 || (tt_hit && tte.pv));
    return best;
}

template <typename Eval>
int32_t Searcher<Eval>::aspiration(int depth, int32_t previous_score) {
    int32_t alpha = SCORE_NONE, beta = SCORE_INFINITE;
    int32_t delta = margin::ASPIRATION_DELTA;
    if (depth >= margin::ASPIRATION_MIN_DEPTH) {
        alpha = lower_bound_of(int64_t(previous_score) - delta);
        beta = upper_bound_of(int64_t(previous_score) + delta);
    }
    int search_depth = depth;
    for (;;) {
        const int32_t score = negamax(search_depth, alpha, beta, 0, false, false);
        if (stopped_) return score;
        if (score > alpha && score < beta) return score;
        if (score >= beta) {
            // A fail high is usually confirmed faster a little shallower.
            beta = upper_bound_of(int64_t(score) + delta);
            search_depth = std::max(search_depth - 1, 1);
        } else {
            beta = (alpha + beta) / 2;
            alpha = lower_bound_of(int64_t(score) - delta);
            search_depth = depth;
        }
        delta *= 2;
        if (delta > margin::ASPIRATION_MAX_DELTA) {
            alpha = SCORE_NONE;
            beta = SCORE_INFINITE;
        }
    }
}

template <typename Eval>
void Searcher<Eval>::report_line(int depth, int32_t score, uint64_t multipv,
                                 const InfoSink& report) {
    if (!report) return;
    IterationInfo info;
    info.depth = depth;
    info.seldepth = uint64_t(seldepth_);
    info.multipv = multipv;
    info.score = score;
    info.nodes = shared_nodes_->load(std::memory_order_relaxed) + (nodes_ - flushed_nodes_);
    info.pv.assign(t_->pv[0], t_->pv[0] + std::min(t_->pv_len[0], MAX_PLY + 1));
    finish_info(info);
    report(info);
}

template <typename Eval>
void Searcher<Eval>::report_result(const SearchResult& played, const InfoSink& report) {
    if (!report || played.best.is_null()) return;
    IterationInfo info;
    info.depth = std::max(played.depth, 1);
    info.seldepth = played.seldepth;
    info.score = played.score;
    info.nodes = played.nodes;
    info.pv = played.pv.empty() ? std::vector<Move>{played.best} : played.pv;
    finish_info(info);
    report(info);
}

template <typename Eval>
void Searcher<Eval>::finish_info(IterationInfo& info) {
    info.time = elapsed_ms();
    info.tbhits = tbhits_;
    info.hashfull = table_->hashfull();
    if (show_wdl_) {
        const Wdl w = line_wdl(info.pv, info.score);
        info.has_wdl = true;
        info.wdl = {w.win, w.draw, w.loss};
    }
}

template <typename Eval>
Wdl Searcher<Eval>::line_wdl(const std::vector<Move>& pv, int32_t score) {
    if (score > SCORE_MATE_BOUND) return {1000, 0, 0};
    if (score < -SCORE_MATE_BOUND) return {0, 0, 1000};
    if (!pv.empty()) {
        for (const RootMove& rm : tb_root_moves_) {
            if (rm.move != pv[0]) continue;
            if (rm.wdl == WDL_LOSS) return {0, 0, 1000};
            if (rm.wdl == WDL_WIN) return {1000, 0, 0};
            return {0, 1000, 0};
        }
    }

    // Walk the line on the searcher's own position and evaluator, then walk back.
    int played = 0;
    for (Move m : pv) {
        if (!is_legal_move(pos_, m)) break;
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        ++played;
    }
    double win = 0.0, loss = 0.0;
    bool draw = false;
    if (pos_.halfmove_clock() >= 100 || is_repetition(pos_) || insufficient_material(pos_)) {
        draw = true;
    } else if (!has_legal_move(pos_)) {
        if (pos_.in_check()) loss = 1.0;
        else draw = true;
    } else if (const std::optional<WdlProbs> w = eval_.wdl(pos_)) {
        win = w->win;
        loss = w->loss;
    } else {
        const double s = played % 2 ? -score : score;
        const double p = 1.0 / (1.0 + std::exp(-s / 400.0));
        const double d = 0.3 * (1.0 - std::abs(2.0 * p - 1.0));
        win = p - d;
        loss = 1.0 - p - d;
    }
    for (int i = played - 1; i >= 0; --i) {
        pos_.unmake_move(pv[size_t(i)]);
        eval_.pop_move();
    }
    if (draw) return {0, 1000, 0};
    if (played % 2) std::swap(win, loss);
    const uint32_t w = uint32_t(std::lround(std::clamp(win, 0.0, 1.0) * 1000.0));
    const uint32_t l =
        std::min(uint32_t(std::lround(std::clamp(loss, 0.0, 1.0) * 1000.0)), 1000 - w);
    return {w, 1000 - w - l, l};
}

template <typename Eval>
class Searcher<Eval>::ArmDriver final : public ArmSearcher {
public:
    ArmDriver(Searcher& searcher, const InfoSink& sink) : s_(searcher), sink_(sink) {}

    RootMoveSearch search(Move m, int depth, bool use_aspiration,
                          int32_t previous_score) override {
        return s_.search_root_move(m, depth, use_aspiration, previous_score);
    }
    bool out_of_budget() override {
        if (s_.ponder_) s_.check_ponder_hit();
        if (s_.stopped_ || s_.stop_->load(std::memory_order_relaxed)
            || (s_.helper_stop_ && s_.helper_stop_->load(std::memory_order_relaxed))
            || (s_.node_limit_ && s_.nodes_ >= *s_.node_limit_)
            || (s_.hard_deadline_ && Clock::now() >= *s_.hard_deadline_))
            s_.stopped_ = true;
        return s_.stopped_;
    }
    std::optional<uint64_t> soft_ms() const override { return s_.soft_ms_; }
    uint64_t elapsed_ms() const override { return s_.budget_elapsed_ms(); }
    void report(const RootArm& arm) override {
        Tables& t = *s_.t_;
        const size_t len = std::min(arm.pv.size(), size_t(MAX_PLY + 1));
        std::copy(arm.pv.begin(), arm.pv.begin() + std::ptrdiff_t(len), t.pv[0]);
        t.pv_len[0] = int(len);
        s_.report_line(std::max(arm.depth, 1), arm.score, 1, sink_);
    }

private:
    Searcher& s_;
    const InfoSink& sink_;
};

template <typename Eval>
SearchResult Searcher<Eval>::search(const SearchLimits& limits, const Position& root,
                                    const InfoSink& report) {
    // 1. Limits, measured from when the front end read `go` if it says so. A ponder search
    // keeps its budget aside until the hit and then measures it from there: the time spent
    // pondering was the opponent's.
    start_ = budget_start_ = limits.start.value_or(Clock::now());
    node_limit_ = limits.nodes;
    soft_ms_.reset();
    hard_deadline_.reset();
    poll_mask_ = POLL_MASK;
    // A small node budget is looked at often enough to end within an eighth of it; the
    // weakest playing levels search only a few dozen nodes.
    if (node_limit_)
        poll_mask_ = std::min<uint64_t>(POLL_MASK, std::bit_floor(*node_limit_ / 8 | 1) - 1);
    ponder_.reset();
    if (!limits.infinite) {
        const TimeBudget budget = time_budget(limits, move_overhead_ms_);
        const std::optional<Clock::time_point> hit =
            limits.ponder ? limits.ponder->time() : std::nullopt;
        if (limits.ponder && !hit) {
            ponder_ = limits.ponder;
            ponder_budget_ = budget;
        } else {
            apply_budget(budget, hit.value_or(start_));
        }
    }

    // 2. Counters and tables.
    nodes_ = flushed_nodes_ = 0;
    stopped_ = false;
    tbhits_ = 0;
    seldepth_ = 0;
    root_depth_ = 0;
    if (shared_nodes_.use_count() == 1) shared_nodes_->store(0, std::memory_order_relaxed);
    if (thread_index_ == 0) table_->increment_generation();
    policy_->new_search();
    policy_min_depth_ = policy_->min_depth();
    t_->hist.age_main();

    // 3. Root position; copy-assignment keeps the undo stack's capacity from earlier searches.
    pos_ = root;
    eval_.reset(pos_);

    // 4, 5. Root moves.
    MoveList legal;
    generate_all(pos_, legal);
    SearchResult result;
    if (legal.empty()) {
        result.score = pos_.in_check() ? -SCORE_MATE : SCORE_DRAW;
        return result;
    }
    // With the root inside the tables, only the moves keeping the best verdict are searched:
    // the tables know which of them wins fastest or resists longest, the search does not.
    std::vector<Move> candidates(legal.begin(), legal.end());
    tb_root_moves_.clear();
    tb_root_children_.clear();
    if (tablebase_
        && uint32_t(popcount(pos_.pieces()))
               <= std::min(tablebase_->max_pieces(), tb_use_.probe_limit)) {
        if (std::optional<std::vector<RootMove>> ranked = tablebase_->probe_root(pos_);
            ranked && !ranked->empty()) {
            // Without the fifty-move rule the children's verdicts come from this probe: a
            // quiet child has a clock the in-tree probe refuses, so a cursed win would score
            // only as the evaluation's material edge. Under the rule (the default) the
            // children are searched as they always were.
            for (RootMove& rm : *ranked) {
                rm.wdl = counted_wdl(rm.wdl);
                if (tb_use_.fifty_move_rule) continue;
                pos_.make_move(rm.move);
                tb_root_children_.emplace_back(pos_.key(), uint8_t(WDL_WIN - rm.wdl));
                pos_.unmake_move(rm.move);
            }
            candidates = filter_root_moves(*ranked);
            tb_root_moves_ = std::move(*ranked);
            ++tbhits_;
        }
    }
    root_moves_ = restrict_root_moves(candidates, limits.searchmoves);
    root_list_active_ = root_moves_.size() < size_t(legal.size());
    root_excluded_.clear();

    // 6, 7. Depth and lines.
    int max_depth =
        limits.depth ? std::clamp(*limits.depth, 1, MAX_SEARCH_DEPTH) : MAX_SEARCH_DEPTH;
    if (root_moves_.size() == 1 && limits.time) max_depth = 1;
    const int lines = int(std::min<size_t>(size_t(std::max(multipv_, 1)), root_moves_.size()));

    // 8. The root modes take over on the main thread when there is a choice to make.
    if (root_mode_ != RootMode::AB && root_moves_.size() >= 2 && lines == 1
        && thread_index_ == 0) {
        std::vector<RootArm> arms;
        arms.reserve(root_moves_.size());
        for (Move m : root_moves_) arms.emplace_back(m);
        ArmDriver driver(*this, report);
        const size_t chosen =
            root_mode_ == RootMode::VOI
                ? run_voi(arms, max_depth, driver)
                : run_gumbel_sh(arms, max_depth, gumbel_temp_ / 100.0, pos_.key(), driver);
        const RootArm& arm = arms[chosen];
        flush_nodes();
        result.nodes = nodes_;
        result.depth = std::max(arm.depth, 1);
        result.score = arm.score;
        result.best = arm.move;
        result.ponder = arm.pv.size() > 1 ? arm.pv[1] : NO_MOVE;
        result.pv = !arm.pv.empty() && arm.pv[0] == arm.move ? arm.pv : std::vector<Move>{arm.move};
        result.seldepth = uint64_t(seldepth_);
        return result;
    }

    struct Line {
        int32_t score = 0;
        std::vector<Move> pv;
    };
    std::vector<Line> done(static_cast<size_t>(lines));
    std::vector<int32_t> previous(static_cast<size_t>(lines), 0);
    std::vector<Move> best_pv{root_moves_[0]};
    int32_t best_score = 0;
    int completed = 0;
    int completed_seldepth = 0;
    int stable = 0;
    Move previous_best;
    int32_t previous_score = 0;
    Tables& t = *t_;

    for (int depth = 1; depth <= max_depth; ++depth) {
        if (helper_skips(thread_index_, depth, max_depth)) continue;
        root_depth_ = depth;
        std::memset(t.root_nodes, 0, sizeof(t.root_nodes));
        const uint64_t nodes_at_start = nodes_;

        // One aspiration search per line; later lines exclude the first moves of earlier ones.
        root_excluded_.clear();
        for (int i = 0; i < lines; ++i) {
            const int32_t score = aspiration(depth, previous[size_t(i)]);
            if (stopped_) break;
            done[size_t(i)].score = score;
            done[size_t(i)].pv.assign(t.pv[0], t.pv[0] + t.pv_len[0]);
            if (t.pv_len[0] > 0) root_excluded_.push_back(t.pv[0][0]);
        }
        root_excluded_.clear();
        if (stopped_) break;  // an unfinished iteration is worth nothing

        std::stable_sort(done.begin(), done.end(),
                         [](const Line& a, const Line& b) { return a.score > b.score; });
        for (int i = 0; i < lines; ++i) {
            const Line& line = done[size_t(i)];
            previous[size_t(i)] = line.score;
            std::copy(line.pv.begin(), line.pv.end(), t.pv[0]);
            t.pv_len[0] = int(line.pv.size());
            report_line(depth, line.score, uint64_t(i + 1), report);
        }
        if (!done[0].pv.empty()) best_pv = done[0].pv;
        best_score = done[0].score;
        completed = depth;
        completed_seldepth = seldepth_;

        // Time: spend longer while the best move keeps changing, takes a small share of the
        // nodes, or the score is falling.
        const Move best_move = best_pv[0];
        stable = completed > 1 && best_move == previous_best ? stable + 1 : 0;
        double factor = 1.0;
        if (depth >= 4) {
            const uint64_t total = std::max<uint64_t>(nodes_ - nodes_at_start, 1);
            const double share =
                double(t.root_nodes[best_move.from()][best_move.to()]) / double(total);
            const int32_t drop = std::clamp(previous_score - best_score, 0, 100);
            factor = STABILITY_SCALE[std::min(stable, 4)]
                     * std::clamp(1.35 * (1.5 - share), 0.5, 2.0) * (1.0 + drop / 200.0);
        }
        previous_best = best_move;
        previous_score = best_score;

        if (ponder_) check_ponder_hit();
        if (soft_ms_ && double(budget_elapsed_ms()) >= 0.6 * factor * double(*soft_ms_)) break;
        if (node_limit_ && nodes_ >= *node_limit_) break;
        if (stop_->load(std::memory_order_relaxed)) break;
    }

    flush_nodes();
    result.nodes = nodes_;
    result.depth = completed;
    result.score = best_score;
    result.best = best_pv[0];
    result.ponder = best_pv.size() > 1 ? best_pv[1] : NO_MOVE;
    result.pv = std::move(best_pv);
    result.seldepth = uint64_t(completed_seldepth);
    return result;
}

template <typename Eval>
RootMoveSearch Searcher<Eval>::search_root_move(Move m, int depth, bool use_aspiration,
                                                int32_t previous_score) {
    Tables& t = *t_;
    root_depth_ = depth;
    seldepth_ = 0;
    int32_t alpha = SCORE_NONE, beta = SCORE_INFINITE;
    int32_t delta = margin::ASPIRATION_DELTA;
    if (use_aspiration && depth >= margin::ASPIRATION_MIN_DEPTH
        && std::abs(previous_score) <= SCORE_EVAL_MAX) {
        alpha = lower_bound_of(int64_t(previous_score) - delta);
        beta = upper_bound_of(int64_t(previous_score) + delta);
    }
    const uint64_t nodes_before = nodes_;
    RootMoveSearch out;
    for (;;) {
        // The root itself was not searched: nothing of ply 0 may feed the child.
        t.ply[0].static_eval = EVAL_STACK_NONE;
        record_move(0, m);
        eval_.push_move(pos_, m);
        pos_.make_move(m);
        const int32_t score = -negamax(std::max(depth - 1, 0), -beta, -alpha, 1, false, false);
        pos_.unmake_move(m);
        eval_.pop_move();
        if (stopped_) {
            out.stopped = true;
            return out;
        }
        out.score = score;
        if (score > alpha && score < beta) break;
        if (score >= beta) {
            beta = std::min(score + delta, SCORE_INFINITE);
        } else {
            beta = (alpha + beta) / 2;
            alpha = lower_bound_of(int64_t(score) - delta);
        }
        delta *= 2;
        if (delta > margin::ASPIRATION_MAX_DELTA) {
            alpha = SCORE_NONE;
            beta = SCORE_INFINITE;
        }
    }
    out.pv.push_back(m);
    for (int i = 1; i < t.pv_len[1]; ++i) out.pv.push_back(t.pv[1][i]);
    out.nodes = std::max<uint64_t>(nodes_ - nodes_before, 1);
    return out;
}

template <typename Eval>
std::vector<GoalLine> Searcher<Eval>::goal_lines(const SearchResult& finished) {
    std::vector<GoalLine> out;
    MoveList legal;
    generate_all(pos_, legal);
    if (legal.empty()) return out;

    const uint64_t n = uint64_t(legal.size());
    const uint64_t budget = std::clamp<uint64_t>(finished.nodes / (4 * n), 5000, 1'000'000);
    const int depth_cap = std::clamp(finished.depth - 1, 1, 32);

    // A private stop flag and no clock: the front end's stop must not cut these short.
    auto saved_stop = std::move(stop_);
    auto saved_helper_stop = std::move(helper_stop_);
    stop_ = std::make_shared<std::atomic<bool>>(false);
    hard_deadline_.reset();
    soft_ms_.reset();
    ponder_.reset();
    Tables& t = *t_;

    for (Move m : legal) {
        node_limit_ = nodes_ + budget;
        int32_t score = 0;
        std::vector<Move> line{m};
        for (int depth = 1; depth <= depth_cap; ++depth) {
            root_depth_ = depth;
            t.ply[0].static_eval = EVAL_STACK_NONE;
            record_move(0, m);
            eval_.push_move(pos_, m);
            pos_.make_move(m);
            const int32_t v = negamax(depth - 1, SCORE_NONE, SCORE_INFINITE, 1, false, false);
            pos_.unmake_move(m);
            eval_.pop_move();
            if (stopped_) break;
            score = -v;
            line.assign(1, m);
            for (int i = 1; i < t.pv_len[1]; ++i) line.push_back(t.pv[1][i]);
        }
        stopped_ = false;
        const Wdl w = line_wdl(line, score);
        out.push_back(GoalLine{score, w.win, w.draw, w.loss, m});
    }

    stop_ = std::move(saved_stop);
    helper_stop_ = std::move(saved_helper_stop);
    node_limit_.reset();
    flush_nodes();
    return out;
}

template class Searcher<PstEval>;
template class Searcher<NnueEval>;

}  // namespace velmar
