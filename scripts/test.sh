#!/usr/bin/env bash
# Installs what the tests need, builds the relay and runs every test: unit and handler tests,
# platform tests on loopback, end-to-end tests against real servers, the fault matrix and the
# short torture run; then the whole suite once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzzer for a short time on its seed corpus, and the short form
# of the benchmarks so that they keep running.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
bash scripts/deps.sh test

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs") | tee build/ctest.log

echo "== sanitizer build and test"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPOP2SMTP_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs") | tee build-asan/ctest.log

echo "== fuzzers"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== benchmarks, short form (figures only; missed targets do not fail)"
bash bench/run.sh --short

# Both test runs, counted together (a failure above has already stopped the script).
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' build/ctest.log build-asan/ctest.log |
    awk '{n += $1} END {print n + 0}')
echo "tests: $total passed, 0 failed"
