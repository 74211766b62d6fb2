#include "router.h"

#include "attacks.h"
#include "see.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace velmar {

namespace {

constexpr std::string_view NOT_ROUTER = "not a router network file (KWT4, KWT3, KWT2, or KWT1)";

// Floats of the version-specific flag block after array 7 of a one-layer file.
constexpr uint64_t extra_floats(uint32_t version) {
    return version == 2 ? 90 : version == 3 ? 108 + 48 : 0;
}
// KWT2 predates bits 15-17: it stores the first 15 weights of each piece type.
constexpr int KWT2_FLAGS_PER_TYPE = 15;

// Little-endian reads and writes of 32-bit fields; the caller has checked the length.
uint32_t read_u32(std::span<const uint8_t> bytes, size_t at) {
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16
           | uint32_t(bytes[at + 3]) << 24;
}
float read_f32(std::span<const uint8_t> bytes, size_t at) {
    uint32_t bits = read_u32(bytes, at);
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}
void read_floats(std::span<const uint8_t> bytes, size_t& at, float* dst, size_t n) {
    for (size_t i = 0; i < n; ++i, at += 4)
        dst[i] = read_f32(bytes, at);
}
void write_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}
void write_f32(std::vector<uint8_t>& out, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    write_u32(out, bits);
}
void write_floats(std::vector<uint8_t>& out, const std::vector<float>& v) {
    for (float x : v)
        write_f32(out, x);
}

// The fixed pattern of new_v4 and the seeded weights of random(): xorshift64, uniform in -1..1.
struct XorShift {
    uint64_t state;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    float uniform() { return float(double(next() >> 11) * 0x1.0p-52 - 1.0); }
    void fill(std::vector<float>& v, float scale) {
        for (float& x : v)
            x = uniform() * scale;
    }
};

float squared_clipped(float x) {
    float c = std::min(std::max(x, 0.0f), 1.0f);
    return c * c;
}

// The king's square and its neighbours.
Bitboard king_zone(Square ksq) {
    return attacks::KING[ksq] | bb(ksq);
}

// Squares in front of a pawn of `us` on `sq`, on its own and the adjacent files.
Bitboard passed_span(Color us, Square sq) {
    const int f = file_of(sq), r = rank_of(sq);
    Bitboard files = FILE_A << f;
    if (f > 0) files |= FILE_A << (f - 1);
    if (f < 7) files |= FILE_A << (f + 1);
    Bitboard ahead;
    if (us == WHITE)
        ahead = r == 7 ? 0 : ~Bitboard(0) << (8 * (r + 1));
    else
        ahead = (Bitboard(1) << (8 * r)) - 1;
    return files & ahead;
}

int32_t clamp_round(double v, double lo, double hi) {
    return int32_t(std::clamp(std::round(v), lo, hi));
}

} // namespace

