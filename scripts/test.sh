#!/usr/bin/env bash
# Installs what the tests need, builds the relay and runs every test: unit and handler tests,
# platform tests on loopback, end-to-end tests against real servers, the fault matrix and the
# short torture run; then the whole suite once more built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and each fuzzer for a short time on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
bash scripts/deps.sh test

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== sanitizer build and test"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPOP2SMTP_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j"$jobs")

echo "== fuzzers"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
