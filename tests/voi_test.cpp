#include "voi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "movegen.h"
#include "search.h"
#include "test_util.h"

namespace velmar {
namespace {

using test::fen;

// Distinct stand-in moves for arms that are never played on a board.
Move arm_move(size_t i) { return Move(int(i), 63 - int(i), kind::QUIET); }

std::vector<RootArm> arms_with(const std::vector<std::pair<int32_t, int32_t>>& score_depth) {
    std::vector<RootArm> arms;
    for (size_t i = 0; i < score_depth.size(); ++i) {
        arms.emplace_back(arm_move(i));
        arms.back().update(score_depth[i].second, score_depth[i].first, {arm_move(i)}, 1000);
    }
    return arms;
}

// A searcher whose scores are fixed per arm, whatever the depth; records every search and
// runs out of budget after a given number of them.
struct ScriptedSearcher final : ArmSearcher {
    std::vector<int32_t> scores;
    size_t budget = SIZE_MAX;
    std::vector<std::pair<size_t, int>> calls;  // (arm, depth)
    std::vector<size_t> reported;

    explicit ScriptedSearcher(std::vector<int32_t> s) : scores(std::move(s)) {}
    std::vector<RootArm> arms() const {
        std::vector<RootArm> out;
        for (size_t i = 0; i < scores.size(); ++i) out.emplace_back(arm_move(i));
        return out;
    }
    RootMoveSearch search(Move m, int depth, bool, int32_t) override {
        const size_t arm = size_t(m.from());
        if (calls.size() >= budget) return RootMoveSearch{true, {}, 0, 0};
        calls.emplace_back(arm, depth);
        return RootMoveSearch{false, {m}, scores[arm], 100};
    }
    bool out_of_budget() override { return calls.size() >= budget; }
    std::optional<uint64_t> soft_ms() const override { return std::nullopt; }
    uint64_t elapsed_ms() const override { return 0; }
    void report(const RootArm& arm) override { reported.push_back(size_t(arm.move.from())); }