// Move flags. "After the move" means: the moving piece has left its from-square and stands on
// its to-square (a castling rook on its new square too), and a captured piece, the en passant
// victim included, is gone. Then, with `theirs` the opponent's remaining pieces:
//   0-4  captured type one-hot (a pawn for en passant);
//   5    pos.gives_check(m);
//   6    not castling and see_ge(m, 0) fails;
//   7    an opponent pawn, knight or king attacks the to-square, or an opponent bishop, rook or
//        queen does along the after-move occupancy: a slider that stood behind the from-square
//        now sees through it, and the mover on the to-square never shields its own square;
//   8    an opponent pawn attacks the to-square;
//   9    castling;
//   10   the from-square is attacked by the opponent on the board before the move (the same
//        test as piece bit 0; a capture of the attacker does not clear it);
//   11   promotion;
//   12   a capture or promotion with see_ge(m, 1);
//   13   not a pawn, an opponent pawn attacks the from-square, and bit 8 is clear;
//   14   bit 10 set and bit 7 clear;
//   15   the piece now on the to-square (the promoted piece, the king when castling) attacks
//        the opponent king's square or one next to it, along the after-move occupancy;
//   16   pawn moves: no opponent pawn stands on the to-square's file or an adjacent one on a
//        rank ahead of the to-square (from the mover's side);
//   17   pawn moves: the to-square is on the sixth relative rank or beyond.
uint32_t move_flags(const Position& pos, Move m) {
    const Color us = pos.side_to_move(), them = us ^ 1;
    const Square from = m.from(), to = m.to();
    const PieceType type = type_of(pos.piece_on(from));

    uint32_t flags = 0;
    Bitboard occ = pos.pieces() ^ bb(from);
    Bitboard theirs = pos.by_color(them);
    if (m.is_en_passant()) {
        const Square victim = Square(to ^ 8);
        occ ^= bb(victim);
        theirs ^= bb(victim);
        flags |= move_flag::CAPTURED_PAWN;
    } else if (m.is_capture()) {
        theirs ^= bb(to);
        flags |= 1u << type_of(pos.piece_on(to));
    }
    occ |= bb(to);
    if (m.is_castling()) {
        // Built afresh: in Chess960 the king may land on its rook's square or stay put.
        const bool queen_side = m.kind() == kind::QUEEN_CASTLE;
        occ = (pos.pieces() ^ bb(from) ^ bb(pos.castling_rook(castling_index(us, queen_side))))
              | bb(to) | bb(castling_rook_to(us, queen_side));
        flags |= move_flag::CASTLING;
    }

    if (pos.gives_check(m)) flags |= move_flag::CHECK;
    if (!m.is_castling() && !see_ge(pos, m, 0)) flags |= move_flag::LOSING;
    if (m.is_noisy() && see_ge(pos, m, 1)) flags |= move_flag::WINNING;
    if (m.is_promotion()) flags |= move_flag::PROMOTION;

    const Bitboard their_pawns = pos.by_type(PAWN) & theirs;
    const Bitboard diagonal = (pos.by_type(BISHOP) | pos.by_type(QUEEN)) & theirs;
    const Bitboard straight = (pos.by_type(ROOK) | pos.by_type(QUEEN)) & theirs;
    const bool to_pawn_attacked = (attacks::PAWN[us][to] & their_pawns) != 0;
    const bool to_attacked =
        to_pawn_attacked || (attacks::KNIGHT[to] & pos.by_type(KNIGHT) & theirs)
        || (attacks::KING[to] & pos.by_type(KING) & theirs) || (bishop_attacks(to, occ) & diagonal)
        || (rook_attacks(to, occ) & straight);
    const bool from_attacked = (pos.attackers_to(from, pos.pieces()) & pos.by_color(them)) != 0;
    if (to_attacked) flags |= move_flag::DEST_ATTACKED;
    if (to_pawn_attacked) flags |= move_flag::DEST_PAWN_ATTACKED;
    if (from_attacked) flags |= move_flag::FROM_ATTACKED;
    if (from_attacked && !to_attacked) flags |= move_flag::ESCAPES;
    if (type != PAWN && (attacks::PAWN[us][from] & pos.pieces(them, PAWN)) && !to_pawn_attacked)
        flags |= move_flag::ESCAPES_PAWN;

    const PieceType landed = m.is_promotion() ? m.promoted() : type;
    const Bitboard reach = landed == PAWN ? attacks::PAWN[us][to] : piece_attacks(landed, to, occ);
    if (reach & king_zone(pos.king_square(them))) flags |= move_flag::NEAR_KING;

    if (type == PAWN) {
        if (!(passed_span(us, to) & their_pawns)) flags |= move_flag::PASSED;
        if (relative_rank(us, to) >= 5) flags |= move_flag::ADVANCED;
    }
    return flags;
}

// Piece bits 0, 1, 4 and 6, on the board as it stands. A defender is any own piece whose
// attacks reach the square along the current occupancy (no x-rays through other pieces);
// the piece itself never counts.
uint8_t piece_flags_of_square(const Position& pos, Square from) {
    const Color us = pos.side_to_move(), them = us ^ 1;
    const PieceType type = type_of(pos.piece_on(from));
    const Bitboard attackers = pos.attackers_to(from, pos.pieces());
    uint8_t flags = 0;
    if (attackers & pos.by_color(them)) {
        flags |= piece_flag::ATTACKED;
        if (!(attackers & pos.by_color(us))) flags |= piece_flag::UNDEFENDED;
    }
    if (type != PAWN && (attacks::PAWN[us][from] & pos.pieces(them, PAWN)))
        flags |= piece_flag::PAWN_ATTACKED;
    if (type == PAWN && relative_rank(us, from) == 6) flags |= piece_flag::SEVENTH;
    return flags;
}

