#!/usr/bin/env bash
# Installs what the tests need, builds the relay and runs every test: the transcripts and tables
# on fakes, the socket and file layers on loopback, the system tests against real servers; then
# the whole suite once more built with AddressSanitizer and UndefinedBehaviorSanitizer, and each
# fuzzer for a short time on its seed corpus.
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

# Both test runs, counted together (a failure above has already stopped the script).
total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' build/ctest.log build-asan/ctest.log |
    awk '{n += $1} END {print n + 0}')
echo "tests: $total passed, 0 failed"
