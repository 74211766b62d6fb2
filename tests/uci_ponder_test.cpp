// Pondering as a GUI drives it: a `go ponder` search never answers before ponderhit or stop,
// however it ends; ponderhit turns it into the timed search of its go without starting over;
// and every way of moving on prints exactly one bestmove per go, in order. Each case runs with
// one thread and with two under every SMP mode.
#include "session.h"
#include "test_util.h"
#include "text.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace velmar::uci {
namespace {

using namespace std::chrono_literals;
using test::Session;

// Only keeps a broken engine from hanging the suite; nothing here takes near this long.
constexpr auto GENEROUS = 60s;

struct Threads {
    const char* name;
    std::vector<std::string> options;
};

const Threads THREAD_SETUPS[] = {
    {"one thread", {}},
    {"Lazy SMP", {"setoption name Threads value 2"}},
    {"YBWC", {"setoption name Threads value 2", "setoption name SMPMode value YBWC"}},
    {"ABDADA", {"setoption name Threads value 2", "setoption name SMPMode value ABDADA"}},
};

struct PonderCase {
    const char* what;
    const char* position;
    const char* go;
    const char* shown;  // a line the ponder search prints before the GUI moves on; "" for none
    bool ended;  // the ponder search has ended by itself by then
    std::vector<std::string> next;  // what the GUI sends then
    bool answered;  // next leads to the ponder search's bestmove (at once or when it ends)
    const char* best;  // that bestmove's line, when only one is right; "" otherwise
};

const PonderCase CASES[] = {
    {"ponderhit, then the clock", "position startpos moves e2e4 e7e5",
     "go ponder wtime 2000 btime 2000", "info depth 4 ", false, {"ponderhit"}, true, ""},
    {"stop", "position startpos moves e2e4 e7e5", "go ponder wtime 60000 btime 60000",
     "info depth 3 ", false, {"stop"}, true, ""},
    // 30 ms is all Move Overhead reserve: a running clock would end the search after its first
    // iteration, so reaching depth 9 shows the clock stands still while pondering.
    {"ended by depth", "position startpos moves d2d4", "go ponder wtime 30 btime 30 depth 9",
     "info depth 9 ", true, {"ponderhit"}, true, ""},
    {"ended by the only legal move", "position fen 7k/8/8/8/8/8/6q1/7K w - - 0 1",
     "go ponder wtime 5000 btime 5000", "info depth 1 ", true, {"ponderhit"}, true,
     "bestmove h1g2"},
    {"ended mated", "position fen rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3",
     "go ponder wtime 5000 btime 5000", "", true, {"ponderhit"}, true, "bestmove 0000"},
    {"new position and go without ponderhit", "position startpos moves e2e4 e7e5",
     "go ponder wtime 60000 btime 60000", "info depth 3 ", false,
     {"position startpos moves e2e4 e7e5 g1f3", "go depth 3"}, true, ""},
    {"ucinewgame", "position startpos", "go ponder wtime 60000 btime 60000", "info depth 3 ",
     false, {"ucinewgame"}, true, ""},
    {"isready", "position startpos", "go ponder wtime 60000 btime 60000", "info depth 3 ", false,
     {"isready"}, false, ""},
    {"quit", "position startpos", "go ponder wtime 60000 btime 60000", "info depth 3 ", false,
     {"quit"}, true, ""},
};

Position position_of(const std::string& line) {
    const std::vector<std::string> w = split_words(line);
    size_t moves = std::find(w.begin(), w.end(), "moves") - w.begin();
    Position pos = Position::startpos();
    if (w.size() > 1 && w[1] == "fen") pos = test::fen(join(w, 2, moves));
    for (size_t i = moves + 1; i < w.size(); ++i)
        pos.make_move(pos.parse_uci_move(w[i]));
    return pos;
}

bool legal_bestmove(const std::string& line, const Position& pos) {
    const std::vector<std::string> w = split_words(line);
    return w.size() >= 2 && w[0] == "bestmove" && bool(pos.parse_uci_move(w[1]));
}

size_t first_starting(const std::vector<std::string>& lines, std::string_view prefix) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0) return i;
    return lines.size();
}

TEST(UciPonder, BestmoveOnlyAfterPonderhitOrStopUnderEveryThreadSetup) {
    for (const Threads& threads : THREAD_SETUPS) {
        for (const PonderCase& c : CASES) {
            SCOPED_TRACE(std::string(threads.name) + ": " + c.what);
            Session s;
            for (const std::string& option : threads.options)
                s.send(option);
            s.send(c.position);
            s.send(c.go);
            if (*c.shown) {
                ASSERT_FALSE(s.wait_count(c.shown, 1, GENEROUS).empty());
            }
            // A search that has ended gets the chance to print a stray bestmove.
            if (c.ended) std::this_thread::sleep_for(50ms);
            ASSERT_TRUE(s.starting("bestmove").empty());
            ASSERT_TRUE(s.engine().pondering());
            s.take();

            bool running = true;
            for (const std::string& line : c.next)
                running = s.send(line) && running;
            EXPECT_EQ(running, c.next.back() != "quit");
            const size_t searches =
                1 + std::count_if(c.next.begin(), c.next.end(), [](const std::string& l) {
                    return l.rfind("go", 0) == 0;
                });
            const std::vector<std::string> best =
                s.wait_count("bestmove", c.answered ? searches : 0, GENEROUS);
            EXPECT_EQ(s.engine().pondering(), !c.answered);
            if (!c.answered) {
                EXPECT_TRUE(best.empty());
                EXPECT_EQ(s.starting("readyok").size(), 1u);
                EXPECT_TRUE(s.engine().searching());
            }
            s.end();
            const std::vector<std::string> after = s.take();
            const size_t first_best = first_starting(after, "bestmove");
            ASSERT_LT(first_best, after.size());
            if (*c.best)
                EXPECT_EQ(after[first_best], c.best);
            else
                EXPECT_TRUE(legal_bestmove(after[first_best], position_of(c.position)))
                    << after[first_best];
            // The ponder search went on where it was; the next go, if any, starts over only
            // after the ponder search's bestmove.
            EXPECT_LT(first_best, first_starting(after, "info depth 1 ")) << after[first_best];
            size_t count = 0;
            for (const std::string& l : after)
                count += l.rfind("bestmove", 0) == 0;
            EXPECT_EQ(count, searches);
            if (searches == 2) {
                EXPECT_TRUE(legal_bestmove(after.back(), position_of(c.next[0]))) << after.back();
            }
        }
    }
}

// A go read two minutes ago with a minute to think: counted from the go, its time would be
// long gone at ponderhit and the search would answer at once. Counted from ponderhit, the
// search goes on deep, until stop.
TEST(UciPonder, TimeCountsFromPonderhitNotFromGo) {
    Session s;
    s.send("position startpos moves e2e4");
    s.engine().handle("go ponder movetime 60000",
                      std::chrono::steady_clock::now() - std::chrono::minutes(2));
    s.send("ponderhit");
    EXPECT_EQ(s.wait_for({"info depth 10 ", "bestmove"}).rfind("info depth 10 ", 0), 0u);
    EXPECT_TRUE(s.starting("bestmove").empty());
    s.send("stop");
    EXPECT_EQ(s.starting("bestmove").size(), 1u);
}

}  // namespace
}  // namespace velmar::uci