void describe_moves(const Position& pos, const Move* moves, int count, RouterMove* out,
                    std::array<uint8_t, 64>& piece_flags) {
    const int flip = pos.side_to_move() == WHITE ? 0 : 56;
    Bitboard seen = 0;
    for (int i = 0; i < count; ++i) {
        const Move m = moves[i];
        RouterMove& rm = out[i];
        rm.type = type_of(pos.piece_on(m.from()));
        rm.from = uint8_t(m.from() ^ flip);
        rm.to = uint8_t(m.to() ^ flip);
        rm.promo = m.is_promotion() ? uint8_t(m.promoted()) : 0;
        rm.flags = move_flags(pos, m);

        uint8_t& pf = piece_flags[rm.from];
        if (!(seen & bb(rm.from))) {
            seen |= bb(rm.from);
            pf = piece_flags_of_square(pos, m.from());
        }
        constexpr uint32_t CAPTURED = 0x1F;
        if ((rm.flags & CAPTURED) && !(rm.flags & move_flag::LOSING))
            pf |= piece_flag::SAFE_CAPTURE;
        if (rm.flags & move_flag::CHECK) pf |= piece_flag::CHECKS;
        if (rm.flags & move_flag::WINNING) pf |= piece_flag::WINS;
        if (rm.flags & move_flag::CASTLING) pf |= piece_flag::CASTLES;
    }
}

void log_softmax(float* v, int n) {
    if (n <= 0) return;
    const float top = *std::max_element(v, v + n);
    double sum = 0;
    for (int i = 0; i < n; ++i)
        sum += std::exp(double(v[i] - top));
    // Shifting by the largest value first and by log(sum) second: adding log(sum) to a large
    // top before subtracting lost it to rounding, and tied best moves all came out as 0.
    const float log_sum = float(std::log(sum));
    for (int i = 0; i < n; ++i)
        v[i] = (v[i] - top) - log_sum;
}

// ---------------------------------------------------------------------------------------------
// RouterNet

uint64_t RouterNet::file_size(uint32_t version, uint32_t h1, uint32_t h2) {
    const uint64_t a = h1, b = h2;
    if (version == 4)
        return 16
               + 4
                     * (768 * a + a + 384 * b + 384 + 384 * b + 24576 + 5 + 108 + 48 + a * b + b
                        + 384 * b);
    return 12 + 4 * (1537 * a + 24965 + extra_floats(version));
}

void RouterNet::allocate(uint32_t h1, uint32_t h2) {
    h1_ = h1;
    h2_ = h2;
    const size_t g = embed_size();
    input_weights_.assign(size_t(ROUTER_INPUTS) * h1, 0.0f);
    input_bias_.assign(h1, 0.0f);
    piece_embed_.assign(384 * g, 0.0f);
    piece_bias_.assign(384, 0.0f);
    dest_embed_.assign(384 * g, 0.0f);
    move_bias_.assign(6 * 4096, 0.0f);
    promo_bias_.assign(5, 0.0f);
    move_flag_weights_.assign(6 * ROUTER_MOVE_FLAGS, 0.0f);
    piece_flag_weights_.assign(6 * ROUTER_PIECE_FLAGS, 0.0f);
    l2_weights_.assign(size_t(h2) * h1, 0.0f);
    l2_bias_.assign(h2, 0.0f);
    dest_gate_.assign(384 * size_t(h2), 0.0f);
}

RouterNet RouterNet::new_v4(uint32_t h1, uint32_t h2) {
    RouterNet net;
    net.version_ = 4;
    net.allocate(h1, h2);
    XorShift rng{1};
    rng.fill(net.input_weights_, 0.17677669f);
    rng.fill(net.piece_embed_, float(0.5 / std::sqrt(double(net.embed_size()))));
    rng.fill(net.l2_weights_, float(0.5 * std::sqrt(2.0 / double(h1))));
    return net;
}

