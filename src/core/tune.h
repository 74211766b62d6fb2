// The search's margins, one record per value, declared once and read by value. The six pruning
// margins come in three game-phase variants (P0 opening, P1 middle game, P2 endgame); the
// search picks the row by phase_index(). Records are constexpr: a tuning build can turn the
// same list (ALL_PARAMS) into options without the search reading anything else.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velmar {

struct Param {
    std::string_view name;
    double step;  // suggested perturbation for a tuner
    int32_t value;
    int32_t min;
    int32_t max;
};

constexpr bool in_range(const Param& p) { return p.min <= p.value && p.value <= p.max; }

// Reverse-futility margin per depth.
inline constexpr Param RFP_MARGIN_P0{"RFP_MARGIN_P0", 8.0, 78, 30, 160};
inline constexpr Param RFP_MARGIN_P1{"RFP_MARGIN_P1", 8.0, 93, 30, 160};
inline constexpr Param RFP_MARGIN_P2{"RFP_MARGIN_P2", 8.0, 81, 30, 160};
// Futility pruning of quiet moves: base + mult * depth above alpha.
inline constexpr Param FUT_BASE_P0{"FUT_BASE_P0", 10.0, 99, 20, 200};
inline constexpr Param FUT_BASE_P1{"FUT_BASE_P1", 10.0, 113, 20, 200};
inline constexpr Param FUT_BASE_P2{"FUT_BASE_P2", 10.0, 102, 20, 200};
inline constexpr Param FUT_MULT_P0{"FUT_MULT_P0", 10.0, 103, 40, 200};
inline constexpr Param FUT_MULT_P1{"FUT_MULT_P1", 10.0, 106, 40, 200};
inline constexpr Param FUT_MULT_P2{"FUT_MULT_P2", 10.0, 98, 40, 200};
// Late-move pruning: quiet moves allowed = depth^2 + base.
inline constexpr Param LMP_BASE_P0{"LMP_BASE_P0", 1.0, 3, 1, 8};
inline constexpr Param LMP_BASE_P1{"LMP_BASE_P1", 1.0, 3, 1, 8};
inline constexpr Param LMP_BASE_P2{"LMP_BASE_P2", 1.0, 3, 1, 8};
// Static-exchange pruning: noisy moves may lose SEE_NOISY * depth^2, quiets SEE_QUIET * depth.
inline constexpr Param SEE_NOISY_P0{"SEE_NOISY_P0", 5.0, 24, 10, 80};
inline constexpr Param SEE_NOISY_P1{"SEE_NOISY_P1", 5.0, 27, 10, 80};
inline constexpr Param SEE_NOISY_P2{"SEE_NOISY_P2", 5.0, 30, 10, 80};
inline constexpr Param SEE_QUIET_P0{"SEE_QUIET_P0", 8.0, 61, 20, 120};
inline constexpr Param SEE_QUIET_P1{"SEE_QUIET_P1", 8.0, 57, 20, 120};
inline constexpr Param SEE_QUIET_P2{"SEE_QUIET_P2", 8.0, 54, 20, 120};

using PhaseParam = std::array<Param, 3>;
inline constexpr PhaseParam RFP_MARGIN{RFP_MARGIN_P0, RFP_MARGIN_P1, RFP_MARGIN_P2};
inline constexpr PhaseParam FUT_BASE{FUT_BASE_P0, FUT_BASE_P1, FUT_BASE_P2};
inline constexpr PhaseParam FUT_MULT{FUT_MULT_P0, FUT_MULT_P1, FUT_MULT_P2};
inline constexpr PhaseParam LMP_BASE{LMP_BASE_P0, LMP_BASE_P1, LMP_BASE_P2};
inline constexpr PhaseParam SEE_NOISY{SEE_NOISY_P0, SEE_NOISY_P1, SEE_NOISY_P2};
inline constexpr PhaseParam SEE_QUIET{SEE_QUIET_P0, SEE_QUIET_P1, SEE_QUIET_P2};

