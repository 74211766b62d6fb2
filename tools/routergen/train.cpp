// routergen train: fits a KWT4 router to the moves played in self-play records (the 32-byte
// format of tools/datagen/record.h) by minimising the negative log-likelihood of the played
// move under the router's two-level softmax, with Adam over mini-batches.
//
// The network starts from RouterNet::new_v4 and the forward pass here follows RouterNet's own
// (the logit scale stays fixed). Held-out positions are scored with the engine's inference,
// which doubles as a check that the two agree: the first held-out loss must match to 1e-3.
#include "train.h"

#include "record.h"
#include "router.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace velmar::routergen {

namespace {

enum Array {
    W1,
    B1,
    PIECE_EMBED,
    PIECE_BIAS,
    DEST_EMBED,
    MOVE_BIAS,
    PROMO,
    MOVE_FLAGS,
    PIECE_FLAGS,
    W2,
    B2,
    GATE,
    ARRAYS
};

struct Sample {
    Position pos;
    Move played;
};

float clip01(float x) {
    return std::min(std::max(x, 0.0f), 1.0f);
}
// Derivative of min(max(x, 0), 1)^2.
float squared_clipped_slope(float x) {
    return x > 0.0f && x < 1.0f ? 2.0f * x : 0.0f;
}

class Trainer {
public:
    Trainer(RouterNet& net, float learning_rate)
        : net_(net), w_(net.arrays()), h1_(net.hidden()), h2_(net.hidden2()), lr_(learning_rate) {
        for (int k = 0; k < ARRAYS; ++k) {
            grad_[k].assign(w_[k].size(), 0.0f);
            m_[k].assign(w_[k].size(), 0.0f);
            v_[k].assign(w_[k].size(), 0.0f);
        }
        x1_.resize(h1_), a_.resize(h1_), da_.resize(h1_);
        z2_.resize(h2_), h_.resize(h2_), dh_.resize(h2_), g_.resize(h2_), dg_.resize(h2_);
    }

