// The Syzygy file format: index tables, the position-to-index encodings of piece and pawn
// tables, the header parser and the decompressor of pair-compressed blocks.
//
// A table stores one value per index. The index of a position comes from its pieces in the
// order given by the file header. The leading group (three unique pieces, the two kings when
// only they are unique, or the leading pawns) is normalised by the board's symmetries and
// numbered with the tables below; every further group of like pieces is numbered as a
// combination of the squares left free by the groups before it. Each group's number is
// multiplied by its factor; the header's order nibbles decide which group varies fastest.
//
// Values are compressed with pair symbols (each symbol is a value or a pair of symbols) and
// canonical prefix codes, in blocks of 2^block_bits bytes. A sparse index gives, every
// 2^idx_bits positions, a block and an offset; per-block counts lead from there to the
// block holding the wanted value, which is then decoded from its start.
#include <algorithm>
#include <cstring>

#include "tbcore.h"

namespace velmar::syzygy {

namespace {

constexpr int file_of(int sq) { return sq & 7; }
constexpr int rank_of(int sq) { return sq >> 3; }

// +1 above the a1-h8 diagonal (rank > file), -1 below it, 0 on it.
constexpr std::array<int8_t, 64> make_off_diag() {
    std::array<int8_t, 64> t{};
    for (int sq = 0; sq < 64; ++sq)
        t[sq] = int8_t(rank_of(sq) > file_of(sq) ? 1 : rank_of(sq) < file_of(sq) ? -1 : 0);
    return t;
}
constexpr auto OffDiag = make_off_diag();

// Reflection in the a1-h8 diagonal.
constexpr std::array<uint8_t, 64> make_flip_diag() {
    std::array<uint8_t, 64> t{};
    for (int sq = 0; sq < 64; ++sq) t[sq] = uint8_t((sq >> 3) | ((sq & 7) << 3));
    return t;
}
constexpr auto FlipDiag = make_flip_diag();

// The a1-d1-d4 triangle: the six squares below the diagonal (b1 c1 d1 c2 d2 d3) are 0-5, the
// four on it (a1 b2 c3 d4) are 6-9. Other squares take the number of their image in it.
constexpr std::array<uint8_t, 64> make_triangle() {
    std::array<uint8_t, 64> canonical{};
    int code = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (file_of(sq) <= 3 && rank_of(sq) < file_of(sq)) canonical[sq] = uint8_t(code++);
    for (int sq = 0; sq < 64; ++sq)
        if (file_of(sq) <= 3 && rank_of(sq) == file_of(sq)) canonical[sq] = uint8_t(code++);
    std::array<uint8_t, 64> t{};
    for (int sq = 0; sq < 64; ++sq) {
        int s = sq;
        if (file_of(s) > 3) s ^= 7;
        if (rank_of(s) > 3) s ^= 0x38;
        if (rank_of(s) > file_of(s)) s = FlipDiag[s];
        t[sq] = canonical[s];
    }
    return t;
}
constexpr auto Triangle = make_triangle();

// Position along the a1-h8 diagonal (0-7) and along the h1-a8 diagonal (8-15).
constexpr std::array<uint8_t, 64> make_diag() {
    std::array<uint8_t, 64> t{};
    for (int sq = 0; sq < 64; ++sq) {
        if (file_of(sq) == rank_of(sq)) t[sq] = uint8_t(file_of(sq));
        else if (file_of(sq) + rank_of(sq) == 7) t[sq] = uint8_t(8 + rank_of(sq));
    }
    return t;
}
constexpr auto Diag = make_diag();

// The 28 squares below the diagonal, numbered rank by rank (b1..h1 = 0-6, c2..h2 = 7-12, ...);
// squares above it take their mirror's number, diagonal squares 28-35.
constexpr std::array<uint8_t, 64> make_lower() {
    std::array<uint8_t, 64> t{};
    int code = 0;
    for (int sq = 0; sq < 64; ++sq)
        if (file_of(sq) > rank_of(sq)) t[sq] = uint8_t(code++);
    for (int sq = 0; sq < 64; ++sq) {
        if (file_of(sq) < rank_of(sq)) t[sq] = t[FlipDiag[sq]];
        else if (file_of(sq) == rank_of(sq)) t[sq] = uint8_t(28 + file_of(sq));
    }
    return t;
}
constexpr auto Lower = make_lower();

// The 462 placements of two kings with the first in the triangle: non-adjacent, and with the
// first on the diagonal the second not above it. For each first square in triangle order the
// second runs a1..h8; placements with both kings on the diagonal come last. -1: not encoded.
constexpr std::array<std::array<int16_t, 64>, 10> make_kk_idx() {
    std::array<std::array<int16_t, 64>, 10> t{};
    for (auto& row : t) row.fill(-1);
    int first_square[10] = {};
    for (int sq = 0; sq < 64; ++sq)
        if (file_of(sq) <= 3 && rank_of(sq) <= file_of(sq)) first_square[Triangle[sq]] = sq;
    auto adjacent = [](int a, int b) {
        int df = file_of(a) - file_of(b), dr = rank_of(a) - rank_of(b);
        return df >= -1 && df <= 1 && dr >= -1 && dr <= 1;
    };
    int code = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int idx = 0; idx < 10; ++idx) {
            int s1 = first_square[idx];
            for (int s2 = 0; s2 < 64; ++s2) {
                if (adjacent(s1, s2)) continue;
                if (OffDiag[s1] == 0 && OffDiag[s2] > 0) continue;
                bool both_on_diagonal = OffDiag[s1] == 0 && OffDiag[s2] == 0;
                if (both_on_diagonal == (pass == 1)) t[idx][s2] = int16_t(code++);
            }
        }
    return t;
}
constexpr auto KKIdx = make_kk_idx();
static_assert(KKIdx[9][63] == 461);

// Binomial[k][n] = n choose k.
constexpr std::array<std::array<uint64_t, 65>, TB_PIECES + 1> make_binomial() {
    std::array<std::array<uint64_t, 65>, TB_PIECES + 1> t{};
    for (int n = 0; n <= 64; ++n) {
        t[0][n] = 1;
        for (int k = 1; k <= TB_PIECES && n > 0; ++k) t[k][n] = t[k][n - 1] + t[k - 1][n - 1];
    }
    return t;
}
constexpr auto Binomial = make_binomial();
static_assert(Binomial[2][4] == 6 && Binomial[5][63] == 7'028'847);

// Pawn squares of files a-d, file by file from rank 2 up: a2 = 0 .. a7 = 5, b2 = 6 .. d7 = 23;
// files e-h take their mirror's number. The leading pawn is the one with the lowest.
constexpr std::array<uint8_t, 64> make_flap() {
    std::array<uint8_t, 64> t{};
    for (int sq = 8; sq < 56; ++sq) {
        int f = std::min(file_of(sq), 7 - file_of(sq));
        t[sq] = uint8_t(f * 6 + rank_of(sq) - 1);
    }
    return t;
}
constexpr auto Flap = make_flap();

constexpr std::array<uint8_t, 24> make_inv_flap() {
    std::array<uint8_t, 24> t{};
    for (int j = 0; j < 24; ++j) t[j] = uint8_t((j % 6 + 1) * 8 + j / 6);
    return t;
}
constexpr auto InvFlap = make_inv_flap();

// Order of the squares the other leading pawns may take: counting down from 47, file pairs
// a/h, b/g, c/f, d/e, ranks 2-7, the a-side square before its mirror. Every square a
// non-leading pawn can stand on has a lower number than the leading pawn's square.
constexpr std::array<uint8_t, 64> make_pawn_twist() {
    std::array<uint8_t, 64> t{};
    int code = 47;
    for (int f = 0; f < 4; ++f)
        for (int r = 1; r <= 6; ++r) {
            t[r * 8 + f] = uint8_t(code--);
            t[r * 8 + (7 - f)] = uint8_t(code--);
        }
    return t;
}
constexpr auto PawnTwist = make_pawn_twist();

constexpr uint8_t FileToFile[8] = {0, 1, 2, 3, 3, 2, 1, 0};

// For k + 1 leading pawns: PawnIdx[k][j] numbers the placements whose leading pawn has Flap
// index j within its file, PawnFactorFile[k][f] counts the placements with leading file f.
struct PawnTables {
    uint64_t idx[6][24] = {};
    uint64_t factor[6][4] = {};
};
constexpr PawnTables make_pawn_tables() {
    PawnTables t{};
    for (int k = 0; k < 6; ++k)
        for (int f = 0; f < 4; ++f) {
            uint64_t s = 0;
            for (int j = f * 6; j < f * 6 + 6; ++j) {
                t.idx[k][j] = s;
                s += Binomial[k][PawnTwist[InvFlap[j]]];
            }
            t.factor[k][f] = s;
        }
    return t;
}
constexpr PawnTables PAWN_TABLES = make_pawn_tables();
constexpr auto& PawnIdx = PAWN_TABLES.idx;
constexpr auto& PawnFactorFile = PAWN_TABLES.factor;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t read_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Big-endian reads of a block's bit stream; bytes past the mapping read as zero.
uint64_t read_be(const uint8_t* p, const uint8_t* end, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | (p + i < end ? p[i] : 0);
    return v;
}

// Numbers each group of like pieces after the leading one as a combination of the free
// squares: each square counts only the squares of earlier groups below it.
uint64_t encode_groups(const EncInfo& enc, int num, int i, int* pos) {
    uint64_t idx = 0;
    while (i < num) {
        int t = enc.norm[i];
        std::sort(pos + i, pos + i + t);
        uint64_t s = 0;
        for (int m = i; m < i + t; ++m) {
            int p = pos[m], below = 0;
            for (int l = 0; l < i; ++l) below += pos[l] < p;
            s += Binomial[m - i + 1][p - below];
        }
        idx += s * enc.factor[i];
        i += t;
    }
    return idx;
}

bool pieces_match(const TableEntry& e, const uint8_t* pieces) {
    uint8_t seen[16] = {};
    for (int i = 0; i < e.num; ++i) {
        uint8_t c = pieces[i];
        if (c > 15) return false;
        if (seen[c] && pieces[i - 1] != c) return false;  // like pieces must be adjacent
        ++seen[c];
    }
    return std::equal(std::begin(seen), std::end(seen), std::begin(e.counts));
}

bool set_piece_factors(EncInfo& enc, const TableEntry& e, int order) {
    const int num = e.num;
    std::fill(std::begin(enc.norm), std::end(enc.norm), 0);
    enc.norm[0] = uint8_t(e.kk_enc ? 2 : 3);
    if (num < enc.norm[0]) return false;
    for (int i = enc.norm[0]; i < num; i += enc.norm[i])
        for (int j = i; j < num && enc.pieces[j] == enc.pieces[i]; ++j) ++enc.norm[i];
    uint64_t f = 1;
    int n = 64 - enc.norm[0];
    bool lead_placed = false;
    for (int i = enc.norm[0], k = 0; i < num || k == order; ++k) {
        if (k == order) {
            enc.factor[0] = f;
            f *= e.kk_enc ? 462 : 31332;
            lead_placed = true;
        } else {
            enc.factor[i] = f;
            f *= Binomial[enc.norm[i]][n];
            n -= enc.norm[i];
            i += enc.norm[i];
        }
    }
    enc.size = f;
    return lead_placed;
}

bool set_pawn_factors(EncInfo& enc, const TableEntry& e, int order, int order2, int file) {
    const int num = e.num;
    std::fill(std::begin(enc.norm), std::end(enc.norm), 0);
    enc.norm[0] = e.pawns[0];
    if (e.pawns[1]) enc.norm[e.pawns[0]] = e.pawns[1];
    for (int i = e.pawns[0] + e.pawns[1]; i < num; i += enc.norm[i])
        for (int j = i; j < num && enc.pieces[j] == enc.pieces[i]; ++j) ++enc.norm[i];
    int i = enc.norm[0];
    if (e.pawns[1]) i += enc.norm[i];
    int n = 64 - i;
    uint64_t f = 1;
    bool lead_placed = false, second_placed = e.pawns[1] == 0;
    for (int k = 0; i < num || k == order || k == order2; ++k) {
        if (k == order) {
            enc.factor[0] = f;
            f *= PawnFactorFile[enc.norm[0] - 1][file];
            lead_placed = true;
        } else if (k == order2) {
            enc.factor[enc.norm[0]] = f;
            f *= Binomial[enc.norm[enc.norm[0]]][48 - enc.norm[0]];
            second_placed = true;
        } else {
            enc.factor[i] = f;
            f *= Binomial[enc.norm[i]][n];
            n -= enc.norm[i];
            i += enc.norm[i];
        }
    }
    enc.size = f;
    return lead_placed && second_placed;
}

// Symbol lengths by an explicit depth-first walk; a cycle or a child out of range means a
// corrupt file.
bool compute_symlen(PairsData& d) {
    const uint32_t n = d.num_syms;
    d.symlen.assign(n, 0);
    std::vector<uint8_t> state(n, 0);  // 0 new, 1 on the current path, 2 done
    std::vector<uint32_t> stack;
    for (uint32_t root = 0; root < n; ++root) {
        if (state[root] == 2) continue;
        stack.push_back(root);
        while (!stack.empty()) {
            uint32_t s = stack.back();
            if (state[s] == 2) {
                stack.pop_back();
                continue;
            }
            const uint8_t* w = d.sympat + 3 * s;
            uint32_t left = uint32_t((w[1] & 0xF) << 8 | w[0]);
            uint32_t right = uint32_t(w[2] << 4 | w[1] >> 4);
            if (right == 0xFFF) {
                d.symlen[s] = 0;
                state[s] = 2;
                stack.pop_back();
                continue;
            }
            if (left >= n || right >= n) return false;
            if (state[s] == 0) {
                state[s] = 1;
                for (uint32_t c : {left, right}) {
                    if (state[c] == 1) return false;
                    if (state[c] == 0) stack.push_back(c);
                }
                continue;
            }
            d.symlen[s] = d.symlen[left] + d.symlen[right] + 1;
            state[s] = 2;
            stack.pop_back();
        }
    }
    return true;
}

// Reads one pairs header at `off` and advances past it. `tb_size` is the sub-table's index
// count, which decides the size of its sparse index.
bool setup_pairs(PairsData& d, const uint8_t* data, size_t size, size_t& off, uint64_t tb_size) {
    if (off + 2 > size) return false;
    d.end = data + size;
    d.flags = data[off];
    if (d.flags & 0x80) {
        d.is_constant = true;
        d.const_value = data[off + 1];
        off += 2;
        return true;
    }
    if (off + 12 > size) return false;
    const uint8_t* h = data + off;
    d.block_bits = h[1];
    d.idx_bits = h[2];
    d.real_num_blocks = read_u32(h + 4);
    d.num_blocks = d.real_num_blocks + h[3];
    d.max_len = h[8];
    d.min_len = h[9];
    if (d.block_bits > 30 || d.idx_bits == 0 || d.idx_bits > 40 || d.min_len == 0
        || d.max_len < d.min_len || d.max_len > 32)
        return false;
    const int lengths = d.max_len - d.min_len + 1;
    if (off + 12 + 2 * size_t(lengths) > size) return false;
    d.offsets = h + 10;
    d.num_syms = read_u16(h + 10 + 2 * lengths);
    if (d.num_syms == 0 || d.num_syms > 4096) return false;
    d.sympat = h + 12 + 2 * lengths;
    size_t next = off + 12 + 2 * size_t(lengths) + 3 * size_t(d.num_syms) + (d.num_syms & 1);
    if (next > size) return false;
    if (!compute_symlen(d)) return false;

    // Codes of one length are consecutive numbers; longer codes take the numbers below the
    // shorter ones. base[l] is the smallest left-aligned code of length min_len + l.
    d.base.assign(size_t(lengths), 0);
    for (int i = lengths - 2; i >= 0; --i)
        d.base[i] = (d.base[i + 1] + read_u16(d.offsets + 2 * i)
                     - read_u16(d.offsets + 2 * (i + 1)))
                    / 2;
    for (int i = 0; i < lengths; ++i) d.base[i] <<= 64 - (d.min_len + i);

    d.num_indices = (tb_size + (uint64_t(1) << d.idx_bits) - 1) >> d.idx_bits;
    d.index_bytes = 6 * d.num_indices;
    d.size_bytes = 2 * uint64_t(d.num_blocks);
    d.data_bytes = uint64_t(d.real_num_blocks) << d.block_bits;
    off = next;
    return true;
}

// Lays out the index, size and data sections of the sub-tables in file order.
bool place_sections(std::vector<PairsData*>& subs, const uint8_t* data, size_t size, size_t off) {
    for (PairsData* d : subs) {
        d->index_table = data + off;
        off += d->index_bytes;
        if (off > size) return false;
    }
    for (PairsData* d : subs) {
        d->size_table = data + off;
        off += d->size_bytes;
        if (off > size) return false;
    }
    for (PairsData* d : subs) {
        off = (off + 63) & ~size_t(63);
        d->data = data + off;
        off += d->data_bytes;
        if (off > size) return false;
    }
    return true;
}

}  // namespace

