// The prober's own board: attack tables built at compile time, pseudo-legal generation and a
// copy-make do_move that rejects moves leaving the mover in check. Positions here have no
// castling rights, so castling is never generated.
#include <bit>

#include "tbcore.h"

namespace velmar::syzygy {

namespace {

constexpr uint64_t bit(int sq) { return uint64_t(1) << sq; }

constexpr uint64_t step_set(int sq, const int (*steps)[2], int count) {
    uint64_t result = 0;
    for (int i = 0; i < count; ++i) {
        int f = (sq & 7) + steps[i][0], r = (sq >> 3) + steps[i][1];
        if (f >= 0 && f < 8 && r >= 0 && r < 8) result |= bit(r * 8 + f);
    }
    return result;
}

constexpr int KING_STEPS[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                  {1, 0},   {-1, 1}, {0, 1},  {1, 1}};
constexpr int KNIGHT_STEPS[8][2] = {{-2, -1}, {-1, -2}, {1, -2}, {2, -1},
                                    {-2, 1},  {-1, 2},  {1, 2},  {2, 1}};
constexpr int PAWN_STEPS[2][2][2] = {{{-1, -1}, {1, -1}}, {{-1, 1}, {1, 1}}};  // [white?]

constexpr std::array<uint64_t, 64> leaper(const int (*steps)[2], int count) {
    std::array<uint64_t, 64> t{};
    for (int sq = 0; sq < 64; ++sq) t[sq] = step_set(sq, steps, count);
    return t;
}

constexpr auto KING_ATTACKS = leaper(KING_STEPS, 8);
constexpr auto KNIGHT_ATTACKS = leaper(KNIGHT_STEPS, 8);
// PAWN_ATTACKS[1][sq]: squares a white pawn on sq attacks; [0]: a black pawn.
constexpr std::array<std::array<uint64_t, 64>, 2> PAWN_ATTACKS = {leaper(PAWN_STEPS[0], 2),
                                                                  leaper(PAWN_STEPS[1], 2)};

// Rays per direction, without the origin. Directions 0-3 are the rook's (north, east, south,
// west), 4-7 the bishop's (north-east, north-west, south-east, south-west). For directions that
// increase the square number the nearest blocker is the lowest set bit, otherwise the highest.
constexpr int RAY_STEPS[8][2] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0},
                                 {1, 1}, {-1, 1}, {1, -1}, {-1, -1}};
constexpr bool RAY_INCREASES[8] = {true, true, false, false, true, true, false, false};

constexpr std::array<std::array<uint64_t, 64>, 8> make_rays() {
    std::array<std::array<uint64_t, 64>, 8> rays{};
    for (int d = 0; d < 8; ++d)
        for (int sq = 0; sq < 64; ++sq) {
            int f = (sq & 7) + RAY_STEPS[d][0], r = (sq >> 3) + RAY_STEPS[d][1];
            for (; f >= 0 && f < 8 && r >= 0 && r < 8; f += RAY_STEPS[d][0], r += RAY_STEPS[d][1])
                rays[d][sq] |= bit(r * 8 + f);
        }
    return rays;
}
constexpr auto RAYS = make_rays();

uint64_t ray_attacks(int d, int sq, uint64_t occ) {
    uint64_t ray = RAYS[d][sq];
    uint64_t blockers = ray & occ;
    if (blockers) {
        int first = RAY_INCREASES[d] ? std::countr_zero(blockers) : 63 - std::countl_zero(blockers);
        ray ^= RAYS[d][first];
    }
    return ray;
}

uint64_t rook_attacks(int sq, uint64_t occ) {
    return ray_attacks(0, sq, occ) | ray_attacks(1, sq, occ) | ray_attacks(2, sq, occ)
           | ray_attacks(3, sq, occ);
}

uint64_t bishop_attacks(int sq, uint64_t occ) {
    return ray_attacks(4, sq, occ) | ray_attacks(5, sq, occ) | ray_attacks(6, sq, occ)
           | ray_attacks(7, sq, occ);
}

int pop_lsb(uint64_t& b) {
    int sq = std::countr_zero(b);
    b &= b - 1;
    return sq;
}

// Whether `sq` is attacked by the pieces of the given colour under occupancy `occ`.
bool attacked(const Board& b, int sq, bool by_white, uint64_t occ) {
    uint64_t them = by_white ? b.white : b.black;
    if (KING_ATTACKS[sq] & b.kings & them) return true;
    if (KNIGHT_ATTACKS[sq] & b.knights & them) return true;
    // A pawn of the attacking colour attacks sq from where the other colour's pawn would attack.
    if (PAWN_ATTACKS[by_white ? 0 : 1][sq] & b.pawns & them) return true;
    if (rook_attacks(sq, occ) & (b.rooks | b.queens) & them) return true;
    return (bishop_attacks(sq, occ) & (b.bishops | b.queens) & them) != 0;
}

// Attack set of the non-pawn piece on `sq`.
uint64_t piece_attacks(const Board& b, int sq, uint64_t occ) {
    uint64_t s = bit(sq);
    if (b.knights & s) return KNIGHT_ATTACKS[sq];
    if (b.bishops & s) return bishop_attacks(sq, occ);
    if (b.rooks & s) return rook_attacks(sq, occ);
    if (b.queens & s) return rook_attacks(sq, occ) | bishop_attacks(sq, occ);
    return KING_ATTACKS[sq];
}