RouterNet RouterNet::random(uint32_t version, uint32_t h1, uint32_t h2, uint64_t seed) {
    RouterNet net;
    net.version_ = std::clamp<uint32_t>(version, 1, 4);
    net.allocate(h1, net.version_ == 4 ? h2 : 0);
    net.activation_ =
        net.version_ >= 3 ? RouterActivation::SQUARED_CLIPPED : RouterActivation::RELU;
    XorShift rng{seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL};
    if (rng.state == 0) rng.state = 1;
    const float embed = float(0.5 / std::sqrt(double(net.embed_size())));
    net.scale_ = 1.0f + 0.25f * rng.uniform();
    rng.fill(net.input_weights_, 0.17677669f);
    rng.fill(net.input_bias_, 0.1f);
    rng.fill(net.piece_embed_, embed);
    rng.fill(net.piece_bias_, 0.5f);
    rng.fill(net.dest_embed_, embed);
    rng.fill(net.move_bias_, 0.5f);
    rng.fill(net.promo_bias_, 0.5f);
    if (net.version_ == 2) {
        for (int t = 0; t < 6; ++t)
            for (int b = 0; b < KWT2_FLAGS_PER_TYPE; ++b)
                net.move_flag_weights_[t * ROUTER_MOVE_FLAGS + b] = 0.5f * rng.uniform();
    } else if (net.version_ >= 3) {
        rng.fill(net.move_flag_weights_, 0.5f);
        rng.fill(net.piece_flag_weights_, 0.5f);
    }
    rng.fill(net.l2_weights_, float(0.5 * std::sqrt(2.0 / double(h1))));
    rng.fill(net.l2_bias_, 0.1f);
    rng.fill(net.dest_gate_, 0.25f);
    return net;
}

namespace {

struct RouterHeader {
    uint32_t version = 0, h1 = 0, h2 = 0;
    size_t scale_at = 0; // the scale ends the header; the arrays follow it
};

// Every refusal that the first bytes and the length decide, so that a file can be judged
// before it is read and a span before anything is allocated.
Result<RouterHeader> parse_header(std::span<const uint8_t> head, uint64_t length) {
    if (head.size() < 12) return Error{std::string(NOT_ROUTER)};
    RouterHeader h;
    for (uint32_t v = 1; v <= 4; ++v) {
        const char magic[4] = {'K', 'W', 'T', char('0' + v)};
        if (std::memcmp(head.data(), magic, 4) == 0) h.version = v;
    }
    if (h.version == 0) return Error{std::string(NOT_ROUTER)};

    h.h1 = read_u32(head, 4);
    if (h.version == 4) {
        if (head.size() < 16) return Error{"truncated KWT4 header"};
        h.h2 = read_u32(head, 8);
        if (h.h1 < 1 || h.h1 > ROUTER_MAX_HIDDEN || h.h2 < 1 || h.h2 > ROUTER_MAX_HIDDEN)
            return Error{"bad KWT4 hidden sizes " + std::to_string(h.h1) + "x"
                         + std::to_string(h.h2)};
        const uint64_t total = RouterNet::file_size(4, h.h1, h.h2);
        if (length != total)
            return Error{"KWT4 file has " + std::to_string(length) + " bytes, "
                         + std::to_string(h.h1) + "x" + std::to_string(h.h2) + " needs "
                         + std::to_string(total)};
        h.scale_at = 12;
    } else {
        if (h.h1 < 1 || h.h1 > ROUTER_MAX_HIDDEN)
            return Error{"bad hidden size " + std::to_string(h.h1)};
        const uint64_t total = RouterNet::file_size(h.version, h.h1, 0);
        if (length != total)
            return Error{"router file has " + std::to_string(length) + " bytes, hidden "
                         + std::to_string(h.h1) + " needs " + std::to_string(total)};
        h.scale_at = 8;
    }
    return h;
}

} // namespace

Result<uint64_t> RouterNet::check_length(std::span<const uint8_t> head, uint64_t length) {
    Result<RouterHeader> h = parse_header(head, length);
    if (!h.ok()) return h.error();
    return length;
}

