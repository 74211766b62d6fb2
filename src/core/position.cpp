#include "position.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "movegen.h"

namespace velmar {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !is_space(text[i])) ++i;
        if (i > start) fields.push_back(text.substr(start, i - start));
    }
    return fields;
}

template <typename T>
bool parse_unsigned(std::string_view s, T& out) {
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && ptr == s.data() + s.size();
}

Error fen_error(std::string message) { return Error{"bad FEN: " + std::move(message)}; }

// Length of the well-formed UTF-8 character that starts `s`, or 0 when its first bytes are not one
// (overlong forms, surrogates and code points past U+10FFFF included).
size_t utf8_length(std::string_view s) {
    auto byte = [&](size_t i) { return i < s.size() ? uint8_t(s[i]) : uint8_t(0); };
    if (s.empty()) return 0;
    const uint8_t lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

// Input text fit to echo in a message. The front end prints messages as they are, so whole UTF-8
// characters pass, while control characters and bytes that form no character become \xNN: the
// output stays valid UTF-8 and a stray escape byte cannot reach the console.
std::string printable(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t length = utf8_length(text.substr(i));
        const uint8_t lead = uint8_t(text[i]);
        const bool control = (length == 1 && (lead < 0x20 || lead == 0x7F))
                             || (length == 2 && lead == 0xC2 && uint8_t(text[i + 1]) < 0xA0);
        if (length == 0 || control) {
            for (size_t end = i + std::max<size_t>(length, 1); i < end; ++i) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(uint8_t(text[i])));
                out += hex;
            }
        } else {
            out += text.substr(i, length);
            i += length;
        }
    }
    return out;
}

// The character starting at byte i of `text`, fit to echo: a whole UTF-8 character, or one byte.
std::string printable_char_at(std::string_view text, size_t i) {
    return printable(text.substr(i, std::max<size_t>(utf8_length(text.substr(i)), 1)));
}

// Counts no game can reach. Promotions only turn pawns into pieces, so each knight, bishop or
// rook beyond two and each queen beyond one needs a pawn missing from the eight. Without this a
// board full of queens has more moves than a MoveList holds.
std::string material_error(const Position& pos, Color c) {
    const std::string side = c == WHITE ? "white" : "black";
    const int pawns = popcount(pos.pieces(c, PAWN));
    if (popcount(pos.by_color(c)) > 16) return side + " has more than 16 pieces";
    if (pawns > 8) return side + " has more than 8 pawns";
    constexpr int INITIAL[] = {8, 2, 2, 2, 1};
    int promoted = 0;
    for (PieceType t : {KNIGHT, BISHOP, ROOK, QUEEN})
        promoted += std::max(popcount(pos.pieces(c, t)) - INITIAL[t], 0);
    if (promoted > 8 - pawns) return side + " has more promoted pieces than missing pawns";
    return {};
}

}  // namespace

std::string square_text(Square sq) {
    return {char('a' + file_of(sq)), char('1' + rank_of(sq))};
}

char piece_char(Piece p) {
    if (p >= EMPTY) return '.';
    char c = PIECE_LETTERS[type_of(p)];
    return color_of(p) == WHITE ? char(c - 'a' + 'A') : c;
}

std::string Move::text() const {
    if (is_null()) return "0000";
    std::string s = square_text(from()) + square_text(to());
    if (is_promotion()) s += PIECE_LETTERS[promoted()];
    return s;
}

std::string MoveNotation::text(Move m) const {
    if (!chess960 || !m.is_castling()) return m.text();
    return square_text(m.from()) + square_text(rooks[castling_index(m)]);
}

