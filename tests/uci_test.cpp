#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "session.h"
#include "text.h"

namespace velmar::uci {
namespace {

using test::Session;

// Runs the lines through one Engine and returns every output line.
std::vector<std::string> run_session(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    Output output([&](const std::string& text) {
        std::istringstream in(text);
        std::string l;
        while (std::getline(in, l)) out.push_back(l);
        if (!text.empty() && text.back() == '\n') out.push_back("");
    });
    Engine engine(output);
    for (const std::string& line : lines)
        if (!engine.handle(std::string(trim(line)))) break;
    engine.end_of_input();
    return out;
}

// Runs the real program with the given standard input; returns its standard output.
std::string run_binary(const std::string& args, const std::string& input) {
    std::string path = ::testing::TempDir() + "velmar_stdin.txt";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(input.data(), 1, input.size(), f);
    std::fclose(f);
    std::string cmd = std::string(VELMAR_BINARY) + " " + args + " < " + path;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

TEST(Uci, UciPrintsIdentityOptionsAndUciok) {
    auto out = run_session({"  uci  "});
    ASSERT_EQ(out.size(), 33u);
    EXPECT_EQ(out[0], "id name Velmar 0.1.0");
    EXPECT_EQ(out[1], "id author the Velmar authors");
    EXPECT_EQ(out[2], "option name Hash type spin default 16 min 1 max 262144");
    EXPECT_EQ(out[24], "option name GumbelTemp type spin default 0 min 0 max 200");
    EXPECT_EQ(out[25], "option name Ponder type check default false");
    EXPECT_EQ(out[26], "option name SyzygyProbeDepth type spin default 1 min 1 max 100");
    EXPECT_EQ(out[27], "option name Syzygy50MoveRule type check default true");
    EXPECT_EQ(out[28], "option name SyzygyProbeLimit type spin default 7 min 0 max 7");
    EXPECT_EQ(out[29], "option name UCI_Chess960 type check default false");
    EXPECT_EQ(out[30], "option name UCI_LimitStrength type check default false");
    EXPECT_EQ(out[31], "option name UCI_Elo type spin default 1500 min 800 max 2800");
    EXPECT_EQ(out[32], "uciok");
}

TEST(Uci, CommandTranscripts) {
    struct Case {
        std::vector<std::string> in;
        std::vector<std::string> out;
    };
    const Case cases[] = {
        {{"isready"}, {"readyok"}},
        {{"   "}, {}},
        {{"D"}, {"info string unknown command: D"}},
        {{"foo  bar"}, {"info string unknown command: foo  bar"}},
        {{"position"}, {"info string expected 'startpos' or 'fen'"}},
        {{"position start"}, {"info string expected 'startpos' or 'fen'"}},
        {{"position fen"}, {"info string bad FEN: empty"}},
        {{"position fen 8/8/8/8/8/8/8/8 w - - 0 1"},
         {"info string bad FEN: each side needs exactly one king"}},
        {{"position startpos moves e2e4 e7e9 d2d4"}, {"info string illegal move e7e9"}},
        {{"quit", "isready"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in[0]);
        EXPECT_EQ(run_session(c.in), c.out);
    }
}

TEST(Uci, PositionKeepsMovesBeforeAnIllegalOneAndBadFenKeepsOld) {
    auto out = run_session({"position startpos moves e2e4 e7e9 d2d4", "position fen", "d"});
    EXPECT_EQ(out[0], "info string illegal move e7e9");
    EXPECT_EQ(out[1], "info string bad FEN: empty");
    bool found = false;
    for (const std::string& l : out)
        found |= l == "FEN: rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1";
    EXPECT_TRUE(found);

    auto both = run_session({"position fen 4k3/8/8/8/8/8/4P3/4K3 w - - 0 1 moves e2e4", "display"});
    EXPECT_EQ(both[0], " 8  . . . . k . . .");
    EXPECT_EQ(both[11], "FEN: 4k3/8/8/8/4P3/8/8/4K3 b - - 0 1");
    EXPECT_EQ(both[12].substr(0, 6), "Hash: ");
    EXPECT_EQ(both[13], "");  // display ends with an empty line
}

// Whatever the reason for the rejection, the message comes through whole and the earlier
// position, moves included, stays.
TEST(Uci, RejectedFenKeepsThePreviousPosition) {
    struct Case {
        std::string fen, message;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/8/8/P3K3 w - - 0 1", "info string bad FEN: pawn on the first or last rank"},
        {"k1QQQQQQ/ppQ4Q/QQ5Q/Q6Q/Q6Q/Q6Q/Q6Q/QQQQQQQK w - - 0 1",
         "info string bad FEN: white has more than 16 pieces"},
        {"4k3/8/8/8/8/8/8/4K\xc3\xa9 w - - 0 1", "info string bad FEN: bad piece '\xc3\xa9'"},
        {"4k3/8/8/8/8/8/8/4K3 w\x1b[2J - - 0 1", "info string bad FEN: bad side 'w\\x1b[2J'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto out = run_session({"position startpos moves e2e4", "position fen " + c.fen, "d"});
        ASSERT_GE(out.size(), 13u);
        EXPECT_EQ(out[0], c.message);
        EXPECT_EQ(out[12], "FEN: rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    }
}

TEST(Uci, PerftDividesAndTotals) {
    auto out = run_session({"position fen 4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", "perft 2"});
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], "e1d1: 5");  // king moves come first
    EXPECT_EQ(out[out.size() - 2], "");
    EXPECT_EQ(out.back().rfind("Nodes searched: 30  (", 0), 0u) << out.back();

    for (const char* line : {"perft", "perft 0", "perft x"}) {
        SCOPED_TRACE(line);
        auto depth1 = run_session({line});
        ASSERT_EQ(depth1.size(), 22u);
        EXPECT_EQ(depth1[0], "b1a3: 1");
        EXPECT_EQ(depth1.back().rfind("Nodes searched: 20  (", 0), 0u);
    }
}

// UCI_Chess960 changes how the next position is read and how moves and FEN are written: the
// king takes its own rook, castling rights name rook files. Switching back restores e1g1.
TEST(Uci, Chess960ReadsAndWritesKingTakesRook) {
    const std::string castled = "FEN: rnbqk2r/pppp1ppp/5n2/2b1p3/2B1P3/5N2/PPPP1PPP/RNBQ1RK1 b ";
    const std::string moves = " moves e2e4 e7e5 g1f3 g8f6 f1c4 f8c5 ";
    auto find = [](const std::vector<std::string>& out, const std::string& line) {
        return std::find(out.begin(), out.end(), line) != out.end();
    };
    auto on = run_session({"setoption name UCI_Chess960 value true",
                           "position startpos" + moves + "e1h1", "d"});
    EXPECT_TRUE(find(on, castled + "ha - 5 4"));
    auto refused = run_session({"setoption name UCI_Chess960 value true",
                                "position startpos" + moves + "e1g1", "d"});
    EXPECT_EQ(refused[0], "info string illegal move e1g1");
    auto off = run_session({"setoption name UCI_Chess960 value true",
                            "setoption name UCI_Chess960 value false",
                            "position startpos" + moves + "e1g1", "d"});
    EXPECT_TRUE(find(off, castled + "kq - 5 4"));

    // Perft lists castling as the king taking its rook; X-FEN input comes back as Shredder-FEN.
    auto perft = run_session({"setoption name UCI_Chess960 value true",
                              "position fen r3k2r/8/8/8/8/8/8/1R2K1R1 w KQkq - 0 1", "perft 1",
                              "d"});
    EXPECT_TRUE(find(perft, "e1g1: 1"));
    EXPECT_TRUE(find(perft, "e1b1: 1"));
    EXPECT_TRUE(find(perft, "FEN: r3k2r/8/8/8/8/8/8/1R2K1R1 w GBha - 0 1"));

    // The only legal move castles with the king already on its target square: the rook goes
    // from h1 to f1 and the king stays on g1.
    Session s;
    s.send("setoption name UCI_Chess960 value true");
    s.send("position fen k4r2/8/8/8/8/7p/7P/6KR w H - 0 1");
    s.send("go depth 3");
    s.end();
    EXPECT_EQ(s.starting("bestmove").size(), 1u);
    EXPECT_EQ(s.starting("bestmove g1h1").size(), 1u);
}

TEST(Uci, ProgramPrintsBannerAndEndsAtEndOfInput) {
    std::string out = run_binary("", "isready\r\n\xff\xfe\nisready\n");
    EXPECT_EQ(out, "Velmar 0.1.0 (" VELMAR_LEVEL_NAME ")\nreadyok\n");  // stops at invalid UTF-8
}

bool bestmove_is_legal(const std::string& line, const Position& pos) {
    std::vector<std::string> words = split_words(line);
    if (words.size() < 2 || words[0] != "bestmove") return false;
    return bool(pos.parse_uci_move(words[1]));
}

// Ids of this process's threads named "search".
std::vector<std::string> search_thread_ids() {
    std::vector<std::string> ids;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return ids;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "search") ids.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The engine starts its search thread once and keeps it for every go, however each ended;
// the thread goes with the engine.
TEST(Uci, OneSearchThreadServesEveryGo) {
    const std::vector<std::string> before = search_thread_ids();
    {
        Session s;
        const std::vector<std::string> with = search_thread_ids();
        EXPECT_EQ(with.size(), before.size() + 1);
        for (const char* go : {"go depth 3", "go infinite", "go nodes 3000", "go movetime 5"}) {
            SCOPED_TRACE(go);
            s.send(go);
            s.send("stop");
            s.end();
            EXPECT_EQ(search_thread_ids(), with);
        }
        EXPECT_EQ(s.starting("bestmove").size(), 4u);
    }
    EXPECT_EQ(search_thread_ids(), before);
}

TEST(Uci, InfiniteSearchAnswersIsreadyAndWaitsForStop) {
    Session s;
    s.send("go infinite");
    s.send("isready");
    EXPECT_FALSE(s.starting("readyok").empty());
    EXPECT_TRUE(s.starting("bestmove").empty());
    EXPECT_TRUE(s.engine().searching());
    s.send("stop");
    auto best = s.starting("bestmove");
    ASSERT_EQ(best.size(), 1u);
    EXPECT_TRUE(bestmove_is_legal(best[0], Position::startpos())) << best[0];
    EXPECT_FALSE(s.engine().searching());
}

TEST(Uci, SecondGoEndsTheFirstAndQuitPrintsBestmove) {
    Session s;
    s.send("position startpos moves e2e4");
    s.send("go infinite");
    s.send("go depth 4");
    s.send("isready");
    EXPECT_FALSE(s.send("quit"));
    auto lines = s.lines();
    std::vector<size_t> at;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind("bestmove", 0) == 0) at.push_back(i);
    ASSERT_EQ(at.size(), 2u);
    // The second search starts over at depth 1 only after the first printed its move.
    auto depth1 = std::find_if(lines.begin() + at[0], lines.end(), [](const std::string& l) {
        return l.rfind("info depth 1 ", 0) == 0;
    });
    EXPECT_NE(depth1, lines.end());
    Position pos = Position::startpos();
    pos.make_move(pos.parse_uci_move("e2e4"));
    for (size_t i : at) EXPECT_TRUE(bestmove_is_legal(lines[i], pos)) << lines[i];
}

TEST(Uci, EndOfInputStopsAnInfiniteSearch) {
    Session s;
    s.send("go infinite");
    s.end();
    EXPECT_EQ(s.starting("bestmove").size(), 1u);
}

// At end of input nobody is left to send stop: a go without a bound is stopped, a bounded one
// runs to its end. Either way exactly one bestmove, and the engine is idle again.
TEST(Uci, EndOfInputStopsUnboundedSearchesAndFinishesBoundedOnes) {
    struct Case {
        const char* go;
        bool ends_alone;
    };
    const Case CASES[] = {
        {"go", false},
        {"go mate 2", false},  // mate is not read as a limit
        {"go infinite", false},
        {"go infinite depth 3", false},
        {"go searchmoves e2e4 d2d4", false},
        {"go ponder", false},
        {"go btime 1000 binc 10", false},  // white to move: black's clock bounds nothing
        {"go depth 5", true},
        {"go mate 2 depth 4", true},
        {"go movetime 100", true},
        {"go wtime 1000 btime 1000", true},
        {"go nodes 5000", true},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.go);
        const std::vector<std::string> words = split_words(c.go);
        const SearchLimits limits =
            parse_go({words.begin() + 1, words.end()}, Position::startpos()).limits;
        EXPECT_EQ(ends_without_stop(limits), c.ends_alone);
        Session s;
        s.send(c.go);
        s.end();
        EXPECT_FALSE(s.engine().searching());
        EXPECT_EQ(s.starting("bestmove").size(), 1u);
        if (limits.depth && c.ends_alone) {
            auto infos = s.starting("info depth ");
            ASSERT_FALSE(infos.empty());
            EXPECT_EQ(infos.back().rfind("info depth " + std::to_string(*limits.depth) + " ", 0),
                      0u);
        }
    }
}

TEST(Uci, ProgramEndsAtEndOfInputDuringAnySearch) {
    for (const char* input : {"go\n", "go mate 2\n", "go infinite\n", "go depth 3\n"}) {
        SCOPED_TRACE(input);
        const std::string out = run_binary("", input);
        EXPECT_NE(out.find("\nbestmove "), std::string::npos) << out;
    }
}

// The time of a go runs from when its line was read, which the loop passes in.
TEST(Uci, GoCountsItsTimeFromWhenTheLineWasRead) {
    Session s;
    s.engine().handle("go movetime 60000",
                      std::chrono::steady_clock::now() - std::chrono::minutes(2));
    s.wait_for({"bestmove"});
    const auto infos = s.starting("info depth ");
    ASSERT_FALSE(infos.empty());
    const std::vector<std::string> w = split_words(infos.front());
    const auto time = std::find(w.begin(), w.end(), "time");
    ASSERT_TRUE(time != w.end() && time + 1 != w.end()) << infos.front();
    EXPECT_GE(parse_u64(time[1]).value_or(0), 120'000u) << infos.front();
}

// A huge limit is a long search. The deadline used to overflow, and the search stopped by
// depth 6; now it goes on past depth 10 and still answers stop.
TEST(Uci, HugeTimeLimitsSearchUntilStop) {
    for (const char* go : {"go movetime 10000000000000", "go wtime 9223372036854775807 btime 1",
                           "go movetime 99999999999999999999999"}) {
        SCOPED_TRACE(go);
        Session s;
        s.send(go);
        s.wait_for({"info depth 10 ", "bestmove"});
        EXPECT_TRUE(s.starting("bestmove").empty());
        EXPECT_TRUE(s.engine().searching());
        s.send("stop");
        EXPECT_EQ(s.starting("bestmove").size(), 1u);
    }
}

TEST(Uci, RootsWithoutMovesGiveNullBestmove) {
    for (const char* fen : {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3",
                            "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"}) {
        SCOPED_TRACE(fen);
        Session s;
        s.send(std::string("position fen ") + fen);
        s.send("go depth 5");
        s.end();
        EXPECT_EQ(s.starting("bestmove"), std::vector<std::string>{"bestmove 0000"});
    }
}

// Everything but the clock-dependent fields.
std::vector<std::string> without_timing(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        std::vector<std::string> w = split_words(l);
        std::string kept;
        for (size_t i = 0; i < w.size(); ++i) {
            if ((w[i] == "nps" || w[i] == "time") && i + 1 < w.size()) {
                ++i;
                continue;
            }
            kept += w[i] + " ";
        }
        out.push_back(kept);
    }
    return out;
}

TEST(Uci, SameSearchAfterUcinewgamePrintsSameLines) {
    for (const char* eval : {"true", "false"}) {
        SCOPED_TRACE(eval);
        Session s;
        s.send(std::string("setoption name UseNNUE value ") + eval);
        std::vector<std::vector<std::string>> runs;
        for (int i = 0; i < 2; ++i) {
            size_t before = s.lines().size();
            s.send("ucinewgame");
            s.send("position startpos moves d2d4");
            s.send("go nodes 5000");
            s.end();  // joins the finite search without stopping it
            auto lines = s.lines();
            runs.push_back(without_timing({lines.begin() + long(before), lines.end()}));
        }
        EXPECT_EQ(runs[0], runs[1]);
        EXPECT_GT(runs[0].size(), 2u);
    }
}

TEST(Uci, ScoresAndInfoLinesFormatExactly) {
    EXPECT_EQ(format_score(31990), "mate 5");
    EXPECT_EQ(format_score(-31990), "mate -5");
    EXPECT_EQ(format_score(31999), "mate 1");
    EXPECT_EQ(format_score(-32000), "mate 0");
    EXPECT_EQ(format_score(31871), "cp 31871");
    EXPECT_EQ(format_score(-31871), "cp -31871");

    IterationInfo info;
    info.depth = 7;
    info.seldepth = 9;
    info.score = 35;
    info.nodes = 5000;
    info.time = 0;
    info.hashfull = 3;
    info.pv = {Move(12, 28, kind::DOUBLE_PUSH), Move(52, 36, kind::DOUBLE_PUSH)};
    EXPECT_EQ(format_info(info), "info depth 7 seldepth 9 score cp 35 nodes 5000 nps 5000000 "
                                 "hashfull 3 tbhits 0 time 0 pv e2e4 e7e5");
    info.has_wdl = true;
    info.wdl = {500, 300, 200};
    info.time = 10;
    info.pv.clear();
    EXPECT_EQ(format_info(info), "info depth 7 seldepth 9 multipv 1 score cp 35 wdl 500 300 200 "
                                 "nodes 5000 nps 500000 hashfull 3 tbhits 0 time 10 pv ");
    EXPECT_EQ(format_bestmove(NO_MOVE, NO_MOVE), "bestmove 0000");
    EXPECT_EQ(format_bestmove(Move(12, 28, 1), NO_MOVE), "bestmove e2e4");
    EXPECT_EQ(format_bestmove(Move(12, 28, 1), Move(52, 36, 1)), "bestmove e2e4 ponder e7e5");
}

TEST(Uci, GoalLinesPickWinDrawAndLose) {
    EXPECT_TRUE(format_goals({}).empty());
    std::vector<GoalLine> lines = {
        {50, 523, 400, 77, Move(12, 28, 1)},   // e2e4
        {60, 523, 300, 177, Move(11, 27, 1)},  // d2d4: same win, higher score
        {-20, 100, 893, 7, Move(6, 21, 0)},    // g1f3
        {-90, 100, 200, 700, Move(1, 16, 0)},  // b1a3
    };
    EXPECT_EQ(format_goals(lines), (std::vector<std::string>{
                                       "info string velmar win d2d4 W52.3 D30.0 L17.7",
                                       "info string velmar draw g1f3 W10.0 D89.3 L0.7",
                                       "info string velmar lose b1a3 W10.0 D20.0 L70.0",
                                   }));
}

TEST(Uci, GoArgumentsBecomeLimits) {
    Position black = Position::startpos();
    black.make_move(black.parse_uci_move("e2e4"));
    auto go = [&](const std::string& args, const Position& pos) {
        return parse_go(split_words(args), pos).limits;
    };
    SearchLimits l = go("wtime 1000 btime 2000 winc 5", black);
    EXPECT_EQ(l.time, 2000u);
    EXPECT_EQ(l.inc, 0u);
    l = go("wtime -5 winc x movestogo 0 nodes 0 movetime -3 depth -2", Position::startpos());
    EXPECT_EQ(l.time, 0u);
    EXPECT_EQ(l.inc, 0u);
    EXPECT_EQ(l.movestogo, 1);
    EXPECT_EQ(l.nodes, 1u);
    EXPECT_EQ(l.movetime, 1u);
    EXPECT_EQ(l.depth, -2);
    l = go("depth infinite", Position::startpos());
    EXPECT_FALSE(l.depth.has_value());
    EXPECT_TRUE(l.infinite);
    l = go("searchmoves e2e4 d2d4 e2e5 depth 5 ponder", Position::startpos());
    EXPECT_EQ(l.searchmoves.size(), 2u);
    EXPECT_EQ(l.depth, 5);
    l = go("mate 3", Position::startpos());
    EXPECT_FALSE(l.depth || l.nodes || l.movetime || l.time || l.infinite);
    GoCommand p = parse_go(split_words("depth 3 perft 2 infinite"), Position::startpos());
    EXPECT_EQ(p.perft_depth, 2u);
    EXPECT_EQ(parse_go(split_words("perft"), Position::startpos()).perft_depth, 1u);
    EXPECT_TRUE(parse_go(split_words("wtime 10 ponder btime 9"), Position::startpos()).ponder);
    EXPECT_FALSE(parse_go(split_words("wtime 10 btime 9"), Position::startpos()).ponder);
}

// Numbers beyond any clock are read as MAX_CLOCK_MS (about 35 years) and beyond 64 bits as
// the largest value, so a huge limit gives a long search with a finite, overflow-free budget.
TEST(Uci, HugeGoNumbersBecomeLongFiniteLimits) {
    constexpr uint64_t YEAR_MS = 365ull * 24 * 3600 * 1000;
    struct Case {
        const char* args;
        std::optional<uint64_t> movetime, time, nodes;
        uint64_t inc;
        std::optional<int32_t> depth;
        uint64_t min_hard_ms;  // 0: no time limit to check
    };
    const std::nullopt_t none = std::nullopt;
    const Case CASES[] = {
        {"movetime 10000000000000", MAX_CLOCK_MS, none, none, 0, none, YEAR_MS},
        {"movetime 99999999999999999999999", MAX_CLOCK_MS, none, none, 0, none, YEAR_MS},
        {"movetime -99999999999999999999999", 1, none, none, 0, none, 1},
        {"wtime 9223372036854775807 winc 99999999999999999999", none, MAX_CLOCK_MS, none,
         MAX_CLOCK_MS, none, YEAR_MS},
        {"wtime 1099511627775 winc 5", none, 1'099'511'627'775, none, 5, none, YEAR_MS},
        {"wtime 1e9", none, none, none, 0, none, 0},
        {"nodes 99999999999999999999", none, none, uint64_t(INT64_MAX), 0, none, 0},
        {"depth 99999999999999999999", none, none, none, 0, INT32_MAX, 0},
        {"depth -99999999999999999999", none, none, none, 0, INT32_MIN, 0},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.args);
        const SearchLimits l = parse_go(split_words(c.args), Position::startpos()).limits;
        EXPECT_EQ(l.movetime, c.movetime);
        EXPECT_EQ(l.time, c.time);
        EXPECT_EQ(l.nodes, c.nodes);
        EXPECT_EQ(l.inc, c.inc);
        EXPECT_EQ(l.depth, c.depth);
        const TimeBudget b = time_budget(l, 10);
        if (c.min_hard_ms) {
            ASSERT_TRUE(b.hard_ms.has_value());
            EXPECT_GE(*b.hard_ms, c.min_hard_ms);
            EXPECT_LE(*b.hard_ms, MAX_CLOCK_MS);
        }
    }
}

TEST(Uci, TextHelpers) {
    EXPECT_EQ(trim("\xc2\xa0 uci \xe3\x80\x80"), "uci");
    EXPECT_EQ(split_words("go\xe2\x80\x83wtime  10"), (std::vector<std::string>{"go", "wtime", "10"}));
    EXPECT_EQ(parse_u32("+12"), 12u);
    EXPECT_EQ(parse_u32("4294967296"), std::nullopt);
    EXPECT_EQ(parse_u32("-1"), std::nullopt);
    EXPECT_EQ(parse_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_i32("2147483648"), std::nullopt);
    EXPECT_EQ(parse_i64("+"), std::nullopt);
    EXPECT_EQ(parse_i64("12a"), std::nullopt);
    EXPECT_EQ(parse_i64_saturating("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(parse_i64_saturating("+9223372036854775808"), INT64_MAX);
    EXPECT_EQ(parse_i64_saturating("-99999999999999999999"), INT64_MIN);
    EXPECT_EQ(parse_i64_saturating("-42"), -42);
    EXPECT_EQ(parse_i64_saturating("-"), std::nullopt);
    EXPECT_EQ(parse_i64_saturating(""), std::nullopt);
    EXPECT_EQ(parse_i64_saturating("99999999999999999999x"), std::nullopt);
}

// One setoption line (or a few) on a fresh engine: the exact printed lines and the settings.
TEST(Uci, SetoptionReadsNamesValuesAndFallbacks) {
    using Check = void (*)(const Engine&);
    struct Case {
        std::vector<std::string> in;
        std::vector<std::string> out;
        Check check;
    };
    const Case cases[] = {
        // Names: any case, with or without "name", words joined by single spaces.
        {{"setoption name Threads value 3"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 3u); EXPECT_EQ(e.helper_count(), 2u); }},
        {{"setoption name THREADS value 2"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 2u); }},
        {{"setoption Threads value 2"}, {},
         [](const Engine& e) { EXPECT_EQ(e.helper_count(), 1u); }},
        {{"setoption name move   OVERHEAD value 250"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().move_overhead_ms, 250u); }},
        {{"setoption name Foo  Bar value 1"}, {"info string unknown option 'foo bar'"},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 1u); }},
        {{"setoption value 3 name Threads"}, {"info string unknown option ''"},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 1u); }},
        // Numbers: range fallbacks, unreadable values, missing values.
        {{"setoption name Threads value 0"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 1u); EXPECT_EQ(e.helper_count(), 0u); }},
        {{"setoption name Threads value 2", "setoption name Threads value x"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 2u); }},
        {{"setoption name Threads value 2", "setoption name Threads value -1"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 2u); }},
        {{"setoption name Threads value 2", "setoption name Threads"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().threads, 2u); }},
        {{"setoption name Move Overhead value +30", "setoption name Move Overhead value 1e3"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().move_overhead_ms, 30u); }},
        {{"setoption name Move Overhead value 9000"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().move_overhead_ms, 9000u); }},
        {{"setoption name MultiPV value 0"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().multipv, 1u); }},
        {{"setoption name MultiPV value 999"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().multipv, 256u); }},
        {{"setoption name MultiPV value 3", "setoption name MultiPV value three"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().multipv, 3u); }},
        {{"setoption name GumbelTemp value 500"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().gumbel_temp, 200u); }},
        {{"setoption name GumbelTemp value 50", "setoption name GumbelTemp value -1"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().gumbel_temp, 50u); }},
        {{"setoption name PolicyMinDepth value -3"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().policy_min_depth, -3); }},
        {{"setoption name PolicyMinDepth value 4", "setoption name PolicyMinDepth value x"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().policy_min_depth, 0); }},
        {{"setoption name RouterPlies value 5", "setoption name RouterPlies value -5"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_plies, 2u); }},
        {{"setoption name RouterReduce value -7"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_reduce, -7); }},
        {{"setoption name RouterReduce value 9", "setoption name RouterReduce"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_reduce, 6); }},
        {{"setoption name RouterMinDepth value 2147483648"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_min_depth, 2); }},
        {{"setoption name RouterOrderBonus value +40"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_order_bonus, 40); }},
        {{"setoption name RouterTopK value 4", "setoption name RouterTopK value 4x"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_top_k, 0u); }},
        // Booleans: "true" in any case, except RouterOrder, which wants exactly "true".
        {{"setoption name UCI_ShowWDL value True"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().show_wdl); }},
        {{"setoption name UCI_ShowWDL value true", "setoption name UCI_ShowWDL value yes"}, {},
         [](const Engine& e) { EXPECT_FALSE(e.settings().show_wdl); }},
        {{"setoption name UCI_ShowWDL value true", "setoption name UCI_ShowWDL"}, {},
         [](const Engine& e) { EXPECT_FALSE(e.settings().show_wdl); }},
        {{"setoption name RouterOrder value True"}, {},
         [](const Engine& e) { EXPECT_FALSE(e.settings().router_order); }},
        {{"setoption name RouterOrder value true"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().router_order); }},
        {{"setoption name GoalMoves value TRUE"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().goal_moves); }},
        {{"setoption name ABDADA value true"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().abdada); }},
        {{"setoption name RouterMode value REPLACE"}, {},
         [](const Engine& e) { EXPECT_FALSE(e.settings().router_delta); }},
        {{"setoption name RouterMode value Replace", "setoption name RouterMode value Delta"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().router_delta); }},
        // Combos: every spelling, echoed by display name; anything else is ignored silently.
        {{"setoption name SMPMode value lazysmp"}, {"info string SMPMode set to Lazy"},
         [](const Engine& e) { EXPECT_EQ(e.settings().smp_mode, SmpMode::LAZY); }},
        {{"setoption name smpmode value ybwc"}, {"info string SMPMode set to YBWC"},
         [](const Engine& e) { EXPECT_EQ(e.settings().smp_mode, SmpMode::YBWC); }},
        {{"setoption name SMPMode value Abdada"}, {"info string SMPMode set to ABDADA"},
         [](const Engine& e) {
             EXPECT_EQ(e.settings().smp_mode, SmpMode::ABDADA);
             EXPECT_TRUE(e.settings().abdada);
         }},
        {{"setoption name ABDADA value true", "setoption name SMPMode value LAZY"},
         {"info string SMPMode set to Lazy"},
         [](const Engine& e) { EXPECT_FALSE(e.settings().abdada); }},
        {{"setoption name SMPMode value ybwc", "setoption name SMPMode value lazy smp",
          "setoption name SMPMode"},
         {"info string SMPMode set to YBWC"},
         [](const Engine& e) { EXPECT_EQ(e.settings().smp_mode, SmpMode::YBWC); }},
        {{"setoption name SearchMode value alpha-beta", "setoption name SearchMode value AlphaBeta",
          "setoption name SearchMode value ab"},
         {"info string SearchMode set to AB", "info string SearchMode set to AB",
          "info string SearchMode set to AB"},
         [](const Engine& e) { EXPECT_EQ(e.settings().search_mode, SearchMode::AB); }},
        {{"setoption name SearchMode value VOI"}, {"info string SearchMode set to VOI"},
         [](const Engine& e) { EXPECT_EQ(e.settings().search_mode, SearchMode::VOI); }},
        {{"setoption name SearchMode value gumbel", "setoption name SearchMode value GumbelSH",
          "setoption name SearchMode value gumbel-sh", "setoption name SearchMode value MCTS"},
         {"info string SearchMode set to GumbelSH", "info string SearchMode set to GumbelSH",
          "info string SearchMode set to GumbelSH", "info string SearchMode set to GumbelSH"},
         [](const Engine& e) { EXPECT_EQ(e.settings().search_mode, SearchMode::GUMBEL_SH); }},
        {{"setoption name SearchMode value voi", "setoption name SearchMode value foo",
          "setoption name SearchMode value gumbel sh"},
         {"info string SearchMode set to VOI"},
         [](const Engine& e) { EXPECT_EQ(e.settings().search_mode, SearchMode::VOI); }},
        // Evaluator and files.
        {{"setoption name UseNNUE value false", "setoption name UseNNUE value FALSE"},
         {"info string evaluation: hand-written", "info string evaluation: hand-written"},
         [](const Engine& e) { EXPECT_FALSE(e.uses_nnue_pool()); }},
        {{"setoption name UseNNUE value maybe", "setoption name usennue value True"},
         {"info string evaluation: hand-written", "info string evaluation: NNUE"},
         [](const Engine& e) { EXPECT_TRUE(e.uses_nnue_pool()); }},
        {{"setoption name EvalFile value /nonexistent/net.nnue"},
         {"info string cannot use /nonexistent/net.nnue: No such file or directory; keeping the "
          "current network"},
         [](const Engine& e) { EXPECT_TRUE(e.uses_nnue_pool()); }},
        {{"setoption name EvalFile value <internal>", "setoption name EvalFile"},
         {"info string using the built-in network", "info string using the built-in network"},
         [](const Engine& e) { EXPECT_TRUE(e.uses_nnue_pool()); }},
        {{"setoption name UseNNUE value false", "setoption name EvalFile value <internal>"},
         {"info string evaluation: hand-written", "info string using the built-in network",
          "info string the network is used only when UseNNUE is true"},
         [](const Engine& e) { EXPECT_FALSE(e.uses_nnue_pool()); }},
        {{"setoption name RouterFile value /nonexistent/router.bin",
          "setoption name RouterFile value <empty>"},
         {"info string cannot use router /nonexistent/router.bin: No such file or directory",
          "info string router off"},
         [](const Engine& e) { EXPECT_EQ(e.settings().router_file, ""); }},
        {{"setoption name SyzygyPath value <empty>"}, {},
         [](const Engine& e) { EXPECT_EQ(e.settings().syzygy_path, ""); }},
        // Pondering and the tablebase use: values outside the option are reported and kept out.
        {{"setoption name Ponder value true"}, {},
         [](const Engine& e) { EXPECT_TRUE(e.settings().ponder); }},
        {{"setoption name Ponder value true", "setoption name Ponder value on"},
         {"info string Ponder takes true or false, not 'on'"},
         [](const Engine& e) { EXPECT_TRUE(e.settings().ponder); }},
        {{"setoption name SyzygyProbeDepth value 12", "setoption name SyzygyProbeDepth value 0"},
         {"info string SyzygyProbeDepth takes a whole number from 1 to 100, not '0'"},
         [](const Engine& e) { EXPECT_EQ(e.settings().tb_use.probe_depth, 12); }},
        {{"setoption name SyzygyProbeDepth value deep"},
         {"info string SyzygyProbeDepth takes a whole number from 1 to 100, not 'deep'"},
         [](const Engine& e) { EXPECT_EQ(e.settings().tb_use.probe_depth, 1); }},
        {{"setoption name SyzygyProbeLimit value 0", "setoption name SyzygyProbeLimit value 8"},
         {"info string SyzygyProbeLimit takes a whole number from 0 to 7, not '8'"},
         [](const Engine& e) { EXPECT_EQ(e.settings().tb_use.probe_limit, 0u); }},
        {{"setoption name Syzygy50MoveRule value FALSE", "setoption name Syzygy50MoveRule"},
         {"info string Syzygy50MoveRule takes true or false, not ''"},
         [](const Engine& e) { EXPECT_FALSE(e.settings().tb_use.fifty_move_rule); }},
        // Strength limit: the same checks; UCI_Elo keeps its last good value.
        {{"setoption name UCI_LimitStrength value TRUE", "setoption name UCI_Elo value 2100"}, {},
         [](const Engine& e) {
             EXPECT_TRUE(e.settings().limit_strength);
             EXPECT_EQ(e.settings().elo, 2100);
         }},
        {{"setoption name UCI_LimitStrength value true", "setoption name UCI_LimitStrength value 1",
          "setoption name UCI_Elo value 2100", "setoption name UCI_Elo value 799",
          "setoption name UCI_Elo value 2801", "setoption name UCI_Elo value strong"},
         {"info string UCI_LimitStrength takes true or false, not '1'",
          "info string UCI_Elo takes a whole number from 800 to 2800, not '799'",
          "info string UCI_Elo takes a whole number from 800 to 2800, not '2801'",
          "info string UCI_Elo takes a whole number from 800 to 2800, not 'strong'"},
         [](const Engine& e) {
             EXPECT_TRUE(e.settings().limit_strength);
             EXPECT_EQ(e.settings().elo, 2100);
         }},
        // Hash: 0 goes to the table as it is (1 MB), unreadable values change nothing.
        {{"setoption name Hash value 0"}, {}, [](const Engine& e) { EXPECT_EQ(e.hash_mb(), 1u); }},
        {{"setoption name Hash value 3", "setoption name Hash value 3MB"}, {},
         [](const Engine& e) { EXPECT_EQ(e.hash_mb(), 3u); }},
        {{"setoption name Clear Hash", "setoption name clear hash value now"}, {},
         [](const Engine& e) { EXPECT_EQ(e.hash_mb(), 16u); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in.back());
        std::vector<std::string> out;
        Output output([&](const std::string& text) { out.push_back(text); });
        Engine engine(output);
        for (const std::string& line : c.in) engine.handle(line);
        EXPECT_EQ(out, c.out);
        c.check(engine);
    }
}

