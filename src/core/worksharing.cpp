#include "worksharing.h"

#include <chrono>

namespace velmar {

BusyMoves::BusyMoves() : entries_(new std::atomic<uint64_t>[ENTRIES]) {
    for (size_t i = 0; i < ENTRIES; ++i) entries_[i].store(0, std::memory_order_relaxed);
}

size_t BusyMoves::count_busy() const {
    size_t n = 0;
    for (size_t i = 0; i < ENTRIES; ++i) n += entries_[i].load(std::memory_order_relaxed) != 0;
    return n;
}

void YbwcPool::push_split(std::shared_ptr<YbwcSplit> split) {
    {
        std::lock_guard lock(mutex_);
        splits_.push_back(std::move(split));
    }
    wake_.notify_all();
}

void YbwcPool::remove_split(const YbwcSplit* split) {
    {
        std::lock_guard lock(mutex_);
        for (size_t i = splits_.size(); i-- > 0;)
            if (splits_[i].get() == split) {
                splits_.erase(splits_.begin() + ptrdiff_t(i));
                break;
            }
    }
    wake_.notify_all();
}

void YbwcPool::wait_briefly(const YbwcSplit& split) {
    std::unique_lock lock(mutex_);
    if (split.helpers.load() != 0) wake_.wait_for(lock, std::chrono::milliseconds(1));
}

std::shared_ptr<YbwcSplit> YbwcPool::wait_for_work() {
    idle_.fetch_add(1);
    std::unique_lock lock(mutex_);
    for (;;) {
        for (size_t i = splits_.size(); i-- > 0;) {
            YbwcSplit& s = *splits_[i];
            if (!s.stop->load() && s.next.load() < int(s.moves.size())) {
                s.helpers.fetch_add(1);
                idle_.fetch_sub(1);
                return splits_[i];
            }
        }
        if (!active_) {
            idle_.fetch_sub(1);
            return nullptr;
        }
        wake_.wait(lock);
    }
}

void YbwcPool::detach(YbwcSplit& split) {
    if (split.helpers.fetch_sub(1) == 1) {
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    }
}

void YbwcPool::set_active(bool active) {
    {
        std::lock_guard lock(mutex_);
        active_ = active;
    }
    wake_.notify_all();
}

}  // namespace velmar
