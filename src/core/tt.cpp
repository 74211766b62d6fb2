#include "tt.h"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace velmar {

namespace {

// Tables this large are worth backing with huge pages: fewer TLB misses on random probes.
constexpr size_t HUGE_PAGE_BYTES = size_t(2) << 20;

// MemAvailable in MB, or nullopt when the file or the line cannot be read; no check then.
std::optional<uint64_t> available_mb() {
    std::ifstream file("/proc/meminfo");
    if (!file) return std::nullopt;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.starts_with("MemAvailable:")) continue;
        std::istringstream fields(line);
        std::string label, number;
        fields >> label >> number;
        uint64_t kb = 0;
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), kb);
        if (number.empty() || ec != std::errc() || end != number.data() + number.size())
            return std::nullopt;
        return kb / 1024;
    }
    return std::nullopt;
}

void zero(std::span<Slot> part) { std::memset(static_cast<void*>(part.data()), 0, part.size_bytes()); }

}  // namespace

void tt::in_parts(std::span<Slot> slots, size_t parts,
                  const std::function<void(std::span<Slot>)>& fn) {
    const size_t chunk = parts == 0 ? 0 : (slots.size() + parts - 1) / parts;
    if (chunk == 0) fatal("chunk size must be non-zero");
    std::vector<std::thread> workers;
    workers.reserve((slots.size() + chunk - 1) / chunk);
    try {
        for (size_t begin = 0; begin < slots.size(); begin += chunk)
            workers.emplace_back(fn, slots.subspan(begin, std::min(chunk, slots.size() - begin)));
    } catch (const std::system_error&) {
        fatal("failed to spawn thread");
    }
    for (std::thread& w : workers) w.join();
}

Result<TranspositionTable> TranspositionTable::try_new(uint64_t mb, size_t threads) {
    mb = std::clamp(mb, tt::MB_MIN, tt::MB_MAX);
    if (auto avail = available_mb(); avail && *avail < mb)
        return Error{"Hash " + std::to_string(mb) + " MB is more than the free memory ("
                     + std::to_string(*avail) + " MB)"};

    const size_t count = std::max<size_t>(1024, mb * tt::SLOTS_PER_MB);
    // aligned_alloc wants a size that is a multiple of the alignment; the tail is never used.
    const size_t bytes = (count * sizeof(Slot) + HUGE_PAGE_BYTES - 1) / HUGE_PAGE_BYTES
                         * HUGE_PAGE_BYTES;
    auto* memory = static_cast<Slot*>(std::aligned_alloc(HUGE_PAGE_BYTES, bytes));
    if (memory == nullptr)
        return Error{"could not get " + std::to_string(mb) + " MB of memory for Hash"};
    madvise(memory, bytes, MADV_HUGEPAGE);  // a hint: without huge pages the table still works

    TranspositionTable table;
    table.slots_.reset(memory);
    table.size_ = count;
    table.threads_ = std::max<size_t>(threads, 1);
    // The pages are first touched here, by as many threads as will search.
    if (mb < 64 || threads <= 1)
        zero(table.slots());
    else
        tt::in_parts(table.slots(), std::min(threads, count), zero);
    return table;
}

TranspositionTable::TranspositionTable(uint64_t mb) {
    auto made = try_new(mb, 1);
    if (!made.ok()) fatal(made.error().message);
    *this = std::move(made.value());
}

TranspositionTable::TranspositionTable(TranspositionTable&& other) noexcept
    : slots_(std::move(other.slots_)), size_(other.size_), threads_(other.threads_),
      generation_(other.generation()) {
    other.size_ = 0;
}

TranspositionTable& TranspositionTable::operator=(TranspositionTable&& other) noexcept {
    slots_ = std::move(other.slots_);
    size_ = other.size_;
    threads_ = other.threads_;
    generation_.store(other.generation(), std::memory_order_relaxed);
    other.size_ = 0;
    return *this;
}

void TranspositionTable::clear() {
    if (size_ < tt::PARALLEL_CLEAR_SLOTS)
        zero(slots());
    else
        tt::in_parts(slots(), std::min(threads_, size_), zero);
    generation_.store(0, std::memory_order_relaxed);
}

uint32_t TranspositionTable::hashfull() const {
    const size_t sample = std::min<size_t>(size_, 1000);
    if (sample == 0) return 0;  // only a moved-from table is empty
    const uint8_t gen = generation() & tt::GENERATION_MASK;
    uint32_t count = 0;
    for (size_t i = 0; i < sample; ++i) {
        const uint64_t data = word(slots_[i].data).load(std::memory_order_relaxed);
        count += data != 0 && tt::generation_bits(data) == gen;
    }
    return uint32_t(count * 1000 / sample);
}

}  // namespace velmar
