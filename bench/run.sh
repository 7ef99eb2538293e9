#!/usr/bin/env bash
# bench/run.sh [--short] [--out FILE] [--reps N]
#
# Benchmarks of the relay against its peers, side by side in one run, on loopback only:
#   1. retrieval: mailboxes moved from a private Dovecot by pop2smtp (into its spool), by fetchmail
#      (POP3 to an SMTP sink) and by mpop (POP3 to a maildir), each started fresh on a freshly
#      seeded mailbox; beside them the floor (bench/pop3_floor.py: the relay's protocol steps and
#      fsyncs and nothing else), the large message end to end (POP3 to the SMTP sink) and the
#      sink's own time for the same bytes
#   2. delivery: spooled messages handed to the SMTP sink, against the dispatch tick's bound
#   3. idle: the relay with nothing to do, three routing sections in its configuration
#   4. micro: the Google Benchmark figures (bench/micro_bench.cpp)
# It installs what it needs from Debian's packages, builds the relay and the micro benchmarks
# (Release) into build-release/ ($POP2SMTP_BENCH_BUILD), prints the tables and writes them with
# the machine, the commands and the date to BENCHMARKS.md (full) or to
# build-release/BENCHMARKS-short.md (--short); the figures are also kept as JSON beside the build
# (bench-results-MODE.json). A hand-written section between the analysis markers of the report
# is kept when the report is written again.
#
#   --short     small sizes (50 x 4 KiB, 1 x 5 MiB, 1 x 10 MiB, 20 deliveries, 5 s idle, micro
#               benchmarks with a 0.01 s minimum time): about half a minute after the build; CI
#   --out FILE  where to write the report instead
#   --reps N    runs of each retrieval case; the median is reported (full: 3, short: 1)
#
# Exit status: non-zero only when something fails to run; missed targets are reported, not fatal.
# Every server and relay started here stops by itself (lifetime limits) and at exit.
# The full form takes 15 to 30 minutes, most of it fetchmail's.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"

mode=full
out=""
reps=""
while [ $# -gt 0 ]; do
    case "$1" in
        --short) mode=short ;;
        --out) out="$(realpath -m "${2:?--out needs a file}")"; shift ;;
        --reps) reps="${2:?--reps needs a number}"; shift ;;
        -h | --help) sed -n '2,/^set -e/{/^#/p}' "$0"; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done
build="${POP2SMTP_BENCH_BUILD:-$root/build-release}"
if [ -z "$out" ]; then
    if [ "$mode" = full ]; then out="$root/BENCHMARKS.md"; else out="$build/BENCHMARKS-short.md"; fi
fi
[ -n "$reps" ] || { [ "$mode" = full ] && reps=3 || reps=1; }

# --- what the benchmarks need --------------------------------------------------------------------
# The build tools, Dovecot, Python, the peers (fetchmail, mpop), GNU time and Google Benchmark;
# service starts are refused while the packages go in.
bash scripts/deps.sh bench

# --- build (Release) -----------------------------------------------------------------------------
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPOP2SMTP_BENCH=ON \
    >/dev/null
cmake --build "$build" -j"$(nproc)" --target pop2smtp micro_bench >"$build/bench-build.log" 2>&1 ||
    { tail -30 "$build/bench-build.log" >&2; echo "build failed" >&2; exit 1; }
relay="$build/pop2smtp"
micro="$build/bench/micro_bench"
[ -x "$relay" ] && [ -x "$micro" ] || { echo "build did not produce $relay and $micro" >&2; exit 1; }

# --- servers on loopback: Dovecot with one mailbox, the SMTP sink --------------------------------
source "$root/tests/e2e/lib.sh"
# Upper bound on the life of every server started here (the full run takes about half an hour).
if [ "$mode" = full ]; then E2E_LIFETIME=7200; else E2E_LIFETIME=900; fi
e2e_init
e2e_add_user bench bench-secret
e2e_start_dovecot
sink_port="$(e2e_free_port)"
e2e_start_sink sink "$sink_port"

commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    commit="$commit with uncommitted changes"
fi
command="bash bench/run.sh"
[ "$mode" = short ] && command="$command --short"
[ "$reps" != 3 ] && [ "$mode" = full ] && command="$command --reps $reps"

# The figures are the ones of this run only: a missed target is reported, not an error.
"$E2E_PY" "$root/bench/bench.py" --mode "$mode" --reps "$reps" \
    --pop-port "$E2E_POP_PORT" --maildir "$(e2e_maildir bench)" \
    --sink-port "$sink_port" --sink-dir "$E2E_WORK/sink" --work "$E2E_WORK" \
    --relay "$relay" --micro "$micro" --out "$out" --command "$command" --commit "$commit" \
    --results "$build/bench-results-$mode.json" \
    ${BENCH_ONLY:+--only "$BENCH_ONLY"}
