// The router policy network (files KWT1 to KWT4): 768 piece-square inputs, one or two dense
// hidden layers, and a two-factor score per legal move (which piece moves, then where it goes),
// each factor normalised by its own softmax. Also the move and piece features both router kinds
// read, the per-thread log-probability cache shared by the two network policies, and
// RouterPolicy. Loaders are pure; a loaded network is immutable and shared read-only.
#pragma once

#include "movegen.h"
#include "ordering.h"
#include "position.h"
#include "types.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmar {

inline constexpr uint32_t ROUTER_MAX_HIDDEN = 4096;
inline constexpr int ROUTER_INPUTS = 768;
inline constexpr int ROUTER_MOVE_FLAGS = 18;
inline constexpr int ROUTER_PIECE_FLAGS = 8;

// Move-flag bits (the exact tests are documented at move_flags() in router.cpp).
namespace move_flag {
inline constexpr uint32_t CAPTURED_PAWN = 1u << 0; // bits 0-4: captured type one-hot
inline constexpr uint32_t CHECK = 1u << 5;
inline constexpr uint32_t LOSING = 1u << 6;
inline constexpr uint32_t DEST_ATTACKED = 1u << 7;
inline constexpr uint32_t DEST_PAWN_ATTACKED = 1u << 8;
inline constexpr uint32_t CASTLING = 1u << 9;
inline constexpr uint32_t FROM_ATTACKED = 1u << 10;
inline constexpr uint32_t PROMOTION = 1u << 11;
inline constexpr uint32_t WINNING = 1u << 12;
inline constexpr uint32_t ESCAPES_PAWN = 1u << 13;
inline constexpr uint32_t ESCAPES = 1u << 14;
inline constexpr uint32_t NEAR_KING = 1u << 15;
inline constexpr uint32_t PASSED = 1u << 16;
inline constexpr uint32_t ADVANCED = 1u << 17;
} // namespace move_flag

// Piece-flag bits, per moving piece.
namespace piece_flag {
inline constexpr uint8_t ATTACKED = 1u << 0;
inline constexpr uint8_t PAWN_ATTACKED = 1u << 1;
inline constexpr uint8_t SAFE_CAPTURE = 1u << 2;
inline constexpr uint8_t CHECKS = 1u << 3;
inline constexpr uint8_t UNDEFENDED = 1u << 4;
inline constexpr uint8_t WINS = 1u << 5;
inline constexpr uint8_t SEVENTH = 1u << 6;
inline constexpr uint8_t CASTLES = 1u << 7;
} // namespace piece_flag

// One move as both networks see it: squares oriented for the side to move (XOR 56 for Black).
struct RouterMove {
    uint8_t type = 0; // moving piece type (a pawn for promotions)
    uint8_t from = 0;
    uint8_t to = 0;
    uint8_t promo = 0; // 0 none, 1 knight, 2 bishop, 3 rook, 4 queen
    uint32_t flags = 0;
};

uint32_t move_flags(const Position& pos, Move m);
// The bits of a piece that do not depend on its moves (0, 1, 4 and 6).
uint8_t piece_flags_of_square(const Position& pos, Square from);

// Fills out[0..count) and, per oriented from-square of the moves, the piece flags collected
// over all moves of that piece (other entries are left alone).
void describe_moves(const Position& pos, const Move* moves, int count, RouterMove* out,
                    std::array<uint8_t, 64>& piece_flags);

// Numerically safe log-softmax of v[0..n) in place.
void log_softmax(float* v, int n);

// Working memory of one caller: sized on first use for the network, then reused, so a call of
// log_probs allocates nothing.
struct RouterScratch {
    std::vector<float> hidden1, hidden2, gated;
    std::array<RouterMove, MoveList::CAPACITY> moves;
    std::array<float, MoveList::CAPACITY> dest;
    std::array<uint8_t, 64> piece_flags;
};

enum class RouterActivation : uint8_t { RELU, SQUARED_CLIPPED };

class RouterNet {
public:
    // Pure: reads only `bytes`. Every refusal carries the message the front end prints.
    static Result<RouterNet> from_bytes(std::span<const uint8_t> bytes);
    // Every array allocated; input weights, piece-square embedding and second-layer weights from
    // a xorshift generator seeded with 1, the rest zero, scale 1, squared clipped rectifier.
    static RouterNet new_v4(uint32_t h1, uint32_t h2);
    // A complete network of the given file version (1-4; h2 is ignored below 4) whose every
    // array present in that version holds seeded pseudo-random values. For tests and tools.
    static RouterNet random(uint32_t version, uint32_t h1, uint32_t h2, uint64_t seed);
    // The exact file length of a version and sizes. The largest is KWT4 at 4096 x 4096:
    // 98,699,412 bytes.
    static uint64_t file_size(uint32_t version, uint32_t h1, uint32_t h2);
    // The bytes that fix a file's length: magic, hidden sizes and scale (KWT1-KWT3: 12).
    static constexpr size_t HEADER_BYTES = 16;
    // Checks a file's first bytes (HEADER_BYTES, or the whole of a shorter file) against its
    // length before the rest is read: the refusal from_bytes would give, else the length.
    static Result<uint64_t> check_length(std::span<const uint8_t> head, uint64_t length);
    // The file this network would be read from (from_bytes(to_bytes()) gives it back).
    std::vector<uint8_t> to_bytes() const;

