#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "movegen.h"
#include "position.h"
#include "prober/tbprobe.h"
#include "syzygy.h"
#include "tablebase.h"
#include "test_util.h"

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
    SCOPED_TRACE(report("KPkp en passant", tally));
    std::printf("%s\n", report("KPkp en passant", tally).c_str());
    expect_clean(tally);
}

Position from_fen(const std::string& fen) {
    auto pos = Position::from_fen(fen);
    if (!pos.ok()) ADD_FAILURE() << pos.error().message;
    return pos.ok() ? pos.value() : Position::startpos();
}

TEST(Syzygy, KnownResultsThroughTheAdaptor) {
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok()) << tb.error().message;
    EXPECT_EQ(tb.value().max_pieces(), 4u);
    struct Case {
        const char* fen;
        uint8_t wdl;
    };
    const Case cases[] = {
        {"8/8/8/8/8/8/1Q6/K6k w - - 0 1", WDL_WIN},        // KQvK
        {"8/8/8/8/8/8/1Q6/K6k b - - 0 1", WDL_LOSS},
        {"8/8/8/8/8/8/6Qk/K7 b - - 0 1", WDL_DRAW},        // the king takes the queen
        {"8/8/8/4k3/8/8/8/KN6 w - - 0 1", WDL_DRAW},        // KNvK
        {"8/8/8/4k3/8/8/8/KN6 b - - 0 1", WDL_DRAW},
        {"8/8/8/4k3/8/8/8/KBN5 w - - 0 1", WDL_WIN},       // KBNvK
        {"8/8/8/4k3/8/8/8/KBN5 b - - 0 1", WDL_LOSS},
        {"4k3/8/4K3/4P3/8/8/8/8 b - - 0 1", WDL_LOSS},     // king ahead of its pawn
        {"k7/8/8/8/8/8/P7/K7 w - - 0 1", WDL_DRAW},         // rook pawn, king in the corner
        {"8/8/8/4k3/8/8/8/K7 w - - 0 1", WDL_DRAW},         // bare kings need no file
        {"k7/1Q6/1K6/8/8/8/8/8 b - - 0 1", WDL_LOSS},       // mated
        {"k7/8/1QK5/8/8/8/8/8 b - - 0 1", WDL_DRAW},        // stalemated
        {"4k3/8/8/8/8/8/8/R3K3 w - - 0 1", WDL_WIN},       // KRvK
        {"4k3/8/8/8/8/8/8/R3K3 w Q - 0 1", WDL_NONE},      // castling still possible
        {"8/8/8/8/8/8/1Q6/K6k w - - 3 1", WDL_NONE},       // halfmove clock not zero
        {"4k3/8/8/8/8/8/PPP5/4K3 w - - 0 1", WDL_NONE},    // more pieces than loaded
        {"4k3/8/8/8/8/8/N1N5/4K3 w - - 0 1", WDL_NONE},    // KNNvK is not loaded
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fen);
        EXPECT_EQ(tb.value().probe_wdl(from_fen(c.fen)), c.wdl);
    }
}