    // Forward and backward for one position; adds the gradient, returns the loss.
    double accumulate(const Sample& s) {
        const Position& pos = s.pos;
        MoveList moves;
        generate_all(pos, moves);
        const int n = moves.count;
        int target = 0;
        while (moves[target] != s.played)
            ++target;
        const float scale = net_.scale();

        // Layer 1 over the pieces on the board, then layer 2.
        const Color us = pos.side_to_move();
        const int flip = us == WHITE ? 0 : 56;
        features_.clear();
        for (Bitboard occ = pos.pieces(); occ;) {
            const Square sq = pop_lsb(occ);
            const Piece p = pos.piece_on(sq);
            features_.push_back((color_of(p) != us ? 384 : 0) + type_of(p) * 64 + (sq ^ flip));
        }
        std::copy(w_[B1].begin(), w_[B1].end(), x1_.begin());
        for (int f : features_)
            for (size_t i = 0; i < h1_; ++i)
                x1_[i] += w_[W1][f * h1_ + i];
        for (size_t i = 0; i < h1_; ++i)
            a_[i] = clip01(x1_[i]) * clip01(x1_[i]);
        for (size_t j = 0; j < h2_; ++j) {
            z2_[j] = w_[B2][j] + RouterNet::dot(w_[W2].subspan(j * h1_, h1_), a_);
            h_[j] = clip01(z2_[j]) * clip01(z2_[j]);
        }

        // Piece factor for every moving piece, destination factor only for the played piece:
        // the other pieces' destinations do not enter the loss.
        describe_moves(pos, moves.moves, n, rm_.data(), piece_flags_);
        int groups = 0;
        std::array<int8_t, 64> group_of;
        group_of.fill(-1);
        std::array<uint8_t, 64> group_square{}, group_type{};
        std::array<double, 64> piece_logit{};
        for (int i = 0; i < n; ++i)
            if (group_of[rm_[i].from] < 0) {
                group_of[rm_[i].from] = int8_t(groups);
                group_square[groups] = rm_[i].from;
                group_type[groups++] = rm_[i].type;
            }
        for (int k = 0; k < groups; ++k) {
            const int t = group_type[k], f = group_square[k];
            const size_t tf = size_t(t) * 64 + f;
            double sum =
                w_[PIECE_BIAS][tf] + RouterNet::dot(w_[PIECE_EMBED].subspan(tf * h2_, h2_), h_);
            for (int b = 0; b < ROUTER_PIECE_FLAGS; ++b)
                if (piece_flags_[f] >> b & 1) sum += w_[PIECE_FLAGS][t * ROUTER_PIECE_FLAGS + b];
            piece_logit[k] = scale * sum;
        }
        const int kt = group_of[rm_[target].from];
        const int tt = group_type[kt], ft = group_square[kt];
        const size_t tft = size_t(tt) * 64 + ft;
        for (size_t j = 0; j < h2_; ++j)
            g_[j] = h_[j] * (1.0f + w_[GATE][tft * h2_ + j]);
        std::array<double, MoveList::CAPACITY> dest{};
        for (int i = 0; i < n; ++i) {
            if (group_of[rm_[i].from] != kt) continue;
            const RouterMove& r = rm_[i];
            const size_t tq = size_t(tt) * 64 + r.to;
            double d = w_[MOVE_BIAS][tt * 4096 + ft * 64 + r.to] + w_[PROMO][r.promo]
                       + RouterNet::dot(w_[DEST_EMBED].subspan(tq * h2_, h2_), g_);
            for (uint32_t bits = r.flags; bits; bits &= bits - 1)
                d += w_[MOVE_FLAGS][tt * ROUTER_MOVE_FLAGS + std::countr_zero(bits)];
            dest[i] = scale * d;
        }

        // Softmaxes and the loss.
        auto softmax = [](double* v, int count, auto&& member) {
            double top = -1e300, sum = 0;
            for (int i = 0; i < count; ++i)
                if (member(i)) top = std::max(top, v[i]);
            for (int i = 0; i < count; ++i)
                if (member(i)) sum += (v[i] = std::exp(v[i] - top));
            for (int i = 0; i < count; ++i)
                if (member(i)) v[i] /= sum;
        };
        softmax(piece_logit.data(), groups, [](int) { return true; });
        softmax(dest.data(), n, [&](int i) { return group_of[rm_[i].from] == kt; });
        const double loss =
            -std::log(std::max(piece_logit[kt], 1e-300)) - std::log(std::max(dest[target], 1e-300));

        // Backward.
        std::fill(dh_.begin(), dh_.end(), 0.0f);
        for (int k = 0; k < groups; ++k) {
            const float c = float(scale * (piece_logit[k] - (k == kt ? 1.0 : 0.0)));
            const int t = group_type[k], f = group_square[k];
            const size_t tf = size_t(t) * 64 + f;
            grad_[PIECE_BIAS][tf] += c;
            for (int b = 0; b < ROUTER_PIECE_FLAGS; ++b)
                if (piece_flags_[f] >> b & 1) grad_[PIECE_FLAGS][t * ROUTER_PIECE_FLAGS + b] += c;
            for (size_t j = 0; j < h2_; ++j) {
                grad_[PIECE_EMBED][tf * h2_ + j] += c * h_[j];
                dh_[j] += c * w_[PIECE_EMBED][tf * h2_ + j];
            }
        }
        std::fill(dg_.begin(), dg_.end(), 0.0f);
        for (int i = 0; i < n; ++i) {
            if (group_of[rm_[i].from] != kt) continue;
            const RouterMove& r = rm_[i];
            const float c = float(scale * (dest[i] - (i == target ? 1.0 : 0.0)));
            const size_t tq = size_t(tt) * 64 + r.to;
            grad_[MOVE_BIAS][tt * 4096 + ft * 64 + r.to] += c;
            grad_[PROMO][r.promo] += c;
            for (uint32_t bits = r.flags; bits; bits &= bits - 1)
                grad_[MOVE_FLAGS][tt * ROUTER_MOVE_FLAGS + std::countr_zero(bits)] += c;
            for (size_t j = 0; j < h2_; ++j) {
                grad_[DEST_EMBED][tq * h2_ + j] += c * g_[j];
                dg_[j] += c * w_[DEST_EMBED][tq * h2_ + j];
            }
        }
        for (size_t j = 0; j < h2_; ++j) {
            grad_[GATE][tft * h2_ + j] += dg_[j] * h_[j];
            dh_[j] += dg_[j] * (1.0f + w_[GATE][tft * h2_ + j]);
        }
        std::fill(da_.begin(), da_.end(), 0.0f);
        for (size_t j = 0; j < h2_; ++j) {
            const float dz = dh_[j] * squared_clipped_slope(z2_[j]);
            if (dz == 0.0f) continue;
            grad_[B2][j] += dz;
            float* gw = &grad_[W2][j * h1_];
            const float* w = &w_[W2][j * h1_];
            for (size_t i = 0; i < h1_; ++i) {
                gw[i] += dz * a_[i];
                da_[i] += dz * w[i];
            }
        }
        for (size_t i = 0; i < h1_; ++i) {
            const float dx = da_[i] * squared_clipped_slope(x1_[i]);
            grad_[B1][i] += dx;
            da_[i] = dx;
        }
        for (int f : features_)
            for (size_t i = 0; i < h1_; ++i)
                grad_[W1][f * h1_ + i] += da_[i];
        return loss;
    }

