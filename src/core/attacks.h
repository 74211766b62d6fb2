// Attack tables: leapers are built at compile time, sliders (indexed by bit extraction) and
// the LINE/BETWEEN tables by init_attacks(), which main calls once after the processor check.
// After that every table is immutable and read by all threads without synchronisation.
#pragma once

#include <array>

#include "types.h"

namespace velmar {

struct Magic {
    Bitboard mask;
    uint64_t magic;  // unused: lookups extract the occupancy bits instead of multiplying
    uint64_t offset;
    uint64_t shift;
};

inline constexpr int ROOK_TABLE_SIZE = 102'400;
inline constexpr int BISHOP_TABLE_SIZE = 5'248;

namespace attacks {
extern std::array<Magic, 64> ROOK_MAGIC;
extern std::array<Magic, 64> BISHOP_MAGIC;
extern std::array<Bitboard, ROOK_TABLE_SIZE + BISHOP_TABLE_SIZE> SLIDER_TABLE;
extern std::array<std::array<Bitboard, 64>, 64> LINE;
extern std::array<std::array<Bitboard, 64>, 64> BETWEEN;
}  // namespace attacks

namespace detail {
constexpr Bitboard step_set(int sq, const int (*steps)[2], int count) {
    Bitboard result = 0;
    for (int i = 0; i < count; ++i) {
        int f = file_of(sq) + steps[i][0], r = rank_of(sq) + steps[i][1];
        if (f >= 0 && f < 8 && r >= 0 && r < 8) result |= bb(r * 8 + f);
    }
    return result;
}
constexpr std::array<Bitboard, 64> leaper_table(const int (*steps)[2], int count) {
    std::array<Bitboard, 64> t{};
    for (int sq = 0; sq < 64; ++sq) t[sq] = step_set(sq, steps, count);
    return t;
}
inline constexpr int KING_STEPS[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                         {1, 0},   {-1, 1}, {0, 1},  {1, 1}};
inline constexpr int KNIGHT_STEPS[8][2] = {{-2, -1}, {-1, -2}, {1, -2}, {2, -1},
                                           {-2, 1},  {-1, 2},  {1, 2},  {2, 1}};
inline constexpr int PAWN_STEPS[2][2][2] = {{{-1, 1}, {1, 1}}, {{-1, -1}, {1, -1}}};
constexpr std::array<std::array<Bitboard, 64>, 2> pawn_table() {
    std::array<std::array<Bitboard, 64>, 2> t{};
    for (int c = 0; c < 2; ++c)
        for (int sq = 0; sq < 64; ++sq) t[c][sq] = step_set(sq, PAWN_STEPS[c], 2);
    return t;
}
}  // namespace detail

namespace attacks {
inline constexpr std::array<Bitboard, 64> KING = detail::leaper_table(detail::KING_STEPS, 8);
inline constexpr std::array<Bitboard, 64> KNIGHT = detail::leaper_table(detail::KNIGHT_STEPS, 8);
inline constexpr std::array<std::array<Bitboard, 64>, 2> PAWN = detail::pawn_table();
}  // namespace attacks

// Fills the slider, LINE and BETWEEN tables. Idempotent; not thread-safe, call before threads.
void init_attacks();

// Attack sets include the first blocker in each direction, whatever its colour.
Bitboard rook_attacks(int sq, Bitboard occ);
Bitboard bishop_attacks(int sq, Bitboard occ);
inline Bitboard queen_attacks(int sq, Bitboard occ) {
    return rook_attacks(sq, occ) | bishop_attacks(sq, occ);
}
// Attacks of a piece type from a square (pawns excluded: their attacks depend on colour).
Bitboard piece_attacks(PieceType type, int sq, Bitboard occ);

// Ray walk used to build the tables; slow, also the oracle for the tests.
Bitboard slider_attacks_slow(int sq, Bitboard occ, bool rook);

}  // namespace velmar