uint64_t encode_piece(const EncInfo& enc, int num, bool kk_enc, int* pos) {
    if (pos[0] & 4)
        for (int i = 0; i < num; ++i) pos[i] ^= 7;
    if (pos[0] & 0x20)
        for (int i = 0; i < num; ++i) pos[i] ^= 0x38;
    const int lead = kk_enc ? 2 : 3;
    int first_off = 0;
    while (first_off < num && OffDiag[pos[first_off]] == 0) ++first_off;
    if (first_off < lead && OffDiag[pos[first_off]] > 0)
        for (int i = 0; i < num; ++i) pos[i] = FlipDiag[pos[i]];

    uint64_t idx;
    if (kk_enc) {
        int kk = KKIdx[Triangle[pos[0]]][pos[1]];
        if (kk < 0) return UINT64_MAX;
        idx = uint64_t(kk);
    } else {
        int i = pos[1] > pos[0];
        int j = (pos[2] > pos[0]) + (pos[2] > pos[1]);
        if (OffDiag[pos[0]])
            idx = Triangle[pos[0]] * 63 * 62 + (pos[1] - i) * 62 + (pos[2] - j);
        else if (OffDiag[pos[1]])
            idx = 6 * 63 * 62 + Diag[pos[0]] * 28 * 62 + Lower[pos[1]] * 62 + (pos[2] - j);
        else if (OffDiag[pos[2]])
            idx = 6 * 63 * 62 + 4 * 28 * 62 + Diag[pos[0]] * 7 * 28 + (Diag[pos[1]] - i) * 28
                  + Lower[pos[2]];
        else
            idx = 6 * 63 * 62 + 4 * 28 * 62 + 4 * 7 * 28 + Diag[pos[0]] * 7 * 6
                  + (Diag[pos[1]] - i) * 6 + (Diag[pos[2]] - j);
    }
    return idx * enc.factor[0] + encode_groups(enc, num, lead, pos);
}

