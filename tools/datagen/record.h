// The training record shared by the data generator and the trainer: one position in 32 bytes.
//
//   offset  size  field
//   0       8     occupancy, a bitboard (bit 0 = a1)
//   8       16    piece codes 0-11, one nibble each, in the order of the occupied squares from
//                 a1 upwards; the low nibble of a byte comes first
//   24      2     search score in centipawns from White's view (int16)
//   26      2     the move played, in the engine's 16-bit encoding
//   28      1     game result from White's view: 0 loss, 1 draw, 2 win
//   29      1     side to move: 0 White, 1 Black
//   30      2     ply of the position in its game, counted from the game's first position
//
// Little-endian, no header: a file is a plain array of records, so appending and resuming
// need no bookkeeping and a torn last record is recognised by the file length.
#pragma once

#include "position.h"
#include "types.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace velmar::training {

struct PackedPosition {
    uint64_t occupancy = 0;
    uint8_t pieces[16] = {};
    int16_t score = 0;
    uint16_t move = 0;
    uint8_t result = 1;
    uint8_t stm = 0;
    uint16_t ply = 0;
};
static_assert(sizeof(PackedPosition) == 32);

inline constexpr uint8_t RESULT_BLACK_WINS = 0, RESULT_DRAW = 1, RESULT_WHITE_WINS = 2;

// A board with at most 32 pieces (every legal game position).
inline PackedPosition pack(const Position& pos, int32_t white_score, Move played, uint8_t result,
                           uint16_t ply) {
    PackedPosition r;
    r.occupancy = pos.pieces();
    int i = 0;
    for (Bitboard b = r.occupancy; b;) {
        const int sq = pop_lsb(b);
        r.pieces[i / 2] |= uint8_t(pos.piece_on(sq) << (4 * (i % 2)));
        ++i;
    }
    r.score = int16_t(white_score < -32767 ? -32767 : white_score > 32767 ? 32767 : white_score);
    r.move = played.bits;
    r.result = result;
    r.stm = uint8_t(pos.side_to_move());
    r.ply = ply;
    return r;
}

// Calls f(square, piece) for every piece, squares ascending.
template <typename F>
inline void for_each_piece(const PackedPosition& r, F&& f) {
    int i = 0;
    for (Bitboard b = r.occupancy; b;) {
        const int sq = pop_lsb(b);
        f(sq, Piece((r.pieces[i / 2] >> (4 * (i % 2))) & 15));
        ++i;
    }
}

// Board and side to move as FEN; castling rights, en passant and counters are not recorded.
inline std::string to_fen(const PackedPosition& r) {
    char board[64];
    std::memset(board, 0, sizeof board);
    for_each_piece(r, [&](int sq, Piece p) {
        const char c = PIECE_LETTERS[type_of(p)];
        board[sq] = color_of(p) == WHITE ? char(c - 'a' + 'A') : c;
    });
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            const char c = board[rank * 8 + file];
            if (!c) {
                ++empty;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    fen += r.stm == WHITE ? " w - - 0 1" : " b - - 0 1";
    return fen;
}

} // namespace velmar::training
