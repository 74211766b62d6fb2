#include "router.h"
#include "router_moe.h"
#include "test_util.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmar {
namespace {

using test::fen;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// Helpers

// Positions from the usual start points and a few random games through them.
const std::vector<Position>& sample_positions() {
    static const std::vector<Position> positions = [] {
        std::vector<Position> out;
        test::Rng rng{12345};
        for (std::string_view f : test::varied_fens()) {
            int ply = 0;
            test::random_game(fen(f), rng, 30, [&](const Position& p) {
                if (ply++ % 5 == 0) out.push_back(p);
            });
        }
        return out;
    }();
    return positions;
}

MoveList legal_moves(const Position& pos) {
    MoveList list;
    generate_all(pos, list);
    return list;
}

std::span<const Move> span_of(const MoveList& list) {
    return {list.moves, size_t(list.count)};
}

void put_u32(Bytes& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}
void put_f32(Bytes& b, size_t at, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    put_u32(b, at, bits);
}
float get_f32(const Bytes& b, size_t at) {
    uint32_t bits = uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16
                    | uint32_t(b[at + 3]) << 24;
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

// A header of four magic bytes and 32-bit fields, padded with zeros to `length` if larger.
Bytes header(std::string_view magic, std::initializer_list<uint32_t> fields, size_t length = 0) {
    Bytes b(magic.begin(), magic.end());
    for (uint32_t f : fields)
        put_u32(b, b.size(), f);
    if (b.size() < length) b.resize(length, 0);
    return b;
}

// Byte offset of array `index` (1-12) in a KWT1-KWT4 file.
size_t router_array_offset(uint32_t version, uint32_t h1, uint32_t h2, int index) {
    const size_t g = version == 4 ? h2 : h1;
    const size_t lengths[13] = {
        0,  768 * size_t(h1), h1, 384 * g,         384, 384 * g, 24576, 5, 108,
        48, size_t(h1) * h2,  h2, 384 * size_t(h2)};
    size_t at = version == 4 ? 16 : 12;
    for (int i = 1; i < index; ++i)
        at += 4 * lengths[i];
    return at;
}

// Byte offset of the move bias (last field) of a KWT5 file.
size_t moe_move_bias_offset(const Bytes& file) {
    return file.size() - 4 * 24576;
}

// Squares and type as the networks index them.
struct Oriented {
    int type, from, to;
};
Oriented oriented(const Position& pos, Move m) {
    const int flip = pos.side_to_move() == WHITE ? 0 : 56;
    return {type_of(pos.piece_on(m.from())), m.from() ^ flip, m.to() ^ flip};
}

// Sum of probabilities of the moves of each from-square.
std::map<int, double> piece_totals(const MoveList& moves, const std::vector<float>& lp) {
    std::map<int, double> totals;
    for (int i = 0; i < moves.count; ++i)
        totals[moves[i].from()] += std::exp(double(lp[i]));
    return totals;
}

// One network of any version behind one call, so the properties below run over all of them.
struct AnyNet {
    std::string label;
    std::shared_ptr<const RouterNet> net;
    std::shared_ptr<const RouterMoeNet> moe;
    uint32_t top_k = 0;

    std::vector<float> run(const Position& pos, const MoveList& moves) const {
        return net ? net->log_probs(pos, span_of(moves))
                   : moe->log_probs(pos, span_of(moves), top_k);
    }
    Bytes bytes() const { return net ? net->to_bytes() : moe->to_bytes(); }
    AnyNet with_bytes(const Bytes& b) const {
        AnyNet other = *this;
        if (net)
            other.net = std::make_shared<RouterNet>(RouterNet::from_bytes(b).value());
        else
            other.moe = std::make_shared<RouterMoeNet>(RouterMoeNet::from_bytes(b).value());
        return other;
    }
    // Offset of the move-bias entry of (type, from, to).
    size_t move_bias_at(const Bytes& b, const Oriented& o) const {
        const size_t base =
            net ? router_array_offset(net->version(), net->hidden(), net->hidden2(), 6)
                : moe_move_bias_offset(b);
        return base + 4 * size_t(o.type * 4096 + o.from * 64 + o.to);
    }
};

std::vector<AnyNet> all_nets() {
    std::vector<AnyNet> nets;
    nets.push_back({"KWT1", std::make_shared<RouterNet>(RouterNet::random(1, 24, 0, 11)), nullptr});
    nets.push_back({"KWT2", std::make_shared<RouterNet>(RouterNet::random(2, 16, 0, 12)), nullptr});
    nets.push_back({"KWT3", std::make_shared<RouterNet>(RouterNet::random(3, 32, 0, 13)), nullptr});
    nets.push_back(
        {"KWT4", std::make_shared<RouterNet>(RouterNet::random(4, 40, 24, 14)), nullptr});
    auto moe = std::make_shared<RouterMoeNet>(RouterMoeNet::random(8, 2, 5, 15));
    nets.push_back({"KWT5", nullptr, moe, 0});
    nets.push_back({"KWT5 top 3", nullptr, moe, 3});
    return nets;
}

// ---------------------------------------------------------------------------------------------
// Loading

// Probabilities sum to one and ties stay ties, however large the scores grow.
TEST(Router, LogSoftmaxHoldsAtLargeScores) {
    const std::vector<std::vector<float>> CASES = {
        {0.0f, 1.0f, 2.0f},
        {1e4f, 1e4f, 0.0f},
        {1e7f, 1e7f, 1e7f, -1e7f},
        {-3e7f, -3e7f},
        {5.0f},
    };
    for (std::vector<float> v : CASES) {
        SCOPED_TRACE(v[0]);
        const float top = *std::max_element(v.begin(), v.end());
        const auto ties = std::count(v.begin(), v.end(), top);
        log_softmax(v.data(), int(v.size()));
        double sum = 0;
        for (float x : v) sum += std::exp(double(x));
        EXPECT_NEAR(sum, 1.0, 1e-5);
        if (ties > 1) {
            EXPECT_NEAR(v[0], -std::log(double(ties)), 1e-5);
        }
    }
}

TEST(RouterLoad, EveryVersionAndBoundarySizeLoadsAndRoundTrips) {
    struct Case {
        uint32_t version, a, b, c;
    };
    // Versions 1-4: a = H1, b = H2; version 5: C, B, E.
    constexpr Case CASES[] = {
        {1, 1, 0, 0},  {1, 4096, 0, 0}, {2, 1, 0, 0},    {2, 7, 0, 0},    {3, 1, 0, 0},
        {3, 33, 0, 0}, {4, 1, 1, 0},    {4, 4096, 1, 0}, {4, 1, 4096, 0}, {4, 17, 9, 0},
        {5, 1, 0, 1},  {5, 256, 16, 1}, {5, 3, 2, 7},    {5, 1, 16, 40},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(std::to_string(c.version) + ": " + std::to_string(c.a) + " "
                     + std::to_string(c.b) + " " + std::to_string(c.c));
        if (c.version == 5) {
            const Bytes bytes = RouterMoeNet::random(c.a, c.b, c.c, 7).to_bytes();
            EXPECT_EQ(bytes.size(), RouterMoeNet::file_size(c.a, c.b, c.c));
            Result<RouterMoeNet> net = RouterMoeNet::from_bytes(bytes);
            ASSERT_TRUE(net.ok()) << net.error().message;
            EXPECT_EQ(net.value().channels(), c.a);
            EXPECT_EQ(net.value().blocks(), c.b);
            EXPECT_EQ(net.value().experts(), c.c);
            EXPECT_TRUE(net.value().to_bytes() == bytes);
        } else {
            const Bytes bytes = RouterNet::random(c.version, c.a, c.b, 7).to_bytes();
            EXPECT_EQ(bytes.size(), RouterNet::file_size(c.version, c.a, c.b));
            Result<RouterNet> net = RouterNet::from_bytes(bytes);
            ASSERT_TRUE(net.ok()) << net.error().message;
            EXPECT_EQ(net.value().version(), c.version);
            EXPECT_EQ(net.value().hidden(), c.a);
            EXPECT_EQ(net.value().hidden2(), c.version == 4 ? c.b : 0u);
            EXPECT_EQ(net.value().activation(),
                      c.version >= 3 ? RouterActivation::SQUARED_CLIPPED : RouterActivation::RELU);
            EXPECT_TRUE(net.value().to_bytes() == bytes);
        }
    }
}

TEST(RouterLoad, Kwt1WithHiddenOneIsExactly106020Bytes) {
    Bytes bytes = RouterNet::random(1, 1, 0, 3).to_bytes();
    ASSERT_EQ(bytes.size(), 106'020u);
    EXPECT_TRUE(RouterNet::from_bytes(bytes).ok());
    bytes.push_back(0);
    Result<RouterNet> longer = RouterNet::from_bytes(bytes);
    ASSERT_FALSE(longer.ok());
    EXPECT_EQ(longer.error().message, "router file has 106021 bytes, hidden 1 needs 106020");
    bytes.resize(106'019);
    EXPECT_EQ(RouterNet::from_bytes(bytes).error().message,
              "router file has 106019 bytes, hidden 1 needs 106020");
}

TEST(RouterLoad, RefusalsCarryTheirExactMessages) {
    const std::string not_router = "not a router network file (KWT4, KWT3, KWT2, or KWT1)";
    const uint64_t kwt4_1x1 = RouterNet::file_size(4, 1, 1);
    const uint64_t kwt3_5 = RouterNet::file_size(3, 5, 0);
    struct Case {
        std::string label;
        Bytes bytes;
        std::string message;
    };
    const Case cases[] = {
        {"empty", {}, not_router},
        {"eleven bytes", header("KWT1", {1}, 11), not_router},
        {"KWT0", header("KWT0", {1, 0}), not_router},
        {"KWT5", header("KWT5", {1, 0, 1, 19}), not_router},
        {"lower case", header("kwt1", {1, 0}), not_router},
        {"KWT4 short header", header("KWT4", {1, 1}, 15), "truncated KWT4 header"},
        {"KWT4 H1 0", header("KWT4", {0, 5, 0}), "bad KWT4 hidden sizes 0x5"},
        {"KWT4 H1 4097", header("KWT4", {4097, 1, 0}), "bad KWT4 hidden sizes 4097x1"},
        {"KWT4 H2 0", header("KWT4", {3, 0, 0}), "bad KWT4 hidden sizes 3x0"},
        {"KWT4 H2 4097", header("KWT4", {3, 4097, 0}), "bad KWT4 hidden sizes 3x4097"},
        {"KWT4 length", header("KWT4", {1, 1, 0}, 100),
         "KWT4 file has 100 bytes, 1x1 needs " + std::to_string(kwt4_1x1)},
        {"KWT4 one more", header("KWT4", {1, 1, 0}, kwt4_1x1 + 1),
         "KWT4 file has " + std::to_string(kwt4_1x1 + 1) + " bytes, 1x1 needs "
             + std::to_string(kwt4_1x1)},
        {"KWT1 hidden 0", header("KWT1", {0, 0}), "bad hidden size 0"},
        {"KWT2 hidden 4097", header("KWT2", {4097, 0}), "bad hidden size 4097"},
        {"KWT3 huge", header("KWT3", {0xFFFFFFFF, 0}), "bad hidden size 4294967295"},
        {"KWT3 length", header("KWT3", {5, 0}, kwt3_5 - 4),
         "router file has " + std::to_string(kwt3_5 - 4) + " bytes, hidden 5 needs "
             + std::to_string(kwt3_5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Result<RouterNet> net = RouterNet::from_bytes(c.bytes);
        ASSERT_FALSE(net.ok());
        EXPECT_EQ(net.error().message, c.message);
    }
    // The version sizes the loader insists on, as documented for each format.
    EXPECT_EQ(RouterNet::file_size(2, 1, 0), 106'020u + 4 * 90);
    EXPECT_EQ(RouterNet::file_size(3, 1, 0), 106'020u + 4 * 156);
    EXPECT_EQ(kwt4_1x1, 16 + 4 * (768 + 1 + 384 + 384 + 384 + 24576 + 5 + 108 + 48 + 1 + 1 + 384u));
}

TEST(RouterMoeLoad, RefusalsCarryTheirExactMessages) {
    const std::string not_moe = "not an KWT5 router network file";
    struct Case {
        std::string label;
        Bytes bytes;
        std::string message;
    };
    const Case header_cases[] = {
        {"19 bytes", header("KWT5", {1, 0, 1}, 19), not_moe},
        {"KWT4 magic", header("KWT4", {1, 0, 1, 19}), not_moe},
        {"C 257", header("KWT5", {257, 1, 1, 19}), "invalid KWT5 header C=257 B=1 E=1 in=19"},
        {"C 0", header("KWT5", {0, 1, 1, 19}), "invalid KWT5 header C=0 B=1 E=1 in=19"},
        {"B 17", header("KWT5", {8, 17, 1, 19}), "invalid KWT5 header C=8 B=17 E=1 in=19"},
        {"E 0", header("KWT5", {8, 2, 0, 19}), "invalid KWT5 header C=8 B=2 E=0 in=19"},
        {"18 planes", header("KWT5", {8, 2, 1, 18}), "invalid KWT5 header C=8 B=2 E=1 in=18"},
        // A huge expert count is refused by the bytes left, before anything is allocated.
        {"E huge", header("KWT5", {1, 0, 0xFFFFFFFF, 19}, 20 + 4 * 400),
         "truncated KWT5 file at byte 948, need 335007449010 more"},
        {"header only", header("KWT5", {4, 0, 1, 19}),
         "truncated KWT5 file at byte 20, need 684 more"},
    };
    for (const Case& c : header_cases) {
        SCOPED_TRACE(c.label);
        Result<RouterMoeNet> net = RouterMoeNet::from_bytes(c.bytes);
        ASSERT_FALSE(net.ok());
        EXPECT_EQ(net.error().message, c.message);
    }

    Bytes file = RouterMoeNet::random(3, 1, 2, 9).to_bytes();
    const size_t size = file.size();
    ASSERT_TRUE(RouterMoeNet::from_bytes(file).ok());
    file.resize(size - 4); // one float short: the move-bias read runs past the end
    EXPECT_EQ(RouterMoeNet::from_bytes(file).error().message, "truncated KWT5 file at byte "
                                                                  + std::to_string(size - 4 * 24576)
                                                                  + ", need 24576 more");
    file.resize(size + 1, 0);
    EXPECT_EQ(RouterMoeNet::from_bytes(file).error().message,
              "KWT5 file size mismatch: read " + std::to_string(size) + ", total "
                  + std::to_string(size + 1));
}

constexpr uint64_t TERABYTE = uint64_t(1) << 40;

// The one whole-file reader behind networks and routers reads regular files only, and never a
// byte more than its caller allows, whatever the file claims or the system would block on.
TEST(FileReader, ReadsOnlyRegularFilesWithinTheLimit) {
    test::ScratchDir dir("reader");
    const Bytes ten = {'K', 'W', 'T', '4', 5, 6, 7, 8, 9, 10};
    const std::string small = dir.file("ten", ten);
    const std::string huge = dir.file("huge", ten, TERABYTE);
    struct Case {
        std::string label, path;
        uint64_t max_bytes;
        std::string message; // empty: the read succeeds and gives `ten`
    };
    const Case cases[] = {
        {"exact limit", small, 10, ""},
        {"over the limit", small, 9, "file has 10 bytes, more than 9"},
        {"sparse terabyte", huge, 98'699'412, "file has 1099511627776 bytes, more than 98699412"},
        {"FIFO", dir.fifo("fifo"), 1000, "not a regular file"},
        {"directory", dir.directory("dir"), 1000, "not a regular file"},
        {"device", "/dev/zero", 1000, "not a regular file"},
        {"missing", dir.path("missing"), 1000, "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Result<Bytes> whole = read_file(c.path, c.max_bytes);
        Result<FileHead> head = read_file_head(c.path, 4);
        if (c.message.empty()) {
            ASSERT_TRUE(whole.ok()) << whole.error().message;
            EXPECT_EQ(whole.value(), ten);
        } else {
            ASSERT_FALSE(whole.ok());
            EXPECT_EQ(whole.error().message, c.message);
        }
        // The head needs no limit: it reads a few bytes of any regular file.
        if (c.path == small || c.path == huge) {
            ASSERT_TRUE(head.ok()) << head.error().message;
            EXPECT_EQ(head.value().size, c.path == huge ? TERABYTE : 10u);
            EXPECT_EQ(head.value().bytes, Bytes(ten.begin(), ten.begin() + 4));
        } else {
            ASSERT_FALSE(head.ok());
            EXPECT_EQ(head.error().message, c.message);
        }
    }
}

// A router file is judged by its header and length before the rest is read, so a terabyte
// file is a message and not a failed allocation.
TEST(RouterLoad, FilesAreCheckedAgainstTheirHeaderBeforeReading) {
    // The largest file of KWT1-KWT4: KWT4 with both hidden layers at their 4096 maximum.
    EXPECT_EQ(RouterNet::file_size(4, ROUTER_MAX_HIDDEN, ROUTER_MAX_HIDDEN), 98'699'412u);
    for (uint32_t v = 1; v <= 3; ++v)
        EXPECT_LT(RouterNet::file_size(v, ROUTER_MAX_HIDDEN, 0), 98'699'412u);

    test::ScratchDir dir("router");
    const Bytes kwt4 = RouterNet::random(4, 8, 4, 3).to_bytes();
    const Bytes kwt5 = RouterMoeNet::random(2, 1, 2, 4).to_bytes();
    const Bytes kwt5_short(kwt5.begin(), kwt5.end() - 1);
    const std::string tb = std::to_string(TERABYTE);
    struct Case {
        std::string label, path;
        const Bytes* loads; // the bytes read, or nullptr for a refusal with `message`
        std::string message;
    };
    const Case cases[] = {
        {"KWT4", dir.file("a.kwt", kwt4), &kwt4, ""},
        {"KWT5", dir.file("b.kwt", kwt5), &kwt5, ""},
        {"terabyte of zero sizes", dir.file("c.kwt", header("KWT4", {}), TERABYTE), nullptr,
         "bad KWT4 hidden sizes 0x0"},
        {"terabyte KWT4", dir.file("d.kwt", header("KWT4", {8, 4, 0}), TERABYTE), nullptr,
         "KWT4 file has " + tb + " bytes, 8x4 needs "
             + std::to_string(RouterNet::file_size(4, 8, 4))},
        {"terabyte KWT2", dir.file("e.kwt", header("KWT2", {8, 0}), TERABYTE), nullptr,
         "router file has " + tb + " bytes, hidden 8 needs "
             + std::to_string(RouterNet::file_size(2, 8, 0))},
        {"terabyte KWT5", dir.file("f.kwt", header("KWT5", {8, 1, 2, 19}), TERABYTE), nullptr,
         "KWT5 file has " + tb + " bytes, C=8 B=1 E=2 needs "
             + std::to_string(RouterMoeNet::file_size(8, 1, 2))},
        {"KWT5 expert count 2^32 - 1",
         dir.file("g.kwt", header("KWT5", {256, 16, 0xFFFFFFFF, 19}), TERABYTE), nullptr,
         "KWT5 file has " + tb + " bytes, C=256 B=16 E=4294967295 needs "
             + std::to_string(RouterMoeNet::file_size(256, 16, 0xFFFFFFFF))},
        {"KWT5 one byte short", dir.file("h.kwt", kwt5_short), nullptr,
         "KWT5 file has " + std::to_string(kwt5_short.size()) + " bytes, C=2 B=1 E=2 needs "
             + std::to_string(kwt5.size())},
        {"bad KWT5 header", dir.file("i.kwt", header("KWT5", {8, 1, 2, 18}), TERABYTE), nullptr,
         "invalid KWT5 header C=8 B=1 E=2 in=18"},
        {"FIFO", dir.fifo("j.kwt"), nullptr, "not a regular file"},
        {"directory", dir.directory("k.kwt"), nullptr, "not a regular file"},
        {"device", "/dev/zero", nullptr, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Result<Bytes> bytes = read_router_file(c.path);
        if (c.loads) {
            ASSERT_TRUE(bytes.ok()) << bytes.error().message;
            EXPECT_EQ(bytes.value(), *c.loads);
        } else {
            ASSERT_FALSE(bytes.ok());
            EXPECT_EQ(bytes.error().message, c.message);
        }
    }
}

// Memory that is not there is a refusal like any other: the loaders catch the failed
// allocation. Each case runs in a child whose address space cannot grow by the network's size.
TEST(RouterLoad, AllocationFailureIsAMessage) {
    if (!test::CAN_LIMIT_MEMORY) GTEST_SKIP() << "address space limits clash with the sanitizers";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bytes kwt4 = header("KWT4", {ROUTER_MAX_HIDDEN, ROUTER_MAX_HIDDEN, 0});
    kwt4.resize(RouterNet::file_size(4, ROUTER_MAX_HIDDEN, ROUTER_MAX_HIDDEN), 0);
    Bytes kwt5 = header("KWT5", {MOE_MAX_CHANNELS, MOE_MAX_BLOCKS, 1, 19});
    kwt5.resize(RouterMoeNet::file_size(MOE_MAX_CHANNELS, MOE_MAX_BLOCKS, 1), 0);
    const std::string kwt4_message =
        "not enough memory for a router of " + std::to_string(kwt4.size()) + " bytes";
    const std::string kwt5_message =
        "not enough memory for a router of " + std::to_string(kwt5.size()) + " bytes";
    // The child reports through its exit code: 0 when the refusal carries the message.
    EXPECT_EXIT(
        {
            if (!test::limit_address_space(16 << 20)) std::exit(2);
            Result<RouterNet> net = RouterNet::from_bytes(kwt4);
            std::exit(!net.ok() && net.error().message == kwt4_message ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            if (!test::limit_address_space(16 << 20)) std::exit(2);
            Result<RouterMoeNet> net = RouterMoeNet::from_bytes(kwt5);
            std::exit(!net.ok() && net.error().message == kwt5_message ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    // Without the limit both files load: the failure above was the memory's, not the data's.
    EXPECT_TRUE(RouterNet::from_bytes(kwt4).ok());
    EXPECT_TRUE(RouterMoeNet::from_bytes(kwt5).ok());
}

TEST(RouterLoad, RandomBytesNeverCrashEitherLoader) {
    const Bytes seeds[] = {
        RouterNet::random(1, 1, 0, 1).to_bytes(), RouterNet::random(3, 2, 0, 2).to_bytes(),
        RouterNet::random(4, 1, 2, 3).to_bytes(), RouterMoeNet::random(1, 1, 1, 4).to_bytes()};
    const char* magics[] = {"KWT1", "KWT2", "KWT3", "KWT4", "KWT5"};
    const Position pos = Position::startpos();
    const MoveList moves = legal_moves(pos);
    test::Rng rng{2024};
    int loaded = 0;
    for (int iter = 0; iter < 1500; ++iter) {
        Bytes b;
        switch (rng.below(4)) {
        case 0: // noise
            b.resize(rng.below(80));
            for (uint8_t& x : b)
                x = uint8_t(rng.next());
            break;
        case 1: // a real magic, random small or huge header values
            b = header(magics[rng.below(5)], {});
            for (int i = 0; i < 4; ++i)
                put_u32(b, b.size(), rng.below(2) ? uint32_t(rng.below(20)) : uint32_t(rng.next()));
            b.resize(b.size() + rng.below(64), uint8_t(rng.next()));
            break;
        case 2: { // a valid file cut or extended
            b = seeds[rng.below(4)];
            const size_t cut = rng.below(b.size() + 8);
            b.resize(cut, uint8_t(rng.next()));
            break;
        }
        default: { // a valid file with a few bytes changed, mostly in the header
            b = seeds[rng.below(4)];
            for (int k = 0; k < 3; ++k) {
                const size_t at = rng.below(2) ? rng.below(24) : rng.below(b.size());
                b[at] = uint8_t(rng.next());
            }
        }
        }
        Result<RouterNet> net = RouterNet::from_bytes(b);
        Result<RouterMoeNet> moe = RouterMoeNet::from_bytes(b);
        EXPECT_FALSE(net.ok() && moe.ok());
        // Whatever loads must also run (the weights may be garbage; the result may be NaN).
        if (net.ok()) {
            ++loaded;
            EXPECT_EQ(net.value().log_probs(pos, span_of(moves)).size(), size_t(moves.count));
        }
        if (moe.ok()) {
            ++loaded;
            EXPECT_EQ(moe.value().log_probs(pos, span_of(moves), 2).size(), size_t(moves.count));
        }
    }
    EXPECT_GT(loaded, 0); // the mutations reach the inference too
}

// ---------------------------------------------------------------------------------------------
// Log-probabilities

TEST(RouterNet, ProbabilitiesOfEveryPositionSumToOne) {
    for (const AnyNet& n : all_nets()) {
        SCOPED_TRACE(n.label);
        for (const Position& pos : sample_positions()) {
            const MoveList moves = legal_moves(pos);
            if (moves.empty()) continue;
            const std::vector<float> lp = n.run(pos, moves);
            ASSERT_EQ(lp.size(), size_t(moves.count));
            double total = 0;
            for (float l : lp) {
                ASSERT_TRUE(std::isfinite(l)) << pos.to_fen();
                EXPECT_LE(l, 1e-6f);
                total += std::exp(double(l));
            }
            EXPECT_NEAR(total, 1.0, 1e-4) << pos.to_fen();
        }
    }
}

// When one piece has every move, its piece factor is log 1 = 0 whatever the piece scores say:
// changing the piece-square bias changes nothing, while it does when two pieces can move.
TEST(RouterNet, SinglePieceWithAllTheMovesHasPieceLogProbabilityZero) {
    const Position lone = fen("7k/8/8/8/8/8/8/K7 w - - 0 1");  // only the king moves
    const Position pair = fen("7k/8/8/8/8/8/8/KN6 w - - 0 1"); // king and knight
    for (uint32_t version : {1u, 3u, 4u}) {
        SCOPED_TRACE(version);
        const RouterNet base = RouterNet::random(version, 16, 8, 21);
        Bytes bytes = base.to_bytes();
        const size_t bias = router_array_offset(version, 16, version == 4 ? 8 : 0, 4);
        const size_t at = bias + 4 * size_t(KING * 64 + 0); // the king on a1
        put_f32(bytes, at, get_f32(bytes, at) + 3.0f);
        const RouterNet shifted = RouterNet::from_bytes(bytes).value();

        const MoveList lone_moves = legal_moves(lone);
        const std::vector<float> a = base.log_probs(lone, span_of(lone_moves));
        const std::vector<float> b = shifted.log_probs(lone, span_of(lone_moves));
        double total = 0;
        for (int i = 0; i < lone_moves.count; ++i) {
            EXPECT_NEAR(a[i], b[i], 1e-5);
            total += std::exp(double(a[i]));
        }
        EXPECT_NEAR(total, 1.0, 1e-5);

        const MoveList pair_moves = legal_moves(pair);
        const auto before = piece_totals(pair_moves, base.log_probs(pair, span_of(pair_moves)));
        const auto after = piece_totals(pair_moves, shifted.log_probs(pair, span_of(pair_moves)));
        EXPECT_GT(std::abs(before.at(0) - after.at(0)), 1e-3);
    }
    // The mixture of experts: its piece factor has no per-square bias, so use a uniform
    // destination (all moves of the lone king equally likely after the top-k cut of nothing).
    const RouterMoeNet moe = RouterMoeNet::random(4, 1, 2, 5);
    const MoveList lone_moves = legal_moves(lone);
    double total = 0;
    for (float l : moe.log_probs(lone, span_of(lone_moves), 0))
        total += std::exp(double(l));
    EXPECT_NEAR(total, 1.0, 1e-5);
}

// Changing the destination score of one move moves probability only among the moves of the
// same piece: every other move keeps its log-probability and the piece keeps its share.
TEST(RouterNet, MovesOfOnePieceShareThePieceFactor) {
    for (const AnyNet& n : all_nets()) {
        if (n.top_k) continue;
        SCOPED_TRACE(n.label);
        const Bytes bytes = n.bytes();
        int checked = 0;
        for (const Position& pos : sample_positions()) {
            const MoveList moves = legal_moves(pos);
            if (moves.count < 3) continue;
            // Promotions to one square share their move bias: pick a plain move.
            const Move target = moves[moves.count / 2];
            if (target.is_promotion()) continue;
            int siblings = 0;
            for (Move m : moves)
                siblings += m.from() == target.from();
            if (siblings < 2) continue;

            Bytes changed = bytes;
            const size_t at = n.move_bias_at(changed, oriented(pos, target));
            put_f32(changed, at, get_f32(changed, at) + 2.5f);
            const std::vector<float> before = n.run(pos, moves);
            const std::vector<float> after = n.with_bytes(changed).run(pos, moves);
            for (int i = 0; i < moves.count; ++i) {
                if (moves[i] == target)
                    EXPECT_GT(after[i], before[i]);
                else if (moves[i].from() == target.from())
                    EXPECT_LT(after[i], before[i]);
                else
                    EXPECT_NEAR(after[i], before[i], 2e-5);
            }
            const auto t0 = piece_totals(moves, before), t1 = piece_totals(moves, after);
            EXPECT_NEAR(t0.at(target.from()), t1.at(target.from()), 1e-5);
            ++checked;
        }
        EXPECT_GT(checked, 10);
    }
}

TEST(RouterMoe, TopKOneEvaluatesDestinationsOfTheTopPieceOnly) {
    const RouterMoeNet net = RouterMoeNet::random(6, 1, 4, 77);
    const Bytes bytes = net.to_bytes();
    int checked = 0;
    for (const Position& pos : sample_positions()) {
        const MoveList moves = legal_moves(pos);
        const std::vector<float> full = net.log_probs(pos, span_of(moves), 0);
        const std::vector<float> cut = net.log_probs(pos, span_of(moves), 1);
        const auto totals = piece_totals(moves, full);
        if (totals.size() < 2) continue;
        int top = -1;
        double best = -1;
        for (auto [sq, p] : totals)
            if (p > best) best = p, top = sq;

        // Every piece keeps its share; the top piece keeps its exact distribution; the others
        // spread their share evenly.
        const auto cut_totals = piece_totals(moves, cut);
        std::map<int, int> counts;
        for (Move m : moves)
            ++counts[m.from()];
        for (int i = 0; i < moves.count; ++i) {
            const int from = moves[i].from();
            EXPECT_NEAR(cut_totals.at(from), totals.at(from), 1e-5);
            if (from == top)
                EXPECT_FLOAT_EQ(cut[i], full[i]);
            else
                EXPECT_NEAR(cut[i], std::log(totals.at(from) / counts[from]), 1e-5);
        }

        // A destination weight of another piece changes nothing under the cut.
        for (Move m : moves) {
            if (m.from() == top) continue;
            Bytes changed = bytes;
            const Oriented o = oriented(pos, m);
            const size_t at =
                moe_move_bias_offset(changed) + 4 * size_t(o.type * 4096 + o.from * 64 + o.to);
            put_f32(changed, at, get_f32(changed, at) + 4.0f);
            const RouterMoeNet other = RouterMoeNet::from_bytes(changed).value();
            EXPECT_TRUE(other.log_probs(pos, span_of(moves), 1) == cut);
            if (counts[m.from()] > 1) {
                EXPECT_FALSE(other.log_probs(pos, span_of(moves), 0) == full);
            }
            break;
        }
        ++checked;
    }
    EXPECT_GT(checked, 10);
}

TEST(RouterMoe, ConvolutionMatchesTheDirectSumWithZeroPadding) {
    test::Rng rng{99};
    auto uniform = [&] { return float(double(rng.next() >> 11) * 0x1.0p-52 - 1.0); };
    for (auto [in_count, out_count] : {std::pair{1, 1}, {3, 5}, {19, 8}, {8, 8}}) {
        std::vector<float> in(size_t(in_count) * 64), w(size_t(out_count) * in_count * 9),
            bias(out_count);
        for (float& v : in)
            v = uniform();
        for (float& v : w)
            v = uniform();
        for (float& v : bias)
            v = uniform();
        std::vector<float> out(size_t(out_count) * 64);
        conv3x3_8x8(in.data(), w.data(), bias.data(), in_count, out_count, out.data());
        for (int o = 0; o < out_count; ++o)
            for (int r = 0; r < 8; ++r)
                for (int f = 0; f < 8; ++f) {
                    double want = bias[o];
                    for (int i = 0; i < in_count; ++i)
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx) {
                                const int rr = r + dy, ff = f + dx;
                                if (rr < 0 || rr > 7 || ff < 0 || ff > 7) continue;
                                want += double(w[((o * in_count + i) * 3 + dy + 1) * 3 + dx + 1])
                                        * in[i * 64 + rr * 8 + ff];
                            }
                    EXPECT_NEAR(out[o * 64 + r * 8 + f], want, 1e-4);
                }
    }
}

// ---------------------------------------------------------------------------------------------
// Features

TEST(RouterFeatures, MoveFlagsOfHandCheckedMoves) {
    using namespace move_flag;
    struct Case {
        std::string_view fen, move;
        uint32_t flags;
    };
    const Case cases[] = {
        {START_FEN, "e2e4", 0},
        {START_FEN, "g1f3", 0},
        // Pawn takes an undefended pawn and becomes passed; it was attacked before.
        {"4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1", "e4d5",
         CAPTURED_PAWN | WINNING | PASSED | FROM_ATTACKED | ESCAPES},
        {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", CASTLING},
        {"4k3/8/8/8/8/8/8/4K2Q w - - 0 1", "h1h5", CHECK | NEAR_KING},
        // The queen is attacked by the knight; d5 is covered by it, d2 is not.
        {"4k3/8/8/8/8/2n5/8/3QK3 w - - 0 1", "d1d5",
         FROM_ATTACKED | DEST_ATTACKED | LOSING | NEAR_KING},
        {"4k3/8/8/8/8/2n5/8/3QK3 w - - 0 1", "d1d2", FROM_ATTACKED | ESCAPES | NEAR_KING},
        // The rook on e8 sees e2 through the square the moving rook leaves.
        {"4r2k/8/8/8/4R3/8/8/K7 w - - 0 1", "e4e2", DEST_ATTACKED | FROM_ATTACKED | LOSING},
        {"4k3/8/4P3/8/8/8/8/4K3 w - - 0 1", "e6e7",
         DEST_ATTACKED | LOSING | PASSED | ADVANCED | NEAR_KING},
        {"4k3/8/8/8/8/8/p7/4K3 b - - 0 1", "a2a1q",
         CHECK | PROMOTION | WINNING | NEAR_KING | PASSED | ADVANCED},
        {"4k3/8/8/8/8/8/p7/4K3 b - - 0 1", "a2a1n", PROMOTION | WINNING | PASSED | ADVANCED},
        {"4k3/8/8/3p4/4N3/8/8/4K3 w - - 0 1", "e4c3", FROM_ATTACKED | ESCAPES | ESCAPES_PAWN},
        {"4k3/8/8/3p4/4N3/8/8/4K3 w - - 0 1", "e4c5",
         FROM_ATTACKED | ESCAPES | ESCAPES_PAWN | NEAR_KING},
        // A pawn on the fifth with an opponent pawn ahead on the next file is not passed.
        {"4k3/5p2/8/4P3/8/8/8/4K3 w - - 0 1", "e5e6",
         ADVANCED | DEST_ATTACKED | DEST_PAWN_ATTACKED | LOSING | NEAR_KING},
        // En passant captures a pawn.
        {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6",
         CAPTURED_PAWN | WINNING | PASSED | ADVANCED | NEAR_KING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fen) + " " + std::string(c.move));
        const Position pos = fen(c.fen);
        const Move m = pos.parse_uci_move(c.move);
        ASSERT_FALSE(m.is_null());
        EXPECT_EQ(move_flags(pos, m), c.flags);
    }
    // Chess960: the king lands on its rook's square, and the rook, now on f1, gives check.
    const Position chess960 = fen("5k2/8/8/8/8/8/8/4K1R1 w G - 0 1", true);
    EXPECT_EQ(move_flags(chess960, chess960.parse_uci_move("e1g1")), CASTLING | CHECK);
}

TEST(RouterFeatures, PieceFlagsCollectOverThePieceMoves) {
    using namespace piece_flag;
    struct Case {
        std::string_view fen, square;
        uint8_t flags;
    };
    const Case cases[] = {
        // Knight attacked by a pawn and not defended; it can check from d6 and f6.
        {"4k3/8/8/3p4/4N3/8/8/4K3 w - - 0 1", "e4", ATTACKED | PAWN_ATTACKED | UNDEFENDED | CHECKS},
        // Defended by the pawn on f3: attacked but not undefended.
        {"4k3/8/8/3p4/4N3/5P2/8/4K3 w - - 0 1", "e4", ATTACKED | PAWN_ATTACKED | CHECKS},
        {"4k3/8/8/8/8/8/8/4K2R w K - 0 1", "e1", CASTLES},
        {"4k3/8/8/8/8/8/p7/4K3 b - - 0 1", "a2", SEVENTH | CHECKS | WINS},
        // The queen can take the undefended rook safely and give check along the way.
        {"4k3/8/8/8/8/8/r7/Q3K3 w - - 0 1", "a1",
         ATTACKED | UNDEFENDED | SAFE_CAPTURE | WINS | CHECKS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fen) + " " + std::string(c.square));
        const Position pos = fen(c.fen);
        const MoveList moves = legal_moves(pos);
        std::array<RouterMove, MoveList::CAPACITY> described;
        std::array<uint8_t, 64> flags{};
        describe_moves(pos, moves.moves, moves.count, described.data(), flags);
        const int sq = (c.square[0] - 'a') + 8 * (c.square[1] - '1');
        const int flip = pos.side_to_move() == WHITE ? 0 : 56;
        EXPECT_EQ(int(flags[sq ^ flip]), int(c.flags));
    }
}

// ---------------------------------------------------------------------------------------------
// Policies

RouterSettings settings(int32_t reduce, bool delta, int32_t bonus = 0) {
    RouterSettings s;
    s.reduce_scale = reduce / 10.0;
    s.delta = delta;
    s.order_bonus = bonus;
    return s;
}

TEST(RouterPolicy, TheNetworkRunsOncePerPositionAndMoveList) {
    auto net = std::make_shared<RouterNet>(RouterNet::random(4, 24, 12, 5));
    RouterPolicy policy(net, settings(6, true, 300));
    uint64_t runs = 0;
    int32_t scores[MoveList::CAPACITY];
    for (const Position& pos : sample_positions()) {
        MoveList moves = legal_moves(pos);
        if (moves.empty()) continue;
        ASSERT_TRUE(policy.score_moves(pos, moves.moves, moves.count, scores, 0, 5));
        EXPECT_EQ(policy.evaluations(), ++runs);
        const std::vector<float> lp = net->log_probs(pos, span_of(moves));
        for (int i = 0; i < moves.count; ++i)
            EXPECT_EQ(scores[i], int32_t(1000.0 * double(lp[i])));

        // Same list again, bonuses and reductions: all from the cache.
        policy.score_moves(pos, moves.moves, moves.count, scores, 1, 4);
        for (Move m : moves) {
            policy.quiet_order_bonus(pos, m);
            policy.reduction(pos, m, 5);
        }
        EXPECT_EQ(policy.evaluations(), runs);

        // Another order is another list: one more run, and it replaces the entry.
        if (moves.count > 1) {
            std::reverse(moves.begin(), moves.end());
            policy.score_moves(pos, moves.moves, moves.count, scores, 0, 5);
            EXPECT_EQ(policy.evaluations(), ++runs);
            policy.score_moves(pos, moves.moves, moves.count, scores, 0, 5);
            EXPECT_EQ(policy.evaluations(), runs);
            EXPECT_EQ(policy.cached(pos.key())->front().move, moves[0]);
        }
    }
    // A reduction asked for an unseen position runs the network over all legal moves, once.
    policy.new_search();
    EXPECT_EQ(policy.cache_size(), 0u);
    const Position pos = sample_positions()[3];
    const MoveList moves = legal_moves(pos);
    EXPECT_EQ(policy.quiet_order_bonus(pos, moves[0]), 0); // nothing cached, no run
    EXPECT_EQ(policy.evaluations(), runs);
    for (Move m : moves)
        policy.reduction(pos, m, 5);
    EXPECT_EQ(policy.evaluations(), runs + 1);
    EXPECT_EQ(policy.cached(pos.key())->size(), size_t(moves.count));
}

TEST(RouterPolicy, ReductionsStayInTheirRanges) {
    std::vector<std::unique_ptr<RouterPolicyBase>> policies;
    auto net = std::make_shared<RouterNet>(RouterNet::random(3, 32, 0, 8));
    auto moe = std::make_shared<RouterMoeNet>(RouterMoeNet::random(4, 1, 3, 8));
    for (int32_t reduce : {0, 1, 6, 25, 100})
        for (bool delta : {true, false}) {
            policies.push_back(std::make_unique<RouterPolicy>(net, settings(reduce, delta)));
            policies.push_back(std::make_unique<RouterMoePolicy>(moe, settings(reduce, delta), 2));
        }
    for (auto& policy : policies) {
        SCOPED_TRACE(std::string(policy->name()) + " scale "
                     + std::to_string(policy->settings().reduce_scale)
                     + (policy->settings().delta ? " delta" : " replace"));
        std::map<int32_t, int> seen;
        for (const Position& pos : sample_positions()) {
            const MoveList moves = legal_moves(pos);
            for (Move m : moves) {
                std::optional<int32_t> r = policy->reduction(pos, m, 6);
                if (policy->settings().reduce_scale <= 0) {
                    EXPECT_FALSE(r.has_value());
                    continue;
                }
                ASSERT_TRUE(r.has_value());
                ++seen[*r];
                if (policy->settings().delta)
                    EXPECT_TRUE(*r >= -1 && *r <= 2) << *r;
                else
                    EXPECT_TRUE(*r >= 0 && *r <= 64) << *r;
            }
            // Replace mode never reduces a likelier move more than a less likely one.
            if (!policy->settings().delta && policy->settings().reduce_scale > 0) {
                const auto* entry = policy->cached(pos.key());
                ASSERT_NE(entry, nullptr);
                for (const CachedMove& a : *entry)
                    for (const CachedMove& b : *entry)
                        if (a.log_prob > b.log_prob) {
                            EXPECT_LE(*policy->reduction(pos, a.move, 6),
                                      *policy->reduction(pos, b.move, 6));
                        }
            }
        }
        // The strongest setting spreads over the range.
        if (policy->settings().reduce_scale >= 10) {
            if (policy->settings().delta)
                EXPECT_TRUE(seen.count(-1) && seen.count(2));
            else
                EXPECT_GT(seen.size(), 3u);
        }
    }
    // A forced move has log-probability 0: no reduction in Replace mode, no change in Delta.
    const Position forced = fen("7k/8/8/8/8/8/1r6/K7 w - - 0 1");
    const MoveList only = legal_moves(forced);
    ASSERT_EQ(only.count, 1);
    for (bool delta : {true, false}) {
        RouterPolicy policy(net, settings(100, delta));
        EXPECT_EQ(policy.reduction(forced, only[0], 6), std::optional<int32_t>(0));
    }
}

TEST(RouterPolicy, OrderBonusFollowsTheLikelihoodAgainstUniform) {
    auto net = std::make_shared<RouterNet>(RouterNet::random(4, 16, 16, 31));
    RouterPolicy off(net, settings(6, true, 0));
    RouterPolicy on(net, settings(6, true, 10'000));
    EXPECT_FALSE(off.uses_order_bonus());
    EXPECT_TRUE(on.uses_order_bonus());
    int32_t scores[MoveList::CAPACITY];
    int positive = 0, negative = 0;
    for (const Position& pos : sample_positions()) {
        const MoveList moves = legal_moves(pos);
        if (moves.empty()) continue;
        off.score_moves(pos, moves.moves, moves.count, scores, 0, 4);
        on.score_moves(pos, moves.moves, moves.count, scores, 0, 4);
        const std::vector<CachedMove>& entry = *on.cached(pos.key());
        for (const CachedMove& c : entry) {
            EXPECT_EQ(off.quiet_order_bonus(pos, c.move), 0);
            const int32_t bonus = on.quiet_order_bonus(pos, c.move);
            const double relative = std::log(double(entry.size())) + c.log_prob;
            EXPECT_LE(std::abs(bonus), 8000);
            if (relative > 1e-3) {
                EXPECT_GT(bonus, 0);
                ++positive;
            }
            if (relative < -1e-3) {
                EXPECT_LT(bonus, 0);
                ++negative;
            }
        }
        EXPECT_EQ(on.quiet_order_bonus(pos, Move(0, 63, 0)), 0); // not in the list
    }
    EXPECT_GT(positive, 0);
    EXPECT_GT(negative, 0);
}

TEST(RouterPolicy, InterfaceAnswersFollowTheSettings) {
    auto net = std::make_shared<RouterNet>(RouterNet::random(1, 4, 0, 1));
    auto moe = std::make_shared<RouterMoeNet>(RouterMoeNet::random(2, 0, 1, 1));
    RouterSettings s;
    s.plies = 3;
    s.min_depth = 4;
    s.order = true;
    s.delta = false;
    RouterPolicy policy(net, s);
    RouterMoePolicy moe_policy(moe, s, 2);
    for (MovePolicy* p : std::initializer_list<MovePolicy*>{&policy, &moe_policy}) {
        EXPECT_EQ(p->min_depth(), 4);
        EXPECT_TRUE(p->wants(2, 4));
        EXPECT_FALSE(p->wants(3, 4));
        EXPECT_FALSE(p->wants(0, 3));
        EXPECT_FALSE(p->keeps_normal_order());
        EXPECT_FALSE(p->ranks_tt_move());
        EXPECT_FALSE(p->reduction_is_delta());
        EXPECT_FALSE(p->uses_order_bonus());
    }
    EXPECT_EQ(policy.name(), "router");
    EXPECT_EQ(moe_policy.name(), "router-moe");
}

} // namespace
} // namespace velmar