    // One Adam step on the mean gradient of `batch` samples; clears the gradient.
    void step(int batch) {
        ++steps_;
        constexpr float BETA1 = 0.9f, BETA2 = 0.999f, EPS = 1e-8f;
        const float c1 = 1.0f - std::pow(BETA1, float(steps_));
        const float c2 = 1.0f - std::pow(BETA2, float(steps_));
        const float inv = 1.0f / float(batch);
        for (int k = 0; k < ARRAYS; ++k) {
            float* w = w_[k].data();
            float* g = grad_[k].data();
            float* m = m_[k].data();
            float* v = v_[k].data();
            for (size_t i = 0; i < w_[k].size(); ++i) {
                const float gi = g[i] * inv;
                m[i] = BETA1 * m[i] + (1 - BETA1) * gi;
                v[i] = BETA2 * v[i] + (1 - BETA2) * gi * gi;
                w[i] -= lr_ * (m[i] / c1) / (std::sqrt(v[i] / c2) + EPS);
                g[i] = 0.0f;
            }
        }
    }

private:
    RouterNet& net_;
    std::array<std::span<float>, 12> w_;
    size_t h1_, h2_;
    float lr_;
    uint64_t steps_ = 0;
    std::array<std::vector<float>, ARRAYS> grad_, m_, v_;
    std::vector<float> x1_, a_, da_, z2_, h_, dh_, g_, dg_;
    std::vector<int> features_;
    std::array<RouterMove, MoveList::CAPACITY> rm_;
    std::array<uint8_t, 64> piece_flags_{};
};

// Positions whose played move is legal on the rebuilt board (castling rights and en passant
// are not recorded, so such moves are dropped) and that offer a choice.
std::vector<Sample> read_samples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Sample> samples;
    const size_t records = raw.size() / sizeof(training::PackedPosition);
    for (size_t i = 0; i < records; ++i) {
        training::PackedPosition r;
        std::memcpy(&r, raw.data() + i * sizeof r, sizeof r);
        Result<Position> pos = Position::from_fen(training::to_fen(r));
        if (!pos.ok()) continue;
        const Move played(r.move);
        MoveList moves;
        generate_all(pos.value(), moves);
        if (moves.count < 2 || !moves.contains(played)) continue;
        samples.push_back({pos.value(), played});
    }
    return samples;
}

struct Score {
    double nll = 0, uniform = 0, top1 = 0;
};

Score evaluate(const RouterNet& net, const std::vector<Sample>& samples, size_t begin) {
    Score s;
    RouterScratch scratch;
    std::array<float, MoveList::CAPACITY> lp;
    for (size_t i = begin; i < samples.size(); ++i) {
        MoveList moves;
        generate_all(samples[i].pos, moves);
        net.log_probs(samples[i].pos, moves.moves, moves.count, lp.data(), scratch);
        int best = 0, target = 0;
        for (int k = 0; k < moves.count; ++k) {
            if (lp[k] > lp[best]) best = k;
            if (moves[k] == samples[i].played) target = k;
        }
        s.nll -= lp[target];
        s.uniform += std::log(double(moves.count));
        s.top1 += best == target;
    }
    const double count = double(std::max<size_t>(samples.size() - begin, 1));
    s.nll /= count, s.uniform /= count, s.top1 /= count;
    return s;
}

bool parse_number(std::string_view text, double& out) {
    try {
        size_t used = 0;
        out = std::stod(std::string(text), &used);
        return used == text.size();
    } catch (...) {
        return false;
    }
}

} // namespace

