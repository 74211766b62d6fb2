#include "worksharing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "eval.h"
#include "movegen.h"
#include "session.h"
#include "smp.h"
#include "test_util.h"
#include "text.h"

namespace velmar {
namespace {

using test::Session;

TEST(Worksharing, BusyMovesKeysMarksAndReleases) {
    constexpr uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;
    struct KeyCase {
        uint64_t position;
        uint16_t move;
        uint64_t key;
    };
    const KeyCase keys[] = {
        {0, 0, GOLDEN},
        {0, 1, 2 * GOLDEN},  // wraps at 64 bits
        {0xFFFFFFFFFFFFFFFFull, 0, ~GOLDEN},
        {0x0123456789ABCDEFull, 0xFFFF, (uint64_t(0x10000) * GOLDEN) ^ 0x0123456789ABCDEFull},
    };
    for (const KeyCase& c : keys) EXPECT_EQ(BusyMoves::key(c.position, Move(c.move)), c.key);

    // Pairs whose keys agree in the low 15 bits share an entry.
    BusyMoves busy;
    const uint64_t a = BusyMoves::key(0x1234500000000ull, Move(77));
    const uint64_t b = a ^ (uint64_t(1) << 40);  // same entry, other pair
    const uint64_t c = a ^ 1;                    // next entry
    EXPECT_EQ(busy.count_busy(), 0u);
    busy.mark(a);
    busy.mark(c);
    EXPECT_TRUE(busy.is_busy(a));
    EXPECT_FALSE(busy.is_busy(b));
    busy.mark(b);  // takes the entry over
    EXPECT_FALSE(busy.is_busy(a));
    busy.release(a);  // a's owner must not free b's mark
    EXPECT_TRUE(busy.is_busy(b));
    busy.release(b);
    busy.release(c);
    EXPECT_EQ(busy.count_busy(), 0u);
}

std::shared_ptr<TranspositionTable> small_table() {
    auto t = TranspositionTable::try_new(2, 1);
    if (!t.ok()) fatal(t.error().message);
    return std::make_shared<TranspositionTable>(std::move(t.value()));
}

// Every search ends with a legal move and a free table: each thread releases what it marks,
// also when a stop interrupts it halfway down a line.
TEST(Worksharing, AbdadaPoolPlaysLegalMovesAndReleasesEveryMark) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    ThreadPool<PstEval> pool(PstEval(), small_table(), stop);
    auto busy = std::make_shared<BusyMoves>();
    std::mt19937 rng(71);
    std::atomic<size_t> seen_busy{0};  // marks seen by the stopper while the threads searched
    const std::vector<std::string_view>& fens = test::varied_fens();
    for (int i = 0; i < 48; ++i) {
        SCOPED_TRACE(i);
        if (i % 8 == 0) {
            pool.set_helper_count(1 + size_t(i / 8) % 3);
            pool.set_mode(SmpMode::ABDADA, true);
            pool.set_busy_moves(busy);
        }
        const Position root = test::fen(fens[size_t(i) % fens.size()]);
        SearchLimits limits;
        std::thread stopper;
        switch (i % 3) {
        case 0: limits.depth = 1 + int(rng() % 7); break;
        case 1: limits.nodes = 500 + rng() % 20000; break;
        default:
            limits.infinite = true;
            stopper = std::thread([&, spin = 200'000 + rng() % 2'000'000] {
                volatile uint32_t n = 0;
                for (uint32_t k = 0; k < spin; ++k) n = n + 1;
                seen_busy += busy->count_busy();
                stop->store(true);
            });
        }
        const PoolResult r = pool.search(limits, root, InfoSink{});
        if (stopper.joinable()) stopper.join();
        stop->store(false);
        if (has_legal_move(root)) {
            EXPECT_TRUE(is_legal_move(root, r.reported.best)) << r.reported.best.text();
        } else {
            EXPECT_TRUE(r.reported.best.is_null());
        }
        EXPECT_EQ(busy->count_busy(), 0u);
    }
    EXPECT_GT(seen_busy.load(), 0u);
}

// YBWC through the pool: legal moves under every kind of limit, and the helpers really work
// (their nodes reach the shared counter, which only splits can feed).
TEST(Worksharing, YbwcPoolPlaysLegalMovesAndHelpersShareTheWork) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    ThreadPool<PstEval> pool(PstEval(), small_table(), stop);
    std::mt19937 rng(72);
    const std::vector<std::string_view>& fens = test::varied_fens();
    bool helped = false;
    for (int i = 0; i < 48; ++i) {
        SCOPED_TRACE(i);
        if (i % 8 == 0) {
            pool.set_helper_count(1 + size_t(i / 8) % 3);
            pool.set_mode(SmpMode::YBWC, false);
            pool.set_ybwc_pool(std::make_shared<YbwcPool>());
        }
        const Position root = test::fen(fens[size_t(i) % fens.size()]);
        SearchLimits limits;
        std::thread stopper;
        switch (i % 3) {
        case 0: limits.depth = 1 + int(rng() % 8); break;
        case 1: limits.nodes = 500 + rng() % 40000; break;
        default:
            limits.infinite = true;
            stopper = std::thread([&stop, spin = 200'000 + rng() % 2'000'000] {
                volatile uint32_t n = 0;
                for (uint32_t k = 0; k < spin; ++k) n = n + 1;
                stop->store(true);
            });
        }
        const PoolResult r = pool.search(limits, root, InfoSink{});
        if (stopper.joinable()) stopper.join();
        stop->store(false);
        if (has_legal_move(root)) {
            EXPECT_TRUE(is_legal_move(root, r.reported.best)) << r.reported.best.text();
        } else {
            EXPECT_TRUE(r.reported.best.is_null());
        }
        EXPECT_GE(r.reported.nodes, r.main.nodes);
        helped = helped || r.reported.nodes > r.main.nodes;
    }
    EXPECT_TRUE(helped);
}