std::string chess960_start_fen(int white, int black) {
    // The number picks, from its lowest digits up: the light-squared bishop (base 4), the
    // dark-squared bishop (base 4), the queen among the six free squares, the knights' pair
    // among the five left (base 10); rook, king and rook fill the last three in that order.
    constexpr int KNIGHT_PAIRS[10][2] = {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2},
                                         {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};
    auto back_rank = [&](int n) {
        std::string rank(8, ' ');
        rank[size_t(2 * (n % 4) + 1)] = 'B';
        n /= 4;
        rank[size_t(2 * (n % 4))] = 'B';
        n /= 4;
        auto place_on_free = [&](int nth, char piece) {
            for (char& square : rank)
                if (square == ' ' && nth-- == 0) square = piece;
        };
        place_on_free(n % 6, 'Q');
        n /= 6;
        // The farther knight goes first, so that the nearer one's index still counts the
        // same free squares.
        place_on_free(KNIGHT_PAIRS[n][1], 'N');
        place_on_free(KNIGHT_PAIRS[n][0], 'N');
        for (char piece : {'R', 'K', 'R'}) place_on_free(0, piece);
        return rank;
    };
    const std::string w = back_rank(white), b = back_rank(black);
    std::string castling;
    for (const std::string* rank : {&w, &b}) {
        const char base = rank == &w ? 'A' : 'a';
        castling += char(base + rank->rfind('R'));
        castling += char(base + rank->find('R'));
    }
    std::string black_rank;
    for (char c : b) black_rank += char(c - 'A' + 'a');
    return black_rank + "/pppppppp/8/8/8/8/PPPPPPPP/" + w + " w " + castling + " - 0 1";
}

void fatal(std::string_view message) {
    std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
    std::fflush(stderr);
    std::_Exit(1);
}

Position::Position() {
    states_.reserve(256);
    for (auto& p : board_) p = EMPTY;
    for (auto& kept : castling_kept_) kept = 15;
}

void Position::toggle_keys(Piece p, int sq) {
    uint64_t k = piece_key(p, sq);
    st_.key ^= k;
    PieceType t = type_of(p);
    if (t == PAWN) {
        st_.pawn_key ^= k;
    } else {
        st_.non_pawn_key[color_of(p)] ^= k;
        if (t == KNIGHT || t == BISHOP || t == KING) st_.minor_key ^= k;
    }
}

template <bool Keys>
void Position::put_piece(Piece p, int sq) {
    board_[sq] = p;
    by_type_[type_of(p)] |= bb(sq);
    by_color_[color_of(p)] |= bb(sq);
    if constexpr (Keys) toggle_keys(p, sq);
}

template <bool Keys>
void Position::remove_piece(int sq) {
    Piece p = board_[sq];
    board_[sq] = EMPTY;
    by_type_[type_of(p)] ^= bb(sq);
    by_color_[color_of(p)] ^= bb(sq);
    if constexpr (Keys) toggle_keys(p, sq);
}

template <bool Keys>
void Position::move_piece(int from, int to) {
    Piece p = board_[from];
    Bitboard both = bb(from) | bb(to);
    board_[from] = EMPTY;
    board_[to] = p;
    by_type_[type_of(p)] ^= both;
    by_color_[color_of(p)] ^= both;
    if constexpr (Keys) {
        toggle_keys(p, from);
        toggle_keys(p, to);
    }
}

// The en-passant square is kept only when a pawn of the side to move attacks it, so that
// keys and repetitions ignore en-passant rights nobody can use. Pins are not considered.
void Position::set_en_passant_if_capturable(int sq) {
    if (attacks::PAWN[side_ ^ 1][sq] & pieces(side_, PAWN)) {
        st_.en_passant = Square(sq);
        st_.key ^= en_passant_key(sq);
    }
}

namespace {

std::string rank_error(int rank) {
    return "rank " + std::to_string(rank + 1) + " does not have 8 squares";
}

}  // namespace

void Position::add_castling_right(Color c, Square rook_sq) {
    const Square ksq = king_square(c);
    const bool queen_side = file_of(rook_sq) < file_of(ksq);
    // Always 0-3; the mask lets the compiler see it (sanitizer builds warn of an overflow).
    const int index = castling_index(c, queen_side) & 3;
    const Square king_to = castling_king_to(c, queen_side);
    const Square rook_to = castling_rook_to(c, queen_side);
    st_.castling |= uint8_t(1 << index);
    castling_rooks_[index] = rook_sq;
    castling_kept_[ksq] &= uint8_t(~(1 << index));
    castling_kept_[rook_sq] &= uint8_t(~(1 << index));
    castling_walk_[index] = attacks::BETWEEN[ksq][king_to] | bb(king_to);
    castling_path_[index] =
        (castling_walk_[index] | attacks::BETWEEN[rook_sq][rook_to] | bb(rook_to))
        & ~(bb(ksq) | bb(rook_sq));
}