// A table larger than the free memory is refused with the table's own message, and the old
// size is made again.
TEST(Uci, HashAboveFreeMemoryKeepsTheOldSize) {
    std::vector<std::string> out;
    Output output([&](const std::string& text) { out.push_back(text); });
    Engine engine(output);
    engine.handle("setoption name Hash value 2");
    engine.handle("setoption name Hash value 262144");
    ASSERT_EQ(out.size(), 1u);
    const std::string& l = out[0];
    const std::string head = "info string Hash 262144 MB is more than the free memory (";
    const std::string tail = " MB); keeping Hash 2 MB";
    ASSERT_GT(l.size(), head.size() + tail.size()) << l;
    EXPECT_EQ(l.substr(0, head.size()), head) << l;
    EXPECT_EQ(l.substr(l.size() - tail.size()), tail) << l;
    const std::string avail = l.substr(head.size(), l.size() - head.size() - tail.size());
    EXPECT_TRUE(parse_u64(avail).has_value()) << avail;
    EXPECT_EQ(engine.hash_mb(), 2u);
    engine.handle("go depth 3");
    engine.end_of_input();
    EXPECT_EQ(out.back().rfind("bestmove ", 0), 0u);
}

// The bench signature belongs to the bench's own searcher: no option of the session moves it.
TEST(Uci, BenchIgnoresThreadsHashAndEvaluatorOptions) {
    auto bench_line = [](const std::vector<std::string>& setup) {
        std::vector<std::string> out;
        Output output([&](const std::string& text) { out.push_back(text); });
        Engine engine(output);
        for (const std::string& line : setup) engine.handle(line);
        out.clear();
        engine.handle("bench 4");
        auto it = std::find_if(out.begin(), out.end(),
                               [](const std::string& l) { return l.rfind("Bench: ", 0) == 0; });
        return it == out.end() ? std::string() : *it;
    };
    const std::string plain = bench_line({});
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(bench_line({"setoption name Threads value 4", "setoption name Hash value 64",
                          "setoption name MultiPV value 3", "setoption name UseNNUE value false",
                          "go infinite"}),
              plain);
}

}  // namespace
}  // namespace velmar::uci
