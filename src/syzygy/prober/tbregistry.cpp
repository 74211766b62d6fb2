// The table registry: directory list, the entries found by tb_init with their material keys,
// the key hash, and the lazy read-only mapping of table files under tbMutex.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "tbcore.h"
#include "tbprobe.h"

namespace velmar::syzygy {

unsigned TB_LARGEST = 0;

namespace {

inline constexpr int MAX_PIECE_TABLES = 650;
inline constexpr int MAX_PAWN_TABLES = 861;
inline constexpr int HASH_BITS = 12;
inline constexpr int HASH_SLOTS = 1 << HASH_BITS;

// Material key constants per colour and type (pawn, knight, bishop, rook, queen). Any odd
// values do; the key never leaves the prober.
constexpr uint64_t MATERIAL_CONSTANTS[2][5] = {
    {0x9D39247E33776D41ULL, 0x2AF7398005AAA5C7ULL, 0x44DB015024623547ULL,
     0x9C15F73E62A76AE3ULL, 0x75834465489C0C89ULL},
    {0x3290AC3A203001BFULL, 0x0FBBAD1F61042279ULL, 0xE83A908FF2FB60CBULL,
     0x0D7E765D58755C11ULL, 0x1A083822CEAFE02DULL},
};

constexpr uint8_t MAGIC[3][4] = {
    {0x71, 0xE8, 0x23, 0x5D},  // WDL
    {0x4B, 0x50, 0xAC, 0x88},  // DTM
    {0xD7, 0x66, 0x0C, 0xA5},  // DTZ
};
constexpr const char* SUFFIX[3] = {".rtbw", ".rtbm", ".rtbz"};

struct HashSlot {
    uint64_t key = 0;
    TableEntry* entry = nullptr;
};

// Written only by tb_init (which never runs alongside a probe); probes read it.
struct Registry {
    std::vector<std::string> dirs;
    std::unique_ptr<TableEntry[]> piece_entries;
    std::unique_ptr<TableEntry[]> pawn_entries;
    int num_piece = 0, num_pawn = 0, num_hashed = 0;
    HashSlot hash[HASH_SLOTS];
    unsigned num_wdl = 0, num_dtz = 0, num_dtm = 0;
    unsigned largest_dtm = 0;
};
// Built on first use (by tb_init, after the processor check), never as a static initialiser:
// its members have destructors, and code built for the program's level must not run before main.
Registry& registry() {
    static Registry instance;
    return instance;
}

// Serialises the mapping of files on first probe.
std::mutex tbMutex;

constexpr int type_code(char letter) {
    switch (letter) {
    case 'P': return 1;
    case 'N': return 2;
    case 'B': return 3;
    case 'R': return 4;
    case 'Q': return 5;
    case 'K': return 6;
    default: return 0;
    }
}

uint64_t key_from_counts(const uint8_t counts[16], bool mirror) {
    uint64_t key = 0;
    for (int colour = 0; colour < 2; ++colour)
        for (int type = 1; type <= 5; ++type)
            key += counts[type | (colour << 3)] * MATERIAL_CONSTANTS[colour ^ int(mirror)][type - 1];
    return key;
}

std::string find_path(const std::string& file_name) {
    for (const std::string& dir : registry().dirs) {
        std::string path = dir + "/" + file_name;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
    }
    return {};
}

// Present and plausible: the format pads every file to 16 modulo 64 bytes.
bool test_file(const std::string& file_name) {
    std::string path = find_path(file_name);
    if (path.empty()) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if (st.st_size % 64 != 16) {
        std::string line = "Incomplete tablebase file " + file_name + "\n";
        std::fputs(line.c_str(), stderr);
        std::string info = "info string " + line;
        std::fwrite(info.data(), 1, info.size(), stdout);
        std::fflush(stdout);
        return false;
    }
    return true;
}

void add_to_hash(uint64_t key, TableEntry* entry) {
    if (registry().num_hashed >= HASH_SLOTS - 1) return;
    int i = int(key >> (64 - HASH_BITS));
    while (registry().hash[i].entry) i = (i + 1) & (HASH_SLOTS - 1);
    registry().hash[i] = {key, entry};
    ++registry().num_hashed;
}

void register_table(const std::string& name) {
    if (!test_file(name + SUFFIX[WDL])) return;

    uint8_t counts[16] = {};
    int colour = 0;
    for (char c : name) {
        if (c == 'v') colour = 8;
        else counts[type_code(c) | colour]++;
    }
    const bool has_pawns = counts[1] + counts[9] > 0;
    TableEntry* e;
    if (has_pawns) {
        if (registry().num_pawn >= MAX_PAWN_TABLES) return;
        e = &registry().pawn_entries[registry().num_pawn++];
    } else {
        if (registry().num_piece >= MAX_PIECE_TABLES) return;
        e = &registry().piece_entries[registry().num_piece++];
    }
    e->name = name;
    std::copy(std::begin(counts), std::end(counts), e->counts);
    e->key = key_from_counts(counts, false);
    e->key2 = key_from_counts(counts, true);
    e->num = uint8_t(name.size() - 1);
    e->has_pawns = has_pawns;
    e->symmetric = e->key == e->key2;
    int unique = 0;
    for (uint8_t n : counts) unique += n == 1;
    e->kk_enc = !has_pawns && unique == 2;
    e->pawns[0] = counts[1];
    e->pawns[1] = counts[9];
    if (counts[9] > 0 && (counts[1] == 0 || counts[9] < counts[1]))
        std::swap(e->pawns[0], e->pawns[1]);
    e->has_dtm = test_file(name + SUFFIX[DTM]);
    e->has_dtz = test_file(name + SUFFIX[DTZ]);

    ++registry().num_wdl;
    registry().num_dtm += e->has_dtm;
    registry().num_dtz += e->has_dtz;
    TB_LARGEST = std::max<unsigned>(TB_LARGEST, e->num);
    if (e->has_dtm) registry().largest_dtm = std::max<unsigned>(registry().largest_dtm, e->num);

    add_to_hash(e->key, e);
    if (e->key2 != e->key) add_to_hash(e->key2, e);
}

// Every multiset of `count` letters of "QRBNP" in non-increasing strength, as index lists.
void letter_sets(int count, int first, std::vector<int>& current,
                 std::vector<std::vector<int>>& out) {
    if (int(current.size()) == count) {
        out.push_back(current);
        return;
    }
    for (int i = first; i < 5; ++i) {
        current.push_back(i);
        letter_sets(count, i, current, out);
        current.pop_back();
    }
}

// Material signatures of 3 to 7 pieces, stronger side on the left: with equal numbers of
// pieces, the left side's letters do not come after the right side's.
void register_all_tables() {
    static constexpr char LETTERS[] = "QRBNP";
    static constexpr int SHAPES[][2] = {{1, 0}, {1, 1}, {2, 0}, {2, 1}, {3, 0}, {2, 2},
                                        {3, 1}, {4, 0}, {5, 0}, {4, 1}, {3, 2}};
    for (const auto& shape : SHAPES) {
        std::vector<std::vector<int>> left, right;
        std::vector<int> current;
        letter_sets(shape[0], 0, current, left);
        letter_sets(shape[1], 0, current, right);
        for (const auto& l : left)
            for (const auto& r : right) {
                if (shape[0] == shape[1] && r < l) continue;
                std::string name = "K";
                for (int i : l) name += LETTERS[i];
                name += "vK";
                for (int i : r) name += LETTERS[i];
                register_table(name);
            }
    }
}

void unmap(Mapping& m) {
    if (!m.data) return;
    if (::munmap(const_cast<uint8_t*>(m.data), m.size) != 0)
        std::fprintf(stderr, "munmap() failed, error = %s.\n", std::strerror(errno));
    m = {};
}

void free_entries(std::unique_ptr<TableEntry[]>& entries, int count) {
    for (int i = 0; i < count; ++i)
        for (Mapping& m : entries[i].mapping) unmap(m);
    entries.reset();
}

void free_registry() {
    free_entries(registry().piece_entries, registry().num_piece);
    free_entries(registry().pawn_entries, registry().num_pawn);
    registry().dirs.clear();
    registry().num_piece = registry().num_pawn = registry().num_hashed = 0;
    std::fill(std::begin(registry().hash), std::end(registry().hash), HashSlot{});
    registry().num_wdl = registry().num_dtz = registry().num_dtm = 0;
    registry().largest_dtm = 0;
    TB_LARGEST = 0;
}

[[noreturn]] void mapping_failed(const char* call, const std::string& name, const char* suffix) {
    std::fprintf(stderr, "%s failed, error = %s.\n", call, std::strerror(errno));
    std::fprintf(stderr, "Could not map %s%s into memory.\n", name.c_str(), suffix);
    std::exit(1);
}

// Opens the first directory's copy and maps all of it. False if no copy opens or its size is
// no longer a table's; a failing fstat or mmap ends the process.
bool map_file(const std::string& name, const char* suffix, Mapping& m) {
    int fd = -1;
    for (const std::string& dir : registry().dirs) {
        std::string path = dir + "/" + name + suffix;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) break;
    }
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) mapping_failed("fstat()", name, suffix);
    if (st.st_size % 64 != 16) {
        ::close(fd);
        return false;
    }
    void* data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) mapping_failed("mmap()", name, suffix);
    ::madvise(data, size_t(st.st_size), MADV_RANDOM);
    ::close(fd);
    m.data = static_cast<const uint8_t*>(data);
    m.size = size_t(st.st_size);
    return true;
}

}  // namespace

