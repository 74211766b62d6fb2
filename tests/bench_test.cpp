#include "bench.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "engine.h"
#include "nnue.h"

namespace velmar {
namespace {

struct Signature {
    std::string evaluator;
    int depth = 0;
    uint64_t nodes = 0;
};

std::vector<Signature> read_signatures() {
    std::ifstream in(std::string(VELMAR_TEST_DATA) + "/bench.txt");
    EXPECT_TRUE(in.good()) << "tests/data/bench.txt is missing";
    std::vector<Signature> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Signature s;
        fields >> s.evaluator >> s.depth >> s.nodes;
        EXPECT_FALSE(fields.fail()) << line;
        out.push_back(s);
    }
    return out;
}

bench::BenchResult run_for(const std::string& evaluator, int depth) {
    if (evaluator == "nnue") return bench::run_with(depth, NnueEval(DEFAULT_NET.get()));
    EXPECT_EQ(evaluator, "hce");
    return bench::run(depth);
}

TEST(Bench, SignaturesMatchTheRecordedNodeCounts) {
    const std::vector<Signature> signatures = read_signatures();
    ASSERT_EQ(signatures.size(), 2u);
    for (const Signature& s : signatures) {
        SCOPED_TRACE(s.evaluator);
        const bench::BenchResult r = run_for(s.evaluator, s.depth);
        ASSERT_EQ(r.nodes.size(), bench::POSITIONS.size());
        EXPECT_EQ(std::accumulate(r.nodes.begin(), r.nodes.end(), uint64_t(0)), r.total_nodes);
        EXPECT_EQ(r.total_nodes, s.nodes) << "bench " << s.depth << " " << s.evaluator;
    }
}

TEST(Bench, RunsAreReproducible) {
    for (int depth : {1, 6}) {
        SCOPED_TRACE(depth);
        const bench::BenchResult first = bench::run(depth);
        const bench::BenchResult second = bench::run(depth);
        EXPECT_EQ(first.nodes, second.nodes);
        for (uint64_t n : first.nodes) EXPECT_GT(n, 0u);
    }
}

// The bench builds its own table and searcher: the engine's options and state do not reach it.
TEST(Bench, EngineOptionsLeaveTheSignatureAlone) {
    auto bench_line = [](const std::vector<std::string>& commands) {
        std::vector<std::string> out;
        uci::Output output([&](const std::string& text) { out.push_back(text); });
        uci::Engine engine(output);
        for (const std::string& c : commands) engine.handle(c);
        engine.end_of_input();
        for (const std::string& line : out)
            if (line.rfind("Bench: ", 0) == 0) return line;
        return std::string("no bench line");
    };
    const std::string plain = bench_line({"bench 6 hce"});
    EXPECT_EQ(plain.rfind("Bench: ", 0), 0u);
    EXPECT_EQ(bench_line({"setoption name Hash value 1", "bench 6 hce"}), plain);
    EXPECT_EQ(bench_line({"setoption name Hash value 64", "setoption name Threads value 2",
                          "setoption name MultiPV value 3", "go depth 5", "bench 6 hce"}),
              plain);
}

}  // namespace
}  // namespace velmar
