#!/usr/bin/env bash
# Every test: the normal build, then the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, failing on any report.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
# Most tests wait on loopback peers and timers, not on the processor: run
# more of them at once than there are cores.
jobs=$(( $(nproc) * 4 ))

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 300

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVXN_SANITIZE=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 600