Result<Position> Position::from_fen(std::string_view fen, bool chess960) {
    std::vector<std::string_view> fields = split_fields(fen);
    if (fields.empty()) return fen_error("empty");

    Position pos;
    int file = 0, rank = 7;
    const std::string_view placement = fields[0];
    for (size_t i = 0; i < placement.size(); ++i) {
        const char c = placement[i];
        if (c == '/') {
            if (file != 8 && rank >= 0) return fen_error(rank_error(rank));
            file = 0;
            --rank;
        } else if (c >= '1' && c <= '8') {
            file += c - '0';
            if (file > 8 && rank >= 0) return fen_error(rank_error(rank));
        } else if (size_t t = PIECE_LETTERS.find(char(c | 0x20));
                   t != std::string_view::npos && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            if (file >= 8 || rank < 0 || rank > 7) return fen_error("piece off the board");
            Color color = (c >= 'a' && c <= 'z') ? BLACK : WHITE;
            if (pos.board_[rank * 8 + file] != EMPTY) pos.remove_piece(rank * 8 + file);
            pos.put_piece(make_piece(color, PieceType(t)), rank * 8 + file);
            ++file;
        } else {
            return fen_error("bad piece '" + printable_char_at(placement, i) + "'");
        }
    }
    // A short rank or a missing one would leave squares nobody meant to be empty.
    if (rank > 0) return fen_error("the board has " + std::to_string(8 - rank) + " ranks, not 8");
    if (rank < 0) return fen_error("the board has more than 8 ranks");
    if (rank == 0 && file != 8) return fen_error(rank_error(rank));
    if (popcount(pos.pieces(WHITE, KING)) != 1 || popcount(pos.pieces(BLACK, KING)) != 1)
        return fen_error("each side needs exactly one king");
    // A pawn starts on its second rank and is promoted on reaching the last.
    if (pos.by_type(PAWN) & (RANK_1 | RANK_8)) return fen_error("pawn on the first or last rank");
    for (Color c : {WHITE, BLACK})
        if (std::string error = material_error(pos, c); !error.empty())
            return fen_error(std::move(error));

    std::string_view side = fields.size() > 1 ? fields[1] : "w";
    if (side == "w") pos.side_ = WHITE;
    else if (side == "b") pos.side_ = BLACK;
    else return fen_error("bad side '" + printable(side) + "'");

    std::string_view castling = fields.size() > 2 ? fields[2] : "-";
    for (size_t i = 0; i < castling.size(); ++i) {
        const char c = castling[i];
        const char upper = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
        if (c != '-' && upper != 'K' && upper != 'Q' && (upper < 'A' || upper > 'H'))
            return fen_error("bad castling '" + printable_char_at(castling, i) + "'");
    }
    pos.chess960_ = chess960;
    for (const char c : castling) {
        if (c == '-') continue;
        const Color color = c >= 'a' ? BLACK : WHITE;
        const char upper = color == BLACK ? char(c - 'a' + 'A') : c;
        const int home = color == WHITE ? 0 : 56;
        const Square ksq = pos.king_square(color);
        const Piece rook = make_piece(color, ROOK);
        // Rights whose king or rook is not at home would let the generator castle with a
        // missing piece, so they are dropped silently.
        if (rank_of(ksq) != rank_of(home)) continue;
        Square rook_sq = SQ_NONE;
        if (upper == 'K' || upper == 'Q') {
            // The outermost rook on that side of the king.
            const int step = upper == 'K' ? -1 : 1;
            for (int f = upper == 'K' ? 7 : 0; f != file_of(ksq); f += step) {
                if (pos.board_[home + f] == rook) {
                    rook_sq = Square(home + f);
                    break;
                }
            }
        } else if (pos.board_[home + upper - 'A'] == rook) {
            rook_sq = Square(home + upper - 'A');
        }
        if (rook_sq == SQ_NONE) continue;
        if (!chess960 && (file_of(ksq) != 4 || (file_of(rook_sq) != 0 && file_of(rook_sq) != 7)))
            continue;
        const int index = castling_index(color, file_of(rook_sq) < file_of(ksq));
        if (pos.castling_rooks_[index] == rook_sq) continue;
        if (pos.castling_rooks_[index] != SQ_NONE)
            return fen_error("castling '" + printable(castling) + "' names two rooks for one side");
        pos.add_castling_right(color, rook_sq);
    }
    pos.st_.key ^= castling_key(pos.st_.castling);

    std::string_view ep = fields.size() > 3 ? fields[3] : "-";
    if (ep != "-") {
        if (ep.size() != 2 || ep[0] < 'a' || ep[0] > 'h' || ep[1] < '1' || ep[1] > '8')
            return fen_error("bad en-passant '" + printable(ep) + "'");
        // Unlike after a double push in make_move, the square can be anything here, and one no
        // double push could have left lets the generator take a pawn that is not there, or one
        // of the mover's own. Such a square is dropped like one nobody can capture on.
        const int sq = make_square(ep[0] - 'a', ep[1] - '1');
        const Color us = pos.side_;
        const int ahead = us == WHITE ? 8 : -8;  // the way the side to move's pawns go
        const bool left_by_double_push = rank_of(sq) == (us == WHITE ? 5 : 2)
                                         && pos.board_[sq] == EMPTY
                                         && pos.board_[sq + ahead] == EMPTY
                                         && pos.board_[sq - ahead] == make_piece(us ^ 1, PAWN);
        if (left_by_double_push) pos.set_en_passant_if_capturable(sq);
    }

    uint16_t halfmove = 0;
    if (fields.size() <= 4 || !parse_unsigned(fields[4], halfmove)) halfmove = 0;
    pos.st_.halfmove_clock = halfmove;
    uint32_t fullmove = 1;
    if (fields.size() <= 5 || !parse_unsigned(fields[5], fullmove) || fullmove == 0) fullmove = 1;
    pos.fullmove_ = fullmove;

    if (pos.side_ == BLACK) pos.st_.key ^= SIDE_KEY;
    Color us = pos.side_;
    pos.st_.checkers = pos.attackers_to(pos.king_square(us), pos.pieces()) & pos.by_color(us ^ 1);
    if (pos.is_attacked(pos.king_square(us ^ 1), us, pos.pieces()))
        return fen_error("side not to move is in check");
    return pos;
}

