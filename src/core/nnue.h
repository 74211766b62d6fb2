// The neural evaluation: the quantised weight file (Network, read once and shared read-only by
// every thread) and NnueEval, a per-thread evaluator that follows the search's move stack with
// per-ply accumulators, updates them lazily when a score is asked for, and rebuilds them from a
// per-evaluator cache when a king changes bucket. All arithmetic is exact integer arithmetic, so
// the vector and scalar paths agree bit for bit. Relies on init_attacks() having run.
#pragma once

#include "eval.h"
#include "position.h"
#include "types.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmar {

inline constexpr int NNUE_INPUTS = 768;  // rows per king bucket: 2 sides x 6 types x 64 squares
inline constexpr int NNUE_HIDDEN = 1024; // hidden neurons per perspective
inline constexpr int NNUE_MAX_OUTPUT_BUCKETS = 8;
inline constexpr int NNUE_ACTIVATION_MAX = 255; // clipping bound, also the hidden-value scale
inline constexpr int NNUE_OUTPUT_SCALE = 16320; // 255 x 64: the scale of output sums and biases
inline constexpr int NNUE_STACK_SIZE = 136;     // accumulator entries: the root plus 135 plies

// Hidden sums of one perspective. Sums wrap modulo 2^16 (feature weights are not range
// checked), which keeps incremental updates exact in any order.
struct alignas(64) Acc {
    int16_t v[NNUE_HIDDEN];
    bool operator==(const Acc&) const = default;
};

// Both perspectives of one position, indexed by colour, with the king keys they were built for.
struct AccPair {
    Acc acc[2];
    uint8_t king_key[2] = {0, 0};
};

// Memory from std::aligned_alloc, released with std::free.
struct FreeDeleter {
    void operator()(int16_t* p) const;
};
using AlignedWeights = std::unique_ptr<int16_t[], FreeDeleter>;

// Immutable once built. File layout (little-endian int16, no header; the length fixes the shape):
//   feature weights K x 768 rows x 1024 | feature bias 1024 | output weights O x 2048 |
//   output biases O | [head weights 3 x 2048: win, draw, loss | head biases: loss, draw, win] |
//   optional padding to a multiple of 64 bytes.
// A bucket's or head output's 2048 weights are 1024 for the side to move, then 1024 for the
// opponent. Weight order in memory is the file's order; no permutation is needed because the
// output layer sums over all hidden values in whatever order the lanes meet them.
class Network {
public:
    // Pure: reads only `bytes`. Errors: the size message, the output weight range message, or
    // "not enough memory ..." when the weights cannot be allocated.
    static Result<Network> from_bytes(std::span<const uint8_t> bytes);

    uint32_t king_buckets() const { return king_buckets_; }
    uint32_t output_buckets() const { return output_buckets_; }
    bool has_head() const { return has_head_; }

    // Feature row `row` (0 .. king_buckets x 768 - 1), 1024 values, 64-byte aligned.
    const int16_t* row(int row) const { return ft_.get() + size_t(row) * NNUE_HIDDEN; }
    size_t row_count() const { return size_t(king_buckets_) * NNUE_INPUTS; }
    const int16_t* feature_bias() const { return ft_.get() + row_count() * NNUE_HIDDEN; }
    // Always 8 buckets; those past output_buckets() are zero.
    const int16_t* output_weights(int bucket) const {
        return out_.get() + bucket * 2 * NNUE_HIDDEN;
    }
    int32_t output_bias(int bucket) const { return output_bias_[bucket]; }
    // Head output k: 0 win, 1 draw, 2 loss. Only when has_head().
    const int16_t* head_weights(int k) const {
        return out_.get() + (NNUE_MAX_OUTPUT_BUCKETS + k) * 2 * NNUE_HIDDEN;
    }
    int32_t head_bias(int k) const { return head_bias_[k]; }

private:
    Network() = default;

