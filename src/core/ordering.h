// Move ordering for one search thread: the MovePicker (lazy best-first selection), the staged
// order of the main search, the quiescence and ProbCut orders, and the learning tables behind
// them (killers, counter moves, threat-split quiet history, capture history, continuation
// histories) with their updates. Also the MovePolicy seam through which a learned scorer can
// reorder moves and change reductions. Nothing here is shared between threads.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "movegen.h"
#include "position.h"

namespace velmar {

// Deepest ply any per-ply table is indexed with; arrays have MAX_PLY + 1 entries.
inline constexpr int MAX_PLY = 128;

// Ordering score bands. Only the order of the bands matters to the picker, but the search
// reads the bands back (a good capture is not re-tested by static exchange, killers and the
// counter move reduce less), so they are part of the contract.
namespace order {
inline constexpr int32_t TT_MOVE = 0x40000000;
inline constexpr int32_t GOOD_NOISY = 0x10000000;
inline constexpr int32_t KILLER_0 = 0x8000000;
inline constexpr int32_t KILLER_1 = 0x7FFFFFF;
inline constexpr int32_t COUNTER = 0x7FFFFFE;
inline constexpr int32_t BAD_NOISY = -1'048'576;
inline constexpr int32_t UNDER_PROMOTION = -268'435'456;
inline constexpr int32_t POLICY_LIMIT = 1 << 26;  // policy scores are clamped to +-this
}  // namespace order

// Victim values of the ordering (not the exchange values of see.h).
inline constexpr std::array<int32_t, 6> ORDER_VALUE = {100, 320, 330, 470, 950, 0};

inline constexpr int32_t HISTORY_MAX = 16384;

// The gravity update: entries saturate smoothly towards +-HISTORY_MAX.
constexpr int16_t gravity(int32_t v, int32_t bonus) {
    int32_t magnitude = bonus < 0 ? -bonus : bonus;
    int32_t next = v + bonus - magnitude * v / HISTORY_MAX;
    return int16_t(next < -HISTORY_MAX ? -HISTORY_MAX : next > HISTORY_MAX ? HISTORY_MAX : next);
}

// Bonus and malus after a cut-off at (possibly raised) depth d.
constexpr int32_t history_bonus(int d) {
    int32_t b = 216 * d - 183;
    return b < 0 ? 0 : b > 1248 ? 1248 : b;
}
constexpr int32_t history_malus(int d) {
    int32_t b = 286 * d - 183;
    return b < 0 ? 0 : b > 1271 ? 1271 : b;
}

// Squares attacked by the pawns of colour `by`.
inline Bitboard pawn_attacks(Bitboard pawns, Color by) {
    return by == WHITE ? ((pawns & ~FILE_A) << 7) | ((pawns & ~FILE_H) << 9)
                       : ((pawns & ~FILE_A) >> 9) | ((pawns & ~FILE_H) >> 7);
}
// The threat set of the side to move: squares its opponent's pawns attack.
inline Bitboard pawn_threats(const Position& pos) {
    Color them = pos.side_to_move() ^ 1;
    return pawn_attacks(pos.pieces(them, PAWN), them);
}

// What was played at one ply of the current line. made = false after a null move (and for
// plies not reached yet).
struct PlyMove {
    bool made = false;
    Piece piece = EMPTY;
    Square to = 0;
};

// Continuation history of one earlier move: [type][to] of the move being scored.
using ContTable = std::array<std::array<int16_t, 64>, 6>;

// The rows of the continuation tables a node reads, found once per node. Null = that earlier
// move was not made.
struct HistoryContext {
    Color side = WHITE;
    Bitboard threats = 0;
    const ContTable* cont1 = nullptr;  // move one ply back
    const ContTable* cont2 = nullptr;  // two plies back
    const ContTable* far4 = nullptr;   // four plies back, read at half weight
};

// The learning tables of one searcher. About 1 MB: allocate it on the heap.
struct Histories {
    int16_t main[2][2][2][64][64];  // side, from attacked, to attacked, from, to
    int16_t capture[12][64][6];     // moving piece, to, captured type (pawn for quiet promotions)
    ContTable cont[12][64];         // earlier move's piece and to
    ContTable cont_far[6][64];      // earlier move's type and to
    Move killers[MAX_PLY + 1][2];
    Move counter_moves[12][64];
    PlyMove move_stack[MAX_PLY + 1];

