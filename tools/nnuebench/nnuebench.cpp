// What NnueEval costs, in nanoseconds, with the built-in network:
//   search-like: a depth-3 walk below positions of random games, push + make + evaluate at
//     every node, minus the same walk without the evaluator (so move making is not counted);
//   one update: push + evaluate + pop of each legal move of a position, minus make/unmake;
//     "warm" repeats one position, so its rows stay in the near caches;
//   king cache: the same for king moves that change bucket or side, which rebuild from the cache;
//   output layer, full refresh, and the scalar reference evaluation from scratch.
// Usage: nnuebench [milliseconds per figure, default 1000].
#include "movegen.h"
#include "nnue.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace velmar;

namespace {

using Clock = std::chrono::steady_clock;

struct Rng {
    uint64_t state;
    uint64_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 33;
    }
};

std::vector<Position> sample_positions(int count) {
    std::vector<Position> out;
    Rng rng{7};
    while (int(out.size()) < count) {
        Position pos = Position::startpos();
        for (int ply = 0; ply < 120 && int(out.size()) < count; ++ply) {
            MoveList moves;
            generate_all(pos, moves);
            if (moves.empty()) break;
            pos.make_move(moves[int(rng.next() % uint64_t(moves.size()))]);
            if (ply >= 8 && ply % 4 == 0) out.push_back(pos);
        }
    }
    return out;
}

// Walks up to 4 moves per node to `depth`; returns the number of nodes below the root.
template <bool UseEval> uint64_t walk(Position& pos, NnueEval& eval, int depth, int32_t& sink) {
    if (depth == 0) return 0;
    MoveList moves;
    generate_all(pos, moves);
    uint64_t nodes = 0;
    for (int i = 0; i < moves.size() && i < 4; ++i) {
        const Move m = moves[(i * 7) % moves.size()];
        if constexpr (UseEval) eval.push_move(pos, m);
        pos.make_move(m);
        if constexpr (UseEval) sink += eval.evaluate(pos);
        nodes += 1 + walk<UseEval>(pos, eval, depth - 1, sink);
        pos.unmake_move(m);
        if constexpr (UseEval) eval.pop_move();
    }
    return nodes;
}

// The fastest of 20 slices: on a shared machine, preemption only ever adds time.
template <typename Body> double ns_per_op(double ms, Body&& body) {
    double best = 1e300;
    for (int slice = 0; slice < 20; ++slice) {
        uint64_t ops = 0;
        const auto start = Clock::now();
        double elapsed = 0;
        do {
            ops += body();
            elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        } while (elapsed < ms * 1e6 / 20);
        if (ops > 0) best = std::min(best, elapsed / double(ops));
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    init_attacks();
    const double ms = argc > 1 ? std::atof(argv[1]) : 1000.0;
    const std::shared_ptr<const Network> net = DEFAULT_NET.get();
    const std::vector<Position> positions = sample_positions(256);
    NnueEval eval(net);
    int32_t sink = 0;
    size_t next = 0;

    auto walk_body = [&]<bool UseEval>() {
        Position pos = positions[next++ % positions.size()];
        eval.reset(pos);
        return walk<UseEval>(pos, eval, 3, sink);
    };
    const double walk_with = ns_per_op(ms, [&] { return walk_body.operator()<true>(); });
    const double walk_without = ns_per_op(ms, [&] { return walk_body.operator()<false>(); });
    // The root reset is part of "with": spread over about 80 nodes, a few ns.
    std::printf("search-like walk:   %7.1f ns per node (evaluator %.1f of it)\n", walk_with,
                walk_with - walk_without);

    auto moves_body = [&]<bool UseEval>(bool kings_only, bool same_position = false) {
        Position pos = positions[same_position ? 0 : next++ % positions.size()];
        eval.reset(pos);
        eval.evaluate(pos);
        MoveList moves;
        generate_all(pos, moves);
        uint64_t n = 0;
        for (Move m : moves) {
            if (kings_only) {
                const Square k = pos.king_square(pos.side_to_move());
                const uint32_t kb = net->king_buckets();
                if (m.from() != k
                    || king_key(kb, pos.side_to_move(), k)
                           == king_key(kb, pos.side_to_move(), m.to()))
                    continue;
            }
            if constexpr (UseEval) eval.push_move(pos, m);
            pos.make_move(m);
            if constexpr (UseEval) sink += eval.evaluate(pos);
            pos.unmake_move(m);
            if constexpr (UseEval) eval.pop_move();
            ++n;
        }
        return n;
    };
    const double one_with = ns_per_op(ms, [&] { return moves_body.operator()<true>(false); });
    const double one_without = ns_per_op(ms, [&] { return moves_body.operator()<false>(false); });
    std::printf("one update:         %7.1f ns per evaluate (push + update + output)\n",
                one_with - one_without);
    const double warm_with =
        ns_per_op(ms, [&] { return moves_body.operator()<true>(false, true); });
    const double warm_without =
        ns_per_op(ms, [&] { return moves_body.operator()<false>(false, true); });
    std::printf("one update, warm:   %7.1f ns per evaluate (one position again and again)\n",
                warm_with - warm_without);
    const double king_with = ns_per_op(ms, [&] { return moves_body.operator()<true>(true); });
    const double king_without = ns_per_op(ms, [&] { return moves_body.operator()<false>(true); });
    std::printf("king bucket change: %7.1f ns per evaluate (cache rebuild for one side)\n",
                king_with - king_without);

    const AccPair accs = refresh(*net, positions[0]);
    std::printf("output layer:       %7.1f ns\n", ns_per_op(ms, [&] {
                    for (int i = 0; i < 64; ++i)
                        sink += output_sum(accs.acc[i & 1], accs.acc[~i & 1],
                                           net->output_weights(i & 7));
                    return uint64_t(64);
                }));
    std::printf("full refresh:       %7.1f ns (both sides)\n", ns_per_op(ms, [&] {
                    const AccPair a = refresh(*net, positions[next++ % positions.size()]);
                    sink += a.acc[0].v[next & 1023];
                    return uint64_t(1);
                }));
    std::printf("scalar from scratch:%7.1f ns (reference)\n", ns_per_op(ms, [&] {
                    sink += evaluate_scalar(*net, positions[next++ % positions.size()]);
                    return uint64_t(1);
                }));
    std::printf("(checksum %d, level %s)\n", sink, VELMAR_LEVEL_NAME);
    return 0;
}
