#include "voi.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <string>

namespace velmar {

namespace {

// Every arm is first searched to this depth (VOI's second pass, the Gumbel pass), and the
// selective loops begin only when the maximum depth lies beyond it.
constexpr int FIRST_PASS_DEPTH = 4;

// VOI: the spread of an arm's win probability shrinks with depth and grows with how much
// it has moved between searches; the cost exponent below 1 keeps big arms from starving.
constexpr double SPREAD_SCALE = 0.16;
constexpr double SPREAD_SIGMA_WEIGHT = 0.5;
constexpr double SPREAD_MIN = 0.004, SPREAD_MAX = 0.25;
constexpr double SIGMA_KEEP = 0.6;  // weight of the old sigma in an update
constexpr uint64_t MIN_COST = 64;
constexpr double COST_SCALE = 1.8, COST_FLOOR = 128.0, COST_EXPONENT = 0.6;
constexpr double GAP_CUTOFF = 8.0;  // beyond 8 spreads the expected loss is nil
// With a small expected gain and a deep best arm there is little left to learn: VOI gives
// the rest of the soft budget back.
constexpr double SMALL_GAIN = 0.0015;
constexpr int SETTLED_DEPTH = 8;
constexpr double SOFT_SHARE_LEARNING = 0.95, SOFT_SHARE_SETTLED = 0.45;

// Gumbel sequential halving.
constexpr uint64_t GUMBEL_SEED_MIX = 0x517CC1B727220A95ULL;
constexpr double GUMBEL_SCORE_SCALE = 200.0;
constexpr size_t MAX_CANDIDATES = 16;
constexpr int ROUND_DEPTH_STEP = 2;
constexpr double ROUND_START_SHARE = 0.9, SEARCH_START_SHARE = 0.95;

// A mate or tablebase result: no further search can change it.
bool decided(int32_t score) { return std::abs(score) > SCORE_TB_WIN; }

double normal_density(double v) { return 0.3989422804014327 * std::exp(-v * v / 2.0); }

// erfc for x >= 0 by the Abramowitz-Stegun rational approximation 7.1.26 (error < 1.5e-7):
// cheap, and the same on every platform, unlike the library's.
double erfc_approx(double x) {
    const double t = 1.0 / (1.0 + 0.3275911 * x);
    const double poly =
        t * (0.254829592
             + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))));
    return poly * std::exp(-x * x);
}

bool past_share(const ArmSearcher& searcher, double share) {
    const std::optional<uint64_t> soft = searcher.soft_ms();
    return soft && double(searcher.elapsed_ms()) >= share * double(*soft);
}

// Reports an arm unless exactly that result was the last one reported.
class Reporter {
public:
    explicit Reporter(ArmSearcher& searcher) : searcher_(searcher) {}
    void operator()(const std::vector<RootArm>& arms, size_t index) {
        const RootArm& arm = arms[index];
        if (index == last_index_ && arm.spent == last_spent_) return;
        last_index_ = index;
        last_spent_ = arm.spent;
        searcher_.report(arm);
    }
    // The final report: only of an arm that has been searched.
    size_t finish(const std::vector<RootArm>& arms, size_t index) {
        if (arms[index].depth > 0) (*this)(arms, index);
        return index;
    }

private:
    ArmSearcher& searcher_;
    size_t last_index_ = SIZE_MAX;
    uint64_t last_spent_ = 0;
};

// Searches every arm below `depth` to that depth; false when the search was stopped.
bool search_pass(std::vector<RootArm>& arms, int depth, bool aspiration_if_searched,
                 ArmSearcher& searcher) {
    for (RootArm& arm : arms) {
        if (arm.depth >= depth) continue;
        RootMoveSearch r =
            searcher.search(arm.move, depth, aspiration_if_searched && arm.depth > 0, arm.score);
        if (r.stopped) return false;
        arm.update(depth, r.score, std::move(r.pv), r.nodes);
    }
    return true;
}

}  // namespace

