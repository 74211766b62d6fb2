#include "see.h"

namespace velmar {

bool see_ge(const Position& pos, Move m, int32_t threshold) {
    if (m.is_castling()) return threshold <= 0;

    const Square from = m.from(), to = m.to();
    int32_t gain = 0;
    if (m.is_en_passant())
        gain = SEE_VALUE[PAWN];
    else if (m.is_capture())
        gain = SEE_VALUE[type_of(pos.piece_on(to))];
    PieceType at_risk = type_of(pos.piece_on(from));
    if (m.is_promotion()) {
        gain += SEE_VALUE[m.promoted()] - SEE_VALUE[PAWN];
        at_risk = m.promoted();
    }

    // Early exits: most calls are settled before any attacker is looked at.
    int32_t swap = gain - threshold;
    if (swap < 0) return false;
    swap = SEE_VALUE[at_risk] - swap;
    if (swap <= 0) return true;

    Bitboard occ = pos.pieces() ^ bb(from);
    if (m.is_en_passant()) occ ^= bb(to ^ 8);
    Bitboard attackers = pos.attackers_to(to, occ) & occ;
    const Bitboard diagonal = pos.by_type(BISHOP) | pos.by_type(QUEEN);
    const Bitboard straight = pos.by_type(ROOK) | pos.by_type(QUEEN);

    // res is the answer if the side to capture next has nothing left: it flips with every
    // capture, and a capture that cannot restore the balance ends the exchange early.
    int res = 1;
    Color side = Color(pos.side_to_move() ^ 1);
    for (;;) {
        attackers &= occ;
        const Bitboard ours = attackers & pos.by_color(side);
        if (!ours) return res;

        PieceType type = PAWN;
        while (!(ours & pos.by_type(type))) ++type;
        if (type == KING && (attackers & pos.by_color(side ^ 1))) return res;

        swap = SEE_VALUE[type] - swap;
        res ^= 1;
        if (swap < res) return res;

        occ ^= bb(lsb(ours & pos.by_type(type)));
        if (type == PAWN || type == BISHOP || type == QUEEN || type == KING)
            attackers |= bishop_attacks(to, occ) & diagonal;
        if (type == ROOK || type == QUEEN || type == KING)
            attackers |= rook_attacks(to, occ) & straight;
        side ^= 1;
    }
}

}  // namespace velmar
