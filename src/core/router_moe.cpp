#include "router_moe.h"

#include "see.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

// The expert head, fixed here because nothing outside this file constrains it beyond the field
// sizes of the file:
//
// Expert input, 12 C + 66 values per move (squares oriented for the side to move):
//   [0, C)        tower values at the from-square
//   [C, 2C)       tower values at the to-square
//   [2C, 3C)      their element-wise product
//   [3C, 11C)     tower values at the 8 neighbours of the to-square, in the order (file, rank)
//                 offsets (-1,-1) (0,-1) (1,-1) (-1,0) (1,0) (-1,1) (0,1) (1,1); 0 off the board
//   [11C, 12C)    the board mean of each channel
//   then 66 move features, at 12C + i:
//   0-4    promotion kind one-hot (0 none, 1 knight, 2 bishop, 3 rook, 4 queen)
//   5      capture indicator
//   6      captured value: the exchange values / 1000 (pawn 0.1 ... queen 0.95); en passant 0.1
//   7-12   moving piece type one-hot
//   13-30  the 18 move-flag bits of router.cpp
//   31-38  the 8 piece-flag bits of the moving piece
//   39-46  to-square file one-hot
//   47-54  to-square rank one-hot
//   55-56  file and rank step (to - from) / 7
//   57     king distance from -> to / 7
//   58     king distance from the to-square to the opponent king / 7
//   59     king distance from the to-square to the own king / 7
//   60     moves of this piece in the list / 8
//   61     moves in the list / 32
//   62     the piece's log-probability (step 5)
//   63     the to-square is on the board's edge
//   64     the side to move is in check
//   65     constant 1
//
// Gate: inputs u = (1, capture, captured value, gives check, promotion, piece type / 5).
//   logit_e = sum_j gate[e][j] u_j + sum_j gate2[e][j] SiLU(u_j + gate_bias_j).
// The MOE_ACTIVE_EXPERTS experts with the highest logits (ties to the lower index) are mixed
// with the softmax of their logits; the others are not evaluated. Destination logit =
// mix of expert dot products + move bias (type, from, to).
//
// Top-k: moves of pieces cut by RouterTopK get no destination evaluation; their destination
// logits are all 0, so each such move has its piece's log-probability minus ln(moves of that
// piece): the probabilities still sum to 1 and the piece keeps its whole share.

namespace velmar {

namespace {

constexpr std::string_view NOT_KWT5 = "not an KWT5 router network file";
constexpr uint64_t MOVE_BIAS_SIZE = 6 * 4096;

uint32_t read_u32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16
           | uint32_t(b[at + 3]) << 24;
}
void write_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

struct XorShift {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    float uniform() { return float(double(next() >> 11) * 0x1.0p-52 - 1.0); }
};

inline float silu(float v) {
    return v / (1.0f + std::exp(-v));
}

int king_distance(int a, int b) {
    return std::max(std::abs(file_of(a) - file_of(b)), std::abs(rank_of(a) - rank_of(b)));
}

Bitboard oriented(Bitboard b, Color us) {
    return us == WHITE ? b : __builtin_bswap64(b);
}

constexpr int NEIGHBOUR_STEPS[8][2] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0},
                                       {1, 0},   {-1, 1}, {0, 1},  {1, 1}};

} // namespace

void conv3x3_8x8(const float* in, const float* weights, const float* bias, int in_count,
                 int out_count, float* out) {
    for (int o = 0; o < out_count; ++o)
        std::fill(out + o * 64, out + o * 64 + 64, bias[o]);
    // Per input plane, three copies shifted by one file left, none and right, with an empty
    // rank above and below: every tap is then one multiply-add over 64 contiguous floats.
    alignas(32) float pad[3][80];
    for (int i = 0; i < in_count; ++i) {
        const float* p = in + size_t(i) * 64;
        for (int kx = 0; kx < 3; ++kx) {
            std::fill(pad[kx], pad[kx] + 8, 0.0f);
            std::fill(pad[kx] + 72, pad[kx] + 80, 0.0f);
            for (int r = 0; r < 8; ++r)
                for (int x = 0; x < 8; ++x) {
                    const int sx = x + kx - 1;
                    pad[kx][(r + 1) * 8 + x] = sx >= 0 && sx < 8 ? p[r * 8 + sx] : 0.0f;
                }
        }
        for (int o = 0; o < out_count; ++o) {
            const float* k = weights + (size_t(o) * in_count + i) * 9;
            float* dst = out + size_t(o) * 64;
            for (int ky = 0; ky < 3; ++ky)
                for (int kx = 0; kx < 3; ++kx) {
                    const float kv = k[ky * 3 + kx];
                    const float* src = pad[kx] + ky * 8;
                    for (int s = 0; s < 64; ++s)
                        dst[s] += kv * src[s];
                }
        }
    }
}

