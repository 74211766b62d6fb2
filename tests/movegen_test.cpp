#include "movegen.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

struct PerftCase {
    std::string_view fen;
    uint32_t depth;
    uint64_t nodes;
};

// Public reference positions, plus a suite of small ones aimed at single rules.
constexpr PerftCase PERFT_CASES[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 1, 20},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 2, 400},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 3, 8'902},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 4, 197'281},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 5, 4'865'609},
    {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 1, 48},
    {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 2, 2'039},
    {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 3, 97'862},
    {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 4, 4'085'603},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 1, 14},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 2, 191},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 3, 2'812},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 4, 43'238},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 5, 674'624},
    {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 4, 422'333},
    {"r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1", 4, 422'333},
    {"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 3, 62'379},
    {"r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", 3, 89'890},
    {"3k4/3p4/8/K1P4r/8/8/8/8 b - - 0 1", 6, 1'134'888},     // illegal en passant (pin)
    {"8/8/4k3/8/2p5/8/B2P2K1/8 w - - 0 1", 6, 1'015'133},    // illegal en passant (diagonal)
    {"8/8/1k6/2b5/2pP4/8/5K2/8 b - d3 0 1", 6, 1'440'467},   // en passant gives check
    {"5k2/8/8/8/8/8/8/4K2R w K - 0 1", 6, 661'072},          // short castling gives check
    {"3k4/8/8/8/8/8/8/R3K3 w Q - 0 1", 6, 803'711},          // long castling gives check
    {"r3k2r/1b4bq/8/8/8/8/7B/R3K2R w KQkq - 0 1", 4, 1'274'206},  // rights lost to captures
    {"r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1", 4, 1'720'476},   // castling prevented
    {"2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1", 6, 3'821'001},     // promote out of check
    {"8/8/1P2K3/8/2n5/1q6/8/5k2 b - - 0 1", 5, 1'004'658},   // discovered check
    {"4k3/1P6/8/8/8/8/K7/8 w - - 0 1", 6, 217'342},          // promote to give check
    {"8/P1k5/K7/8/8/8/8/8 w - - 0 1", 6, 92'683},            // underpromote to give check
    {"K1k5/8/P7/8/8/8/8/8 w - - 0 1", 6, 2'217},             // self stalemate
    {"8/k1P5/8/1K6/8/8/8/8 w - - 0 1", 7, 567'584},          // stalemate and checkmate
    {"8/8/2k5/5q2/5n2/8/5K2/8 b - - 0 1", 4, 23'527},        // stalemate and checkmate
};

TEST(Movegen, PerftMatchesKnownCounts) {
    for (const PerftCase& c : PERFT_CASES) {
        SCOPED_TRACE(std::string(c.fen) + " depth " + std::to_string(c.depth));
        Position pos = fen(c.fen);
        Position before = pos;
        EXPECT_EQ(perft(pos, c.depth), c.nodes);
        EXPECT_TRUE(pos == before);
    }
}

constexpr PerftCase DEEP_PERFT_CASES[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 6, 119'060'324},
    {"r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 5, 193'690'690},
    {"8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 7, 178'633'661},
    {"r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 5, 15'833'292},
    {"rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 5, 89'941'194},
    {"r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10", 5, 164'075'551},
};

TEST(Movegen, SlowDeepPerft) {
    for (const PerftCase& c : DEEP_PERFT_CASES) {
        SCOPED_TRACE(c.fen);
        Position pos = fen(c.fen);
        EXPECT_EQ(perft(pos, c.depth), c.nodes);
    }
}

// An independent, slow oracle: every pseudo-legal move built square by square, kept when the
// mover's king is not attacked after making it. Castling is checked by its own rules.
std::vector<uint16_t> reference_moves(Position pos) {
    std::vector<uint16_t> out;
    const Color us = pos.side_to_move(), them = us ^ 1;
    const Bitboard occ = pos.pieces(), theirs = pos.by_color(them);
    std::vector<Move> pseudo;
    for (int from = 0; from < 64; ++from) {
        Piece p = pos.piece_on(from);
        if (p == EMPTY || color_of(p) != us) continue;
        if (type_of(p) == PAWN) {
            int up = us == WHITE ? 8 : -8;
            auto add = [&](int to, bool capture) {
                if (relative_rank(us, to) == 7) {
                    for (int k = 8; k < 12; ++k) pseudo.emplace_back(from, to, k + (capture ? 4 : 0));
                } else {
                    pseudo.emplace_back(from, to, capture ? kind::CAPTURE : kind::QUIET);
                }
            };
            if (pos.piece_on(from + up) == EMPTY) {
                add(from + up, false);
                if (relative_rank(us, from) == 1 && pos.piece_on(from + 2 * up) == EMPTY)
                    pseudo.emplace_back(from, from + 2 * up, kind::DOUBLE_PUSH);
            }
            for (Bitboard t = attacks::PAWN[us][from]; t;) {
                int to = pop_lsb(t);
                if (theirs & bb(to)) add(to, true);
                if (to == pos.en_passant()) pseudo.emplace_back(from, to, kind::EN_PASSANT);
            }
            continue;
        }
        for (Bitboard t = piece_attacks(type_of(p), from, occ) & ~pos.by_color(us); t;) {
            int to = pop_lsb(t);
            pseudo.emplace_back(from, to, (theirs & bb(to)) ? kind::CAPTURE : kind::QUIET);
        }
    }
    for (Move m : pseudo) {
        pos.make_move(m);
        if (!pos.is_attacked(pos.king_square(us), them, pos.pieces())) out.push_back(m.bits);
        pos.unmake_move(m);
    }
    // Castling, Chess960 included: king and rook go to their squares on the g/f or c/d files;
    // every square between either piece and its target, both ends included, holds nothing but
    // those two, and no square from the king to its target is attacked once both have left.
    auto span = [](int a, int b) {  // squares from a to b on one rank, both included
        Bitboard squares = 0;
        for (int sq = std::min(a, b); sq <= std::max(a, b); ++sq) squares |= bb(sq);
        return squares;
    };
    for (bool queen_side : {false, true}) {
        const int index = castling_index(us, queen_side);
        if (pos.in_check() || !(pos.castling() & (1 << index))) continue;
        const int king = pos.king_square(us), rook = pos.castling_rook(index);
        const int king_to = castling_king_to(us, queen_side);
        const int rook_to = castling_rook_to(us, queen_side);
        const Bitboard others = occ & ~bb(king) & ~bb(rook);
        if (others & (span(king, king_to) | span(rook, rook_to))) continue;
        bool safe = true;
        for (Bitboard path = span(king, king_to); path;)
            if (pos.is_attacked(pop_lsb(path), them, others)) safe = false;
        if (safe)
            out.push_back(
                Move(king, king_to, queen_side ? kind::QUEEN_CASTLE : kind::KING_CASTLE).bits);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<uint16_t> sorted_bits(const MoveList& list) {
    std::vector<uint16_t> v;
    for (Move m : list) v.push_back(m.bits);
    std::sort(v.begin(), v.end());
    return v;
}

// Along many random games: generate_all equals the slow oracle, noisy and quiet partition it
// in the same relative order, has_legal_move agrees, and is_legal_move accepts exactly the
// generated moves among all 65,536 values.
TEST(Movegen, GeneratorsAgreeWithOracleAlongRandomGames) {
    test::Rng rng{42};
    int positions = 0;
    std::vector<Position> starts;
    for (std::string_view start : test::varied_fens()) starts.push_back(fen(start));
    for (std::string_view start : test::chess960_fens()) starts.push_back(fen(start, true));
    for (const Position& start : starts) {
        for (int game = 0; game < 6; ++game) {
            test::random_game(start, rng, 80, [&](Position& pos) {
                SCOPED_TRACE(pos.to_fen());
                ++positions;
                MoveList all, noisy, quiet;
                generate_all(pos, all);
                generate_noisy(pos, noisy);
                generate_quiet(pos, quiet);
                ASSERT_EQ(sorted_bits(all), reference_moves(pos));
                ASSERT_EQ(has_legal_move(pos), !all.empty());

                MoveList noisy_in_order, quiet_in_order;
                for (Move m : all) (m.is_noisy() ? noisy_in_order : quiet_in_order).push(m);
                ASSERT_TRUE(std::equal(noisy.begin(), noisy.end(), noisy_in_order.begin(),
                                       noisy_in_order.end()));
                ASSERT_TRUE(std::equal(quiet.begin(), quiet.end(), quiet_in_order.begin(),
                                       quiet_in_order.end()));

                if (positions % 8 == 0) {
                    std::vector<bool> legal(65536, false);
                    for (Move m : all) legal[m.bits] = true;
                    for (uint32_t v = 0; v < 65536; ++v)
                        ASSERT_EQ(is_legal_move(pos, Move(uint16_t(v))), legal[v])
                            << Move(uint16_t(v)).text() << " kind " << (v >> 12);
                }
            });
        }
    }
    EXPECT_GT(positions, 3000);
}

TEST(Movegen, CheckEvasionsAndPromotions) {
    // Double check: only king moves.
    Position dbl = fen("4k3/8/8/8/8/5n2/8/r3K3 w - - 0 1");
    MoveList moves;
    generate_all(dbl, moves);
    ASSERT_FALSE(moves.empty());
    for (Move m : moves) EXPECT_EQ(m.from(), dbl.king_square(WHITE)) << m.text();

    // A pawn reaching the last rank gives four moves, all noisy.
    Position promo = fen("8/4P3/8/8/8/8/k7/4K3 w - - 0 1");
    MoveList noisy, quiet;
    generate_noisy(promo, noisy);
    generate_quiet(promo, quiet);
    int promotions = 0;
    for (Move m : noisy) promotions += m.is_promotion();
    EXPECT_EQ(promotions, 4);
    for (Move m : quiet) EXPECT_FALSE(m.is_promotion());
    EXPECT_EQ(noisy[0].text(), "e7e8q");  // queen first
}

TEST(Movegen, IsLegalMoveRejectsMalformedValues) {
    Position pos = fen("r3k2r/8/8/8/8/8/4P3/R3K2R w KQkq - 0 1");
    EXPECT_FALSE(is_legal_move(pos, NO_MOVE));
    EXPECT_TRUE(is_legal_move(pos, Move(4, 6, kind::KING_CASTLE)));
    EXPECT_FALSE(is_legal_move(pos, Move(4, 6, 6)));
    EXPECT_FALSE(is_legal_move(pos, Move(12, 20, 7)));
    // Castling after the rook has been captured: the right is gone.
    Position rook_taken = fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
    rook_taken.make_move(rook_taken.parse_uci_move("h8h1"));
    EXPECT_FALSE(is_legal_move(rook_taken, Move(4, 6, kind::KING_CASTLE)));
    // A push onto the last rank written without a promotion kind.
    Position promo = fen("8/4P3/8/8/8/8/k7/4K3 w - - 0 1");
    EXPECT_FALSE(is_legal_move(promo, Move(52, 60, kind::QUIET)));
    EXPECT_TRUE(is_legal_move(promo, Move(52, 60, kind::PROMO_Q)));
}

}  // namespace
}  // namespace velmar
