// Probing: table lookups for a position, the WDL probe with its capture search and
// en-passant rules, the DTZ probe, and the root probe that scores every legal move.
//
// A WDL table value is only meaningful when no capture does better, and it ignores
// en passant; the capture search supplies both. A DTZ table stores one side to move and
// is meaningless where the best move zeroes the counter; the DTZ probe answers those
// cases by a one-ply search.
#include <bit>
#include <climits>

#include "tbcore.h"
#include "tbprobe.h"

namespace velmar::syzygy {

namespace {

// DTZ of a position whose best move zeroes the counter, by its WDL value -2..2.
constexpr int WdlToDtz[5] = {-1, -101, 0, 101, 1};
// DTZ value map per WDL value: 0 win, 1 loss, 2 cursed win, 3 blessed loss.
constexpr int WdlToMap[5] = {1, 3, 0, 2, 0};
// Flag telling that values for this WDL value are stored in plies rather than moves.
constexpr uint8_t PAFlags[5] = {DTZ_FLAG_LOSS_PLIES, 0, 0, 0, DTZ_FLAG_WIN_PLIES};

enum class DtzStatus { FAILED, OK, OTHER_SIDE };

// How the position's pieces map to the table's colours and which side is to move there.
struct Orientation {
    uint8_t colour_flip;  // XOR on file piece codes: 8 when the table's white is our black
    int square_flip;      // XOR on squares: ranks mirrored along with the colours (pawns)
    int side;             // 0: the table's white to move
};

Orientation orient(const TableEntry& e, uint64_t key, bool white_to_move) {
    if (e.symmetric)
        return white_to_move ? Orientation{0, 0, 0} : Orientation{8, 0x38, 0};
    if (key != e.key) return {8, 0x38, white_to_move ? 1 : 0};
    return {0, 0, white_to_move ? 0 : 1};
}

uint64_t pieces_of(const Board& b, uint8_t code) {
    uint64_t colour = (code & 8) ? b.black : b.white;
    switch (code & 7) {
    case 1: return colour & b.pawns;
    case 2: return colour & b.knights;
    case 3: return colour & b.bishops;
    case 4: return colour & b.rooks;
    case 5: return colour & b.queens;
    case 6: return colour & b.kings;
    default: return 0;
    }
}

// Squares of the pieces from index i on, group by group in the table's order.
bool fill_squares(const Board& b, const uint8_t* pieces, int i, int num, const Orientation& o,
                  int* pos) {
    while (i < num) {
        uint64_t bb = pieces_of(b, pieces[i] ^ o.colour_flip);
        if (!bb) return false;
        while (bb && i < num) {
            pos[i++] = std::countr_zero(bb) ^ o.square_flip;
            bb &= bb - 1;
        }
    }
    return true;
}

// Finds the sub-table and index of `b`. For pawn tables the leading pawns (the same piece code
// in every sub-table, `lead_code`) come first and choose the file; `select` picks the
// sub-table for a file.
template <typename Select>
const EncInfo* locate(const Board& b, const TableEntry& e, const Orientation& o,
                      uint8_t lead_code, Select select, uint64_t& idx, int& file) {
    int pos[TB_PIECES];
    file = 0;
    if (!e.has_pawns) {
        const EncInfo* enc = select(0);
        if (!enc || !fill_squares(b, enc->pieces, 0, e.num, o, pos)) return nullptr;
        idx = encode_piece(*enc, e.num, e.kk_enc, pos);
        return idx < enc->size ? enc : nullptr;
    }
    uint64_t lead = pieces_of(b, lead_code ^ o.colour_flip);
    if (std::popcount(lead) != e.pawns[0]) return nullptr;
    for (int i = 0; lead; ++i) {
        pos[i] = std::countr_zero(lead) ^ o.square_flip;
        lead &= lead - 1;
    }
    file = leading_pawn_file(e.pawns[0], pos);
    const EncInfo* enc = select(file);
    if (!enc || !fill_squares(b, enc->pieces, e.pawns[0], e.num, o, pos)) return nullptr;
    idx = encode_pawn(*enc, e.num, e.pawns, pos);
    return idx < enc->size ? enc : nullptr;
}

// Table value -2..2 for the side to move, ignoring captures and en passant.
int probe_wdl_table(const Board& b, bool& ok) {
    if ((b.white | b.black) == b.kings) return 0;  // bare kings: no file needed
    const uint64_t key = material_key(b, false);
    TableEntry* e = find_entry(key);
    if (!e || !ensure_ready(*e, WDL)) {
        ok = false;
        return 0;
    }
    const Orientation o = orient(*e, key, b.white_to_move);
    const WdlTable& t = *e->wdl;
    if (o.side == 1 && !t.split) {
        ok = false;
        return 0;
    }
    uint64_t idx;
    int file;
    const EncInfo* enc = locate(b, *e, o, t.enc[0][0].pieces[0],
                                [&](int f) { return &t.enc[f][o.side]; }, idx, file);
    int v = enc ? decompress_pairs(enc->pairs, idx) : -1;
    if (v < 0 || v > 4) {
        ok = false;
        return 0;
    }
    return v - 2;
}

// Plies read from the DTZ table for a position of WDL value `wdl`, before adding the
// zeroing move itself; OTHER_SIDE when the file stores only the other side to move.
int probe_dtz_table(const Board& b, int wdl, DtzStatus& status) {
    status = DtzStatus::FAILED;
    const uint64_t key = material_key(b, false);
    TableEntry* e = find_entry(key);
    if (!e || !ensure_ready(*e, DTZ)) return 0;
    const Orientation o = orient(*e, key, b.white_to_move);
    const DtzTable& t = *e->dtz;

    // The stored side is known only once the file (and so the sub-table) is.
    bool other_side = false;
    auto select = [&](int f) -> const EncInfo* {
        if (!e->symmetric && (t.enc[f].pairs.flags & DTZ_FLAG_STM) != o.side) {
            other_side = true;
            return nullptr;
        }
        return &t.enc[f];
    };
    uint64_t idx;
    int file;
    const EncInfo* enc = locate(b, *e, o, t.enc[0].pieces[0], select, idx, file);
    if (other_side) {
        status = DtzStatus::OTHER_SIDE;
        return 0;
    }
    if (!enc) return 0;
    int v = decompress_pairs(enc->pairs, idx);
    if (v < 0) return 0;

    const uint8_t flags = enc->pairs.flags;
    if (flags & DTZ_FLAG_MAPPED) {
        const int map = WdlToMap[wdl + 2];
        if (v >= t.map_length[file][map]) return 0;
        const uint8_t* p = t.map + t.map_offset[file][map];
        v = (flags & DTZ_FLAG_WIDE) ? (p[2 * v] | p[2 * v + 1] << 8) : p[v];
    }
    if (!(flags & PAFlags[wdl + 2]) || (wdl & 1)) v *= 2;
    status = DtzStatus::OK;
    return v;
}

// Fail-soft alpha-beta over captures only, with the table value as the stand-pat bound.
// Positions reached here have no en-passant square (they follow a capture).
int probe_ab(const Board& b, int alpha, int beta, bool& ok) {
    TbMove moves[TB_MAX_MOVES];
    const int n = gen_captures(b, moves);
    Board next;
    for (int i = 0; i < n; ++i) {
        if (!do_move(next, b, moves[i])) continue;
        int v = -probe_ab(next, -beta, -alpha, ok);
        if (!ok) return 0;
        if (v > alpha) {
            if (v >= beta) return v;
            alpha = v;
        }
    }
    int v = probe_wdl_table(b, ok);
    if (!ok) return 0;
    return alpha >= v ? alpha : v;
}

// WDL value -2..2. `from_capture` tells that the value comes from a zeroing capture
// (en passant included) that is at least as good as anything else, so DTZ is known from it.
int probe_wdl(const Board& b, bool& ok, bool& from_capture) {
    from_capture = false;
    TbMove moves[TB_MAX_MOVES];
    const int n = gen_captures(b, moves);
    int best_cap = -3, best_ep = -3;
    Board next;
    for (int i = 0; i < n; ++i) {
        if (!do_move(next, b, moves[i])) continue;
        int v = -probe_ab(next, -2, -best_cap, ok);
        if (!ok) return 0;
        if (v > best_cap) {
            if (v == 2) {
                from_capture = true;
                return 2;
            }
            if (!is_en_passant(b, moves[i])) best_cap = v;
            else if (v > best_ep) best_ep = v;
        }
    }

    const int v = probe_wdl_table(b, ok);
    if (!ok) return 0;

    // max(v, best_cap) is the value without en-passant rights; an en-passant capture can
    // only add to it.
    if (best_ep > best_cap) {
        if (best_ep > v) {
            from_capture = true;
            return best_ep;
        }
        best_cap = best_ep;
    }
    if (best_cap >= v) {
        from_capture = best_cap > 0;
        return best_cap;
    }
    // The table sees a stalemate when the en-passant capture is the only legal move.
    if (best_ep > -3 && v == 0 && !is_check(b)) {
        TbMove all[TB_MAX_MOVES];
        const int count = gen_moves(b, all);
        bool other_move = false;
        for (int i = 0; i < count && !other_move; ++i)
            other_move = !is_en_passant(b, all[i]) && do_move(next, b, all[i]);
        if (!other_move) {
            from_capture = true;
            return best_ep;
        }
    }
    return v;
}

int probe_dtz(const Board& b, bool& ok) {
    bool from_capture;
    const int wdl = probe_wdl(b, ok, from_capture);
    if (!ok || wdl == 0) return 0;
    if (from_capture) return WdlToDtz[wdl + 2];

    TbMove moves[TB_MAX_MOVES];
    const int n = gen_moves(b, moves);
    Board next;

    // A pawn move that keeps the win zeroes the counter at once.
    if (wdl > 0) {
        for (int i = 0; i < n; ++i) {
            if (!is_pawn_move(b, moves[i]) || is_capture(b, moves[i])) continue;
            if (!do_move(next, b, moves[i])) continue;
            bool child_capture;
            int v = -probe_wdl(next, ok, child_capture);
            if (!ok) return 0;
            if (v == wdl) return WdlToDtz[wdl + 2];
        }
    }

    // From here the best move is no capture, so the WDL value is that of the position
    // without en-passant rights and the table can be read with it.
    DtzStatus status;
    const int dtz = probe_dtz_table(b, wdl, status);
    if (status == DtzStatus::OK) return WdlToDtz[wdl + 2] + (wdl > 0 ? dtz : -dtz);
    if (status == DtzStatus::FAILED) {
        ok = false;
        return 0;
    }

    // The file stores the other side to move: one ply of search over the moves that keep
    // the counter running (zeroing moves are covered above, or by the initial loss value).
    int best = wdl > 0 ? INT_MAX : WdlToDtz[wdl + 2];
    for (int i = 0; i < n; ++i) {
        if (is_capture(b, moves[i]) || is_pawn_move(b, moves[i])) continue;
        if (!do_move(next, b, moves[i])) continue;
        int v = -probe_dtz(next, ok);
        if (!ok) return 0;
        if (v == 1 && is_mate(next)) {
            best = 1;
        } else if (wdl > 0) {
            if (v > 0 && v + 1 < best) best = v + 1;
        } else if (v - 1 < best) {
            best = v - 1;
        }
    }
    if (best == INT_MAX) ok = false;
    return best == INT_MAX ? 0 : best;
}

unsigned dtz_to_wdl(unsigned rule50, int dtz) {
    if (dtz > 0) return int(rule50) + dtz <= 100 ? TB_WIN : TB_CURSED_WIN;
    if (dtz < 0) return int(rule50) - dtz > 100 ? TB_BLESSED_LOSS : TB_LOSS;
    return TB_DRAW;
}

unsigned make_result(unsigned wdl, TbMove m, bool ep, int dtz) {
    unsigned abs_dtz = unsigned(dtz < 0 ? -dtz : dtz);
    if (abs_dtz > 0xFFF) abs_dtz = 0xFFF;
    return wdl | unsigned(move_to(m)) << 4 | unsigned(move_from(m)) << 10
           | unsigned(move_promotes(m)) << 16 | unsigned(ep) << 19 | abs_dtz << 20;
}

Board make_board(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                 uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                 unsigned rule50, unsigned ep, bool white_to_move) {
    Board b;
    b.white = white;
    b.black = black;
    b.kings = kings;
    b.queens = queens;
    b.rooks = rooks;
    b.bishops = bishops;
    b.knights = knights;
    b.pawns = pawns;
    b.rule50 = uint8_t(rule50 > 255 ? 255 : rule50);
    b.ep = uint8_t(ep < 64 ? ep : 0);
    b.white_to_move = white_to_move;
    return b;
}

}  // namespace

unsigned tb_probe_wdl_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                           uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                           unsigned ep, bool white_to_move) {
    Board b = make_board(white, black, kings, queens, rooks, bishops, knights, pawns, 0, ep,
                         white_to_move);
    if (!is_well_formed(b)) return TB_RESULT_FAILED;
    bool ok = true, from_capture;
    int v = probe_wdl(b, ok, from_capture);
    return ok ? unsigned(v + 2) : TB_RESULT_FAILED;
}