// Each root move's verdict must be what the position after it says: a zeroing move gets the
// child's WDL, any other the child's DTZ one ply further out, and the fifty-move counter of
// the root decides between wins and cursed wins.
TEST(Syzygy, RootMovesMatchTheProbesAfterEachMove) {
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok()) << tb.error().message;
    uint64_t seed = 100, checked = 0;
    for (const char* pieces : {"KQkr", "KPkp", "kppK", "KQQk"}) {
        for_each_sample(pieces, 60, seed++, [&](Position& sample) {
            for (int clock : {0, 60}) {
                std::string fen = sample.to_fen();
                fen.replace(fen.rfind(" 0 "), 3, " " + std::to_string(clock) + " ");
                Position pos = from_fen(fen);
                SCOPED_TRACE(fen);
                auto root = tb.value().probe_root(pos);
                ASSERT_TRUE(root.has_value());
                MoveList legal;
                generate_all(pos, legal);
                ASSERT_EQ(int(root->size()), legal.size());
                const int root_wdl = wdl_of(pos);
                for (const RootMove& rm : *root) {
                    ASSERT_TRUE(legal.contains(rm.move));
                    const bool zeroing =
                        rm.move.is_capture() || type_of(pos.piece_on(rm.move.from())) == PAWN;
                    pos.make_move(rm.move);
                    int v;
                    if (root_wdl > 0 && pos.in_check() && !has_legal_move(pos)) {
                        v = 1;
                    } else if (zeroing) {
                        v = WDL_TO_DTZ[-wdl_of(pos) + 2];
                    } else {
                        const int d = -dtz_of(pos);
                        v = d + (d > 0) - (d < 0);
                    }
                    pos.unmake_move(rm.move);
                    uint8_t wdl = v > 0   ? (v + clock <= 100 ? WDL_WIN : WDL_CURSED_WIN)
                                  : v < 0 ? (clock - v > 100 ? WDL_BLESSED_LOSS : WDL_LOSS)
                                          : WDL_DRAW;
                    EXPECT_EQ(rm.dtz, uint32_t(std::abs(v))) << rm.move.text();
                    EXPECT_EQ(rm.wdl, wdl) << rm.move.text();
                    ++checked;
                }
            }
        });
    }
    EXPECT_GT(checked, 5'000u);
}

TEST(Syzygy, RootFilterKeepsExactlyTheMatingMoves) {
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok()) << tb.error().message;
    for (const char* fen : {"k7/8/1K6/8/8/8/7Q/8 w - - 0 1", "7k/5K2/8/8/8/8/8/R7 w - - 0 1",
                            "8/8/8/8/8/1k6/7q/K7 b - - 0 1"}) {
        SCOPED_TRACE(fen);
        Position pos = from_fen(fen);
        std::set<uint16_t> mates;
        MoveList legal;
        generate_all(pos, legal);
        for (Move m : legal) {
            pos.make_move(m);
            if (pos.in_check() && !has_legal_move(pos)) mates.insert(m.bits);
            pos.unmake_move(m);
        }
        ASSERT_FALSE(mates.empty());
        auto root = tb.value().probe_root(pos);
        ASSERT_TRUE(root.has_value());
        std::set<uint16_t> kept;
        for (Move m : filter_root_moves(*root)) kept.insert(m.bits);
        EXPECT_EQ(kept, mates);
        EXPECT_EQ(dtz_of(pos), 1);
    }
}

TEST(Syzygy, RootProbeWithoutLegalMovesOrWithCastling) {
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok()) << tb.error().message;
    struct Case {
        const char* fen;
        unsigned result;
    };
    for (Case c : {Case{"k7/1Q6/1K6/8/8/8/8/8 b - - 0 1", syzygy::TB_RESULT_CHECKMATE},
                   Case{"k7/8/1QK5/8/8/8/8/8 b - - 0 1", syzygy::TB_RESULT_STALEMATE}}) {
        SCOPED_TRACE(c.fen);
        Position pos = from_fen(c.fen);
        unsigned results[syzygy::TB_MAX_ROOT_RESULTS];
        unsigned r = syzygy::tb_probe_root_impl(
            pos.by_color(WHITE), pos.by_color(BLACK), pos.by_type(KING), pos.by_type(QUEEN),
            pos.by_type(ROOK), pos.by_type(BISHOP), pos.by_type(KNIGHT), pos.by_type(PAWN), 0, 0,
            false, results);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(results[0], syzygy::TB_RESULT_FAILED);
        auto root = tb.value().probe_root(pos);
        ASSERT_TRUE(root.has_value());
        EXPECT_TRUE(root->empty());
    }
    EXPECT_FALSE(tb.value().probe_root(from_fen("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1")).has_value());
    // Bare kings: every move draws, without any file.
    auto kings = tb.value().probe_root(from_fen("8/8/8/4k3/8/8/8/K7 w - - 0 1"));
    ASSERT_TRUE(kings.has_value());
    EXPECT_EQ(kings->size(), 3u);
    for (const RootMove& rm : *kings) EXPECT_EQ(rm.wdl, WDL_DRAW);
}

