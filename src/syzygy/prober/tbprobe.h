// Syzygy endgame tablebase prober: reads ".rtbw" (win/draw/loss) and ".rtbz" (distance to
// zeroing) files, memory-mapped on first use, and answers for positions of up to seven pieces.
// Self-contained: its own board type, move generator and attack tables, so it depends on
// nothing else in the engine. Probes may run on any number of threads at once; tb_init must
// not run concurrently with any probe (the adaptor's FATHOM_LOCK serialises it).
#pragma once

#include <cstdint>
#include <string_view>

namespace velmar::syzygy {

// Root result and probe result word (32 bits):
//   bits 0-3 WDL 0-4 | 4-9 to | 10-15 from | 16-18 promotion (1 Q, 2 R, 3 B, 4 N)
//   bit 19 en-passant capture | 20-31 DTZ (absolute value, 0-4095)
// All bits set: failure, and the terminator of a root result list.
inline constexpr unsigned TB_RESULT_FAILED = 0xFFFFFFFFu;
inline constexpr unsigned TB_LOSS = 0, TB_BLESSED_LOSS = 1, TB_DRAW = 2, TB_CURSED_WIN = 3,
                          TB_WIN = 4;
inline constexpr unsigned TB_RESULT_CHECKMATE = TB_WIN;
inline constexpr unsigned TB_RESULT_STALEMATE = TB_DRAW;
inline constexpr unsigned TB_PROMOTES_NONE = 0, TB_PROMOTES_QUEEN = 1, TB_PROMOTES_ROOK = 2,
                          TB_PROMOTES_BISHOP = 3, TB_PROMOTES_KNIGHT = 4;
// A root result array holds one entry per legal move plus the terminator.
inline constexpr int TB_MAX_ROOT_RESULTS = 193;

constexpr unsigned tb_result_wdl(unsigned r) { return r & 0xF; }
constexpr unsigned tb_result_to(unsigned r) { return (r >> 4) & 0x3F; }
constexpr unsigned tb_result_from(unsigned r) { return (r >> 10) & 0x3F; }
constexpr unsigned tb_result_promotes(unsigned r) { return (r >> 16) & 0x7; }
constexpr bool tb_result_ep(unsigned r) { return ((r >> 19) & 1) != 0; }
constexpr unsigned tb_result_dtz(unsigned r) { return (r >> 20) & 0xFFF; }

// Largest piece count (kings included) among the WDL tables found by the last tb_init.
// Written only by tb_init.
extern unsigned TB_LARGEST;

// Frees every table and mapping of the previous call, then registers the tables found in the
// directories of `path` (separated by ':' or ';'). An empty path or "<empty>" loads nothing.
// Each table's file is chosen here, the first regular file of its name along the directories
// whose size is plausible, and is mapped on first probe; a table whose file cannot be mapped or
// parsed then fails its probes, and the process goes on.
bool tb_init(std::string_view path);

// Number of WDL, DTZ and DTM files registered by the last tb_init, and how many files are
// mapped right now (each table kind of each entry counts once).
struct TbCounts {
    unsigned wdl = 0, dtz = 0, dtm = 0, mapped = 0;
};
TbCounts tb_counts();

// Win/draw/loss for the side to move (`white_to_move`), 0-4, or TB_RESULT_FAILED. The sets use
// a1 = 0 .. h8 = 63; `ep` is the en-passant square or 0. The caller guarantees a fifty-move
// counter of 0 and no castling rights.
unsigned tb_probe_wdl_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                           uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                           unsigned ep, bool white_to_move);

// Plies to the next capture or pawn move with best play, signed like the WDL value (positive
// when the side to move wins); 0 for draws. `ok` is false when the tables cannot answer.
int tb_probe_dtz_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                      uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                      unsigned ep, bool white_to_move, bool& ok);

// Scores every legal move of the root by DTZ, honouring the fifty-move counter `rule50`.
// `results` (TB_MAX_ROOT_RESULTS entries) receives one root result per legal move, in
// generation order, followed by TB_RESULT_FAILED. Returns the result of the chosen move,
// TB_RESULT_CHECKMATE or TB_RESULT_STALEMATE without legal moves, or TB_RESULT_FAILED.
unsigned tb_probe_root_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                            uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                            unsigned rule50, unsigned ep, bool white_to_move, unsigned* results);

}  // namespace velmar::syzygy
