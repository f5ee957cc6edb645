#!/usr/bin/env bash
# Builds a Release tree (build-bench, no sanitizers) and prints the figures,
# one line each with its target.
#   bench/run.sh [--quick]     --quick: 38400 baud only, fewer peer reads
# (the backup of eight lines paced at 9600 baud runs either way, about 25 s)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${LINKORA_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLINKORA_SANITIZE=OFF -DLINKORA_TESTS=OFF >/dev/null
cmake --build "$build" --target linkora linkora-sim data_file_bench modbus_reads_bench show_bench site_bench -j 2 >/dev/null

echo "linkora benchmarks ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, Release build in $build)"
# Data file: 100 000 setpoint lines written and read.
"$build/data_file_bench"
# linkora show: 5000 setpoints drawn for the terminal and as SVG.
"$build/show_bench" "$build/linkora"
# linkora site: 200 controllers of 40 setpoints.
"$build/site_bench" "$build/linkora"
/usr/bin/python3 bench/bench.py "$build" "$@"
