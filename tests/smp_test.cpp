#include "smp.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine.h"
#include "eval.h"
#include "movegen.h"
#include "session.h"
#include "test_util.h"
#include "text.h"

namespace velmar {
namespace {

using test::Session;

// Names of this process's threads that start with "helper-".
std::vector<std::string> helper_thread_names() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind("helper-", 0) == 0) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> expected_helper_names(size_t count) {
    std::vector<std::string> names;
    for (size_t i = 1; i <= count; ++i) names.push_back("helper-" + std::to_string(i));
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Smp, ModeSpellings) {
    struct Case {
        const char* text;
        std::optional<SmpMode> mode;
    };
    const Case cases[] = {
        {"lazy", SmpMode::LAZY},     {" LazySMP\t", SmpMode::LAZY}, {"Lazy", SmpMode::LAZY},
        {"ybwc", SmpMode::YBWC},     {"YBWC", SmpMode::YBWC},       {"Abdada", SmpMode::ABDADA},
        {"lazy smp", std::nullopt},  {"", std::nullopt},            {"lazy-smp", std::nullopt},
        {"abdada1", std::nullopt},   {"   ", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_smp_mode(c.text), c.mode);
        if (c.mode) {
            EXPECT_EQ(parse_smp_mode(display_name(*c.mode)), c.mode);
        }
    }
}

SearchResult result(int32_t depth, int32_t score, Move best, uint64_t nodes = 0) {
    SearchResult r;
    r.depth = depth;
    r.score = score;
    r.best = best;
    r.nodes = nodes;  // tells the candidates apart when moves agree
    return r;
}

TEST(Smp, PickBestThreadVotesAndTakesMates) {
    const Move e4(12, 28, kind::DOUBLE_PUSH), d4(11, 27, kind::DOUBLE_PUSH), nf3(6, 21, 0);
    struct Case {
        const char* what;
        SearchResult main;
        std::vector<SearchResult> helpers;
        uint64_t chosen;  // nodes field of the expected winner
    };
    const Case cases[] = {
        {"main alone", result(10, 20, e4, 0), {}, 0},
        {"helpers without a move or a finished depth do not vote",
         result(5, 0, e4, 0),
         {result(0, 500, d4, 1), result(20, 500, NO_MOVE, 2)},
         0},
        // min = 10: main 12 x 10 = 120; d4 gets 6 x 20 + 6 x 20 = 240.
        {"two agreeing helpers outvote a deeper main",
         result(12, 10, e4, 0),
         {result(6, 20, d4, 1), result(6, 20, d4, 2)},
         1},
        // min = 20: main 12 x 30 = 360 against 6 x 10 + 6 x 10 = 120.
        {"a deeper main with a better score keeps its move",
         result(12, 40, e4, 0),
         {result(6, 20, d4, 1), result(6, 20, d4, 2)},
         0},
        // min = 0: main 1 x 10, d4 10 x 10, nf3 5 x 20; the deeper of the two 100s wins.
        {"equal votes go to the greater depth",
         result(1, 0, e4, 0),
         {result(5, 10, nf3, 1), result(10, 0, d4, 2)},
         2},
        {"equal votes and depths go to the earlier candidate",
         result(5, 0, e4, 0),
         {result(5, 0, d4, 1)},
         0},
        {"a winning mate beats any vote", result(30, 100, e4, 0),
         {result(2, 31990, d4, 1), result(30, 100, e4, 2)}, 1},
        {"the highest mate wins, later ones on ties",
         result(9, 31980, e4, 0),
         {result(3, 31990, d4, 1), result(2, 31990, nf3, 2), result(30, 31872, e4, 3)},
         2},
        {"a tablebase win is not a mate", result(9, 31871, e4, 0),
         {result(3, 31000, d4, 1)}, 0},
        // min = -31990: main 9 x 10 = 90 against 5 x 20 = 100.
        {"being mated is no shortcut", result(9, -31990, e4, 0),
         {result(5, -31980, d4, 1)}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pick_best_thread(c.main, c.helpers).nodes, c.chosen);
    }
}

TEST(Smp, PlayedLineIsPrintedWhenTheLastPvDoesNotShowIt) {
    const Move e4(12, 28, kind::DOUBLE_PUSH), e5(52, 36, kind::DOUBLE_PUSH),
        d4(11, 27, kind::DOUBLE_PUSH), d5(51, 35, kind::DOUBLE_PUSH), nf3(6, 21, 0);
    auto played = [](Move best, std::vector<Move> pv) {
        SearchResult r;
        r.depth = 8;
        r.best = best;
        r.ponder = pv.size() > 1 ? pv[1] : NO_MOVE;
        r.pv = std::move(pv);
        return r;
    };
    struct Case {
        const char* what;
        std::vector<Move> last_pv;
        SearchResult played;
        bool print;
    };
    const Case cases[] = {
        {"the last line is the played one", {e4, e5, nf3}, played(e4, {e4, e5, nf3}), false},
        {"another first move", {e4, e5}, played(d4, {d4, d5}), true},
        {"another ponder move", {e4, e5}, played(e4, {e4, d5}), true},
        {"a ponder move the last line lacks", {e4}, played(e4, {e4, e5}), true},
        {"same start, other continuation", {e4, e5, nf3}, played(e4, {e4, e5}), true},
        {"nothing printed yet", {}, played(e4, {e4}), true},
        {"no move to play", {}, played(NO_MOVE, {}), false},
        {"a move without a line, shown", {e4, e5}, played(e4, {}), false},
        {"a move without a line, not shown", {d4}, played(e4, {}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(needs_played_line(c.last_pv, c.played), c.print);
    }
}

std::shared_ptr<TranspositionTable> small_table() {
    auto t = TranspositionTable::try_new(2, 1);
    if (!t.ok()) fatal(t.error().message);
    return std::make_shared<TranspositionTable>(std::move(t.value()));
}

// Helpers are real named threads, every one of them searches, and the vote only ever picks a
// legal move of the root; shrinking ends the dropped threads.
TEST(Smp, PoolOfTwoToEightThreadsSearchesTogether) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    ThreadPool<PstEval> pool(PstEval(), small_table(), stop);
    const Position root = Position::startpos();
    for (size_t helpers : {1u, 7u, 3u, 0u, 2u}) {
        SCOPED_TRACE(helpers);
        pool.set_helper_count(helpers);
        EXPECT_EQ(pool.helper_count(), helpers);
        EXPECT_EQ(helper_thread_names(), expected_helper_names(helpers));
        SearchLimits limits;
        limits.nodes = 3000;
        uint64_t reports = 0;
        const PoolResult r = pool.search(limits, root, [&](const IterationInfo&) { ++reports; });
        EXPECT_GT(reports, 0u);
        EXPECT_TRUE(is_legal_move(root, r.reported.best));
        // Every thread finishes depth 1 at least, so helpers always add nodes of their own.
        if (helpers == 0) {
            EXPECT_EQ(r.reported.nodes, r.main.nodes);
        } else {
            EXPECT_GT(r.reported.nodes, r.main.nodes + helpers);
        }
    }
}

TEST(Smp, SearchmovesReachTheHelpers) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    ThreadPool<PstEval> pool(PstEval(), small_table(), stop);
    pool.set_helper_count(3);
    Position root = Position::startpos();
    const Move a3 = root.parse_uci_move("a2a3"), h3 = root.parse_uci_move("h2h3");
    for (int i = 0; i < 20; ++i) {
        SearchLimits limits;
        limits.nodes = 4000;
        limits.searchmoves = {a3, h3};
        const PoolResult r = pool.search(limits, root, InfoSink{});
        EXPECT_TRUE(r.reported.best == a3 || r.reported.best == h3) << r.reported.best.text();
    }
}

// Whichever thread's move the vote picks, the last first-line PV reported starts with that
// move and its ponder move.
TEST(Smp, LastReportedPvStartsWithTheReportedMove) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    ThreadPool<PstEval> pool(PstEval(), small_table(), stop);
    pool.set_helper_count(3);
    const std::vector<std::string_view>& fens = test::varied_fens();
    for (int i = 0; i < 120; ++i) {
        SCOPED_TRACE(i);
        const Position root = test::fen(fens[size_t(i) % fens.size()]);
        SearchLimits limits;
        limits.nodes = uint64_t(500 + 700 * (i % 9));
        std::vector<Move> last_pv;
        const PoolResult r = pool.search(limits, root, [&](const IterationInfo& info) {
            if (info.multipv == 1) last_pv = info.pv;
        });
        if (r.reported.best.is_null()) continue;
        ASSERT_FALSE(last_pv.empty());
        EXPECT_EQ(last_pv[0], r.reported.best);
        if (r.reported.ponder) {
            ASSERT_GE(last_pv.size(), 2u);
            EXPECT_EQ(last_pv[1], r.reported.ponder);
        }
    }
}

