// Trains a network of exactly the built-in shape from datagen records and writes it in the
// engine's padded 12,630,080-byte form: 8 king buckets x 768 inputs -> 1024 hidden per
// perspective, squared clipped activation, 8 output buckets by piece count, and the W/D/L head.
// The float model and the file it becomes are in model.h.
//
// Little data spread over 8 king buckets overfits, so every input also has a ninth, shared
// "factor" row that all buckets use; it is added into each bucket's row when the file is written.
// The head learns the game result by cross-entropy on the same hidden values but does not
// send gradients back into them: the evaluation alone shapes the hidden layer.
//
// Usage:
//   trainer --data FILE [--data FILE ...] --out NET.nnue [--epochs N] [--batch N] [--lr X]
//           [--final-lr X] [--lambda X] [--threads N] [--holdout N] [--max-positions N]
//           [--checkpoint FILE] [--resume FILE] [--init NET.nnue|builtin] [--freeze-features 1]
//           [--seed N]
// A --data directory means every file in it (the shards of a run of datagen under MPI).
// --freeze-features 1 trains only the output layer and the head (with --init: retunes what an
// existing network's hidden features are worth). --lambda weighs the search score against the game result in the target (1 = score only).
#include "model.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace velmar;
using namespace velmar::training;

namespace {

constexpr float OUT_CLIP = 127.0f / 64.0f;  // quantised output and head weights stay in -127..127
constexpr float BIAS_CLIP = 32000.0f / NNUE_OUTPUT_SCALE;
constexpr float FT_CLIP = 1.98f;            // bucket + factor rows stay far inside int16 at x255

struct Options {
    std::vector<std::string> data;
    std::string out;
    std::string checkpoint;
    std::string resume;
    std::string init;
    bool freeze_features = false;
    int epochs = 10;
    int batch = 16384;
    float lr = 1e-3f;
    float final_lr = 5e-5f;
    float lambda = 0.75f;
    int threads = 1;
    size_t holdout = 10000;
    size_t max_positions = 0;
    uint64_t seed = 1;
};


float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }

// ---- Vector kernels over H floats. ----

void add_row(float* acc, const float* row) {
    for (int i = 0; i < H; i += 8)
        _mm256_storeu_ps(acc + i, _mm256_add_ps(_mm256_loadu_ps(acc + i), _mm256_loadu_ps(row + i)));
}

// c = clamp(acc, 0, 1), a = c^2.
void activate(const float* acc, float* c, float* a) {
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    for (int i = 0; i < H; i += 8) {
        const __m256 x = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(acc + i), zero), one);
        _mm256_storeu_ps(c + i, x);
        _mm256_storeu_ps(a + i, _mm256_mul_ps(x, x));
    }
}

float hsum(__m256 v) {
    __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    s = _mm_add_ps(s, _mm_movehl_ps(s, s));
    s = _mm_add_ss(s, _mm_shuffle_ps(s, s, 1));
    return _mm_cvtss_f32(s);
}

float dot(const float* a, const float* w, int n) {
    __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
    for (int i = 0; i < n; i += 16) {
        s0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(w + i), s0);
        s1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(w + i + 8), s1);
    }
    return hsum(_mm256_add_ps(s0, s1));
}

// g += k * a
void axpy(float* g, const float* a, float k, int n) {
    const __m256 kk = _mm256_set1_ps(k);
    for (int i = 0; i < n; i += 8)
        _mm256_storeu_ps(g + i, _mm256_fmadd_ps(kk, _mm256_loadu_ps(a + i), _mm256_loadu_ps(g + i)));
}

// d = k * w * 2c where 0 < c < 1, else 0: the gradient of the loss with respect to acc.
void hidden_grad(const float* w, const float* c, float k, float* d) {
    const __m256 kk = _mm256_set1_ps(2.0f * k), zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    for (int i = 0; i < H; i += 8) {
        const __m256 x = _mm256_loadu_ps(c + i);
        const __m256 live = _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ), _mm256_cmp_ps(x, one, _CMP_LT_OQ));
        const __m256 g = _mm256_mul_ps(_mm256_mul_ps(kk, _mm256_loadu_ps(w + i)), x);
        _mm256_storeu_ps(d + i, _mm256_and_ps(g, live));
    }
}