int add_pawn_moves(TbMove* out, int n, int from, int to) {
    if ((to >> 3) == 0 || (to >> 3) == 7) {
        for (int promo = 1; promo <= 4; ++promo) out[n++] = make_tb_move(promo, from, to);
    } else {
        out[n++] = make_tb_move(0, from, to);
    }
    return n;
}

int king_square(const Board& b, bool white) {
    return std::countr_zero(b.kings & (white ? b.white : b.black));
}

template <bool CapturesOnly>
int generate(const Board& b, TbMove* out) {
    const uint64_t us = b.us(), them = b.them(), occ = b.occupied();
    const uint64_t targets = CapturesOnly ? them : ~us;
    int n = 0;
    for (uint64_t pieces = us & ~b.pawns; pieces;) {
        int from = pop_lsb(pieces);
        for (uint64_t att = piece_attacks(b, from, occ) & targets; att;)
            out[n++] = make_tb_move(0, from, pop_lsb(att));
    }
    const int side = b.white_to_move ? 1 : 0;
    const int forward = b.white_to_move ? 8 : -8;
    for (uint64_t pawns = us & b.pawns; pawns;) {
        int from = pop_lsb(pawns);
        for (uint64_t att = PAWN_ATTACKS[side][from] & them; att;)
            n = add_pawn_moves(out, n, from, pop_lsb(att));
        if (b.ep && (PAWN_ATTACKS[side][from] & bit(b.ep)))
            out[n++] = make_tb_move(0, from, b.ep);
        if (CapturesOnly) continue;
        int to = from + forward;
        if (occ & bit(to)) continue;
        n = add_pawn_moves(out, n, from, to);
        int start_rank = b.white_to_move ? 1 : 6;
        if ((from >> 3) == start_rank && !(occ & bit(to + forward)))
            out[n++] = make_tb_move(0, from, to + forward);
    }
    return n;
}

}  // namespace

int gen_captures(const Board& b, TbMove* out) { return generate<true>(b, out); }
int gen_moves(const Board& b, TbMove* out) { return generate<false>(b, out); }

bool is_en_passant(const Board& b, TbMove m) {
    return b.ep != 0 && move_to(m) == b.ep && (b.pawns & b.us() & bit(move_from(m)))
           && ((move_from(m) ^ move_to(m)) & 7) != 0;
}

bool is_capture(const Board& b, TbMove m) {
    return (b.them() & bit(move_to(m))) != 0 || is_en_passant(b, m);
}

bool is_pawn_move(const Board& b, TbMove m) { return (b.pawns & bit(move_from(m))) != 0; }

bool do_move(Board& out, const Board& b, TbMove m) {
    const int from = move_from(m), to = move_to(m), promo = move_promotes(m);
    const uint64_t from_bit = bit(from), to_bit = bit(to);
    const bool white = b.white_to_move;
    out = b;
    out.ep = 0;
    out.white_to_move = !white;
    out.rule50 = uint8_t(b.rule50 < 255 ? b.rule50 + 1 : 255);

    uint64_t* sets[6] = {&out.pawns, &out.knights, &out.bishops, &out.rooks, &out.queens,
                         &out.kings};
    if (is_en_passant(b, m)) {
        uint64_t victim = bit(white ? to - 8 : to + 8);
        out.pawns &= ~victim;
        (white ? out.black : out.white) &= ~victim;
    } else if (b.them() & to_bit) {
        for (uint64_t* s : sets) *s &= ~to_bit;
        (white ? out.black : out.white) &= ~to_bit;
    }
    for (uint64_t* s : sets)
        if (*s & from_bit) *s ^= from_bit | to_bit;
    (white ? out.white : out.black) ^= from_bit | to_bit;

    if (b.pawns & from_bit) {
        if (promo) {
            out.pawns &= ~to_bit;
            uint64_t* promoted[5] = {nullptr, &out.queens, &out.rooks, &out.bishops, &out.knights};
            *promoted[promo] |= to_bit;
        }
        if ((from ^ to) == 16) {
            int ep = (from + to) / 2;
            if (PAWN_ATTACKS[white ? 1 : 0][ep] & out.pawns & (white ? out.black : out.white))
                out.ep = uint8_t(ep);
        }
        out.rule50 = 0;
    }
    if (b.them() & to_bit) out.rule50 = 0;

    return !attacked(out, king_square(out, white), !white, out.occupied());
}

bool is_check(const Board& b) {
    return attacked(b, king_square(b, b.white_to_move), !b.white_to_move, b.occupied());
}

bool has_legal_move(const Board& b) {
    TbMove moves[TB_MAX_MOVES];
    int n = gen_moves(b, moves);
    Board next;
    for (int i = 0; i < n; ++i)
        if (do_move(next, b, moves[i])) return true;
    return false;
}

bool is_mate(const Board& b) { return is_check(b) && !has_legal_move(b); }

bool is_well_formed(const Board& b) {
    if (std::popcount(b.kings) != 2 || std::popcount(b.kings & b.white) != 1
        || std::popcount(b.kings & b.black) != 1)
        return false;
    const uint64_t sets[6] = {b.kings, b.queens, b.rooks, b.bishops, b.knights, b.pawns};
    uint64_t all = 0;
    for (uint64_t s : sets) {
        if (all & s) return false;
        all |= s;
    }
    if (b.white & b.black) return false;
    if ((b.white | b.black) != all) return false;
    return (b.pawns & 0xFF000000000000FFULL) == 0;
}

bool is_valid(const Board& b) {
    if (!is_well_formed(b)) return false;
    bool mover_white = b.white_to_move;
    return !attacked(b, king_square(b, !mover_white), mover_white, b.occupied());
}

}  // namespace velmar::syzygy