Position Position::startpos(bool chess960) {
    Result<Position> pos = from_fen(START_FEN, chess960);
    if (!pos.ok()) fatal("start FEN is valid");
    return pos.value();
}

std::string Position::to_fen() const {
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            Piece p = board_[rank * 8 + file];
            if (p == EMPTY) {
                ++empty;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += piece_char(p);
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    fen += side_ == WHITE ? " w " : " b ";
    if (!st_.castling) fen += '-';
    for (int index = 0; index < 4; ++index) {
        if (!(st_.castling & (1 << index))) continue;
        if (chess960_)
            fen += char((index < 2 ? 'A' : 'a') + file_of(castling_rooks_[index]));
        else
            fen += "KQkq"[index];
    }
    fen += ' ';
    fen += st_.en_passant == SQ_NONE ? std::string("-") : square_text(st_.en_passant);
    fen += ' ';
    fen += std::to_string(st_.halfmove_clock);
    fen += ' ';
    fen += std::to_string(fullmove_);
    return fen;
}

std::string Position::display() const {
    std::string out;
    for (int rank = 7; rank >= 0; --rank) {
        out += ' ';
        out += char('1' + rank);
        out += ' ';
        for (int file = 0; file < 8; ++file) {
            out += ' ';
            out += piece_char(board_[rank * 8 + file]);
        }
        out += '\n';
    }
    out += "\n    a b c d e f g h\n\n";
    out += "FEN: " + to_fen() + "\n";
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(st_.key));
    out += "Hash: ";
    out += hash;
    return out;
}

Bitboard Position::attackers_to(int sq, Bitboard occ) const {
    return (attacks::KNIGHT[sq] & by_type_[KNIGHT]) | (attacks::KING[sq] & by_type_[KING])
           | (attacks::PAWN[BLACK][sq] & pieces(WHITE, PAWN)) | (attacks::PAWN[WHITE][sq] & pieces(BLACK, PAWN))
           | (bishop_attacks(sq, occ) & (by_type_[BISHOP] | by_type_[QUEEN]))
           | (rook_attacks(sq, occ) & (by_type_[ROOK] | by_type_[QUEEN]));
}