    void clear();
    // Start of each search: recent evidence outweighs old, but old is not forgotten.
    void age_main();

    HistoryContext context(Color side, Bitboard threats, int ply) const;

    int16_t& main_entry(Color side, Bitboard threats, Move m) {
        return main[side][(threats >> m.from()) & 1][(threats >> m.to()) & 1][m.from()][m.to()];
    }
    int32_t main_value(Color side, Bitboard threats, Move m) const {
        return main[side][(threats >> m.from()) & 1][(threats >> m.to()) & 1][m.from()][m.to()];
    }

    int32_t quiet_history(const HistoryContext& ctx, Piece piece, Move m) const {
        PieceType t = type_of(piece);
        Square to = m.to();
        int32_t h = main_value(ctx.side, ctx.threats, m);
        if (ctx.cont1) h += (*ctx.cont1)[t][to];
        if (ctx.cont2) h += (*ctx.cont2)[t][to];
        if (ctx.far4) h += (*ctx.far4)[t][to] / 2;
        return h;
    }
    int32_t quiet_history(Color side, Bitboard threats, Piece piece, Move m, int ply) const {
        return quiet_history(context(side, threats, ply), piece, m);
    }

    // Gravity on the main entry and every continuation entry the move is read through.
    void update_history(Color side, Bitboard threats, Piece piece, Move m, int ply, int32_t bonus);
    // capture[piece][to][captured], gravity with a signed bonus (a malus is a negative bonus).
    void update_cap_history(Piece piece, Square to, PieceType captured, int32_t bonus) {
        int16_t& v = capture[piece][to][captured];
        v = gravity(v, bonus);
    }
};

// Captured type as the capture history indexes it: pawn for en passant and quiet promotions.
inline PieceType captured_type(const Position& pos, Move m) {
    if (!m.is_capture() || m.is_en_passant()) return PAWN;
    return type_of(pos.piece_on(m.to()));
}

// The move policy seam: a scorer consulted at nodes it wants. NoPolicy never is.
class MovePolicy {
public:
    virtual ~MovePolicy() = default;
    virtual int32_t min_depth() const = 0;
    virtual bool wants(int ply, int depth) const = 0;
    // The search keeps its own order and takes only bonuses and reductions from the policy.
    virtual bool keeps_normal_order() const = 0;
    // The policy's scores also place the hash move (otherwise it still goes first).
    virtual bool ranks_tt_move() const = 0;
    // Writes one score per move; false = nothing written, use the normal order.
    virtual bool score_moves(const Position& pos, const Move* moves, int count, int32_t* scores,
                             int ply, int depth) = 0;
    virtual std::optional<int32_t> reduction(const Position& pos, Move m, int depth) = 0;
    // The reduction is added to the search's own (true) or replaces it (false).
    virtual bool reduction_is_delta() const = 0;
    virtual bool uses_order_bonus() const = 0;
    virtual int32_t quiet_order_bonus(const Position& pos, Move m) = 0;
    virtual void new_search() = 0;
    virtual std::string_view name() const = 0;
};

class NoPolicy final : public MovePolicy {
public:
    int32_t min_depth() const override { return INT32_MAX; }
    bool wants(int, int depth) const override { return depth == INT32_MAX; }
    bool keeps_normal_order() const override { return false; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position&, const Move*, int, int32_t*, int, int) override {
        return false;
    }
    std::optional<int32_t> reduction(const Position&, Move, int) override { return std::nullopt; }
    bool reduction_is_delta() const override { return false; }
    bool uses_order_bonus() const override { return false; }
    int32_t quiet_order_bonus(const Position&, Move) override { return 0; }
    void new_search() override {}
    std::string_view name() const override { return "none"; }
};

// A cheap hand-made scorer: captures by victim then attacker, quiet moves towards the centre.
// Useful to exercise the policy paths of the search without a network.
class DummyPolicy final : public MovePolicy {
public:
    explicit DummyPolicy(int32_t min_depth) : min_depth_(min_depth) {}
    int32_t min_depth() const override { return min_depth_; }
    bool wants(int, int depth) const override { return depth >= min_depth_; }
    bool keeps_normal_order() const override { return false; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position& pos, const Move* moves, int count, int32_t* scores, int ply,
                     int depth) override;
    std::optional<int32_t> reduction(const Position&, Move, int) override { return std::nullopt; }
    bool reduction_is_delta() const override { return false; }
    bool uses_order_bonus() const override { return false; }
    int32_t quiet_order_bonus(const Position&, Move) override { return 0; }
    void new_search() override {}
    std::string_view name() const override { return "dummy"; }

