#include "strength.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace velmar {

namespace {

// The calibrated points (README, "Playing at a chosen strength"). Below a few hundred nodes the
// budget hardly matters any more, so there the temperature and the number of lines do most of
// the weakening.
struct LevelPoint {
    int32_t elo;
    double nodes;
    int32_t lines;
    double temperature;
};
constexpr std::array<LevelPoint, 7> POINTS{{
    {800, 24, 6, 500},
    {1000, 60, 5, 260},
    {1200, 140, 4, 120},
    {1400, 450, 4, 70},
    {1800, 1400, 4, 40},
    {2200, 4000, 4, 25},
    {2800, 24000, 4, 10},
}};
static_assert(POINTS.front().elo == STRENGTH_ELO_MIN && POINTS.back().elo == STRENGTH_ELO_MAX);

// A gap larger than this is as good as infinite at every temperature used, and the cap keeps
// mate scores from overflowing the exponent.
constexpr double MAX_GAP = 2000.0;

}  // namespace

StrengthLevel strength_level(int32_t elo) {
    elo = std::clamp(elo, STRENGTH_ELO_MIN, STRENGTH_ELO_MAX);
    size_t i = 1;
    while (i + 1 < POINTS.size() && POINTS[i].elo < elo) ++i;
    const LevelPoint& lo = POINTS[i - 1];
    const LevelPoint& hi = POINTS[i];
    const double t = double(elo - lo.elo) / double(hi.elo - lo.elo);
    StrengthLevel level;
    level.nodes = uint64_t(std::lround(lo.nodes * std::pow(hi.nodes / lo.nodes, t)));
    level.lines = t < 0.5 ? lo.lines : hi.lines;
    level.temperature = lo.temperature + t * (hi.temperature - lo.temperature);
    return level;
}

size_t pick_line(const std::vector<int32_t>& scores, double temperature, double u) {
    if (scores.size() < 2 || temperature <= 0) return 0;
    std::vector<double> weights(scores.size());
    double total = 0;
    for (size_t i = 0; i < scores.size(); ++i) {
        const double gap = std::clamp(double(scores[0]) - double(scores[i]), 0.0, MAX_GAP);
        weights[i] = std::exp(-gap / temperature);
        total += weights[i];
    }
    double target = std::clamp(u, 0.0, 1.0) * total;
    for (size_t i = 0; i < scores.size(); ++i) {
        if (target < weights[i]) return i;
        target -= weights[i];
    }
    return 0;  // rounding left a sliver past the last weight
}

}  // namespace velmar
