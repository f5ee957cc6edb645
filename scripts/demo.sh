#!/usr/bin/env bash
# Builds linkora (installing what is missing), starts the controller
# simulator, uploads its configuration to a data file with the unattended
# command line, edits a setpoint in the file, downloads it back and shows that
# the simulator now holds the change.
#
#   scripts/demo.sh                the upload/edit/download round trip
#   scripts/demo.sh --interactive  the menus, talking to the simulator on COM1
set -euo pipefail
cd "$(dirname "$0")/.."

interactive=0
case "${1:-}" in
    --interactive) interactive=1 ;;
    "") ;;
    *) echo "usage: $0 [--interactive]" >&2; exit 2 ;;
esac

# ---- what the build needs
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing: ${need[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq || true
        apt-get install -y -qq "${need[@]}"
    else
        echo "Missing: ${need[*]}; please install them (for example: sudo apt-get install ${need[*]})." >&2
        exit 1
    fi
fi
tests=ON
[ -f /usr/include/gtest/gtest.h ] || tests=OFF

# ---- build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DLINKORA_TESTS=$tests >/dev/null
cmake --build build -j "$(nproc)" --target linkora linkora-sim

# ---- the simulator
work=build/demo
mkdir -p "$work"
rm -f "$work/sim.out" "$work/sim-state.dat" "$work/plant.dat"
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -9 "$sim_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT INT TERM

max_seconds=600
[ $interactive = 1 ] && max_seconds=7200
build/linkora-sim --save "$work/sim-state.dat" --reset-delay 0 --max-seconds $max_seconds >"$work/sim.out" 2>&1 &
sim_pid=$!
pty=""
for _ in $(seq 1 100); do
    pty=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
    [ -n "$pty" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$pty" ]; then
    echo "The simulator did not start:" >&2
    cat "$work/sim.out" >&2 || true
    exit 1
fi
echo "== Simulated controller on $pty"

linkora=$PWD/build/linkora
cd "$work"

if [ $interactive = 1 ]; then
    echo "== Starting the menus; COM1 is the simulator. Upload and download a file, then leave with ESC."
    LINKORA_COM1="$pty" "$linkora"
    exit $?
fi

echo
echo "== Upload: linkora u 1 $pty 9600 plant.dat"
"$linkora" u 1 "$pty" 9600 plant.dat </dev/null
echo
echo "== The data file"
cat plant.dat | tr -d '\r'

line=$(grep -m 1 -E '^49: ' plant.dat | tr -d '\r' || true)
if [ -z "$line" ]; then
    echo "The uploaded file holds no setpoint." >&2
    exit 1
fi
echo
echo "== Editing the first setpoint's on position to 123"
echo "   before: $line"
sed -i -E '0,/^49: /{s/^49: ([0-9]+),([0-9]+),([0-9]+),/49: \1,\2,123,/}' plant.dat
edited=$(grep -m 1 -E '^49: ' plant.dat | tr -d '\r')
echo "   after:  $edited"

echo
echo "== Download with verification: linkora d 1 $pty 9600 plant.dat N N Y"
"$linkora" d 1 "$pty" 9600 plant.dat N N Y </dev/null

echo
echo "== The simulator's saved state now holds:"
data=$(echo "$edited" | sed -E 's/^(49: [0-9]+,[0-9]+,[0-9]+,[0-9]+).*/\1/')
if grep -E "^${data}( |;)" sim-state.dat | tr -d '\r'; then
    echo "== The change reached the controller."
else
    echo "The simulator does not hold the edited setpoint ($data)." >&2
    exit 1
fi
