// Weight order: rows, biases and output weights stay in the file's order. The accumulator
// kernels work lane by lane, and the output layer only needs a total over all 2048 hidden
// values, so no kernel wants a permuted layout.
//
// Exactness: hidden sums wrap modulo 2^16 and output sums modulo 2^32 in both the vector and
// the scalar code. Modular addition does not care about order, so lazy updates, cache rebuilds
// and full refreshes agree bit for bit even for networks whose sums overflow.
#include "nnue.h"

#include "nnue_simd.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// The image of the built-in network, placed in read-only data by nnue_embed.S.
extern "C" const uint8_t velmar_net_begin[];
extern "C" const uint8_t velmar_net_end[];

namespace velmar {

static_assert(std::endian::native == std::endian::little, "weights are read with memcpy");

namespace {

constexpr size_t ROW_BYTES = NNUE_HIDDEN * sizeof(int16_t);
constexpr size_t OUT_VALUES = 2 * NNUE_HIDDEN; // one output bucket or head output
constexpr int32_t OUTPUT_WEIGHT_LIMIT = 127;   // keeps v x w (v <= 255) within int16

constexpr size_t exact_size(size_t king_buckets, size_t output_buckets, bool head) {
    return king_buckets * NNUE_INPUTS * ROW_BYTES + ROW_BYTES
           + output_buckets * (OUT_VALUES + 1) * 2 + (head ? (3 * OUT_VALUES + 3) * 2 : 0);
}
constexpr size_t padded_size(size_t exact) {
    return (exact + 63) / 64 * 64;
}

static_assert(exact_size(1, 1, false) == 1'579'010);
static_assert(exact_size(8, 8, true) == 12'630'038);
static_assert(padded_size(exact_size(8, 8, true)) == DefaultNet::SIZE);

struct Shape {
    uint32_t king_buckets = 0;
    uint32_t output_buckets = 0;
    bool head = false;
};

std::optional<Shape> shape_of(size_t length) {
    for (uint32_t k : {1u, 4u, 8u})
        for (uint32_t o : {1u, 8u})
            for (bool h : {false, true}) {
                const size_t exact = exact_size(k, o, h);
                if (length == exact || length == padded_size(exact)) return Shape{k, o, h};
            }
    return std::nullopt;
}

size_t largest_size() {
    return padded_size(exact_size(8, 8, true));
}

Error size_error(size_t length) {
    const size_t plain = exact_size(1, 1, false), head = exact_size(1, 1, true);
    return Error{"network file has " + std::to_string(length) + " bytes; a (768->"
                 + std::to_string(NNUE_HIDDEN) + ")x2->1 network needs " + std::to_string(plain)
                 + " (" + std::to_string(padded_size(plain)) + " padded), or "
                 + std::to_string(head) + " (" + std::to_string(padded_size(head))
                 + " padded) with a W/D/L head (other sizes: king/output buckets)"};
}

// Empty when the memory is not there: the loader refuses the file rather than end the process.
Error memory_error(size_t length) {
    return Error{"not enough memory for a network of " + std::to_string(length) + " bytes"};
}

AlignedWeights alloc_weights(size_t count) {
    const size_t bytes = (count * sizeof(int16_t) + 63) / 64 * 64;
    auto* p = static_cast<int16_t*>(std::aligned_alloc(64, bytes));
    if (p) std::memset(p, 0, bytes);
    return AlignedWeights(p);
}

// Row of a piece for a perspective: own pieces first, squares seen from the perspective (rank
// flipped for black) and mirrored to files a-d when the perspective's king stands on e-h.
inline int feature_row(Color p, uint8_t key, Piece piece, int sq) {
    const int flip = (p == BLACK ? 56 : 0) ^ ((key & 1) ? 7 : 0);
    return (key >> 1) * NNUE_INPUTS + (color_of(piece) == p ? 0 : 384) + type_of(piece) * 64
           + (sq ^ flip);
}

// dst = src - subs + adds (and the same into dst2 when given), lane-wise modulo 2^16.
void apply_rows_scalar(int16_t* dst, int16_t* dst2, const int16_t* src, const int16_t* const* adds,
                       int add_count, const int16_t* const* subs, int sub_count) {
    for (int i = 0; i < NNUE_HIDDEN; ++i) {
        uint16_t v = uint16_t(src[i]);
        for (int j = 0; j < sub_count; ++j)
            v = uint16_t(v - uint16_t(subs[j][i]));
        for (int j = 0; j < add_count; ++j)
            v = uint16_t(v + uint16_t(adds[j][i]));
        dst[i] = int16_t(v);
        if (dst2) dst2[i] = int16_t(v);
    }
}

#if VELMAR_AVX2
// One move's update, the counts known at compile time: a single streaming pass, each vector of
// the result loaded, adjusted and stored once.
template <int AddCount, int SubCount>
void apply_fixed_vec(int16_t* dst, const int16_t* src, const int16_t* const* adds,
                     const int16_t* const* subs) {
#pragma GCC unroll 8
    for (int off = 0; off < NNUE_HIDDEN; off += simd::I16_LANES) {
        simd::VecI16 r = simd::load(src + off);
        for (int j = 0; j < SubCount; ++j)
            r = simd::sub(r, simd::load(subs[j] + off));
        for (int j = 0; j < AddCount; ++j)
            r = simd::add(r, simd::load(adds[j] + off));
        simd::store(dst + off, r);
    }
}

// Any number of rows (refreshes and cache rebuilds): REGS vector registers hold a stretch
// of the result while every row is applied, so each stretch is loaded and stored once.
constexpr int REGS = 8;
constexpr int CHUNK = REGS * simd::I16_LANES;
static_assert(NNUE_HIDDEN % CHUNK == 0);

void apply_rows_vec(int16_t* dst, int16_t* dst2, const int16_t* src, const int16_t* const* adds,
                    int add_count, const int16_t* const* subs, int sub_count) {
    for (int c = 0; c < NNUE_HIDDEN; c += CHUNK) {
        simd::VecI16 r[REGS];
#pragma GCC unroll 16
        for (int k = 0; k < REGS; ++k)
            r[k] = simd::load(src + c + k * simd::I16_LANES);
        for (int j = 0; j < sub_count; ++j) {
            const int16_t* row = subs[j] + c;
#pragma GCC unroll 16
            for (int k = 0; k < REGS; ++k)
                r[k] = simd::sub(r[k], simd::load(row + k * simd::I16_LANES));
        }
        for (int j = 0; j < add_count; ++j) {
            const int16_t* row = adds[j] + c;
#pragma GCC unroll 16
            for (int k = 0; k < REGS; ++k)
                r[k] = simd::add(r[k], simd::load(row + k * simd::I16_LANES));
        }
#pragma GCC unroll 16
        for (int k = 0; k < REGS; ++k)
            simd::store(dst + c + k * simd::I16_LANES, r[k]);
        if (dst2) {
#pragma GCC unroll 16
            for (int k = 0; k < REGS; ++k)
                simd::store(dst2 + c + k * simd::I16_LANES, r[k]);
        }
    }
}

int32_t output_sum_vec(const Acc& us, const Acc& them, const int16_t* weights) {
    simd::VecI32 s0 = simd::zero32(), s1 = simd::zero32();
    const int16_t* halves[2] = {us.v, them.v};
    for (int h = 0; h < 2; ++h) {
        const int16_t* a = halves[h];
        const int16_t* w = weights + h * NNUE_HIDDEN;
        for (int i = 0; i < NNUE_HIDDEN; i += 2 * simd::I16_LANES) {
            const simd::VecI16 v0 = simd::clip_0_255(simd::load(a + i));
            const simd::VecI16 v1 = simd::clip_0_255(simd::load(a + i + simd::I16_LANES));
            s0 = simd::add32(s0, simd::mul_pairs(v0, simd::mul_low(v0, simd::load(w + i))));
            s1 = simd::add32(
                s1, simd::mul_pairs(v1, simd::mul_low(v1, simd::load(w + i + simd::I16_LANES))));
        }
    }
    return simd::sum_lanes(simd::add32(s0, s1));
}
#endif

inline void apply_rows(int16_t* dst, int16_t* dst2, const int16_t* src, const int16_t* const* adds,
                       int add_count, const int16_t* const* subs, int sub_count) {
#if VELMAR_AVX2
    apply_rows_vec(dst, dst2, src, adds, add_count, subs, sub_count);
#else
    apply_rows_scalar(dst, dst2, src, adds, add_count, subs, sub_count);
#endif
}

// One move's update: 1 or 2 additions and removals.
inline void apply_move_rows(int16_t* dst, const int16_t* src, const int16_t* const* adds,
                            int add_count, const int16_t* const* subs, int sub_count) {
#if VELMAR_AVX2
    if (add_count == 1 && sub_count == 1) return apply_fixed_vec<1, 1>(dst, src, adds, subs);
    if (add_count == 1 && sub_count == 2) return apply_fixed_vec<1, 2>(dst, src, adds, subs);
    if (add_count == 2 && sub_count == 2) return apply_fixed_vec<2, 2>(dst, src, adds, subs);
#endif
    apply_rows(dst, nullptr, src, adds, add_count, subs, sub_count);
}

// Rows of every piece on the board for perspective p.
int collect_rows(const Network& net, const Position& pos, Color p, uint8_t key,
                 const int16_t** rows) {
    int n = 0;
    for (Bitboard b = pos.pieces(); b;) {
        const Square sq = pop_lsb(b);
        rows[n++] = net.row(feature_row(p, key, pos.piece_on(sq), sq));
    }
    return n;
}

template <bool Scalar> AccPair refresh_with(const Network& net, const Position& pos) {
    AccPair out;
    const auto keys = king_keys(net.king_buckets(), pos);
    out.king_key[WHITE] = keys.first;
    out.king_key[BLACK] = keys.second;
    const int16_t* rows[64];
    for (Color p : {WHITE, BLACK}) {
        const int n = collect_rows(net, pos, p, out.king_key[p], rows);
        if constexpr (Scalar)
            apply_rows_scalar(out.acc[p].v, nullptr, net.feature_bias(), rows, n, nullptr, 0);
        else
            apply_rows(out.acc[p].v, nullptr, net.feature_bias(), rows, n, nullptr, 0);
    }
    return out;
}

// s = sum / 255 + bias, then s x 400 / 16320. The product is formed in 64 bits: a 32-bit
// product overflows once |s| passes about 5.4 million, which wrapped sums can reach; wherever
// the 32-bit product fits, the result is the same.
inline int32_t score_from_sum(int32_t sum, int32_t bias) {
    const int32_t s = sum / NNUE_ACTIVATION_MAX + bias;
    return int32_t(int64_t(s) * 400 / NNUE_OUTPUT_SCALE);
}

} // namespace

void FreeDeleter::operator()(int16_t* p) const {
    std::free(p);
}

Result<Network> Network::from_bytes(std::span<const uint8_t> bytes) {
    // 1. The length alone fixes the shape.
    const std::optional<Shape> shape = shape_of(bytes.size());
    if (!shape) return size_error(bytes.size());

    Network net;
    net.king_buckets_ = shape->king_buckets;
    net.output_buckets_ = shape->output_buckets;
    net.has_head_ = shape->head;

    // 2. Sections in file order. Feature rows and bias are adjacent in the file and in memory.
    const uint8_t* in = bytes.data();
    const size_t ft_values = (net.row_count() + 1) * NNUE_HIDDEN;
    net.ft_ = alloc_weights(ft_values);
    if (!net.ft_) return memory_error(bytes.size());
    std::memcpy(net.ft_.get(), in, ft_values * sizeof(int16_t));
    in += ft_values * sizeof(int16_t);

    auto read_i16 = [&in]() {
        int16_t v;
        std::memcpy(&v, in, sizeof v);
        in += sizeof v;
        return v;
    };
    const size_t out_slots = NNUE_MAX_OUTPUT_BUCKETS + 3; // the head's slots stay zero without one
    net.out_ = alloc_weights(out_slots * OUT_VALUES);
    if (!net.out_) return memory_error(bytes.size());
    const size_t out_values = net.output_buckets_ * OUT_VALUES;
    std::memcpy(net.out_.get(), in, out_values * sizeof(int16_t));
    in += out_values * sizeof(int16_t);
    for (uint32_t b = 0; b < net.output_buckets_; ++b)
        net.output_bias_[b] = read_i16();
    if (net.has_head_) {
        int16_t* head = net.out_.get() + NNUE_MAX_OUTPUT_BUCKETS * OUT_VALUES;
        std::memcpy(head, in, 3 * OUT_VALUES * sizeof(int16_t));
        in += 3 * OUT_VALUES * sizeof(int16_t);
        // Stored loss first: the reverse of the weights' win, draw, loss.
        for (int k = 2; k >= 0; --k)
            net.head_bias_[k] = read_i16();
    }

    // 3. Every output and head weight (unused buckets' zeros included) must keep v x w in 16 bits.
    const int16_t* w = net.out_.get();
    const bool in_range = std::all_of(w, w + out_slots * OUT_VALUES, [](int16_t x) {
        return x >= -OUTPUT_WEIGHT_LIMIT && x <= OUTPUT_WEIGHT_LIMIT;
    });
    if (!in_range) return Error{"output weights outside -127..127 (train with weight clipping)"};
    return net;
}

Result<std::shared_ptr<const Network>> load_network_file(const std::string& path) {
    // The length first, so that a file of any other size is refused without reading it; a
    // file that changes meanwhile is still bounded by the largest size and checked again.
    Result<FileHead> head = read_file_head(path, 0);
    if (!head.ok()) return head.error();
    if (!shape_of(size_t(head.value().size))) return size_error(size_t(head.value().size));

    Result<std::vector<uint8_t>> bytes = read_file(path, largest_size());
    if (!bytes.ok()) return bytes.error();
    Result<Network> net = Network::from_bytes(bytes.value());
    if (!net.ok()) return net.error();
    try {
        return std::shared_ptr<const Network>(std::make_shared<Network>(std::move(net.value())));
    } catch (const std::bad_alloc&) {
        return memory_error(bytes.value().size());
    }
}

std::span<const uint8_t> DefaultNet::image() const {
    return {velmar_net_begin, size_t(velmar_net_end - velmar_net_begin)};
}

std::shared_ptr<const Network> DefaultNet::get() const {
    static const std::shared_ptr<const Network> net = [this] {
        const std::span<const uint8_t> bytes = image();
        if (bytes.size() != SIZE)
            fatal("the embedded network is invalid: " + size_error(bytes.size()).message);
        Result<Network> built = Network::from_bytes(bytes);
        if (!built.ok()) fatal("the embedded network is invalid: " + built.error().message);
        return std::shared_ptr<const Network>(std::make_shared<Network>(std::move(built.value())));
    }();
    return net;
}

uint8_t king_key(uint32_t king_buckets, Color perspective, Square king_sq) {
    if (king_buckets < 2) return 0;
    // Buckets by relative rank (rows) and mirrored file a-d (columns).
    static constexpr uint8_t BUCKETS_8[4][4] = {
        {0, 0, 1, 2}, {3, 3, 4, 4}, {5, 5, 6, 6}, {7, 7, 7, 7}};
    static constexpr uint8_t BUCKETS_4[4][4] = {
        {0, 0, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}, {3, 3, 3, 3}};
    const int sq = perspective == BLACK ? king_sq ^ 56 : king_sq;
    int file = file_of(sq);
    const uint8_t mirror = file >= 4 ? 1 : 0;
    if (mirror) file = 7 - file;
    const int rank = rank_of(sq);
    const int band = rank == 0 ? 0 : rank == 1 ? 1 : rank <= 3 ? 2 : 3;
    const uint8_t bucket = king_buckets >= 8 ? BUCKETS_8[band][file] : BUCKETS_4[band][file];
    return uint8_t(2 * bucket + mirror);
}

std::pair<uint8_t, uint8_t> king_keys(uint32_t king_buckets, const Position& pos) {
    return {king_key(king_buckets, WHITE, pos.king_square(WHITE)),
            king_key(king_buckets, BLACK, pos.king_square(BLACK))};
}

int output_bucket(uint32_t output_buckets, const Position& pos) {
    if (output_buckets <= 1) return 0;
    const int per_bucket = int((32 + output_buckets - 1) / output_buckets);
    const int n = popcount(pos.pieces());
    return std::min(std::max(n - 2, 0) / per_bucket, int(output_buckets) - 1);
}

AccPair refresh(const Network& net, const Position& pos) {
    return refresh_with<false>(net, pos);
}
AccPair refresh_scalar(const Network& net, const Position& pos) {
    return refresh_with<true>(net, pos);
}

int32_t output_sum_scalar(const Acc& us, const Acc& them, const int16_t* weights) {
    uint32_t sum = 0;
    const int16_t* halves[2] = {us.v, them.v};
    for (int h = 0; h < 2; ++h)
        for (int i = 0; i < NNUE_HIDDEN; ++i) {
            const int32_t v = std::clamp<int32_t>(halves[h][i], 0, NNUE_ACTIVATION_MAX);
            const int16_t vw = int16_t(v * weights[h * NNUE_HIDDEN + i]);
            sum += uint32_t(v * vw);
        }
    return int32_t(sum);
}

int32_t output_sum(const Acc& us, const Acc& them, const int16_t* weights) {
#if VELMAR_AVX2
    return output_sum_vec(us, them, weights);
#else
    return output_sum_scalar(us, them, weights);
#endif
}

int32_t evaluate_scalar(const Network& net, const Position& pos) {
    const AccPair accs = refresh_scalar(net, pos);
    const Color us = pos.side_to_move();
    const int b = output_bucket(net.output_buckets(), pos);
    const int32_t sum = output_sum_scalar(accs.acc[us], accs.acc[!us], net.output_weights(b));
    return score_from_sum(sum, net.output_bias(b));
}

NnueEval::NnueEval(std::shared_ptr<const Network> network)
    : net_(std::move(network)), stack_(NNUE_STACK_SIZE) {
    if (net_->king_buckets() >= 2) {
        cache_.resize(4 * net_->king_buckets());
        for (CacheEntry& e : cache_)
            std::memcpy(e.acc.v, net_->feature_bias(), sizeof e.acc.v);
    }
}

void NnueEval::reset(const Position& root) {
    index_ = 0;
    Entry& e = stack_[0];
    const AccPair accs = refresh(*net_, root);
    for (Color c : {WHITE, BLACK}) {
        e.acc[c] = accs.acc[c];
        e.king_key[c] = accs.king_key[c];
        e.computed[c] = true;
    }
}

void NnueEval::push_move(const Position& before, Move m) {
    if (index_ + 1 >= NNUE_STACK_SIZE) fatal("nnue accumulator stack overflow");
    const Entry& prev = stack_[index_];
    Entry& e = stack_[++index_];
    e.king_key[WHITE] = prev.king_key[WHITE];
    e.king_key[BLACK] = prev.king_key[BLACK];
    e.computed[WHITE] = e.computed[BLACK] = false;

    const Square from = m.from(), to = m.to();
    const Piece piece = before.piece_on(from);
    const Color us = color_of(piece);
    e.sub_piece[0] = piece;
    e.sub_sq[0] = from;
    e.add_sq[0] = to;
    if (m.is_castling()) {
        // Castling is written as the king's move. King and rook both come off and go back on,
        // so a Chess960 king that lands on its rook's square, or does not move, needs nothing
        // special: the rows of a piece that stays cancel out.
        const bool queen_side = m.kind() == kind::QUEEN_CASTLE;
        const Piece rook = make_piece(us, ROOK);
        e.add_piece[0] = piece;
        e.sub_piece[1] = e.add_piece[1] = rook;
        e.sub_sq[1] = before.castling_rook(castling_index(us, queen_side));
        e.add_sq[1] = castling_rook_to(us, queen_side);
        e.sub_count = e.add_count = 2;
    } else {
        e.add_piece[0] = m.is_promotion() ? make_piece(us, m.promoted()) : piece;
        e.add_count = 1;
        e.sub_count = 1;
        if (m.is_capture()) {
            const bool ep = m.is_en_passant();
            e.sub_sq[1] = ep ? uint8_t(to ^ 8) : to;
            e.sub_piece[1] = ep ? make_piece(Color(!us), PAWN) : before.piece_on(to);
            e.sub_count = 2;
        }
    }
    if (type_of(piece) == KING && net_->king_buckets() >= 2)
        e.king_key[us] = king_key(net_->king_buckets(), us, to);
}

void NnueEval::pop_move() {
    if (index_ == 0) fatal("nnue pop without push");
    --index_;
}

void NnueEval::update(Color p, const Position& pos) {
    if (stack_[index_].computed[p]) return;
    // Walk back to the last entry computed for p; a key change on the way means the rows of
    // the stored updates no longer match, and the cache rebuilds instead.
    const uint8_t key = stack_[index_].king_key[p];
    int j = index_;
    while (!stack_[j].computed[p]) {
        if (j == 0) fatal("nnue evaluate before reset");
        --j;
        if (stack_[j].king_key[p] != key) {
            refresh_from_cache(p, pos);
            return;
        }
    }
    const Network& net = *net_;
    for (int i = j + 1; i <= index_; ++i) {
        Entry& e = stack_[i];
        const int16_t* adds[2] = {};
        const int16_t* subs[2] = {};
        for (int k = 0; k < e.add_count; ++k)
            adds[k] = net.row(feature_row(p, key, e.add_piece[k], e.add_sq[k]));
        for (int k = 0; k < e.sub_count; ++k)
            subs[k] = net.row(feature_row(p, key, e.sub_piece[k], e.sub_sq[k]));
        apply_move_rows(e.acc[p].v, stack_[i - 1].acc[p].v, adds, e.add_count, subs, e.sub_count);
        e.computed[p] = true;
    }
}

void NnueEval::refresh_from_cache(Color p, const Position& pos) {
    Entry& e = stack_[index_];
    const uint8_t key = e.king_key[p];
    CacheEntry& cached = cache_[p * 2 * net_->king_buckets() + key];
    const int16_t* adds[64];
    const int16_t* subs[64];
    int add_count = 0, sub_count = 0;
    for (Color c : {WHITE, BLACK})
        for (PieceType t = PAWN; t <= KING; ++t) {
            const Piece piece = make_piece(c, t);
            const Bitboard now = pos.pieces(c, t), before = cached.pieces[piece];
            for (Bitboard b = now & ~before; b;)
                adds[add_count++] = net_->row(feature_row(p, key, piece, pop_lsb(b)));
            for (Bitboard b = before & ~now; b;)
                subs[sub_count++] = net_->row(feature_row(p, key, piece, pop_lsb(b)));
            cached.pieces[piece] = now;
        }
    apply_rows(cached.acc.v, e.acc[p].v, cached.acc.v, adds, add_count, subs, sub_count);
    e.computed[p] = true;
}

int32_t NnueEval::evaluate(const Position& pos) {
    update(WHITE, pos);
    update(BLACK, pos);
    const Entry& e = stack_[index_];
    const Color us = pos.side_to_move();
    const int b = output_bucket(net_->output_buckets(), pos);
    const int32_t sum = output_sum(e.acc[us], e.acc[!us], net_->output_weights(b));
    return score_from_sum(sum, net_->output_bias(b));
}

std::optional<WdlProbs> NnueEval::wdl(const Position& pos) {
    if (!net_->has_head()) return std::nullopt;
    const AccPair accs = refresh(*net_, pos);
    const Color us = pos.side_to_move();
    float x[3];
    for (int k = 0; k < 3; ++k) {
        const int32_t sum = output_sum(accs.acc[us], accs.acc[!us], net_->head_weights(k));
        x[k] = float(sum / NNUE_ACTIVATION_MAX + net_->head_bias(k)) / float(NNUE_OUTPUT_SCALE);
    }
    const float m = std::max({x[0], x[1], x[2]});
    float e[3];
    for (int k = 0; k < 3; ++k)
        e[k] = std::exp(x[k] - m);
    const float total = e[0] + e[1] + e[2];
    return WdlProbs{e[0] / total, e[1] / total, e[2] / total};
}

} // namespace velmar
