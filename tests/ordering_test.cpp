#include "ordering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "see.h"
#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

std::unique_ptr<Histories> fresh_histories() {
    auto h = std::make_unique<Histories>();
    h->clear();
    return h;
}

// The band a yielded move belongs to, in the order the staged picker must respect.
int band(Move m, int32_t score, Move tt_move) {
    if (m == tt_move) return 0;
    if (m.is_noisy() && score >= order::GOOD_NOISY) return 1;
    if (score == order::KILLER_0 || score == order::KILLER_1 || score == order::COUNTER) return 2;
    if (!m.is_noisy()) return 3;
    return 4;
}

TEST(Ordering, HistoryBonusAndMalusFollowTheDepthFormula) {
    struct Case {
        int depth;
        int32_t bonus, malus;
    };
    constexpr Case CASES[] = {{0, 0, 0}, {1, 33, 103}, {2, 249, 389}, {5, 897, 1247},
                              {6, 1113, 1271}, {7, 1248, 1271}, {40, 1248, 1271}};
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.depth);
        EXPECT_EQ(history_bonus(c.depth), c.bonus);
        EXPECT_EQ(history_malus(c.depth), c.malus);
    }
}

TEST(Ordering, GravityStaysWithinTheHistoryRange) {
    EXPECT_EQ(gravity(HISTORY_MAX, 1248), HISTORY_MAX);
    EXPECT_EQ(gravity(-HISTORY_MAX, -1271), -HISTORY_MAX);
    EXPECT_EQ(gravity(0, 1248), 1248);
    EXPECT_EQ(gravity(8192, 1000), 8192 + 1000 - 500);
    EXPECT_EQ(gravity(-8192, -1000), -8192 - 1000 + 500);
    // Any sequence of updates keeps the entry in range.
    test::Rng rng{5};
    int32_t v = 0;
    for (int i = 0; i < 100000; ++i) {
        v = gravity(v, int32_t(rng.below(2 * 1271 + 1)) - 1271);
        ASSERT_LE(v, HISTORY_MAX);
        ASSERT_GE(v, -HISTORY_MAX);
    }
}

TEST(Ordering, EqualScoresComeOutInListOrder) {
    Position pos = Position::startpos();
    MoveList list;
    generate_all(pos, list);
    auto drain = [](MovePicker& picker) {
        std::vector<Move> out;
        Move m;
        int32_t s;
        while (picker.next_move(m, s)) out.push_back(m);
        return out;
    };
    MovePicker flat(list);
    EXPECT_EQ(drain(flat), std::vector<Move>(list.begin(), list.end()));

    // Two moves share the top score: the one earlier in the list goes first.
    MovePicker tied(list);
    tied.scores[5] = 9;
    tied.scores[12] = 9;
    tied.scores[2] = 4;
    const std::vector<Move> out = drain(tied);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], list[5]);
    EXPECT_EQ(out[1], list[12]);
    EXPECT_EQ(out[2], list[2]);
}

// Over many positions, with hash, killer and counter moves drawn from anywhere (legal,
// illegal, captures, equal to each other), the staged picker hands out every legal move
// exactly once, in band order, and scores good captures by the exchange test.
TEST(Ordering, StagedPickerYieldsEveryLegalMoveOnceInBandOrder) {
    auto h = fresh_histories();
    test::Rng rng{11};
    int positions = 0;
    std::vector<Move> seen_moves;  // a pool of moves from other positions: often illegal here
    for (std::string_view start : test::varied_fens()) {
        test::random_game(fen(start), rng, 40, [&](const Position& pos) {
            MoveList legal;
            generate_all(pos, legal);
            for (Move m : legal) seen_moves.push_back(m);
            auto pick = [&]() -> Move {
                switch (rng.below(3)) {
                case 0: return NO_MOVE;
                case 1: return legal.empty() ? NO_MOVE : legal[int(rng.below(legal.size()))];
                default: return seen_moves[rng.below(seen_moves.size())];
                }
            };
            // Some history so the quiet order is not just the list order.
            for (Move m : legal)
                if (!m.is_noisy())
                    h->main_entry(pos.side_to_move(), pawn_threats(pos), m) =
                        int16_t(int(rng.below(2001)) - 1000);
            PickerInputs in;
            in.tt_move = pick();
            in.killer0 = pick();
            in.killer1 = rng.below(4) == 0 ? in.killer0 : pick();
            in.counter = pick();
            in.ctx = h->context(pos.side_to_move(), pawn_threats(pos), 0);
            MainPicker picker(pos, *h, in);
            std::vector<Move> out;
            int last_band = 0;
            Move m;
            int32_t score;
            while (picker.next(m, score)) {
                out.push_back(m);
                const int b = band(m, score, in.tt_move);
                EXPECT_GE(b, last_band) << m.text() << " in " << pos.to_fen();
                last_band = b;
                const bool under_promotion = m.is_promotion() && m.promoted() != QUEEN;
                if (b == 1) {
                    EXPECT_TRUE(see_ge(pos, m, 0)) << m.text();
                }
                if (b == 4 && !under_promotion) {
                    EXPECT_FALSE(see_ge(pos, m, 0)) << m.text();
                }
            }
            std::multiset<uint16_t> got, want;
            for (Move x : out) got.insert(x.bits);
            for (Move x : legal) want.insert(x.bits);
            EXPECT_EQ(got, want) << pos.to_fen();
            ++positions;
        });
    }
    EXPECT_GT(positions, 300);
}