// What the forward pass reads, rebuilt from Params after every step: feature rows with the
// shared row already added (half the memory traffic of adding both), all weights rounded to
// the file's steps (1/255 for the feature transformer, 1/64 for output and head), so that
// training sees the engine's arithmetic; the gradient goes straight through to the float
// weights. Without the rounding, a network with large output weights (the built-in one, for
// instance) amplified the feature rounding into a 31 cp mean difference after fine-tuning.
struct Derived {
    std::vector<float> combined, ft_bias_q, out_q, head_q;
    Derived()
        : combined(size_t(KB) * NNUE_INPUTS * H), ft_bias_q(H), out_q(size_t(OB) * 2 * H),
          head_q(size_t(3) * 2 * H) {}

    void combine_feature(const Params& p, int f) {
        const float* shared = p.ft.data() + size_t(FACTOR * NNUE_INPUTS + f) * H;
        for (int b = 0; b < KB; ++b) {
            const float* row = p.ft.data() + size_t(b * NNUE_INPUTS + f) * H;
            float* dst = combined.data() + size_t(b * NNUE_INPUTS + f) * H;
            for (int i = 0; i < H; ++i) dst[i] = std::nearbyint((row[i] + shared[i]) * 255.0f) / 255.0f;
        }
    }
    void round_outputs(const Params& p) {
        for (int i = 0; i < H; ++i) ft_bias_q[size_t(i)] = std::nearbyint(p.ft_bias[size_t(i)] * 255.0f) / 255.0f;
        for (size_t i = 0; i < out_q.size(); ++i) out_q[i] = std::nearbyint(p.out[i] * 64.0f) / 64.0f;
        for (size_t i = 0; i < head_q.size(); ++i) head_q[i] = std::nearbyint(p.head[i] * 64.0f) / 64.0f;
    }
    void rebuild(const Params& p) {
        for (int f = 0; f < NNUE_INPUTS; ++f) combine_feature(p, f);
        round_outputs(p);
    }
};

struct Forward {
    float acc[2][H], c[2][H], a[2][H]; // [0] side to move, [1] opponent (contiguous: a[0] then a[1])
    float y = 0;
    float x[3] = {}; // head: win, draw, loss
};

void forward(const Params& p, const Derived& d, const Sample& s, Forward& f) {
    for (int side = 0; side < 2; ++side) {
        std::memcpy(f.acc[side], d.ft_bias_q.data(), sizeof(float) * H);
        for (int i = 0; i < s.count; ++i) add_row(f.acc[side], d.combined.data() + size_t(s.rows[side][i]) * H);
        activate(f.acc[side], f.c[side], f.a[side]);
    }
    const float* a = &f.a[0][0];
    f.y = dot(a, d.out_q.data() + size_t(s.bucket) * 2 * H, 2 * H) + p.out_bias[s.bucket];
    for (int k = 0; k < 3; ++k) f.x[k] = dot(a, d.head_q.data() + size_t(k) * 2 * H, 2 * H) + p.head_bias[k];
}

struct Losses {
    double eval = 0, head = 0;
};

float target_of(const Sample& s, float lambda) {
    return lambda * sigmoid(s.score_cp / CP_PER_UNIT) + (1.0f - lambda) * s.result;
}

// Mean-squared error of the win probability, and the head's cross-entropy.
Losses losses(const Forward& f, const Sample& s, float lambda, float& dy, float dx[3]) {
    Losses l;
    const float pr = sigmoid(f.y), t = target_of(s, lambda);
    l.eval = double(pr - t) * (pr - t);
    dy = 2.0f * (pr - t) * pr * (1.0f - pr);
    const float m = std::max({f.x[0], f.x[1], f.x[2]});
    float e[3], sum = 0;
    for (int k = 0; k < 3; ++k) sum += e[k] = std::exp(f.x[k] - m);
    for (int k = 0; k < 3; ++k) {
        const float q = e[k] / sum;
        dx[k] = q - (k == s.wdl ? 1.0f : 0.0f);
        if (k == s.wdl) l.head = -std::log(std::max(q, 1e-12f));
    }
    return l;
}

