#include "search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>
#include <vector>

#include "syzygy.h"
#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

SearchLimits depth_limit(int depth) {
    SearchLimits limits;
    limits.depth = depth;
    return limits;
}

struct Rig {
    std::shared_ptr<TranspositionTable> table = std::make_shared<TranspositionTable>(4);
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<Searcher<PstEval>> searcher =
        std::make_unique<Searcher<PstEval>>(PstEval{}, table, stop);

    SearchResult run(const Position& pos, SearchLimits limits,
                     std::vector<IterationInfo>* infos = nullptr) {
        return searcher->search(limits, pos, [infos](const IterationInfo& info) {
            if (infos) infos->push_back(info);
        });
    }
    SearchResult to_depth(const Position& pos, int depth) { return run(pos, depth_limit(depth)); }
};

Position with_moves(std::string_view start, std::initializer_list<std::string_view> moves) {
    Position pos = fen(start);
    for (std::string_view text : moves) {
        const Move m = pos.parse_uci_move(text);
        EXPECT_FALSE(m.is_null()) << text;
        if (!m.is_null()) pos.make_move(m);
    }
    return pos;
}

// Plays `pv` and reports whether every move was legal; `end` gets the final position.
bool play_line(Position pos, const std::vector<Move>& pv, Position* end = nullptr) {
    for (Move m : pv) {
        if (!is_legal_move(pos, m)) return false;
        pos.make_move(m);
    }
    if (end) *end = pos;
    return true;
}

// Mate distances confirmed by an exhaustive AND-OR search outside the engine.
// plies > 0: the side to move mates in that many plies; < 0: it is mated after that many.
struct MateCase {
    std::string_view fen;
    int plies;
};
constexpr MateCase MATE_CASES[] = {
    {"6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1", 1},
    {"3r2k1/5ppp/8/8/8/8/5PPP/6K1 b - - 0 1", 1},
    {"r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4", 1},
    {"kbK5/pp6/1P6/8/8/8/8/R7 w - - 0 1", 3},
    {"7k/8/8/8/8/8/R7/1R4K1 w - - 0 1", 3},
    {"8/k7/8/6RK/8/8/8/4R3 w - - 0 1", 5},
    {"1k1K4/8/8/8/6Q1/8/8/8 w - - 0 1", 5},
    {"2N5/7Q/8/8/8/8/3K4/6k1 w - - 0 1", 7},
    {"8/7Q/8/k7/4K3/8/8/8 w - - 0 1", 7},
    {"8/8/8/1k6/3Q4/3K4/8/4N3 w - - 0 1", 7},
    {"8/1Q6/8/k7/4K3/8/8/8 b - - 1 1", -6},
};

// "null" stands for a null move. A position from before the last null move never counts.
TEST(Search, RepetitionsAreFoundOnlySinceTheLastNullMove) {
    struct Case {
        std::vector<std::string_view> line;
        bool repeated;
    };
    const Case CASES[] = {
        {{"g1f3", "g8f6", "f3g1", "f6g8"}, true},
        {{"g1f3", "null", "f3g1", "null"}, false},  // the start position again, but via nulls
        {{"null", "g8f6", "g1f3", "f6g8", "f3g1"}, true},
    };
    for (const Case& c : CASES) {
        Position pos = Position::startpos();
        for (std::string_view text : c.line) {
            SCOPED_TRACE(text);
            if (text == "null") {
                pos.make_null();
                continue;
            }
            Move m = pos.parse_uci_move(text);
            ASSERT_FALSE(m.is_null());
            pos.make_move(m);
        }
        EXPECT_EQ(is_repetition(pos), c.repeated) << c.line.size();
    }
}