    std::map<int, std::vector<size_t>> arms_by_depth() const {
        std::map<int, std::vector<size_t>> out;
        for (const auto& [arm, depth] : calls) out[depth].push_back(arm);
        return out;
    }
};

TEST(Voi, ParsesRootModeNames) {
    const std::pair<std::string_view, std::optional<RootMode>> CASES[] = {
        {"  Gumbel-SH \t", RootMode::GUMBEL_SH}, {"MCTS", RootMode::GUMBEL_SH},
        {"gumbel", RootMode::GUMBEL_SH},         {"GumbelSH", RootMode::GUMBEL_SH},
        {"AlphaBeta", RootMode::AB},             {"alpha-beta", RootMode::AB},
        {"AB", RootMode::AB},                    {" voi", RootMode::VOI},
        {"gumbel_sh", std::nullopt},             {"", std::nullopt},
        {"   ", std::nullopt},                   {"vo i", std::nullopt},
    };
    for (const auto& [text, mode] : CASES) {
        SCOPED_TRACE(text);
        EXPECT_EQ(parse_root_mode(text), mode);
    }
}

TEST(Voi, ArmsLearnFromEachSearch) {
    EXPECT_EQ(win_probability(0), 0.5);
    EXPECT_EQ(win_probability(SCORE_TB_WIN + 1), 1.0);
    EXPECT_EQ(win_probability(-SCORE_TB_WIN - 1), 0.0);
    EXPECT_DOUBLE_EQ(win_probability(400), 1.0 / (1.0 + std::exp(-1.0)));
    EXPECT_DOUBLE_EQ(win_probability(-400) + win_probability(400), 1.0);

    RootArm arm(arm_move(3));
    EXPECT_EQ(arm.pv, std::vector<Move>{arm_move(3)});
    arm.update(1, 0, {arm_move(3), arm_move(4)}, 10);
    EXPECT_EQ(arm.sigma, 0.04);  // a first result says nothing about how results move
    EXPECT_EQ(arm.cost, 64u);    // a tiny search still costs something
    arm.update(2, 400, {arm_move(3)}, 1000);
    const double p = 1.0 / (1.0 + std::exp(-1.0));
    EXPECT_DOUBLE_EQ(arm.p, p);
    EXPECT_DOUBLE_EQ(arm.sigma, 0.6 * 0.04 + 0.4 * (p - 0.5));
    EXPECT_EQ(arm.cost, 1000u);
    EXPECT_EQ(arm.spent, 1010u);
    EXPECT_EQ(arm.depth, 2);
    EXPECT_EQ(arm.pv.size(), 1u);
}

TEST(Voi, BestArmBreaksTiesByDepthThenLaterArm) {
    EXPECT_EQ(best_arm(arms_with({{10, 3}, {30, 2}, {20, 6}})), 1u);
    EXPECT_EQ(best_arm(arms_with({{30, 3}, {30, 5}, {30, 4}})), 1u);
    EXPECT_EQ(best_arm(arms_with({{30, 5}, {30, 5}, {-5, 9}})), 1u);
}

TEST(Voi, SelectsTheArmWorthMostPerNode) {
    // Depth 4, sigma 0.04: spread 0.16 / 2 + 0.02 = 0.1. Equal arms: no gap, so the loss is
    // phi(0) = 0.398942 and the gain 0.0398942; equal values go to the first arm.
    {
        const auto choice = select_voi_arm(arms_with({{0, 4}, {0, 4}}), 10);
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->index, 0u);
        EXPECT_NEAR(choice->gain, 0.0398942, 1e-6);
    }
    // A gap of one spread: phi(1) - (1 - Phi(1)) = 0.0833155, for the best arm (against the
    // runner-up) and the runner-up (against the best) alike; the cheaper one is chosen.
    {
        const int32_t s = int32_t(std::lround(400.0 * std::log(0.6 / 0.4)));  // p = 0.6
        std::vector<RootArm> arms = arms_with({{0, 4}, {s, 4}});
        arms[1].p = 0.6;
        arms[1].cost = 500;
        const auto choice = select_voi_arm(arms, 10);
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->index, 1u);
        EXPECT_NEAR(choice->gain, 0.1 * 0.0833155, 1e-6);
        arms[0].cost = 499;
        EXPECT_EQ(select_voi_arm(arms, 10)->index, 0u);
    }
    // Far behind (more than 8 spreads): nothing to gain, though still a candidate.
    {
        const auto choice = select_voi_arm(arms_with({{3000, 4}, {-3000, 4}}), 10);
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->gain, 0.0);
    }
    // Arms at the depth limit and arms with a mate or tablebase score are never chosen.
    {
        const auto choice = select_voi_arm(
            arms_with({{SCORE_MATE - 3, 4}, {50, 10}, {40, 6}, {-SCORE_TB_WIN - 2, 4}}), 10);
        ASSERT_TRUE(choice);
        EXPECT_EQ(choice->index, 2u);
        EXPECT_FALSE(select_voi_arm(arms_with({{SCORE_MATE - 3, 4}, {50, 10}}), 10));
        EXPECT_FALSE(select_voi_arm({}, 10));
    }
}

TEST(Voi, RankingWithoutNoiseIsByScoreAndKeepsTies) {
    const std::vector<RootArm> arms = arms_with({{10, 4}, {50, 4}, {10, 4}, {50, 4}, {-20, 4}});
    std::vector<size_t> candidates = {0, 1, 2, 3, 4};
    SplitMix64 rng{12345};
    rank_candidates(arms, candidates, 5, 0.0, rng);
    EXPECT_EQ(candidates, (std::vector<size_t>{1, 3, 0, 2, 4}));
    EXPECT_EQ(rng.state, 12345u);  // no noise drawn at temperature 0

    // Only the first `count` entries move; with noise one value is drawn per ranked entry.
    candidates = {4, 2, 0, 1, 3};
    rank_candidates(arms, candidates, 3, 1.0, rng);
    EXPECT_EQ(candidates[3], 1u);
    EXPECT_EQ(candidates[4], 3u);
    SplitMix64 three{12345};
    three.next(), three.next(), three.next();
    EXPECT_EQ(rng.state, three.state);

    // Uniform draws stay strictly inside (0, 1), so the noise is always finite.
    SplitMix64 u{0};
    for (int i = 0; i < 10000; ++i) {
        const double x = u.uniform();
        ASSERT_GT(x, 0.0);
        ASSERT_LT(x, 1.0);
    }
}