// One thread's gradients. Feature rows are summed only where touched; the shared rows get the
// sum of their buckets' gradients when the threads' parts are added up.
struct Grad {
    std::vector<float> ft, ft_bias, out, out_bias, head, head_bias;
    std::vector<uint8_t> touched;
    Losses loss;
    Grad()
        : ft(size_t(KB) * NNUE_INPUTS * H), ft_bias(H), out(size_t(OB) * 2 * H), out_bias(OB),
          head(size_t(3) * 2 * H), head_bias(3), touched(size_t(KB) * NNUE_INPUTS) {}
};

void backward(const Derived& dv, const Sample& s, const Forward& f, float dy, const float dx[3], Grad& g,
              bool output_only) {
    const float* a = &f.a[0][0];
    float* gout = g.out.data() + size_t(s.bucket) * 2 * H;
    axpy(gout, a, dy, 2 * H);
    g.out_bias[s.bucket] += dy;
    for (int k = 0; k < 3; ++k) {
        axpy(g.head.data() + size_t(k) * 2 * H, a, dx[k], 2 * H);
        g.head_bias[k] += dx[k];
    }
    if (output_only) return;
    alignas(32) float d[H];
    const float* w = dv.out_q.data() + size_t(s.bucket) * 2 * H;
    for (int side = 0; side < 2; ++side) {
        hidden_grad(w + side * H, f.c[side], dy, d);
        for (int i = 0; i < H; i += 8)
            _mm256_storeu_ps(g.ft_bias.data() + i,
                             _mm256_add_ps(_mm256_loadu_ps(g.ft_bias.data() + i), _mm256_loadu_ps(d + i)));
        for (int i = 0; i < s.count; ++i) {
            const int row = s.rows[side][i];
            add_row(g.ft.data() + size_t(row) * H, d);
            g.touched[row] = 1;
        }
    }
}

// Adam; feature rows are updated only in batches that touch them.
struct Adam {
    Params m, v;
    uint64_t step = 0;
    static constexpr float B1 = 0.9f, B2 = 0.999f, EPS = 1e-8f;

    static void update(float* w, float* m, float* v, const float* g, int n, float lr_t, float clip) {
        const __m256 b1 = _mm256_set1_ps(B1), b2 = _mm256_set1_ps(B2);
        const __m256 c1 = _mm256_set1_ps(1 - B1), c2 = _mm256_set1_ps(1 - B2);
        const __m256 lr = _mm256_set1_ps(lr_t), eps = _mm256_set1_ps(EPS);
        const __m256 hi = _mm256_set1_ps(clip), lo = _mm256_set1_ps(-clip);
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 gg = _mm256_loadu_ps(g + i);
            const __m256 mm = _mm256_fmadd_ps(b1, _mm256_loadu_ps(m + i), _mm256_mul_ps(c1, gg));
            const __m256 vv = _mm256_fmadd_ps(b2, _mm256_loadu_ps(v + i), _mm256_mul_ps(c2, _mm256_mul_ps(gg, gg)));
            _mm256_storeu_ps(m + i, mm);
            _mm256_storeu_ps(v + i, vv);
            __m256 ww = _mm256_sub_ps(_mm256_loadu_ps(w + i),
                                      _mm256_div_ps(_mm256_mul_ps(lr, mm), _mm256_add_ps(_mm256_sqrt_ps(vv), eps)));
            _mm256_storeu_ps(w + i, _mm256_min_ps(_mm256_max_ps(ww, lo), hi));
        }
        for (; i < n; ++i) {
            m[i] = B1 * m[i] + (1 - B1) * g[i];
            v[i] = B2 * v[i] + (1 - B2) * g[i] * g[i];
            w[i] = std::clamp(w[i] - lr_t * m[i] / (std::sqrt(v[i]) + EPS), -clip, clip);
        }
    }
};