std::optional<RootMode> parse_root_mode(std::string_view text) {
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    std::string s(text);
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (s == "ab" || s == "alphabeta" || s == "alpha-beta") return RootMode::AB;
    if (s == "voi") return RootMode::VOI;
    if (s == "gumbel" || s == "gumbelsh" || s == "gumbel-sh" || s == "mcts")
        return RootMode::GUMBEL_SH;
    return std::nullopt;
}

double win_probability(int32_t score) {
    if (score > SCORE_TB_WIN) return 1.0;
    if (score < -SCORE_TB_WIN) return 0.0;
    return 1.0 / (1.0 + std::exp(-double(score) / 400.0));
}

void RootArm::update(int32_t new_depth, int32_t new_score, std::vector<Move> new_pv,
                     uint64_t nodes) {
    const double x = win_probability(new_score);
    if (depth > 0) sigma = SIGMA_KEEP * sigma + (1.0 - SIGMA_KEEP) * std::abs(x - p);
    depth = new_depth;
    score = new_score;
    p = x;
    cost = std::max(nodes, MIN_COST);
    spent += nodes;
    pv = std::move(new_pv);
}

size_t best_arm(const std::vector<RootArm>& arms) {
    size_t best = 0;
    for (size_t i = 1; i < arms.size(); ++i) {
        const RootArm& a = arms[i];
        const RootArm& b = arms[best];
        if (a.score > b.score || (a.score == b.score && a.depth >= b.depth)) best = i;
    }
    return best;
}

std::optional<VoiChoice> select_voi_arm(const std::vector<RootArm>& arms, int depth_limit) {
    if (arms.empty()) return std::nullopt;
    const size_t b = best_arm(arms);
    const double p_best = arms[b].p;
    double second = 0.0;
    for (size_t i = 0; i < arms.size(); ++i)
        if (i != b) second = std::max(second, arms[i].p);

    std::optional<VoiChoice> choice;
    double best_value = 0.0;
    for (size_t i = 0; i < arms.size(); ++i) {
        const RootArm& arm = arms[i];
        if (arm.depth >= depth_limit || decided(arm.score)) continue;
        // How far another search could move this arm's win probability.
        const double spread = std::clamp(
            SPREAD_SCALE / std::sqrt(double(std::max(arm.depth, 1)))
                + SPREAD_SIGMA_WEIGHT * arm.sigma,
            SPREAD_MIN, SPREAD_MAX);
        // The best arm can only lose its place to the runner-up; any other arm must overtake
        // the best one.
        const double gap = i == b ? std::max(p_best - second, 0.0) : std::max(p_best - arm.p, 0.0);
        const double v = gap / spread;
        // Expected amount by which a normal variable crosses the gap: phi(v) - v (1 - Phi(v)).
        const double loss =
            v > GAP_CUTOFF
                ? 0.0
                : std::max(normal_density(v) - v * 0.5 * erfc_approx(v / std::sqrt(2.0)), 0.0);
        const double gain = spread * loss;
        const double value =
            gain / std::pow(std::max(COST_SCALE * double(arm.cost), COST_FLOOR), COST_EXPONENT);
        if (!choice || value > best_value) {
            choice = VoiChoice{i, gain};
            best_value = value;
        }
    }
    return choice;
}

uint64_t SplitMix64::next() {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double SplitMix64::uniform() { return (double(next() >> 11) + 0.5) * 0x1.0p-53; }

double SplitMix64::gumbel() { return -std::log(-std::log(uniform())); }

void rank_candidates(const std::vector<RootArm>& arms, std::vector<size_t>& candidates,
                     size_t count, double temperature, SplitMix64& rng) {
    count = std::min(count, candidates.size());
    std::vector<std::pair<double, size_t>> keyed;
    keyed.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t arm = candidates[i];
        double key = double(arms[arm].score) / GUMBEL_SCORE_SCALE;
        if (temperature > 0.0) key += temperature * rng.gumbel();
        keyed.emplace_back(key, arm);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = 0; i < count; ++i) candidates[i] = keyed[i].second;
}

