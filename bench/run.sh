#!/usr/bin/env bash
# bench/run.sh [--short] - the relay beside fetchmail and mpop, all on loopback, one table of
# ratios (figure, relay, peer, ratio, target, met) from timings of this one run.
#
# Installs what it needs (scripts/deps.sh bench), builds the relay and the micro benchmarks
# (Release) into build-release/ ($POP2SMTP_BENCH_BUILD) and runs bench/bench.py. Kept in the
# build folder: hyperfine's exports (bench-MODE-*.json, .md), the micro benchmarks' JSON, the
# table as bench-results-MODE.json, and bench.log (hyperfine's own output).
#   full      1,000 x 4 KiB, 200 and 400 MiB, 3 runs each: about 8 minutes on a quiet machine
#   --short   100 x 4 KiB, 20 and 40 MiB, 1 run each: about a minute after the build
# A missed target is printed, not an error; the exit status tells only whether everything ran.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode=full
case "${1:-}" in
  --short) mode=short ;;
  "") ;;
  *) echo "usage: bash bench/run.sh [--short]" >&2; exit 2 ;;
esac
build="${POP2SMTP_BENCH_BUILD:-$PWD/build-release}"

bash scripts/deps.sh bench
mkdir -p "$build"
{ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPOP2SMTP_BENCH=ON &&
  cmake --build "$build" -j"$(nproc)" --target pop2smtp micro_bench; } >"$build/bench-build.log" 2>&1 ||
  { tail -30 "$build/bench-build.log" >&2; echo "build failed" >&2; exit 1; }

# Every server and relay the benchmark starts ends with it, and it ends within 40 minutes.
exec timeout -k 10 2400 /usr/bin/python3 bench/bench.py "$build/pop2smtp" "$build/bench/micro_bench" "$build" "$mode"