template <typename F> void RouterMoeNet::for_each_field(F&& f) {
    const uint64_t c = c_, e = e_;
    if (!f(stem_, c * MOE_PLANES * 9)) return;
    if (!f(stem_bias_, c)) return;
    for (ResBlockWeights& b : blocks_) {
        if (!f(b.conv1, 9 * c * c) || !f(b.bias1, c) || !f(b.conv2, 9 * c * c) || !f(b.bias2, c))
            return;
    }
    if (!f(piece_embed_, 6 * MOE_PIECE_EMBED)) return;
    if (!f(proj_, c * (c + MOE_PIECE_EMBED))) return;
    if (!f(proj_bias_, c)) return;
    if (!f(proj_out_, c)) return;
    if (!f(piece_offset_, 1)) return;
    if (!f(experts_, e * (12 * c + MOE_MOVE_INPUTS))) return;
    if (!f(gate_, e * MOE_GATE_INPUTS)) return;
    if (!f(gate2_, e * MOE_GATE_INPUTS)) return;
    if (!f(gate_bias_, MOE_GATE_INPUTS)) return;
    f(move_bias_, MOVE_BIAS_SIZE);
}

void RouterMoeNet::allocate(uint32_t channels, uint32_t blocks, uint32_t experts) {
    c_ = channels;
    e_ = experts;
    blocks_.assign(blocks, {});
    for_each_field([](std::vector<float>& v, uint64_t n) {
        v.assign(size_t(n), 0.0f);
        return true;
    });
}

uint64_t RouterMoeNet::file_size(uint32_t channels, uint32_t blocks, uint32_t experts) {
    const uint64_t c = channels, e = experts;
    const uint64_t floats = c * MOE_PLANES * 9 + c + blocks * (18 * c * c + 2 * c)
                            + 6 * MOE_PIECE_EMBED + c * (c + MOE_PIECE_EMBED) + 2 * c + 1
                            + e * (12 * c + MOE_MOVE_INPUTS) + 2 * e * MOE_GATE_INPUTS
                            + MOE_GATE_INPUTS + MOVE_BIAS_SIZE;
    return HEADER_BYTES + 4 * floats;
}

namespace {

struct MoeHeader {
    uint32_t c = 0, b = 0, e = 0;
};

Result<MoeHeader> parse_header(std::span<const uint8_t> head) {
    if (head.size() < RouterMoeNet::HEADER_BYTES || std::memcmp(head.data(), "KWT5", 4) != 0)
        return Error{std::string(NOT_KWT5)};
    const uint32_t c = read_u32(head, 4), b = read_u32(head, 8), e = read_u32(head, 12),
                   planes = read_u32(head, 16);
    if (e < 1 || b > MOE_MAX_BLOCKS || c < 1 || c > MOE_MAX_CHANNELS || planes != MOE_PLANES)
        return Error{"invalid KWT5 header C=" + std::to_string(c) + " B=" + std::to_string(b)
                     + " E=" + std::to_string(e) + " in=" + std::to_string(planes)};
    return MoeHeader{c, b, e};
}

} // namespace

// The expert count is only bounded by 32 bits, so the length a header asks for may run to
// terabytes; file_size cannot overflow, its largest term being below 2^32 x 3138 floats.
Result<uint64_t> RouterMoeNet::check_length(std::span<const uint8_t> head, uint64_t length) {
    Result<MoeHeader> header = parse_header(head);
    if (!header.ok()) return header.error();
    const MoeHeader& h = header.value();
    const uint64_t total = file_size(h.c, h.b, h.e);
    if (length != total)
        return Error{"KWT5 file has " + std::to_string(length) + " bytes, C=" + std::to_string(h.c)
                     + " B=" + std::to_string(h.b) + " E=" + std::to_string(h.e) + " needs "
                     + std::to_string(total)};
    return length;
}