Result<RouterNet> RouterNet::from_bytes(std::span<const uint8_t> bytes) {
    Result<RouterHeader> header = parse_header(bytes, bytes.size());
    if (!header.ok()) return header.error();
    const RouterHeader& h = header.value();
    const uint32_t version = h.version;

    RouterNet net;
    net.version_ = version;
    // Up to 98.7 MB (KWT4 at 4096 x 4096): more than a busy machine may have to spare.
    try {
        net.allocate(h.h1, h.h2);
    } catch (const std::bad_alloc&) {
        return Error{"not enough memory for a router of " + std::to_string(bytes.size())
                     + " bytes"};
    } catch (const std::length_error&) {
        return Error{"not enough memory for a router of " + std::to_string(bytes.size())
                     + " bytes"};
    }
    net.scale_ = read_f32(bytes, h.scale_at);
    net.activation_ = version >= 3 ? RouterActivation::SQUARED_CLIPPED : RouterActivation::RELU;
    size_t at = h.scale_at + 4;
    for (std::vector<float>* v :
         {&net.input_weights_, &net.input_bias_, &net.piece_embed_, &net.piece_bias_,
          &net.dest_embed_, &net.move_bias_, &net.promo_bias_})
        read_floats(bytes, at, v->data(), v->size());
    if (version == 2) {
        for (int t = 0; t < 6; ++t)
            read_floats(bytes, at, &net.move_flag_weights_[t * ROUTER_MOVE_FLAGS],
                        KWT2_FLAGS_PER_TYPE);
    } else if (version >= 3) {
        read_floats(bytes, at, net.move_flag_weights_.data(), net.move_flag_weights_.size());
        read_floats(bytes, at, net.piece_flag_weights_.data(), net.piece_flag_weights_.size());
    }
    if (version == 4) {
        for (std::vector<float>* v : {&net.l2_weights_, &net.l2_bias_, &net.dest_gate_})
            read_floats(bytes, at, v->data(), v->size());
    }
    if (at != bytes.size()) fatal("router reader out of step with file_size");
    return net;
}

std::vector<uint8_t> RouterNet::to_bytes() const {
    std::vector<uint8_t> out;
    out.reserve(size_t(file_size(version_, h1_, h2_)));
    for (char c : {'K', 'W', 'T', char('0' + version_)})
        out.push_back(uint8_t(c));
    write_u32(out, h1_);
    if (version_ == 4) write_u32(out, h2_);
    write_f32(out, scale_);
    for (const std::vector<float>* v : {&input_weights_, &input_bias_, &piece_embed_, &piece_bias_,
                                        &dest_embed_, &move_bias_, &promo_bias_})
        write_floats(out, *v);
    if (version_ == 2) {
        for (int t = 0; t < 6; ++t)
            for (int b = 0; b < KWT2_FLAGS_PER_TYPE; ++b)
                write_f32(out, move_flag_weights_[t * ROUTER_MOVE_FLAGS + b]);
    } else if (version_ >= 3) {
        write_floats(out, move_flag_weights_);
        write_floats(out, piece_flag_weights_);
    }
    if (version_ == 4) {
        for (const std::vector<float>* v : {&l2_weights_, &l2_bias_, &dest_gate_})
            write_floats(out, *v);
    }
    return out;
}

std::array<std::span<float>, 12> RouterNet::arrays() {
    return {input_weights_,      input_bias_, piece_embed_, piece_bias_,
            dest_embed_,         move_bias_,  promo_bias_,  move_flag_weights_,
            piece_flag_weights_, l2_weights_, l2_bias_,     dest_gate_};
}

// Eight independent partial sums: the compiler keeps them in one vector register without
// being allowed to reassociate a single running sum.
float RouterNet::dot(std::span<const float> a, std::span<const float> b) {
    const size_t n = std::min(a.size(), b.size());
    float acc[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int l = 0; l < 8; ++l)
            acc[l] += a[i + l] * b[i + l];
    float sum = ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
    for (; i < n; ++i)
        sum += a[i] * b[i];
    return sum;
}