size_t run_voi(std::vector<RootArm>& arms, int max_depth, ArmSearcher& searcher) {
    Reporter report(searcher);

    // 1, 2. Every arm to depth 1, then to the first-pass depth.
    if (!search_pass(arms, 1, false, searcher)) return report.finish(arms, best_arm(arms));
    report(arms, best_arm(arms));
    if (!search_pass(arms, std::min(FIRST_PASS_DEPTH, max_depth), true, searcher))
        return report.finish(arms, best_arm(arms));
    report(arms, best_arm(arms));

    // 3. Nothing more to learn below depth 5, or when the best arm is a proven result.
    if (max_depth <= FIRST_PASS_DEPTH || decided(arms[best_arm(arms)].score))
        return report.finish(arms, best_arm(arms));

    // 4. One ply more for the arm worth most per node, while the budget lasts.
    for (;;) {
        const std::optional<VoiChoice> choice = select_voi_arm(arms, max_depth);
        if (!choice || searcher.out_of_budget()) break;
        const bool little_to_learn =
            choice->gain < SMALL_GAIN && arms[best_arm(arms)].depth >= SETTLED_DEPTH;
        if (past_share(searcher, little_to_learn ? SOFT_SHARE_SETTLED : SOFT_SHARE_LEARNING))
            break;
        RootArm& arm = arms[choice->index];
        RootMoveSearch r = searcher.search(arm.move, arm.depth + 1, true, arm.score);
        if (r.stopped) break;
        arm.update(arm.depth + 1, r.score, std::move(r.pv), r.nodes);
        const size_t best = best_arm(arms);
        report(arms, best);
        // A forced mate or a tablebase result found for the best arm ends the mode at once.
        if (decided(arms[best].score)) break;
    }
    return report.finish(arms, best_arm(arms));
}

size_t run_gumbel_sh(std::vector<RootArm>& arms, int max_depth, double temperature,
                     uint64_t root_key, ArmSearcher& searcher) {
    Reporter report(searcher);

    // 1. Every arm to the first-pass depth, without aspiration.
    const int first_depth = std::min(FIRST_PASS_DEPTH, max_depth);
    if (!search_pass(arms, first_depth, false, searcher)
        || max_depth <= FIRST_PASS_DEPTH || decided(arms[best_arm(arms)].score))
        return report.finish(arms, best_arm(arms));

    // 2, 3. All arms ranked by score and noise, starting from root-list order.
    SplitMix64 rng{root_key ^ GUMBEL_SEED_MIX};
    std::vector<size_t> candidates(arms.size());
    std::iota(candidates.begin(), candidates.end(), size_t(0));
    rank_candidates(arms, candidates, candidates.size(), temperature, rng);
    report(arms, candidates[0]);

    // 4-7. Halve the candidates each round and search the survivors two plies deeper; the
    // last two then go one ply deeper per round.
    size_t m = std::min(MAX_CANDIDATES, arms.size());
    int depth = std::min(max_depth, first_depth + ROUND_DEPTH_STEP);
    for (;;) {
        if (searcher.out_of_budget() || past_share(searcher, ROUND_START_SHARE)) break;
        bool stopped = false;
        for (size_t i = 0; i < m; ++i) {
            RootArm& arm = arms[candidates[i]];
            if (arm.depth >= depth) continue;
            if (searcher.out_of_budget() || past_share(searcher, SEARCH_START_SHARE)) {
                stopped = true;
                break;
            }
            RootMoveSearch r = searcher.search(arm.move, depth, true, arm.score);
            if (r.stopped) {
                stopped = true;
                break;
            }
            arm.update(depth, r.score, std::move(r.pv), r.nodes);
        }
        if (stopped) break;
        if (m >= 2) rank_candidates(arms, candidates, m, temperature, rng);
        report(arms, candidates[0]);
        if (depth >= max_depth || decided(arms[candidates[0]].score)) break;
        if (m < 3) {
            ++depth;
        } else {
            m = (m + 1) / 2;
            depth = std::min(depth + ROUND_DEPTH_STEP, max_depth);
        }
    }
    // 8.
    return report.finish(arms, candidates[0]);
}

}  // namespace velmar
