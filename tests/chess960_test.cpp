// Chess960 move generation: published perft counts, castling corner cases one by one, and an
// independent mailbox generator that checks every start position of the usual numbering.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "movegen.h"
#include "position.h"
#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

struct Chess960Perft {
    std::string_view fen;
    uint64_t nodes[4];  // depths 1-4
};

// The standard start position played by the Chess960 rules, and published Chess960 positions.
constexpr Chess960Perft PERFT_CASES[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1", {20, 400, 8'902, 197'281}},
    {"bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
     {21, 528, 12'189, 326'672}},
    {"2nnrbkr/p1qppppp/8/1ppb4/6PP/3PP3/PPP2P2/BQNNRBKR w HEhe - 1 9", {21, 807, 18'002, 667'366}},
    {"1nbbnrkr/p1p1ppp1/3p4/1p3P1p/3Pq2P/8/PPP1P1P1/QNBBNRKR w HFhf - 0 9",
     {28, 1'120, 31'058, 1'171'749}},
    {"qnbnr1kr/ppp1b1pp/4p3/3p1p2/8/2NPP3/PPP1BPPP/QNB1R1KR w HEhe - 1 9",
     {29, 899, 26'578, 824'055}},
};

TEST(Chess960, PerftMatchesPublishedCounts) {
    for (const Chess960Perft& c : PERFT_CASES) {
        Position pos = fen(c.fen, true);
        for (uint32_t depth = 1; depth <= 4; ++depth) {
            SCOPED_TRACE(std::string(c.fen) + " depth " + std::to_string(depth));
            EXPECT_EQ(perft(pos, depth), c.nodes[depth - 1]);
        }
    }
}

// One castling each, in Chess960 notation (the king takes its rook). `after` is the position
// once it is made, or empty when the castling must not be generated.
struct CastlingCase {
    std::string_view fen, move, after;
};

constexpr CastlingCase CASTLING_CASES[] = {
    // The king already on its target square: only the rook moves.
    {"4k3/8/8/8/8/8/8/1RK5 w B - 0 1", "c1b1", "4k3/8/8/8/8/8/8/2KR4 b - - 1 1"},
    {"4k3/8/8/8/8/8/8/6KR w H - 0 1", "g1h1", "4k3/8/8/8/8/8/8/5RK1 b - - 1 1"},
    // ...and the rook may land on an attacked square, as only the king's squares count.
    {"4kr2/8/8/8/8/8/8/6KR w H - 0 1", "g1h1", "4kr2/8/8/8/8/8/8/5RK1 b - - 1 1"},
    {"4k3/8/8/7b/8/8/8/RK6 w A - 0 1", "b1a1", "4k3/8/8/7b/8/8/8/2KR4 b - - 1 1"},
    // Once the rook has left b1, a rook or queen on a1 sees the king on c1.
    {"4k3/8/8/8/8/8/8/rRK5 w B - 0 1", "c1b1", ""},
    {"4k3/8/8/8/8/8/8/qRK5 w B - 0 1", "c1b1", ""},
    {"4k3/8/8/8/8/8/8/rR1K4 w B - 0 1", "d1b1", ""},
    {"4k3/8/8/8/8/8/8/nRK5 w B - 0 1", "c1b1", "4k3/8/8/8/8/8/8/n1KR4 b - - 1 1"},
    // The rook already on its target square: the king walks past it.
    {"4k3/8/8/8/8/8/8/4KR2 w F - 0 1", "e1f1", "4k3/8/8/8/8/8/8/5RK1 b - - 1 1"},
    {"4k1r1/8/8/8/8/8/8/4KR2 w F - 0 1", "e1f1", ""},
    // The king lands on its rook's square; king and rook swap squares.
    {"4k3/8/8/8/8/8/8/4K1R1 w G - 0 1", "e1g1", "4k3/8/8/8/8/8/8/5RK1 b - - 1 1"},
    {"4k3/8/8/8/8/8/8/5KR1 w G - 0 1", "f1g1", "4k3/8/8/8/8/8/8/5RK1 b - - 1 1"},
    {"4k3/8/8/8/8/8/8/2RK4 w C - 0 1", "d1c1", "4k3/8/8/8/8/8/8/2KR4 b - - 1 1"},
    // Castling gives check with the rook.
    {"5k2/8/8/8/8/8/8/4K1R1 w G - 0 1", "e1g1", "5k2/8/8/8/8/8/8/5RK1 b - - 1 1"},
    // Another piece on a square the king or the rook crosses or lands on.
    {"4k3/8/8/8/8/8/8/4KNR1 w G - 0 1", "e1g1", ""},
    {"4k3/8/8/8/8/8/8/RK1N4 w A - 0 1", "b1a1", ""},
    {"4k3/8/8/8/8/8/8/RKN5 w A - 0 1", "b1a1", ""},
    // The king crosses an attacked square, or is in check.
    {"4r1k1/8/8/8/8/8/8/1K5R w H - 0 1", "b1h1", ""},
    {"4k3/8/8/8/8/8/8/2K2rR1 w G - 0 1", "c1g1", ""},
    {"4k3/8/8/8/8/8/4r3/R3K3 w A - 0 1", "e1a1", ""},
    // Black, and the standard arrangement played by these rules.
    {"rk6/8/8/8/8/8/8/4K3 b a - 0 1", "b8a8", "2kr4/8/8/8/8/8/8/4K3 w - - 1 2"},
    {"r3k2r/8/8/8/8/8/8/R3K2R w HAha - 0 1", "e1h1", "r3k2r/8/8/8/8/8/8/R4RK1 b ha - 1 1"},
    {"r3k2r/8/8/8/8/8/8/R3K2R w HAha - 0 1", "e1a1", "r3k2r/8/8/8/8/8/8/2KR3R b ha - 1 1"},
};