// A split of every legal move of pos (first handed out first) at ply 1, as a node's owner
// would hand it out after searching one move.
std::shared_ptr<YbwcSplit> split_at(const Position& pos, Move first, int depth, int32_t alpha,
                                    int32_t beta) {
    MoveList legal;
    generate_all(pos, legal);
    auto split = std::make_shared<YbwcSplit>(pos);
    if (!first.is_null()) split->moves.push_back(first);
    for (Move m : legal)
        if (m != first) split->moves.push_back(m);
    split->scores.assign(split->moves.size(), 0);
    split->ply = 1;
    split->depth = depth;
    split->root_depth = depth;
    split->beta = beta;
    split->alpha.store(alpha);
    split->best_score = SCORE_NONE;
    return split;
}

// An active split pool with two helper threads waiting for its splits.
struct HelperCrew {
    HelperCrew() {
        pool.set_active(true);
        for (int k = 0; k < 2; ++k) {
            searchers.push_back(std::make_unique<Searcher<PstEval>>(PstEval(), small_table(), stop));
            threads.emplace_back([this, s = searchers.back().get()] { s->help_splits(pool); });
        }
    }
    ~HelperCrew() { dismiss(); }
    void dismiss() {
        pool.set_active(false);
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
    }

    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    YbwcPool pool;
    std::vector<std::unique_ptr<Searcher<PstEval>>> searchers;
    std::vector<std::thread> threads;
};

// A split whose first handed-out move wins the queen: that result reaches beta, sets the
// split's stop, the other helper leaves after its current move, and the owner finds the
// cut-off score and move in the split. (How many moves were handed out by then depends on the
// scheduler: a descheduled first helper lets the other run through them all.)
TEST(Worksharing, YbwcCutoffStopsTheSplitsHelpers) {
    const Position pos = test::fen("4k3/8/8/3q4/8/8/3R4/4K3 w - - 0 1");
    const Move capture = pos.parse_uci_move("d2d5");
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        auto split = split_at(pos, capture, 7, 299, 300);
        HelperCrew crew;
        YbwcPool* ybwc = &crew.pool;
        ybwc->push_split(split);
        while (!split->stop->load() && split->next.load() < int(split->moves.size()))
            std::this_thread::yield();
        ybwc->remove_split(split.get());
        while (split->helpers.load() != 0) ybwc->wait_briefly(*split);
        crew.dismiss();

        EXPECT_TRUE(split->stop->load());
        std::lock_guard lock(split->result_mutex);
        EXPECT_GE(split->best_score, split->beta);
        EXPECT_EQ(split->best_move, capture);
        ASSERT_FALSE(split->pv_line.empty());
        EXPECT_EQ(split->pv_line[0], capture);
        EXPECT_GE(split->alpha.load(), split->beta);
    }
}

