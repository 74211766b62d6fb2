// The tablebase and router options as a GUI sees them: the messages, and tbhits in the info
// lines once tables are loaded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine.h"

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

}  // namespace
}  // namespace velmar::uci