// Each case: generation, is_legal_move, make (board, key, gives_check) and unmake agree.
TEST(Chess960, CastlingCornerCases) {
    for (const CastlingCase& c : CASTLING_CASES) {
        SCOPED_TRACE(std::string(c.fen) + " " + std::string(c.move));
        Position pos = fen(c.fen, true);
        const Color us = pos.side_to_move();
        const bool queen_side = c.move[2] < c.move[0];  // the rook stands towards the a-file
        const Move castling(pos.king_square(us), castling_king_to(us, queen_side),
                            queen_side ? kind::QUEEN_CASTLE : kind::KING_CASTLE);
        MoveList moves;
        generate_all(pos, moves);
        const bool legal = !c.after.empty();
        EXPECT_EQ(moves.contains(castling), legal);
        EXPECT_EQ(is_legal_move(pos, castling), legal);
        EXPECT_EQ(pos.parse_uci_move(c.move), legal ? castling : NO_MOVE);
        if (!legal) continue;
        EXPECT_EQ(pos.move_text(castling), c.move);

        const Position before = pos;
        const bool check = pos.gives_check(castling);
        pos.make_move(castling);
        EXPECT_EQ(pos.to_fen(), c.after);
        EXPECT_EQ(pos.key(), fen(c.after, true).key());
        EXPECT_EQ(pos.in_check(), check);
        pos.unmake_move(castling);
        EXPECT_TRUE(pos == before);
    }
}

// ---------------------------------------------------------------------------------------------
// An independent generator: a plain mailbox of FEN letters, moves made on copies, and legality
// by asking whether the mover's king is attacked afterwards. It shares nothing with the engine
// but the rules; castling follows them on its own.

struct Mailbox {
    std::array<char, 64> at{};  // FEN letters, '.' for an empty square; a1 = 0
    bool white_to_move = true;
    int en_passant = -1;
    int rooks[2][2] = {{-1, -1}, {-1, -1}};  // castling rooks by colour and side (0 = h-file side)
};

bool is_white(char c) { return c >= 'A' && c <= 'Z'; }
bool belongs(char c, bool white) { return c != '.' && is_white(c) == white; }
char lower(char c) { return is_white(c) ? char(c - 'A' + 'a') : c; }
bool on_board(int file, int rank) { return file >= 0 && file < 8 && rank >= 0 && rank < 8; }

constexpr int KNIGHT_STEPS[8][2] = {{1, 2}, {2, 1}, {2, -1}, {1, -2},
                                    {-1, -2}, {-2, -1}, {-2, 1}, {-1, 2}};
// Orthogonal first, then diagonal: also the sliders' directions.
constexpr int KING_STEPS[8][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1},
                                  {1, 1}, {-1, 1}, {-1, -1}, {1, -1}};