    static float dot(std::span<const float> a, std::span<const float> b);

    // One log-probability per move, in the given order. Allocates only when `scratch` is new.
    void log_probs(const Position& pos, const Move* moves, int count, float* out,
                   RouterScratch& scratch) const;
    std::vector<float> log_probs(const Position& pos, std::span<const Move> moves) const;

    // The twelve weight arrays in file-table order (input weights ... destination gate), for a
    // trainer that starts from new_v4 and writes the result with to_bytes.
    std::array<std::span<float>, 12> arrays();

    uint32_t version() const { return version_; }
    uint32_t hidden() const { return h1_; }
    uint32_t hidden2() const { return h2_; }
    float scale() const { return scale_; }
    RouterActivation activation() const { return activation_; }

private:
    RouterNet() = default;
    void allocate(uint32_t h1, uint32_t h2);
    // Length of the embedding rows: the last hidden layer.
    uint32_t embed_size() const { return h2_ > 0 ? h2_ : h1_; }

    uint32_t version_ = 4;
    uint32_t h1_ = 0, h2_ = 0;
    float scale_ = 1.0f;
    RouterActivation activation_ = RouterActivation::SQUARED_CLIPPED;
    std::vector<float> input_weights_;      // 768 rows of h1
    std::vector<float> input_bias_;         // h1
    std::vector<float> piece_embed_;        // 384 rows (type, from) of G
    std::vector<float> piece_bias_;         // 384
    std::vector<float> dest_embed_;         // 384 rows (type, to) of G
    std::vector<float> move_bias_;          // 24576: type x 4096 + from x 64 + to
    std::vector<float> promo_bias_;         // 5
    std::vector<float> move_flag_weights_;  // 6 x 18
    std::vector<float> piece_flag_weights_; // 6 x 8
    std::vector<float> l2_weights_;         // h2 rows of h1
    std::vector<float> l2_bias_;            // h2
    std::vector<float> dest_gate_;          // 384 rows (type, from) of h2
};

// Option values the network policies are built from.
struct RouterSettings {
    uint64_t plies = 2;        // RouterPlies: consulted below this ply
    double reduce_scale = 0.6; // RouterReduce / 10
    int32_t min_depth = 2;     // RouterMinDepth
    int32_t order_bonus = 0;   // RouterOrderBonus
    bool order = false;        // RouterOrder: the policy's scores order the moves
    bool delta = true;         // RouterMode Delta (true) or Replace
};

struct CachedMove {
    Move move;
    float log_prob;
};

// The behaviour both network policies share: a per-position cache of log-probabilities, so the
// network runs at most once per position and move list, and the scores, bonuses and reductions
// derived from it. Owned by one search thread.
class RouterPolicyBase : public MovePolicy {
public:
    // Above this many entries the whole cache is dropped before the next store.
    static constexpr size_t CACHE_LIMIT = 100'000;

    int32_t min_depth() const override { return settings_.min_depth; }
    bool wants(int ply, int depth) const override {
        return depth >= settings_.min_depth && ply >= 0 && uint64_t(ply) < settings_.plies;
    }
    bool keeps_normal_order() const override { return !settings_.order; }
    bool ranks_tt_move() const override { return false; }
    bool score_moves(const Position& pos, const Move* moves, int count, int32_t* scores, int ply,
                     int depth) override;
    std::optional<int32_t> reduction(const Position& pos, Move m, int depth) override;
    bool reduction_is_delta() const override { return settings_.delta; }
    bool uses_order_bonus() const override { return settings_.order_bonus > 0; }
    int32_t quiet_order_bonus(const Position& pos, Move m) override;
    void new_search() override { cache_.clear(); }

    const RouterSettings& settings() const { return settings_; }
    // Network runs so far (statistics and tests).
    uint64_t evaluations() const { return evaluations_; }
    size_t cache_size() const { return cache_.size(); }
    const std::vector<CachedMove>* cached(uint64_t key) const;

protected:
    explicit RouterPolicyBase(const RouterSettings& settings) : settings_(settings) {}
    // One log-probability per move into out[0..count).
    virtual void run_network(const Position& pos, const Move* moves, int count, float* out) = 0;

private:
    const std::vector<CachedMove>& lookup_or_fill(const Position& pos, const Move* moves,
                                                  int count);
    const std::vector<CachedMove>& fill(const Position& pos, const Move* moves, int count);

    RouterSettings settings_;
    uint64_t evaluations_ = 0;
    std::unordered_map<uint64_t, std::vector<CachedMove>> cache_;
    std::array<float, MoveList::CAPACITY> out_{};
    MoveList all_moves_;
};

class RouterPolicy final : public RouterPolicyBase {
public:
    RouterPolicy(std::shared_ptr<const RouterNet> net, const RouterSettings& settings)
        : RouterPolicyBase(settings), net_(std::move(net)) {}
    std::string_view name() const override { return "router"; }

private:
    void run_network(const Position& pos, const Move* moves, int count, float* out) override {
        net_->log_probs(pos, moves, count, out, scratch_);
    }

    std::shared_ptr<const RouterNet> net_;
    RouterScratch scratch_;
};

} // namespace velmar
