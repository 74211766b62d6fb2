#!/bin/sh
# datagen_ranks.sh MPIEXEC DATAGEN: two ranks on this machine each write a whole shard of their
# own, and rank 0 reports the sum of both.
set -eu
mpiexec=$1
datagen=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# CI runs as root, which OpenMPI refuses unless told twice.
OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 \
    "$mpiexec" --oversubscribe -np 2 "$datagen" --out "$dir/shards" --positions 200 \
    --nodes 300 --seed 7 > "$dir/log" 2>&1 || { cat "$dir/log"; exit 1; }
cat "$dir/log"
total=0
for r in 0 1; do
    f="$dir/shards/rank-$r.bin"
    size=$(stat -c %s "$f")
    [ "$size" -gt 0 ] && [ $((size % 32)) -eq 0 ] || { echo "bad shard $f: $size bytes"; exit 1; }
    total=$((total + size / 32))
done
grep -q "datagen: 2 ranks stopped with $total positions" "$dir/log" \
    || { echo "rank 0 did not report the $total positions of the shards"; exit 1; }