int leading_pawn_file(int num_lead, int* pos) {
    for (int i = 1; i < num_lead; ++i)
        if (Flap[pos[0]] > Flap[pos[i]]) std::swap(pos[0], pos[i]);
    return FileToFile[pos[0] & 7];
}

uint64_t encode_pawn(const EncInfo& enc, int num, const uint8_t pawns[2], int* pos) {
    if (pos[0] & 4)
        for (int i = 0; i < num; ++i) pos[i] ^= 7;
    const int lead = pawns[0];
    std::sort(pos + 1, pos + lead, [](int a, int b) { return PawnTwist[a] > PawnTwist[b]; });
    const int k = lead - 1;
    uint64_t idx = PawnIdx[k][Flap[pos[0]]];
    for (int i = k; i > 0; --i) idx += Binomial[k - i + 1][PawnTwist[pos[i]]];
    idx *= enc.factor[0];

    // The other colour's pawns: combinations of the 48 pawn squares left free.
    int i = lead;
    if (pawns[1]) {
        const int end = lead + pawns[1];
        std::sort(pos + i, pos + end);
        uint64_t s = 0;
        for (int m = i; m < end; ++m) {
            int p = pos[m], below = 0;
            for (int l = 0; l < i; ++l) below += pos[l] < p;
            s += Binomial[m - i + 1][p - below - 8];
        }
        idx += s * enc.factor[i];
        i = end;
    }
    return idx + encode_groups(enc, num, i, pos);
}