// --- Whole sessions: option changes between searches, stops at random moments. ---

bool legal_bestmove(const std::string& line, const Position& pos) {
    std::vector<std::string> w = uci::split_words(line);
    return w.size() >= 2 && w[0] == "bestmove" && bool(pos.parse_uci_move(w[1]));
}

// 1000 short searches with 1 to 8 threads, each stopped after a random spin (or left to
// finish), with option changes, new games and table clears in between. Every go must
// give exactly one legal bestmove and nothing may hang.
TEST(SmpStress, ThousandShortSearchesWithRandomStops) {
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
    Session s;
    const char* fens[] = {
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/8/4k3/3p4/3P4/4K3/8/8 w - - 0 1",
        "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",  // mate in one
    };
    for (int i = 0; i < 1000; ++i) {
        SCOPED_TRACE(i);
        switch (pick(12)) {
        case 0: s.send("setoption name Threads value " + std::to_string(1 + pick(8))); break;
        case 1: s.send("setoption name Hash value " + std::to_string(1 + pick(4))); break;
        case 2: s.send("ucinewgame"); break;
        case 3: s.send("setoption name Clear Hash"); break;
        case 4: s.send("setoption name MultiPV value " + std::to_string(1 + pick(3))); break;
        case 5: s.send(std::string("setoption name UseNNUE value ") + (pick(4) ? "true" : "false"));
            break;
        default: break;
        }
        const char* fen = fens[pick(4)];
        s.send(std::string("position fen ") + fen);
        s.take();
        const int kind = pick(3);
        if (kind == 0) s.send("go infinite");
        else if (kind == 1) s.send("go nodes " + std::to_string(200 + pick(2000)));
        else s.send("go depth " + std::to_string(1 + pick(5)));
        // A random moment: a spin of up to a few hundred microseconds, no clock involved.
        volatile uint32_t spin = 0;
        for (int n = pick(400'000); n > 0; --n) spin = spin + 1;
        if (kind == 0 || pick(2)) s.send("stop");
        else s.send("isready");
        s.engine().end_of_input();  // joins a finished or finishing search
        std::vector<std::string> out = s.take();
        const auto best = std::count_if(out.begin(), out.end(), [](const std::string& l) {
            return l.rfind("bestmove", 0) == 0;
        });
        ASSERT_EQ(best, 1);
        const auto pos = Position::from_fen(fen);
        for (const std::string& l : out)
            if (l.rfind("bestmove", 0) == 0) {
                ASSERT_TRUE(legal_bestmove(l, pos.value())) << l;
            }
    }
}

// What a strict GUI checks on every move: the bestmove and its ponder move start the pv of the
// last info line, with several threads voting.
TEST(SmpStress, BestmoveStartsTheLastPrintedPv) {
    Session s;
    s.send("setoption name Threads value 4");
    const std::vector<std::string_view>& fens = test::varied_fens();
    for (int i = 0; i < 150; ++i) {
        SCOPED_TRACE(i);
        s.send("position fen " + std::string(fens[size_t(i) % fens.size()]));
        s.take();
        s.send(i % 2 ? "go nodes " + std::to_string(1000 + 500 * (i % 7))
                     : "go depth " + std::to_string(3 + i % 5));
        s.end();
        std::vector<std::string> pv_lines;
        std::string best;
        for (const std::string& l : s.take()) {
            if (l.rfind("info depth ", 0) == 0) pv_lines.push_back(l);
            if (l.rfind("bestmove ", 0) == 0) best = l;
        }
        std::vector<std::string> b = uci::split_words(best);
        ASSERT_GE(b.size(), 2u) << best;
        if (b[1] == "0000") continue;
        ASSERT_FALSE(pv_lines.empty());
        std::vector<std::string> w = uci::split_words(pv_lines.back());
        auto pv = std::find(w.begin(), w.end(), "pv");
        ASSERT_NE(pv, w.end());
        ASSERT_GT(w.end() - pv, 1) << pv_lines.back();
        EXPECT_EQ(pv[1], b[1]) << pv_lines.back() << " / " << best;
        if (b.size() >= 4) {
            ASSERT_GT(w.end() - pv, 2) << pv_lines.back();
            EXPECT_EQ(pv[2], b[3]) << pv_lines.back() << " / " << best;
        }
    }
}

TEST(SmpStress, TwoHundredFiftySixThreadsStartSearchAndShutDown) {
    Session s;
    s.send("setoption name Threads value 256");
    EXPECT_EQ(s.engine().helper_count(), 255u);
    EXPECT_EQ(helper_thread_names(), expected_helper_names(255));
    s.send("go nodes 20000");
    s.engine().end_of_input();
    std::vector<std::string> out = s.take();
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(legal_bestmove(out.back(), Position::startpos())) << out.back();
    s.send("setoption name Threads value 1");
    EXPECT_EQ(s.engine().helper_count(), 0u);
    EXPECT_TRUE(helper_thread_names().empty());
}

}  // namespace
}  // namespace velmar
