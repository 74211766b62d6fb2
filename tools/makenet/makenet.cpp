// Builds the stand-in for a trained network: a valid 8x8+head image whose output reproduces
// the hand-written evaluation (TABLES with the bishop pair, tapered by phase) closely enough
// for the engine to play sensibly. Deterministic: the same build writes the same bytes.
//
// Why it works. A pair of hidden units with bias C and opposite rows +x / -x stays inside the
// activation's linear window while |x| <= C, and with output weights +W / -W contributes
//   W ((C + x)^2 - (C - x)^2) = 4 C W x,
// exactly linear in x. Each pair carries one linear feature: "my pieces' values minus the
// opponent's" for one piece type, one phase and one board region (regions keep |x| small, so
// clipping starts only at absurd material imbalances). The opponent's half of the output
// sees the negated feature with negated weights, doubling it. Phase tapering comes from the
// output buckets: each bucket weighs middle-game and end-game pairs by the phase typical of
// its piece count. The bishop pair uses one bias-free unit per phase whose square counts
// bishops^2; the linear -bonus/2 per bishop that completes (n^2 - n) / 2 sits in the bishop
// rows. The W/D/L head reads the same pairs (blended half middle game, half end game) for win
// and loss, and a constant bias for draw.
//
// Usage: makenet OUT_FILE. Prints how far the result is from PstEval over random games.
#include "eval.h"
#include "movegen.h"
#include "nnue.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace velmar;

namespace {

constexpr int K = 8, O = 8;
constexpr int C = 127; // pair bias: the centre of the 0..255 window
constexpr double CP_PER_SUM = 400.0 / (255.0 * NNUE_OUTPUT_SCALE); // centipawns per output-sum unit

// Full-phase output weight per piece type: pawns at about 4 cp per row unit, pieces (whose
// values are larger) at about 8 cp, so that one region's difference stays within +-127.
constexpr int FULL_WEIGHT[6] = {41, 82, 82, 82, 82, 41};

// Bishop pair: bias-free unit with BP_ROW per own bishop; bonus per phase as in PstEval.
constexpr int BP_ROW = 50;
constexpr double BP_BONUS[2] = {25.0, 45.0};

// Phase (0..24) typical of each output bucket's piece count, a straight line from 2 pieces
// (phase 0) to 32 (phase 24) at the middle of the bucket's range.
double bucket_phase(int b) {
    const double mid = 2 + 4 * b + 1.5;
    return std::min(24.0, 24.0 * (mid - 2.0) / 30.0);
}

int region(PieceType t, int sq) {
    if (t == PAWN) return file_of(sq);                      // 8 files
    if (t == KING) return 0;                                // one king
    return (rank_of(sq) >= 4 ? 2 : 0) + (file_of(sq) >= 4); // quadrants
}
int region_count(PieceType t) {
    return t == PAWN ? 8 : t == KING ? 1 : 4;
}
// Pairs that share one region's value, each carrying 1/copies of it: more pieces of a type
// fit in a region before the window clips (three queens in one quadrant still count fully).
int copies(PieceType t) {
    return t == PAWN || t == KING ? 1 : t == QUEEN ? 3 : 2;
}

// Centipawns per row unit for a pair at weight w on both halves: 2 halves x 4 C w per unit.
double cp_per_unit(int w) {
    return 8.0 * C * w * CP_PER_SUM;
}

struct Pair {
    int unit; // first of the two hidden units
    int phase;
    PieceType type;
    int region;
    int copy;
};

struct Image {
    std::vector<int16_t> ft_weights = std::vector<int16_t>(size_t(K) * NNUE_INPUTS * NNUE_HIDDEN);
    std::vector<int16_t> ft_bias = std::vector<int16_t>(NNUE_HIDDEN);
    std::vector<int16_t> out_weights = std::vector<int16_t>(size_t(O) * 2 * NNUE_HIDDEN);
    std::vector<int16_t> out_bias = std::vector<int16_t>(O);
    std::vector<int16_t> head_weights = std::vector<int16_t>(3 * 2 * NNUE_HIDDEN);
    int16_t head_bias[3] = {}; // win, draw, loss

