// The tablebase interface the search and the front end see, independent of any file format:
// WDL probes inside the tree, DTZ-ranked root moves, and the filter that keeps the root moves
// preserving the best tablebase result. Implementations live outside the core (src/syzygy).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "position.h"
#include "types.h"

namespace velmar {

// WDL byte, always from the point of view of the side to move. Blessed losses and cursed wins
// are decided games that the fifty-move rule turns into draws.
inline constexpr uint8_t WDL_LOSS = 0, WDL_BLESSED_LOSS = 1, WDL_DRAW = 2, WDL_CURSED_WIN = 3,
                         WDL_WIN = 4, WDL_NONE = 255;

// The verdict when the fifty-move rule is not played: cursed wins and blessed losses are then
// ordinary wins and losses.
constexpr uint8_t ignoring_fifty_move_rule(uint8_t wdl) {
    if (wdl == WDL_CURSED_WIN) return WDL_WIN;
    if (wdl == WDL_BLESSED_LOSS) return WDL_LOSS;
    return wdl;
}

// How a search uses the tables (the Syzygy* options). The defaults probe every position the
// tables cover, at any remaining depth, and honour the fifty-move rule.
struct TbUse {
    int32_t probe_depth = 1;       // least remaining depth of a node probed inside the tree
    uint32_t probe_limit = 7;      // most pieces (kings included) probed; 0: no probes at all
    bool fifty_move_rule = true;   // false: cursed wins and blessed losses count as decided
};

// One legal root move with its tablebase verdict for the side making it.
struct RootMove {
    // Plies to the next capture or pawn move with best play (1 for a mating move; for a move
    // that itself captures or moves a pawn, 1 for a win and 101 for a cursed win, likewise
    // for losses); 0 for a draw.
    uint32_t dtz = 0;
    Move move;
    uint8_t wdl = WDL_DRAW;
};

class Tablebase {
public:
    virtual ~Tablebase() = default;
    // Largest piece count (kings included) that can be probed.
    virtual uint32_t max_pieces() const = 0;
    // WDL of the position, or WDL_NONE. Safe to call from many threads at once, allocates
    // nothing; answers only with a zero halfmove clock and no castling rights.
    virtual uint8_t probe_wdl(const Position& pos) const = 0;
    // One RootMove per legal move, in the prober's order, or nothing when the tables cannot
    // rank every legal move.
    virtual std::optional<std::vector<RootMove>> probe_root(const Position& pos) const = 0;
};

// The moves that keep the best WDL: among wins the fastest conversions (smallest dtz), among
// losses the longest resistance (largest dtz), all of them among draws. Input order is kept.
std::vector<Move> filter_root_moves(const std::vector<RootMove>& root_moves);

}  // namespace velmar