uint64_t material_key(const Board& b, bool mirror) {
    const uint64_t types[5] = {b.pawns, b.knights, b.bishops, b.rooks, b.queens};
    uint64_t key = 0;
    for (int t = 0; t < 5; ++t) {
        key += uint64_t(std::popcount(types[t] & b.white)) * MATERIAL_CONSTANTS[int(mirror)][t];
        key += uint64_t(std::popcount(types[t] & b.black)) * MATERIAL_CONSTANTS[int(!mirror)][t];
    }
    return key;
}

TableEntry* find_entry(uint64_t key) {
    int i = int(key >> (64 - HASH_BITS));
    while (registry().hash[i].entry) {
        if (registry().hash[i].key == key) return registry().hash[i].entry;
        i = (i + 1) & (HASH_SLOTS - 1);
    }
    return nullptr;
}

bool ensure_ready(TableEntry& e, TableKind kind) {
    if (e.ready[kind].load(std::memory_order_acquire)) return true;
    if (e.error.load(std::memory_order_acquire)) return false;
    if (kind == DTZ && !e.has_dtz) return false;
    if (kind == DTM && !e.has_dtm) return false;

    std::lock_guard lock(tbMutex);
    if (e.ready[kind].load(std::memory_order_relaxed)) return true;
    if (e.error.load(std::memory_order_relaxed)) return false;

    Mapping m;
    if (!map_file(e.name, SUFFIX[kind], m)) {
        e.error.store(true, std::memory_order_release);
        return false;
    }
    bool good = std::memcmp(m.data, MAGIC[kind], 4) == 0;
    if (good && kind == WDL) {
        auto table = std::make_unique<WdlTable>();
        good = parse_wdl(e, *table, m.data, m.size);
        if (good) e.wdl = std::move(table);
    } else if (good && kind == DTZ) {
        auto table = std::make_unique<DtzTable>();
        good = parse_dtz(e, *table, m.data, m.size);
        if (good) e.dtz = std::move(table);
    }
    if (!good) {
        std::fputs("Corrupted table.\n", stderr);
        unmap(m);
        e.error.store(true, std::memory_order_release);
        return false;
    }
    e.mapping[kind] = m;
    e.ready[kind].store(true, std::memory_order_release);
    return true;
}

