#!/usr/bin/env bash
# The main job: builds everything, serves a simulated chain of two boards on
# 127.0.0.2 and runs an acquisition of every kind from it with vxn-dpp-demo.
# The CSV files land in ./vxn-demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vxn-dpp-sim vxn-dpp-demo vxn-logdump

address=${VXN_DEMO_ADDRESS:-127.0.0.2}
log=$(mktemp)
build/sim/vxn-dpp-sim --ip "$address" --boards 2 --quiet >"$log" 2>&1 &
sim=$!
cleanup() { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -f "$log"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
for _ in $(seq 100); do
    grep -q '^ready' "$log" && break
    kill -0 "$sim" 2>/dev/null || { cat "$log"; exit 1; }
    sleep 0.1
done
grep -q '^ready' "$log" || { echo "the simulator did not start"; cat "$log"; exit 1; }
head -n -1 "$log"
build/tools/vxn-dpp-demo "$address" vxn-demo-out
