// The tablebase, router and network file options as a GUI sees them: the messages, the state
// kept after a refusal, and tbhits in the info lines once tables are loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"
#include "syzygy.h"
#include "test_util.h"
#include "text.h"

namespace velmar::uci {
namespace {

std::vector<std::string> session(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    Output output([&](const std::string& text) { out.push_back(text); });
    Engine engine(output);
    for (const std::string& line : lines) engine.handle(line);
    engine.end_of_input();
    engine.handle("setoption name SyzygyPath value <empty>");  // tables are process-wide
    return out;
}

TEST(UciTablebase, SyzygyPathLoadsReportsAndProbes) {
    const std::string dir = std::string(VELMAR_TEST_DATA) + "/syzygy";
    auto out = session({"setoption name SyzygyPath value /no/such/dir",
                        "setoption name SyzygyPath value /no/such/dir:" + dir,
                        "position fen 8/8/8/4k3/8/8/8/KQ6 w - - 0 1", "go depth 6"});
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0].rfind("info string ", 0), 0u);
    EXPECT_EQ(out[1], "info string loaded Syzygy tables up to 4 pieces");
    EXPECT_EQ(out.back().rfind("bestmove ", 0), 0u);
    const std::string& last_info = out[out.size() - 2];
    EXPECT_EQ(last_info.find(" tbhits 0 "), std::string::npos) << last_info;
}

TEST(UciTablebase, RouterFileMessages) {
    auto out = session({"setoption name RouterFile value /no/such/file.kwt",
                        "setoption name RouterFile value <empty>"});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "info string cannot use router /no/such/file.kwt: No such file or directory");
    EXPECT_EQ(out[1], "info string router off");
}

// Files that are not what their option expects leave the engine as it was: one info line
// each, the previous router and network kept, and the engine still answers.
TEST(UciTablebase, UnusableRouterAndEvalFilesKeepThePreviousState) {
    test::ScratchDir dir("uci_files");
    const std::string router = dir.file("router.kwt", RouterNet::random(4, 8, 4, 1).to_bytes());
    const std::string terabyte = std::to_string(uint64_t(1) << 40);
    struct Case {
        std::string option, path, reason;
    };
    const Case cases[] = {
        {"RouterFile", dir.file("huge.kwt", {'K', 'W', 'T', '4'}, uint64_t(1) << 40),
         "bad KWT4 hidden sizes 0x0"},
        {"RouterFile", dir.fifo("fifo.kwt"), "not a regular file"},
        {"RouterFile", dir.directory("dir.kwt"), "not a regular file"},
        {"RouterFile", "/dev/zero", "not a regular file"},
        {"EvalFile", dir.file("huge.nnue", {}, uint64_t(1) << 40),
         "network file has " + terabyte + " bytes; a (768->1024)x2->1 network needs 1579010 "
             "(1579072 padded), or 1591304 (1591360 padded) with a W/D/L head (other sizes: "
             "king/output buckets)"},
        {"EvalFile", dir.fifo("fifo.nnue"), "not a regular file"},
        {"EvalFile", dir.directory("dir.nnue"), "not a regular file"},
        {"EvalFile", "/dev/zero", "not a regular file"},
    };
    std::vector<std::string> out;
    Output output([&](const std::string& text) { out.push_back(text); });
    Engine engine(output);
    engine.handle("setoption name RouterFile value " + router);
    engine.handle("eval");
    const std::vector<std::string> before = out;
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0], "info string loaded router " + router + " (hidden 8)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option + " " + c.path);
        out.clear();
        engine.handle("setoption name " + c.option + " value " + c.path);
        const std::string expected =
            c.option == "RouterFile" ? "info string cannot use router " + c.path + ": " + c.reason
                                     : "info string cannot use " + c.path + ": " + c.reason
                                           + "; keeping the current network";
        EXPECT_EQ(out, std::vector<std::string>{expected});
        EXPECT_EQ(engine.settings().router_file, router);
    }
    out.clear();
    engine.handle("eval");
    EXPECT_EQ(out, std::vector<std::string>{before[1]});
}

// A table name taken by something other than a regular file in the first directory of the path:
// the table comes from the second, and the search probes it. The FIFO is held open by the
// fixture, so a wrong open of it cannot wait: the search then misses the table and the tbhits
// check fails instead of the test hanging.
TEST(UciTablebase, TableNamesTakenByOtherFilesAreSuppliedByALaterDirectory) {
    const std::string data = std::string(VELMAR_TEST_DATA) + "/syzygy/";
    test::ScratchDir dir("uci_tables");
    const std::string first = dir.path("first"), second = dir.path("second");
    std::filesystem::create_directories(first);
    std::filesystem::create_directories(second);
    for (const char* f : {"KRvK.rtbw", "KRvK.rtbz"})
        std::filesystem::copy_file(data + f, second + "/" + f);
    dir.fifo("first/KRvK.rtbw");
    dir.directory("first/KRvK.rtbz");
    auto out = session({"setoption name SyzygyPath value " + first + ":" + second,
                        "position fen 4k3/8/8/8/8/8/8/R3K3 w - - 0 1", "go depth 5"});
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0], "info string loaded Syzygy tables up to 3 pieces");
    EXPECT_EQ(out.back().rfind("bestmove ", 0), 0u) << out.back();
    const std::string& last_info = out[out.size() - 2];
    EXPECT_EQ(last_info.find(" tbhits 0 "), std::string::npos) << last_info;
}

