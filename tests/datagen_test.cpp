// The training record: what the generator packs, the trainer must read back unchanged.
#include "../tools/datagen/record.h"

#include "test_util.h"

#include <cstring>
#include <gtest/gtest.h>

namespace velmar {
namespace {

using training::PackedPosition;

TEST(DatagenRecord, RoundTripOverRandomGames) {
    test::Rng rng{7};
    int checked = 0;
    for (std::string_view start : test::varied_fens()) {
        test::random_game(test::fen(start), rng, 120, [&](const Position& pos) {
            const int32_t score = int32_t(rng.below(80000)) - 40000;
            MoveList moves;
            generate_all(pos, moves);
            const Move played = moves.empty() ? NO_MOVE : moves[int(rng.below(moves.size()))];
            const uint8_t result = uint8_t(rng.below(3));
            const PackedPosition r = training::pack(pos, score, played, result, uint16_t(checked));

            Result<Position> back = Position::from_fen(training::to_fen(r));
            ASSERT_TRUE(back.ok()) << training::to_fen(r);
            for (int sq = 0; sq < 64; ++sq) ASSERT_EQ(back.value().piece_on(sq), pos.piece_on(sq));
            EXPECT_EQ(back.value().side_to_move(), pos.side_to_move());
            int pieces = 0;
            training::for_each_piece(r, [&](int sq, Piece p) {
                EXPECT_EQ(p, pos.piece_on(sq));
                ++pieces;
            });
            EXPECT_EQ(pieces, popcount(pos.pieces()));
            EXPECT_EQ(r.score, std::clamp(score, -32767, 32767));
            EXPECT_EQ(Move(r.move), played);
            EXPECT_EQ(r.result, result);
            EXPECT_EQ(r.ply, uint16_t(checked));
            ++checked;
        });
    }
    EXPECT_GT(checked, 500);
}

// The byte layout is the file format: pinned on the start position.
TEST(DatagenRecord, ByteLayout) {
    const PackedPosition r = training::pack(Position::startpos(), -300, Move(12, 28, kind::DOUBLE_PUSH),
                                            training::RESULT_WHITE_WINS, 513);
    uint8_t bytes[32];
    std::memcpy(bytes, &r, 32);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[2], 0x00);
    EXPECT_EQ(bytes[7], 0xFF);
    EXPECT_EQ(bytes[8], 0x13);  // a1 rook (3), then b1 knight (1)
    EXPECT_EQ(bytes[23], 0x97); // g8 knight (7), then h8 rook (9)
    EXPECT_EQ(bytes[24] | bytes[25] << 8, 0x10000 - 300);
    EXPECT_EQ(bytes[26] | bytes[27] << 8, Move(12, 28, kind::DOUBLE_PUSH).bits);
    EXPECT_EQ(bytes[28], 2);
    EXPECT_EQ(bytes[29], 0);
    EXPECT_EQ(bytes[30] | bytes[31] << 8, 513);
}

} // namespace
} // namespace velmar