int train(int argc, char** argv) {
    // routergen train DATA OUT [H1 [H2]] [epochs=N] [lr=X] [batch=N] [seed=N]
    if (argc < 4) {
        std::fputs("usage: routergen train DATA OUT [H1 [H2]] [epochs=N] [lr=X] [batch=N] "
                   "[seed=N]\n",
                   stderr);
        return 2;
    }
    const std::string data_path = argv[2], out_path = argv[3];
    double h1 = 128, h2 = 32, epochs = 4, lr = 1e-3, batch = 32, seed = 1;
    int sizes = 0;
    for (int i = 4; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const size_t eq = arg.find('=');
        double v = 0;
        if (!parse_number(eq == arg.npos ? arg : arg.substr(eq + 1), v)) {
            std::fprintf(stderr, "routergen train: cannot read %s\n", argv[i]);
            return 2;
        }
        const std::string_view key = eq == arg.npos ? "" : arg.substr(0, eq);
        if (key.empty())
            (sizes++ == 0 ? h1 : h2) = v;
        else if (key == "epochs")
            epochs = v;
        else if (key == "lr")
            lr = v;
        else if (key == "batch")
            batch = std::max(v, 1.0);
        else if (key == "seed")
            seed = v;
        else {
            std::fprintf(stderr, "routergen train: unknown setting %s\n", argv[i]);
            return 2;
        }
    }
    if (h1 < 1 || h1 > ROUTER_MAX_HIDDEN || h2 < 1 || h2 > ROUTER_MAX_HIDDEN) {
        std::fputs("routergen train: hidden sizes must be 1..4096\n", stderr);
        return 2;
    }

    std::vector<Sample> samples = read_samples(data_path);
    if (samples.size() < 20) {
        std::fprintf(stderr, "routergen train: %zu usable positions in %s\n", samples.size(),
                     data_path.c_str());
        return 1;
    }
    std::mt19937_64 rng{uint64_t(seed)};
    std::shuffle(samples.begin(), samples.end(), rng);
    const size_t held_out = samples.size() - samples.size() / 10;
    std::printf("%zu positions: %zu for training, %zu held out\n", samples.size(), held_out,
                samples.size() - held_out);

    RouterNet net = RouterNet::new_v4(uint32_t(h1), uint32_t(h2));
    Trainer trainer(net, float(lr));

    // The trainer's forward pass must be the engine's: compare one loss before training.
    {
        Trainer probe(net, 0.0f);
        const double own = probe.accumulate(samples[held_out]);
        const Score engine = evaluate(net, {samples[held_out]}, 0);
        if (std::abs(own - engine.nll) > 1e-3) {
            std::fprintf(stderr, "routergen train: trainer loss %.6f, engine %.6f\n", own,
                         engine.nll);
            return 1;
        }
    }

    Score s = evaluate(net, samples, held_out);
    std::printf("start: held-out loss %.4f (uniform %.4f), top-1 %.1f%%\n", s.nll, s.uniform,
                100 * s.top1);
    for (int epoch = 1; epoch <= int(epochs); ++epoch) {
        std::shuffle(samples.begin(), samples.begin() + long(held_out), rng);
        double total = 0;
        int in_batch = 0;
        for (size_t i = 0; i < held_out; ++i) {
            total += trainer.accumulate(samples[i]);
            if (++in_batch == int(batch)) {
                trainer.step(in_batch);
                in_batch = 0;
            }
        }
        if (in_batch) trainer.step(in_batch);
        s = evaluate(net, samples, held_out);
        std::printf("epoch %d: training loss %.4f, held-out loss %.4f (uniform %.4f), top-1 "
                    "%.1f%%\n",
                    epoch, total / double(held_out), s.nll, s.uniform, 100 * s.top1);
        std::fflush(stdout);
    }

    const std::vector<uint8_t> bytes = net.to_bytes();
    if (!RouterNet::from_bytes(bytes).ok()) {
        std::fputs("routergen train: the trained network does not load\n", stderr);
        return 1;
    }
    std::ofstream out(out_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        std::perror(out_path.c_str());
        return 1;
    }
    std::printf("wrote %s: KWT4 %gx%g, %zu bytes\n", out_path.c_str(), h1, h2, bytes.size());
    return 0;
}

} // namespace velmar::routergen
