#!/bin/sh
# The processor check must be able to run on any x86-64: main and the cpu module may hold no
# instruction beyond the baseline, and no static initialiser of the level-built code may run
# before main. Usage: check_baseline.sh <velmar binary> <object files...>
set -eu
binary=$1
shift
status=0
for obj in "$@"; do
    case "$obj" in
    */main.cpp.o | */cpu.cpp.o) ;;
    *) continue ;;
    esac
    # VEX/EVEX-encoded instructions print with a leading "v" (vmovdqu, vpxor, ...) or use ymm/zmm;
    # BMI instructions by name.
    hits=$(objdump -d --no-show-raw-insn "$obj" | grep -E '\s(v[a-z0-9]+|andn|bextr|blsi|blsmsk|blsr|bzhi|pdep|pext|rorx|sarx|shlx|shrx|lzcnt|tzcnt|movbe)\s|[yz]mm' || true)
    if [ -n "$hits" ]; then
        echo "$obj uses instructions beyond baseline x86-64:"
        echo "$hits" | head -5
        status=1
    fi
done
if nm "$binary" | grep -q '_GLOBAL__sub_I'; then
    echo "$binary has static initialisers:"
    nm "$binary" | grep '_GLOBAL__sub_I'
    status=1
fi
exit $status