// The last info line of a search to `depth`, with the clock fields left out.
std::string last_info(std::vector<std::string> lines, const std::string& fen, int depth) {
    lines.push_back("position fen " + fen);
    lines.push_back("go depth " + std::to_string(depth));
    std::string last;
    for (const std::string& l : session(lines))
        if (l.rfind("info depth ", 0) == 0) last = l;
    std::vector<std::string> w = split_words(last);
    std::string kept;
    for (size_t i = 0; i < w.size(); ++i) {
        if (w[i] == "nps" || w[i] == "time") ++i;
        else kept += (kept.empty() ? "" : " ") + w[i];
    }
    return kept;
}

// The number after `name` in an info line, or -1.
int64_t field(const std::string& info, const std::string& name) {
    std::vector<std::string> w = split_words(info);
    auto it = std::find(w.begin(), w.end(), name);
    if (it == w.end() || ++it == w.end()) return -1;
    return parse_i64(*it).value_or(-1);
}

// Five pieces: the root is beyond the committed tables, and only nodes after the knight falls
// reach them. The probe depth and the piece limit decide how many of those are probed; the
// option defaults are exactly the engine without them.
TEST(UciTablebase, ProbeDepthAndLimitDecideWhichNodesAreProbed) {
    const std::string path =
        "setoption name SyzygyPath value " + std::string(VELMAR_TEST_DATA) + "/syzygy";
    const std::string fen = "4k3/8/8/3n4/8/8/3QP3/4K3 w - - 0 1";
    const std::string plain = last_info({path}, fen, 8);
    const int64_t hits = field(plain, "tbhits");
    ASSERT_GT(hits, 0) << plain;
    enum class Hits { SAME, FEWER, NONE };
    struct Case {
        const char* option;
        Hits hits;
    };
    const Case cases[] = {
        {"SyzygyProbeDepth value 1", Hits::SAME},  {"SyzygyProbeLimit value 7", Hits::SAME},
        {"Syzygy50MoveRule value true", Hits::SAME}, {"SyzygyProbeDepth value 5", Hits::FEWER},
        {"SyzygyProbeDepth value 100", Hits::NONE}, {"SyzygyProbeLimit value 3", Hits::FEWER},
        {"SyzygyProbeLimit value 0", Hits::NONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        const std::string info =
            last_info({path, std::string("setoption name ") + c.option}, fen, 8);
        const int64_t n = field(info, "tbhits");
        switch (c.hits) {
        case Hits::SAME: EXPECT_EQ(info, plain); break;
        case Hits::FEWER:
            EXPECT_LT(n, hits) << info;
            EXPECT_GE(n, 0) << info;
            break;
        case Hits::NONE: EXPECT_EQ(n, 0) << info; break;
        }
    }
}

// The complete 5-piece set, when a copy sits beside the repository; empty otherwise.
std::string full_tables() {
    namespace fs = std::filesystem;
    const fs::path candidates[] = {fs::path(VELMAR_TEST_DATA) / "../../../shared/syzygy",
                                   fs::path("/work/shared/syzygy")};
    for (const fs::path& p : candidates)
        if (fs::exists(p / "KBBvKN.rtbw") && fs::exists(p / "KBBvKN.rtbz"))
            return fs::canonical(p).string();
    return {};
}

// Two bishops against a knight that win only in more than a hundred plies. The root probe
// says so; without the fifty-move rule the search reports the win, under it no win, and
// either way it plays a move that keeps the win.
TEST(UciTablebase, CursedWinIsAWinOnlyWithoutTheFiftyMoveRule) {
    const std::string dir = full_tables();
    if (dir.empty()) GTEST_SKIP() << "no KBBvKN tables beside the repository";
    const std::string fen = "8/8/4BB2/K1k5/8/3n4/8/8 w - - 0 1";
    Position pos = test::fen(fen);
    std::vector<Move> keeping;
    {
        Result<Syzygy> tb = Syzygy::load(dir);
        ASSERT_TRUE(tb.ok()) << tb.error().message;
        EXPECT_EQ(tb.value().probe_wdl(pos), WDL_CURSED_WIN);
        const std::optional<std::vector<RootMove>> root = tb.value().probe_root(pos);
        ASSERT_TRUE(root.has_value());
        for (const RootMove& rm : *root) {
            EXPECT_NE(rm.wdl, WDL_WIN) << rm.move.text();
            if (rm.wdl == WDL_CURSED_WIN) {
                EXPECT_GT(rm.dtz, 100u) << rm.move.text();
                keeping.push_back(rm.move);
            }
        }
        ASSERT_FALSE(keeping.empty());
        Syzygy::unload();
    }
    const std::string path = "setoption name SyzygyPath value " + dir;
    for (bool rule : {true, false}) {
        SCOPED_TRACE(rule ? "fifty-move rule" : "no fifty-move rule");
        const std::string rule_option =
            std::string("setoption name Syzygy50MoveRule value ") + (rule ? "true" : "false");
        const std::string info = last_info({path, rule_option}, fen, 8);
        const std::vector<std::string> w = split_words(info);
        const auto score = std::find(w.begin(), w.end(), "score");
        ASSERT_TRUE(score != w.end() && score + 2 < w.end()) << info;
        ASSERT_EQ(score[1], "cp") << info;
        const int64_t cp = parse_i64(score[2]).value_or(0);
        if (rule)
            EXPECT_LT(cp, SCORE_TB_WIN - 100) << info;
        else
            EXPECT_GT(cp, SCORE_TB_WIN - 100) << info;
        const auto pv = std::find(w.begin(), w.end(), "pv");
        ASSERT_TRUE(pv != w.end() && pv + 1 != w.end()) << info;
        EXPECT_NE(std::find(keeping.begin(), keeping.end(), pos.parse_uci_move(pv[1])),
                  keeping.end())
            << info;
    }
}

}  // namespace
}  // namespace velmar::uci