    int16_t& row(int bucket, int side, PieceType t, int sq, int unit) {
        const size_t r = size_t(bucket) * NNUE_INPUTS + side * 384 + t * 64 + sq;
        return ft_weights[r * NNUE_HIDDEN + unit];
    }

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out;
        auto put = [&out](const int16_t* v, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                out.push_back(uint8_t(uint16_t(v[i]) & 0xFF));
                out.push_back(uint8_t(uint16_t(v[i]) >> 8));
            }
        };
        put(ft_weights.data(), ft_weights.size());
        put(ft_bias.data(), ft_bias.size());
        put(out_weights.data(), out_weights.size());
        put(out_bias.data(), out_bias.size());
        put(head_weights.data(), head_weights.size());
        const int16_t stored[3] = {head_bias[2], head_bias[1], head_bias[0]}; // loss first
        put(stored, 3);
        out.resize((out.size() + 63) / 64 * 64, 0);
        return out;
    }
};

int16_t clamp_weight(double w) {
    return int16_t(std::lround(std::clamp(w, -127.0, 127.0)));
}

// Value of a white piece on `sq` (material included), the bishop pair's linear part removed.
double piece_value(int phase, PieceType t, int sq) {
    double v = TABLES[phase][make_piece(WHITE, t)][sq];
    if (t == BISHOP) v -= BP_BONUS[phase] / 2;
    return v;
}

Image build() {
    Image img;
    std::vector<Pair> pairs;
    int unit = 0;
    for (int phase = 0; phase < 2; ++phase)
        for (PieceType t = PAWN; t <= KING; ++t)
            for (int r = 0; r < region_count(t); ++r)
                for (int c = 0; c < copies(t); ++c) {
                    pairs.push_back({unit, phase, t, r, c});
                    unit += 2;
                }
    const int bp_unit = unit; // bp_unit + phase
    unit += 2;
    if (unit > NNUE_HIDDEN) std::abort();

    for (const Pair& p : pairs) {
        img.ft_bias[p.unit] = img.ft_bias[p.unit + 1] = C;
        const double unit_cp = cp_per_unit(FULL_WEIGHT[p.type]);
        // Rows are the same in every king bucket. `sq` is already seen from the perspective
        // (and mirrored); an opponent's piece there stands on sq ^ 56 from its own side. The
        // tables are symmetric left-right, so mirroring changes only which region counts it.
        for (int kb = 0; kb < K; ++kb)
            for (int side = 0; side < 2; ++side)
                for (int sq = 0; sq < 64; ++sq) {
                    if (region(p.type, sq) != p.region) continue;
                    const int own_sq = side == 0 ? sq : sq ^ 56;
                    if (p.type == PAWN && (rank_of(own_sq) == 0 || rank_of(own_sq) == 7)) continue;
                    // The copies split the rounded total, so the rounding error stays that of one.
                    const long total = std::lround(piece_value(p.phase, p.type, own_sq) / unit_cp);
                    const long part = (total + p.copy) / copies(p.type);
                    const int16_t q = int16_t(side == 0 ? part : -part);
                    img.row(kb, side, p.type, sq, p.unit) = q;
                    img.row(kb, side, p.type, sq, p.unit + 1) = int16_t(-q);
                }
    }
    for (int phase = 0; phase < 2; ++phase)
        for (int kb = 0; kb < K; ++kb)
            for (int sq = 0; sq < 64; ++sq)
                img.row(kb, 0, BISHOP, sq, bp_unit + phase) = BP_ROW;

    // Output buckets: the side to move's half adds the feature, the opponent's half subtracts
    // the opponent's view of it.
    for (int b = 0; b < O; ++b) {
        const double phase = bucket_phase(b);
        const double taper[2] = {phase / 24.0, 1.0 - phase / 24.0};
        int16_t* w = img.out_weights.data() + size_t(b) * 2 * NNUE_HIDDEN;
        for (const Pair& p : pairs) {
            const int16_t x = clamp_weight(FULL_WEIGHT[p.type] * taper[p.phase]);
            w[p.unit] = x;
            w[p.unit + 1] = int16_t(-x);
            w[NNUE_HIDDEN + p.unit] = int16_t(-x);
            w[NNUE_HIDDEN + p.unit + 1] = x;
        }
        for (int phase_i = 0; phase_i < 2; ++phase_i) {
            // bonus/2 per bishop^2: w x BP_ROW^2 x CP_PER_SUM each.
            const double full = BP_BONUS[phase_i] / 2 / (BP_ROW * BP_ROW * CP_PER_SUM);
            const int16_t x = clamp_weight(full * taper[phase_i]);
            w[bp_unit + phase_i] = x;
            w[NNUE_HIDDEN + bp_unit + phase_i] = int16_t(-x);
        }
    }

    // Head: x_win = 1.5 x score / 400 (score blended half and half), x_loss = -x_win, and a
    // draw bias of ln 3, so that an even position reads 60% draw and +500 cp about 2/3 wins.
    int16_t* win = img.head_weights.data();
    int16_t* loss = img.head_weights.data() + 4 * NNUE_HIDDEN;
    for (const Pair& p : pairs) {
        const int16_t x = clamp_weight(1.5 * 0.5 * FULL_WEIGHT[p.type]);
        win[p.unit] = x;
        win[p.unit + 1] = int16_t(-x);
        win[NNUE_HIDDEN + p.unit] = int16_t(-x);
        win[NNUE_HIDDEN + p.unit + 1] = x;
    }
    for (int i = 0; i < 2 * NNUE_HIDDEN; ++i)
        loss[i] = int16_t(-win[i]);
    img.head_bias[1] = int16_t(std::lround(std::log(3.0) * NNUE_OUTPUT_SCALE));
    return img;
}