void RouterNet::log_probs(const Position& pos, const Move* moves, int count, float* out,
                          RouterScratch& s) const {
    count = std::min(count, MoveList::CAPACITY);
    if (count <= 0) return;
    const size_t h1 = h1_, h2 = h2_, g = embed_size();
    if (s.hidden1.size() < h1) s.hidden1.resize(h1);
    if (s.hidden2.size() < h2) s.hidden2.resize(h2);
    if (s.gated.size() < g) s.gated.resize(g);

    // 1-2. First layer, summed only over the rows of the pieces on the board.
    const Color us = pos.side_to_move();
    const int flip = us == WHITE ? 0 : 56;
    float* a = s.hidden1.data();
    std::copy(input_bias_.begin(), input_bias_.end(), a);
    for (Bitboard occ = pos.pieces(); occ;) {
        const Square sq = pop_lsb(occ);
        const Piece p = pos.piece_on(sq);
        const size_t feature = (color_of(p) != us ? 384 : 0) + type_of(p) * 64 + (sq ^ flip);
        const float* row = &input_weights_[feature * h1];
        for (size_t i = 0; i < h1; ++i)
            a[i] += row[i];
    }
    if (activation_ == RouterActivation::SQUARED_CLIPPED)
        for (size_t i = 0; i < h1; ++i)
            a[i] = squared_clipped(a[i]);
    else
        for (size_t i = 0; i < h1; ++i)
            a[i] = std::max(a[i], 0.0f);

    // 3. Second layer.
    const float* h = a;
    if (h2 > 0) {
        const std::span<const float> in(a, h1);
        for (size_t j = 0; j < h2; ++j)
            s.hidden2[j] = squared_clipped(l2_bias_[j] + dot({&l2_weights_[j * h1], h1}, in));
        h = s.hidden2.data();
    }
    const std::span<const float> hv(h, g);

    // 4. Move and piece features.
    describe_moves(pos, moves, count, s.moves.data(), s.piece_flags);

    // 5-6. Piece factor per moving piece (first appearance order), destination factor per move,
    // with the gated hidden vector built once per piece.
    std::array<int8_t, 64> group_of;
    group_of.fill(-1);
    std::array<uint8_t, 64> group_square{};
    std::array<float, 64> piece_logit{};
    int groups = 0;
    for (int i = 0; i < count; ++i) {
        const uint8_t f = s.moves[i].from;
        if (group_of[f] < 0) {
            group_of[f] = int8_t(groups);
            group_square[groups++] = f;
        }
    }
    // Each group's top score and log of its shifted sum, kept apart (see log_softmax).
    std::array<float, 64> group_top{}, group_log_sum{};
    for (int k = 0; k < groups; ++k) {
        const int f = group_square[k];
        int first = 0;
        while (s.moves[first].from != f)
            ++first;
        const int t = s.moves[first].type;
        const size_t tf = size_t(t) * 64 + f;

        float flag_sum = 0;
        for (int b = 0; b < ROUTER_PIECE_FLAGS; ++b)
            if (s.piece_flags[f] >> b & 1)
                flag_sum += piece_flag_weights_[t * ROUTER_PIECE_FLAGS + b];
        piece_logit[k] =
            scale_ * (flag_sum + piece_bias_[tf] + dot({&piece_embed_[tf * g], g}, hv));

        std::span<const float> gv = hv;
        if (h2 > 0) {
            const float* gate = &dest_gate_[tf * h2];
            for (size_t j = 0; j < h2; ++j)
                s.gated[j] = h[j] * (1.0f + gate[j]);
            gv = {s.gated.data(), g};
        }
        float top = -std::numeric_limits<float>::infinity();
        for (int i = first; i < count; ++i) {
            const RouterMove& rm = s.moves[i];
            if (rm.from != f) continue;
            float flag_weight = 0;
            for (uint32_t bits = rm.flags; bits; bits &= bits - 1)
                flag_weight += move_flag_weights_[t * ROUTER_MOVE_FLAGS + std::countr_zero(bits)];
            const size_t tq = size_t(t) * 64 + rm.to;
            const float d =
                scale_
                * (move_bias_[t * 4096 + f * 64 + rm.to] + dot({&dest_embed_[tq * g], g}, gv)
                   + promo_bias_[rm.promo] + flag_weight);
            s.dest[i] = d;
            top = std::max(top, d);
        }
        double sum = 0;
        for (int i = first; i < count; ++i)
            if (s.moves[i].from == f) sum += std::exp(double(s.dest[i] - top));
        group_top[k] = top;
        group_log_sum[k] = float(std::log(sum));
    }

    // 7. Two-level log-softmax.
    log_softmax(piece_logit.data(), groups);
    for (int i = 0; i < count; ++i) {
        const int k = group_of[s.moves[i].from];
        out[i] = piece_logit[k] + ((s.dest[i] - group_top[k]) - group_log_sum[k]);
    }
}