TEST(Search, FindsForcedMatesAtTheirDistance) {
    Rig rig;
    for (const MateCase& c : MATE_CASES) {
        SCOPED_TRACE(c.fen);
        const Position pos = fen(c.fen);
        rig.table->clear();
        rig.searcher->clear();
        std::vector<IterationInfo> infos;
        SearchLimits limits;
        limits.depth = 12;
        const SearchResult r = rig.run(pos, limits, &infos);
        const int32_t expected = c.plies > 0 ? SCORE_MATE - c.plies : -SCORE_MATE + -c.plies;
        EXPECT_EQ(r.score, expected);
        ASSERT_FALSE(infos.empty());
        // The reported line is the mate itself: it ends in checkmate after exactly that many plies.
        const std::vector<Move>& pv = infos.back().pv;
        EXPECT_EQ(int(pv.size()), std::abs(c.plies));
        Position end = pos;
        ASSERT_TRUE(play_line(pos, pv, &end));
        MoveList replies;
        generate_all(end, replies);
        EXPECT_TRUE(end.in_check() && replies.empty()) << end.to_fen();
        EXPECT_EQ(r.best, pv.front());
    }
}

TEST(Search, NoMoveWhenTheRootIsOver) {
    struct Case {
        std::string_view fen;
        int32_t score;
    };
    constexpr Case CASES[] = {
        {"k7/1Q6/1K6/8/8/8/8/8 b - - 0 1", -SCORE_MATE},
        {"k7/1Q6/1K6/8/8/8/8/8 b - - 100 90", -SCORE_MATE},  // mate beats the fifty-move rule
        {"k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", SCORE_DRAW},
        {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", SCORE_DRAW},
    };
    Rig rig;
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.fen);
        std::vector<IterationInfo> infos;
        const SearchResult r = rig.run(fen(c.fen), SearchLimits{}, &infos);
        EXPECT_TRUE(r.best.is_null());
        EXPECT_TRUE(r.ponder.is_null());
        EXPECT_EQ(r.score, c.score);
        EXPECT_TRUE(infos.empty());
    }
}

TEST(Search, DrawsInsideTheTreeScoreZero) {
    struct Case {
        std::string_view fen;
        std::string_view best;  // empty: any move
        int32_t score;
        std::string_view why;
    };
    constexpr Case CASES[] = {
        {"7k/8/8/8/8/4r3/3B4/5K2 w - - 0 1", "d2e3", 0, "taking the rook leaves bishop vs king"},
        {"8/8/8/4k3/8/8/8/2B1K3 w - - 0 1", "", 0, "bishop and king against king"},
        {"8/8/8/3k4/8/8/8/KQ6 w - - 99 80", "", 0, "every move reaches the hundredth half-move"},
        {"7k/8/5K2/8/8/8/8/6Q1 w - - 99 80", "g1g7", SCORE_MATE - 1, "but a mate still counts"},
    };
    Rig rig;
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.why);
        const Position pos = fen(c.fen);
        const SearchResult r = rig.to_depth(pos, 10);
        EXPECT_EQ(r.score, c.score);
        if (!c.best.empty()) {
            EXPECT_EQ(r.best.text(), c.best);
        }
    }

    // Not draws: a capture resets the clock, and two knights are mating material in principle.
    EXPECT_GT(rig.to_depth(fen("8/7k/8/8/8/8/r7/QK6 w - - 99 80"), 8).score, 500);
    EXPECT_GT(rig.to_depth(fen("8/8/8/4k3/8/8/8/1NN1K3 w - - 0 1"), 8).score, 300);
}

TEST(Search, RepeatingAPositionFromTheGameHistoryIsADraw) {
    // A queen down, White can only hope to repeat: Kh1 recreates the position of four plies
    // ago, which lies in the game history, not in the search.
    const Position pos = with_moves("q5k1/5ppp/8/8/8/8/5PPP/6K1 w - - 0 1",
                                    {"g1h1", "g8h8", "h1g1", "h8g8"});
    Rig rig;
    const SearchResult r = rig.to_depth(pos, 8);
    EXPECT_EQ(r.score, 0);
    EXPECT_EQ(r.best.text(), "g1h1");
    // Without the history the same position is simply lost.
    EXPECT_LT(rig.to_depth(fen("q5k1/5ppp/8/8/8/8/5PPP/6K1 w - - 0 1"), 8).score, -500);
}