Result<RouterMoeNet> RouterMoeNet::from_bytes(std::span<const uint8_t> bytes) {
    Result<MoeHeader> header = parse_header(bytes);
    if (!header.ok()) return header.error();
    const uint32_t c = header.value().c, b = header.value().b, e = header.value().e;

    // Each field is checked against the bytes left before it is allocated, so a header with a
    // huge expert count costs nothing.
    RouterMoeNet net;
    net.c_ = c;
    net.e_ = e;
    net.blocks_.resize(b);
    uint64_t at = HEADER_BYTES;
    std::string error;
    auto read_field = [&](std::vector<float>& v, uint64_t n) {
        if (n > (bytes.size() - at) / 4) {
            error = "truncated KWT5 file at byte " + std::to_string(at) + ", need "
                    + std::to_string(n) + " more";
            return false;
        }
        v.resize(size_t(n));
        for (uint64_t i = 0; i < n; ++i, at += 4) {
            const uint32_t bits = read_u32(bytes, size_t(at));
            std::memcpy(&v[size_t(i)], &bits, 4);
        }
        return true;
    };
    // The fields together are as large as the file, which may be more than memory allows.
    try {
        net.for_each_field(read_field);
    } catch (const std::bad_alloc&) {
        error = "not enough memory for a router of " + std::to_string(bytes.size()) + " bytes";
    } catch (const std::length_error&) {
        error = "not enough memory for a router of " + std::to_string(bytes.size()) + " bytes";
    }
    if (!error.empty()) return Error{error};
    if (at != bytes.size())
        return Error{"KWT5 file size mismatch: read " + std::to_string(at) + ", total "
                     + std::to_string(bytes.size())};
    return net;
}

RouterMoeNet RouterMoeNet::random(uint32_t channels, uint32_t blocks, uint32_t experts,
                                  uint64_t seed) {
    RouterMoeNet net;
    net.allocate(channels, blocks, experts);
    XorShift rng{seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL};
    if (rng.state == 0) rng.state = 1;
    // Scaled by fan-in so the tower neither dies nor explodes with depth.
    const float conv_scale = float(1.0 / std::sqrt(9.0 * channels));
    const float stem_scale = float(1.0 / std::sqrt(9.0 * MOE_PLANES));
    auto fill = [&](std::vector<float>& v, float scale) {
        for (float& x : v)
            x = scale * rng.uniform();
    };
    fill(net.stem_, stem_scale);
    fill(net.stem_bias_, 0.1f);
    for (ResBlockWeights& b : net.blocks_) {
        fill(b.conv1, conv_scale);
        fill(b.bias1, 0.1f);
        fill(b.conv2, 0.5f * conv_scale);
        fill(b.bias2, 0.1f);
    }
    fill(net.piece_embed_, 0.5f);
    fill(net.proj_, float(1.0 / std::sqrt(channels + 8.0)));
    fill(net.proj_bias_, 0.1f);
    fill(net.proj_out_, float(1.0 / std::sqrt(double(channels))));
    fill(net.piece_offset_, 0.5f);
    fill(net.experts_, float(1.0 / std::sqrt(double(net.expert_inputs()))));
    fill(net.gate_, 0.5f);
    fill(net.gate2_, 0.5f);
    fill(net.gate_bias_, 0.5f);
    fill(net.move_bias_, 0.5f);
    return net;
}

std::vector<uint8_t> RouterMoeNet::to_bytes() const {
    std::vector<uint8_t> out;
    out.reserve(size_t(file_size(c_, blocks(), e_)));
    for (char ch : {'K', 'W', 'T', '5'})
        out.push_back(uint8_t(ch));
    for (uint32_t v : {c_, blocks(), e_, MOE_PLANES})
        write_u32(out, v);
    // for_each_field is not const: it also serves the reader, which fills the fields.
    const_cast<RouterMoeNet*>(this)->for_each_field([&](std::vector<float>& v, uint64_t) {
        for (float x : v) {
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            write_u32(out, bits);
        }
        return true;
    });
    return out;
}

