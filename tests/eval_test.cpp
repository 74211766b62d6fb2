#include "eval.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "movegen.h"
#include "position.h"

namespace velmar {
namespace {

Position from_fen_or_fail(std::string_view fen) {
    auto pos = Position::from_fen(fen);
    EXPECT_TRUE(pos.ok()) << fen << ": " << (pos.ok() ? "" : pos.error().message);
    return pos.ok() ? pos.value() : Position::startpos();
}

// The same position with the board mirrored top to bottom and the colours swapped.
std::string color_flipped(std::string_view fen) {
    auto swap_case = [](char c) {
        return std::isupper(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : char(std::toupper(c));
    };
    const size_t board_end = fen.find(' ');
    std::string_view board = fen.substr(0, board_end), rest = fen.substr(board_end + 1);
    std::string out;
    // Ranks in reverse order, each with its pieces' colours swapped.
    for (size_t end = board.size(); end != std::string_view::npos;) {
        const size_t slash = board.rfind('/', end - 1);
        const size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        for (char c : board.substr(begin, end - begin)) out.push_back(swap_case(c));
        if (slash == std::string_view::npos) break;
        out.push_back('/');
        end = slash;
    }
    out.push_back(' ');
    out.push_back(rest[0] == 'w' ? 'b' : 'w');
    out.push_back(' ');
    const std::string_view rights = rest.substr(2, rest.find(' ', 2) - 2);
    size_t written = 0;
    for (char c : std::string_view("KQkq"))
        if (rights.find(swap_case(c)) != std::string_view::npos) out.push_back(c), ++written;
    if (written == 0) out.push_back('-');
    std::string_view tail = rest.substr(2 + rights.size());  // " ep halfmove fullmove"
    out.append(tail.begin(), tail.end());
    // The en-passant square moves from the sixth rank to the third or back.
    const size_t ep = out.size() - tail.size() + 1;
    if (out[ep] != '-') out[ep + 1] = out[ep + 1] == '3' ? '6' : '3';
    return out;
}

TEST(Eval, TablesHoldTheDocumentedValues) {
    struct Entry { int phase; Piece piece; std::string_view square; int32_t value; };
    const Entry ENTRIES[] = {
        {0, make_piece(WHITE, PAWN), "d2", 92},     {0, make_piece(WHITE, PAWN), "c7", 158},
        {1, make_piece(WHITE, PAWN), "e7", 210},    {1, make_piece(WHITE, PAWN), "a3", 128},
        {0, make_piece(WHITE, KNIGHT), "e5", 342},  {1, make_piece(WHITE, KNIGHT), "b2", 294},
        {0, make_piece(WHITE, BISHOP), "a1", 324},  {0, make_piece(WHITE, BISHOP), "d4", 348},
        {0, make_piece(WHITE, BISHOP), "g2", 336},  {1, make_piece(WHITE, BISHOP), "e5", 332},
        {0, make_piece(WHITE, ROOK), "d7", 494},    {0, make_piece(WHITE, ROOK), "a1", 470},
        {1, make_piece(WHITE, ROOK), "h7", 532},    {0, make_piece(WHITE, QUEEN), "d1", 944},
        {1, make_piece(WHITE, QUEEN), "e4", 972},   {0, make_piece(WHITE, KING), "g1", 25},
        {0, make_piece(WHITE, KING), "d2", -15},    {0, make_piece(WHITE, KING), "a3", -25},
        {0, make_piece(WHITE, KING), "h8", -85},    {1, make_piece(WHITE, KING), "e1", -30},
        {1, make_piece(WHITE, KING), "d5", 30},     {0, make_piece(BLACK, KING), "g8", 25},
        {0, make_piece(BLACK, PAWN), "d7", 92},     {1, make_piece(BLACK, ROOK), "a2", 532},
    };
    for (const Entry& e : ENTRIES) {
        SCOPED_TRACE(testing::Message() << piece_char(e.piece) << e.square);
        Square sq = make_square(e.square[0] - 'a', e.square[1] - '1');
        EXPECT_EQ(TABLES[e.phase][e.piece][sq], e.value);
    }
}

struct EvalCase {
    std::string_view fen;
    int32_t white_view;
    std::string_view why;
};

constexpr EvalCase EVAL_CASES[] = {
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 0, "start, white to move"},
    {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", 0, "start, black to move"},
    {"4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", 120, "phase 0: only the pawn's end-game value"},
    {"4k3/8/8/8/8/8/4P3/4K3 b - - 0 1", 120, "same, black to move"},
    // Bishops c1 and e3 are both on dark squares; phase 2. Without the pair bonus this
    // would be (2 * 656 + 22 * 636) / 24 = 637.
    {"4k3/8/8/8/8/4B3/8/2B1K3 w - - 0 1", 681, "bishop pair on one colour"},
    // Phase 4: (4 * 1036 + 20 * 1068) / 24 = 1062.67, and the mirror must not round to -1063.
    {"4k3/8/8/8/8/8/3P4/3QK3 b - - 0 1", 1062, "queen and pawn up, black to move"},
    {"3qk3/3p4/8/8/8/8/8/4K3 w - - 0 1", -1062, "division truncates towards zero"},
};

TEST(Eval, KnownPositionsScoreAsDocumented) {
    for (const EvalCase& c : EVAL_CASES) {
        SCOPED_TRACE(std::string(c.why) + ": " + std::string(c.fen));
        Position pos = from_fen_or_fail(c.fen);
        EXPECT_EQ(PstEval::evaluate_white(pos), c.white_view);
        PstEval eval;
        eval.reset(pos);
        EXPECT_EQ(eval.evaluate(pos), pos.side_to_move() == WHITE ? c.white_view : -c.white_view);
        EXPECT_FALSE(eval.wdl(pos).has_value());
    }
}

// Over positions from random games: the colour-flipped position scores the negation from
// White's view and the same for the side to move; after a null move the side-to-move score
// flips while the evaluator hears nothing; push/pop around a move leave no trace.
TEST(Eval, ColourFlipNegatesAndNullMoveIsSeen) {
    constexpr std::string_view STARTS[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    };
    uint64_t rng = 0xE7A1E7A1E7A1ULL;
    int checked = 0;
    for (std::string_view start : STARTS) {
        for (int game = 0; game < 10; ++game) {
            Position pos = from_fen_or_fail(start);
            PstEval eval;
            eval.reset(pos);
            for (int ply = 0; ply < 80; ++ply) {
                const std::string fen = pos.to_fen();
                SCOPED_TRACE(fen);
                Position flipped = from_fen_or_fail(color_flipped(fen));
                const int32_t white = PstEval::evaluate_white(pos);
                EXPECT_EQ(PstEval::evaluate_white(flipped), -white);
                EXPECT_EQ(eval.evaluate(flipped), eval.evaluate(pos));
                if (!pos.in_check()) {
                    const int32_t before = eval.evaluate(pos);
                    pos.make_null();
                    EXPECT_EQ(eval.evaluate(pos), -before);
                    pos.unmake_null();
                }
                ++checked;

                MoveList moves;
                generate_all(pos, moves);
                if (moves.empty()) break;
                rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
                const Move m = moves[int(rng % uint64_t(moves.size()))];
                const int32_t before = eval.evaluate(pos);
                eval.push_move(pos, m);
                pos.make_move(m);
                pos.unmake_move(m);
                eval.pop_move();
                EXPECT_EQ(eval.evaluate(pos), before);
                eval.push_move(pos, m);
                pos.make_move(m);
            }
        }
    }
    EXPECT_GT(checked, 1000);
}

// The search holds concrete evaluators by value and calls them without virtual dispatch;
// the base class is only the contract, and a copy is an independent evaluator.
TEST(Eval, ConcreteEvaluatorThroughContractAgrees) {
    Position pos = from_fen_or_fail("r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4");
    PstEval direct;
    PstEval copy = direct;
    Evaluator& contract = copy;
    contract.reset(pos);
    EXPECT_EQ(contract.evaluate(pos), direct.evaluate(pos));
    EXPECT_FALSE(contract.wdl(pos).has_value());
}

}  // namespace
}  // namespace velmar
