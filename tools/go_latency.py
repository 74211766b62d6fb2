#!/usr/bin/env python3
"""Time from sending `go depth 1` (or another go) to reading `bestmove`, for any UCI engine.

Every engine named on the command line is started once and measured in turns of a few searches
each, so a change in machine load hits all of them alike. A search is timed from the write of
the `go` line to the read of the `bestmove` line, which is what a match manager's clock sees of
the engine beyond its thinking. `isready` before each `go` keeps the previous search's output
out of the measurement.

    tools/go_latency.py ENGINE [ENGINE...]
    tools/go_latency.py --reps 200 --fen "8/8/4k3/8/8/4K3/4P3/8 w - - 0 1" build/velmar
    tools/go_latency.py --go "go movetime 20" --option "Move Overhead=0" --option Threads=2 ENGINE
"""

import argparse
import os
import statistics
import subprocess
import sys
import time


class Engine:
    def __init__(self, path, options):
        self.path = path
        binary = os.path.abspath(path)
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     bufsize=0, cwd=os.path.dirname(binary))
        self.out = self.proc.stdout
        self.send("uci")
        self.wait_for("uciok")
        for name, value in options:
            self.send(f"setoption name {name} value {value}")
        self.sync()

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())

    def wait_for(self, prefix):
        while True:
            line = self.out.readline()
            if not line:
                sys.exit(f"{self.path}: output ended before '{prefix}'")
            if line.startswith(prefix.encode()):
                return line

    def sync(self):
        self.send("isready")
        self.wait_for("readyok")

    def go_ms(self, position, go):
        self.send(position)
        self.sync()
        start = time.perf_counter_ns()
        self.send(go)
        self.wait_for("bestmove")
        return (time.perf_counter_ns() - start) / 1e6

    def close(self):
        self.send("quit")
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("engines", nargs="+", help="UCI engine binaries")
    parser.add_argument("--reps", type=int, default=200, help="searches per engine")
    parser.add_argument("--batch", type=int, default=10, help="searches per turn")
    parser.add_argument("--fen", help="position to search (default: the start position)")
    parser.add_argument("--go", default="go depth 1", help="the go command timed")
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                        help="a setoption sent once after uciok (repeatable)")
    args = parser.parse_args()

    options = [tuple(o.split("=", 1)) for o in args.option]
    if any(len(o) != 2 for o in options):
        sys.exit("--option takes NAME=VALUE")
    position = f"position fen {args.fen}" if args.fen else "position startpos"
    engines = [Engine(path, options) for path in args.engines]
    times = {e.path: [] for e in engines}
    for e in engines:  # one unmeasured search each: first-touch costs are not the subject
        e.go_ms(position, args.go)
    done = 0
    while done < args.reps:
        n = min(args.batch, args.reps - done)
        for e in engines:
            times[e.path].extend(e.go_ms(position, args.go) for _ in range(n))
        done += n
    for e in engines:
        e.close()

    width = max(len(p) for p in times)
    print(f"{'engine':<{width}}  {'median ms':>9}  {'p90 ms':>7}  {'min ms':>7}  {'max ms':>7}"
          f"  ({args.go}, n={args.reps})")
    for path, ms in times.items():
        print(f"{path:<{width}}  {statistics.median(ms):9.3f}  {percentile(ms, 0.9):7.3f}"
              f"  {min(ms):7.3f}  {max(ms):7.3f}")


if __name__ == "__main__":
    main()
