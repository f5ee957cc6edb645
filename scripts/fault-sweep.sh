#!/usr/bin/env bash
# The whole fault sweep: one fault at every request position of an upload and
# a download, in both protocols (a lost reply, a lost request, a spoiled reply,
# a refusal), then a controller of 2000 setpoints on a line that loses every
# 150th request. Lost replies cost a time-out of 3 s each: this takes about an
# hour and a half. The test command runs a stride of the same tests.
#
#   scripts/fault-sweep.sh [build folder]      (default: build-asan, as the test command builds it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
if [ ! -x "$build/tests/test_faults" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLINKORA_SANITIZE=ON
fi
cmake --build "$build" -j "$(nproc)" --target test_faults linkora linkora-sim
status=0
LINKORA_SWEEP_STRIDE=1 "$build/tests/test_faults" --gtest_filter='*FaultSweep*' || status=1
LINKORA_LOSSY_EVERY=150 "$build/tests/test_faults" --gtest_filter='*LossyLine*' || status=1
exit $status
