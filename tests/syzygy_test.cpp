#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "movegen.h"
#include "position.h"
#include "prober/tbprobe.h"
#include "syzygy.h"
#include "tablebase.h"

namespace velmar {
namespace {

namespace fs = std::filesystem;

// A few small tables committed with the tests: every 3-piece table, KQvKR, KQQvK, KPvKP and
// KPPvK with both kinds, and the WDL files their promotions lead to, plus KBNvK.rtbw.
const std::string TEST_TABLES = std::string(VELMAR_TEST_DATA) + "/syzygy";

// The complete 3-4-5 piece set, when a copy sits beside the repository; empty otherwise.
std::string full_tables() {
    const fs::path candidates[] = {fs::path(VELMAR_TEST_DATA) / "../../../shared/syzygy",
                                   fs::path("/work/shared/syzygy")};
    for (const fs::path& p : candidates)
        if (fs::exists(p / "KRPvKR.rtbw") && fs::exists(p / "KQvK.rtbz"))
            return fs::canonical(p).string();
    return {};
}

void load_or_fail(const std::string& path) {
    auto tb = Syzygy::load(path);
    ASSERT_TRUE(tb.ok()) << tb.error().message;
}

constexpr int FAILED = INT_MIN;
constexpr int WDL_TO_DTZ[5] = {-1, -101, 0, 101, 1};

unsigned ep_of(const Position& pos) {
    return pos.en_passant() == SQ_NONE ? 0u : unsigned(pos.en_passant());
}

// WDL -2..2 for the side to move, straight from the prober (any halfmove clock), or FAILED.
int wdl_of(const Position& pos) {
    unsigned r = syzygy::tb_probe_wdl_impl(
        pos.by_color(WHITE), pos.by_color(BLACK), pos.by_type(KING), pos.by_type(QUEEN),
        pos.by_type(ROOK), pos.by_type(BISHOP), pos.by_type(KNIGHT), pos.by_type(PAWN),
        ep_of(pos), pos.side_to_move() == WHITE);
    return r == syzygy::TB_RESULT_FAILED ? FAILED : int(r) - 2;
}

int dtz_of(const Position& pos) {
    bool ok;
    int dtz = syzygy::tb_probe_dtz_impl(
        pos.by_color(WHITE), pos.by_color(BLACK), pos.by_type(KING), pos.by_type(QUEEN),
        pos.by_type(ROOK), pos.by_type(BISHOP), pos.by_type(KNIGHT), pos.by_type(PAWN),
        ep_of(pos), pos.side_to_move() == WHITE, ok);
    return ok ? dtz : FAILED;
}

// WDL class of a DTZ value: wins and losses beyond 100 plies are cursed or blessed.
int wdl_of_dtz(int dtz) {
    if (dtz > 0) return dtz <= 100 ? 2 : 1;
    if (dtz < 0) return dtz >= -100 ? -2 : -1;
    return 0;
}

struct Tally {
    uint64_t positions = 0;
    uint64_t wdl_mismatches = 0;
    uint64_t dtz_exact = 0;
    uint64_t dtz_one_off = 0;  // tables storing moves instead of plies round by one ply
    uint64_t dtz_mismatches = 0;
    uint64_t probe_failures = 0;
};

// The probes of `pos` must agree with the best over its legal moves, every child probed and
// mates and stalemates found by move generation. With DTZ, moves that keep the counter running
// are valued by the child's DTZ (so the fifty-move classes are checked too), and the DTZ must
// equal the best move's, up to the one-ply rounding of tables stored in moves. Without it, the
// win/draw/loss signs must agree.
void check_position(Position& pos, bool with_dtz, Tally& tally) {
    ++tally.positions;
    const int wdl = wdl_of(pos);
    const int dtz = with_dtz ? dtz_of(pos) : 0;
    if (wdl == FAILED || dtz == FAILED) {
        if (tally.probe_failures++ < 5) ADD_FAILURE() << "probe failed: " << pos.to_fen();
        return;
    }

    MoveList moves;
    generate_all(pos, moves);
    int best = moves.empty() && pos.in_check() ? -2 : moves.empty() ? 0 : -3;
    int best_win = INT_MAX, worst_loss = moves.empty() && pos.in_check() ? -1 : 0;
    for (Move m : moves) {
        const bool zeroing = m.is_capture() || type_of(pos.piece_on(m.from())) == PAWN;
        pos.make_move(m);
        int value, move_dtz;
        if (pos.in_check() && !has_legal_move(pos)) {
            value = 2;
            move_dtz = 1;
        } else if (zeroing || !with_dtz) {
            const int child = wdl_of(pos);
            if (child == FAILED) {
                pos.unmake_move(m);
                if (tally.probe_failures++ < 5) ADD_FAILURE() << "child probe failed";
                return;
            }
            value = -child;
            move_dtz = WDL_TO_DTZ[value + 2];
        } else {
            const int child = dtz_of(pos);
            if (child == FAILED) {
                pos.unmake_move(m);
                if (tally.probe_failures++ < 5) ADD_FAILURE() << "child probe failed";
                return;
            }
            move_dtz = child < 0 ? 1 - child : child > 0 ? -1 - child : 0;
            value = wdl_of_dtz(move_dtz);
        }
        pos.unmake_move(m);
        best = std::max(best, value);
        if (move_dtz > 0) best_win = std::min(best_win, move_dtz);
        worst_loss = std::min(worst_loss, move_dtz);
    }

    auto sign = [](int v) { return (v > 0) - (v < 0); };
    const bool wdl_agrees = with_dtz ? wdl == best : sign(wdl) == sign(best);
    if (!wdl_agrees && tally.wdl_mismatches++ < 5)
        ADD_FAILURE() << "WDL " << wdl << " but moves give " << best << ": " << pos.to_fen();
    if (!with_dtz) return;

    const int expected = best > 0 ? best_win : best < 0 ? worst_loss : 0;
    const int diff = std::abs(dtz - expected);
    if (diff == 0) {
        ++tally.dtz_exact;
    } else if (diff == 1 && sign(dtz) == sign(expected)) {
        ++tally.dtz_one_off;
    } else if (tally.dtz_mismatches++ < 5) {
        ADD_FAILURE() << "DTZ " << dtz << " but moves give " << expected << ": " << pos.to_fen();
    }
    if (wdl_of_dtz(dtz) != wdl && tally.dtz_mismatches++ < 5)
        ADD_FAILURE() << "DTZ " << dtz << " is outside WDL class " << wdl << ": " << pos.to_fen();
}

// FEN of a board given as 64 characters from a1 ('.' empty).
std::string fen_of(const std::string& board, Color side, const std::string& ep = "-") {
    std::string fen;
    for (int rank = 7; rank >= 0; --rank) {
        int empty = 0;
        for (int file = 0; file < 8; ++file) {
            char c = board[size_t(rank * 8 + file)];
            if (c == '.') {
                ++empty;
                continue;
            }
            if (empty) fen += char('0' + empty);
            empty = 0;
            fen += c;
        }
        if (empty) fen += char('0' + empty);
        if (rank) fen += '/';
    }
    return fen + (side == WHITE ? " w - " : " b - ") + ep + " 0 1";
}

bool pawn_square_ok(char piece, int sq) {
    return (piece != 'P' && piece != 'p') || (sq >= 8 && sq < 56);
}

// Every legal placement of three pieces (FEN letters), both sides to move. `reduced` keeps the
// white king on files a-d (pawn tables) or in the a1-d1-d4 triangle (pawnless): every position
// is still met up to the board's symmetries.
template <typename Visit>
void for_each_placement(const std::string& pieces, bool reduced, Visit visit) {
    const bool pawns = pieces.find_first_of("Pp") != std::string::npos;
    const size_t king = pieces.find('K');
    std::string board(64, '.');
    int sq[3];
    for (sq[0] = 0; sq[0] < 64; ++sq[0])
        for (sq[1] = 0; sq[1] < 64; ++sq[1])
            for (sq[2] = 0; sq[2] < 64; ++sq[2]) {
                if (sq[0] == sq[1] || sq[0] == sq[2] || sq[1] == sq[2]) continue;
                bool ok = true;
                for (int i = 0; i < 3; ++i) ok = ok && pawn_square_ok(pieces[size_t(i)], sq[i]);
                const int f = sq[king] & 7, r = sq[king] >> 3;
                if (!ok || (reduced && (f > 3 || (!pawns && r > f)))) continue;
                for (int i = 0; i < 3; ++i) board[size_t(sq[i])] = pieces[size_t(i)];
                for (Color side : {WHITE, BLACK}) {
                    auto pos = Position::from_fen(fen_of(board, side));
                    if (pos.ok()) visit(pos.value());
                }
                for (int i = 0; i < 3; ++i) board[size_t(sq[i])] = '.';
            }
}

// Random legal positions with the given pieces; a fixed seed keeps the sample the same.
template <typename Visit>
void for_each_sample(const std::string& pieces, int count, uint64_t seed, Visit visit) {
    std::mt19937_64 rng(seed);
    int found = 0;
    while (found < count) {
        std::string board(64, '.');
        bool placed = true;
        for (char piece : pieces) {
            int sq = int(rng() % 64);
            if (board[size_t(sq)] != '.' || !pawn_square_ok(piece, sq)) {
                placed = false;
                break;
            }
            board[size_t(sq)] = piece;
        }
        if (!placed) continue;
        auto pos = Position::from_fen(fen_of(board, rng() % 2 ? WHITE : BLACK));
        if (!pos.ok()) continue;
        ++found;
        visit(pos.value());
    }
}

std::string report(const char* what, const Tally& t) {
    return std::string(what) + ": " + std::to_string(t.positions) + " positions, "
           + std::to_string(t.wdl_mismatches) + " WDL mismatches, DTZ "
           + std::to_string(t.dtz_exact) + " exact / " + std::to_string(t.dtz_one_off)
           + " one ply off / " + std::to_string(t.dtz_mismatches) + " wrong, "
           + std::to_string(t.probe_failures) + " failed probes";
}

void expect_clean(const Tally& t) {
    EXPECT_GT(t.positions, 0u);
    EXPECT_EQ(t.wdl_mismatches, 0u);
    EXPECT_EQ(t.dtz_mismatches, 0u);
    EXPECT_EQ(t.probe_failures, 0u);
}

void check_three_piece(const std::vector<const char*>& tables, bool reduced, int dtz_every) {
    for (const char* pieces : tables) {
        Tally tally;
        uint64_t n = 0;
        for_each_placement(pieces, reduced,
                           [&](Position& pos) { check_position(pos, n++ % dtz_every == 0, tally); });
        SCOPED_TRACE(report(pieces, tally));
        std::printf("%s\n", report(pieces, tally).c_str());
        expect_clean(tally);
    }
}

void check_samples(const std::vector<const char*>& tables, int count, bool with_dtz) {
    uint64_t seed = 1;
    for (const char* pieces : tables) {
        Tally tally;
        for_each_sample(pieces, count, seed++, [&](Position& pos) { check_position(pos, with_dtz, tally); });
        SCOPED_TRACE(report(pieces, tally));
        std::printf("%s\n", report(pieces, tally).c_str());
        expect_clean(tally);
    }
}

// Positions right after a double pawn push that can be taken en passant.
template <typename Visit>
void for_each_en_passant(const std::string& others, int count, uint64_t seed, Visit visit) {
    std::mt19937_64 rng(seed);
    int found = 0;
    while (found < count) {
        std::string board(64, '.');
        const Color side = rng() % 2 ? WHITE : BLACK;
        const int file = int(rng() % 8), capturer_file = file + (rng() % 2 ? 1 : -1);
        if (capturer_file < 0 || capturer_file > 7) continue;
        // The pushed pawn belongs to the side not to move and stands on its fourth rank.
        const int rank = side == WHITE ? 4 : 3;
        board[size_t(rank * 8 + file)] = side == WHITE ? 'p' : 'P';
        board[size_t(rank * 8 + capturer_file)] = side == WHITE ? 'P' : 'p';
        const int behind = side == WHITE ? 5 : 2, start = side == WHITE ? 6 : 1;
        bool placed = true;
        for (char piece : others) {
            int sq = int(rng() % 64);
            if (board[size_t(sq)] != '.' || !pawn_square_ok(piece, sq) || sq == behind * 8 + file
                || sq == start * 8 + file) {
                placed = false;
                break;
            }
            board[size_t(sq)] = piece;
        }
        if (!placed) continue;
        std::string ep = std::string(1, char('a' + file)) + char('1' + behind);
        auto pos = Position::from_fen(fen_of(board, side, ep));
        if (!pos.ok() || pos.value().en_passant() == SQ_NONE) continue;
        ++found;
        visit(pos.value());
    }
}

TEST(Syzygy, ThreePieceTablesAgreeWithTheirMoves) {
    load_or_fail(TEST_TABLES);
    // Black holding the pawn also exercises the rank flip of pawn tables.
    check_three_piece({"KQk", "Kkp"}, true, 8);
}

TEST(Syzygy, FourPieceSamplesAgreeWithTheirMoves) {
    load_or_fail(TEST_TABLES);
    check_samples({"KQkr", "KRkq", "KQQk", "kqqK", "KPkp", "KPPk", "kppK"}, 600, true);
    check_samples({"KBNk"}, 600, false);
    Tally tally;
    for_each_en_passant("Kk", 600, 7, [&](Position& pos) { check_position(pos, true, tally); });
    SCOPED_TRACE(report("KPkp en passant", tally));
    std::printf("%s\n", report("KPkp en passant", tally).c_str());
    expect_clean(tally);
}

TEST(Syzygy, FivePieceSamplesAgreeWithTheirMoves) {
    const std::string full = full_tables();
    if (full.empty()) GTEST_SKIP() << "no full table set beside the repository";
    load_or_fail(full);
    check_samples({"KRPkr", "KBBkn", "KNNkp", "KNNkq"}, 150, true);
}

TEST(SyzygySlow, EveryThreePiecePositionAgreesWithItsMoves) {
    load_or_fail(TEST_TABLES);
    check_three_piece({"KQk", "Kkq", "KRk", "Kkr", "KBk", "KNk", "KPk", "Kkp"}, false, 1);
}

TEST(SyzygySlow, FourAndFivePieceSamplesAgreeWithTheirMoves) {
    const std::string full = full_tables();
    if (full.empty()) GTEST_SKIP() << "no full table set beside the repository";
    load_or_fail(full);
    check_samples({"KQQk", "KQRk", "KQBk", "KQNk", "KQPk", "KRRk", "KRBk", "KRNk", "KRPk",
                   "KBBk", "KBNk", "KBPk", "KNNk", "KNPk", "KPPk", "KQkq", "KQkr", "KQkb",
                   "KQkn", "KQkp", "KRkr", "KRkb", "KRkn", "KRkp", "KBkb", "KBkn", "KBkp",
                   "KNkn", "KNkp", "KPkp", "kqrK", "krpK", "kpKn"},
                  3000, true);
    check_samples({"KRPkr", "krpKR", "KBBkn", "KNNkp", "knnKP", "KNNkq", "KNNkr", "KNNkb",
                   "KNNkn", "KQRkr", "KRRkr", "KRBkr", "KRNkr"},
                  2000, true);
    Tally tally;
    for_each_en_passant("Kk", 20000, 11, [&](Position& pos) { check_position(pos, true, tally); });
    for_each_en_passant("KkR", 5000, 12, [&](Position& pos) { check_position(pos, true, tally); });
    SCOPED_TRACE(report("en passant", tally));
    std::printf("%s\n", report("en passant", tally).c_str());
    expect_clean(tally);
}

}  // namespace
}  // namespace velmar
