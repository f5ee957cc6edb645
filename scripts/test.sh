#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
/usr/bin/python3 -c 'import pymodbus, serial' >/dev/null 2>&1 || need+=(python3-pymodbus python3-serial)
# The package test: cpack's dependency list, unpacking, the manual pages.
command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
command -v groff >/dev/null 2>&1 || need+=(groff-base)
command -v file >/dev/null 2>&1 || need+=(file)
# Network lines: the serial device server in front of the simulator.
command -v ser2net >/dev/null 2>&1 || [ -x /usr/sbin/ser2net ] || need+=(ser2net)
# linkora show: its SVG is rendered by rsvg-convert and the pixels read with libpng.
command -v rsvg-convert >/dev/null 2>&1 || need+=(librsvg2-bin)
[ -f /usr/include/png.h ] || need+=(libpng-dev)
# linkora backup keeps its history with git; its systemd units are checked
# with systemd-analyze.
command -v git >/dev/null 2>&1 || need+=(git)
command -v systemd-analyze >/dev/null 2>&1 || need+=(systemd)
# linkora site: its pages are loaded in a headless browser.
command -v chromium >/dev/null 2>&1 || need+=(chromium)
# ... and checked as HTML5 by tidy.
command -v tidy >/dev/null 2>&1 || need+=(tidy)
# Fuzzing: clang with the libFuzzer runtime.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-14-dev)
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

# The Windows build's smoke test (tests/wine) needs a cross compiler and Wine,
# about 1 GB; LINKORA_NO_WINE=1 leaves them out. Without them that test
# reports itself skipped and says why.
wine_need=()
if [ "${LINKORA_NO_WINE:-0}" != 1 ]; then
    command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || wine_need+=(g++-mingw-w64-x86-64-posix)
    command -v wine >/dev/null 2>&1 || wine_need+=(wine)
fi
if [ ${#wine_need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing: ${wine_need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        [ ${#need[@]} -gt 0 ] || apt-get update -qq || true
        apt-get install -y -qq "${wine_need[@]}" ||
            echo "Warning: could not install ${wine_need[*]}; the Wine smoke test is skipped."
    else
        echo "Warning: missing ${wine_need[*]} and cannot install them here; the Wine smoke test is skipped."
    fi
fi

build=${LINKORA_TEST_BUILD:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLINKORA_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
cd "$root"

# A short fuzzing run of every target (scripts/fuzz-long.sh runs them longer).
fuzz_status=0
scripts/fuzz.sh "${LINKORA_FUZZ_SECONDS:-30}" || fuzz_status=$?
if [ "$fuzz_status" -ne 0 ] && [ "$fuzz_status" -ne 77 ]; then
    echo "Fuzzing found a failure."
    exit 1
fi
