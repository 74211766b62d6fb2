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

// The first regular file of this name along the directories, if its size is plausible (the
// format pads every file to 16 modulo 64 bytes); empty otherwise. Anything else of that name (a
// directory, FIFO or device) is passed over, so a later directory can supply the table; stat
// does not open it, so a FIFO cannot make registration wait.
std::string find_table_file(const std::string& file_name) {
    for (const std::string& dir : registry().dirs) {
        std::string path = dir + "/" + file_name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (st.st_size % 64 != 16) {
            std::string line = "Incomplete tablebase file " + file_name + "\n";
            std::fputs(line.c_str(), stderr);
            std::string info = "info string " + line;
            std::fwrite(info.data(), 1, info.size(), stdout);
            std::fflush(stdout);
            return {};
        }
        return path;
    }
    return {};
}

void add_to_hash(uint64_t key, TableEntry* entry) {
    if (registry().num_hashed >= HASH_SLOTS - 1) return;
    int i = int(key >> (64 - HASH_BITS));
    while (registry().hash[i].entry) i = (i + 1) & (HASH_SLOTS - 1);
    registry().hash[i] = {key, entry};
    ++registry().num_hashed;
}

void register_table(const std::string& name) {
    std::string wdl_path = find_table_file(name + SUFFIX[WDL]);
    if (wdl_path.empty()) return;

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
    e->path[WDL] = std::move(wdl_path);
    e->path[DTM] = find_table_file(name + SUFFIX[DTM]);
    e->path[DTZ] = find_table_file(name + SUFFIX[DTZ]);
    e->has_dtm = !e->path[DTM].empty();
    e->has_dtz = !e->path[DTZ].empty();

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

// One line on stderr; the entry then stays failed for this kind, so it is said once.
bool table_failed(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "Could not use %s: %s.\n", path.c_str(), reason.c_str());
    return false;
}

// Maps the whole of the file registration found. False when it is gone, is no longer a regular
// file of a table's size, or cannot be mapped.
bool map_file(const std::string& path, Mapping& m) {
    // O_NONBLOCK: should the name have become a FIFO since registration, the open returns at
    // once instead of waiting for a writer, and the type check below refuses it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return table_failed(path, std::strerror(errno));
    struct stat st;
    std::string refusal;
    void* data = MAP_FAILED;
    if (::fstat(fd, &st) != 0) {
        refusal = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "not a regular file";
    } else if (st.st_size % 64 != 16) {
        refusal = "size " + std::to_string(st.st_size) + " is not a table's";
    } else {
        data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) refusal = std::string("mmap: ") + std::strerror(errno);
    }
    ::close(fd);
    if (data == MAP_FAILED) return table_failed(path, refusal);
    ::madvise(data, size_t(st.st_size), MADV_RANDOM);
    m.data = static_cast<const uint8_t*>(data);
    m.size = size_t(st.st_size);
    return true;
}

// Parses a mapped file into the entry's table of that kind. Allocation failures are caught
// here: they would otherwise leave the prober through a probe in the middle of a search.
bool parse_table(TableEntry& e, TableKind kind, const Mapping& m) {
    if (std::memcmp(m.data, MAGIC[kind], 4) != 0) return false;
    try {
        if (kind == WDL) {
            auto table = std::make_unique<WdlTable>();
            if (!parse_wdl(e, *table, m.data, m.size)) return false;
            e.wdl = std::move(table);
        } else if (kind == DTZ) {
            auto table = std::make_unique<DtzTable>();
            if (!parse_dtz(e, *table, m.data, m.size)) return false;
            e.dtz = std::move(table);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
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
    if (e.error[kind].load(std::memory_order_acquire)) return false;
    if (e.path[kind].empty()) return false;

    std::lock_guard lock(tbMutex);
    if (e.ready[kind].load(std::memory_order_relaxed)) return true;
    if (e.error[kind].load(std::memory_order_relaxed)) return false;

    Mapping m;
    if (!map_file(e.path[kind], m)) {
        e.error[kind].store(true, std::memory_order_release);
        return false;
    }
    if (!parse_table(e, kind, m)) {
        std::fputs("Corrupted table.\n", stderr);
        unmap(m);
        e.error[kind].store(true, std::memory_order_release);
        return false;
    }
    e.mapping[kind] = m;
    e.ready[kind].store(true, std::memory_order_release);
    return true;
}

bool tb_init(std::string_view path) {
    free_registry();
    if (path.empty() || path == "<empty>") return true;

    // Without the memory for the registry, no tables: the caller reports the failure.
    try {
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
        registry().piece_entries = std::make_unique<TableEntry[]>(MAX_PIECE_TABLES);
        registry().pawn_entries = std::make_unique<TableEntry[]>(MAX_PAWN_TABLES);
        register_all_tables();
    } catch (const std::bad_alloc&) {
        free_registry();
        return false;
    }
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