    static int32_t score(const Position& pos, Move m);

private:
    int32_t min_depth_;
};

// A move list with one score per move, handed out best-first by a lazy selection sort: each
// call scans the rest for the maximum (lowest index wins ties) and swaps it to the cursor.
// Cheap because most nodes cut off after a few moves.
struct MovePicker {
    MoveList list;
    int32_t scores[MoveList::CAPACITY];
    int cursor = 0;

    MovePicker() = default;
    explicit MovePicker(const MoveList& moves);

    int count() const { return list.count; }
    bool next_move(Move& m, int32_t& score) { return next_at_least(INT32_MIN, m, score); }
    // Like next_move, but leaves everything in place when the best remaining score is below
    // `floor` (the staged picker keeps bad captures for later this way).
    bool next_at_least(int32_t floor, Move& m, int32_t& score);
};

// Score of a capture or promotion inside its band: capture history, then victim (plus a queen
// promotion), then the cheaper attacker.
int32_t capture_part(const Position& pos, const Histories& h, Move m);
// Most valuable victim, least valuable attacker; the ProbCut order.
int32_t mvv_lva(const Position& pos, Move m);

// Everything a node's picker reads besides the position and the tables.
struct PickerInputs {
    Move tt_move;
    Move killer0, killer1;
    Move counter;  // NO_MOVE when the previous ply made no move
    HistoryContext ctx;
};

PickerInputs picker_inputs(const Position& pos, const Histories& h, Move tt_move, int ply);

// The order of the main search: hash move, good noisy moves, killers, counter move, quiet moves
// by history, bad noisy moves; or, for the root and policy nodes, every move scored at once.
// Each move comes out once; the staged path tests hash, killer and counter moves for legality
// and never repeats them in the generated lists.
class MainPicker {
public:
    // Staged order.
    MainPicker(const Position& pos, const Histories& h, const PickerInputs& in);
    // All moves at once, scored; with a policy when `policy` is not null (the node wants it).
    MainPicker(const Position& pos, const Histories& h, const PickerInputs& in,
               MovePolicy* policy, int ply, int depth);

    bool next(Move& m, int32_t& score);

private:
    enum class Stage : uint8_t {
        TT, GEN_NOISY, GOOD_NOISY, KILLER0, KILLER1, COUNTER, GEN_QUIET, QUIET, BAD_NOISY,
        ALL, DONE
    };

    bool usable_quiet(Move m) const;

    const Position& pos_;
    const Histories& h_;
    PickerInputs in_;
    Stage stage_;
    // Built only when their stage is reached: many nodes cut off before generating anything.
    std::optional<MovePicker> noisy_;
    std::optional<MovePicker> quiet_;
};

// Quiescence order: all moves of `list` (noisy ones, plus quiet ones when in check).
void score_qsearch(MovePicker& picker, const Position& pos, const Histories& h,
                   const HistoryContext& ctx, Move tt_move);
void score_probcut(MovePicker& picker, const Position& pos);

}  // namespace velmar
