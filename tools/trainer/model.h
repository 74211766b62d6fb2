// The trainer's float model and its conversion to the engine's file, shared with the tests.
// Float model, on the engine's scales divided out: hidden value c = clamp(acc, 0, 1), activation
// c^2, output y = sum(c^2 w) + b, evaluation 400 y centipawns. The file multiplies feature
// weights by 255, output and head weights by 64 and their biases by 255 x 64, which makes the
// engine's integer arithmetic compute the same 400 y up to rounding.
#pragma once

#include "../datagen/record.h"

#include "nnue.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace velmar::training {

inline constexpr int H = NNUE_HIDDEN;
inline constexpr int KB = 8;                       // king buckets
inline constexpr int OB = 8;                       // output buckets
inline constexpr int FACTOR = KB;                  // the shared bucket, after the real ones
inline constexpr int ROWS = (KB + 1) * NNUE_INPUTS; // float feature rows, factor included
inline constexpr float CP_PER_UNIT = 400.0f;       // evaluation in centipawns = 400 y

// One position as the network sees it: active rows of both perspectives (bucket rows only; the
// factor row of a feature is FACTOR * 768 + row % 768), the output bucket and the targets.
struct Sample {
    uint16_t rows[2][32]; // [0] side to move, [1] opponent
    uint8_t count = 0;
    uint8_t bucket = 0;
    uint8_t wdl = 1;      // side to move's result: 0 win, 1 draw, 2 loss
    float score_cp = 0;   // side to move's view
    float result = 0.5f;  // side to move's view
};

inline Sample decode(const PackedPosition& r) {
    Sample s;
    Square kings[2] = {0, 0};
    training::for_each_piece(r, [&](int sq, Piece p) {
        if (type_of(p) == KING) kings[color_of(p)] = Square(sq);
    });
    const Color stm = Color(r.stm);
    uint8_t keys[2];
    for (Color p : {WHITE, BLACK}) keys[p] = king_key(KB, p, kings[p]);
    int n = 0;
    training::for_each_piece(r, [&](int sq, Piece pc) {
        for (int side = 0; side < 2; ++side) {
            const Color p = side == 0 ? stm : Color(stm ^ 1);
            const int mirror = keys[p] & 1, bucket = keys[p] >> 1;
            const int oriented = sq ^ (p == BLACK ? 56 : 0) ^ (mirror ? 7 : 0);
            const int feature = (color_of(pc) == p ? 0 : 384) + type_of(pc) * 64 + oriented;
            s.rows[side][n] = uint16_t(bucket * NNUE_INPUTS + feature);
        }
        ++n;
    });
    s.count = uint8_t(n);
    s.bucket = uint8_t(std::min(std::max(n - 2, 0) / 4, OB - 1));
    const float sign = stm == WHITE ? 1.0f : -1.0f;
    s.score_cp = sign * float(r.score);
    const float white_result = float(r.result) / 2.0f;
    s.result = stm == WHITE ? white_result : 1.0f - white_result;
    s.wdl = s.result == 1.0f ? 0 : s.result == 0.0f ? 2 : 1;
    return s;
}

struct Params {
    std::vector<float> ft, ft_bias, out, out_bias, head, head_bias;
    Params()
        : ft(size_t(ROWS) * H), ft_bias(H), out(size_t(OB) * 2 * H), out_bias(OB),
          head(size_t(3) * 2 * H), head_bias(3) {}
    std::vector<std::vector<float>*> blocks() { return {&ft, &ft_bias, &out, &out_bias, &head, &head_bias}; }
};

// ---- The engine's file. ----

inline int16_t quantise(float x, float scale, int lo, int hi) {
    return int16_t(std::clamp(int(std::lround(x * scale)), lo, hi));
}

inline std::vector<uint8_t> network_bytes(const Params& p) {
    std::vector<int16_t> v;
    v.reserve(DefaultNet::SIZE / 2);
    for (int b = 0; b < KB; ++b)
        for (int f = 0; f < NNUE_INPUTS; ++f) {
            const float* row = p.ft.data() + size_t(b * NNUE_INPUTS + f) * H;
            const float* shared = p.ft.data() + size_t(FACTOR * NNUE_INPUTS + f) * H;
            for (int i = 0; i < H; ++i) v.push_back(quantise(row[i] + shared[i], 255.0f, -32767, 32767));
        }
    for (int i = 0; i < H; ++i) v.push_back(quantise(p.ft_bias[i], 255.0f, -32767, 32767));
    for (float w : p.out) v.push_back(quantise(w, 64.0f, -127, 127));
    for (float b : p.out_bias) v.push_back(quantise(b, float(NNUE_OUTPUT_SCALE), -32767, 32767));
    for (float w : p.head) v.push_back(quantise(w, 64.0f, -127, 127));
    for (int k = 2; k >= 0; --k) v.push_back(quantise(p.head_bias[k], float(NNUE_OUTPUT_SCALE), -32767, 32767));
    std::vector<uint8_t> bytes(DefaultNet::SIZE, 0);
    for (size_t i = 0; i < v.size(); ++i) {
        bytes[2 * i] = uint8_t(uint16_t(v[i]) & 0xFF);
        bytes[2 * i + 1] = uint8_t(uint16_t(v[i]) >> 8);
    }
    return bytes;
}

} // namespace velmar::training
