// Playing below full strength: a rating chooses a node budget for each move, how many of the
// best root moves are searched side by side, and a temperature for choosing among them. Few
// nodes make the play short-sighted the way a weaker player's is; the temperature makes it
// sometimes prefer a move that looks nearly as good, and rarely one that is clearly worse,
// without ever playing a move the search has not looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar {

inline constexpr int32_t STRENGTH_ELO_MIN = 800;
inline constexpr int32_t STRENGTH_ELO_MAX = 2800;

struct StrengthLevel {
    uint64_t nodes = 0;       // per move, all threads together
    int32_t lines = 1;        // root moves searched as MultiPV lines
    double temperature = 0;   // in centipawns
};

// The level of a rating; ratings outside [STRENGTH_ELO_MIN, STRENGTH_ELO_MAX] count as the
// nearest end. Between the calibrated points, nodes grow geometrically and the temperature
// linearly.
StrengthLevel strength_level(int32_t elo);

// Which line to play, given the lines' scores best first: line i is drawn with weight
// exp((scores[i] - scores[0]) / temperature), a gap counting at most MAX_GAP centipawns so
// that mate scores stay comparable. `u` is a uniform draw in [0, 1). Temperature 0 or a
// single line: line 0.
size_t pick_line(const std::vector<int32_t>& scores, double temperature, double u);

}  // namespace velmar