// Over positions from random games: the best move, the ponder move and every reported line
// are legal, and every iteration reports a consistent record.
TEST(Search, EveryBestMoveIsLegal) {
    Rig rig;
    test::Rng rng{2024};
    int searched = 0;
    for (std::string_view start : test::varied_fens()) {
        test::random_game(fen(start), rng, 24, [&](const Position& pos) {
            if (rng.below(3) != 0) return;
            MoveList legal;
            generate_all(pos, legal);
            std::vector<IterationInfo> infos;
            SearchLimits limits;
            limits.depth = 5;
            const SearchResult r = rig.run(pos, limits, &infos);
            ++searched;
            if (legal.empty()) {
                EXPECT_TRUE(r.best.is_null());
                return;
            }
            EXPECT_TRUE(legal.contains(r.best)) << pos.to_fen();
            if (!r.ponder.is_null()) {
                EXPECT_TRUE(play_line(pos, {r.best, r.ponder})) << pos.to_fen();
            }
            ASSERT_FALSE(infos.empty());
            for (const IterationInfo& info : infos) {
                EXPECT_FALSE(info.pv.empty());
                EXPECT_TRUE(play_line(pos, info.pv)) << pos.to_fen();
            }
            EXPECT_EQ(infos.back().pv.front(), r.best);
            EXPECT_EQ(infos.back().score, r.score);
            EXPECT_EQ(infos.back().depth, 5);
        });
    }
    EXPECT_GT(searched, 30);
}

TEST(Search, SameSearchTwiceGivesTheSameLines) {
    const Position pos =
        fen("r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10");
    SearchLimits limits;
    limits.nodes = 20000;
    auto lines = [&] {
        Rig rig;
        std::vector<IterationInfo> infos;
        const SearchResult r = rig.run(pos, limits, &infos);
        std::vector<std::tuple<int, int32_t, uint64_t, std::vector<Move>>> out;
        for (const IterationInfo& i : infos) out.emplace_back(i.depth, i.score, i.nodes, i.pv);
        out.emplace_back(r.depth, r.score, r.nodes, std::vector<Move>{r.best, r.ponder});
        return out;
    };
    EXPECT_EQ(lines(), lines());
}

TEST(Search, DepthLimitsAreClamped) {
    Rig rig;
    const Position mate = fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    EXPECT_EQ(rig.to_depth(mate, 0).depth, 1);
    EXPECT_EQ(rig.to_depth(mate, -3).depth, 1);
    EXPECT_EQ(rig.to_depth(mate, 200).depth, 127);

    // One legal move: with a clock there is nothing to think about; with a fixed time there is.
    const Position forced = fen("k7/8/1K6/8/8/8/8/7R b - - 0 1");  // only Kb8
    SearchLimits clock;
    clock.time = 60'000;
    EXPECT_EQ(rig.run(forced, clock).depth, 1);
    SearchLimits fixed;
    fixed.movetime = 60'000;
    fixed.depth = 4;
    EXPECT_EQ(rig.run(forced, fixed).depth, 4);
}

