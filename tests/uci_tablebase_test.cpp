// The tablebase, router and network file options as a GUI sees them: the messages, the state
// kept after a refusal, and tbhits in the info lines once tables are loaded.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"
#include "test_util.h"

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

}  // namespace
}  // namespace velmar::uci
