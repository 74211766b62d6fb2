#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "text.h"

namespace velmar::uci {
namespace {

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
    ASSERT_EQ(out.size(), 26u);
    EXPECT_EQ(out[0], "id name Velmar 0.1.0");
    EXPECT_EQ(out[1], "id author the Velmar authors");
    EXPECT_EQ(out[2], "option name Hash type spin default 16 min 1 max 262144");
    EXPECT_EQ(out[24], "option name GumbelTemp type spin default 0 min 0 max 200");
    EXPECT_EQ(out[25], "uciok");
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

TEST(Uci, ProgramPrintsBannerAndEndsAtEndOfInput) {
    std::string out = run_binary("", "isready\r\n\xff\xfe\nisready\n");
    EXPECT_EQ(out, "Velmar 0.1.0 (" VELMAR_LEVEL_NAME ")\nreadyok\n");  // stops at invalid UTF-8
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
}

}  // namespace
}  // namespace velmar::uci