    uint32_t king_buckets_ = 1;
    uint32_t output_buckets_ = 1;
    bool has_head_ = false;
    AlignedWeights ft_;  // feature rows, then the feature bias
    AlignedWeights out_; // 8 output buckets, then the 3 head outputs when present
    int32_t output_bias_[NNUE_MAX_OUTPUT_BUCKETS] = {};
    int32_t head_bias_[3] = {}; // win, draw, loss
};

// Whole-file read plus from_bytes, for the EvalFile option. The length is checked against the
// accepted sizes before the file is read, and only a regular file is read. Errors carry the
// system's text or the file reader's refusal for an unreadable file, else the from_bytes
// message. Prints nothing.
Result<std::shared_ptr<const Network>> load_network_file(const std::string& path);

// The built-in network (8 king buckets, 8 output buckets, W/D/L head, 12,630,080 bytes) is
// assembled into the program. get() builds it on first use (thread-safe) and returns the same
// pointer ever after; an invalid image ends the process.
struct DefaultNet {
    static constexpr size_t SIZE = 12'630'080;
    std::span<const uint8_t> image() const;
    std::shared_ptr<const Network> get() const;
};
inline constexpr DefaultNet DEFAULT_NET{};

// King key = 2 x king bucket + mirror bit (king on files e-h, seen from its own side).
// Always 0 with one king bucket.
uint8_t king_key(uint32_t king_buckets, Color perspective, Square king_sq);
std::pair<uint8_t, uint8_t> king_keys(uint32_t king_buckets, const Position& pos); // white, black

// Output bucket from the number of pieces on the board, kings included.
int output_bucket(uint32_t output_buckets, const Position& pos);

// From scratch: feature bias plus the rows of every piece, for both perspectives.
AccPair refresh(const Network& net, const Position& pos);
// Sum over 2048 values of v x (v x w), v = clip(a, 0, 255), v x w formed in 16 bits; the
// 32-bit sum wraps. `weights`: 1024 for `us`, then 1024 for `them`.
int32_t output_sum(const Acc& us, const Acc& them, const int16_t* weights);

// Reference twins, always plain scalar code: the tests hold the vector paths to them.
AccPair refresh_scalar(const Network& net, const Position& pos);
int32_t output_sum_scalar(const Acc& us, const Acc& them, const int16_t* weights);
int32_t evaluate_scalar(const Network& net, const Position& pos); // from scratch

// Per-thread neural evaluator. Copying copies the stack, the index and the cache and shares
// the network.
class NnueEval final : public Evaluator {
public:
    explicit NnueEval(std::shared_ptr<const Network> network);

    void reset(const Position& root) override;
    void push_move(const Position& before, Move m) override;
    void pop_move() override;
    int32_t evaluate(const Position& pos) override;
    std::optional<WdlProbs> wdl(const Position& pos) override;

    const Network& network() const { return *net_; }
    const std::shared_ptr<const Network>& network_ptr() const { return net_; }
    // The current entry's accumulator of a perspective; valid after evaluate().
    const Acc& accumulator(Color perspective) const { return stack_[index_].acc[perspective]; }

private:
    // One ply. The update record is what the push of the move leading here changed.
    struct alignas(64) Entry {
        Acc acc[2];
        uint8_t add_count = 0, sub_count = 0;
        uint8_t add_piece[2] = {}, add_sq[2] = {};
        uint8_t sub_piece[2] = {}, sub_sq[2] = {};
        uint8_t king_key[2] = {};
        bool computed[2] = {false, false};
    };
    // Invariant: acc = feature bias + rows of every piece in `pieces`, with this entry's
    // perspective, bucket and mirroring.
    struct alignas(64) CacheEntry {
        Acc acc;
        Bitboard pieces[12] = {}; // by piece code
    };

    void update(Color p, const Position& pos);
    void refresh_from_cache(Color p, const Position& pos);

    std::shared_ptr<const Network> net_;
    std::vector<Entry> stack_;
    int index_ = 0;
    std::vector<CacheEntry> cache_; // empty with one king bucket; index p x 2K + key
};

static_assert(ConcreteEvaluator<NnueEval>);

} // namespace velmar