// Starts from an existing network of the same shape ("builtin" for the one in the program):
// what all buckets share goes into the shared rows, the rest stays in the buckets.
void init_from_network(Params& p, const Network& net) {
    for (int f = 0; f < NNUE_INPUTS; ++f)
        for (int i = 0; i < H; ++i) {
            float mean = 0;
            for (int b = 0; b < KB; ++b) mean += float(net.row(b * NNUE_INPUTS + f)[i]) / 255.0f / KB;
            p.ft[size_t(FACTOR * NNUE_INPUTS + f) * H + size_t(i)] = mean;
            for (int b = 0; b < KB; ++b)
                p.ft[size_t(b * NNUE_INPUTS + f) * H + size_t(i)] = float(net.row(b * NNUE_INPUTS + f)[i]) / 255.0f - mean;
        }
    for (int i = 0; i < H; ++i) p.ft_bias[size_t(i)] = float(net.feature_bias()[i]) / 255.0f;
    for (int b = 0; b < OB; ++b) {
        for (int i = 0; i < 2 * H; ++i) p.out[size_t(b * 2 * H + i)] = float(net.output_weights(b)[i]) / 64.0f;
        p.out_bias[size_t(b)] = float(net.output_bias(b)) / float(NNUE_OUTPUT_SCALE);
    }
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 2 * H; ++i) p.head[size_t(k * 2 * H + i)] = float(net.head_weights(k)[i]) / 64.0f;
        p.head_bias[size_t(k)] = float(net.head_bias(k)) / float(NNUE_OUTPUT_SCALE);
    }
}

void init_params(Params& p, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> ft(0.0f, 0.08f), out(0.0f, 0.02f);
    // Bucket rows start at zero: the shared rows carry everything until the data says otherwise.
    for (size_t i = size_t(FACTOR) * NNUE_INPUTS * H; i < p.ft.size(); ++i) p.ft[i] = ft(rng);
    std::fill(p.ft_bias.begin(), p.ft_bias.end(), 0.25f);
    for (float& w : p.out) w = out(rng);
    for (float& w : p.head) w = out(rng);
}

bool write_file(const std::string& path, const void* data, size_t size) {
    const std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) return false;
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// ---- Checkpoints: the float parameters with their Adam moments. ----

constexpr uint32_t CHECKPOINT_MAGIC = 0x4B435456; // "VTCK"

bool save_checkpoint(const std::string& path, Params& p, Adam& adam, int epoch) {
    std::vector<uint8_t> buf;
    const auto put = [&](const void* d, size_t n) {
        buf.insert(buf.end(), static_cast<const uint8_t*>(d), static_cast<const uint8_t*>(d) + n);
    };
    put(&CHECKPOINT_MAGIC, 4);
    put(&epoch, 4);
    put(&adam.step, 8);
    for (Params* q : {&p, &adam.m, &adam.v})
        for (auto* b : q->blocks()) put(b->data(), b->size() * sizeof(float));
    return write_file(path, buf.data(), buf.size());
}

bool load_checkpoint(const std::string& path, Params& p, Adam& adam, int& epoch) {
    std::ifstream in(path, std::ios::binary);
    uint32_t magic = 0;
    in.read(reinterpret_cast<char*>(&magic), 4);
    in.read(reinterpret_cast<char*>(&epoch), 4);
    in.read(reinterpret_cast<char*>(&adam.step), 8);
    if (!in || magic != CHECKPOINT_MAGIC) return false;
    for (Params* q : {&p, &adam.m, &adam.v})
        for (auto* b : q->blocks()) in.read(reinterpret_cast<char*>(b->data()), std::streamsize(b->size() * sizeof(float)));
    return bool(in);
}

// ---- Data. ----