inline constexpr std::array<Param, 18> ALL_PARAMS{
    RFP_MARGIN_P0, RFP_MARGIN_P1, RFP_MARGIN_P2, FUT_BASE_P0,  FUT_BASE_P1,  FUT_BASE_P2,
    FUT_MULT_P0,   FUT_MULT_P1,   FUT_MULT_P2,   LMP_BASE_P0,  LMP_BASE_P1,  LMP_BASE_P2,
    SEE_NOISY_P0,  SEE_NOISY_P1,  SEE_NOISY_P2,  SEE_QUIET_P0, SEE_QUIET_P1, SEE_QUIET_P2,
};

constexpr bool all_in_range() {
    for (const Param& p : ALL_PARAMS)
        if (!in_range(p)) return false;
    return true;
}
static_assert(all_in_range());

// Phase = N + B + 2R + 4Q over both colours (24 at the start, not capped here).
// 17 and above reads the P0 row, 9..16 the P1 row, 8 and below the P2 row.
constexpr int phase_index(int phase) { return phase >= 17 ? 0 : phase >= 9 ? 1 : 2; }

// Fixed margins: not tuned per phase, but named so that the search holds no bare numbers.
namespace margin {
inline constexpr int32_t RFP_TT_PV = 37;            // RFP is stricter at nodes once on a PV
inline constexpr int32_t NMP_BASE = 5;              // null-move reduction: base + depth / 4
inline constexpr int32_t NMP_DEPTH_DIV = 4;         //   + min((eval - beta) / 199, 3)
inline constexpr int32_t NMP_EVAL_DIV = 199;
inline constexpr int32_t NMP_EVAL_MAX = 3;
inline constexpr int32_t NMP_MIN_DEPTH = 3;
inline constexpr int32_t NMP_VERIFY_DEPTH = 14;     // deep null cut-offs are verified
inline constexpr int32_t RFP_MAX_DEPTH = 7;
inline constexpr int32_t PROBCUT_MARGIN = 199;
inline constexpr int32_t PROBCUT_EVAL_SLACK = 1000;
inline constexpr int32_t PROBCUT_MIN_DEPTH = 3;
inline constexpr int32_t PROBCUT_REDUCTION = 4;     // verification search depth - 4
inline constexpr int32_t PROBCUT_TT_DEPTH = 3;      // a table entry this close may veto it
inline constexpr int32_t IIR_MIN_DEPTH = 4;
inline constexpr int32_t LMP_MAX_DEPTH = 8;
inline constexpr int32_t HISTORY_PRUNE_MAX_DEPTH = 7;   // depth < this
inline constexpr int32_t HISTORY_PRUNE_PER_DEPTH = 2296;
inline constexpr int32_t FUTILITY_MAX_DEPTH = 7;
inline constexpr int32_t FUTILITY_HISTORY_DIV = 64;
inline constexpr int32_t SEE_PRUNE_MAX_DEPTH = 9;
inline constexpr int32_t SINGULAR_MIN_DEPTH = 8;
inline constexpr int32_t SINGULAR_TT_DEPTH = 3;     // entry depth >= depth - this
inline constexpr int32_t SINGULAR_MARGIN_PER_DEPTH = 2;
inline constexpr int32_t DOUBLE_EXT_MARGIN = 20;
inline constexpr int32_t LMR_HISTORY_DIV = 8386;
inline constexpr int32_t LMR_CAPTURE_HISTORY_DIV = 4096;
inline constexpr int32_t DEEPER_MARGIN = 46;        // re-search one deeper above best + this
inline constexpr int32_t QS_DELTA = 199;            // delta pruning in quiescence
inline constexpr int32_t QS_SEE_SLACK = 198;
inline constexpr int32_t ASPIRATION_DELTA = 19;
inline constexpr int32_t ASPIRATION_MIN_DEPTH = 5;
inline constexpr int32_t ASPIRATION_MAX_DELTA = 1000;
inline constexpr int32_t CORRECTION_CLAMP = 199;
inline constexpr int32_t CORRECTION_ENTRY_MAX = 32512;
inline constexpr int32_t CORRECTION_MAX_WEIGHT = 16;
inline constexpr int32_t EVAL_FEEDBACK_MIN = -100;
inline constexpr int32_t EVAL_FEEDBACK_MAX = 200;
inline constexpr double LMR_DIVISOR = 2.48;
// A tablebase verdict holds at any depth; stored this much deeper so searches keep it.
inline constexpr int32_t TB_STORE_DEPTH_BONUS = 6;
}  // namespace margin

}  // namespace velmar
