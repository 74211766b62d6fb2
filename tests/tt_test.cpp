#include "tt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmar {
namespace {

uint64_t next_random(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

TranspositionTable make_table(uint64_t mb, size_t threads = 1) {
    auto made = TranspositionTable::try_new(mb, threads);
    if (!made.ok()) ADD_FAILURE() << made.error().message;
    return std::move(made.value());
}

// A 1 MB table has 65536 slots, so the index is the key's top 16 bits: easy to aim at.
uint64_t key_for_index(uint64_t index, uint64_t low) { return index << 48 | (low & 0xFFFF'FFFF'FFFF); }

bool all_zero(TranspositionTable& table) {
    for (const Slot& s : table.slots())
        if (s.key != 0 || s.data != 0) return false;
    return true;
}

TEST(Tt, PackUnpackRoundTripsEveryField) {
    uint64_t rng = 1;
    for (int i = 0; i < 100'000; ++i) {
        const Move move(uint16_t(next_random(rng)));
        const int32_t score = int32_t(next_random(rng) % 65536) - 32768;
        const int32_t eval = i % 7 == 0 ? TT_EVAL_NONE : int32_t(next_random(rng) % 65536) - 32768;
        const int32_t depth = int32_t(next_random(rng) % 256) - 8;
        const Bound bound = Bound(next_random(rng) % 4);
        const bool pv = next_random(rng) & 1;
        const uint8_t generation = uint8_t(next_random(rng));
        const TtEntry e = tt::unpack(tt::pack(move, score, eval, depth, bound, pv, generation));
        ASSERT_EQ(e.move, move);
        ASSERT_EQ(e.score, score);
        ASSERT_EQ(e.eval, eval);
        ASSERT_EQ(e.depth, depth);
        ASSERT_EQ(e.bound, bound);
        ASSERT_EQ(e.pv, pv);
        ASSERT_EQ(e.generation, generation & 31);
    }
    // Depth is clamped into the byte, and quiescence depth 0 is stored as 8.
    EXPECT_EQ(tt::unpack(tt::pack(NO_MOVE, 0, 0, -20, Bound::UPPER, false, 0)).depth, -8);
    EXPECT_EQ(tt::unpack(tt::pack(NO_MOVE, 0, 0, 400, Bound::UPPER, false, 0)).depth, 247);
    EXPECT_EQ(tt::depth_byte(tt::pack(NO_MOVE, 0, 0, 0, Bound::UPPER, false, 0)), 8);
    // The documented layout, bit for bit.
    EXPECT_EQ(tt::pack(Move(0x1234), -2, TT_EVAL_NONE, 5, Bound::LOWER, true, 33),
              0x1234ULL | 0xFFFEULL << 16 | 0x8000ULL << 32 | 13ULL << 48 | 2ULL << 56
                  | 1ULL << 58 | 1ULL << 59);
}

TEST(Tt, MateScoresAreStoredRelativeToTheNode) {
    TranspositionTable table = make_table(1);
    const uint64_t key = 0x0123'4567'89AB'CDEFULL;
    table.store(key, NO_MOVE, tt::score_to_tt(31'900, 10), 0, 5, Bound::EXACT, false);
    EXPECT_EQ(tt::unpack(table.load(key).data).score, 31'910);
    EXPECT_EQ(table.probe(key, 4)->score, 31'906);

    table.store(key, NO_MOVE, tt::score_to_tt(-31'900, 10), 0, 5, Bound::EXACT, false);
    EXPECT_EQ(tt::unpack(table.load(key).data).score, -31'910);
    EXPECT_EQ(table.probe(key, 4)->score, -31'906);

    // Ordinary scores, the bound itself included, are not touched.
    for (int32_t s : {-31'742, -100, 0, 31'742}) {
        EXPECT_EQ(tt::score_to_tt(s, 7), s);
        EXPECT_EQ(tt::score_from_tt(s, 7), s);
    }
}

TEST(Tt, StoreKeepsDeeperResultsOfThisSearchOnly) {
    const Move stored(0x0A1C), other(0x0B2D);
    struct Case {
        int32_t depth;
        Bound bound;
        int generations_later;
        bool written;
        const char* why;
    };
    const Case CASES[] = {
        {5, Bound::LOWER, 0, false, "4 plies shallower, same search: skipped"},
        {6, Bound::LOWER, 0, true, "3 plies shallower is close enough"},
        {5, Bound::UPPER, 0, false, "upper bounds are protected the same way"},
        {0, Bound::LOWER, 0, false, "a quiescence entry never beats depth 9"},
        {1, Bound::EXACT, 0, true, "an exact result is always written"},
        {5, Bound::LOWER, 1, true, "an older generation loses its protection"},
        {5, Bound::LOWER, 32, false, "32 searches later the generation matches again"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.why);
        TranspositionTable table = make_table(1);
        const uint64_t key = 0xFEED'FACE'CAFE'BEEFULL;
        table.store(key, stored, 40, 12, 9, Bound::LOWER, false);
        for (int i = 0; i < c.generations_later; ++i) table.increment_generation();
        table.store(key, other, -40, -12, c.depth, c.bound, true);
        const auto e = table.probe(key, 0);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->move, c.written ? other : stored);
        EXPECT_EQ(e->depth, c.written ? c.depth : 9);
        EXPECT_EQ(e->score, c.written ? -40 : 40);
    }
}

TEST(Tt, StoreWithoutMoveKeepsTheMoveOfTheSamePositionOnly) {
    TranspositionTable table = make_table(1);
    const uint64_t key = key_for_index(777, 0x1111);
    const uint64_t rival = key_for_index(777, 0x2222);  // same slot, another position
    ASSERT_EQ(table.index(key), table.index(rival));

    table.store(key, Move(0x0C3E), 10, 0, 3, Bound::UPPER, false);
    table.store(key, NO_MOVE, 20, 0, 7, Bound::LOWER, false);
    EXPECT_EQ(table.probe(key, 0)->move, Move(0x0C3E));
    EXPECT_EQ(table.probe(key, 0)->score, 20);

    // Another position always takes the slot, however deep the old entry, and brings no move.
    table.store(key, Move(0x0C3E), 10, 0, 60, Bound::EXACT, true);
    table.store(rival, NO_MOVE, 30, 5, 1, Bound::UPPER, false);
    EXPECT_FALSE(table.probe(key, 0).has_value());
    ASSERT_TRUE(table.probe(rival, 0).has_value());
    EXPECT_EQ(table.probe(rival, 0)->move, NO_MOVE);
}

TEST(Tt, EmptyAndTornSlotsReadAsMisses) {
    TranspositionTable table = make_table(1);
    // Key 0 against an all-zero slot: the words agree, but an empty slot never hits.
    EXPECT_FALSE(table.probe(0, 0).has_value());

    const uint64_t a = key_for_index(42, 0xAAAA), b = key_for_index(42, 0xBBBB);
    table.store(a, Move(0x0111), 1, 2, 3, Bound::EXACT, false);
    const Slot slot_a = table.load(a);
    table.store(b, Move(0x0222), 4, 5, 6, Bound::LOWER, true);
    const Slot slot_b = table.load(b);
    ASSERT_TRUE(table.probe(b, 0).has_value());

    // A reader that sees the words of two different writes must find neither position.
    for (Slot torn : {Slot{slot_a.key, slot_b.data}, Slot{slot_b.key, slot_a.data}}) {
        table.slots()[table.index(a)] = torn;
        EXPECT_FALSE(table.probe(a, 0).has_value());
        EXPECT_FALSE(table.probe(b, 0).has_value());
    }
}

TEST(Tt, IndexStaysInRangeAndSizesFollowTheClamp) {
    TranspositionTable table = make_table(0);  // 0 MB means 1 MB
    EXPECT_EQ(table.size(), 65'536u);
    uint64_t rng = 7;
    for (uint64_t key : {uint64_t(0), ~uint64_t(0), uint64_t(1) << 63}) EXPECT_LT(table.index(key), table.size());
    for (int i = 0; i < 10'000; ++i) ASSERT_LT(table.index(next_random(rng)), table.size());
    EXPECT_EQ(table.index(~uint64_t(0)), table.size() - 1);

    TranspositionTable three = make_table(3);
    EXPECT_EQ(three.size(), 3u * 65'536u);
    for (int i = 0; i < 10'000; ++i) ASSERT_LT(three.index(next_random(rng)), three.size());
}

TEST(Tt, HashfullCountsThisGenerationInTheFirstThousandSlots) {
    TranspositionTable table = make_table(1);
    for (uint64_t i = 0; i < 1000; i += 4) table.store(key_for_index(i, i + 1), NO_MOVE, 0, 0, 1, Bound::UPPER, false);
    // Slots beyond the sample do not count.
    for (uint64_t i = 1000; i < 3000; ++i) table.store(key_for_index(i, i), NO_MOVE, 0, 0, 1, Bound::UPPER, false);
    EXPECT_EQ(table.hashfull(), 250u);

    table.increment_generation();
    EXPECT_EQ(table.hashfull(), 0u);
    table.store(key_for_index(1, 9), NO_MOVE, 0, 0, 1, Bound::UPPER, false);
    table.store(key_for_index(2, 9), NO_MOVE, 0, 0, 1, Bound::UPPER, false);
    EXPECT_EQ(table.hashfull(), 2u);

    for (int i = 0; i < 31; ++i) table.increment_generation();
    EXPECT_EQ(table.generation(), 32);
    EXPECT_EQ(table.hashfull(), 250u);
}

TEST(Tt, ClearEmptiesEverySlotAndResetsTheGeneration) {
    for (uint64_t mb : {uint64_t(1), uint64_t(64)}) {  // 64 MB is the first size cleared in parts
        SCOPED_TRACE(mb);
        TranspositionTable table = make_table(mb, 2);
        EXPECT_EQ(table.threads(), 2u);
        ASSERT_TRUE(all_zero(table));
        uint64_t rng = 3;
        for (int i = 0; i < 50'000; ++i)
            table.store(next_random(rng) | 1, Move(uint16_t(i)), i, -i, i % 40, Bound::EXACT, true);
        for (int i = 0; i < 5; ++i) table.increment_generation();
        table.clear();
        EXPECT_EQ(table.generation(), 0);
        EXPECT_TRUE(all_zero(table));
    }
}

// Two threads hammer a small key set that shares few slots. Every entry's fields are a
// function of its key, so a hit that mixes two writes would show as a mismatch.
TEST(Tt, ConcurrentWritersNeverProduceAMixedHit) {
    TranspositionTable table = make_table(1);
    auto fields_of = [](uint64_t key) {
        return std::pair{Move(uint16_t(key >> 20)), int32_t(int16_t(key >> 40))};
    };
    std::atomic<int> bad{0}, hits{0};
    auto worker = [&](uint64_t seed) {
        uint64_t rng = seed;
        for (int i = 0; i < 200'000; ++i) {
            const uint64_t key = key_for_index(next_random(rng) % 8, next_random(rng) % 64 * 0x9E37'79B9'7F4A'7C15ULL);
            if (i % 2 == 0) {
                auto [move, score] = fields_of(key);
                table.store(key, move, score, score, int32_t(i % 30), Bound::EXACT, false);
            } else if (auto e = table.probe(key, 0)) {
                hits.fetch_add(1, std::memory_order_relaxed);
                if (std::pair{e->move, e->score} != fields_of(key)) bad.fetch_add(1);
            }
        }
    };
    std::thread other(worker, 11);
    worker(22);
    other.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(hits.load(), 1000);
}

std::optional<uint64_t> meminfo_available_mb() {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) return std::nullopt;
    char line[256];
    unsigned long long kb = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file))
        found = std::sscanf(line, "MemAvailable: %llu", &kb) == 1;
    std::fclose(file);
    if (!found) return std::nullopt;
    return kb / 1024;
}

TEST(Tt, RefusesMoreThanTheFreeMemory) {
    const auto before = meminfo_available_mb();
    if (!before || *before >= tt::MB_MAX) GTEST_SKIP() << "needs /proc/meminfo and under 256 GiB free";
    // Above the maximum: clamped to 262144 before the check, so that is the size named.
    auto made = TranspositionTable::try_new(10'000'000, 1);
    ASSERT_FALSE(made.ok());
    const std::string& text = made.error().message;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex(R"(Hash 262144 MB is more than the free memory \((\d+) MB\))")))
        << text;
    // Free memory moves while the test runs; the number must still be the same reading.
    const uint64_t reported = std::stoull(m[1].str());
    EXPECT_NEAR(double(reported), double(*before), 0.05 * double(*before) + 64);
}

TEST(Tt, InPartsVisitsEverySlotOnceInCeilingSizedChunks) {
    struct Case { size_t slots, parts; std::vector<size_t> chunk_sizes; };
    const Case CASES[] = {
        {10, 3, {4, 4, 2}}, {10, 4, {3, 3, 3, 1}}, {3, 5, {1, 1, 1}}, {8, 1, {8}}, {9, 9, std::vector<size_t>(9, 1)},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(std::to_string(c.slots) + " slots in " + std::to_string(c.parts) + " parts");
        std::vector<Slot> slots(c.slots);
        std::vector<size_t> sizes(c.slots, 0);  // indexed by chunk start, each written by one thread
        tt::in_parts(slots, c.parts, [&](std::span<Slot> part) {
            sizes[size_t(part.data() - slots.data())] = part.size();
            for (Slot& s : part) s.data += 1;
        });
        std::vector<size_t> seen;
        for (size_t s : sizes)
            if (s != 0) seen.push_back(s);
        EXPECT_EQ(seen, c.chunk_sizes);
        for (const Slot& s : slots) EXPECT_EQ(s.data, 1u);
    }
}

TEST(TtDeathTest, InPartsRefusesAZeroChunk) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(tt::in_parts({}, 2, [](std::span<Slot>) {}), "chunk size must be non-zero");
}

}  // namespace
}  // namespace velmar