TEST(Syzygy, FilterRootMovesKeepsTheBestResult) {
    struct Case {
        std::vector<std::pair<uint8_t, uint32_t>> moves;  // (wdl, dtz)
        std::vector<int> kept;                           // indices
    };
    const Case cases[] = {
        {{{4, 9}, {4, 3}, {2, 0}, {4, 3}}, {1, 3}},
        {{{0, 5}, {1, 2}, {0, 11}}, {1}},
        {{{2, 0}, {2, 0}, {0, 7}}, {0, 1}},
        {{{0, 5}, {0, 11}, {0, 11}}, {1, 2}},
        {{{3, 120}, {3, 104}, {2, 0}}, {1}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        std::vector<RootMove> root;
        for (size_t i = 0; i < c.moves.size(); ++i)
            root.push_back({c.moves[i].second, Move(uint16_t(i + 1)), c.moves[i].first});
        std::vector<Move> expected;
        for (int i : c.kept) expected.push_back(Move(uint16_t(i + 1)));
        EXPECT_EQ(filter_root_moves(root), expected);
    }
}

// A scratch directory holding copies of committed tables, removed afterwards (the tables are
// unloaded first).
class TableDir : public test::ScratchDir {
public:
    explicit TableDir(const std::string& tag) : ScratchDir("syzygy_" + tag) {}
    ~TableDir() { Syzygy::unload(); }
    void copy(const std::string& file) const {
        fs::copy_file(fs::path(TEST_TABLES) / file, path(file));
    }
    // A copy with `edit` applied to its bytes.
    template <typename Edit>
    void copy_edited(const std::string& file, Edit edit) const {
        std::ifstream in(fs::path(TEST_TABLES) / file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        edit(bytes);
        std::ofstream(path(file), std::ios::binary) << bytes;
    }
};

TEST(Syzygy, LoadErrorsAreMessages) {
    auto none = Syzygy::load("/nonexistent/velmar-tables");
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().message, "no Syzygy tables found in \"/nonexistent/velmar-tables\"");

    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok());
    auto nul = Syzygy::load(std::string("abc\0def", 7));
    ASSERT_FALSE(nul.ok());
    EXPECT_EQ(nul.error().message, "path contains a NUL byte");
    // The refused path left the loaded tables alone.
    EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1")), WDL_WIN);

    EXPECT_EQ(quoted("a\\b\"c"), "\"a\\\\b\\\"c\"");
    EXPECT_TRUE(syzygy::tb_init("<empty>"));
    EXPECT_EQ(syzygy::TB_LARGEST, 0u);
    EXPECT_TRUE(syzygy::tb_init(""));
    EXPECT_EQ(syzygy::TB_LARGEST, 0u);
}

