#include "position.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

TEST(Position, FenErrorsCarryExactMessages) {
    struct Case {
        std::string_view fen, message;
    };
    constexpr Case CASES[] = {
        {"", "bad FEN: empty"},
        {"   \t ", "bad FEN: empty"},
        {"8/8/8/8/8/8/8/8", "bad FEN: each side needs exactly one king"},
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNX w KQkq - 0 1", "bad FEN: bad piece 'X'"},
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN0 w KQkq - 0 1", "bad FEN: bad piece '0'"},
        {"rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "bad FEN: bad piece '9'"},
        {"rnbqkbnrr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "bad FEN: piece off the board"},
        {"k7/8/8/8/8/8/8/7K/p w - - 0 1", "bad FEN: piece off the board"},
        {"k7/8/8/8/8/8/8/7K/8 w - - 0 1", "bad FEN: the board has more than 8 ranks"},
        {"k7/8/8/8/8/8/8/7K/ w - - 0 1", "bad FEN: the board has more than 8 ranks"},
        {"k7/8/8/8/8/8/7K w - - 0 1", "bad FEN: the board has 7 ranks, not 8"},
        {"k7/8/8/8/8/8/8/4K w - - 0 1", "bad FEN: rank 1 does not have 8 squares"},
        {"k7/8/8/8/8/8/8/4K4 w - - 0 1", "bad FEN: rank 1 does not have 8 squares"},
        {"k6/8/8/8/8/8/8/7K w - - 0 1", "bad FEN: rank 8 does not have 8 squares"},
        {"k7/8/8/54/8/8/8/7K w - - 0 1", "bad FEN: rank 5 does not have 8 squares"},
        {"k7/8/8/8/8/8/8/7K3 w - - 0 1", "bad FEN: rank 1 does not have 8 squares"},
        {"k7/8/8/8/8/8/8/7K x - - 0 1", "bad FEN: bad side 'x'"},
        {"k7/8/8/8/8/8/8/7K w KX - 0 1", "bad FEN: bad castling 'X'"},
        {"k7/8/8/8/8/8/8/7K w - e9 0 1", "bad FEN: bad en-passant 'e9'"},
        {"k7/8/8/8/8/8/8/7K w - e 0 1", "bad FEN: bad en-passant 'e'"},
        {"k7/8/8/8/8/8/8/R6K w - - 0 1", "bad FEN: side not to move is in check"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.fen);
        Result<Position> pos = Position::from_fen(c.fen);
        ASSERT_FALSE(pos.ok());
        EXPECT_EQ(pos.error().message, c.message);
    }
}

TEST(Position, FenReadingNormalisesFields) {
    struct Case {
        std::string_view in, out;
    };
    constexpr Case CASES[] = {
        // Placement alone: white to move, no rights, clocks 0 and 1.
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR",
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1"},
        // A right whose rook is missing is dropped.
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1 w KQkq - 0 1",
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1 w Qkq - 0 1"},
        // An en-passant square nobody can use is not kept; a usable one is.
        {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
         "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"},
        {"rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3",
         "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3"},
        // Unreadable clocks fall back; fullmove 0 becomes 1; extra fields are ignored.
        {"4k3/8/8/8/8/8/8/4K3 w - - x y", "4k3/8/8/8/8/8/8/4K3 w - - 0 1"},
        {"4k3/8/8/8/8/8/8/4K3 b - - 7 0 extra", "4k3/8/8/8/8/8/8/4K3 b - - 7 1"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(fen(c.in).to_fen(), c.out);
    }
}

// Placements no game can reach. A pawn on a back rank has nowhere to go; extra pieces are
// promotions, each of which uses up a pawn.
TEST(Position, RejectsPawnsOnBackRanksAndUnreachableMaterial) {
    struct Case {
        std::string_view fen, message;
    };
    constexpr Case CASES[] = {
        {"4k3/8/8/8/8/8/8/P3K3 w - - 0 1", "bad FEN: pawn on the first or last rank"},
        {"P3k3/8/8/8/8/8/8/4K3 w - - 0 1", "bad FEN: pawn on the first or last rank"},
        {"4k3/8/8/8/8/8/8/4K2p b - - 0 1", "bad FEN: pawn on the first or last rank"},
        {"p3k3/8/8/8/8/8/8/4K3 b - - 0 1", "bad FEN: pawn on the first or last rank"},
        {"kpQQQQQQ/ppQ4Q/QQ5Q/Q6Q/Q6Q/Q6Q/Q6Q/QQQQQQQK w - - 0 1",
         "bad FEN: pawn on the first or last rank"},
        {"k1QQQQQQ/ppQ4Q/QQ5Q/Q6Q/Q6Q/Q6Q/Q6Q/QQQQQQQK w - - 0 1",
         "bad FEN: white has more than 16 pieces"},
        {"rnbqkbnr/pppppppp/8/8/8/N7/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
         "bad FEN: white has more than 16 pieces"},
        {"rnbqkbnr/pppppppp/n7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
         "bad FEN: black has more than 16 pieces"},
        {"4k3/8/8/8/8/P7/PPPPPPPP/4K3 w - - 0 1", "bad FEN: white has more than 8 pawns"},
        {"4k3/pppppppp/p7/8/8/8/8/4K3 w - - 0 1", "bad FEN: black has more than 8 pawns"},
        {"4k3/8/8/8/8/8/PPPPPPPP/3QK2Q w - - 0 1",
         "bad FEN: white has more promoted pieces than missing pawns"},
        {"4k3/8/8/8/8/8/1PPPPPPP/NNNBBBK1 w - - 0 1",
         "bad FEN: white has more promoted pieces than missing pawns"},
        {"rrrkqq2/1ppppppp/8/8/8/8/8/4K3 w - - 0 1",
         "bad FEN: black has more promoted pieces than missing pawns"},
        {"kk6/8/8/8/8/8/8/4K3 w - - 0 1", "bad FEN: each side needs exactly one king"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.fen);
        Result<Position> pos = Position::from_fen(c.fen);
        ASSERT_FALSE(pos.ok());
        EXPECT_EQ(pos.error().message, c.message);
    }
}

// The most material the rules allow, up to the position with the most legal moves known.
TEST(Position, AcceptsAllReachableMaterial) {
    struct Case {
        std::string_view fen;
        uint64_t moves;
    };
    constexpr Case CASES[] = {
        {"R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1", 218},
        {"4k3/8/8/8/8/8/1PPPPPPP/NNN1K3 w - - 0 1", 22},
        {"qqqqkqqq/qq6/8/8/8/8/8/4K3 w - - 0 1", 1},
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 20},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.fen);
        Position pos = fen(c.fen);
        EXPECT_EQ(pos.to_fen(), c.fen);
        EXPECT_EQ(perft(pos, 1), c.moves);
    }
}

// An en-passant square is kept only where a double push of the side not to move could have left
// it: otherwise the capture would remove a pawn that is not there, or one of the mover's own.
TEST(Position, KeepsOnlyEnPassantSquaresADoublePushCouldLeave) {
    struct Case {
        std::string_view in, out;
        uint64_t moves;
    };
    constexpr Case CASES[] = {
        {"4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1", "4k3/8/8/3Pp3/8/8/8/4K3 w - e6 0 1", 7},
        {"4k3/8/8/pP6/8/8/8/4K3 w - a6 0 1", "4k3/8/8/pP6/8/8/8/4K3 w - a6 0 1", 7},
        {"4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", "4k3/8/8/8/3pP3/8/8/4K3 b - e3 0 1", 7},
        // Nothing stands where the pushed pawn would be.
        {"4k3/8/8/3P4/8/8/8/4K3 w - e6 0 1", "4k3/8/8/3P4/8/8/8/4K3 w - - 0 1", 6},
        // The pawn there belongs to the side to move, or it is not a pawn.
        {"rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq e3 0 1",
         "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 1", 30},
        {"4k3/8/8/3PP3/8/8/8/4K3 w - e6 0 1", "4k3/8/8/3PP3/8/8/8/4K3 w - - 0 1", 7},
        {"4k3/8/8/3Pn3/8/8/8/4K3 w - e6 0 1", "4k3/8/8/3Pn3/8/8/8/4K3 w - - 0 1", 6},
        // The square, or the one the pawn left, is occupied.
        {"4k3/8/4n3/3Pp3/8/8/8/4K3 w - e6 0 1", "4k3/8/4n3/3Pp3/8/8/8/4K3 w - - 0 1", 7},
        {"4k3/4n3/8/3Pp3/8/8/8/4K3 w - e6 0 1", "4k3/4n3/8/3Pp3/8/8/8/4K3 w - - 0 1", 6},
        {"4k3/8/8/8/3pP3/8/4P3/4K3 b - e3 0 1", "4k3/8/8/8/3pP3/8/4P3/4K3 b - - 0 1", 6},
        // A rank the side to move cannot capture on.
        {"4k3/4p3/8/8/8/8/8/4K3 b - d6 0 1", "4k3/4p3/8/8/8/8/8/4K3 b - - 0 1", 6},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.in);
        Position pos = fen(c.in);
        EXPECT_EQ(pos.to_fen(), c.out);
        EXPECT_EQ(pos.key(), fen(c.out).key());
        EXPECT_EQ(perft(pos, 1), c.moves);
    }
}