int decompress_pairs(const PairsData& d, uint64_t idx) {
    if (d.is_constant) return d.const_value;

    const uint64_t main_idx = idx >> d.idx_bits;
    if (main_idx >= d.num_indices) return -1;
    // The sparse index holds the block and offset of the middle position of each span.
    const uint8_t* entry = d.index_table + 6 * main_idx;
    uint64_t block = read_u32(entry);
    int64_t lit = int64_t(idx & ((uint64_t(1) << d.idx_bits) - 1))
                  - (int64_t(1) << (d.idx_bits - 1)) + read_u16(entry + 4);
    if (block >= d.num_blocks) return -1;
    while (lit < 0) {
        if (block == 0) return -1;
        --block;
        lit += int64_t(read_u16(d.size_table + 2 * block)) + 1;
    }
    while (lit > int64_t(read_u16(d.size_table + 2 * block))) {
        lit -= int64_t(read_u16(d.size_table + 2 * block)) + 1;
        if (++block >= d.num_blocks) return -1;
    }
    if (block >= d.real_num_blocks) return -1;

    // Walk the block's codes, skipping whole symbols until the one that covers `lit`.
    const uint8_t* ptr = d.data + (block << d.block_bits);
    uint64_t code = read_be(ptr, d.end, 8);
    ptr += 8;
    int empty_bits = 0;
    uint32_t sym;
    for (;;) {
        int l = 0;
        while (code < d.base[l]) ++l;
        const int len = d.min_len + l;
        sym = read_u16(d.offsets + 2 * l) + uint32_t((code - d.base[l]) >> (64 - len));
        if (sym >= d.num_syms) return -1;
        if (lit < int64_t(d.symlen[sym]) + 1) break;
        lit -= int64_t(d.symlen[sym]) + 1;
        code <<= len;
        empty_bits += len;
        if (empty_bits >= 32) {
            empty_bits -= 32;
            code |= read_be(ptr, d.end, 4) << empty_bits;
            ptr += 4;
        }
    }
    // Descend the pair tree to the value at `lit`.
    while (d.symlen[sym] != 0) {
        const uint8_t* w = d.sympat + 3 * sym;
        uint32_t left = uint32_t((w[1] & 0xF) << 8 | w[0]);
        if (lit < int64_t(d.symlen[left]) + 1) {
            sym = left;
        } else {
            lit -= int64_t(d.symlen[left]) + 1;
            sym = uint32_t(w[2] << 4 | w[1] >> 4);
        }
    }
    return d.sympat[3 * sym];
}

