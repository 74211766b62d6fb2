// Work sharing between search threads beyond the plain shared table. ABDADA: every thread
// searches the whole tree, but a (position, move) pair that another thread is searching right
// now is put off until the rest of the node is done, so the threads spread over different
// subtrees instead of racing through the same one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "types.h"

namespace velmar {

// A lossy table of the pairs being searched. Entries hold the pair's key, 0 when free. Two
// pairs may share an entry; the later one wins, and a mistaken "busy" only postpones a move.
class BusyMoves {
public:
    static constexpr size_t ENTRIES = 32768;

    BusyMoves();

    static uint64_t key(uint64_t position_key, Move m) {
        return (uint64_t(m.bits) + 1) * 0x9E3779B97F4A7C15ull ^ position_key;
    }

    bool is_busy(uint64_t k) const {
        return slot(k).load(std::memory_order_relaxed) == k;
    }
    void mark(uint64_t k) { slot(k).store(k, std::memory_order_relaxed); }
    // Frees the entry only if it still holds k: a pair that took it over meanwhile keeps it.
    void release(uint64_t k) {
        uint64_t expected = k;
        slot(k).compare_exchange_strong(expected, 0, std::memory_order_relaxed);
    }

    // Entries not free; 0 whenever no thread is inside a move (marks and releases pair up).
    size_t count_busy() const;

private:
    std::atomic<uint64_t>& slot(uint64_t k) const { return entries_[k & (ENTRIES - 1)]; }

    std::unique_ptr<std::atomic<uint64_t>[]> entries_;
};

}  // namespace velmar
