#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
/usr/bin/python3 -c 'import pymodbus, serial' >/dev/null 2>&1 || need+=(python3-pymodbus python3-serial)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing: ${need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq || true
        apt-get install -y -qq "${need[@]}" || echo "Warning: could not install ${need[*]}; tests that need them are skipped."
    else
        echo "Warning: missing ${need[*]} and cannot install them here."
    fi
fi

build=${LINKORA_TEST_BUILD:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLINKORA_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
