// Playing at a chosen strength: the levels weaken steadily as the rating falls, the draw among
// lines follows its weights, and a weakened engine still answers every go with a legal move
// that starts the last line it printed.
#include "session.h"
#include "strength.h"
#include "test_util.h"
#include "text.h"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velmar {
namespace {

using namespace std::chrono_literals;
using uci::join;
using uci::split_words;

TEST(Strength, LevelsWeakenSteadilyAsTheRatingFalls) {
    StrengthLevel previous = strength_level(STRENGTH_ELO_MIN);
    EXPECT_GE(previous.lines, 2);
    for (int32_t elo = STRENGTH_ELO_MIN + 50; elo <= STRENGTH_ELO_MAX; elo += 50) {
        SCOPED_TRACE(elo);
        const StrengthLevel level = strength_level(elo);
        EXPECT_GE(level.nodes, previous.nodes);
        EXPECT_LE(level.temperature, previous.temperature);
        EXPECT_LE(level.lines, previous.lines);
        EXPECT_GE(level.lines, 2);  // there is always a choice to make
        previous = level;
    }
    EXPECT_GT(strength_level(STRENGTH_ELO_MAX).nodes, 4 * strength_level(2000).nodes);
    // Ratings beyond the range play as its ends.
    EXPECT_EQ(strength_level(0).nodes, strength_level(STRENGTH_ELO_MIN).nodes);
    EXPECT_EQ(strength_level(99999).temperature, strength_level(STRENGTH_ELO_MAX).temperature);
}

TEST(Strength, PickLineDrawsByWeight) {
    struct Case {
        std::vector<int32_t> scores;
        double temperature;
        double u;
        size_t line;
    };
    const Case cases[] = {
        {{50, 40, 30}, 0, 0.99, 0},             // no temperature: the best line
        {{50}, 300, 0.99, 0},                   // nothing to choose from
        {{}, 300, 0.5, 0},                      // no lines at all
        {{0, 0}, 100, 0.49, 0},                 // equal scores split evenly
        {{0, 0}, 100, 0.51, 1},
        {{0, 0, 0, 0}, 100, 0.99, 3},
        {{SCORE_MATE - 5, 900}, 300, 0.99, 0},  // a mate beats any material at any temperature
        {{900, -(SCORE_MATE - 5)}, 300, 0.99, 0},
        {{0, -100}, 100, 1.0 / (1.0 + std::exp(-1.0)) - 1e-9, 0},
        {{0, -100}, 100, 1.0 / (1.0 + std::exp(-1.0)) + 1e-9, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.scores.size() << " lines, u " << c.u);
        EXPECT_EQ(pick_line(c.scores, c.temperature, c.u), c.line);
    }

    // Over evenly spread draws each line is picked in proportion to exp(-gap / temperature).
    const std::vector<int32_t> scores{120, 70, 20, -400};
    std::vector<int> picked(scores.size(), 0);
    constexpr int DRAWS = 10000;
    for (int i = 0; i < DRAWS; ++i) ++picked[pick_line(scores, 50, (i + 0.5) / DRAWS)];
    double total = 0;
    for (int32_t s : scores) total += std::exp((s - scores[0]) / 50.0);
    for (size_t i = 0; i < scores.size(); ++i)
        EXPECT_NEAR(picked[i], DRAWS * std::exp((scores[i] - scores[0]) / 50.0) / total, 2.0)
            << i;
}

// The searches behind the assertions below run a few hundred to a few ten thousand nodes.
constexpr auto GENEROUS = 60s;

struct Played {
    std::string best;
    std::vector<std::string> info;
};

Played play(test::Session& s, const std::string& position, const std::string& go) {
    s.take();
    s.send(position);
    s.send(go);
    s.wait_count("bestmove", 1, GENEROUS);
    Played p;
    for (const std::string& line : s.take()) {
        if (line.rfind("bestmove", 0) == 0) p.best = line;
        if (line.rfind("info depth", 0) == 0) p.info.push_back(line);
    }
    return p;
}

std::string pv_head(const std::string& info) {
    const std::vector<std::string> w = split_words(info);
    for (size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i] == "pv") return w[i + 1];
    return "";
}

TEST(Strength, WeakenedPlayIsLegalVariedAndShowsItsLine) {
    const char* positions[] = {
        "position startpos",
        "position startpos moves e2e4 e7e5 g1f3 b8c6 f1b5 a7a6",
        "position fen r3k2r/pp3ppp/2n1b3/2bqp3/8/2NP1N2/PPP1BPPP/R2Q1RK1 w kq - 0 12",
        "position fen 8/5k2/8/3K4/8/8/6P1/8 w - - 0 1",
    };
    for (const char* threads : {"1", "2"}) {
        for (int32_t elo : {STRENGTH_ELO_MIN, 1700, STRENGTH_ELO_MAX}) {
            SCOPED_TRACE(std::string("Threads ") + threads + ", UCI_Elo " + std::to_string(elo));
            test::Session s;
            s.send(std::string("setoption name Threads value ") + threads);
            s.send("setoption name UCI_LimitStrength value true");
            s.send("setoption name UCI_Elo value " + std::to_string(elo));
            for (int round = 0; round < 3; ++round) {
                for (const char* position : positions) {
                    SCOPED_TRACE(position);
                    const Played p = play(s, position, "go wtime 60000 btime 60000");
                    const std::vector<std::string> best = split_words(p.best);
                    ASSERT_GE(best.size(), 2u) << p.best;
                    Position pos = Position::startpos();
                    const std::vector<std::string> w = split_words(position);
                    if (w[1] == "fen") pos = test::fen(join(w, 2, w.size()));
                    else
                        for (size_t i = 3; i < w.size(); ++i)
                            pos.make_move(pos.parse_uci_move(w[i]));
                    EXPECT_TRUE(pos.parse_uci_move(best[1])) << p.best;
                    // Only the lines asked for are printed, and the move played starts the last.
                    ASSERT_FALSE(p.info.empty());
                    for (const std::string& line : p.info)
                        EXPECT_EQ(line.find(" multipv "), std::string::npos) << line;
                    EXPECT_EQ(pv_head(p.info.back()), best[1]) << p.info.back();
                }
            }
            // The weakest level does not repeat itself from the start position.
            if (elo == STRENGTH_ELO_MIN) {
                std::set<std::string> moves;
                for (int i = 0; i < 20; ++i)
                    moves.insert(split_words(play(s, positions[0], "go movetime 1000").best)[1]);
                EXPECT_GE(moves.size(), 3u);
            }
        }
    }
}

// An infinite search under the limit ends by its node budget and still waits for stop.
TEST(Strength, InfiniteSearchWaitsForStop) {
    test::Session s;
    s.send("setoption name UCI_LimitStrength value true");
    s.send("setoption name UCI_Elo value 1000");
    s.send("position startpos");
    s.send("go infinite");
    s.wait_count("info depth", 1, GENEROUS);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(s.starting("bestmove").empty());
    s.send("stop");
    EXPECT_EQ(s.wait_count("bestmove", 1, GENEROUS).size(), 1u);
}

}  // namespace
}  // namespace velmar
