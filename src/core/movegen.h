// Strictly legal move generation: pins, checks and the en-passant discovered check are
// resolved while generating, so every generated move can be made without a further test.
// The order of generation is fixed (it decides perft output and, through move ordering ties,
// the bench signature): king, knights, diagonal sliders, orthogonal sliders, free pawns,
// pinned pawns, en passant, castling.
#pragma once

#include <cstdint>

#include "position.h"

namespace velmar {

struct MoveList {
    static constexpr int CAPACITY = 256;
    Move moves[CAPACITY];
    int count = 0;

    void push(Move m) {
        if (count >= CAPACITY) fatal("move list overflow");
        moves[count++] = m;
    }
    int size() const { return count; }
    bool empty() const { return count == 0; }
    Move operator[](int i) const { return moves[i]; }
    Move* begin() { return moves; }
    Move* end() { return moves + count; }
    const Move* begin() const { return moves; }
    const Move* end() const { return moves + count; }
    bool contains(Move m) const;
};

// Append to the list (it is not cleared). noisy = captures and all promotions; quiet = the rest.
void generate_all(const Position& pos, MoveList& list);
void generate_noisy(const Position& pos, MoveList& list);
void generate_quiet(const Position& pos, MoveList& list);

bool has_legal_move(const Position& pos);
// Whether the 16-bit value is exactly a legal move here, kind included (for hash and killer moves).
bool is_legal_move(const Position& pos, Move m);

uint64_t perft(Position& pos, uint32_t depth);

}  // namespace velmar