bool Position::is_attacked(int sq, Color by, Bitboard occ) const {
    Bitboard them = by_color_[by];
    if (attacks::KNIGHT[sq] & them & by_type_[KNIGHT]) return true;
    if (attacks::PAWN[by ^ 1][sq] & them & by_type_[PAWN]) return true;
    if (attacks::KING[sq] & them & by_type_[KING]) return true;
    Bitboard queens = by_type_[QUEEN];
    if (bishop_attacks(sq, occ) & them & (by_type_[BISHOP] | queens)) return true;
    return (rook_attacks(sq, occ) & them & (by_type_[ROOK] | queens)) != 0;
}

void Position::make_move(Move m) {
    states_.push_back(st_);
    ++st_.halfmove_clock;
    if (st_.plies_since_null < UINT16_MAX) ++st_.plies_since_null;
    st_.captured = EMPTY;
    if (st_.en_passant != SQ_NONE) {
        st_.key ^= en_passant_key(st_.en_passant);
        st_.en_passant = SQ_NONE;
    }

    const int from = m.from(), to = m.to();
    const uint8_t k = m.kind();
    const Color us = side_;
    const Piece mover = board_[from];

    if (k == kind::KING_CASTLE || k == kind::QUEEN_CASTLE) {
        // Both pieces leave before either lands: in Chess960 the king may land where its rook
        // stood, or the rook where the king stood, or either may not move at all.
        const bool queen_side = k == kind::QUEEN_CASTLE;
        const int rook_from = castling_rooks_[castling_index(us, queen_side)];
        const Piece rook = board_[rook_from];
        remove_piece(rook_from);
        remove_piece(from);
        put_piece(mover, to);
        put_piece(rook, castling_rook_to(us, queen_side));
    } else {
        if (k == kind::EN_PASSANT) {
            st_.captured = board_[to ^ 8];
            remove_piece(to ^ 8);
        } else if (m.is_capture()) {
            st_.captured = board_[to];
            remove_piece(to);
            st_.halfmove_clock = 0;
        }
        if (m.is_promotion()) {
            remove_piece(from);
            put_piece(make_piece(us, m.promoted()), to);
        } else {
            move_piece(from, to);
        }
    }

    if (type_of(mover) == PAWN) {
        st_.halfmove_clock = 0;
        if (k == kind::DOUBLE_PUSH) {
            side_ = us ^ 1;  // the rule looks at the pawns of the side about to move
            set_en_passant_if_capturable((from + to) / 2);
            side_ = us;
        }
    }

    uint8_t rights = st_.castling & castling_kept_[from] & castling_kept_[to];
    if (rights != st_.castling) {
        st_.key ^= castling_key(st_.castling) ^ castling_key(rights);
        st_.castling = rights;
    }

    side_ = us ^ 1;
    st_.key ^= SIDE_KEY;
    if (us == BLACK) ++fullmove_;
    st_.checkers = attackers_to(king_square(side_), pieces()) & by_color_[us];
}

void Position::unmake_move(Move m) {
    if (states_.empty()) fatal("unmake without make");
    const Color us = side_ ^ 1;
    side_ = us;
    if (us == BLACK) --fullmove_;

    const int from = m.from(), to = m.to();
    const uint8_t k = m.kind();
    // Keys, counters and rights come back wholesale from the State below, so only the board
    // and bitboards are undone here.
    if (k == kind::KING_CASTLE || k == kind::QUEEN_CASTLE) {
        const bool queen_side = k == kind::QUEEN_CASTLE;
        const int rook_to = castling_rook_to(us, queen_side);
        const Piece rook = board_[rook_to];
        remove_piece<false>(to);
        remove_piece<false>(rook_to);
        put_piece<false>(make_piece(us, KING), from);
        put_piece<false>(rook, castling_rooks_[castling_index(us, queen_side)]);
    } else {
        if (m.is_promotion()) {
            remove_piece<false>(to);
            put_piece<false>(make_piece(us, PAWN), from);
        } else {
            move_piece<false>(to, from);
        }
        if (k == kind::EN_PASSANT) put_piece<false>(st_.captured, to ^ 8);
        else if (m.is_capture()) put_piece<false>(st_.captured, to);
    }
    st_ = states_.back();
    states_.pop_back();
}