TEST(Search, TimeBudgetFromTheClock) {
    struct Case {
        std::optional<uint64_t> movetime, time;
        std::optional<int32_t> movestogo;
        uint64_t inc, overhead;
        std::optional<uint64_t> soft, hard;
    };
    const Case CASES[] = {
        // Below Move Overhead an increment leaves a reserve of 20 moves' shortfall (here
        // 210 ms), of which a move may take a hundredth.
        {std::nullopt, 40'000, 20, 0, 10, 1'991, 7'958},
        {std::nullopt, 100'000, std::nullopt, 0, 10, 4'991, 19'958},
        {std::nullopt, 1'000, std::nullopt, 0, 10, 41, 158},  // 1+0
        {std::nullopt, 210, std::nullopt, 0, 10, 2, 2},
        {std::nullopt, 15, std::nullopt, 0, 10, 0, 0},  // the first iteration only
        {std::nullopt, 5, std::nullopt, 0, 10, 0, 0},
        {std::nullopt, 0, std::nullopt, 0, 10, 0, 0},
        {std::nullopt, 300, std::nullopt, 0, 100, 2, 2},
        {std::nullopt, 150, std::nullopt, 0, 100, 0, 0},
        // No reserve once the increment pays for the overhead.
        {std::nullopt, 500, std::nullopt, 10, 10, 31, 124},  // 0.5+0.01
        {std::nullopt, 30, std::nullopt, 100, 10, 10, 14},
        {std::nullopt, 10, std::nullopt, 100, 10, 0, 0},
        {std::nullopt, 100, std::nullopt, 1'000, 100, 0, 0},
        {std::nullopt, 100'000, 200, 0, 0, 1'666, 6'664},  // moves to go capped at 60
        {std::nullopt, 10'000, std::nullopt, 1'000, 0, 1'250, 5'000},
        {std::nullopt, 1'000, 1, 0, 0, 500, 700},  // at most half the time left
        {5, std::nullopt, std::nullopt, 0, 10, std::nullopt, 1},
        {1'000, 50'000, std::nullopt, 0, 10, std::nullopt, 990},  // movetime wins
        {std::nullopt, std::nullopt, std::nullopt, 0, 10, std::nullopt, std::nullopt},
        // Huge values count as MAX_CLOCK_MS (2^40 ms): long searches, not overflows.
        {10'000'000'000'000, std::nullopt, std::nullopt, 0, 10, std::nullopt, 1'099'511'627'766},
        {UINT64_MAX, std::nullopt, std::nullopt, 0, 10, std::nullopt, 1'099'511'627'766},
        {std::nullopt, UINT64_MAX, std::nullopt, 0, 10, 54'975'581'380, 219'902'325'514},
        {std::nullopt, UINT64_MAX, 1, UINT64_MAX, 0, 549'755'813'888, 769'658'139'443},
        {std::nullopt, 1'000, std::nullopt, UINT64_MAX, 10, 495, 693},
        {std::nullopt, 10'000, std::nullopt, 100, UINT64_MAX, 0, 0},
    };
    for (const Case& c : CASES) {
        SearchLimits limits;
        limits.movetime = c.movetime;
        limits.time = c.time;
        limits.movestogo = c.movestogo;
        limits.inc = c.inc;
        const TimeBudget b = time_budget(limits, c.overhead);
        SCOPED_TRACE(testing::Message() << "time " << c.time.value_or(0) << " movetime "
                                        << c.movetime.value_or(0) << " inc " << c.inc
                                        << " overhead " << c.overhead);
        EXPECT_EQ(b.soft_ms, c.soft);
        EXPECT_EQ(b.hard_ms, c.hard);
    }
}

// Over every clock up to a few seconds: the hard limit leaves Move Overhead on the clock (all
// of a clock below it); it never falls as the clock grows; soft <= hard.
TEST(Search, TimeBudgetKeepsAReserveAndGrowsWithTheClock) {
    for (uint64_t overhead : {0u, 1u, 10u, 30u, 100u, 1'000u}) {
        for (uint64_t inc : {0u, 10u, 100u, 1'000u}) {
            for (std::optional<int32_t> to_go : {std::optional<int32_t>(), std::optional(1),
                                                 std::optional(5), std::optional(40)}) {
                SCOPED_TRACE(testing::Message() << "overhead " << overhead << " inc " << inc
                                                << " movestogo " << to_go.value_or(0));
                TimeBudget previous;
                for (uint64_t t = 0; t <= 3'000; ++t) {
                    SearchLimits limits;
                    limits.time = t;
                    limits.inc = inc;
                    limits.movestogo = to_go;
                    const TimeBudget b = time_budget(limits, overhead);
                    ASSERT_TRUE(b.soft_ms && b.hard_ms) << t;
                    ASSERT_LE(*b.soft_ms, *b.hard_ms) << t;
                    ASSERT_GE(t - *b.hard_ms, std::min(overhead, t)) << t;
                    if (t > 0) {
                        ASSERT_GE(*b.soft_ms, *previous.soft_ms) << t;
                        ASSERT_GE(*b.hard_ms, *previous.hard_ms) << t;
                    }
                    previous = b;
                }
            }
        }
    }
}

// The clock runs from limits.start (when the front end read `go`), not from when search()
// begins: a minute's movetime that started two minutes ago is already spent.
TEST(Search, ClockRunsFromTheGivenStart) {
    Rig rig;
    SearchLimits limits;
    limits.movetime = 60'000;
    limits.start = std::chrono::steady_clock::now() - std::chrono::minutes(2);
    std::vector<IterationInfo> infos;
    const SearchResult r = rig.run(Position::startpos(), limits, &infos);
    EXPECT_GE(r.depth, 1);  // depth 1 always completes
    ASSERT_FALSE(infos.empty());
    EXPECT_GE(infos.front().time, 120'000u);
}

TEST(Search, DeadlinesSaturateAtTheEndOfTheClock) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    const Clock::time_point zero{}, now = Clock::now(), last = Clock::time_point::max();
    struct Case {
        Clock::time_point start;
        uint64_t ms;
        Clock::time_point deadline;
    };
    const Case CASES[] = {
        {zero, 1'000, zero + milliseconds(1'000)},
        {now, 0, now},
        {now, MAX_CLOCK_MS, now + milliseconds(MAX_CLOCK_MS)},
        {now, UINT64_MAX, now + milliseconds(MAX_CLOCK_MS)},
        {last - milliseconds(5), 4, last - milliseconds(1)},
        {last - milliseconds(5), 6, last},
        {last, 1, last},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(testing::Message()
                     << c.ms << " ms after " << c.start.time_since_epoch().count());
        EXPECT_EQ(deadline_after(c.start, c.ms), c.deadline);
    }
}

// A result reported after the search, as the pool does for a helper's move: its own line, on
// the searcher's clock.
TEST(Search, ReportResultPrintsThePlayedLine) {
    Rig rig;
    const Position pos = Position::startpos();
    rig.to_depth(pos, 3);
    SearchResult played;
    played.depth = 9;
    played.seldepth = 14;
    played.score = -35;
    played.nodes = 123'456;
    played.best = pos.parse_uci_move("g1f3");
    played.ponder = pos.parse_uci_move("g8f6");
    played.pv = {played.best, played.ponder};
    std::vector<IterationInfo> infos;
    const InfoSink sink = [&](const IterationInfo& info) { infos.push_back(info); };
    rig.searcher->report_result(played, sink);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].depth, 9);
    EXPECT_EQ(infos[0].seldepth, 14u);
    EXPECT_EQ(infos[0].score, -35);
    EXPECT_EQ(infos[0].nodes, 123'456u);
    EXPECT_EQ(infos[0].multipv, 1u);
    EXPECT_EQ(infos[0].pv, played.pv);
    played.best = NO_MOVE;  // a root without moves has no line
    rig.searcher->report_result(played, sink);
    EXPECT_EQ(infos.size(), 1u);
}

TEST(Search, SearchmovesNarrowTheRoot) {
    const Position pos = Position::startpos();
    MoveList legal;
    generate_all(pos, legal);
    const std::vector<Move> all(legal.begin(), legal.end());
    const Move e4 = pos.parse_uci_move("e2e4"), d4 = pos.parse_uci_move("d2d4");
    const Move bogus = Move(12, 36, kind::CAPTURE);

    EXPECT_EQ(restrict_root_moves(all, {}), all);
    EXPECT_EQ(restrict_root_moves({}, {e4, bogus}), (std::vector<Move>{e4, bogus}));
    EXPECT_EQ(restrict_root_moves(all, {bogus}), all);
    const std::vector<Move> two = restrict_root_moves(all, {e4, d4, bogus});
    ASSERT_EQ(two.size(), 2u);
    // In the order of the current list.
    EXPECT_EQ(std::find(all.begin(), all.end(), two[0]) < std::find(all.begin(), all.end(), two[1]),
              true);

    Rig rig;
    SearchLimits limits;
    limits.depth = 6;
    limits.searchmoves = {pos.parse_uci_move("a2a3"), pos.parse_uci_move("h2h3")};
    std::vector<IterationInfo> infos;
    const SearchResult r = rig.run(pos, limits, &infos);
    EXPECT_TRUE(r.best.text() == "a2a3" || r.best.text() == "h2h3") << r.best.text();
    for (const IterationInfo& info : infos)
        EXPECT_TRUE(info.pv[0].text() == "a2a3" || info.pv[0].text() == "h2h3");
}

TEST(Search, MultiPvReportsEachLineSortedByScore) {
    struct Case {
        std::string_view fen;
        size_t lines;
    };
    constexpr Case CASES[] = {
        {"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 3},
        {"k7/8/2K5/8/8/8/8/8 b - - 0 1", 2},  // only Ka7 and Kb8: two lines, not three
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.fen);
        Rig rig;
        rig.searcher->set_multipv(3);
        std::vector<IterationInfo> infos;
        SearchLimits limits;
        limits.depth = 4;
        const SearchResult r = rig.run(fen(c.fen), limits, &infos);
        ASSERT_EQ(infos.size(), 4 * c.lines);
        for (int depth = 1; depth <= 4; ++depth) {
            for (size_t i = 0; i < c.lines; ++i) {
                const IterationInfo& info = infos[size_t(depth - 1) * c.lines + i];
                EXPECT_EQ(info.depth, depth);
                EXPECT_EQ(info.multipv, i + 1);
                ASSERT_FALSE(info.pv.empty());
                for (size_t j = 0; j < i; ++j) {
                    const IterationInfo& before = infos[size_t(depth - 1) * c.lines + j];
                    EXPECT_GE(before.score, info.score);
                    EXPECT_NE(before.pv.front(), info.pv.front());
                }
            }
        }
        EXPECT_EQ(r.best, infos[3 * c.lines].pv.front());
        EXPECT_EQ(r.score, infos[3 * c.lines].score);
    }
}

TEST(Search, WinDrawLossOfALine) {
    Rig rig;
    const Position pos = Position::startpos();
    rig.to_depth(pos, 1);  // the searcher's root is now the start position
    const Move e4 = pos.parse_uci_move("e2e4");
    auto as_tuple = [](Wdl w) { return std::make_tuple(w.win, w.draw, w.loss); };
    Searcher<PstEval>& s = *rig.searcher;
    EXPECT_EQ(as_tuple(s.line_wdl({e4}, SCORE_MATE - 5)), std::make_tuple(1000u, 0u, 0u));
    EXPECT_EQ(as_tuple(s.line_wdl({e4}, -SCORE_MATE + 4)), std::make_tuple(0u, 0u, 1000u));
    // Score 0: p = 1/2, the draw share is 0.3 of each side.
    EXPECT_EQ(as_tuple(rig.searcher->line_wdl({}, 0)), std::make_tuple(200u, 600u, 200u));
    EXPECT_EQ(as_tuple(rig.searcher->line_wdl({e4}, 0)), std::make_tuple(200u, 600u, 200u));
    // A winning score seen from the side to move after an odd line is swapped back.
    const Wdl up = rig.searcher->line_wdl({e4}, 400);
    EXPECT_GT(up.win, up.loss);
    EXPECT_EQ(up.win + up.draw + up.loss, 1000u);

    // A line ending in stalemate is a draw whatever the score says.
    const Position before_stalemate = fen("k7/8/1K6/8/8/8/8/2Q5 w - - 0 1");
    rig.to_depth(before_stalemate, 1);
    EXPECT_EQ(as_tuple(rig.searcher->line_wdl({before_stalemate.parse_uci_move("c1c7")}, 900)),
              std::make_tuple(0u, 1000u, 0u));

    rig.searcher->set_show_wdl(true);
    std::vector<IterationInfo> infos;
    rig.run(pos, depth_limit(3), &infos);
    ASSERT_FALSE(infos.empty());
    for (const IterationInfo& info : infos) {
        EXPECT_TRUE(info.has_wdl);
        EXPECT_EQ(info.wdl[0] + info.wdl[1] + info.wdl[2], 1000u);
    }
}

TEST(Search, StopBeforeStartStillGivesALegalMove) {
    Rig rig;
    rig.stop->store(true);
    const Position pos = Position::startpos();
    SearchLimits infinite;
    infinite.infinite = true;
    const SearchResult r = rig.run(pos, infinite);
    MoveList legal;
    generate_all(pos, legal);
    EXPECT_TRUE(legal.contains(r.best));
    EXPECT_GE(r.depth, 1);
}

TEST(Search, NodeLimitStopsTheSearch) {
    Rig rig;
    SearchLimits limits;
    limits.nodes = 10'000;
    const SearchResult r = rig.run(Position::startpos(), limits);
    // Checked every 2048 nodes, and at the end of each iteration.
    EXPECT_LT(r.nodes, 10'000u + 2048u);
    EXPECT_GE(r.depth, 1);
}

TEST(Search, GoalLinesJudgeEveryRootMove) {
    Rig rig;
    const Position pos = fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    const SearchResult r = rig.to_depth(pos, 6);
    rig.stop->store(true);  // the goal searches must not care
    const std::vector<GoalLine> lines = rig.searcher->goal_lines(r);
    MoveList legal;
    generate_all(pos, legal);
    ASSERT_EQ(lines.size(), size_t(legal.size()));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].move, legal[int(i)]);
        EXPECT_EQ(lines[i].win + lines[i].draw + lines[i].loss, 1000u);
        if (lines[i].move.text() == "d1d8") {
            EXPECT_EQ(lines[i].score, SCORE_MATE - 1);
            EXPECT_EQ(lines[i].win, 1000u);
        } else {
            EXPECT_LT(lines[i].score, SCORE_MATE_BOUND);
        }
    }
}

TEST(Search, RootMoveSearchedOnItsOwn) {
    Rig rig;
    const Position pos = fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    rig.to_depth(pos, 1);
    Searcher<PstEval>& s = *rig.searcher;
    const RootMoveSearch mate = s.search_root_move(pos.parse_uci_move("d1d8"), 3, false, 0);
    EXPECT_FALSE(mate.stopped);
    EXPECT_EQ(mate.score, SCORE_MATE - 1);
    EXPECT_EQ(mate.pv, std::vector<Move>{pos.parse_uci_move("d1d8")});
    EXPECT_GE(mate.nodes, 1u);
    const RootMoveSearch quiet = s.search_root_move(pos.parse_uci_move("g1f1"), 5, true, 0);
    EXPECT_FALSE(quiet.stopped);
    EXPECT_LT(quiet.score, SCORE_MATE_BOUND);
    EXPECT_TRUE(play_line(pos, quiet.pv));
}

// The small tables committed with the tests (up to four pieces), or a failed test.
std::shared_ptr<const Tablebase> test_tablebase() {
    Result<Syzygy> tb = Syzygy::load(std::string(VELMAR_TEST_DATA) + "/syzygy");
    if (!tb.ok()) {
        ADD_FAILURE() << tb.error().message;
        return nullptr;
    }
    return std::make_shared<Syzygy>(tb.value());
}

// Inside the tables the engine plays the root filter's moves for either side, move after
// move: a win stays a win by the fastest conversion, a draw is held, a loss resists longest.
// Each case has moves outside the filter, so a plain search could stray.
TEST(Search, TablebaseRootMovesKeepTheVerdict) {
    struct Case {
        std::string_view fen;
        uint8_t wdl;  // for the side to move
        std::string_view why;
    };
    constexpr Case CASES[] = {
        {"8/8/8/4k3/8/8/8/3QK3 w - - 0 1", WDL_WIN, "KQ v K: one queen move converts fastest"},
        {"4k3/8/4K3/4P3/8/8/8/8 w - - 0 1", WDL_WIN, "KP v K, king on the sixth"},
        {"8/4k3/8/3K4/3P4/8/8/8 b - - 0 1", WDL_DRAW, "K v KP: only Kd7 holds"},
        {"8/8/3k4/8/3PK3/8/8/8 b - - 0 1", WDL_DRAW, "K v KP: only Ke6 holds"},
        {"8/8/8/4k3/8/8/8/3QK3 b - - 0 1", WDL_LOSS, "K v KQ: away from the corner"},
        {"8/8/1k6/8/4K3/8/6r1/2Q5 b - - 0 1", WDL_LOSS, "KR v KQ: two rook moves last longest"},
    };
    const std::shared_ptr<const Tablebase> tb = test_tablebase();
    ASSERT_TRUE(tb);
    const uint8_t opposite[5] = {WDL_WIN, WDL_CURSED_WIN, WDL_DRAW, WDL_BLESSED_LOSS, WDL_LOSS};
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.searcher->set_tablebase(tb);
        rig.searcher->set_show_wdl(true);
        Position pos = fen(c.fen);
        uint8_t expected = c.wdl;
        for (int ply = 0; ply < 6; ++ply) {
            SCOPED_TRACE(pos.to_fen());
            const std::optional<std::vector<RootMove>> ranked = tb->probe_root(pos);
            ASSERT_TRUE(ranked && !ranked->empty());
            const std::vector<Move> keep = filter_root_moves(*ranked);
            if (ply == 0) {
                EXPECT_LT(keep.size(), ranked->size());
            }
            std::vector<IterationInfo> infos;
            const SearchResult r = rig.run(pos, depth_limit(8), &infos);
            ASSERT_FALSE(infos.empty());
            EXPECT_NE(std::find(keep.begin(), keep.end(), r.best), keep.end()) << r.best.text();
            const auto chosen = std::find_if(ranked->begin(), ranked->end(),
                                             [&](const RootMove& rm) { return rm.move == r.best; });
            ASSERT_NE(chosen, ranked->end());
            EXPECT_EQ(chosen->wdl, expected);
            EXPECT_GE(infos.back().tbhits, 1u);
            const std::array<uint32_t, 3> line_wdl = expected == WDL_WIN    ? std::array{1000u, 0u, 0u}
                                                     : expected == WDL_LOSS ? std::array{0u, 0u, 1000u}
                                                                            : std::array{0u, 1000u, 0u};
            EXPECT_EQ(infos.back().wdl, line_wdl);
            if (expected == WDL_WIN) {
                EXPECT_GT(r.score, 0);
            } else if (expected == WDL_LOSS) {
                EXPECT_LT(r.score, 0);
            }
            pos.make_move(r.best);
            expected = opposite[expected];
            if (!has_legal_move(pos)) break;
        }
    }
}

// Five pieces are beyond the test tables, but winning the knight reaches KQP v K: the probes
// inside the tree turn that into a tablebase win, which the evaluation alone cannot see.
TEST(Search, TablebaseProbesInsideTheTree) {
    const Position pos = fen("4k3/8/8/3n4/8/8/3QP3/4K3 w - - 0 1");
    Rig plain;
    EXPECT_LT(plain.to_depth(pos, 6).score, SCORE_MATE_BOUND);

    Rig rig;
    rig.searcher->set_tablebase(test_tablebase());
    std::vector<IterationInfo> infos;
    const SearchResult r = rig.run(pos, depth_limit(6), &infos);
    EXPECT_EQ(r.best.text(), "d2d5");
    EXPECT_GE(r.score, SCORE_TB_WIN - 1);
    ASSERT_FALSE(infos.empty());
    EXPECT_GT(infos.back().tbhits, 0u);
}

TEST(Search, LateMoveReductionTable) {
    const LmrTable t = make_lmr_table();
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(t[0][i], 0);
        EXPECT_EQ(t[i][0], 0);
    }
    EXPECT_EQ(t[1][63], 0);           // ln 1 = 0: depth 1 never reduces by the table
    EXPECT_EQ(t[10][10], 2);          // 0.5 + 2.302^2 / 2.48 = 2.64
    EXPECT_EQ(t[63][63], 7);          // 0.5 + 4.143^2 / 2.48 = 7.42
    for (int d = 1; d < 63; ++d)
        for (int m = 1; m < 63; ++m) {
            EXPECT_LE(t[d][m], t[d + 1][m]);
            EXPECT_LE(t[d][m], t[d][m + 1]);
        }
}

}  // namespace
}  // namespace velmar
