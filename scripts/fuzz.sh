#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 30) on its seed corpus in tests/fuzz/corpus. A crash fails the run; the input that
# caused it is left in build-fuzz/crashes/ to be fixed and kept as a regression seed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
bash scripts/deps.sh fuzz
CXX=clang++ cmake -S . -B build-fuzz -DPOP2SMTP_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
mkdir -p build-fuzz/crashes
status=0
for seeds in tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  work=$(mktemp -d)
  cp "$seeds"* "$work"/
  echo "== $target: ${seconds}s"
  if ! build-fuzz/tests/fuzz/"$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
      -artifact_prefix=build-fuzz/crashes/"$target"- "$work" >build-fuzz/"$target".log 2>&1; then
    echo "FAILED: $target (see build-fuzz/$target.log)"
    tail -n 30 build-fuzz/"$target".log
    status=1
  else
    grep -E '^Done [0-9]+ runs' build-fuzz/"$target".log || true
  fi
  rm -rf "$work"
done
exit $status