std::vector<float> RouterNet::log_probs(const Position& pos, std::span<const Move> moves) const {
    RouterScratch scratch;
    std::vector<float> out(moves.size());
    log_probs(pos, moves.data(), int(moves.size()), out.data(), scratch);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The policy cache

const std::vector<CachedMove>* RouterPolicyBase::cached(uint64_t key) const {
    auto it = cache_.find(key);
    return it == cache_.end() ? nullptr : &it->second;
}

const std::vector<CachedMove>& RouterPolicyBase::fill(const Position& pos, const Move* moves,
                                                      int count) {
    count = std::clamp(count, 0, MoveList::CAPACITY);
    ++evaluations_;
    if (cache_.size() > CACHE_LIMIT) cache_.clear();
    run_network(pos, moves, count, out_.data());
    // An entry being replaced keeps its vector, so a re-run allocates nothing.
    std::vector<CachedMove>& entry = cache_[pos.key()];
    entry.clear();
    for (int i = 0; i < count; ++i)
        entry.push_back({moves[i], out_[i]});
    return entry;
}

const std::vector<CachedMove>& RouterPolicyBase::lookup_or_fill(const Position& pos,
                                                                const Move* moves, int count) {
    auto it = cache_.find(pos.key());
    if (it != cache_.end() && it->second.size() == size_t(count)
        && std::equal(it->second.begin(), it->second.end(), moves,
                      [](const CachedMove& c, Move m) { return c.move == m; }))
        return it->second;
    return fill(pos, moves, count);
}

namespace {

// 1000 x log-probability, truncated toward zero; NaN gives 0, the rest saturates.
int32_t score_of(float log_prob) {
    const double v = 1000.0 * double(log_prob);
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return int32_t(v);
}

const CachedMove* find_move(const std::vector<CachedMove>& entry, Move m) {
    for (const CachedMove& c : entry)
        if (c.move == m) return &c;
    return nullptr;
}

} // namespace

bool RouterPolicyBase::score_moves(const Position& pos, const Move* moves, int count,
                                   int32_t* scores, int, int) {
    const std::vector<CachedMove>& entry = lookup_or_fill(pos, moves, count);
    const int n = std::min(count, int(entry.size()));
    for (int i = 0; i < n; ++i)
        scores[i] = score_of(entry[i].log_prob);
    return true;
}

// ln n + l is the move's log-probability relative to a uniform choice among the n moves.
int32_t RouterPolicyBase::quiet_order_bonus(const Position& pos, Move m) {
    if (settings_.order_bonus <= 0) return 0;
    const std::vector<CachedMove>* entry = cached(pos.key());
    if (!entry) return 0;
    const CachedMove* c = find_move(*entry, m);
    if (!c) return 0;
    const double n = double(std::max<size_t>(entry->size(), 1));
    const double v = (std::log(n) + double(c->log_prob)) * settings_.order_bonus;
    if (std::isnan(v)) return 0;
    return clamp_round(v, -8000, 8000);
}

std::optional<int32_t> RouterPolicyBase::reduction(const Position& pos, Move m, int) {
    if (!(settings_.reduce_scale > 0)) return std::nullopt;
    const std::vector<CachedMove>* entry = cached(pos.key());
    if (!entry) {
        all_moves_.count = 0;
        generate_all(pos, all_moves_);
        entry = &fill(pos, all_moves_.moves, all_moves_.count);
    }
    const CachedMove* c = find_move(*entry, m);
    if (!c) return std::nullopt;
    const double l = double(c->log_prob);
    if (std::isnan(l)) return std::nullopt;
    const double n = double(std::max<size_t>(entry->size(), 1));
    if (settings_.delta) return clamp_round((-l - std::log(n)) * settings_.reduce_scale, -1, 2);
    return clamp_round(-l * settings_.reduce_scale, 0, 64);
}

} // namespace velmar