// Files as given; a directory stands for the regular files in it (the shards of one data
// generation run), in name order so that a run repeats.
std::vector<std::string> data_files(const std::vector<std::string>& paths) {
    std::vector<std::string> files;
    for (const auto& path : paths) {
        std::error_code ec;
        if (!std::filesystem::is_directory(path, ec)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> shards;
        for (const auto& entry : std::filesystem::directory_iterator(path, ec))
            if (entry.is_regular_file(ec)) shards.push_back(entry.path().string());
        if (shards.empty()) {
            std::fprintf(stderr, "no data files in %s\n", path.c_str());
            std::exit(1);
        }
        std::sort(shards.begin(), shards.end());
        files.insert(files.end(), shards.begin(), shards.end());
    }
    return files;
}

std::vector<PackedPosition> read_records(const std::vector<std::string>& paths) {
    std::vector<PackedPosition> all;
    for (const auto& path : data_files(paths)) {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            std::exit(1);
        }
        const size_t n = size_t(in.tellg()) / sizeof(PackedPosition);
        in.seekg(0);
        const size_t old = all.size();
        all.resize(old + n);
        in.read(reinterpret_cast<char*>(all.data() + old), std::streamsize(n * sizeof(PackedPosition)));
    }
    return all;
}

// An empty message is a request for help: usage goes to standard output and the exit is clean.
[[noreturn]] void usage(const std::string& message) {
    const bool help = message.empty();
    std::fprintf(help ? stdout : stderr,
                 "%s%susage: trainer --data FILE [--data FILE ...] --out NET.nnue [--epochs N]\n"
                 "               [--batch N] [--lr X] [--final-lr X] [--lambda X] [--threads N]\n"
                 "               [--holdout N] [--max-positions N] [--checkpoint FILE]\n"
                 "               [--resume FILE] [--init NET.nnue|builtin] [--freeze-features 1]\n"
                 "               [--seed N]\n",
                 message.c_str(), help ? "" : "\n");
    std::exit(help ? 0 : 2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--help" || key == "-h") usage("");
        if (i + 1 >= argc) usage("missing value for " + key);
        const std::string value = argv[++i];
        const auto number = [&] { return std::strtoull(value.c_str(), nullptr, 10); };
        const auto real = [&] { return std::strtof(value.c_str(), nullptr); };
        if (key == "--data") o.data.push_back(value);
        else if (key == "--out") o.out = value;
        else if (key == "--checkpoint") o.checkpoint = value;
        else if (key == "--resume") o.resume = value;
        else if (key == "--init") o.init = value;
        else if (key == "--freeze-features") o.freeze_features = number() != 0;
        else if (key == "--epochs") o.epochs = int(number());
        else if (key == "--batch") o.batch = std::max(1, int(number()));
        else if (key == "--lr") o.lr = real();
        else if (key == "--final-lr") o.final_lr = real();
        else if (key == "--lambda") o.lambda = real();
        else if (key == "--threads") o.threads = std::max(1, int(number()));
        else if (key == "--holdout") o.holdout = number();
        else if (key == "--max-positions") o.max_positions = number();
        else if (key == "--seed") o.seed = number();
        else usage("unknown option " + key);
    }
    if (o.data.empty() || o.out.empty()) usage("--data and --out are required");
    return o;
}

// Runs f(thread, begin, end) over [0, n) split evenly.
template <typename F>
void parallel(int threads, size_t n, F&& f) {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        const size_t begin = n * size_t(t) / size_t(threads), end = n * size_t(t + 1) / size_t(threads);
        if (t + 1 == threads) f(t, begin, end);
        else pool.emplace_back([&f, t, begin, end] { f(t, begin, end); });
    }
    for (auto& th : pool) th.join();
}

