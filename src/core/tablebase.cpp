#include "tablebase.h"

#include <algorithm>

namespace velmar {

std::vector<Move> filter_root_moves(const std::vector<RootMove>& root_moves) {
    std::vector<Move> kept;
    if (root_moves.empty()) return kept;
    uint8_t best = 0;
    for (const RootMove& rm : root_moves) best = std::max(best, rm.wdl);

    const bool winning = best == WDL_WIN || best == WDL_CURSED_WIN;
    const bool losing = best == WDL_LOSS || best == WDL_BLESSED_LOSS;
    uint32_t target = winning ? UINT32_MAX : 0;
    for (const RootMove& rm : root_moves) {
        if (rm.wdl != best) continue;
        if (winning) target = std::min(target, rm.dtz);
        if (losing) target = std::max(target, rm.dtz);
    }
    for (const RootMove& rm : root_moves)
        if (rm.wdl == best && (!(winning || losing) || rm.dtz == target)) kept.push_back(rm.move);
    return kept;
}

}  // namespace velmar