// An owner waiting on its split: when its limits run out while the helpers are deep in
// subtrees far too large to finish, giving up stops the split and every helper leaves mid-move
// (then takes the next split as usual); so they do when a split enclosing this one is stopped;
// an owner within its limits waits for the helpers to finish and leaves the split running to
// its end.
TEST(Worksharing, YbwcOwnerAtItsLimitCallsTheHelpersOff) {
    const Position pos = test::fen(START_FEN);
    struct Case {
        int depth;
        int give_up_after;  // naps of the owner; -1 never
        bool parent_stops;
        bool gives_up;
    };
    const Case cases[] = {{40, 20, false, true}, {40, -1, true, false}, {3, -1, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " " << c.give_up_after);
        YbwcSplit parent(pos);
        auto split = split_at(pos, NO_MOVE, c.depth, -SCORE_INFINITE, SCORE_INFINITE);
        split->parent = &parent;
        HelperCrew crew;
        YbwcPool* ybwc = &crew.pool;
        ybwc->push_split(split);
        while (split->helpers.load() < 2 && split->next.load() < int(split->moves.size()))
            std::this_thread::yield();
        ybwc->remove_split(split.get());
        if (c.parent_stops) parent.stop->store(true);
        int naps = 0;
        const bool gave_up = ybwc->wait_for_helpers(
            *split, [&] { return c.give_up_after >= 0 && naps++ >= c.give_up_after; });
        EXPECT_EQ(gave_up, c.gives_up);
        EXPECT_EQ(split->stop->load(), c.gives_up);
        EXPECT_EQ(split->helpers.load(), 0);
        if (c.depth < 40) {
            EXPECT_GE(split->next.load(), int(split->moves.size()));
        }

        // The helpers are free for the next split.
        auto next = split_at(pos, NO_MOVE, 3, -SCORE_INFINITE, SCORE_INFINITE);
        ybwc->push_split(next);
        while (next->next.load() < int(next->moves.size())) std::this_thread::yield();
        ybwc->remove_split(next.get());
        EXPECT_FALSE(ybwc->wait_for_helpers(*next, [] { return false; }));
        EXPECT_NE(next->best_score, SCORE_NONE);
        crew.dismiss();
    }
}

// 1000 short searches per work-sharing mode (ABDADA by mode or by the check option under
// Lazy SMP) with 2 to 8 threads, under clock, movetime, depth and node limits or stopped at
// random moments: one legal bestmove each, no hang.
TEST(WorksharingStress, ThousandShortSearchesPerModeWithRandomStops) {
    for (const std::string mode : {"YBWC", "ABDADA"}) {
        SCOPED_TRACE(mode);
        std::mt19937 rng(mode == "YBWC" ? 6160 : 5150);
        auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
        Session s;
        s.send("setoption name UseNNUE value false");
        s.send("setoption name SMPMode value " + mode);
        const std::vector<std::string_view>& fens = test::varied_fens();
        for (int i = 0; i < 1000; ++i) {
            SCOPED_TRACE(i);
            if (i % 20 == 0) {
                s.send("setoption name Threads value " + std::to_string(2 + pick(7)));
                if (mode == "ABDADA") {
                    const bool by_check = pick(2);
                    s.send(std::string("setoption name SMPMode value ") + (by_check ? "Lazy" : "ABDADA"));
                    s.send(std::string("setoption name ABDADA value ") + (by_check ? "true" : "false"));
                }
            }
            const std::string fen(fens[size_t(pick(int(fens.size())))]);
            s.send("position fen " + fen);
            s.take();
            const int kind = pick(5);
            if (kind == 0) s.send("go infinite");
            else if (kind == 1) s.send("go nodes " + std::to_string(200 + pick(10000)));
            else if (kind == 2) s.send("go depth " + std::to_string(1 + pick(6)));
            else if (kind == 3) s.send("go movetime " + std::to_string(1 + pick(20)));
            else {
                const std::string clock = std::to_string(20 + pick(300));
                s.send("go wtime " + clock + " btime " + clock + " winc 0 binc 0");
            }
            volatile uint32_t spin = 0;
            for (int n = pick(400'000); n > 0; --n) spin = spin + 1;
            if (kind == 0 || pick(2)) s.send("stop");
            else s.send("isready");
            s.engine().end_of_input();
            int bestmoves = 0;
            const Position pos = test::fen(fen);
            for (const std::string& l : s.take()) {
                if (l.rfind("bestmove", 0) != 0) continue;
                ++bestmoves;
                std::vector<std::string> w = uci::split_words(l);
                ASSERT_GE(w.size(), 2u);
                if (has_legal_move(pos)) {
                    EXPECT_TRUE(bool(pos.parse_uci_move(w[1]))) << l;
                }
            }
            ASSERT_EQ(bestmoves, 1);
        }
    }
}

}  // namespace
}  // namespace velmar
