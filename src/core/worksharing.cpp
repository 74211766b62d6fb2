#include "worksharing.h"

namespace velmar {

BusyMoves::BusyMoves() : entries_(new std::atomic<uint64_t>[ENTRIES]) {
    for (size_t i = 0; i < ENTRIES; ++i) entries_[i].store(0, std::memory_order_relaxed);
}

size_t BusyMoves::count_busy() const {
    size_t n = 0;
    for (size_t i = 0; i < ENTRIES; ++i) n += entries_[i].load(std::memory_order_relaxed) != 0;
    return n;
}

}  // namespace velmar
