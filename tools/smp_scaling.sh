#!/usr/bin/env bash
# Nodes per second against the number of search threads, measured side by side: every position
# is searched with each thread count in turn (a fresh engine each time, the same movetime), so
# a change in machine load hits all counts alike. Prints each search and then the totals with
# the speed-up over the first count.
#
#   tools/smp_scaling.sh [ENGINE] [THREADS...]     (defaults: build/velmar, 1 2)
#   MOVETIME=3000 HASH=64 ROUNDS=2 tools/smp_scaling.sh build/velmar 1 2
set -euo pipefail

engine=${1:-build/velmar}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 2)
movetime=${MOVETIME:-3000}
hash=${HASH:-64}
rounds=${ROUNDS:-2}

positions=(
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10"
    "r1bqkbnr/1ppp1ppp/p1n5/1B2p3/4P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 0 4"
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1"
    "r2q1rk1/pp2bppp/2n1pn2/3p4/3P4/2NBPN2/PP3PPP/R2Q1RK1 w - - 0 10"
)

[ -x "$engine" ] || { echo "no engine at $engine" >&2; exit 1; }

declare -A total_nodes total_ms
for n in "${counts[@]}"; do total_nodes[$n]=0; total_ms[$n]=0; done

# Nodes and milliseconds of the last complete iteration line of one search.
search() {
    local threads=$1 fen=$2
    printf 'setoption name Threads value %s\nsetoption name Hash value %s\nisready\nposition fen %s\ngo movetime %s\n' \
        "$threads" "$hash" "$fen" "$movetime" |
        "$engine" | awk '/^info .* nodes / {
            for (i = 1; i < NF; ++i) { if ($i == "nodes") n = $(i + 1); if ($i == "time") t = $(i + 1) }
        } END { print n + 0, t + 0 }'
}

printf '%-6s %-8s %12s %8s %10s\n' round threads nodes ms nps
for ((r = 1; r <= rounds; ++r)); do
    for fen in "${positions[@]}"; do
        for n in "${counts[@]}"; do
            read -r nodes ms < <(search "$n" "$fen")
            total_nodes[$n]=$((total_nodes[$n] + nodes))
            total_ms[$n]=$((total_ms[$n] + ms))
            printf '%-6s %-8s %12s %8s %10s\n' "$r" "$n" "$nodes" "$ms" $((ms > 0 ? nodes * 1000 / ms : 0))
        done
    done
done

echo
base=${counts[0]}
base_nps=$((total_nodes[$base] * 1000 / (total_ms[$base] > 0 ? total_ms[$base] : 1)))
printf '%-8s %14s %10s %8s\n' threads nodes nps speedup
for n in "${counts[@]}"; do
    nps=$((total_nodes[$n] * 1000 / (total_ms[$n] > 0 ? total_ms[$n] : 1)))
    printf '%-8s %14s %10s %8s\n' "$n" "${total_nodes[$n]}" "$nps" \
        "$(awk -v a="$nps" -v b="$base_nps" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
done