TEST(Ordering, AllMovesPathScoresEveryMoveOnce) {
    auto h = fresh_histories();
    test::Rng rng{3};
    for (std::string_view start : test::varied_fens()) {
        test::random_game(fen(start), rng, 20, [&](const Position& pos) {
            MoveList legal;
            generate_all(pos, legal);
            PickerInputs in = picker_inputs(pos, *h, legal.empty() ? NO_MOVE : legal[0], 0);
            MainPicker picker(pos, *h, in, nullptr, 0, 5);
            std::multiset<uint16_t> got, want;
            Move m;
            int32_t score;
            int32_t previous = INT32_MAX;
            while (picker.next(m, score)) {
                got.insert(m.bits);
                EXPECT_LE(score, previous);
                previous = score;
                if (m == in.tt_move) {
                    EXPECT_EQ(score, order::TT_MOVE);
                }
            }
            for (Move x : legal) want.insert(x.bits);
            EXPECT_EQ(got, want) << pos.to_fen();
        });
    }
}

// A policy that orders by its own scores but knows nothing about the table move.
TEST(Ordering, PolicyOrderStillTriesTheTableMoveFirst) {
    auto h = fresh_histories();
    DummyPolicy policy(1);
    const Position pos =
        fen("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1");
    const Move tt_move = pos.parse_uci_move("a2a3");  // a quiet edge move the policy dislikes
    ASSERT_FALSE(tt_move.is_null());
    MainPicker picker(pos, *h, picker_inputs(pos, *h, tt_move, 1), &policy, 1, 5);
    Move m;
    int32_t score;
    ASSERT_TRUE(picker.next(m, score));
    EXPECT_EQ(m, tt_move);
    // Then every capture (policy score >= 1000) before any quiet move (at most 12).
    bool quiet_seen = false;
    while (picker.next(m, score)) {
        if (!m.is_noisy()) {
            quiet_seen = true;
        } else {
            EXPECT_FALSE(quiet_seen) << m.text();
        }
        EXPECT_LE(std::abs(score), order::POLICY_LIMIT);
    }
}

TEST(Ordering, DummyPolicyScoresCapturesAboveQuietMoves) {
    struct Case {
        std::string_view fen;
        std::string_view move;
        int32_t score;
    };
    constexpr Case CASES[] = {
        {"4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4d5", (950 * 16 - 0) / 16 + 1000},
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 2", "e5d6", 100 + 1000},
        {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8q", 950 + 1000},
        {"4k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7a8n", 1000},
        {"4k3/8/8/3r4/8/8/8/3QK3 w - - 0 1", "d1d5", (470 * 16 - 4) / 16 + 1000},
        {"4k3/8/8/8/8/8/8/4K1N1 w - - 0 1", "g1f3", 14 - 3 - 3},
        {"4k3/8/8/8/8/8/8/4K1N1 w - - 0 1", "e1d1", 14 - 1 - 7},
        {"4k3/8/8/8/8/2N5/8/4K3 w - - 0 1", "c3d5", 14 - 1 - 1},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.move);
        const Position pos = fen(c.fen);
        const Move m = pos.parse_uci_move(c.move);
        ASSERT_FALSE(m.is_null());
        EXPECT_EQ(DummyPolicy::score(pos, m), c.score);
    }
}

TEST(Ordering, UpdatesReachTheContinuationEntriesOfEarlierMoves) {
    auto h = fresh_histories();
    const Position pos = Position::startpos();
    const Move m = pos.parse_uci_move("g1f3");
    const Piece knight = make_piece(WHITE, KNIGHT);
    // Plies 0..4 with ply 2 a null move: the update at ply 5 reaches plies 4, 3 and 1.
    for (int ply = 0; ply < 5; ++ply)
        h->move_stack[ply] = PlyMove{ply != 2, Piece(ply), Square(ply)};
    h->update_history(WHITE, 0, knight, m, 5, 1000);
    EXPECT_EQ(h->main[WHITE][0][0][m.from()][m.to()], 1000);
    EXPECT_EQ(h->cont[4][4][KNIGHT][m.to()], 1000);
    EXPECT_EQ(h->cont[3][3][KNIGHT][m.to()], 1000);
    EXPECT_EQ(h->cont_far[1][1][KNIGHT][m.to()], 1000);
    EXPECT_EQ(h->cont_far[2][2][KNIGHT][m.to()], 0);
    // Read back at ply 5: main + both continuations + half of the far one.
    EXPECT_EQ(h->quiet_history(WHITE, 0, knight, m, 5), 1000 + 1000 + 1000 + 500);
    // Threat indices select another main entry.
    EXPECT_EQ(h->quiet_history(WHITE, bb(m.to()), knight, m, 5), 0 + 1000 + 1000 + 500);

    h->age_main();
    EXPECT_EQ(h->main[WHITE][0][0][m.from()][m.to()], 500);
    EXPECT_EQ(h->cont[4][4][KNIGHT][m.to()], 1000);
}

TEST(Ordering, PawnThreatsFollowPawnCaptureDirections) {
    const Position pos = fen("4k3/8/8/3p4/8/8/P6P/4K3 w - - 0 1");
    EXPECT_EQ(pawn_threats(pos), bb(make_square(2, 3)) | bb(make_square(4, 3)));
    const Position black = fen("4k3/p6p/8/8/3P4/8/8/4K3 b - - 0 1");
    EXPECT_EQ(pawn_threats(black), bb(make_square(2, 4)) | bb(make_square(4, 4)));
    const Position edges = fen("4k3/8/8/8/8/8/P6P/4K3 b - - 0 1");
    EXPECT_EQ(pawn_threats(edges), bb(make_square(1, 2)) | bb(make_square(6, 2)));
}

}  // namespace
}  // namespace velmar