bool attacked(const Mailbox& b, int sq, bool by_white) {
    const int file = sq % 8, rank = sq / 8;
    auto is = [&](int f, int r, char type) {
        return on_board(f, r) && belongs(b.at[r * 8 + f], by_white)
               && lower(b.at[r * 8 + f]) == type;
    };
    const int pawn_rank = by_white ? rank - 1 : rank + 1;
    if (is(file - 1, pawn_rank, 'p') || is(file + 1, pawn_rank, 'p')) return true;
    for (const auto& s : KNIGHT_STEPS)
        if (is(file + s[0], rank + s[1], 'n')) return true;
    for (int d = 0; d < 8; ++d) {
        const int df = KING_STEPS[d][0], dr = KING_STEPS[d][1];
        if (is(file + df, rank + dr, 'k')) return true;
        for (int f = file + df, r = rank + dr; on_board(f, r); f += df, r += dr) {
            const char c = b.at[r * 8 + f];
            if (c == '.') continue;
            if (is(f, r, 'q') || is(f, r, d < 4 ? 'r' : 'b')) return true;
            break;
        }
    }
    return false;
}

int find_king(const Mailbox& b, bool white) {
    for (int sq = 0; sq < 64; ++sq)
        if (b.at[sq] == (white ? 'K' : 'k')) return sq;
    return -1;
}

std::vector<Mailbox> children(const Mailbox& b) {
    std::vector<Mailbox> out;
    const bool white = b.white_to_move;
    const int us = white ? 0 : 1;
    // Rights go with a king that moves and with anything leaving or reaching a rook's square.
    auto finish = [&](Mailbox next, int from, int to) {
        for (auto& colour : next.rooks)
            for (int& rook : colour)
                if (rook == from || rook == to) rook = -1;
        if (lower(b.at[from]) == 'k') next.rooks[us][0] = next.rooks[us][1] = -1;
        next.white_to_move = !white;
        if (!attacked(next, find_king(next, white), !white)) out.push_back(next);
    };
    auto plain = [&](int from, int to) {
        Mailbox next = b;
        next.en_passant = -1;
        next.at[to] = b.at[from];
        next.at[from] = '.';
        finish(next, from, to);
    };
    for (int from = 0; from < 64; ++from) {
        const char piece = b.at[from];
        if (!belongs(piece, white)) continue;
        const int file = from % 8, rank = from / 8;
        const char type = lower(piece);
        if (type == 'p') {
            const int dir = white ? 1 : -1;
            auto pawn_to = [&](int to, int captured) {
                Mailbox next = b;
                next.en_passant = -1;
                next.at[from] = '.';
                if (captured >= 0) next.at[captured] = '.';
                if (to / 8 != (white ? 7 : 0)) {
                    next.at[to] = piece;
                    finish(next, from, to);
                    return;
                }
                for (char promoted : {'q', 'r', 'b', 'n'}) {
                    next.at[to] = white ? char(promoted - 'a' + 'A') : promoted;
                    finish(next, from, to);
                }
            };
            const int ahead = from + 8 * dir;
            if (b.at[ahead] == '.') {
                pawn_to(ahead, -1);
                if (rank == (white ? 1 : 6) && b.at[ahead + 8 * dir] == '.') {
                    Mailbox next = b;
                    next.at[ahead + 8 * dir] = piece;
                    next.at[from] = '.';
                    next.en_passant = ahead;
                    finish(next, from, ahead + 8 * dir);
                }
            }
            for (int df : {-1, 1}) {
                if (!on_board(file + df, rank + dir)) continue;
                const int to = ahead + df;
                if (belongs(b.at[to], !white)) pawn_to(to, -1);
                else if (to == b.en_passant) pawn_to(to, to - 8 * dir);
            }
        } else if (type == 'n' || type == 'k') {
            const int(*steps)[2] = type == 'n' ? KNIGHT_STEPS : KING_STEPS;
            for (int i = 0; i < 8; ++i) {
                const int f = file + steps[i][0], r = rank + steps[i][1];
                if (on_board(f, r) && !belongs(b.at[r * 8 + f], white)) plain(from, r * 8 + f);
            }
        } else {
            const int first = type == 'b' ? 4 : 0, last = type == 'r' ? 4 : 8;
            for (int d = first; d < last; ++d) {
                const int df = KING_STEPS[d][0], dr = KING_STEPS[d][1];
                for (int f = file + df, r = rank + dr; on_board(f, r); f += df, r += dr) {
                    if (belongs(b.at[r * 8 + f], white)) break;
                    plain(from, r * 8 + f);
                    if (b.at[r * 8 + f] != '.') break;
                }
            }
        }
    }

    // Castling: king to the g- or c-file, rook to the f- or d-file. With both lifted off the
    // board, every square from either piece to its target must be empty, and no square from
    // the king to its target may be attacked; the king may not be in check.
    const int king = find_king(b, white);
    if (attacked(b, king, !white)) return out;
    for (int side = 0; side < 2; ++side) {
        const int rook = b.rooks[us][side];
        if (rook < 0) continue;
        const int base = white ? 0 : 56;
        const int king_to = base + (side == 0 ? 6 : 2), rook_to = base + (side == 0 ? 5 : 3);
        Mailbox next = b;
        next.at[king] = next.at[rook] = '.';
        bool ok = true;
        for (int sq = std::min(king, king_to); sq <= std::max(king, king_to); ++sq)
            ok = ok && next.at[sq] == '.' && !attacked(next, sq, !white);
        for (int sq = std::min(rook, rook_to); sq <= std::max(rook, rook_to); ++sq)
            ok = ok && next.at[sq] == '.';
        if (!ok) continue;
        next.at[king_to] = white ? 'K' : 'k';
        next.at[rook_to] = white ? 'R' : 'r';
        next.en_passant = -1;
        next.rooks[us][0] = next.rooks[us][1] = -1;
        next.white_to_move = !white;
        out.push_back(next);
    }
    return out;
}