// 20 arms with distinct scores, tie pairs included: 16, 8, 4 and 2 candidates at depths
// 6, 8, 10 and 12, then the last two one ply deeper per round, always the best-scored ones.
TEST(Voi, SequentialHalvingSchedule) {
    std::vector<int32_t> scores;
    for (int i = 0; i < 20; ++i) scores.push_back(int32_t((i * 7) % 20) * 10 - (i % 3 == 0 ? 5 : 0));
    scores[5] = scores[6];  // a tie, kept in list order
    ScriptedSearcher s(scores);
    std::vector<RootArm> arms = s.arms();
    const size_t chosen = run_gumbel_sh(arms, 14, 0.0, 0xABCDEF, s);

    std::vector<size_t> by_score(scores.size());
    for (size_t i = 0; i < by_score.size(); ++i) by_score[i] = i;
    std::stable_sort(by_score.begin(), by_score.end(),
                     [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    const auto by_depth = s.arms_by_depth();
    const std::pair<int, size_t> SCHEDULE[] = {{4, 20}, {6, 16}, {8, 8},  {10, 4},
                                               {12, 2}, {13, 2}, {14, 2}};
    ASSERT_EQ(by_depth.size(), std::size(SCHEDULE));
    for (const auto& [depth, count] : SCHEDULE) {
        SCOPED_TRACE(depth);
        ASSERT_TRUE(by_depth.count(depth));
        const std::vector<size_t>& searched = by_depth.at(depth);
        ASSERT_EQ(searched.size(), count);
        if (depth == 4) continue;
        std::vector<size_t> top(by_score.begin(), by_score.begin() + std::ptrdiff_t(count));
        EXPECT_EQ(searched, top);
    }
    EXPECT_EQ(chosen, by_score[0]);
    EXPECT_EQ(s.reported.back(), by_score[0]);

    // Three candidates halve to two; a shallow limit ends the rounds there.
    ScriptedSearcher three({0, 30, 20});
    std::vector<RootArm> few = three.arms();
    EXPECT_EQ(run_gumbel_sh(few, 9, 0.0, 1, three), 1u);
    const auto depths = three.arms_by_depth();
    EXPECT_EQ(depths.at(6).size(), 3u);
    EXPECT_EQ(depths.at(8), (std::vector<size_t>{1, 2}));
    EXPECT_EQ(depths.at(9), (std::vector<size_t>{1, 2}));
}

TEST(Voi, GumbelNoiseIsReproducible) {
    std::vector<int32_t> scores;
    for (int i = 0; i < 12; ++i) scores.push_back(int32_t(i % 4) * 15);
    auto run = [&](double temperature, uint64_t key) {
        ScriptedSearcher s(scores);
        std::vector<RootArm> arms = s.arms();
        const size_t chosen = run_gumbel_sh(arms, 12, temperature, key, s);
        return std::make_pair(chosen, s.calls);
    };
    // Without noise the root key plays no part.
    EXPECT_EQ(run(0.0, 1), run(0.0, 0xDEADBEEF));
    // With it, the same root draws the same noise; another root draws other noise.
    EXPECT_EQ(run(1.0, 77), run(1.0, 77));
    EXPECT_NE(run(1.0, 77).second, run(1.0, 78).second);
}

TEST(Voi, VoiSearchesOnePlyDeeperUntilTheLimit) {
    ScriptedSearcher s({40, 10, 35, -200});
    std::vector<RootArm> arms = s.arms();
    EXPECT_EQ(run_voi(arms, 9, s), 0u);
    // Two passes (depth 1, then 4), then single plies: every arm's depths rise by one.
    std::map<size_t, int> last;
    for (size_t i = 0; i < s.calls.size(); ++i) {
        const auto [arm, depth] = s.calls[i];
        if (i < 8) {
            EXPECT_EQ(depth, i < 4 ? 1 : 4);
        } else {
            EXPECT_EQ(depth, last[arm] + 1);
        }
        last[arm] = depth;
    }
    for (const RootArm& arm : arms) EXPECT_LE(arm.depth, 9);
    // The close rivals were searched to the limit.
    EXPECT_EQ(arms[0].depth, 9);
    EXPECT_EQ(arms[2].depth, 9);

    // Out of budget in the middle: the best arm so far.
    ScriptedSearcher cut({40, 10, 35, -200});
    cut.budget = 10;
    std::vector<RootArm> some = cut.arms();
    EXPECT_EQ(run_voi(some, 30, cut), 0u);
    EXPECT_EQ(cut.calls.size(), 10u);
}

TEST(Voi, ShallowLimitsEndAfterTheFirstPasses) {
    for (int max_depth : {1, 3, 4}) {
        SCOPED_TRACE(max_depth);
        ScriptedSearcher v({5, 25, 25, 0});
        std::vector<RootArm> arms = v.arms();
        EXPECT_EQ(run_voi(arms, max_depth, v), 2u);  // equal scores and depths: the later arm
        EXPECT_EQ(v.calls.size(), max_depth == 1 ? 4u : 8u);

        ScriptedSearcher g({5, 25, 25, 0});
        std::vector<RootArm> garms = g.arms();
        EXPECT_EQ(run_gumbel_sh(garms, max_depth, 1.0, 9, g), 2u);
        EXPECT_EQ(g.calls.size(), 4u);
    }
}

struct ModeRig {
    std::shared_ptr<TranspositionTable> table = std::make_shared<TranspositionTable>(4);
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<Searcher<PstEval>> searcher =
        std::make_unique<Searcher<PstEval>>(PstEval{}, table, stop);

    SearchResult run(const Position& pos, const SearchLimits& limits,
                     std::vector<IterationInfo>* infos = nullptr) {
        return searcher->search(limits, pos, [infos](const IterationInfo& info) {
            if (infos) infos->push_back(info);
        });
    }
};

constexpr RootMode ARM_MODES[] = {RootMode::VOI, RootMode::GUMBEL_SH};

TEST(Voi, ModesStopAtAForcedMate) {
    const Position pos = fen("6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1");
    for (RootMode mode : ARM_MODES) {
        SCOPED_TRACE(int(mode));
        ModeRig rig;
        rig.searcher->set_search_mode(mode);
        rig.searcher->set_gumbel_temp(100);
        SearchLimits limits;
        limits.depth = 40;
        std::vector<IterationInfo> infos;
        const SearchResult r = rig.run(pos, limits, &infos);
        EXPECT_EQ(r.best.text(), "d1d8");
        EXPECT_EQ(r.score, SCORE_MATE - 1);
        EXPECT_LE(r.depth, 4);
        ASSERT_FALSE(infos.empty());
        EXPECT_EQ(infos.back().pv.front(), r.best);
        EXPECT_EQ(infos.back().score, r.score);
    }
}

TEST(Voi, ModesReturnALegalMoveUnderEveryLimit) {
    const std::string_view FENS[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "k7/8/2K5/8/8/8/8/8 b - - 0 1",  // two legal moves
    };
    std::vector<SearchLimits> all_limits(4);
    all_limits[0].depth = 7;
    all_limits[1].nodes = 30'000;
    all_limits[2].movetime = 30;
    all_limits[3].time = 200;
    for (RootMode mode : ARM_MODES) {
        for (std::string_view text : FENS) {
            const Position pos = fen(text);
            MoveList legal;
            generate_all(pos, legal);
            for (size_t i = 0; i < all_limits.size(); ++i) {
                SCOPED_TRACE(testing::Message() << int(mode) << " " << text << " limits " << i);
                ModeRig rig;
                rig.searcher->set_search_mode(mode);
                rig.searcher->set_gumbel_temp(50);
                std::vector<IterationInfo> infos;
                const SearchResult r = rig.run(pos, all_limits[i], &infos);
                EXPECT_TRUE(legal.contains(r.best));
                EXPECT_GE(r.depth, 1);
                if (i == 0) {
                    EXPECT_LE(r.depth, 7);
                }
                if (!r.ponder.is_null()) {
                    Position after = pos;
                    after.make_move(r.best);
                    EXPECT_TRUE(is_legal_move(after, r.ponder));
                }
                for (const IterationInfo& info : infos) {
                    ASSERT_FALSE(info.pv.empty());
                    EXPECT_TRUE(legal.contains(info.pv.front()));
                }
            }
        }
    }
    // Stopped before it starts: the first pass still names a legal move.
    for (RootMode mode : ARM_MODES) {
        ModeRig rig;
        rig.searcher->set_search_mode(mode);
        rig.stop->store(true);
        SearchLimits infinite;
        infinite.infinite = true;
        const Position pos = Position::startpos();
        MoveList legal;
        generate_all(pos, legal);
        EXPECT_TRUE(legal.contains(rig.run(pos, infinite).best));
    }
}

}  // namespace
}  // namespace velmar
