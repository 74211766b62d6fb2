// The board: a mailbox kept in step with bitboards by type and colour, four incremental
// Zobrist keys, checkers, and an undo stack of State records that doubles as the game
// history for repetition detection. FEN in and out, make/unmake, null moves, gives_check.
// Relies on init_attacks() having run. A Position belongs to one thread; copies are cheap.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "attacks.h"
#include "types.h"
#include "zobrist.h"

namespace velmar {

inline constexpr std::string_view START_FEN =
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";

// Castling rights mask bits.
inline constexpr uint8_t WHITE_OO = 1, WHITE_OOO = 2, BLACK_OO = 4, BLACK_OOO = 8;

// The fields saved before every move or null move and copied back on undo.
struct State {
    uint64_t non_pawn_key[2] = {0, 0};
    uint64_t key = 0;
    uint64_t pawn_key = 0;
    uint64_t minor_key = 0;
    Bitboard checkers = 0;
    uint16_t halfmove_clock = 0;
    uint16_t plies_since_null = 0;  // bounds the repetition scan: a null move is no real move
    uint8_t castling = 0;
    uint8_t en_passant = SQ_NONE;
    uint8_t captured = EMPTY;
};

class Position {
public:
    static Result<Position> from_fen(std::string_view fen);  // errors read "bad FEN: ..."
    static Position startpos();
    std::string to_fen() const;
    std::string display() const;  // console board; no final newline

    void make_move(Move m);    // m must be legal here
    void unmake_move(Move m);  // m must be the last move made
    void make_null();
    void unmake_null();

    bool gives_check(Move m) const;
    Move parse_uci_move(std::string_view text) const;  // NO_MOVE when no legal move matches

    Bitboard attackers_to(int sq, Bitboard occ) const;
    bool is_attacked(int sq, Color by, Bitboard occ) const;

    // Read access.
    Piece piece_on(int sq) const { return board_[sq]; }
    Bitboard pieces() const { return by_color_[WHITE] | by_color_[BLACK]; }
    Bitboard by_color(Color c) const { return by_color_[c]; }
    Bitboard by_type(PieceType t) const { return by_type_[t]; }
    Bitboard pieces(Color c, PieceType t) const { return by_color_[c] & by_type_[t]; }
    Square king_square(Color c) const { return lsb(pieces(c, KING)); }
    Color side_to_move() const { return side_; }
    uint8_t castling() const { return st_.castling; }
    Square en_passant() const { return st_.en_passant; }
    uint16_t halfmove_clock() const { return st_.halfmove_clock; }
    uint16_t plies_since_null() const { return st_.plies_since_null; }
    uint32_t fullmove_number() const { return fullmove_; }
    Bitboard checkers() const { return st_.checkers; }
    bool in_check() const { return st_.checkers != 0; }
    uint64_t key() const { return st_.key; }
    uint64_t pawn_key() const { return st_.pawn_key; }
    uint64_t non_pawn_key(Color c) const { return st_.non_pawn_key[c]; }
    uint64_t minor_key() const { return st_.minor_key; }
    Piece captured() const { return st_.captured; }
    const State& state() const { return st_; }
    // Undo records, oldest first; states()[size - k] was taken k plies ago.
    const std::vector<State>& states() const { return states_; }
    size_t ply_count() const { return states_.size(); }

    bool operator==(const Position& o) const;  // every field, undo stack included

private:
    Position();
    // Keys = false: board and bitboards only (unmake restores the keys from the State).
    template <bool Keys = true>
    void put_piece(Piece p, int sq);
    template <bool Keys = true>
    void remove_piece(int sq);
    template <bool Keys = true>
    void move_piece(int from, int to);
    void set_en_passant_if_capturable(int sq);
    void toggle_keys(Piece p, int sq);

    std::vector<State> states_;
    Bitboard by_type_[6] = {};
    Bitboard by_color_[2] = {};
    Piece board_[64];
    State st_;
    uint32_t fullmove_ = 1;
    Color side_ = WHITE;
};

}  // namespace velmar
