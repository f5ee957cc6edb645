#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each of them.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 30 s, all targets)
# Every file under tests/fuzz/regressions/<target>/ is replayed first; then the
# target runs from a copy of tests/fuzz/corpus/<target>/. A crash, a leak or a
# time-out ends the script with status 1; the input that caused it is kept in
# build-fuzz/artifacts/<target>/. Status 77: no clang with libFuzzer here.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
all=(fuzz_data_file fuzz_modbus_reply fuzz_tvx_reply fuzz_settings fuzz_command_line fuzz_inventory fuzz_telnet_decoder
     fuzz_network_drain)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
build=${LINKORA_FUZZ_BUILD:-build-fuzz}
jobs=${LINKORA_FUZZ_JOBS:-2}

clang=${CLANGXX:-clang++}
if ! command -v "$clang" >/dev/null 2>&1; then
    echo "skipping fuzzing: $clang not found (install clang and libclang-rt-14-dev)"
    exit 77
fi
probe=$(mktemp -d)
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$probe/p.cpp"
if ! "$clang" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1; then
    rm -rf "$probe"
    echo "skipping fuzzing: $clang cannot link -fsanitize=fuzzer (install libclang-rt-14-dev)"
    exit 77
fi
rm -rf "$probe"

CXX="$clang" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINKORA_FUZZ=ON -DLINKORA_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" --target "${targets[@]}" -j "$jobs" >"$build/fuzz-build.log" 2>&1 || {
    tail -40 "$build/fuzz-build.log"
    echo "fuzz targets failed to build"
    exit 1
}

failed=0
for target in "${targets[@]}"; do
    binary="$build/tests/fuzz/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$artifacts"
    regressions="tests/fuzz/regressions/$target"
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions" 2>/dev/null)" ]; then
        if ! "$binary" -runs=1 "$regressions"/* >"$artifacts/regressions.log" 2>&1; then
            tail -30 "$artifacts/regressions.log"
            echo "FAIL $target: a regression input fails again"
            failed=1
            continue
        fi
        echo "ok   $target: $(ls "$regressions" | wc -l) regression inputs replayed"
    fi
    corpus=$(mktemp -d)
    cp tests/fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
    log="$artifacts/run.log"
    if "$binary" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
        echo "ok   $target: ${runs:-?} runs in ${seconds} s, corpus $(ls "$corpus" | wc -l) inputs"
    else
        grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -10
        echo "FAIL $target: see $log"
        failed=1
    fi
    rm -rf "$corpus"
done
exit $failed
