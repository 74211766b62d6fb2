#include "bench.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "nnue.h"
#include "search.h"
#include "tt.h"

namespace velmar::bench {

template <typename Eval>
BenchResult run_with(int depth, const Eval& eval) {
    auto table_or = TranspositionTable::try_new(16, 1);
    if (!table_or.ok()) fatal(table_or.error().message);
    auto table = std::make_shared<TranspositionTable>(std::move(table_or.value()));
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Searcher<Eval> searcher(eval, table, stop);

    SearchLimits limits;
    limits.depth = depth;
    BenchResult result;
    std::chrono::steady_clock::duration elapsed{};
    for (std::string_view fen : POSITIONS) {
        auto pos = Position::from_fen(fen);
        if (!pos.ok()) fatal("bench FEN is valid");
        table->clear();
        searcher.clear();
        const auto start = std::chrono::steady_clock::now();
        const SearchResult r = searcher.search(limits, pos.value(), InfoSink{});
        elapsed += std::chrono::steady_clock::now() - start;
        result.nodes.push_back(r.nodes);
        result.total_nodes += r.nodes;
    }
    result.elapsed_ms =
        uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    return result;
}

BenchResult run(int depth) { return run_with(depth, PstEval{}); }

template BenchResult run_with<PstEval>(int, const PstEval&);
template BenchResult run_with<NnueEval>(int, const NnueEval&);

}  // namespace velmar::bench