TEST(Syzygy, IncompleteFilesAreReportedAndSkipped) {
    TableDir dir("incomplete");
    dir.copy_edited("KRvK.rtbw", [](std::string& b) { b.resize(100); });
    dir.copy("KQvK.rtbw");
    dir.copy_edited("KQvK.rtbz", [](std::string& b) { b += "x"; });
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto tb = Syzygy::load(dir.str());
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(tb.ok()) << tb.error().message;
    EXPECT_NE(err.find("Incomplete tablebase file KRvK.rtbw\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Incomplete tablebase file KQvK.rtbz\n"), std::string::npos) << err;
    EXPECT_NE(out.find("info string Incomplete tablebase file KRvK.rtbw\n"), std::string::npos);
    EXPECT_NE(out.find("info string Incomplete tablebase file KQvK.rtbz\n"), std::string::npos);
    EXPECT_EQ(syzygy::tb_counts().wdl, 1u);
    EXPECT_EQ(syzygy::tb_counts().dtz, 0u);

    Position kqk = from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1");
    EXPECT_EQ(tb.value().probe_wdl(kqk), WDL_WIN);
    EXPECT_FALSE(tb.value().probe_root(kqk).has_value());  // no DTZ
    EXPECT_EQ(tb.value().probe_wdl(from_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1")), WDL_NONE);

}

TEST(Syzygy, CorruptTablesFailWithoutCrashing) {
    TableDir dir("corrupt");
    dir.copy_edited("KQvK.rtbw", [](std::string& b) { b[0] = 0; });           // magic
    dir.copy_edited("KRvK.rtbw", [](std::string& b) { b[6] = char(0x99); });  // piece list
    // Garbage in the second half, where the compressed blocks are: the decoder must stay
    // inside the file whatever it reads.
    dir.copy_edited("KQvKR.rtbw", [](std::string& b) {
        std::mt19937_64 rng(5);
        for (size_t i = b.size() / 2; i + 16 < b.size(); ++i) b[i] = char(rng());
    });
    dir.copy("KQvK.rtbz");
    auto tb = Syzygy::load(dir.str());
    ASSERT_TRUE(tb.ok()) << tb.error().message;

    testing::internal::CaptureStderr();
    EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1")), WDL_NONE);
    EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K5k1 w - - 0 1")), WDL_NONE);
    EXPECT_EQ(tb.value().probe_wdl(from_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1")), WDL_NONE);
    std::string err = testing::internal::GetCapturedStderr();
    // Once per table: the entry stays failed without a second attempt.
    EXPECT_EQ(err, "Corrupted table.\nCorrupted table.\n");

    testing::internal::CaptureStderr();
    int answered = 0;
    for_each_sample("KQkr", 2000, 9, [&](Position& pos) {
        uint8_t w = tb.value().probe_wdl(pos);
        EXPECT_TRUE(w <= WDL_WIN || w == WDL_NONE);
        answered += w != WDL_NONE;
    });
    testing::internal::GetCapturedStderr();
    std::printf("corrupt KQvKR data: %d of 2000 probes answered\n", answered);
}

TEST(Syzygy, PathOfTwoDirectoriesFindsTablesInBoth) {
    TableDir a("dir_a"), b("dir_b");
    for (const char* f : {"KQvK.rtbw", "KQvK.rtbz"}) a.copy(f);
    for (const char* f : {"KRvK.rtbw", "KRvK.rtbz"}) b.copy(f);
    for (const std::string& path : {a.str() + "::" + b.str(), a.str() + ";" + b.str() + ";"}) {
        SCOPED_TRACE(path);
        auto tb = Syzygy::load(path);
        ASSERT_TRUE(tb.ok()) << tb.error().message;
        EXPECT_EQ(syzygy::tb_counts().wdl, 2u);
        EXPECT_EQ(syzygy::tb_counts().dtz, 2u);
        EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1")), WDL_WIN);
        EXPECT_EQ(tb.value().probe_wdl(from_fen("4k3/8/8/8/8/8/8/R3K3 b - - 0 1")), WDL_LOSS);
        EXPECT_TRUE(tb.value().probe_root(from_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1")));
    }
}

// Ways to put something other than a regular file under a table's name. The fixture holds its
// FIFOs open, so a wrong open of one cannot wait: the test then fails instead of hanging.
struct Impostor {
    std::string label;
    void (*make)(TableDir& dir, const std::string& file);
};
const Impostor IMPOSTORS[] = {
    {"FIFO", [](TableDir& d, const std::string& f) { d.fifo(f); }},
    {"directory", [](TableDir& d, const std::string& f) { d.directory(f); }},
    {"device",
     [](TableDir& d, const std::string& f) { fs::create_symlink("/dev/zero", d.path(f)); }},
};

// Registration passes over anything but a regular file, so a later directory supplies the
// table, and the probes read the very file registered.
TEST(Syzygy, TableNamesTakenByOtherFilesAreSuppliedByALaterDirectory) {
    for (const Impostor& c : IMPOSTORS) {
        SCOPED_TRACE(c.label);
        TableDir first("first"), second("second");
        for (const char* f : {"KRvK.rtbw", "KRvK.rtbz", "KQvK.rtbw"}) c.make(first, f);
        for (const char* f : {"KRvK.rtbw", "KRvK.rtbz"}) second.copy(f);
        auto tb = Syzygy::load(first.str() + ":" + second.str());
        ASSERT_TRUE(tb.ok()) << tb.error().message;
        // KQvK exists only as the impostor: no table.
        EXPECT_EQ(syzygy::tb_counts().wdl, 1u);
        EXPECT_EQ(syzygy::tb_counts().dtz, 1u);
        testing::internal::CaptureStderr();
        EXPECT_EQ(tb.value().probe_wdl(from_fen("4k3/8/8/8/8/8/8/R3K3 b - - 0 1")), WDL_LOSS);
        EXPECT_TRUE(tb.value().probe_root(from_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1")));
        EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1")), WDL_NONE);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// The file registered may be replaced or damaged before its first probe: then that table's
// probes fail with one line on stderr, other tables keep answering, and the process goes on.
TEST(Syzygy, TablesChangedAfterLoadingFailOnlyTheirOwnProbes) {
    struct Case {
        std::string label;
        void (*change)(TableDir& dir, const std::string& file);
        std::string reason; // empty: the file maps but does not parse
    };
    std::vector<Case> cases;
    for (const Impostor& i : IMPOSTORS)
        cases.push_back({i.label, i.make, "not a regular file"});
    cases.push_back({"removed", [](TableDir&, const std::string&) {}, "No such file or directory"});
    cases.push_back({"cut to 100 bytes",
                     [](TableDir& d, const std::string& f) {
                         d.copy(f);
                         fs::resize_file(d.path(f), 100);
                     },
                     "size 100 is not a table's"});
    // A length the format allows (16 modulo 64), with the sections cut off.
    cases.push_back({"cut to 80 bytes",
                     [](TableDir& d, const std::string& f) {
                         d.copy(f);
                         fs::resize_file(d.path(f), 80);
                     },
                     ""});
    const Position krk = from_fen("4k3/8/8/8/8/8/8/R3K3 b - - 0 1");
    const Position kqk = from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TableDir dir("changed");
        for (const char* f : {"KRvK.rtbw", "KQvK.rtbw"}) dir.copy(f);
        auto tb = Syzygy::load(dir.str());
        ASSERT_TRUE(tb.ok()) << tb.error().message;
        fs::remove(dir.path("KRvK.rtbw"));
        c.change(dir, "KRvK.rtbw");
        testing::internal::CaptureStderr();
        EXPECT_EQ(tb.value().probe_wdl(krk), WDL_NONE);
        EXPECT_EQ(tb.value().probe_wdl(krk), WDL_NONE);  // not tried again
        EXPECT_EQ(tb.value().probe_wdl(kqk), WDL_WIN);
        const std::string expected =
            c.reason.empty() ? "Corrupted table.\n"
                             : "Could not use " + dir.path("KRvK.rtbw") + ": " + c.reason + ".\n";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    }
}

TEST(Syzygy, UnloadFreesEveryMapping) {
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok());
    EXPECT_EQ(syzygy::tb_counts().mapped, 0u);  // nothing is mapped before its first probe
    for_each_sample("KQkr", 50, 3, [&](Position& pos) { tb.value().probe_root(pos); });
    for_each_sample("KPkp", 50, 4, [&](Position& pos) { tb.value().probe_root(pos); });
    EXPECT_GE(syzygy::tb_counts().mapped, 8u);
    Syzygy::unload();
    EXPECT_EQ(syzygy::tb_counts().mapped, 0u);
    EXPECT_EQ(syzygy::tb_counts().wdl, 0u);
    EXPECT_EQ(syzygy::TB_LARGEST, 0u);
    EXPECT_EQ(tb.value().probe_wdl(from_fen("8/8/8/8/8/8/1Q6/K6k w - - 0 1")), WDL_NONE);
}

// Threads that race to map the same files must all see the same answers.
TEST(Syzygy, ConcurrentFirstProbesAgree) {
    std::vector<Position> sample;
    for_each_sample("KPkp", 300, 21, [&](Position& pos) { sample.push_back(pos); });
    for_each_sample("KQkr", 300, 22, [&](Position& pos) { sample.push_back(pos); });
    auto tb = Syzygy::load(TEST_TABLES);
    ASSERT_TRUE(tb.ok());
    std::vector<int> expected;
    for (const Position& pos : sample) expected.push_back(wdl_of(pos));
    tb = Syzygy::load(TEST_TABLES);  // unmapped again
    ASSERT_TRUE(tb.ok());
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> threads;
    for (auto& out : seen)
        threads.emplace_back([&sample, &out] {
            for (const Position& pos : sample) out.push_back(wdl_of(pos));
        });
    for (std::thread& t : threads) t.join();
    for (const auto& out : seen) EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace velmar
