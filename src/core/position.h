// The board: a mailbox kept in step with bitboards by type and colour, four incremental
// Zobrist keys, checkers, and an undo stack of State records that doubles as the game
// history for repetition detection. FEN in and out, make/unmake, null moves, gives_check.
// Castling rights name their rook's square, so Chess960 positions play by the same code; the
// Chess960 flag only changes how FEN and move text are written and read.
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

// Castling rights mask bits. A right's index (castling_index) is its bit number. OO is the
// castling with the rook on the h-file side of the king, OOO the one on the a-file side.
inline constexpr uint8_t WHITE_OO = 1, WHITE_OOO = 2, BLACK_OO = 4, BLACK_OOO = 8;

constexpr int castling_index(Color c, bool queen_side) { return 2 * c + int(queen_side); }
// The right a castling move uses: its king starts on the mover's back rank.
constexpr int castling_index(Move m) {
    return castling_index(rank_of(m.from()) == 7 ? BLACK : WHITE, m.kind() == kind::QUEEN_CASTLE);
}
// Where the king and rook of a castling end, in Chess960 as in standard chess: king on the g- or
// c-file, rook on the f- or d-file. A castling Move is written as the king's move to its square.
constexpr Square castling_king_to(Color c, bool queen_side) {
    return make_square(queen_side ? 2 : 6, c == WHITE ? 0 : 7);
}
constexpr Square castling_rook_to(Color c, bool queen_side) {
    return make_square(queen_side ? 3 : 5, c == WHITE ? 0 : 7);
}

// How move text names a castling: the king's two-square move (e1g1), or in Chess960 the king
// taking its own rook (e1h1), which stays unambiguous when the king moves one square or none.
// A rook's start square never changes during a game, so the notation of any position of a game
// serves all of them, a whole principal variation included.
struct MoveNotation {
    bool chess960 = false;
    Square rooks[4] = {SQ_NONE, SQ_NONE, SQ_NONE, SQ_NONE};  // by castling index

    std::string text(Move m) const;
};

// The FEN of Chess960 start position `white` (0-959 in the usual numbering, 518 being the
// standard arrangement), with black's pieces arranged as start position `black`; the two are
// equal except in double Chess960. Castling is written in Shredder form.
std::string chess960_start_fen(int white, int black);

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
    // Errors read "bad FEN: ...". Castling may be KQkq, Shredder-FEN (rook files, "HAha") or
    // X-FEN (KQkq for the outermost rook, a file letter for an inner one). Without chess960,
    // rights need the king on the e-file and the rook in its corner.
    static Result<Position> from_fen(std::string_view fen, bool chess960 = false);
    static Position startpos(bool chess960 = false);
    std::string to_fen() const;  // castling as KQkq, or as rook files in Chess960
    std::string display() const;  // console board; no final newline

    void make_move(Move m);    // m must be legal here
    void unmake_move(Move m);  // m must be the last move made
    void make_null();
    void unmake_null();

    bool gives_check(Move m) const;
    // Move text as the notation of this position writes it; parsing matches that text exactly
    // and gives NO_MOVE when no legal move matches.
    Move parse_uci_move(std::string_view text) const;
    std::string move_text(Move m) const { return notation().text(m); }
    MoveNotation notation() const;

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
    bool chess960() const { return chess960_; }
    // For a right by index, while it is held: the rook's start square, the squares that must be
    // empty but for that king and rook (every square either crosses or lands on), and the
    // squares the king crosses or lands on, which must not be attacked.
    Square castling_rook(int index) const { return castling_rooks_[index]; }
    Bitboard castling_path(int index) const { return castling_path_[index]; }
    Bitboard castling_walk(int index) const { return castling_walk_[index]; }
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
    void add_castling_right(Color c, Square rook_sq);

    std::vector<State> states_;
    Bitboard by_type_[6] = {};
    Bitboard by_color_[2] = {};
    Piece board_[64];
    State st_;
    uint32_t fullmove_ = 1;
    Color side_ = WHITE;
    // Fixed when the FEN is read: rights are only ever lost during a game, never moved.
    Square castling_rooks_[4] = {SQ_NONE, SQ_NONE, SQ_NONE, SQ_NONE};
    Bitboard castling_path_[4] = {};
    Bitboard castling_walk_[4] = {};
    uint8_t castling_kept_[64];  // rights kept when a move leaves or reaches the square
    bool chess960_ = false;
};

}  // namespace velmar