bool parse_wdl(const TableEntry& e, WdlTable& t, const uint8_t* data, size_t size) {
    if (size < 6) return false;
    t.split = (data[4] & 1) != 0;
    if (((data[4] & 2) != 0) != e.has_pawns) return false;
    const int files = e.has_pawns ? 4 : 1;
    const int sides = t.split ? 2 : 1;
    const int prefix = e.has_pawns && e.pawns[1] ? 2 : 1;
    size_t off = 5;
    for (int f = 0; f < files; ++f) {
        if (off + prefix + e.num > size) return false;
        for (int side = 0; side < sides; ++side) {
            EncInfo& enc = t.enc[f][side];
            const int shift = side ? 4 : 0;
            for (int i = 0; i < e.num; ++i) enc.pieces[i] = (data[off + prefix + i] >> shift) & 0xF;
            if (!pieces_match(e, enc.pieces)) return false;
            const int order = (data[off] >> shift) & 0xF;
            bool ok;
            if (e.has_pawns) {
                const int order2 = e.pawns[1] ? (data[off + 1] >> shift) & 0xF : 0xF;
                ok = enc.pieces[0] == t.enc[0][0].pieces[0]
                     && set_pawn_factors(enc, e, order, order2, f);
            } else {
                ok = set_piece_factors(enc, e, order);
            }
            if (!ok) return false;
        }
        off += prefix + e.num;
    }
    off += off & 1;

    std::vector<PairsData*> subs;
    for (int f = 0; f < files; ++f)
        for (int side = 0; side < sides; ++side) {
            EncInfo& enc = t.enc[f][side];
            if (!setup_pairs(enc.pairs, data, size, off, enc.size)) return false;
            subs.push_back(&enc.pairs);
        }
    return place_sections(subs, data, size, off);
}