bool tb_init(std::string_view path) {
    free_registry();
    if (path.empty() || path == "<empty>") return true;

    std::string dir;
    for (char c : path) {
        if (c == ':' || c == ';') {
            if (!dir.empty()) registry().dirs.push_back(dir);
            dir.clear();
        } else {
            dir += c;
        }
    }
    if (!dir.empty()) registry().dirs.push_back(dir);

    registry().piece_entries.reset(new (std::nothrow) TableEntry[MAX_PIECE_TABLES]);
    registry().pawn_entries.reset(new (std::nothrow) TableEntry[MAX_PAWN_TABLES]);
    if (!registry().piece_entries || !registry().pawn_entries) {
        std::fputs("Out of memory.\n", stderr);
        std::exit(1);
    }
    register_all_tables();
    return true;
}

TbCounts tb_counts() {
    TbCounts c;
    c.wdl = registry().num_wdl;
    c.dtz = registry().num_dtz;
    c.dtm = registry().num_dtm;
    auto count_mapped = [&](const std::unique_ptr<TableEntry[]>& entries, int n) {
        for (int i = 0; i < n; ++i)
            for (const Mapping& m : entries[i].mapping) c.mapped += m.data != nullptr;
    };
    count_mapped(registry().piece_entries, registry().num_piece);
    count_mapped(registry().pawn_entries, registry().num_pawn);
    return c;
}

}  // namespace velmar::syzygy
