// The vocabulary every module speaks: squares, colours, pieces, the 16-bit Move, bitboards,
// the score scale and Result<T> for errors that come from outside input.
// Everything here is a plain value type or a constexpr helper; nothing allocates.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velmar {

using Bitboard = uint64_t;
using Square = uint8_t;  // 0 = a1 .. 63 = h8, rank-major
using Color = uint8_t;
using PieceType = uint8_t;
using Piece = uint8_t;  // type + 6 * colour, EMPTY = 12

inline constexpr Square SQ_NONE = 64;
inline constexpr Color WHITE = 0, BLACK = 1;
inline constexpr PieceType PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5;
inline constexpr Piece EMPTY = 12;
inline constexpr std::string_view PIECE_LETTERS = "pnbrqk";

constexpr int file_of(int sq) { return sq & 7; }
constexpr int rank_of(int sq) { return sq >> 3; }
constexpr Square make_square(int file, int rank) { return Square(rank * 8 + file); }
constexpr PieceType type_of(Piece p) { return PieceType(p % 6); }
constexpr Color color_of(Piece p) { return p > 5 ? BLACK : WHITE; }
constexpr Piece make_piece(Color c, PieceType t) { return Piece(t + 6 * c); }
// Rank as seen from `c`: rank 0 is that side's back rank.
constexpr int relative_rank(Color c, int sq) { return c == WHITE ? rank_of(sq) : 7 - rank_of(sq); }

std::string square_text(Square sq);
char piece_char(Piece p);  // FEN letter, '.' for an empty square

constexpr Bitboard bb(int sq) { return Bitboard(1) << sq; }
inline int popcount(Bitboard b) { return std::popcount(b); }
inline Square lsb(Bitboard b) { return Square(std::countr_zero(b)); }
inline Square pop_lsb(Bitboard& b) {
    Square s = lsb(b);
    b &= b - 1;
    return s;
}
constexpr bool more_than_one(Bitboard b) { return (b & (b - 1)) != 0; }

inline constexpr Bitboard FILE_A = 0x0101010101010101ULL;
inline constexpr Bitboard FILE_H = FILE_A << 7;
inline constexpr Bitboard RANK_1 = 0xFFULL;
inline constexpr Bitboard RANK_8 = RANK_1 << 56;

// Move kinds: the high nibble of a Move.
namespace kind {
inline constexpr uint8_t QUIET = 0, DOUBLE_PUSH = 1, KING_CASTLE = 2, QUEEN_CASTLE = 3,
                         CAPTURE = 4, EN_PASSANT = 5, PROMO_N = 8, PROMO_B = 9, PROMO_R = 10,
                         PROMO_Q = 11, PROMO_CAPTURE_N = 12, PROMO_CAPTURE_B = 13,
                         PROMO_CAPTURE_R = 14, PROMO_CAPTURE_Q = 15;
}

// A move in 16 bits: bits 0-5 from, 6-11 to, 12-15 kind. 0 is "no move".
//   kind 0 quiet, 1 double push, 2/3 castling (written as the king's move), 4 capture,
//   5 en passant, 8-11 promotion to N/B/R/Q, 12-15 capturing promotion; 6 and 7 never occur.
//   bit 14 = captures, bit 15 = promotes, promoted type = (kind & 3) + 1.
struct Move {
    uint16_t bits = 0;

    constexpr Move() = default;
    constexpr explicit Move(uint16_t raw) : bits(raw) {}
    constexpr Move(int from, int to, int kind)
        : bits(uint16_t(from | (to << 6) | (kind << 12))) {}

    constexpr Square from() const { return Square(bits & 63); }
    constexpr Square to() const { return Square((bits >> 6) & 63); }
    constexpr uint8_t kind() const { return uint8_t(bits >> 12); }
    constexpr bool is_capture() const { return (bits & 0x4000) != 0; }
    constexpr bool is_promotion() const { return (bits & 0x8000) != 0; }
    constexpr bool is_noisy() const { return (bits & 0xC000) != 0; }
    constexpr PieceType promoted() const { return PieceType((kind() & 3) + 1); }
    constexpr bool is_castling() const { return kind() == 2 || kind() == 3; }
    constexpr bool is_en_passant() const { return kind() == 5; }
    constexpr bool is_null() const { return bits == 0; }
    constexpr explicit operator bool() const { return bits != 0; }
    constexpr bool operator==(const Move&) const = default;

    std::string text() const;  // UCI long algebraic, "0000" for the null move
};
static_assert(sizeof(Move) == 2);

inline constexpr Move NO_MOVE{};

// Score scale: centipawns from the side to move's view.
inline constexpr int32_t SCORE_MATE = 32000;        // mated at ply p scores -SCORE_MATE + p
inline constexpr int32_t SCORE_TB_WIN = 31871;      // tablebase win at ply p = SCORE_TB_WIN - p
inline constexpr int32_t SCORE_EVAL_MAX = 31871;    // static evaluations are clamped to this
inline constexpr int32_t SCORE_MATE_BOUND = 31742;  // beyond this, scores are ply-relative in the TT
inline constexpr int32_t SCORE_NONE = -32001;
inline constexpr int32_t SCORE_INFINITE = 32001;
inline constexpr int32_t SCORE_DRAW = 0;

struct Error {
    std::string message;
};

// Either a value or the message of an error from outside input. Never throws.
template <typename T>
class Result {
public:
    Result(T value) : data_(std::move(value)) {}
    Result(Error error) : data_(std::move(error)) {}

    bool ok() const { return data_.index() == 0; }
    T& value() { return std::get<0>(data_); }
    const T& value() const { return std::get<0>(data_); }
    const Error& error() const { return std::get<1>(data_); }

private:
    std::variant<T, Error> data_;
};

// One whole-file reader for networks and routers. Only a regular file is read: a directory,
// FIFO or device is refused from its metadata, before anything is allocated and without waiting
// for a writer. Errors are the system's text, "not a regular file", or the length refusal.

// The length of a regular file and its first bytes (at most `count`), for a loader that learns
// from a header how long the file must be.
struct FileHead {
    uint64_t size = 0;
    std::vector<uint8_t> bytes;
};
Result<FileHead> read_file_head(const std::string& path, size_t count);

// The whole of a regular file of at most `max_bytes`; a longer one is refused unread ("file has
// N bytes, more than M"). Reads one byte beyond the length found first, so a file that grew
// meanwhile reads one byte too long and fails the caller's exact-size check.
Result<std::vector<uint8_t>> read_file(const std::string& path, uint64_t max_bytes);

// Ends the process after one line on stderr: for broken invariants only.
[[noreturn]] void fatal(std::string_view message);

}  // namespace velmar
