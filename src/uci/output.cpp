#include "output.h"

#include <cstdio>

namespace velmar::uci {

Output::Output()
    : sink_([](const std::string& text) {
          std::string with_newline = text + "\n";
          std::fwrite(with_newline.data(), 1, with_newline.size(), stdout);
          std::fflush(stdout);
      }) {}

void Output::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    sink_(text);
}

std::string format_score(int32_t score) {
    if (score > SCORE_EVAL_MAX) return "mate " + std::to_string((SCORE_INFINITE - score) / 2);
    if (score < -SCORE_EVAL_MAX) return "mate " + std::to_string((-score - SCORE_MATE) / 2);
    return "cp " + std::to_string(score);
}

std::string format_info(const IterationInfo& info, const MoveNotation& notation) {
    uint64_t nps = info.nodes * 1000 / (info.time ? info.time : 1);
    std::string pv;
    for (Move m : info.pv) {
        if (!pv.empty()) pv += ' ';
        pv += notation.text(m);
    }
    std::string line = "info depth " + std::to_string(info.depth) + " seldepth "
                       + std::to_string(info.seldepth);
    if (info.multipv >= 2 || info.has_wdl) line += " multipv " + std::to_string(info.multipv);
    line += " score " + format_score(info.score);
    if (info.has_wdl)
        line += " wdl " + std::to_string(info.wdl[0]) + " " + std::to_string(info.wdl[1]) + " "
                + std::to_string(info.wdl[2]);
    line += " nodes " + std::to_string(info.nodes) + " nps " + std::to_string(nps) + " hashfull "
            + std::to_string(info.hashfull) + " tbhits " + std::to_string(info.tbhits) + " time "
            + std::to_string(info.time) + " pv " + pv;
    return line;
}

std::string format_bestmove(Move best, Move ponder, const MoveNotation& notation) {
    if (!best) return "bestmove 0000";
    if (!ponder) return "bestmove " + notation.text(best);
    return "bestmove " + notation.text(best) + " ponder " + notation.text(ponder);
}

std::vector<std::string> format_goals(const std::vector<GoalLine>& lines,
                                      const MoveNotation& notation) {
    if (lines.empty()) return {};
    // Later lines win ties, hence >= when scanning forward.
    const GoalLine* win = &lines[0];
    const GoalLine* draw = &lines[0];
    const GoalLine* lose = &lines[0];
    for (const GoalLine& g : lines) {
        if (g.win > win->win || (g.win == win->win && g.score >= win->score)) win = &g;
        if (g.draw > draw->draw || (g.draw == draw->draw && g.score >= draw->score)) draw = &g;
        if (g.loss > lose->loss || (g.loss == lose->loss && g.score <= lose->score)) lose = &g;
    }
    auto per_mille = [](uint32_t v) { return std::to_string(v / 10) + "." + std::to_string(v % 10); };
    std::vector<std::string> out;
    for (auto [word, g] : {std::pair{"win", win}, {"draw", draw}, {"lose", lose}})
        out.push_back(std::string("info string velmar ") + word + " " + notation.text(g->move)
                      + " W" + per_mille(g->win) + " D" + per_mille(g->draw) + " L"
                      + per_mille(g->loss));
    return out;
}

std::vector<std::string> format_bench(const bench::BenchResult& result, int depth, bool verbose) {
    std::vector<std::string> out;
    if (verbose) {
        for (size_t i = 0; i < result.nodes.size(); ++i) {
            std::string index = std::to_string(i + 1);
            if (index.size() < 2) index.insert(0, 1, ' ');
            out.push_back(std::string("position ") + index + ": " + std::to_string(result.nodes[i])
                          + " nodes");
        }
    }
    out.push_back("Bench: " + std::to_string(result.total_nodes) + " nodes (depth "
                  + std::to_string(depth) + ", " + std::to_string(result.nodes.size())
                  + " positions)");
    uint64_t ms = result.elapsed_ms ? result.elapsed_ms : 1;
    out.push_back("Speed: " + std::to_string(result.total_nodes * 1000 / ms) + " nps ("
                  + std::to_string(result.elapsed_ms) + " ms, " + VELMAR_LEVEL_NAME + " build)");
    return out;
}

}  // namespace velmar::uci
