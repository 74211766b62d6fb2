// The trainer's file must make the engine compute what the trainer's float model computes:
// same feature rows (king buckets, mirroring, the shared row folded in), same output bucket,
// same head order. Weights on the file's exact steps leave only the engine's truncations.
#include "../tools/trainer/model.h"

#include "test_util.h"

#include <cmath>
#include <gtest/gtest.h>
#include <memory>

namespace velmar {
namespace {

using namespace training;

// The float model written out plainly: hidden c = clamp(acc, 0, 1), output sum(c^2 w) + b.
struct FloatOut {
    double y;
    double x[3];
};

FloatOut float_model(const Params& p, const Sample& s) {
    std::vector<double> a(2 * H);
    for (int side = 0; side < 2; ++side)
        for (int i = 0; i < H; ++i) {
            double acc = p.ft_bias[size_t(i)];
            for (int k = 0; k < s.count; ++k) {
                const size_t row = s.rows[side][k];
                acc += p.ft[row * H + size_t(i)] + p.ft[(FACTOR * NNUE_INPUTS + row % NNUE_INPUTS) * H + size_t(i)];
            }
            const double c = std::clamp(acc, 0.0, 1.0);
            a[size_t(side * H + i)] = c * c;
        }
    FloatOut out{p.out_bias[s.bucket], {p.head_bias[0], p.head_bias[1], p.head_bias[2]}};
    for (size_t i = 0; i < 2 * H; ++i) {
        out.y += a[i] * p.out[s.bucket * 2 * H + i];
        for (size_t k = 0; k < 3; ++k) out.x[k] += a[i] * p.head[k * 2 * H + i];
    }
    return out;
}

TEST(TrainerNetwork, FileEvaluatesLikeTheFloatModel) {
    test::Rng rng{11};
    auto step = [&](int lo, int hi, double scale) { return float(int(rng.below(uint64_t(hi - lo + 1))) + lo) / float(scale); };
    auto p = std::make_unique<Params>();
    // Feature steps of 1/255 with rows small enough that 32 pieces stay inside the window.
    for (float& w : p->ft) w = step(-6, 6, 255.0);
    for (float& w : p->ft_bias) w = step(60, 200, 255.0);
    for (float& w : p->out) w = step(-127, 127, 64.0);
    for (float& w : p->head) w = step(-127, 127, 64.0);
    for (float& b : p->out_bias) b = step(-8000, 8000, NNUE_OUTPUT_SCALE);
    for (float& b : p->head_bias) b = step(-8000, 8000, NNUE_OUTPUT_SCALE);

    const std::vector<uint8_t> bytes = network_bytes(*p);
    ASSERT_EQ(bytes.size(), DefaultNet::SIZE);
    auto net = Network::from_bytes(bytes);
    ASSERT_TRUE(net.ok()) << net.error().message;
    ASSERT_EQ(net.value().king_buckets(), 8u);
    ASSERT_EQ(net.value().output_buckets(), 8u);
    ASSERT_TRUE(net.value().has_head());
    NnueEval eval(std::make_shared<const Network>(std::move(net.value())));

    int checked = 0;
    for (std::string_view start : test::varied_fens()) {
        test::random_game(test::fen(start), rng, 40, [&](const Position& pos) {
            const Sample s = decode(pack(pos, 0, NO_MOVE, RESULT_DRAW, 0));
            const FloatOut f = float_model(*p, s);
            eval.reset(pos);
            // The engine truncates twice: the sum by 255 (under 400 / 16320 cp) and the centipawns.
            EXPECT_NEAR(double(eval.evaluate(pos)), f.y * CP_PER_UNIT, 1.0 + 400.0 / NNUE_OUTPUT_SCALE + 1e-6) << pos.to_fen();
            const auto wdl = eval.wdl(pos);
            ASSERT_TRUE(wdl.has_value());
            const double m = std::max({f.x[0], f.x[1], f.x[2]});
            const double e[3] = {std::exp(f.x[0] - m), std::exp(f.x[1] - m), std::exp(f.x[2] - m)};
            EXPECT_NEAR(wdl->win, e[0] / (e[0] + e[1] + e[2]), 1e-3);
            EXPECT_NEAR(wdl->loss, e[2] / (e[0] + e[1] + e[2]), 1e-3);
            ++checked;
        });
    }
    EXPECT_GT(checked, 200);
}

} // namespace
} // namespace velmar