void Position::make_null() {
    states_.push_back(st_);
    if (st_.en_passant != SQ_NONE) {
        st_.key ^= en_passant_key(st_.en_passant);
        st_.en_passant = SQ_NONE;
    }
    ++st_.halfmove_clock;
    st_.plies_since_null = 0;
    st_.captured = EMPTY;
    side_ ^= 1;
    st_.key ^= SIDE_KEY;
    st_.checkers = 0;
}

void Position::unmake_null() {
    if (states_.empty()) fatal("unmake_null without make_null");
    side_ ^= 1;
    st_ = states_.back();
    states_.pop_back();
}

bool Position::gives_check(Move m) const {
    const Color us = side_;
    const int from = m.from(), to = m.to();
    const int ksq = king_square(us ^ 1);
    Bitboard occ = (pieces() ^ bb(from)) | bb(to);

    if (m.is_castling()) {
        // Only the rook can give check. A line opened by the king or rook leaving its square
        // runs along the back rank, where the two of them stand again on their new squares.
        const bool queen_side = m.kind() == kind::QUEEN_CASTLE;
        const int rook_from = castling_rooks_[castling_index(us, queen_side)];
        const int rook_to = castling_rook_to(us, queen_side);
        const Bitboard after = (pieces() ^ bb(from) ^ bb(rook_from)) | bb(to) | bb(rook_to);
        return (rook_attacks(rook_to, after) & bb(ksq)) != 0;
    }
    int captured_sq = to;
    if (m.is_en_passant()) {
        captured_sq = to ^ 8;
        occ &= ~bb(captured_sq);
    }

    PieceType t = m.is_promotion() ? m.promoted() : type_of(board_[from]);
    Bitboard direct = t == PAWN ? attacks::PAWN[us][to] : t == KING ? 0 : piece_attacks(t, to, occ);
    if (direct & bb(ksq)) return true;

    bool on_line = attacks::LINE[ksq][from] != 0 || (m.is_en_passant() && attacks::LINE[ksq][captured_sq] != 0);
    if (!on_line) return false;
    Bitboard mine = by_color_[us] & ~bb(from);
    Bitboard diag = mine & (by_type_[BISHOP] | by_type_[QUEEN]);
    Bitboard orth = mine & (by_type_[ROOK] | by_type_[QUEEN]);
    return (bishop_attacks(ksq, occ) & diag) || (rook_attacks(ksq, occ) & orth);
}

Move Position::parse_uci_move(std::string_view text) const {
    MoveList moves;
    generate_all(*this, moves);
    const MoveNotation writer = notation();
    for (Move m : moves)
        if (writer.text(m) == text) return m;
    return NO_MOVE;
}

MoveNotation Position::notation() const {
    MoveNotation n;
    n.chess960 = chess960_;
    for (int i = 0; i < 4; ++i) n.rooks[i] = castling_rooks_[i];
    return n;
}

bool Position::operator==(const Position& o) const {
    auto same_state = [](const State& a, const State& b) {
        return a.non_pawn_key[0] == b.non_pawn_key[0] && a.non_pawn_key[1] == b.non_pawn_key[1]
               && a.key == b.key && a.pawn_key == b.pawn_key && a.minor_key == b.minor_key
               && a.checkers == b.checkers && a.halfmove_clock == b.halfmove_clock
               && a.plies_since_null == b.plies_since_null
               && a.castling == b.castling && a.en_passant == b.en_passant
               && a.captured == b.captured;
    };
    if (states_.size() != o.states_.size()) return false;
    for (size_t i = 0; i < states_.size(); ++i)
        if (!same_state(states_[i], o.states_[i])) return false;
    for (int i = 0; i < 64; ++i)
        if (board_[i] != o.board_[i]) return false;
    for (int i = 0; i < 6; ++i)
        if (by_type_[i] != o.by_type_[i]) return false;
    for (int i = 0; i < 4; ++i)
        if (castling_rooks_[i] != o.castling_rooks_[i] || castling_path_[i] != o.castling_path_[i]
            || castling_walk_[i] != o.castling_walk_[i])
            return false;
    for (int i = 0; i < 64; ++i)
        if (castling_kept_[i] != o.castling_kept_[i]) return false;
    return by_color_[0] == o.by_color_[0] && by_color_[1] == o.by_color_[1]
           && same_state(st_, o.st_) && fullmove_ == o.fullmove_ && side_ == o.side_
           && chess960_ == o.chess960_;
}

}  // namespace velmar
