// The 793 Zobrist keys: 768 piece-square keys (code * 64 + square), 16 castling-mask keys,
// 8 en-passant file keys and the side key, the first outputs of a SplitMix64 stream.
// Built at compile time, so they exist before any code runs.
#pragma once

#include <array>

#include "types.h"

namespace velmar {

inline constexpr uint64_t ZOBRIST_SEED = 0x56454C4D41523031ULL;  // fixed for the life of a build

constexpr std::array<uint64_t, 793> make_keys() {
    std::array<uint64_t, 793> keys{};
    uint64_t state = ZOBRIST_SEED;
    for (uint64_t& key : keys) {
        state += 0x9E3779B97F4A7C15ULL;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        key = z ^ (z >> 31);
    }
    return keys;
}

inline constexpr std::array<uint64_t, 793> KEYS = make_keys();

constexpr uint64_t piece_key(Piece p, int sq) { return KEYS[p * 64 + sq]; }
constexpr uint64_t castling_key(int mask) { return KEYS[768 + mask]; }
constexpr uint64_t en_passant_key(int sq) { return KEYS[784 + file_of(sq)]; }
inline constexpr uint64_t SIDE_KEY = KEYS[792];

}  // namespace velmar
