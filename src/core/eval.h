// The evaluator contract the search drives move by move, and the hand-written tapered
// piece-square evaluation PstEval with its TABLES. The search is a template over the concrete
// evaluator type, so implementations are `final` and their calls bind statically; the abstract
// base only fixes the contract. Evaluators are per thread; TABLES is immutable and shared.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "position.h"

namespace velmar {

// Win/draw/loss probabilities for the side to move; the three sum to 1.
struct WdlProbs {
    float win = 0.0f;
    float draw = 0.0f;
    float loss = 0.0f;
};

// Call protocol, per search thread:
//   reset(root) once at the start of every search;
//   push_move(pos, m) immediately before pos.make_move(m), with pos still before the move;
//   pop_move() immediately after the matching pos.unmake_move(m); pushes and pops nest strictly.
//   Null moves are never reported: evaluate() must still be right after make_null(), when only
//   the side to move has changed.
//   evaluate(pos): centipawns from the side to move's view, for the position as it stands.
//   wdl(pos): a W/D/L estimate for the side to move, or nullopt when the evaluator has none
//   (the search then falls back to its score-based model).
// "Cloneable" means copyable: a copy is an independent evaluator in the same state.
class Evaluator {
public:
    virtual ~Evaluator() = default;
    virtual void reset(const Position& root) = 0;
    virtual void push_move(const Position& before, Move m) = 0;
    virtual void pop_move() = 0;
    virtual int32_t evaluate(const Position& pos) = 0;
    virtual std::optional<WdlProbs> wdl(const Position& pos) = 0;

protected:
    Evaluator() = default;
    Evaluator(const Evaluator&) = default;
    Evaluator& operator=(const Evaluator&) = default;
};

// What the search template requires of its evaluator type: the contract above, a final class
// (so calls through a reference or member are devirtualised) and a copy constructor.
template <typename E>
concept ConcreteEvaluator =
    std::derived_from<E, Evaluator> && std::is_final_v<E> && std::copy_constructible<E>;

namespace detail {

using PstTables = std::array<std::array<std::array<int32_t, 64>, 12>, 2>;

// Distance from the board edge: 0 on the rim, 3 on the four centre squares.
constexpr int ring(int sq) {
    int f = file_of(sq), r = rank_of(sq);
    int a = f < 7 - f ? f : 7 - f;
    int b = r < 7 - r ? r : 7 - r;
    return a < b ? a : b;
}

// White's values (material included) by [phase][piece type][square]; phase 0 = middle game.
constexpr int32_t white_value(int phase, PieceType type, int sq) {
    constexpr int32_t PAWN_MG[8][8] = {
        {100, 100, 100, 100, 100, 100, 100, 100},  // rank 1
        {100, 100, 105, 92, 92, 105, 100, 100},    // rank 2
        {103, 103, 108, 115, 115, 108, 103, 103},  // rank 3
        {108, 108, 113, 120, 120, 113, 108, 108},  // rank 4
        {116, 116, 121, 128, 128, 121, 116, 116},  // rank 5
        {130, 130, 133, 136, 136, 133, 130, 130},  // rank 6
        {155, 155, 158, 161, 161, 158, 155, 155},  // rank 7
        {100, 100, 100, 100, 100, 100, 100, 100},  // rank 8
    };
    constexpr int32_t PAWN_EG[8] = {120, 120, 128, 138, 152, 175, 210, 120};
    constexpr int32_t KING_MG_LOW[2][8] = {
        {15, 25, 8, -5, -5, 8, 25, 15},  // rank 1
        {5, 5, -8, -15, -15, -8, 5, 5},  // rank 2
    };
    constexpr int32_t KNIGHT_RING[4] = {0, 22, 38, 50};
    constexpr int32_t BISHOP_RING_MG[4] = {0, 12, 20, 30};
    constexpr int32_t BISHOP_RING_EG[4] = {0, 12, 20, 24};
    constexpr int32_t QUEEN_RING_MG[4] = {0, 6, 9, 10};
    constexpr int32_t QUEEN_RING_EG[4] = {0, 12, 18, 24};
    constexpr int32_t KING_RING_EG[4] = {-30, -6, 14, 30};

    const int f = file_of(sq), r = rank_of(sq), g = ring(sq);
    const bool mg = phase == 0;
    switch (type) {
    case PAWN:
        return mg ? PAWN_MG[r][f] : PAWN_EG[r];
    case KNIGHT:
        return (mg ? 292 : 272) + KNIGHT_RING[g];
    case BISHOP: {
        if (!mg) return 308 + BISHOP_RING_EG[g];
        const bool long_diagonal = (f == r || f + r == 7) && g != 3;
        return 318 + BISHOP_RING_MG[g] + (long_diagonal ? 6 : 0);
    }
    case ROOK:
        if (!mg) return 520 + (r == 6 ? 12 : 0);
        return 470 + (f == 3 || f == 4 ? 6 : 0) + (r == 6 ? 18 : 0);
    case QUEEN:
        return mg ? 944 + QUEEN_RING_MG[g] : 948 + QUEEN_RING_EG[g];
    default:  // KING
        if (!mg) return KING_RING_EG[g];
        return r < 2 ? KING_MG_LOW[r][f] : -25 - 12 * (r - 2);
    }
}

constexpr PstTables make_pst_tables() {
    PstTables t{};
    for (int phase = 0; phase < 2; ++phase)
        for (int type = 0; type < 6; ++type)
            for (int sq = 0; sq < 64; ++sq) {
                int32_t v = white_value(phase, PieceType(type), sq);
                t[phase][make_piece(WHITE, PieceType(type))][sq] = v;
                t[phase][make_piece(BLACK, PieceType(type))][sq ^ 56] = v;
            }
    return t;
}

}  // namespace detail

// Piece-square values [phase][piece code][square], phase 0 = middle game, 1 = end game.
// Each value includes the piece's material; black = white mirrored vertically.
inline constexpr detail::PstTables TABLES = detail::make_pst_tables();

inline constexpr int32_t PHASE_MAX = 24;  // knights + bishops + 2 rooks + 4 queens at the start

// Material, placement and the bishop pair, tapered by game phase. No state at all, so the
// move stack calls are empty and inline away.
class PstEval final : public Evaluator {
public:
    // White's view. Walks each piece once; the same answer for either side to move.
    static int32_t evaluate_white(const Position& pos);

    void reset(const Position&) override {}
    void push_move(const Position&, Move) override {}
    void pop_move() override {}
    int32_t evaluate(const Position& pos) override {
        int32_t white = evaluate_white(pos);
        return pos.side_to_move() == WHITE ? white : -white;
    }
    std::optional<WdlProbs> wdl(const Position&) override { return std::nullopt; }
};

static_assert(ConcreteEvaluator<PstEval>);

}  // namespace velmar
