// Internals of the Syzygy prober shared by its sources: the prober's own board and move
// generator, the index tables of the file format, the decoded table headers, and the registry
// of table entries with their lazily created mappings. Not part of the prober's interface.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmar::syzygy {

inline constexpr int TB_PIECES = 7;

// ---------------------------------------------------------------------------------------------
// Board and moves (tbboard.cpp).

struct Board {
    uint64_t white = 0, black = 0, kings = 0, queens = 0, rooks = 0, bishops = 0, knights = 0,
             pawns = 0;
    uint8_t rule50 = 0;
    uint8_t ep = 0;             // en-passant square, 0 = none (a1 can never be one)
    bool white_to_move = true;

    uint64_t us() const { return white_to_move ? white : black; }
    uint64_t them() const { return white_to_move ? black : white; }
    uint64_t occupied() const { return white | black; }
};

// 16 bits: to 0-5, from 6-11, promotion 12-14 (1 queen, 2 rook, 3 bishop, 4 knight).
using TbMove = uint16_t;
constexpr TbMove make_tb_move(int promo, int from, int to) {
    return TbMove((promo << 12) | (from << 6) | to);
}
constexpr int move_to(TbMove m) { return m & 63; }
constexpr int move_from(TbMove m) { return (m >> 6) & 63; }
constexpr int move_promotes(TbMove m) { return (m >> 12) & 7; }

// Enough for any position of up to seven pieces, promotions included.
inline constexpr int TB_MAX_MOVES = 256;

// Pseudo-legal generators: every capture (en passant and capturing promotions included), and
// every move. do_move rejects the ones that leave the mover in check.
int gen_captures(const Board& b, TbMove* out);
int gen_moves(const Board& b, TbMove* out);
bool do_move(Board& out, const Board& b, TbMove m);
bool is_capture(const Board& b, TbMove m);
bool is_en_passant(const Board& b, TbMove m);
bool is_pawn_move(const Board& b, TbMove m);
bool is_check(const Board& b);
bool has_legal_move(const Board& b);
bool is_mate(const Board& b);
// Structure only: two kings, disjoint sets, no pawn on a back rank, colours covering the pieces.
bool is_well_formed(const Board& b);
// Also: the side not to move is not in check.
bool is_valid(const Board& b);

// ---------------------------------------------------------------------------------------------
// File format (tbformat.cpp).

// The pair-compressed values of one sub-table.
struct PairsData {
    const uint8_t* index_table = nullptr;  // 6 bytes per entry: u32 block, u16 offset
    const uint8_t* size_table = nullptr;   // u16 per block: values in the block minus one
    const uint8_t* data = nullptr;         // blocks of 2^block_bits bytes
    const uint8_t* offsets = nullptr;      // u16 per code length, from min_len
    const uint8_t* sympat = nullptr;       // 3 bytes per symbol: two 12-bit children
    const uint8_t* end = nullptr;          // end of the mapping, for bounded reads
    std::vector<uint32_t> symlen;          // values a symbol expands to, minus one
    std::vector<uint64_t> base;            // canonical code bounds per length
    uint64_t index_bytes = 0, size_bytes = 0, data_bytes = 0;
    uint64_t num_indices = 0;
    uint32_t num_blocks = 0, real_num_blocks = 0, num_syms = 0;
    uint8_t flags = 0;
    uint8_t block_bits = 0, idx_bits = 0, min_len = 0, max_len = 0;
    uint8_t const_value = 0;
    bool is_constant = false;
};

// The piece order and index factors of one sub-table.
struct EncInfo {
    PairsData pairs;
    uint8_t pieces[TB_PIECES] = {};  // file codes: type 1-6 (P N B R Q K) | 8 for black
    uint8_t norm[TB_PIECES] = {};    // size of the group starting at each index, else 0
    uint64_t factor[TB_PIECES] = {};
    uint64_t size = 0;               // number of indices
};

// DTZ flags (first byte of a DTZ pairs header).
inline constexpr uint8_t DTZ_FLAG_STM = 1, DTZ_FLAG_MAPPED = 2, DTZ_FLAG_WIN_PLIES = 4,
                         DTZ_FLAG_LOSS_PLIES = 8, DTZ_FLAG_WIDE = 16;

struct WdlTable {
    EncInfo enc[4][2];  // [leading-pawn file a-d, or 0][side to move in table colours]
    bool split = false; // both sides stored
};

struct DtzTable {
    EncInfo enc[4];
    const uint8_t* map = nullptr;
    uint32_t map_offset[4][4] = {};  // byte offset of each value map's first value
    uint16_t map_length[4][4] = {};
};

// Index computation and decompression (tbformat.cpp), used by the probes (tbprobe.cpp).
uint64_t encode_piece(const EncInfo& enc, int num, bool kk_enc, int* pos);
uint64_t encode_pawn(const EncInfo& enc, int num, const uint8_t pawns[2], int* pos);
int leading_pawn_file(int num_lead, int* pos);
// Value at `idx`, or -1 if the data turns out to be inconsistent.
int decompress_pairs(const PairsData& d, uint64_t idx);

struct TableEntry;
// Parse a mapped file. False: the header or its sections do not fit the file.
bool parse_wdl(const TableEntry& e, WdlTable& t, const uint8_t* data, size_t size);
bool parse_dtz(const TableEntry& e, DtzTable& t, const uint8_t* data, size_t size);

// ---------------------------------------------------------------------------------------------
// Registry (tbregistry.cpp).

enum TableKind { WDL = 0, DTM = 1, DTZ = 2 };

struct Mapping {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// One material signature. Everything but the mapping fields is written by tb_init and read-only
// afterwards. The mappings are created under tbMutex; `ready` (release store after the tables
// are built, acquire load by probes) publishes them to lock-free readers, and `error` marks a
// file that failed once, so it is not tried again.
struct TableEntry {
    std::string name;  // as registered, stronger side first, e.g. "KRPvKR"
    // Per kind, the file registration found (empty if none); the probe maps this very file, not
    // whatever the directories hold under that name by then.
    std::string path[3];
    uint64_t key = 0;  // material key with the name's left side as white
    uint64_t key2 = 0; // colours swapped
    uint8_t counts[16] = {};  // pieces per file code (type | 8 * black), in table colours
    uint8_t num = 0;
    uint8_t pawns[2] = {};    // leading colour (fewer pawns, at least one) first
    bool has_pawns = false;
    bool symmetric = false;
    bool kk_enc = false;      // pawnless with only the kings unique: king-pair encoding
    bool has_dtm = false;
    bool has_dtz = false;
    std::atomic<bool> ready[3] = {false, false, false};
    std::atomic<bool> error[3] = {false, false, false};
    Mapping mapping[3];
    std::unique_ptr<WdlTable> wdl;
    std::unique_ptr<DtzTable> dtz;
};

// The entry for a material key, or nullptr.
TableEntry* find_entry(uint64_t key);
uint64_t material_key(const Board& b, bool mirror);
// Maps and parses the file of `kind` on first use. False when the entry cannot answer: a file
// that cannot be mapped or parsed costs its table (one line on stderr), never the process.
bool ensure_ready(TableEntry& e, TableKind kind);

}  // namespace velmar::syzygy