uint64_t mailbox_perft(const Mailbox& b, int depth) {
    const std::vector<Mailbox> next = children(b);
    if (depth == 1) return next.size();
    uint64_t total = 0;
    for (const Mailbox& c : next) total += mailbox_perft(c, depth - 1);
    return total;
}

// Placement, side, Shredder castling letters and en passant of a FEN; nothing is checked.
Mailbox mailbox_from_fen(std::string_view text) {
    Mailbox b;
    b.at.fill('.');
    const std::vector<std::string> fields = [&] {
        std::vector<std::string> words(1);
        for (char c : text) {
            if (c == ' ') words.emplace_back();
            else words.back() += c;
        }
        return words;
    }();
    int sq = 56;
    for (char c : fields[0]) {
        if (c == '/') sq -= 16;
        else if (c >= '1' && c <= '8') sq += c - '0';
        else b.at[size_t(sq++)] = c;
    }
    b.white_to_move = fields[1] == "w";
    for (char c : fields[2]) {
        if (c == '-') continue;
        const bool white = is_white(c);
        const int rook = (white ? 0 : 56) + (lower(c) - 'a');
        const int king = find_king(b, white);
        b.rooks[white ? 0 : 1][rook > king ? 0 : 1] = rook;
    }
    if (fields[3] != "-") b.en_passant = (fields[3][1] - '1') * 8 + (fields[3][0] - 'a');
    return b;
}

// The back rank of start position n, written anew from the numbering: bishops on a light and a
// dark square, the queen on one of six free squares, the knights on one of ten pairs of the
// five left, and rook, king, rook on the last three.
std::string back_rank(int n) {
    const int light = n % 4, dark = n / 4 % 4, queen = n / 16 % 6, knights = n / 96;
    std::string rank(8, '.');
    rank[size_t(2 * light + 1)] = 'B';
    rank[size_t(2 * dark)] = 'B';
    std::vector<size_t> free;
    for (size_t i = 0; i < 8; ++i)
        if (rank[i] == '.') free.push_back(i);
    rank[free[size_t(queen)]] = 'Q';
    free.erase(free.begin() + queen);
    int pair = 0;
    for (size_t first = 0; first < 5; ++first)
        for (size_t second = first + 1; second < 5; ++second)
            if (pair++ == knights) rank[free[first]] = rank[free[second]] = 'N';
    const char* rest = "RKR";
    for (char& c : rank)
        if (c == '.') c = *rest++;
    return rank;
}