// Echoed input stays valid UTF-8: whole characters pass, anything else is escaped byte by byte.
TEST(Position, FenErrorsEchoInputAsValidUtf8) {
    struct Case {
        std::string_view fen, message;
    };
    constexpr Case CASES[] = {
        {"4k3/8/8/8/8/8/8/4K\xc3\xa9 w - - 0 1", "bad FEN: bad piece '\xc3\xa9'"},
        {"4k3/8/8/8/8/8/8/4K\xe2\x99\x94 w - - 0 1", "bad FEN: bad piece '\xe2\x99\x94'"},
        {"4k3/8/8/8/8/8/8/4K\xf0\x9d\x84\x9e w - - 0 1",
         "bad FEN: bad piece '\xf0\x9d\x84\x9e'"},
        {"4k3/8/8/8/8/8/8/4K\xff w - - 0 1", "bad FEN: bad piece '\\xff'"},
        {"4k3/8/8/8/8/8/8/4K\xc3", "bad FEN: bad piece '\\xc3'"},
        {"4k3/8/8/8/8/8/8/4K\xc3(2 w - - 0 1", "bad FEN: bad piece '\\xc3'"},
        {"4k3/8/8/8/8/8/8/4K\xc0\xaf w - - 0 1", "bad FEN: bad piece '\\xc0'"},
        {"4k3/8/8/8/8/8/8/4K\xed\xa0\x80 w - - 0 1", "bad FEN: bad piece '\\xed'"},
        {"4k3/8/8/8/8/8/8/4K\xf4\x90\x80\x80 w - - 0 1", "bad FEN: bad piece '\\xf4'"},
        {"4k3/8/8/8/8/8/8/4K\x1b w - - 0 1", "bad FEN: bad piece '\\x1b'"},
        {"4k3/8/8/8/8/8/8/4K\xc2\x9b w - - 0 1", "bad FEN: bad piece '\\xc2\\x9b'"},
        {"4k3/8/8/8/8/8/8/4K3 \xc3\xa9 - - 0 1", "bad FEN: bad side '\xc3\xa9'"},
        {"4k3/8/8/8/8/8/8/4K3 w\xe9\x7f - - 0 1", "bad FEN: bad side 'w\\xe9\\x7f'"},
        {"4k3/8/8/8/8/8/8/4K3 w K\xc3\xb1 - 0 1", "bad FEN: bad castling '\xc3\xb1'"},
        {"4k3/8/8/8/8/8/8/4K3 w K\x80 - 0 1", "bad FEN: bad castling '\\x80'"},
        {"4k3/8/8/8/8/8/8/4K3 w - \xc3\xa9 0 1", "bad FEN: bad en-passant '\xc3\xa9'"},
        {"4k3/8/8/8/8/8/8/4K3 w - e\xb3 0 1", "bad FEN: bad en-passant 'e\\xb3'"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.message);
        Result<Position> pos = Position::from_fen(c.fen);
        ASSERT_FALSE(pos.ok());
        EXPECT_EQ(pos.error().message, c.message);
    }
}

