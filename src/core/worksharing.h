// Work sharing between search threads beyond the plain shared table. ABDADA: every thread
// searches the whole tree, but a (position, move) pair that another thread is searching right
// now is put off until the rest of the node is done, so the threads spread over different
// subtrees instead of racing through the same one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "position.h"
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

// YBWC: a node that has searched its first move hands the rest out. Helpers and the owner
// take moves one at a time with the node's window; a score at or above beta stops them all.
struct YbwcSplit {
    explicit YbwcSplit(const Position& node) : pos(node) {}

    Position pos;  // with its history, for repetitions
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    // The split the owner was working in when it made this one (null at the owner's own
    // search). It outlives this split: the owner stays attached to it until this one is done.
    const YbwcSplit* parent = nullptr;
    int ply = 0, depth = 0, root_depth = 0;
    int32_t beta = 0;
    std::atomic<int32_t> alpha{0};
    bool pv = false, cut_node = false, in_check = false, improving = false, tt_noisy = false;
    std::vector<Move> moves;  // picker order
    std::vector<int32_t> scores;
    std::atomic<int> next{0};
    std::atomic<int> helpers{0};

    std::mutex result_mutex;  // guards the three below
    int32_t best_score = 0;
    Move best_move;
    std::vector<Move> pv_line;

    // Stopped, or inside a split that was: a cut-off further up makes this node's work moot.
    bool abandoned() const {
        for (const YbwcSplit* s = this; s; s = s->parent)
            if (s->stop->load(std::memory_order_relaxed)) return true;
        return false;
    }

    void raise_alpha(int32_t score) {
        int32_t a = alpha.load();
        while (score > a && !alpha.compare_exchange_weak(a, score)) {}
    }
};

class YbwcPool {
public:
    void push_split(std::shared_ptr<YbwcSplit> split);
    void remove_split(const YbwcSplit* split);
    // Up to a millisecond's nap while helpers are still attached to split.
    void wait_briefly(const YbwcSplit& split);
    // Waits until no helper is attached to split. Helpers answer to the split's stop flag,
    // not to the owner's clock or node limit, so a helper deep in a large subtree would keep
    // the owner waiting long past its deadline: give_up is asked between naps, and once it
    // says yes the split is stopped and the helpers leave at their next poll. Returns whether
    // it gave up (the split's result is then incomplete).
    template <typename GiveUp>
    bool wait_for_helpers(YbwcSplit& split, GiveUp give_up) {
        bool gave_up = false;
        while (split.helpers.load() != 0) {
            if (!gave_up && give_up()) {
                gave_up = true;
                split.stop->store(true);
            }
            wait_briefly(split);
        }
        return gave_up;
    }
    // A split with moves left, or null once the pool is no longer active.
    std::shared_ptr<YbwcSplit> wait_for_work();
    // A helper left split: the owner may be waiting for the last one.
    void detach(YbwcSplit& split);
    void set_active(bool active);
    bool has_idle() const { return idle_.load(std::memory_order_relaxed) > 0; }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<YbwcSplit>> splits_;  // most recent last
    bool active_ = false;
    std::atomic<int> idle_{0};
};

}  // namespace velmar
