#include "movegen.h"
#include "nnue.h"
#include "test_util.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace velmar {
namespace {

using test::fen;
using test::Rng;

struct Shape {
    uint32_t king_buckets;
    uint32_t output_buckets;
    bool head;
    size_t exact;
    size_t padded;
};

// The accepted sizes, written out rather than computed.
constexpr Shape SHAPES[] = {
    {1, 1, false, 1'579'010, 1'579'072},   {1, 1, true, 1'591'304, 1'591'360},
    {1, 8, false, 1'607'696, 1'607'744},   {1, 8, true, 1'619'990, 1'620'032},
    {4, 1, false, 6'297'602, 6'297'664},   {4, 1, true, 6'309'896, 6'309'952},
    {4, 8, false, 6'326'288, 6'326'336},   {4, 8, true, 6'338'582, 6'338'624},
    {8, 1, false, 12'589'058, 12'589'120}, {8, 1, true, 12'601'352, 12'601'408},
    {8, 8, false, 12'617'744, 12'617'792}, {8, 8, true, 12'630'038, 12'630'080},
};

const std::string RANGE_ERROR = "output weights outside -127..127 (train with weight clipping)";

std::string size_error(size_t n) {
    return "network file has " + std::to_string(n)
           + " bytes; a (768->1024)x2->1 network needs 1579010 (1579072 padded), or 1591304 "
             "(1591360 padded) with a W/D/L head (other sizes: king/output buckets)";
}

// Offsets of the sections of a file, in bytes.
struct Layout {
    size_t ft_bias, out_weights, out_bias, head_weights, head_bias, end;
    explicit Layout(const Shape& s) {
        ft_bias = size_t(s.king_buckets) * 768 * 1024 * 2;
        out_weights = ft_bias + 2048;
        out_bias = out_weights + s.output_buckets * 4096;
        head_weights = out_bias + s.output_buckets * 2;
        head_bias = head_weights + (s.head ? 3 * 4096 : 0);
        end = head_bias + (s.head ? 6 : 0);
    }
};

void put16(std::vector<uint8_t>& bytes, size_t offset, int v) {
    bytes[offset] = uint8_t(uint16_t(v) & 0xFF);
    bytes[offset + 1] = uint8_t(uint16_t(v) >> 8);
}

int uniform(Rng& rng, int lo, int hi) {
    return lo + int(rng.below(uint64_t(hi - lo + 1)));
}

// A seeded random network whose hidden sums spread over both sides of the clipping window.
std::vector<uint8_t> random_net(const Shape& s, uint64_t seed, bool padded = false) {
    Rng rng{seed};
    const Layout at(s);
    std::vector<uint8_t> bytes(padded ? s.padded : s.exact);
    for (size_t o = 0; o < at.ft_bias; o += 2)
        put16(bytes, o, uniform(rng, -48, 48));
    for (size_t o = at.ft_bias; o < at.out_weights; o += 2)
        put16(bytes, o, uniform(rng, -64, 320));
    for (size_t o = at.out_weights; o < at.out_bias; o += 2)
        put16(bytes, o, uniform(rng, -127, 127));
    for (size_t o = at.out_bias; o < at.head_weights; o += 2)
        put16(bytes, o, uniform(rng, -3000, 3000));
    for (size_t o = at.head_weights; o < at.head_bias; o += 2)
        put16(bytes, o, uniform(rng, -127, 127));
    for (size_t o = at.head_bias; o < at.end; o += 2)
        put16(bytes, o, uniform(rng, -9000, 9000));
    for (size_t o = at.end; o < bytes.size(); ++o)
        bytes[o] = uint8_t(rng.next());
    return bytes;
}

std::shared_ptr<const Network> load(const std::vector<uint8_t>& bytes) {
    Result<Network> net = Network::from_bytes(bytes);
    EXPECT_TRUE(net.ok()) << net.error().message;
    return std::make_shared<const Network>(std::move(net.value()));
}

bool weights_equal(const Network& a, const Network& b) {
    if (a.king_buckets() != b.king_buckets() || a.output_buckets() != b.output_buckets()
        || a.has_head() != b.has_head())
        return false;
    const size_t ft = (a.row_count() + 1) * 1024;
    if (!std::equal(a.row(0), a.row(0) + ft, b.row(0))) return false;
    for (int k = 0; k < 8; ++k)
        if (!std::equal(a.output_weights(k), a.output_weights(k) + 2048, b.output_weights(k))
            || a.output_bias(k) != b.output_bias(k))
            return false;
    for (int k = 0; a.has_head() && k < 3; ++k)
        if (!std::equal(a.head_weights(k), a.head_weights(k) + 2048, b.head_weights(k))
            || a.head_bias(k) != b.head_bias(k))
            return false;
    return true;
}

TEST(Nnue, LoaderAcceptsExactlyTheListedSizes) {
    std::vector<uint8_t> zeros(12'630'081); // all-zero weights are valid at every length
    auto check_refused = [&](size_t n) {
        SCOPED_TRACE(n);
        Result<Network> net = Network::from_bytes(std::span(zeros.data(), n));
        ASSERT_FALSE(net.ok());
        EXPECT_EQ(net.error().message, size_error(n));
    };
    for (const Shape& s : SHAPES)
        for (size_t n : {s.exact, s.padded}) {
            SCOPED_TRACE(n);
            Result<Network> net = Network::from_bytes(std::span(zeros.data(), n));
            ASSERT_TRUE(net.ok()) << net.error().message;
            EXPECT_EQ(net.value().king_buckets(), s.king_buckets);
            EXPECT_EQ(net.value().output_buckets(), s.output_buckets);
            EXPECT_EQ(net.value().has_head(), s.head);
            check_refused(n - 1);
            check_refused(n + 1);
        }
    check_refused(0);
    check_refused(2);
}

// Each section's first and last value carries a marker, so a misplaced section shows.
TEST(Nnue, SectionsLandInOrderAndPaddingIsIgnored) {
    for (const Shape& s : SHAPES) {
        SCOPED_TRACE(s.exact);
        const Layout at(s);
        std::vector<uint8_t> bytes(s.padded, 0xA5); // padding garbage
        std::fill(bytes.begin(), bytes.begin() + long(at.end), 0);
        const size_t last_row = (size_t(s.king_buckets) * 768 - 1) * 2048;
        put16(bytes, 0, 1001);
        put16(bytes, last_row + 2046, 1002);
        put16(bytes, at.ft_bias, 1003);
        put16(bytes, at.out_weights - 2, 1004);
        put16(bytes, at.out_weights, 11);
        put16(bytes, at.out_bias - 2, 12);
        put16(bytes, at.out_bias, 2001);
        put16(bytes, at.head_weights - 2, 2002);
        if (s.head) {
            put16(bytes, at.head_weights, 21);
            put16(bytes, at.head_weights + 4096, 22);
            put16(bytes, at.head_weights + 8192 + 4094, 23);
            put16(bytes, at.head_bias, 31); // stored loss first
            put16(bytes, at.head_bias + 2, 32);
            put16(bytes, at.head_bias + 4, 33);
        }
        const auto padded = load(bytes);
        bytes.resize(s.exact);
        const auto exact = load(bytes);
        EXPECT_TRUE(weights_equal(*padded, *exact));

        const Network& n = *exact;
        const int last_bucket = int(s.output_buckets) - 1;
        EXPECT_EQ(n.row(0)[0], 1001);
        EXPECT_EQ(n.row(int(n.row_count()) - 1)[1023], 1002);
        EXPECT_EQ(n.feature_bias()[0], 1003);
        EXPECT_EQ(n.feature_bias()[1023], 1004);
        EXPECT_EQ(n.output_weights(0)[0], 11);
        EXPECT_EQ(n.output_weights(last_bucket)[2047], 12);
        EXPECT_EQ(n.output_bias(0), s.output_buckets == 1 ? 2002 : 2001); // one slot when O = 1
        EXPECT_EQ(n.output_bias(last_bucket), 2002);
        for (int b = int(s.output_buckets); b < 8; ++b) {
            EXPECT_EQ(n.output_bias(b), 0);
            EXPECT_TRUE(std::all_of(n.output_weights(b), n.output_weights(b) + 2048,
                                    [](int16_t w) { return w == 0; }));
        }
        if (s.head) {
            EXPECT_EQ(n.head_weights(0)[0], 21);    // win
            EXPECT_EQ(n.head_weights(1)[0], 22);    // draw
            EXPECT_EQ(n.head_weights(2)[2047], 23); // loss
            EXPECT_EQ(n.head_bias(0), 33);          // win: stored last
            EXPECT_EQ(n.head_bias(1), 32);
            EXPECT_EQ(n.head_bias(2), 31); // loss: stored first
        }
    }
}

struct RangeCase {
    bool head;    // the value goes into the head rather than an output bucket
    size_t index; // 16-bit value index within that section
    int value;
    bool ok;
};

TEST(Nnue, OutputAndHeadWeightsMustFitInt8Range) {
    constexpr RangeCase CASES[] = {
        {false, 0, 127, true},       {false, 0, -127, true},    {false, 16383, 127, true},
        {false, 0, 128, false},      {false, 0, -128, false},   {false, 16383, -128, false},
        {false, 9000, 32767, false}, {true, 0, -127, true},     {true, 6143, 127, true},
        {true, 0, 200, false},       {true, 6143, -128, false},
    };
    const Shape& s = SHAPES[11];
    const Layout at(s);
    std::vector<uint8_t> bytes = random_net(s, 5, true);
    const auto before = load(bytes);
    NnueEval eval(before);
    const Position pos = fen("r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4");
    eval.reset(pos);
    const int32_t score = eval.evaluate(pos);
    for (const RangeCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.head << " " << c.index << " " << c.value);
        std::vector<uint8_t> edited = bytes;
        put16(edited, (c.head ? at.head_weights : at.out_weights) + 2 * c.index, c.value);
        Result<Network> net = Network::from_bytes(edited);
        ASSERT_EQ(net.ok(), c.ok);
        if (!c.ok) {
            EXPECT_EQ(net.error().message, RANGE_ERROR);
        }
    }
    // A refused load leaves what was loaded before, and evaluators using it, as they were.
    EXPECT_TRUE(weights_equal(*before, *load(bytes)));
    EXPECT_EQ(eval.evaluate(pos), score);
}