TEST(Position, MakeKeepsKeysEqualToFromScratch) {
    Position pos = Position::startpos();
    pos.make_move(pos.parse_uci_move("e2e4"));
    EXPECT_EQ(pos.to_fen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(pos.key(), fen(pos.to_fen()).key());

    test::Rng rng{7};
    std::vector<Position> starts;
    for (std::string_view start : test::varied_fens()) starts.push_back(fen(start));
    for (std::string_view start : test::chess960_fens()) starts.push_back(fen(start, true));
    for (const Position& start : starts) {
        for (int game = 0; game < 4; ++game) {
            test::random_game(start, rng, 100, [&](Position& p) {
                Position fresh = fen(p.to_fen(), p.chess960());
                ASSERT_EQ(p.key(), fresh.key()) << p.to_fen();
                ASSERT_EQ(p.pawn_key(), fresh.pawn_key());
                ASSERT_EQ(p.minor_key(), fresh.minor_key());
                ASSERT_EQ(p.non_pawn_key(WHITE), fresh.non_pawn_key(WHITE));
                ASSERT_EQ(p.non_pawn_key(BLACK), fresh.non_pawn_key(BLACK));
                ASSERT_EQ(p.checkers(), fresh.checkers());
            });
        }
    }
}

// For every legal move along random games: unmake restores every field bit for bit,
// gives_check agrees with the checkers make_move computes, and null moves round-trip.
TEST(Position, UnmakeRestoresEveryFieldAndGivesCheckAgrees) {
    test::Rng rng{11};
    int checks = 0, castles = 0;
    std::vector<Position> starts;
    for (std::string_view start : test::varied_fens()) starts.push_back(fen(start));
    for (std::string_view start : test::chess960_fens()) starts.push_back(fen(start, true));
    for (const Position& start : starts) {
        for (int game = 0; game < 4; ++game) {
            test::random_game(start, rng, 100, [&](Position& p) {
                SCOPED_TRACE(p.to_fen());
                const Position before = p;
                MoveList moves;
                generate_all(p, moves);
                for (Move m : moves) {
                    bool predicted = p.gives_check(m);
                    p.make_move(m);
                    ASSERT_EQ(predicted, p.in_check()) << m.text();
                    checks += predicted;
                    castles += m.is_castling();
                    p.unmake_move(m);
                    ASSERT_TRUE(p == before) << m.text();
                }
                if (!p.in_check()) {
                    p.make_null();
                    EXPECT_EQ(p.key(), fen(p.to_fen(), p.chess960()).key());
                    p.unmake_null();
                    ASSERT_TRUE(p == before);
                }
            });
        }
    }
    EXPECT_GT(checks, 100);
    EXPECT_GT(castles, 100);
}

TEST(Position, ParsesUciMovesExactly) {
    Position pos = fen("r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 0 1");
    EXPECT_EQ(pos.parse_uci_move("e1g1"), Move(4, 6, kind::KING_CASTLE));
    EXPECT_EQ(pos.parse_uci_move("e1c1"), Move(4, 2, kind::QUEEN_CASTLE));
    EXPECT_EQ(pos.parse_uci_move("e1h1"), NO_MOVE);
    EXPECT_EQ(pos.parse_uci_move("b7b8q"), Move(49, 57, kind::PROMO_Q));
    EXPECT_EQ(pos.parse_uci_move("b7a8n"), Move(49, 56, kind::PROMO_CAPTURE_N));
    EXPECT_EQ(pos.parse_uci_move("b7b8Q"), NO_MOVE);
    EXPECT_EQ(pos.parse_uci_move("b7b8"), NO_MOVE);
    EXPECT_EQ(Move(52, 60, kind::PROMO_CAPTURE_Q).text(), "e7e8q");
    EXPECT_EQ(NO_MOVE.text(), "0000");
    EXPECT_EQ(square_text(0), "a1");
    EXPECT_EQ(square_text(63), "h8");
}

// Castling fields in every form a GUI writes, read in both modes. Standard mode keeps only
// rights with the king on the e-file and the rook in its corner, and writes KQkq; Chess960 mode
// writes rook files. Every output reads back to itself.
TEST(Position, CastlingFieldsReadInEveryFormAndRoundTrip) {
    struct Case {
        std::string_view in;
        bool chess960;
        std::string_view out;
    };
    constexpr Case CASES[] = {
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", true,
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1"},
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1", false,
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"},
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w AHah - 0 1", true,
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1"},
        // X-FEN: K and Q are the outermost rooks, a letter names an inner one.
        {"bbqnnrkr/pppppppp/8/8/8/8/PPPPPPPP/BBQNNRKR w KQkq - 0 1", true,
         "bbqnnrkr/pppppppp/8/8/8/8/PPPPPPPP/BBQNNRKR w HFhf - 0 1"},
        {"rr2k1rr/8/8/8/8/8/8/RR2K1RR w KQkq - 0 1", true,
         "rr2k1rr/8/8/8/8/8/8/RR2K1RR w HAha - 0 1"},
        {"rr2k1rr/8/8/8/8/8/8/RR2K1RR w GBgb - 0 1", true,
         "rr2k1rr/8/8/8/8/8/8/RR2K1RR w GBgb - 0 1"},
        {"rr2k1rr/8/8/8/8/8/8/RR2K1RR w GQkb - 0 1", true,
         "rr2k1rr/8/8/8/8/8/8/RR2K1RR w GAhb - 0 1"},
        {"rr2k1rr/8/8/8/8/8/8/RR2K1RR w GBgb - 0 1", false,
         "rr2k1rr/8/8/8/8/8/8/RR2K1RR w - - 0 1"},
        {"rr2k1rr/8/8/8/8/8/8/RR2K1RR w HAha - 0 1", false,
         "rr2k1rr/8/8/8/8/8/8/RR2K1RR w KQkq - 0 1"},
        // Rights whose king or rook is not at home are dropped silently.
        {"1r1k2r1/8/8/8/8/8/8/1R1K2R1 w KQkq - 0 1", false,
         "1r1k2r1/8/8/8/8/8/8/1R1K2R1 w - - 0 1"},
        {"1r1k2r1/8/8/8/8/8/8/1R1K2R1 w KQkq - 0 1", true,
         "1r1k2r1/8/8/8/8/8/8/1R1K2R1 w GBgb - 0 1"},
        {"4k3/8/8/8/8/8/8/R3K1N1 w KQ - 0 1", true, "4k3/8/8/8/8/8/8/R3K1N1 w A - 0 1"},
        {"4k3/8/8/8/8/8/8/R3K2R w E - 0 1", true, "4k3/8/8/8/8/8/8/R3K2R w - - 0 1"},
        {"4k3/8/8/8/8/8/4K3/R6R w HA - 0 1", true, "4k3/8/8/8/8/8/4K3/R6R w - - 0 1"},
        {"r3k2r/8/8/8/8/8/8/R3K2R w Hh - 0 1", true, "r3k2r/8/8/8/8/8/8/R3K2R w Hh - 0 1"},
        {"r3k2r/8/8/8/8/8/8/R3K2R w HAHAa - 0 1", true, "r3k2r/8/8/8/8/8/8/R3K2R w HAa - 0 1"},
        {"bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9", true,
         "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(std::string(c.in) + (c.chess960 ? " (Chess960)" : ""));
        const Position pos = fen(c.in, c.chess960);
        EXPECT_EQ(pos.to_fen(), c.out);
        const Position back = fen(pos.to_fen(), c.chess960);
        EXPECT_EQ(back.to_fen(), c.out);
        EXPECT_EQ(back.key(), pos.key());
        EXPECT_EQ(back.castling(), pos.castling());
    }

    struct Bad {
        std::string_view fen, message;
    };
    constexpr Bad BAD[] = {
        {"4k3/8/8/8/8/8/8/R3K1RR w HG - 0 1",
         "bad FEN: castling 'HG' names two rooks for one side"},
        {"4k3/8/8/8/8/8/8/R3K1RR w KG - 0 1",
         "bad FEN: castling 'KG' names two rooks for one side"},
        {"4k3/8/8/8/8/8/8/R3K2R w I - 0 1", "bad FEN: bad castling 'I'"},
        {"4k3/8/8/8/8/8/8/R3K2R w KQi - 0 1", "bad FEN: bad castling 'i'"},
        {"4k3/8/8/8/8/8/8/R3K2R w HA1 - 0 1", "bad FEN: bad castling '1'"},
    };
    for (const Bad& c : BAD) {
        SCOPED_TRACE(c.fen);
        Result<Position> pos = Position::from_fen(c.fen, true);
        ASSERT_FALSE(pos.ok());
        EXPECT_EQ(pos.error().message, c.message);
    }
}

// In Chess960 castling is the king taking its own rook, written and read; standard mode keeps
// the king's two-square move, also for a standard position.
TEST(Position, CastlingMoveTextFollowsTheMode) {
    const Position standard = fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    const Position chess960 = fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", true);
    const Move short_castle(4, 6, kind::KING_CASTLE), long_castle(4, 2, kind::QUEEN_CASTLE);
    EXPECT_EQ(standard.move_text(short_castle), "e1g1");
    EXPECT_EQ(chess960.move_text(short_castle), "e1h1");
    EXPECT_EQ(chess960.move_text(long_castle), "e1a1");
    EXPECT_EQ(chess960.parse_uci_move("e1h1"), short_castle);
    EXPECT_EQ(chess960.parse_uci_move("e1a1"), long_castle);
    EXPECT_EQ(chess960.parse_uci_move("e1g1"), NO_MOVE);
    EXPECT_EQ(standard.parse_uci_move("e1h1"), NO_MOVE);
    EXPECT_EQ(chess960.move_text(Move(12, 28, kind::DOUBLE_PUSH)), "e2e4");

    // The king already on its target square, and the king landing on its rook's square.
    const Position stays = fen("4k3/8/8/8/8/8/8/6KR w H - 0 1", true);
    EXPECT_EQ(stays.parse_uci_move("g1h1"), Move(6, 6, kind::KING_CASTLE));
    EXPECT_EQ(stays.move_text(Move(6, 6, kind::KING_CASTLE)), "g1h1");
    const Position onto_rook = fen("4k3/8/8/8/8/8/8/4K1R1 w G - 0 1", true);
    EXPECT_EQ(onto_rook.parse_uci_move("e1g1"), Move(4, 6, kind::KING_CASTLE));
    EXPECT_EQ(onto_rook.parse_uci_move("e1f1"), Move(4, 5, kind::QUIET));
}

TEST(Position, Chess960StartPositionsFollowTheNumbering) {
    struct Case {
        int white, black;
        std::string_view fen;
    };
    constexpr Case CASES[] = {
        {518, 518, "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w HAha - 0 1"},
        {0, 0, "bbqnnrkr/pppppppp/8/8/8/8/PPPPPPPP/BBQNNRKR w HFhf - 0 1"},
        {959, 959, "rkrnnqbb/pppppppp/8/8/8/8/PPPPPPPP/RKRNNQBB w CAca - 0 1"},
        {0, 959, "rkrnnqbb/pppppppp/8/8/8/8/PPPPPPPP/BBQNNRKR w HFca - 0 1"},
    };
    for (const Case& c : CASES) EXPECT_EQ(chess960_start_fen(c.white, c.black), c.fen);
}

TEST(Position, DisplaysBoardFenAndHash) {
    Position pos = fen("4k3/8/8/8/8/8/4P3/4K3 w - - 0 1");
    std::string text = pos.display();
    EXPECT_EQ(text.substr(0, 20), " 8  . . . . k . . .\n");
    EXPECT_NE(text.find(" 1  . . . . K . . .\n\n    a b c d e f g h\n\nFEN: "
                        "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1\nHash: "),
              std::string::npos);
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(pos.key()));
    EXPECT_EQ(text.substr(text.size() - 16), hash);
}

TEST(Attacks, TablesMatchRayWalks) {
    test::Rng rng{3};
    for (int sq = 0; sq < 64; ++sq) {
        for (int i = 0; i < 200; ++i) {
            Bitboard occ = rng.next() & rng.next();
            ASSERT_EQ(rook_attacks(sq, occ), slider_attacks_slow(sq, occ, true));
            ASSERT_EQ(bishop_attacks(sq, occ), slider_attacks_slow(sq, occ, false));
        }
    }
    EXPECT_EQ(rook_attacks(0, 0), (FILE_A | RANK_1) & ~bb(0));
    EXPECT_EQ(rook_attacks(0, bb(24)), RANK_1 - 1 + bb(8) + bb(16) + bb(24) - 0);
    EXPECT_EQ(attacks::LINE[0][9], 0x8040201008040201ULL);
    EXPECT_EQ(attacks::LINE[0][17], 0u);
    EXPECT_EQ(attacks::BETWEEN[0][63], 0x0040201008040200ULL);
    EXPECT_EQ(attacks::BETWEEN[0][1], 0u);
    EXPECT_EQ(attacks::PAWN[WHITE][8], bb(17));
    EXPECT_EQ(attacks::PAWN[BLACK][8], bb(1));
    EXPECT_EQ(attacks::PAWN[WHITE][56], 0u);
}

}  // namespace
}  // namespace velmar