void RouterMoeNet::log_probs(const Position& pos, const Move* moves, int count, uint32_t top_k,
                             float* out, MoeScratch& s) const {
    count = std::min(count, MoveList::CAPACITY);
    if (count <= 0) return;
    const size_t c = c_;
    const size_t plane_floats = c * 64;
    if (s.planes.size() < MOE_PLANES * 64) s.planes.resize(MOE_PLANES * 64);
    if (s.x.size() < plane_floats) {
        s.x.resize(plane_floats);
        s.y.resize(plane_floats);
        s.tmp.resize(plane_floats);
        s.mean.resize(c);
        s.z.resize(c);
        s.piece_in.resize(c + MOE_PIECE_EMBED);
    }
    if (s.expert_in.size() < expert_inputs()) s.expert_in.resize(expert_inputs());

    // 1. Input planes, from the side to move's view.
    const Color us = pos.side_to_move(), them = us ^ 1;
    const int flip = us == WHITE ? 0 : 56;
    float* planes = s.planes.data();
    std::fill(planes, planes + MOE_PLANES * 64, 0.0f);
    for (Bitboard occ = pos.pieces(); occ;) {
        const Square sq = pop_lsb(occ);
        const Piece p = pos.piece_on(sq);
        planes[((color_of(p) == us ? 0 : 6) + type_of(p)) * 64 + (sq ^ flip)] = 1.0f;
    }
    const uint8_t rights[4] = {
        us == WHITE ? WHITE_OO : BLACK_OO, us == WHITE ? WHITE_OOO : BLACK_OOO,
        us == WHITE ? BLACK_OO : WHITE_OO, us == WHITE ? BLACK_OOO : WHITE_OOO};
    for (int i = 0; i < 4; ++i)
        if (pos.castling() & rights[i])
            std::fill(planes + (12 + i) * 64, planes + (13 + i) * 64, 1.0f);
    if (pos.en_passant() != SQ_NONE) planes[16 * 64 + (pos.en_passant() ^ flip)] = 1.0f;
    const Bitboard their_pawns = oriented(pos.pieces(them, PAWN), us);
    for (Bitboard a = ((their_pawns & ~FILE_A) >> 9) | ((their_pawns & ~FILE_H) >> 7); a;)
        planes[17 * 64 + pop_lsb(a)] = 1.0f;
    for (Bitboard own = oriented(pos.by_color(us), us); own;)
        planes[18 * 64 + pop_lsb(own)] = 1.0f;

    // 2-3. Tower.
    float* x = s.x.data();
    float* y = s.y.data();
    float* tmp = s.tmp.data();
    const int ci = int(c);
    conv3x3_8x8(planes, stem_.data(), stem_bias_.data(), int(MOE_PLANES), ci, x);
    for (size_t i = 0; i < plane_floats; ++i)
        x[i] = silu(x[i]);
    for (const ResBlockWeights& b : blocks_) {
        conv3x3_8x8(x, b.conv1.data(), b.bias1.data(), ci, ci, y);
        for (size_t i = 0; i < plane_floats; ++i)
            y[i] = silu(y[i]);
        conv3x3_8x8(y, b.conv2.data(), b.bias2.data(), ci, ci, tmp);
        for (size_t i = 0; i < plane_floats; ++i)
            x[i] = silu(x[i] + tmp[i]);
    }

    // 4. Piece factor per distinct from-square, in order of first appearance.
    describe_moves(pos, moves, count, s.moves.data(), s.piece_flags);
    std::array<int8_t, 64> group_of;
    group_of.fill(-1);
    std::array<uint8_t, 64> group_square{}, group_type{}, group_size{};
    std::array<float, 64> piece_logit{}, piece_lp{};
    int groups = 0;
    for (int i = 0; i < count; ++i) {
        const RouterMove& rm = s.moves[i];
        if (group_of[rm.from] < 0) {
            group_of[rm.from] = int8_t(groups);
            group_square[groups] = rm.from;
            group_type[groups++] = rm.type;
        }
        ++group_size[group_of[rm.from]];
    }
    float* piece_in = s.piece_in.data();
    const std::span<const float> piece_span(piece_in, c + MOE_PIECE_EMBED);
    for (int k = 0; k < groups; ++k) {
        const int f = group_square[k];
        for (size_t ch = 0; ch < c; ++ch)
            piece_in[ch] = x[ch * 64 + f];
        for (int j = 0; j < MOE_PIECE_EMBED; ++j)
            piece_in[c + j] = piece_embed_[group_type[k] * MOE_PIECE_EMBED + j];
        float score = piece_offset_[0];
        for (size_t l = 0; l < c; ++l) {
            const float zl =
                proj_bias_[l]
                + RouterNet::dot({&proj_[l * (c + MOE_PIECE_EMBED)], c + MOE_PIECE_EMBED},
                                 piece_span);
            score += proj_out_[l] * silu(zl);
        }
        piece_logit[k] = score;
    }

    // 5. Log-softmax over the moving pieces.
    std::copy(piece_logit.begin(), piece_logit.begin() + groups, piece_lp.begin());
    log_softmax(piece_lp.data(), groups);

    // 6. Top-k cut: the highest piece scores stay, ties to the earlier piece.
    std::array<bool, 64> active{};
    active.fill(true);
    if (top_k > 0 && top_k < uint32_t(groups)) {
        std::array<uint8_t, 64> order{};
        for (int k = 0; k < groups; ++k)
            order[k] = uint8_t(k);
        std::stable_sort(order.begin(), order.begin() + groups,
                         [&](uint8_t a, uint8_t b) { return piece_logit[a] > piece_logit[b]; });
        active.fill(false);
        for (uint32_t r = 0; r < top_k; ++r)
            active[order[r]] = true;
    }

    // 7. Destination factor: gated experts for the moves of active pieces.
    for (size_t ch = 0; ch < c; ++ch) {
        float sum = 0;
        for (int sq = 0; sq < 64; ++sq)
            sum += x[ch * 64 + sq];
        s.mean[ch] = sum / 64.0f;
    }
    const int their_king = pos.king_square(them) ^ flip, own_king = pos.king_square(us) ^ flip;
    const size_t n_in = expert_inputs();
    float* in = s.expert_in.data();
    const std::span<const float> in_span(in, n_in);
    for (int i = 0; i < count; ++i) {
        const RouterMove& rm = s.moves[i];
        const int k = group_of[rm.from];
        if (!active[k]) {
            s.dest[i] = 0.0f;
            continue;
        }
        const int f = rm.from, q = rm.to;
        for (size_t ch = 0; ch < c; ++ch) {
            const float a = x[ch * 64 + f], b = x[ch * 64 + q];
            in[ch] = a;
            in[c + ch] = b;
            in[2 * c + ch] = a * b;
            in[11 * c + ch] = s.mean[ch];
        }
        for (int n = 0; n < 8; ++n) {
            const int nf = file_of(q) + NEIGHBOUR_STEPS[n][0],
                      nr = rank_of(q) + NEIGHBOUR_STEPS[n][1];
            float* dst = in + (3 + n) * c;
            if (nf < 0 || nf > 7 || nr < 0 || nr > 7)
                std::fill(dst, dst + c, 0.0f);
            else
                for (size_t ch = 0; ch < c; ++ch)
                    dst[ch] = x[ch * 64 + nr * 8 + nf];
        }
        float* mf = in + 12 * c;
        std::fill(mf, mf + MOE_MOVE_INPUTS, 0.0f);
        const uint32_t captured_bits = rm.flags & 0x1F;
        const bool capture = captured_bits != 0;
        const float captured_value =
            capture ? float(SEE_VALUE[std::countr_zero(captured_bits)]) / 1000.0f : 0.0f;
        mf[rm.promo] = 1.0f;
        mf[5] = capture ? 1.0f : 0.0f;
        mf[6] = captured_value;
        mf[7 + rm.type] = 1.0f;
        for (int b = 0; b < ROUTER_MOVE_FLAGS; ++b)
            mf[13 + b] = float(rm.flags >> b & 1);
        for (int b = 0; b < ROUTER_PIECE_FLAGS; ++b)
            mf[31 + b] = float(s.piece_flags[f] >> b & 1);
        mf[39 + file_of(q)] = 1.0f;
        mf[47 + rank_of(q)] = 1.0f;
        mf[55] = float(file_of(q) - file_of(f)) / 7.0f;
        mf[56] = float(rank_of(q) - rank_of(f)) / 7.0f;
        mf[57] = float(king_distance(f, q)) / 7.0f;
        mf[58] = float(king_distance(q, their_king)) / 7.0f;
        mf[59] = float(king_distance(q, own_king)) / 7.0f;
        mf[60] = float(group_size[k]) / 8.0f;
        mf[61] = float(count) / 32.0f;
        mf[62] = piece_lp[k];
        mf[63] = (file_of(q) == 0 || file_of(q) == 7 || rank_of(q) == 0 || rank_of(q) == 7) ? 1.0f
                                                                                            : 0.0f;
        mf[64] = pos.in_check() ? 1.0f : 0.0f;
        mf[65] = 1.0f;

        const float u[MOE_GATE_INPUTS] = {1.0f,
                                          capture ? 1.0f : 0.0f,
                                          captured_value,
                                          (rm.flags & move_flag::CHECK) ? 1.0f : 0.0f,
                                          rm.promo ? 1.0f : 0.0f,
                                          float(rm.type) / 5.0f};
        float hidden[MOE_GATE_INPUTS];
        for (int j = 0; j < MOE_GATE_INPUTS; ++j)
            hidden[j] = silu(u[j] + gate_bias_[j]);
        int best[MOE_ACTIVE_EXPERTS];
        float best_logit[MOE_ACTIVE_EXPERTS];
        int chosen = 0;
        for (uint32_t e = 0; e < e_; ++e) {
            float logit = 0;
            for (int j = 0; j < MOE_GATE_INPUTS; ++j)
                logit += gate_[e * MOE_GATE_INPUTS + j] * u[j]
                         + gate2_[e * MOE_GATE_INPUTS + j] * hidden[j];
            // Insert into the short best list; strict comparison keeps the lower index on ties.
            int at = chosen;
            while (at > 0 && logit > best_logit[at - 1])
                --at;
            if (at >= MOE_ACTIVE_EXPERTS) continue;
            for (int m = std::min(chosen, MOE_ACTIVE_EXPERTS - 1); m > at; --m) {
                best[m] = best[m - 1];
                best_logit[m] = best_logit[m - 1];
            }
            best[at] = int(e);
            best_logit[at] = logit;
            chosen = std::min(chosen + 1, MOE_ACTIVE_EXPERTS);
        }
        double weight_sum = 0;
        double mix = 0;
        for (int m = 0; m < chosen; ++m) {
            const double w = std::exp(double(best_logit[m] - best_logit[0]));
            weight_sum += w;
            mix += w * RouterNet::dot({&experts_[size_t(best[m]) * n_in], n_in}, in_span);
        }
        s.dest[i] = float(mix / weight_sum) + move_bias_[rm.type * 4096 + f * 64 + q];
    }

    // 8. Two-level output.
    std::array<float, 64> group_top, group_log_sum;
    group_top.fill(-std::numeric_limits<float>::infinity());
    for (int i = 0; i < count; ++i) {
        const int k = group_of[s.moves[i].from];
        group_top[k] = std::max(group_top[k], s.dest[i]);
    }
    std::array<double, 64> group_sum{};
    for (int i = 0; i < count; ++i) {
        const int k = group_of[s.moves[i].from];
        group_sum[k] += std::exp(double(s.dest[i] - group_top[k]));
    }
    for (int k = 0; k < groups; ++k)
        group_log_sum[k] = float(std::log(group_sum[k]));
    for (int i = 0; i < count; ++i) {
        const int k = group_of[s.moves[i].from];
        out[i] = piece_lp[k] + ((s.dest[i] - group_top[k]) - group_log_sum[k]);
    }
}

std::vector<float> RouterMoeNet::log_probs(const Position& pos, std::span<const Move> moves,
                                           uint32_t top_k) const {
    MoeScratch scratch;
    std::vector<float> out(moves.size());
    log_probs(pos, moves.data(), int(moves.size()), top_k, out.data(), scratch);
    return out;
}

Result<std::vector<uint8_t>> read_router_file(const std::string& path) {
    const size_t head_bytes = std::max(RouterNet::HEADER_BYTES, RouterMoeNet::HEADER_BYTES);
    Result<FileHead> head = read_file_head(path, head_bytes);
    if (!head.ok()) return head.error();
    const std::span<const uint8_t> first = head.value().bytes;
    const uint64_t length = head.value().size;
    const bool moe = first.size() >= 4 && std::memcmp(first.data(), "KWT5", 4) == 0;
    Result<uint64_t> checked =
        moe ? RouterMoeNet::check_length(first, length) : RouterNet::check_length(first, length);
    if (!checked.ok()) return checked.error();
    // A file changed since the check is still bounded by the length just approved, and
    // from_bytes checks the bytes it is given once more.
    return read_file(path, checked.value());
}

} // namespace velmar
