// Root search modes that treat each root move as an arm, searched on its own to growing
// depths: VOI spends every further search on the arm whose result is worth most per node;
// Gumbel sequential halving ranks the arms by score plus Gumbel noise and halves the
// candidates round by round, two plies deeper each time. Both see the search only through
// ArmSearcher, so a Searcher drives them in play and a scripted searcher in tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search.h"
#include "types.h"

namespace velmar {

// Trimmed, ASCII case ignored: "ab", "alphabeta", "alpha-beta" -> AB; "voi" -> VOI;
// "gumbel", "gumbelsh", "gumbel-sh", "mcts" -> GUMBEL_SH; anything else -> nothing.
std::optional<RootMode> parse_root_mode(std::string_view text);

// Chance that a score wins for its side: certain beyond the tablebase-win range, logistic
// with a 400-unit scale inside it.
double win_probability(int32_t score);

// One root move and what its searches have taught so far.
struct RootArm {
    explicit RootArm(Move m) : pv{m}, move(m) {}

    // Takes the result of a search of this arm to `depth` that spent `nodes`.
    void update(int32_t new_depth, int32_t new_score, std::vector<Move> new_pv, uint64_t nodes);

    std::vector<Move> pv;  // of the last search; the move alone before any
    double p = 0.5;        // win probability of the last score
    double sigma = 0.04;   // smoothed change of p between successive searches
    uint64_t cost = 256;   // nodes of the last search, at least 64
    uint64_t spent = 0;    // nodes spent on this arm in all
    int32_t depth = 0;     // of the last search; 0 = never searched
    int32_t score = SCORE_NONE;
    Move move;
};

// The highest score; equal scores go to the deeper search, then to the later arm.
size_t best_arm(const std::vector<RootArm>& arms);

struct VoiChoice {
    size_t index = 0;
    double gain = 0.0;  // expected gain in win probability from searching it once more
};

// The arm below `depth_limit` (and not yet decided by a mate or tablebase score) whose next
// search promises the largest gain per unit of its cost; the first one on ties. Nothing when
// no arm qualifies.
std::optional<VoiChoice> select_voi_arm(const std::vector<RootArm>& arms, int depth_limit);

// The noise source of the Gumbel ranking: SplitMix64, so a root position always draws the
// same noise.
struct SplitMix64 {
    uint64_t state = 0;
    uint64_t next();
    double uniform();  // in (0, 1), never 0 or 1
    double gumbel();   // -ln(-ln U)
};

// Reorders the first `count` entries of `candidates` (indices into `arms`) by score / 200 plus
// `temperature` times fresh Gumbel noise, highest first. One noise value is drawn per ranked
// candidate, in candidate order, and none at temperature 0; equal keys keep their order.
void rank_candidates(const std::vector<RootArm>& arms, std::vector<size_t>& candidates,
                     size_t count, double temperature, SplitMix64& rng);

// What the root modes need from a search.
class ArmSearcher {
public:
    virtual ~ArmSearcher() = default;
    // One root move searched on its own (Searcher::search_root_move).
    virtual RootMoveSearch search(Move m, int depth, bool use_aspiration,
                                  int32_t previous_score) = 0;
    // Stopped, past the hard deadline or at the node limit: the mode must end.
    virtual bool out_of_budget() = 0;
    virtual std::optional<uint64_t> soft_ms() const = 0;
    virtual uint64_t elapsed_ms() const = 0;
    // Reports `arm` as the current choice (its PV, score and depth).
    virtual void report(const RootArm& arm) = 0;
};

// Both modes search `arms` (one per root move, root-list order, at least two) up to
// `max_depth` and return the index of the chosen arm.
size_t run_voi(std::vector<RootArm>& arms, int max_depth, ArmSearcher& searcher);
// `temperature` is GumbelTemp / 100; the noise is seeded from the root position's key.
size_t run_gumbel_sh(std::vector<RootArm>& arms, int max_depth, double temperature,
                     uint64_t root_key, ArmSearcher& searcher);

}  // namespace velmar
