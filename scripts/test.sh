#!/usr/bin/env bash
# Installs what the tests need, builds the relay and its tests, and runs every test: unit and
# handler tests, platform tests on loopback, and the end-to-end tests against real servers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build && ctest --output-on-failure -j"$(nproc)"