TEST(Nnue, FileLoaderReportsReadAndParseErrors) {
    const std::string dir = testing::TempDir();
    auto missing = load_network_file(dir + "/no-such-velmar.nnue");
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().message.find("No such file"), std::string::npos)
        << missing.error().message;

    const std::vector<uint8_t> good = random_net(SHAPES[0], 9);
    for (size_t n : {good.size(), good.size() - 1}) {
        const std::string path = dir + "/velmar-test-" + std::to_string(n) + ".nnue";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(good.data(), 1, n, f), n);
        std::fclose(f);
        auto net = load_network_file(path);
        std::remove(path.c_str());
        if (n == good.size()) {
            ASSERT_TRUE(net.ok()) << net.error().message;
            EXPECT_TRUE(weights_equal(*net.value(), *load(good)));
        } else {
            ASSERT_FALSE(net.ok());
            EXPECT_EQ(net.error().message, size_error(n));
        }
    }
}

// Only a regular file of an accepted size is read: the rest is refused from the file's type and
// length alone, without waiting on a FIFO or allocating for a terabyte.
TEST(Nnue, FileLoaderRefusesOtherFilesBeforeReading) {
    test::ScratchDir dir("nnue");
    const uint64_t terabyte = uint64_t(1) << 40;
    struct Case {
        std::string label, path, message;
    };
    const Case cases[] = {
        {"sparse terabyte", dir.file("huge.nnue", {1, 2, 3}, terabyte), size_error(terabyte)},
        {"one byte over the largest", dir.file("over.nnue", {}, SHAPES[11].padded + 1),
         size_error(SHAPES[11].padded + 1)},
        {"FIFO", dir.fifo("fifo.nnue"), "not a regular file"},
        {"directory", dir.directory("dir.nnue"), "not a regular file"},
        {"device", "/dev/zero", "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto net = load_network_file(c.path);
        ASSERT_FALSE(net.ok());
        EXPECT_EQ(net.error().message, c.message);
    }
}

// Weights that cannot be allocated make a refusal, not the end of the process. The child's
// address space cannot grow by the 12.6 MB of the largest network.
TEST(Nnue, AllocationFailureIsAMessage) {
    if (!test::CAN_LIMIT_MEMORY) GTEST_SKIP() << "address space limits clash with the sanitizers";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<uint8_t> zeros(SHAPES[11].padded);
    const std::string message =
        "not enough memory for a network of " + std::to_string(zeros.size()) + " bytes";
    EXPECT_EXIT(
        {
            if (!test::limit_address_space(4 << 20)) std::exit(2);
            Result<Network> net = Network::from_bytes(zeros);
            std::exit(!net.ok() && net.error().message == message ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_TRUE(Network::from_bytes(zeros).ok());
}

struct KeyCase {
    Color side;
    std::string_view square;
    uint8_t key8, key4;
};

TEST(Nnue, KingKeysFollowBucketTableAndMirror) {
    // key = 2 x bucket + mirror (files e-h), squares seen from the king's own side.
    constexpr KeyCase CASES[] = {
        {WHITE, "a1", 0, 0},  {WHITE, "b1", 0, 0},  {WHITE, "c1", 2, 2},  {WHITE, "d1", 4, 2},
        {WHITE, "e1", 5, 3},  {WHITE, "g1", 1, 1},  {WHITE, "h2", 7, 5},  {WHITE, "c2", 8, 4},
        {WHITE, "f2", 9, 5},  {WHITE, "a3", 10, 6}, {WHITE, "d4", 12, 6}, {WHITE, "e4", 13, 7},
        {WHITE, "a5", 14, 6}, {WHITE, "h8", 15, 7}, {BLACK, "e8", 5, 3},  {BLACK, "b8", 0, 0},
        {BLACK, "c7", 8, 4},  {BLACK, "h6", 11, 7}, {BLACK, "d1", 14, 6}, {BLACK, "e5", 13, 7},
    };
    for (const KeyCase& c : CASES) {
        SCOPED_TRACE(c.square);
        const Square sq = make_square(c.square[0] - 'a', c.square[1] - '1');
        EXPECT_EQ(king_key(8, c.side, sq), c.key8);
        EXPECT_EQ(king_key(4, c.side, sq), c.key4);
        EXPECT_EQ(king_key(1, c.side, sq), 0);
    }
}

// An accumulator computed the slow way from the feature definition, as an oracle for
// refresh_scalar (which the vector paths are then held to).
Acc accumulator_by_definition(const Network& net, const Position& pos, Color p) {
    Acc acc;
    const int kb = int(net.king_buckets());
    int king = pos.king_square(p);
    if (p == BLACK) king ^= 56;
    const bool mirror = kb > 1 && file_of(king) >= 4;
    const int kf = mirror ? 7 - file_of(king) : file_of(king), kr = rank_of(king);
    int bucket = 0;
    if (kb == 8)
        bucket = kr == 0   ? (kf < 2    ? 0
                              : kf == 2 ? 1
                                        : 2)
                 : kr == 1 ? (kf < 2 ? 3 : 4)
                 : kr < 4  ? (kf < 2 ? 5 : 6)
                           : 7;
    if (kb == 4) bucket = kr == 0 ? (kf < 2 ? 0 : 1) : kr == 1 ? 2 : 3;
    for (int i = 0; i < 1024; ++i) {
        int32_t v = net.feature_bias()[i];
        for (int sq = 0; sq < 64; ++sq) {
            const Piece pc = pos.piece_on(sq);
            if (pc == EMPTY) continue;
            int o = p == BLACK ? sq ^ 56 : sq;
            if (mirror) o ^= 7;
            const int row = bucket * 768 + (color_of(pc) == p ? 0 : 384) + type_of(pc) * 64 + o;
            v += net.row(row)[i];
        }
        acc.v[i] = int16_t(v); // modulo 2^16, like the engine's sums
    }
    return acc;
}

TEST(Nnue, RefreshMatchesFeatureDefinition) {
    const char* fens[] = {
        "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
        "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
        "6k1/8/8/8/3K4/8/8/8 b - - 0 1",
        "2K2r2/4P3/8/8/8/8/8/3k4 w - - 0 1",
        "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    };
    for (const Shape& s : {SHAPES[0], SHAPES[4], SHAPES[11]}) {
        const auto net = load(random_net(s, s.king_buckets));
        for (const char* f : fens) {
            SCOPED_TRACE(f);
            const Position pos = fen(f);
            const AccPair accs = refresh_scalar(*net, pos);
            for (Color c : {WHITE, BLACK})
                EXPECT_TRUE(accs.acc[c] == accumulator_by_definition(*net, pos, c));
        }
    }
}

// Random walks through the move tree: down by random moves (biased to king moves and noisy
// moves so that castling, en passant, promotions and bucket changes come often), sometimes
// a null move, and back up by unmake/pop. At random moments: the lazily updated accumulators
// equal a scalar refresh, the vector score equals the scalar score, and a push/pop pair
// leaves the score unchanged.
struct WalkStats {
    int evaluations = 0, castles = 0, en_passants = 0, promotions = 0, king_key_changes = 0,
        mirror_flips = 0, nulls = 0;
};

void walk_and_check(const std::shared_ptr<const Network>& net, uint64_t seed, int steps,
                    WalkStats& stats, bool chess960 = false) {
    Rng rng{seed};
    NnueEval eval(net);
    const auto& fens = chess960 ? test::chess960_fens() : test::varied_fens();
    Position pos = fen(fens[rng.below(fens.size())], chess960);
    eval.reset(pos);
    std::vector<Move> path; // NO_MOVE marks a null move
    for (int step = 0; step < steps && !testing::Test::HasFatalFailure(); ++step) {
        MoveList moves;
        generate_all(pos, moves);
        const bool go_up =
            !path.empty() && (moves.empty() || path.size() > 100 || rng.below(3) == 0);
        if (go_up) {
            const Move m = path.back();
            path.pop_back();
            if (m.is_null()) {
                pos.unmake_null();
            } else {
                pos.unmake_move(m);
                eval.pop_move();
            }
        } else if (moves.empty()) {
            return;
        } else if (!pos.in_check() && rng.below(12) == 0) {
            pos.make_null();
            path.push_back(NO_MOVE);
            ++stats.nulls;
        } else {
            MoveList kings, noisy, rare;
            for (Move m : moves) {
                if (m.from() == pos.king_square(pos.side_to_move())) kings.push(m);
                if (m.is_noisy()) noisy.push(m);
                if (m.is_castling() || m.is_en_passant()) rare.push(m);
            }
            const uint64_t pick = rng.below(4);
            const MoveList& from = !rare.empty() && rng.below(2) == 0 ? rare
                                   : pick == 0 && !kings.empty()      ? kings
                                   : pick == 1 && !noisy.empty()      ? noisy
                                                                      : moves;
            const Move m = from[int(rng.below(uint64_t(from.size())))];
            const Color us = pos.side_to_move();
            const uint8_t key_before = king_key(8, us, pos.king_square(us));
            stats.castles += m.is_castling();
            stats.en_passants += m.is_en_passant();
            stats.promotions += m.is_promotion();
            eval.push_move(pos, m);
            pos.make_move(m);
            path.push_back(m);
            const uint8_t key_after = king_key(8, us, pos.king_square(us));
            stats.king_key_changes += key_after != key_before;
            stats.mirror_flips += (key_after & 1) != (key_before & 1);
        }
        if (rng.below(3) != 0) continue; // leave some plies unevaluated: longer replays

        ++stats.evaluations;
        const int32_t score = eval.evaluate(pos);
        const AccPair expected = refresh_scalar(*net, pos);
        ASSERT_TRUE(eval.accumulator(WHITE) == expected.acc[WHITE]) << pos.to_fen();
        ASSERT_TRUE(eval.accumulator(BLACK) == expected.acc[BLACK]) << pos.to_fen();
        ASSERT_EQ(score, evaluate_scalar(*net, pos)) << pos.to_fen();
        if (rng.below(4) == 0) { // a child evaluated and taken back leaves the score alone
            MoveList now;
            generate_all(pos, now);
            if (!now.empty()) {
                const Move m = now[int(rng.below(uint64_t(now.size())))];
                eval.push_move(pos, m);
                pos.make_move(m);
                eval.evaluate(pos);
                pos.unmake_move(m);
                eval.pop_move();
                ASSERT_EQ(eval.evaluate(pos), score) << pos.to_fen() << " " << m.text();
            }
        }
        if (rng.below(16) == 0) { // a copy carries on as an independent twin
            NnueEval copy = eval;
            ASSERT_EQ(copy.evaluate(pos), score);
        }
    }
}

TEST(Nnue, LazyUpdatesMatchScalarRefreshForEveryShape) {
    WalkStats stats;
    for (const Shape& s : SHAPES) {
        SCOPED_TRACE(s.exact);
        const auto net = load(random_net(s, 100 + s.exact));
        for (uint64_t seed = 0; seed < 4; ++seed) {
            walk_and_check(net, seed * 7919 + s.exact, 600, stats);
            ASSERT_FALSE(testing::Test::HasFatalFailure());
        }
        // Chess960 castling: the king may land on its rook's square or not move at all.
        walk_and_check(net, 31 + s.exact, 600, stats, true);
        ASSERT_FALSE(testing::Test::HasFatalFailure());
    }

    // The walks did reach the rules that matter.
    EXPECT_GT(stats.evaluations, 5000);
    EXPECT_GT(stats.castles, 10);
    EXPECT_GT(stats.en_passants, 5);
    EXPECT_GT(stats.promotions, 20);
    EXPECT_GT(stats.king_key_changes, 200);
    EXPECT_GT(stats.mirror_flips, 50);
    EXPECT_GT(stats.nulls, 50);
}

TEST(Nnue, VectorOutputSumMatchesScalar) {
    Rng rng{77};
    std::vector<int16_t> weights(2048);
    Acc us, them;
    for (int round = 0; round < 500; ++round) {
        // Full int16 range half the time (clipping at both ends, wrapping 32-bit sums).
        const int lo = round % 2 ? -32768 : -40, hi = round % 2 ? 32767 : 300;
        for (int i = 0; i < 1024; ++i) {
            us.v[i] = int16_t(uniform(rng, lo, hi));
            them.v[i] = int16_t(uniform(rng, lo, hi));
        }
        for (int16_t& w : weights)
            w = int16_t(uniform(rng, -127, 127));
        ASSERT_EQ(output_sum(us, them, weights.data()),
                  output_sum_scalar(us, them, weights.data()));
    }
}

// Output bucket b of an 8-bucket network behaves as a 1-bucket network made of bucket b alone.
TEST(Nnue, OutputBucketFollowsPieceCount) {
    const Shape& eight = SHAPES[2]; // 1 king bucket, 8 output buckets, no head
    const Shape& one = SHAPES[0];
    const std::vector<uint8_t> bytes8 = random_net(eight, 31);
    const auto net8 = load(bytes8);
    std::vector<std::shared_ptr<const Network>> singles;
    const Layout at8(eight), at1(one);
    for (int b = 0; b < 8; ++b) {
        std::vector<uint8_t> bytes1(bytes8.begin(), bytes8.begin() + long(at8.out_weights));
        bytes1.insert(bytes1.end(), bytes8.begin() + long(at8.out_weights + b * 4096),
                      bytes8.begin() + long(at8.out_weights + (b + 1) * 4096));
        bytes1.insert(bytes1.end(), bytes8.begin() + long(at8.out_bias + 2 * b),
                      bytes8.begin() + long(at8.out_bias + 2 * b + 2));
        singles.push_back(load(bytes1));
    }
    // (pieces on the board, bucket): two to five pieces share bucket 0, 30 and more bucket 7.
    constexpr int BUCKET_OF[33] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3,
                                   3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7};
    Rng rng{3};
    int seen[8] = {};
    NnueEval e8(net8);
    std::vector<NnueEval> e1;
    for (const auto& single : singles)
        e1.emplace_back(single);
    for (int game = 0; game < 30; ++game)
        test::random_game(Position::startpos(), rng, 200, [&](const Position& pos) {
            const int n = popcount(pos.pieces());
            const int b = BUCKET_OF[n];
            ++seen[b];
            EXPECT_EQ(output_bucket(8, pos), b);
            EXPECT_EQ(output_bucket(1, pos), 0);
            e8.reset(pos);
            e1[b].reset(pos);
            ASSERT_EQ(e8.evaluate(pos), e1[b].evaluate(pos)) << pos.to_fen();
        });
    for (int b = 2; b < 8; ++b)
        EXPECT_GT(seen[b], 0) << b;
}

struct ScoreCase {
    int bias;
    int32_t score;
};

// Zero output weights leave bias x 400 / 16320, truncated toward zero.
TEST(Nnue, ScoreOfBiasAloneTruncatesTowardZero) {
    constexpr ScoreCase CASES[] = {{0, 0},       {40, 0},      {41, 1},      {-41, -1},
                                   {-1000, -24}, {16320, 400}, {32767, 803}, {-32768, -803}};
    const Shape& s = SHAPES[0];
    const Layout at(s);
    const Position pos = Position::startpos();
    for (const ScoreCase& c : CASES) {
        std::vector<uint8_t> bytes = random_net(s, 1);
        for (size_t o = at.out_weights; o < at.out_bias; ++o)
            bytes[o] = 0;
        put16(bytes, at.out_bias, c.bias);
        NnueEval eval(load(bytes));
        eval.reset(pos);
        EXPECT_EQ(eval.evaluate(pos), c.score) << c.bias;
    }
}

// All hidden values at 255 and weights 11: sum = 65025 x 11 x 2048 = 1,464,883,200, s = 5,744,640,
// and s x 400 no longer fits in 32 bits; the result must still be exact.
TEST(Nnue, LargeSumsScaleWithoutOverflow) {
    const Shape& s = SHAPES[0];
    const Layout at(s);
    std::vector<uint8_t> bytes(s.exact, 0);
    for (size_t o = at.ft_bias; o < at.out_weights; o += 2)
        put16(bytes, o, 255);
    for (size_t o = at.out_weights; o < at.out_bias; o += 2)
        put16(bytes, o, 11);
    const auto net = load(bytes);
    const Position pos = Position::startpos();
    NnueEval eval(net);
    eval.reset(pos);
    EXPECT_EQ(eval.evaluate(pos), 140'800);
    EXPECT_EQ(evaluate_scalar(*net, pos), 140'800);
}

TEST(Nnue, WdlComesFromTheHeadOnly) {
    const Position pos = fen("r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4");
    for (const Shape& s : SHAPES) {
        NnueEval eval(load(random_net(s, 17)));
        eval.reset(pos);
        const auto wdl = eval.wdl(pos);
        ASSERT_EQ(wdl.has_value(), s.head);
        if (wdl) {
            EXPECT_NEAR(wdl->win + wdl->draw + wdl->loss, 1.0f, 1e-6f);
        }
    }
    // Zero head weights; stored biases (loss 0, draw 0, win 16320 ln 2) give x = (ln 2, 0, 0),
    // so the softmax is exactly (1/2, 1/4, 1/4).
    const Shape& s = SHAPES[1];
    const Layout at(s);
    std::vector<uint8_t> bytes = random_net(s, 4);
    std::fill(bytes.begin() + long(at.head_weights), bytes.end(), 0);
    put16(bytes, at.head_bias + 4, int(std::lround(16320 * std::log(2.0))));
    NnueEval eval(load(bytes));
    const auto wdl = eval.wdl(pos);
    ASSERT_TRUE(wdl.has_value());
    EXPECT_NEAR(wdl->win, 0.5f, 1e-4f);
    EXPECT_NEAR(wdl->draw, 0.25f, 1e-4f);
    EXPECT_NEAR(wdl->loss, 0.25f, 1e-4f);
}

// Random bytes of every accepted length: the loader answers (almost always with the range
// message); with the output section forced into range, evaluation stays exact and finite.
TEST(Nnue, RandomBytesNeverBreakLoaderOrEvaluator) {
    Rng rng{2024};
    WalkStats stats;
    for (const Shape& s : SHAPES)
        for (size_t n : {s.exact, s.padded}) {
            SCOPED_TRACE(n);
            std::vector<uint8_t> bytes(n);
            for (size_t i = 0; i + 8 <= n; i += 8) {
                const uint64_t r = rng.next();
                std::memcpy(&bytes[i], &r, 8);
            }
            for (size_t i = n / 8 * 8; i < n; ++i)
                bytes[i] = uint8_t(rng.next());
            Result<Network> raw = Network::from_bytes(bytes);
            if (!raw.ok()) {
                EXPECT_EQ(raw.error().message, RANGE_ERROR);
            }

            const Layout at(s);
            for (size_t o = at.out_weights; o < at.end; o += 2)
                if (o < at.out_bias || (o >= at.head_weights && o < at.head_bias))
                    put16(bytes, o, int8_t(bytes[o]) == -128 ? 127 : int8_t(bytes[o]));
            const auto net = load(bytes);
            walk_and_check(net, n, 40, stats);
            NnueEval eval(net);
            const Position pos = Position::startpos();
            eval.reset(pos);
            if (const auto wdl = eval.wdl(pos)) {
                EXPECT_TRUE(std::isfinite(wdl->win) && std::isfinite(wdl->draw)
                            && std::isfinite(wdl->loss));
            }
        }
}

TEST(Nnue, BuiltInNetworkIsSharedAndPlaysMaterial) {
    EXPECT_EQ(DEFAULT_NET.image().size(), DefaultNet::SIZE);
    const auto net = DEFAULT_NET.get();
    EXPECT_EQ(net, DEFAULT_NET.get());
    EXPECT_EQ(net->king_buckets(), 8u);
    EXPECT_EQ(net->output_buckets(), 8u);
    EXPECT_TRUE(net->has_head());
    NnueEval eval(net);
    // Start position close to level (a trained network gives the side to move a little); a queen
    // up is well ahead for either side to move.
    const Position start = Position::startpos();
    eval.reset(start);
    EXPECT_LT(std::abs(eval.evaluate(start)), 50);
    const Position up = fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1");
    eval.reset(up);
    EXPECT_GT(eval.evaluate(up), 700);
    const Position down = fen("rnb1kbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    eval.reset(down);
    EXPECT_LT(eval.evaluate(down), -700);
    const auto wdl = eval.wdl(down);
    ASSERT_TRUE(wdl.has_value());
    EXPECT_GT(wdl->loss, 0.8f); // black to move, a queen down
}

} // namespace
} // namespace velmar