Losses evaluate_set(const Params& p, const Derived& d, const std::vector<Sample>& set, float lambda, int threads) {
    std::vector<Losses> part(static_cast<size_t>(threads));
    parallel(threads, set.size(), [&](int t, size_t begin, size_t end) {
        auto f = std::make_unique<Forward>();
        float dy, dx[3];
        for (size_t i = begin; i < end; ++i) {
            forward(p, d, set[i], *f);
            const Losses l = losses(*f, set[i], lambda, dy, dx);
            part[size_t(t)].eval += l.eval;
            part[size_t(t)].head += l.head;
        }
    });
    Losses total;
    for (const auto& l : part) total.eval += l.eval, total.head += l.head;
    total.eval /= double(std::max<size_t>(set.size(), 1));
    total.head /= double(std::max<size_t>(set.size(), 1));
    return total;
}

// Loads the written file with the engine's own loader and compares its evaluations with the
// float model on held-out positions.
void check_quantised(const std::string& path, const Params& p, const Derived& d,
                     const std::vector<PackedPosition>& held,
                     const std::vector<Sample>& samples) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto net = Network::from_bytes(bytes);
    if (!net.ok()) {
        std::printf("quantised check: %s does not load: %s\n", path.c_str(), net.error().message.c_str());
        return;
    }
    std::shared_ptr<const Network> shared = std::make_shared<const Network>(std::move(net.value()));
    NnueEval eval(shared);
    auto f = std::make_unique<Forward>();
    double sum_abs = 0, max_abs = 0, sum_float = 0, sum_wdl = 0;
    size_t n = 0;
    for (size_t i = 0; i < held.size() && i < 20000; ++i) {
        auto pos = Position::from_fen(training::to_fen(held[i]));
        if (!pos.ok()) continue;
        eval.reset(pos.value());
        const double q = eval.evaluate(pos.value());
        forward(p, d, samples[i], *f);
        const double fl = double(f->y) * CP_PER_UNIT;
        sum_abs += std::abs(q - fl);
        max_abs = std::max(max_abs, std::abs(q - fl));
        sum_float += std::abs(fl);
        const auto w = eval.wdl(pos.value());
        if (w) {
            const float m = std::max({f->x[0], f->x[1], f->x[2]});
            const double e0 = std::exp(f->x[0] - m), e1 = std::exp(f->x[1] - m), e2 = std::exp(f->x[2] - m);
            sum_wdl += std::abs(double(w->win) - e0 / (e0 + e1 + e2));
        }
        ++n;
    }
    std::printf("quantised check on %zu held-out positions: |float - engine| mean %.2f cp, max %.0f cp "
                "(mean |eval| %.0f cp); W/D/L win probability mean difference %.4f\n",
                n, sum_abs / double(std::max<size_t>(n, 1)), max_abs, sum_float / double(std::max<size_t>(n, 1)),
                sum_wdl / double(std::max<size_t>(n, 1)));
}

} // namespace

