#include "attacks.h"

#if VELMAR_PEXT
#include <immintrin.h>
#endif

namespace velmar {

namespace attacks {
std::array<Magic, 64> ROOK_MAGIC{};
std::array<Magic, 64> BISHOP_MAGIC{};
std::array<Bitboard, ROOK_TABLE_SIZE + BISHOP_TABLE_SIZE> SLIDER_TABLE{};
std::array<std::array<Bitboard, 64>, 64> LINE{};
std::array<std::array<Bitboard, 64>, 64> BETWEEN{};
}  // namespace attacks

using attacks::BETWEEN;
using attacks::LINE;
using attacks::SLIDER_TABLE;
using attacks::ROOK_MAGIC;
using attacks::BISHOP_MAGIC;

namespace {

constexpr int ROOK_DIRS[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
constexpr int BISHOP_DIRS[4][2] = {{1, 1}, {-1, 1}, {1, -1}, {-1, -1}};

// Mask: the rays from the square without the square itself and without each ray's last square.
Bitboard slider_mask(int sq, bool rook) {
    Bitboard mask = 0;
    for (const auto& d : rook ? ROOK_DIRS : BISHOP_DIRS) {
        int f = file_of(sq) + d[0], r = rank_of(sq) + d[1];
        while (f + d[0] >= 0 && f + d[0] < 8 && r + d[1] >= 0 && r + d[1] < 8) {
            mask |= bb(r * 8 + f);
            f += d[0];
            r += d[1];
        }
    }
    return mask;
}

// Inverse of bit extraction: spreads the low bits of `index` over the mask's squares.
Bitboard deposit(uint64_t index, Bitboard mask) {
    Bitboard result = 0;
    for (int i = 0; mask; ++i) {
        Square s = pop_lsb(mask);
        if (index & (uint64_t(1) << i)) result |= bb(s);
    }
    return result;
}

inline uint64_t extract(Bitboard occ, Bitboard mask) {
#if VELMAR_PEXT
    return _pext_u64(occ, mask);
#else
    uint64_t result = 0;
    for (int i = 0; mask; ++i) {
        Square s = pop_lsb(mask);
        if (occ & bb(s)) result |= uint64_t(1) << i;
    }
    return result;
#endif
}

uint64_t fill_slider(std::array<Magic, 64>& magics, uint64_t offset, bool rook) {
    for (int sq = 0; sq < 64; ++sq) {
        Magic& m = magics[sq];
        m.mask = slider_mask(sq, rook);
        m.magic = 0;
        m.offset = offset;
        m.shift = uint64_t(64 - popcount(m.mask));
        uint64_t entries = uint64_t(1) << popcount(m.mask);
        for (uint64_t i = 0; i < entries; ++i)
            SLIDER_TABLE[offset + i] = slider_attacks_slow(sq, deposit(i, m.mask), rook);
        offset += entries;
    }
    return offset;
}

}  // namespace

Bitboard slider_attacks_slow(int sq, Bitboard occ, bool rook) {
    Bitboard result = 0;
    for (const auto& d : rook ? ROOK_DIRS : BISHOP_DIRS) {
        int f = file_of(sq) + d[0], r = rank_of(sq) + d[1];
        while (f >= 0 && f < 8 && r >= 0 && r < 8) {
            result |= bb(r * 8 + f);
            if (occ & bb(r * 8 + f)) break;
            f += d[0];
            r += d[1];
        }
    }
    return result;
}

void init_attacks() {
    uint64_t end = fill_slider(ROOK_MAGIC, 0, true);
    if (end != ROOK_TABLE_SIZE) fatal("rook table size");
    end = fill_slider(BISHOP_MAGIC, end, false);
    if (end != ROOK_TABLE_SIZE + BISHOP_TABLE_SIZE) fatal("bishop table size");

    for (int a = 0; a < 64; ++a) {
        for (int b = 0; b < 64; ++b) {
            LINE[a][b] = BETWEEN[a][b] = 0;
            if (a == b) continue;
            for (bool rook : {true, false}) {
                if (slider_attacks_slow(a, 0, rook) & bb(b)) {
                    LINE[a][b] = (slider_attacks_slow(a, 0, rook) & slider_attacks_slow(b, 0, rook))
                                 | bb(a) | bb(b);
                    BETWEEN[a][b] = slider_attacks_slow(a, bb(b), rook)
                                    & slider_attacks_slow(b, bb(a), rook);
                }
            }
        }
    }
}

Bitboard rook_attacks(int sq, Bitboard occ) {
    const Magic& m = ROOK_MAGIC[sq];
    return SLIDER_TABLE[m.offset + extract(occ, m.mask)];
}

Bitboard bishop_attacks(int sq, Bitboard occ) {
    const Magic& m = BISHOP_MAGIC[sq];
    return SLIDER_TABLE[m.offset + extract(occ, m.mask)];
}

Bitboard piece_attacks(PieceType type, int sq, Bitboard occ) {
    switch (type) {
    case KNIGHT: return attacks::KNIGHT[sq];
    case BISHOP: return bishop_attacks(sq, occ);
    case ROOK: return rook_attacks(sq, occ);
    case QUEEN: return queen_attacks(sq, occ);
    case KING: return attacks::KING[sq];
    default: return 0;
    }
}

}  // namespace velmar
