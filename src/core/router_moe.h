// The mixture-of-experts router (file KWT5): a small residual convolution tower over the 8x8
// board, a piece factor per moving piece, and a destination factor from gated expert heads for
// the top-k candidate pieces. Same two-level log-probability output as RouterNet, and the same
// cached policy behaviour. The loader is pure; a loaded network is immutable and shared. Also
// read_router_file, which reads a file of either router kind.
#pragma once

#include "router.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velmar {

inline constexpr uint32_t MOE_PLANES = 19;
inline constexpr uint32_t MOE_MAX_CHANNELS = 256;
inline constexpr uint32_t MOE_MAX_BLOCKS = 16;
inline constexpr int MOE_PIECE_EMBED = 8;  // per piece type, appended to the tower values
inline constexpr int MOE_MOVE_INPUTS = 66; // expert inputs besides the 12 C tower values
inline constexpr int MOE_GATE_INPUTS = 6;
// Experts that score a move: the best of the gate, at most this many.
inline constexpr int MOE_ACTIVE_EXPERTS = 2;

// Output planes start as their bias, then add the 3x3 neighbourhood of every input plane with
// kernel [out][in][ky][kx] (ky, kx = 0..2 for rank and file offsets -1..1), zero outside the
// board. `in` holds in_count planes of 64 floats, `out` out_count planes; no aliasing.
void conv3x3_8x8(const float* in, const float* weights, const float* bias, int in_count,
                 int out_count, float* out);

struct ResBlockWeights {
    std::vector<float> conv1; // C x C x 9
    std::vector<float> bias1; // C
    std::vector<float> conv2;
    std::vector<float> bias2;
};

// Working memory of one caller, sized on first use and reused.
struct MoeScratch {
    std::vector<float> planes, x, y, tmp, mean, z, piece_in, expert_in;
    std::array<RouterMove, MoveList::CAPACITY> moves;
    std::array<float, MoveList::CAPACITY> dest;
    std::array<uint8_t, 64> piece_flags;
};

class RouterMoeNet {
public:
    static Result<RouterMoeNet> from_bytes(std::span<const uint8_t> bytes);
    // Every field from a seeded generator. For tests and tools.
    static RouterMoeNet random(uint32_t channels, uint32_t blocks, uint32_t experts, uint64_t seed);
    static uint64_t file_size(uint32_t channels, uint32_t blocks, uint32_t experts);
    // Magic, C, B, E and the plane count.
    static constexpr size_t HEADER_BYTES = 20;
    // Checks a file's first bytes (HEADER_BYTES, or the whole of a shorter file) against its
    // length before the rest is read: the header refusals of from_bytes, or a length other
    // than file_size of the header's C, B and E; else the length.
    static Result<uint64_t> check_length(std::span<const uint8_t> head, uint64_t length);
    std::vector<uint8_t> to_bytes() const;

    // top_k = 0: every moving piece gets the full destination evaluation.
    void log_probs(const Position& pos, const Move* moves, int count, uint32_t top_k, float* out,
                   MoeScratch& scratch) const;
    std::vector<float> log_probs(const Position& pos, std::span<const Move> moves,
                                 uint32_t top_k) const;

    uint32_t channels() const { return c_; }
    uint32_t blocks() const { return uint32_t(blocks_.size()); }
    uint32_t experts() const { return e_; }
    size_t expert_inputs() const { return 12 * size_t(c_) + MOE_MOVE_INPUTS; }

private:
    RouterMoeNet() = default;
    void allocate(uint32_t channels, uint32_t blocks, uint32_t experts);
    // Fields in file order, for the reader, the writer and random().
    template <typename F> void for_each_field(F&& f);

    uint32_t c_ = 0, e_ = 0;
    std::vector<float> stem_;      // C x 19 x 9
    std::vector<float> stem_bias_; // C
    std::vector<ResBlockWeights> blocks_;
    std::vector<float> piece_embed_;  // 6 x 8
    std::vector<float> proj_;         // C rows of C + 8
    std::vector<float> proj_bias_;    // C
    std::vector<float> proj_out_;     // C
    std::vector<float> piece_offset_; // 1
    std::vector<float> experts_;      // E rows of 12C + 66
    std::vector<float> gate_;         // E x 6, on the gate inputs
    std::vector<float> gate2_;        // E x 6, on SiLU(gate inputs + gate bias)
    std::vector<float> gate_bias_;    // 6
    std::vector<float> move_bias_;    // 24576
};

class RouterMoePolicy final : public RouterPolicyBase {
public:
    RouterMoePolicy(std::shared_ptr<const RouterMoeNet> net, const RouterSettings& settings,
                    uint32_t top_k)
        : RouterPolicyBase(settings), net_(std::move(net)), top_k_(top_k) {}
    std::string_view name() const override { return "router-moe"; }
    uint32_t top_k() const { return top_k_; }

private:
    void run_network(const Position& pos, const Move* moves, int count, float* out) override {
        net_->log_probs(pos, moves, count, top_k_, out, scratch_);
    }

    std::shared_ptr<const RouterMoeNet> net_;
    uint32_t top_k_;
    MoeScratch scratch_;
};

// Reads a whole router file of either kind (KWT1-KWT4 or KWT5), after checking its length
// against its header, so that a huge file is refused before anything large is allocated.
// Errors: the system's text, the file reader's refusals, or the check_length message.
Result<std::vector<uint8_t>> read_router_file(const std::string& path);

} // namespace velmar
