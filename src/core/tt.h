// The transposition table shared by every search thread: one 16-byte Slot per index (no
// buckets, no second probe), a whole search result packed into one data word, and a key word
// that is the position key XOR that data word. Threads read and write without locks; the XOR
// check turns a torn slot into a miss. The search probes inline through load()/probe().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "types.h"

namespace velmar {

enum class Bound : uint8_t { NONE = 0, UPPER = 1, LOWER = 2, EXACT = 3 };

// Data word layout (bit 0 = least significant); 0 means the slot is empty.
//   bits  0-15  move        Move bits, 0 = none
//   bits 16-31  score       int16, mate scores in distance-from-this-node form
//   bits 32-47  eval        int16 raw static evaluation, -32768 = none (node in check)
//   bits 48-55  depth       depth + 8 clamped to 0..255 (quiescence depth 0 is stored as 8)
//   bits 56-57  bound       Bound
//   bit  58     pv          node was on a principal-variation path
//   bits 59-63  generation  table generation mod 32 at the time of the write
struct Slot {
    uint64_t key = 0;   // position key XOR data
    uint64_t data = 0;  // packed entry
};
static_assert(sizeof(Slot) == 16);

// One slot unpacked. score is in table form until converted with tt::score_from_tt (probe()
// returns it already converted).
struct TtEntry {
    Move move;
    int32_t score = 0;
    int32_t eval = 0;   // TT_EVAL_NONE when absent
    int32_t depth = 0;  // stored byte - 8, so -8..247
    Bound bound = Bound::NONE;
    bool pv = false;
    uint8_t generation = 0;  // 0..31
};

inline constexpr int32_t TT_EVAL_NONE = -32768;

namespace tt {

inline constexpr uint64_t MB_MIN = 1, MB_MAX = 262'144;
inline constexpr uint64_t SLOTS_PER_MB = 65'536;  // 1 MiB of 16-byte slots
inline constexpr uint64_t GENERATION_MASK = 31;
// Below this many slots (64 MB) clearing in one thread beats starting threads.
inline constexpr size_t PARALLEL_CLEAR_SLOTS = 4'194'304;

constexpr uint64_t pack(Move move, int32_t score, int32_t eval, int32_t depth, Bound bound,
                        bool pv, uint8_t generation) {
    int32_t depth_byte = depth + 8 < 0 ? 0 : depth + 8 > 255 ? 255 : depth + 8;
    return uint64_t(move.bits) | uint64_t(uint16_t(score)) << 16
           | uint64_t(uint16_t(eval)) << 32 | uint64_t(depth_byte) << 48
           | uint64_t(bound) << 56 | uint64_t(pv) << 58
           | (uint64_t(generation) & GENERATION_MASK) << 59;
}

constexpr TtEntry unpack(uint64_t data) {
    TtEntry e;
    e.move = Move(uint16_t(data));
    e.score = int16_t(uint16_t(data >> 16));
    e.eval = int16_t(uint16_t(data >> 32));
    e.depth = int32_t((data >> 48) & 0xFF) - 8;
    e.bound = Bound((data >> 56) & 3);
    e.pv = ((data >> 58) & 1) != 0;
    e.generation = uint8_t(data >> 59);
    return e;
}

constexpr int32_t depth_byte(uint64_t data) { return int32_t((data >> 48) & 0xFF); }
constexpr uint8_t generation_bits(uint64_t data) { return uint8_t(data >> 59); }

// Mate-like scores are stored relative to the node, so a mate found through a transposition
// at another ply still counts its moves from the probing node.
constexpr int32_t score_to_tt(int32_t score, int ply) {
    return score > SCORE_MATE_BOUND ? score + ply : score < -SCORE_MATE_BOUND ? score - ply : score;
}
constexpr int32_t score_from_tt(int32_t score, int ply) {
    return score > SCORE_MATE_BOUND ? score - ply : score < -SCORE_MATE_BOUND ? score + ply : score;
}

// A slot belongs to key only if it is non-empty and its words agree.
constexpr bool is_hit(const Slot& words, uint64_t key) {
    return words.data != 0 && (words.key ^ words.data) == key;
}

// Cuts slots into `parts` consecutive chunks of ceil(size / parts) (the last one shorter) and
// runs fn on each in its own thread, joining all before returning. A zero chunk size (no parts,
// or no slots) is a broken invariant.
void in_parts(std::span<Slot> slots, size_t parts, const std::function<void(std::span<Slot>)>& fn);

}  // namespace tt

class TranspositionTable {
public:
    // mb is clamped to 1..262144. Fails with "Hash <mb> MB is more than the free memory
    // (<avail> MB)" when /proc/meminfo says so, or "could not get <mb> MB of memory for Hash".
    // threads (0 counts as 1) zero-fill large tables here and in clear().
    static Result<TranspositionTable> try_new(uint64_t mb, size_t threads);
    // try_new(mb, 1), ending the process on failure: only where failure is not expected.
    explicit TranspositionTable(uint64_t mb);