// Mean and worst absolute difference from PstEval over random games.
void compare(const std::shared_ptr<const Network>& net) {
    NnueEval nnue(net);
    PstEval pst;
    uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return uint32_t(state >> 33);
    };
    double total = 0;
    int worst = 0, count = 0;
    for (int game = 0; game < 200; ++game) {
        Position pos = Position::startpos();
        for (int ply = 0; ply < 160; ++ply) {
            nnue.reset(pos);
            const int diff = std::abs(nnue.evaluate(pos) - pst.evaluate(pos));
            total += diff;
            worst = std::max(worst, diff);
            ++count;
            MoveList moves;
            generate_all(pos, moves);
            if (moves.empty()) break;
            pos.make_move(moves[int(next() % uint32_t(moves.size()))]);
        }
    }
    std::printf("versus PstEval over %d positions: mean |diff| %.1f cp, worst %d cp\n", count,
                total / count, worst);
    Position start = Position::startpos();
    nnue.reset(start);
    const auto wdl = nnue.wdl(start);
    if (wdl) std::printf("start position W/D/L %.3f %.3f %.3f\n", wdl->win, wdl->draw, wdl->loss);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: makenet OUT_FILE\n");
        return 2;
    }
    init_attacks();
    const std::vector<uint8_t> bytes = build().bytes();
    Result<Network> net = Network::from_bytes(bytes);
    if (!net.ok()) {
        std::fprintf(stderr, "makenet: %s\n", net.error().message.c_str());
        return 1;
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f)) {
        std::perror(argv[1]);
        return 1;
    }
    std::printf("wrote %zu bytes to %s\n", bytes.size(), argv[1]);
    compare(std::make_shared<const Network>(std::move(net.value())));
    return 0;
}