TEST(Chess960, StartPositionsFollowTheNumbering) {
    EXPECT_EQ(back_rank(518), "RNBQKBNR");
    EXPECT_EQ(back_rank(0), "BBQNNRKR");
    std::set<std::string> seen;
    for (int n = 0; n < 960; ++n) {
        const std::string rank = back_rank(n);
        std::string black = rank;
        for (char& c : black) c = lower(c);
        const std::string fen_text = chess960_start_fen(n, n);
        SCOPED_TRACE(fen_text);
        EXPECT_EQ(fen_text.substr(0, 8), black);
        EXPECT_EQ(fen_text.substr(35, 8), rank);
        seen.insert(rank);
        // King between the rooks, bishops on squares of both colours, all four rights.
        EXPECT_LT(rank.find('R'), rank.find('K'));
        EXPECT_LT(rank.find('K'), rank.rfind('R'));
        EXPECT_NE(rank.find('B') % 2, rank.rfind('B') % 2);
        EXPECT_EQ(fen(fen_text, true).castling(), 15);
    }
    EXPECT_EQ(seen.size(), 960u);
}

// The mailbox against the engine where castling is most tangled: the open back ranks of the
// test positions, the corner cases and the published positions.
TEST(Chess960, MailboxAgreesOnCastlingPositions) {
    std::vector<std::string_view> fens = test::chess960_fens();
    for (const CastlingCase& c : CASTLING_CASES) fens.push_back(c.fen);
    for (const Chess960Perft& c : PERFT_CASES) fens.push_back(c.fen);
    for (std::string_view text : fens) {
        SCOPED_TRACE(text);
        Position pos = fen(text, true);
        const Mailbox box = mailbox_from_fen(text);
        for (int depth = 1; depth <= 3; ++depth)
            ASSERT_EQ(perft(pos, uint32_t(depth)), mailbox_perft(box, depth)) << "depth " << depth;
    }
}

// gives_check against the checkers make_move finds, for every move of the tree.
int count_check_mismatches(Position& pos, int depth) {
    MoveList moves;
    generate_all(pos, moves);
    int mismatches = 0;
    for (Move m : moves) {
        const bool predicted = pos.gives_check(m);
        pos.make_move(m);
        mismatches += predicted != pos.in_check();
        if (depth > 1) mismatches += count_check_mismatches(pos, depth - 1);
        pos.unmake_move(m);
    }
    return mismatches;
}

// Every start position of the numbering, and some double Chess960 pairs: perft to depth 4 equals
// the mailbox's, and gives_check is right for every move to depth 3.
TEST(Chess960, SlowEveryStartPositionAgreesWithTheMailbox) {
    std::vector<std::pair<int, int>> starts;
    for (int n = 0; n < 960; ++n) starts.emplace_back(n, n);
    test::Rng rng{960};
    for (int i = 0; i < 40; ++i) starts.emplace_back(int(rng.below(960)), int(rng.below(960)));
    for (auto [white, black] : starts) {
        const std::string text = chess960_start_fen(white, black);
        SCOPED_TRACE(text);
        Position pos = fen(text, true);
        std::string black_rank = back_rank(black);
        for (char& c : black_rank) c = lower(c);
        Mailbox box;
        box.at.fill('.');
        for (int file = 0; file < 8; ++file) {
            box.at[size_t(file)] = back_rank(white)[size_t(file)];
            box.at[size_t(8 + file)] = 'P';
            box.at[size_t(48 + file)] = 'p';
            box.at[size_t(56 + file)] = black_rank[size_t(file)];
        }
        for (int colour = 0; colour < 2; ++colour) {
            const int base = colour == 0 ? 0 : 56;
            const int king = find_king(box, colour == 0);
            for (int file = 0; file < 8; ++file)
                if (lower(box.at[size_t(base + file)]) == 'r')
                    box.rooks[colour][base + file > king ? 0 : 1] = base + file;
        }
        for (int depth = 1; depth <= 4; ++depth)
            ASSERT_EQ(perft(pos, uint32_t(depth)), mailbox_perft(box, depth)) << "depth " << depth;
        EXPECT_EQ(count_check_mismatches(pos, 3), 0);
    }
}

}  // namespace
}  // namespace velmar