int main(int argc, char** argv) {
    init_attacks();
    const Options opt = parse(argc, argv);
    std::mt19937_64 rng(opt.seed);

    std::vector<PackedPosition> records = read_records(opt.data);
    // Held-out positions are the last games of the data, whole: positions of one game are so
    // alike that a random split measures memory, not judgement.
    if (opt.max_positions && records.size() > opt.max_positions) records.resize(opt.max_positions);
    const size_t held_n = std::min(opt.holdout, records.size() / 10);
    std::vector<PackedPosition> held(records.end() - std::ptrdiff_t(held_n), records.end());
    records.resize(records.size() - held_n);
    std::shuffle(records.begin(), records.end(), rng);
    std::vector<Sample> train(records.size()), valid(held.size());
    for (size_t i = 0; i < records.size(); ++i) train[i] = decode(records[i]);
    for (size_t i = 0; i < held.size(); ++i) valid[i] = decode(held[i]);
    std::printf("trainer: %zu training positions, %zu held out, %d epochs, batch %d, lr %g -> %g, "
                "lambda %.2f, %d thread(s)\n",
                train.size(), valid.size(), opt.epochs, opt.batch, double(opt.lr), double(opt.final_lr),
                double(opt.lambda), opt.threads);
    if (train.empty()) usage("no training positions");

    Params p;
    Adam adam;
    int first_epoch = 0;
    if (!opt.resume.empty()) {
        if (!load_checkpoint(opt.resume, p, adam, first_epoch)) usage("cannot resume from " + opt.resume);
        std::printf("resumed from %s after epoch %d\n", opt.resume.c_str(), first_epoch);
    } else if (!opt.init.empty()) {
        std::shared_ptr<const Network> net;
        if (opt.init == "builtin") {
            net = DEFAULT_NET.get();
        } else {
            auto loaded = load_network_file(opt.init);
            if (!loaded.ok()) usage("cannot use " + opt.init + ": " + loaded.error().message);
            net = loaded.value();
        }
        if (net->king_buckets() != KB || net->output_buckets() != OB || !net->has_head())
            usage(opt.init + " is not an 8x8 network with a W/D/L head");
        init_from_network(p, *net);
        std::printf("starting from %s\n", opt.init.c_str());
    } else {
        init_params(p, opt.seed);
    }
    Derived derived;
    derived.rebuild(p);
    std::vector<Grad> grads(size_t(opt.threads));
    std::vector<size_t> order(train.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;

    const size_t batches_per_epoch = (train.size() + size_t(opt.batch) - 1) / size_t(opt.batch);
    const double total_batches = double(batches_per_epoch) * opt.epochs;
    const auto start = std::chrono::steady_clock::now();
    size_t seen = 0;
    for (int epoch = first_epoch; epoch < opt.epochs; ++epoch) {
        std::shuffle(order.begin(), order.end(), rng);
        Losses epoch_loss;
        size_t epoch_n = 0;
        auto last_print = std::chrono::steady_clock::now();
        for (size_t b = 0; b < batches_per_epoch; ++b) {
            const size_t begin = b * size_t(opt.batch), end = std::min(train.size(), begin + size_t(opt.batch));
            // Cosine decay from lr to final_lr over the whole run.
            const double progress = (double(epoch) * double(batches_per_epoch) + double(b)) / total_batches;
            const float lr = opt.final_lr + 0.5f * (opt.lr - opt.final_lr) * float(1.0 + std::cos(M_PI * progress));

            parallel(opt.threads, end - begin, [&](int t, size_t lo, size_t hi) {
                Grad& g = grads[size_t(t)];
                g.loss = {};
                auto f = std::make_unique<Forward>();
                float dy, dx[3];
                for (size_t i = begin + lo; i < begin + hi; ++i) {
                    const Sample& s = train[order[i]];
                    forward(p, derived, s, *f);
                    const Losses l = losses(*f, s, opt.lambda, dy, dx);
                    g.loss.eval += l.eval;
                    g.loss.head += l.head;
                    backward(derived, s, *f, dy, dx, g, opt.freeze_features);
                }
            });

            // Sum the threads' gradients (mean over the batch) and step.
            ++adam.step;
            const float scale = 1.0f / float(end - begin);
            const float lr_t = lr * std::sqrt(1.0f - std::pow(Adam::B2, float(adam.step)))
                               / (1.0f - std::pow(Adam::B1, float(adam.step)));
            // By input feature: its 8 bucket rows, then the shared row with their summed
            // gradient, then the combined rows the next batch reads.
            if (!opt.freeze_features) parallel(opt.threads, NNUE_INPUTS, [&](int, size_t lo, size_t hi) {
                alignas(32) float sum[H], shared[H];
                for (size_t f = lo; f < hi; ++f) {
                    bool any_bucket = false;
                    std::fill(shared, shared + H, 0.0f);
                    for (int bucket = 0; bucket < KB; ++bucket) {
                        const size_t r = size_t(bucket) * NNUE_INPUTS + f;
                        bool any = false;
                        for (auto& g : grads) any |= g.touched[r] != 0;
                        if (!any) continue;
                        any_bucket = true;
                        std::fill(sum, sum + H, 0.0f);
                        for (auto& g : grads) {
                            if (!g.touched[r]) continue;
                            float* row = g.ft.data() + r * H;
                            for (int i = 0; i < H; ++i) sum[i] += row[i] * scale;
                            std::fill(row, row + H, 0.0f);
                            g.touched[r] = 0;
                        }
                        for (int i = 0; i < H; ++i) shared[i] += sum[i];
                        Adam::update(p.ft.data() + r * H, adam.m.ft.data() + r * H, adam.v.ft.data() + r * H,
                                     sum, H, lr_t, FT_CLIP);
                    }
                    if (!any_bucket) continue;
                    const size_t r = size_t(FACTOR) * NNUE_INPUTS + f;
                    Adam::update(p.ft.data() + r * H, adam.m.ft.data() + r * H, adam.v.ft.data() + r * H, shared,
                                 H, lr_t, FT_CLIP);
                    derived.combine_feature(p, int(f));
                }
            });
            const auto dense = [&](std::vector<float> Grad::*field, std::vector<float>& w, std::vector<float>& m,
                                   std::vector<float>& v, float clip) {
                std::vector<float> sum(w.size(), 0.0f);
                for (auto& g : grads) {
                    auto& src = g.*field;
                    for (size_t i = 0; i < sum.size(); ++i) sum[i] += src[i] * scale;
                    std::fill(src.begin(), src.end(), 0.0f);
                }
                Adam::update(w.data(), m.data(), v.data(), sum.data(), int(w.size()), lr_t, clip);
            };
            if (!opt.freeze_features) dense(&Grad::ft_bias, p.ft_bias, adam.m.ft_bias, adam.v.ft_bias, FT_CLIP);
            dense(&Grad::out, p.out, adam.m.out, adam.v.out, OUT_CLIP);
            dense(&Grad::out_bias, p.out_bias, adam.m.out_bias, adam.v.out_bias, BIAS_CLIP);
            dense(&Grad::head, p.head, adam.m.head, adam.v.head, OUT_CLIP);
            dense(&Grad::head_bias, p.head_bias, adam.m.head_bias, adam.v.head_bias, BIAS_CLIP);
            derived.round_outputs(p);

            for (auto& g : grads) epoch_loss.eval += g.loss.eval, epoch_loss.head += g.loss.head;
            epoch_n += end - begin;
            seen += end - begin;
            const auto now = std::chrono::steady_clock::now();
            if (now - last_print > std::chrono::seconds(20) || b + 1 == batches_per_epoch) {
                last_print = now;
                const double secs = std::chrono::duration<double>(now - start).count();
                std::printf("epoch %d batch %zu/%zu  loss %.6f  head %.4f  lr %.2e  %.0f pos/s  elapsed %.0f s\n",
                            epoch + 1, b + 1, batches_per_epoch, epoch_loss.eval / double(epoch_n),
                            epoch_loss.head / double(epoch_n), double(lr), double(seen) / secs, secs);
                std::fflush(stdout);
            }
        }
        const Losses v = evaluate_set(p, derived, valid, opt.lambda, opt.threads);
        std::printf("epoch %d done: train loss %.6f  validation loss %.6f  validation head %.4f\n", epoch + 1,
                    epoch_loss.eval / double(epoch_n), v.eval, v.head);
        std::fflush(stdout);
        if (!opt.checkpoint.empty() && !save_checkpoint(opt.checkpoint, p, adam, epoch + 1))
            std::printf("cannot write checkpoint %s\n", opt.checkpoint.c_str());
        const std::vector<uint8_t> bytes = network_bytes(p);
        if (!write_file(opt.out, bytes.data(), bytes.size())) usage("cannot write " + opt.out);
    }
    if (first_epoch >= opt.epochs) {
        const std::vector<uint8_t> bytes = network_bytes(p);
        if (!write_file(opt.out, bytes.data(), bytes.size())) usage("cannot write " + opt.out);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("wrote %s after %.0f s of training\n", opt.out.c_str(), secs);
    check_quantised(opt.out, p, derived, held, valid);
    return 0;
}
