#include "movegen.h"

namespace velmar {

namespace {

enum class Gen { ALL, NOISY, QUIET, ANY };

// Collects moves into a list, or (for has_legal_move) stops at the first one.
template <Gen G>
struct Sink {
    MoveList* list;
    bool found = false;
    static constexpr bool NOISY = G != Gen::QUIET;
    static constexpr bool QUIET = G != Gen::NOISY;
    // Returns true when generation may stop.
    bool add(Move m) {
        if constexpr (G == Gen::ANY) {
            found = true;
            return true;
        } else {
            list->push(m);
            return false;
        }
    }
};

#define VELMAR_EMIT(m)                                                                         \
    do {                                                                                       \
        if (sink.add(m)) return true;                                                          \
    } while (0)

template <typename S>
bool emit_targets(S& sink, int from, Bitboard targets, Bitboard theirs) {
    if constexpr (S::NOISY)
        for (Bitboard b = targets & theirs; b;) VELMAR_EMIT(Move(from, pop_lsb(b), kind::CAPTURE));
    if constexpr (S::QUIET)
        for (Bitboard b = targets & ~theirs; b;) VELMAR_EMIT(Move(from, pop_lsb(b), kind::QUIET));
    return false;
}

template <typename S>
bool emit_promotions(S& sink, int from, int to, bool capture) {
    int base = capture ? kind::PROMO_CAPTURE_N : kind::PROMO_N;
    VELMAR_EMIT(Move(from, to, base + 3));  // queen first: the likeliest best move
    VELMAR_EMIT(Move(from, to, base + 0));
    VELMAR_EMIT(Move(from, to, base + 2));
    VELMAR_EMIT(Move(from, to, base + 1));
    return false;
}

// The en-passant capture is legal when, after it, no piece of theirs other than the captured
// pawn attacks our king. One test covers the pawn giving check, blocks and the horizontal pin.
bool en_passant_legal(const Position& pos, int from, int ep) {
    Color us = pos.side_to_move();
    int captured = ep ^ 8;
    Bitboard occ = (pos.pieces() ^ bb(from) ^ bb(captured)) | bb(ep);
    Bitboard attackers = pos.attackers_to(pos.king_square(us), occ) & pos.by_color(us ^ 1);
    return (attackers & ~bb(captured)) == 0;
}

// Castling by right `index`, held by the side to move while not in check. The squares the king
// and rook cross or land on must be empty but for those two, and no square the king crosses or
// lands on may be attacked once both have left: in Chess960 a rook that stood between the king's
// target and an enemy rook or queen on the back rank shields it no longer.
bool castling_legal(const Position& pos, int index) {
    const Bitboard occ = pos.pieces();
    if (occ & pos.castling_path(index)) return false;
    const Color us = pos.side_to_move();
    const Bitboard after = occ ^ bb(pos.king_square(us)) ^ bb(pos.castling_rook(index));
    for (Bitboard b = pos.castling_walk(index); b;)
        if (pos.is_attacked(pop_lsb(b), us ^ 1, after)) return false;
    return true;
}

template <Color Us, typename S>
bool generate_pawns(const Position& pos, S& sink, Bitboard pawns, Bitboard allowed, Bitboard theirs) {
    constexpr int UP = Us == WHITE ? 8 : -8;
    constexpr Bitboard LAST = Us == WHITE ? RANK_8 : RANK_1;
    constexpr Bitboard THIRD = Us == WHITE ? RANK_1 << 16 : RANK_1 << 40;
    auto shift_up = [](Bitboard b) { return Us == WHITE ? b << 8 : b >> 8; };
    // Towards the a-file: white up-left (+7), black down-left (-9); towards the h-file the other.
    auto capture_a = [](Bitboard b) { return Us == WHITE ? (b & ~FILE_A) << 7 : (b & ~FILE_A) >> 9; };
    auto capture_h = [](Bitboard b) { return Us == WHITE ? (b & ~FILE_H) << 9 : (b & ~FILE_H) >> 7; };
    constexpr int FROM_A = Us == WHITE ? -7 : 9, FROM_H = Us == WHITE ? -9 : 7;

    const Bitboard empty = ~pos.pieces();
    const Bitboard single = shift_up(pawns) & empty;
    if constexpr (S::QUIET) {
        for (Bitboard b = single & ~LAST & allowed; b;) {
            int to = pop_lsb(b);
            VELMAR_EMIT(Move(to - UP, to, kind::QUIET));
        }
        for (Bitboard b = shift_up(single & THIRD) & empty & allowed; b;) {
            int to = pop_lsb(b);
            VELMAR_EMIT(Move(to - 2 * UP, to, kind::DOUBLE_PUSH));
        }
    }
    if constexpr (S::NOISY) {
        for (Bitboard b = single & LAST & allowed; b;) {
            int to = pop_lsb(b);
            if (emit_promotions(sink, to - UP, to, false)) return true;
        }
        for (Bitboard b = capture_a(pawns) & theirs & allowed; b;) {
            int to = pop_lsb(b);
            if (bb(to) & LAST) {
                if (emit_promotions(sink, to + FROM_A, to, true)) return true;
            } else {
                VELMAR_EMIT(Move(to + FROM_A, to, kind::CAPTURE));
            }
        }
        for (Bitboard b = capture_h(pawns) & theirs & allowed; b;) {
            int to = pop_lsb(b);
            if (bb(to) & LAST) {
                if (emit_promotions(sink, to + FROM_H, to, true)) return true;
            } else {
                VELMAR_EMIT(Move(to + FROM_H, to, kind::CAPTURE));
            }
        }
    }
    return false;
}

template <Color Us, typename S>
bool generate(const Position& pos, S& sink) {
    constexpr Color Them = Us ^ 1;
    const int ksq = pos.king_square(Us);
    const Bitboard occ = pos.pieces();
    const Bitboard ours = pos.by_color(Us), theirs = pos.by_color(Them);
    const Bitboard checkers = pos.checkers();

    // 1. King: the king is removed from the occupancy so it cannot retreat along a checking ray.
    {
        Bitboard targets = attacks::KING[ksq] & ~ours;
        Bitboard occ_without_king = occ ^ bb(ksq);
        for (Bitboard b = targets; b;) {
            int to = pop_lsb(b);
            bool capture = (theirs & bb(to)) != 0;
            if (capture ? !S::NOISY : !S::QUIET) continue;
            if (pos.is_attacked(to, Them, occ_without_king)) continue;
            VELMAR_EMIT(Move(ksq, to, capture ? kind::CAPTURE : kind::QUIET));
        }
    }
    // 2. Double check: only the king moves.
    if (more_than_one(checkers)) return false;

    // 3. Target mask.
    const Bitboard target = checkers ? (checkers | attacks::BETWEEN[ksq][lsb(checkers)]) : ~Bitboard(0);

    // 4. Pinned pieces.
    const Bitboard their_diag = theirs & (pos.by_type(BISHOP) | pos.by_type(QUEEN));
    const Bitboard their_orth = theirs & (pos.by_type(ROOK) | pos.by_type(QUEEN));
    Bitboard pinned = 0;
    Bitboard snipers =
        (rook_attacks(ksq, theirs) & their_orth) | (bishop_attacks(ksq, theirs) & their_diag);
    while (snipers) {
        Bitboard between = attacks::BETWEEN[ksq][pop_lsb(snipers)] & occ;
        if (between && !more_than_one(between) && (between & ours)) pinned |= between;
    }

    // 5. Pieces: knights, then diagonal sliders (bishops and queens), then orthogonal sliders.
    const Bitboard movable = ~ours & target;
    for (Bitboard b = pos.pieces(Us, KNIGHT) & ~pinned; b;) {
        int from = pop_lsb(b);
        if (emit_targets(sink, from, attacks::KNIGHT[from] & movable, theirs)) return true;
    }
    const Bitboard queens = pos.pieces(Us, QUEEN);
    for (Bitboard b = (pos.pieces(Us, BISHOP) | queens); b;) {
        int from = pop_lsb(b);
        Bitboard t = bishop_attacks(from, occ) & movable;
        if (pinned & bb(from)) t &= attacks::LINE[ksq][from];
        if (emit_targets(sink, from, t, theirs)) return true;
    }
    for (Bitboard b = (pos.pieces(Us, ROOK) | queens); b;) {
        int from = pop_lsb(b);
        Bitboard t = rook_attacks(from, occ) & movable;
        if (pinned & bb(from)) t &= attacks::LINE[ksq][from];
        if (emit_targets(sink, from, t, theirs)) return true;
    }

    // 6. Free pawns, then 7. pinned pawns one by one along their pin line.
    const Bitboard pawns = pos.pieces(Us, PAWN);
    if (generate_pawns<Us>(pos, sink, pawns & ~pinned, target, theirs)) return true;
    for (Bitboard b = pawns & pinned; b;) {
        int from = pop_lsb(b);
        if (generate_pawns<Us>(pos, sink, bb(from), target & attacks::LINE[ksq][from], theirs)) return true;
    }

    // 8. En passant (the target mask does not apply: the legality test covers checks).
    if constexpr (S::NOISY) {
        int ep = pos.en_passant();
        if (ep != SQ_NONE) {
            for (Bitboard b = attacks::PAWN[Them][ep] & pawns; b;) {
                int from = pop_lsb(b);
                if (en_passant_legal(pos, from, ep)) VELMAR_EMIT(Move(from, ep, kind::EN_PASSANT));
            }
        }
    }

    // 9. Castling; the rights guarantee king and rook are at home.
    if constexpr (S::QUIET) {
        if (!checkers) {
            constexpr int OO = castling_index(Us, false), OOO = castling_index(Us, true);
            if ((pos.castling() & (1 << OO)) && castling_legal(pos, OO))
                VELMAR_EMIT(Move(ksq, castling_king_to(Us, false), kind::KING_CASTLE));
            if ((pos.castling() & (1 << OOO)) && castling_legal(pos, OOO))
                VELMAR_EMIT(Move(ksq, castling_king_to(Us, true), kind::QUEEN_CASTLE));
        }
    }
    return false;
}

#undef VELMAR_EMIT

template <Gen G>
void run(const Position& pos, MoveList& list) {
    Sink<G> sink{&list};
    if (pos.side_to_move() == WHITE) generate<WHITE>(pos, sink);
    else generate<BLACK>(pos, sink);
}

}  // namespace

bool MoveList::contains(Move m) const {
    for (Move x : *this)
        if (x == m) return true;
    return false;
}

void generate_all(const Position& pos, MoveList& list) { run<Gen::ALL>(pos, list); }
void generate_noisy(const Position& pos, MoveList& list) { run<Gen::NOISY>(pos, list); }
void generate_quiet(const Position& pos, MoveList& list) { run<Gen::QUIET>(pos, list); }

bool has_legal_move(const Position& pos) {
    Sink<Gen::ANY> sink{nullptr};
    return pos.side_to_move() == WHITE ? generate<WHITE>(pos, sink) : generate<BLACK>(pos, sink);
}

bool is_legal_move(const Position& pos, Move m) {
    const uint8_t k = m.kind();
    if (m.is_null() || k == 6 || k == 7) return false;
    const Color us = pos.side_to_move(), them = us ^ 1;
    const int from = m.from(), to = m.to();
    const Piece piece = pos.piece_on(from);
    if (piece == EMPTY || color_of(piece) != us) return false;

    const Bitboard occ = pos.pieces();
    const Bitboard theirs = pos.by_color(them);
    const bool target_empty = pos.piece_on(to) == EMPTY;
    const bool target_theirs = (theirs & bb(to)) != 0;
    const int ksq = pos.king_square(us);
    const PieceType type = type_of(piece);

    // 2. King moves, castling included.
    if (type == KING) {
        if (k == kind::QUIET || k == kind::CAPTURE) {
            if (!(attacks::KING[from] & bb(to))) return false;
            if (k == kind::QUIET ? !target_empty : !target_theirs) return false;
            return !pos.is_attacked(to, them, occ ^ bb(from));
        }
        if (k != kind::KING_CASTLE && k != kind::QUEEN_CASTLE) return false;
        if (pos.in_check()) return false;
        // A held right means this king has not moved, so `from` is where its castling starts.
        const bool queen_side = k == kind::QUEEN_CASTLE;
        const int index = castling_index(us, queen_side);
        if (!(pos.castling() & (1 << index)) || to != castling_king_to(us, queen_side))
            return false;
        return castling_legal(pos, index);
    }

    // 3. Only the king may move in double check.
    const Bitboard checkers = pos.checkers();
    if (more_than_one(checkers)) return false;

    // 4-5. The move itself.
    if (type == PAWN) {
        const int up = us == WHITE ? 8 : -8;
        const bool last_rank = relative_rank(us, to) == 7;
        const bool diagonal = (attacks::PAWN[us][from] & bb(to)) != 0;
        switch (k) {
        case kind::QUIET:
            if (to != from + up || !target_empty || last_rank) return false;
            break;
        case kind::DOUBLE_PUSH:
            if (relative_rank(us, from) != 1 || to != from + 2 * up || !target_empty
                || pos.piece_on(from + up) != EMPTY)
                return false;
            break;
        case kind::CAPTURE:
            if (!diagonal || !target_theirs || last_rank) return false;
            break;
        case kind::EN_PASSANT:
            if (to != pos.en_passant() || !diagonal) return false;
            return en_passant_legal(pos, from, to);
        case kind::PROMO_N: case kind::PROMO_B: case kind::PROMO_R: case kind::PROMO_Q:
            if (to != from + up || !target_empty || !last_rank) return false;
            break;
        case kind::PROMO_CAPTURE_N: case kind::PROMO_CAPTURE_B:
        case kind::PROMO_CAPTURE_R: case kind::PROMO_CAPTURE_Q:
            if (!diagonal || !target_theirs || !last_rank) return false;
            break;
        default: return false;
        }
    } else {
        if (k == kind::QUIET ? !target_empty : (k != kind::CAPTURE || !target_theirs)) return false;
        if (!(piece_attacks(type, from, occ) & bb(to))) return false;
    }

    // 6. In check the move must capture the checker or block.
    if (checkers && !((checkers | attacks::BETWEEN[ksq][lsb(checkers)]) & bb(to))) return false;

    // 7. Pins.
    if (!attacks::LINE[ksq][from] || (attacks::LINE[ksq][from] & bb(to)) || (attacks::BETWEEN[ksq][from] & occ)) return true;
    // Only sliders on the line through the king and the from-square can pin; a checker
    // elsewhere was dealt with in step 6.
    const Bitboard after = occ ^ bb(from);
    const Bitboard line = attacks::LINE[ksq][from];
    const Bitboard diag = theirs & line & (pos.by_type(BISHOP) | pos.by_type(QUEEN));
    const Bitboard orth = theirs & line & (pos.by_type(ROOK) | pos.by_type(QUEEN));
    const bool diagonal_line = file_of(ksq) != file_of(from) && rank_of(ksq) != rank_of(from);
    if (diagonal_line) return !(bishop_attacks(ksq, after) & diag);
    return !(rook_attacks(ksq, after) & orth);
}

uint64_t perft(Position& pos, uint32_t depth) {
    if (depth == 0) return 1;
    MoveList moves;
    generate_all(pos, moves);
    if (depth == 1) return uint64_t(moves.size());
    uint64_t total = 0;
    for (Move m : moves) {
        pos.make_move(m);
        total += perft(pos, depth - 1);
        pos.unmake_move(m);
    }
    return total;
}

}  // namespace velmar