bool parse_dtz(const TableEntry& e, DtzTable& t, const uint8_t* data, size_t size) {
    if (size < 6) return false;
    if (((data[4] & 2) != 0) != e.has_pawns) return false;
    const int files = e.has_pawns ? 4 : 1;
    const int prefix = e.has_pawns && e.pawns[1] ? 2 : 1;
    size_t off = 5;
    for (int f = 0; f < files; ++f) {
        if (off + prefix + e.num > size) return false;
        EncInfo& enc = t.enc[f];
        for (int i = 0; i < e.num; ++i) enc.pieces[i] = data[off + prefix + i] & 0xF;
        if (!pieces_match(e, enc.pieces)) return false;
        const int order = data[off] & 0xF;
        bool ok;
        if (e.has_pawns) {
            const int order2 = e.pawns[1] ? data[off + 1] & 0xF : 0xF;
            ok = enc.pieces[0] == t.enc[0].pieces[0] && set_pawn_factors(enc, e, order, order2, f);
        } else {
            ok = set_piece_factors(enc, e, order);
        }
        if (!ok) return false;
        off += prefix + e.num;
    }
    off += off & 1;

    std::vector<PairsData*> subs;
    for (int f = 0; f < files; ++f) {
        if (!setup_pairs(t.enc[f].pairs, data, size, off, t.enc[f].size)) return false;
        subs.push_back(&t.enc[f].pairs);
    }

    // Value maps: per file with the mapped flag, four maps (win, loss, cursed win, blessed
    // loss), each a length followed by that many values, of 8 or (wide) 16 bits.
    t.map = data + off;
    const size_t map_start = off;
    for (int f = 0; f < files; ++f) {
        const uint8_t flags = t.enc[f].pairs.flags;
        if (!(flags & DTZ_FLAG_MAPPED)) continue;
        const bool wide = flags & DTZ_FLAG_WIDE;
        if (wide) off += off & 1;
        for (int i = 0; i < 4; ++i) {
            if (off + (wide ? 2 : 1) > size) return false;
            const size_t length = wide ? read_u16(data + off) : data[off];
            off += wide ? 2 : 1;
            t.map_offset[f][i] = uint32_t(off - map_start);
            t.map_length[f][i] = uint16_t(length);
            off += length * (wide ? 2 : 1);
        }
        if (off > size) return false;
    }
    off += off & 1;
    return place_sections(subs, data, size, off);
}

}  // namespace velmar::syzygy