int tb_probe_dtz_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                      uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                      unsigned ep, bool white_to_move, bool& ok) {
    Board b = make_board(white, black, kings, queens, rooks, bishops, knights, pawns, 0, ep,
                         white_to_move);
    ok = is_well_formed(b);
    return ok ? probe_dtz(b, ok) : 0;
}

unsigned tb_probe_root_impl(uint64_t white, uint64_t black, uint64_t kings, uint64_t queens,
                            uint64_t rooks, uint64_t bishops, uint64_t knights, uint64_t pawns,
                            unsigned rule50, unsigned ep, bool white_to_move, unsigned* results) {
    Board b = make_board(white, black, kings, queens, rooks, bishops, knights, pawns, rule50, ep,
                         white_to_move);
    if (!is_valid(b)) return TB_RESULT_FAILED;
    bool ok = true;
    const int root_dtz = probe_dtz(b, ok);
    if (!ok) return TB_RESULT_FAILED;

    TbMove moves[TB_MAX_MOVES];
    const int n = gen_moves(b, moves);
    TbMove legal[TB_MAX_ROOT_RESULTS];
    int scores[TB_MAX_ROOT_RESULTS];
    int count = 0, draws = 0;
    Board next;
    for (int i = 0; i < n; ++i) {
        if (!do_move(next, b, moves[i])) continue;
        if (count == TB_MAX_ROOT_RESULTS - 1) return TB_RESULT_FAILED;
        int v;
        if (root_dtz > 0 && is_mate(next)) {
            v = 1;
        } else if (next.rule50 != 0) {
            v = -probe_dtz(next, ok);
            v += v > 0 ? 1 : v < 0 ? -1 : 0;
        } else {
            bool from_capture;
            v = WdlToDtz[-probe_wdl(next, ok, from_capture) + 2];
        }
        if (!ok) return TB_RESULT_FAILED;
        draws += v == 0;
        legal[count] = moves[i];
        scores[count] = v;
        if (results)
            results[count] = make_result(dtz_to_wdl(b.rule50, v), moves[i],
                                         is_en_passant(b, moves[i]), v);
        ++count;
    }
    if (results) results[count] = TB_RESULT_FAILED;

    // Winning: the fastest conversion; losing: the longest resistance; drawn: one of the
    // drawing moves, picked by the material so that the choice is repeatable.
    int chosen = -1;
    if (root_dtz > 0) {
        for (int i = 0; i < count; ++i)
            if (scores[i] > 0 && (chosen < 0 || scores[i] < scores[chosen])) chosen = i;
        if (chosen < 0) return TB_RESULT_FAILED;
    } else if (root_dtz < 0) {
        for (int i = 0; i < count; ++i)
            if (scores[i] < 0 && (chosen < 0 || scores[i] < scores[chosen])) chosen = i;
        if (chosen < 0) return count == 0 ? TB_RESULT_CHECKMATE : TB_RESULT_FAILED;
    } else {
        if (draws == 0) return TB_RESULT_STALEMATE;
        uint64_t pick = material_key(b, false) % uint64_t(draws);
        for (int i = 0; i < count && chosen < 0; ++i)
            if (scores[i] == 0 && pick-- == 0) chosen = i;
    }
    return make_result(dtz_to_wdl(b.rule50, root_dtz), legal[chosen],
                       is_en_passant(b, legal[chosen]), root_dtz);
}

}  // namespace velmar::syzygy
