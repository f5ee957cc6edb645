#!/usr/bin/env bash
# The whole fault sweep: one fault at every request position of an upload and
# a download, in both protocols (a lost reply, a lost request, a spoiled reply,
# a refusal, a reply held back 3.1 s, 6.5 s or 10 s and delivered just before
# the next one), then a controller of 2000 setpoints on a line that loses every
# 150th request. Lost and late replies cost a time-out of 3 s or more each, so
# the cases run side by side (they mostly wait). The test command runs a
# stride of the same tests (of the late replies only the 3.1 s delay).
#
#   scripts/fault-sweep.sh [build folder]      (default: build-asan, as the test command builds it)
#   LINKORA_SWEEP_JOBS=N                        cases at once (default 8; 1 runs them one after another)
#
# Each case's figures ("... positions tried, ... ended with status 0") and
# its output go to <build folder>/fault-sweep/<case>.log; the summary lists
# them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
jobs=${LINKORA_SWEEP_JOBS:-8}
if [ ! -x "$build/tests/test_faults" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLINKORA_SANITIZE=ON
fi
cmake --build "$build" -j "$(nproc)" --target test_faults linkora linkora-sim
logs="$build/fault-sweep"
rm -rf "$logs"
mkdir -p "$logs"

# One line per case: the environment it needs and its full test name. The
# late replies wait out several time-outs at every position: the longest
# delays go first, so that the short cases fill the gaps.
listed=$("$build/tests/test_faults" --gtest_list_tests | awk '
    /^[^ ]/ { suite = $1; next }
    suite ~ /FaultSweep|LossyLine/ { print suite $1 }')
cases=$(for delay in 10000 6500 3100; do echo "$listed" | grep "late_at_$delay\$" || true; done
    echo "$listed" | grep -v "late_at_" || true)
run_case() {
    local build=$1 logs=$2 name=$3
    local log="$logs/${name//\//_}.log"
    if LINKORA_SWEEP_STRIDE=1 LINKORA_LOSSY_EVERY=150 "$build/tests/test_faults" \
        --gtest_filter="$name" >"$log" 2>&1; then
        echo "passed  $name"
    else
        echo "FAILED  $name (see $log)"
        return 1
    fi
}
export -f run_case
status=0
echo "$cases" | xargs -P "$jobs" -I{} bash -c 'run_case "$@"' _ "$build" "$logs" {} || status=1
echo
grep -h 'positions tried\|: status' "$logs"/*.log | sort || true
exit $status
