#include "eval.h"

namespace velmar {

int32_t PstEval::evaluate_white(const Position& pos) {
    int32_t mg[2] = {0, 0}, eg[2] = {0, 0};
    for (Color c : {WHITE, BLACK}) {
        for (PieceType t = PAWN; t <= KING; ++t) {
            const Piece p = make_piece(c, t);
            for (Bitboard b = pos.pieces(c, t); b;) {
                const Square sq = pop_lsb(b);
                mg[c] += TABLES[0][p][sq];
                eg[c] += TABLES[1][p][sq];
            }
        }
        if (more_than_one(pos.pieces(c, BISHOP))) {
            mg[c] += 25;
            eg[c] += 45;
        }
    }
    int32_t phase = popcount(pos.by_type(KNIGHT) | pos.by_type(BISHOP))
                    + 2 * popcount(pos.by_type(ROOK)) + 4 * popcount(pos.by_type(QUEEN));
    if (phase > PHASE_MAX) phase = PHASE_MAX;
    // Integer division truncates towards zero, which keeps the score antisymmetric in colour.
    return (phase * (mg[WHITE] - mg[BLACK]) + (PHASE_MAX - phase) * (eg[WHITE] - eg[BLACK]))
           / PHASE_MAX;
}

}  // namespace velmar
