// All protocol text leaves through an Output: one whole line per call, so lines written by the
// command loop and the search thread never interleave. Tests capture the lines instead.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bench.h"
#include "search.h"

namespace velmar::uci {

class Output {
public:
    using Sink = std::function<void(const std::string&)>;
    Output();                              // standard output
    explicit Output(Sink sink) : sink_(std::move(sink)) {}

    void line(const std::string& text);    // appends the newline

private:
    std::mutex mutex_;
    Sink sink_;
};

// Protocol text. Scores beyond +-31871 print as "mate N" (negative when being mated). Moves are
// written in the notation of the searched position (standard chess unless given).
std::string format_score(int32_t score);
std::string format_info(const IterationInfo& info, const MoveNotation& notation = {});
std::string format_bestmove(Move best, Move ponder, const MoveNotation& notation = {});
// The win, draw and lose goal lines picked from all root moves; empty input prints nothing.
std::vector<std::string> format_goals(const std::vector<GoalLine>& lines,
                                      const MoveNotation& notation = {});
std::vector<std::string> format_bench(const bench::BenchResult& result, int depth, bool verbose);

}  // namespace velmar::uci