    TranspositionTable(TranspositionTable&& other) noexcept;
    TranspositionTable& operator=(TranspositionTable&& other) noexcept;
    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;
    ~TranspositionTable() = default;

    // Empties every slot and sets the generation to 0. No search may be running.
    void clear();

    size_t size() const { return size_; }
    size_t threads() const { return threads_; }
    void set_threads(size_t threads) { threads_ = threads < 1 ? 1 : threads; }

    // The full 8-bit counter; slots keep and compare its low 5 bits.
    uint8_t generation() const { return generation_.load(std::memory_order_relaxed); }
    // Once per search, by the main search thread only: older entries lose their protection
    // in the store rule and stop counting in hashfull.
    void increment_generation() { generation_.fetch_add(1, std::memory_order_relaxed); }

    // Multiply-shift range reduction: no modulo, no power-of-two size.
    size_t index(uint64_t key) const {
        __extension__ using U128 = unsigned __int128;
        return size_t((U128(key) * U128(size_)) >> 64);
    }

    // Both words of key's slot. Relaxed atomic loads compile to plain moves; a torn pair is
    // caught by tt::is_hit.
    Slot load(uint64_t key) const {
        Slot& s = slots_[index(key)];
        return {word(s.key).load(std::memory_order_relaxed),
                word(s.data).load(std::memory_order_relaxed)};
    }

    // The entry for key with its score converted to the probing node's ply, or nullopt.
    std::optional<TtEntry> probe(uint64_t key, int ply) const {
        Slot words = load(key);
        if (!tt::is_hit(words, key)) return std::nullopt;
        TtEntry e = tt::unpack(words.data);
        e.score = tt::score_from_tt(e.score, ply);
        return e;
    }

    // score must already be in table form (tt::score_to_tt). A shallower non-exact result
    // (depth 4 or more below) never replaces one of the same position from this search; a
    // store without a move keeps the position's stored move.
    void store(uint64_t key, Move move, int32_t score, int32_t eval, int32_t depth, Bound bound,
               bool pv) {
        Slot& s = slots_[index(key)];
        const uint64_t old = word(s.data).load(std::memory_order_relaxed);
        const bool same = old != 0 && (word(s.key).load(std::memory_order_relaxed) ^ old) == key;
        const uint8_t gen = generation() & tt::GENERATION_MASK;
        if (same) {
            if (bound != Bound::EXACT && tt::generation_bits(old) == gen
                && depth + 3 < tt::depth_byte(old) - 8)
                return;
            if (move.is_null()) move = Move(uint16_t(old));
        }
        const uint64_t data = tt::pack(move, score, eval, depth, bound, pv, gen);
        word(s.data).store(data, std::memory_order_relaxed);
        word(s.key).store(key ^ data, std::memory_order_relaxed);
    }

    void prefetch(uint64_t key) const { __builtin_prefetch(&slots_[index(key)]); }

    // Per mille of the first min(size, 1000) slots that hold an entry of this generation.
    uint32_t hashfull() const;

    // Raw access for clearing in parts and for tests; no search may be running.
    std::span<Slot> slots() { return {slots_.get(), size_}; }

private:
    struct FreeSlots {
        void operator()(Slot* p) const { std::free(p); }
    };

    TranspositionTable() = default;
    static std::atomic_ref<uint64_t> word(uint64_t& w) { return std::atomic_ref<uint64_t>(w); }

    // Written only while no search runs; slots are read and written by every search thread
    // through relaxed 64-bit accesses (see load and store).
    std::unique_ptr<Slot[], FreeSlots> slots_;
    size_t size_ = 0;
    size_t threads_ = 1;
    std::atomic<uint8_t> generation_{0};
};

}  // namespace velmar
