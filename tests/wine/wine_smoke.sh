#!/usr/bin/env bash
# Smoke test of the Windows build under Wine, headless.
#
# linkora.exe (cross-built here unless given) and the Linux linkora each run
# the unattended upload and download against linkora-sim on a
# pseudo-terminal, once with the simulator answering MODBUS only, once TVX
# Standard only and once both (the program detects the protocol itself in
# every case). Under Wine the line is COM1, mapped to the simulator's
# pseudo-terminal in a throw-away Wine prefix. The uploaded files (date line
# masked) and the simulator's state after each download must be the same
# for both builds.
#
# Exit status: 0 passed, 1 failed, 77 skipped (no cross compiler or no
# working Wine; the reason is printed).
#
# Options:
#   --linux-bin PATH   the Linux build's linkora (required)
#   --sim-bin PATH     the Linux build's linkora-sim (required)
#   --exe PATH         a ready linkora.exe; without it one is cross-built
#   --build-dir DIR    where to cross-build (default: a fresh temporary dir)
#   --keep             keep the work directory and the Wine prefix
#
# Known limits of this set-up:
# - A pseudo-terminal always carries 8 data bits without parity, and Linux
#   refuses (EINVAL) a settings change that leaves nothing it can hold
#   changed. Wine passes that refusal on as a failed SetCommState, so MODBUS's
#   7N2 fails under Wine whenever the line already has 2 stop bits (after
#   the Linux build's run, or at the second opening within one run). The
#   runs under Wine therefore name the character format 8N1; the characters
#   on the line are the same, since MODBUS ASCII and TVX Standard are plain
#   ASCII text. The Linux build runs with the protocols' own formats.
# - Wine's _kbhit sees no keys on a terminal, so the menus are not run here.
set -uo pipefail

skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*"
    exit 1
}

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
linux_bin=
sim_bin=
exe=
build_dir=
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
        --linux-bin) linux_bin=$2; shift 2 ;;
        --sim-bin) sim_bin=$2; shift 2 ;;
        --exe) exe=$2; shift 2 ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        *) fail "unknown argument $1" ;;
    esac
done

# The runs happen in the work directory: every path is made absolute.
absolute() { [ -n "$1" ] && [ -e "$1" ] && echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
linux_bin=$(absolute "$linux_bin")
sim_bin=$(absolute "$sim_bin")
[ -z "$exe" ] || exe=$(absolute "$exe") || fail "no linkora.exe at the given path"
[ -z "$build_dir" ] || build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)

[ -x "$linux_bin" ] || fail "the Linux linkora is missing (--linux-bin '$linux_bin')"
[ -x "$sim_bin" ] || fail "linkora-sim is missing (--sim-bin '$sim_bin')"
command -v wine >/dev/null 2>&1 || skip "wine is not installed (Debian package 'wine'; scripts/test.sh installs it when it can)"
command -v wineserver >/dev/null 2>&1 || skip "wineserver is not installed (Debian package 'wine')"
if [ -z "$exe" ] && ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
    skip "the cross compiler x86_64-w64-mingw32-g++-posix is not installed (Debian package 'g++-mingw-w64-x86-64-posix')"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/linkora-wine.XXXXXX") || fail "no temporary directory"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko installer dialogs
unset DISPLAY WAYLAND_DISPLAY
sim_pid=
ser2net_pid=

cleanup() {
    stop_ser2net
    stop_sim
    wineserver -k >/dev/null 2>&1
    if [ "$keep" = 1 ]; then
        echo "Work directory kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
        sim_pid=
    fi
}

stop_ser2net() {
    if [ -n "$ser2net_pid" ]; then
        kill -TERM "$ser2net_pid" 2>/dev/null
        wait "$ser2net_pid" 2>/dev/null
        ser2net_pid=
    fi
}

# Starts linkora-sim with the given options; sets sim_pid and sim_line.
start_sim() {
    local out="$work/sim.out"
    : >"$out"
    "$sim_bin" --max-seconds 600 "$@" >"$out" 2>"$work/sim.err" &
    sim_pid=$!
    sim_line=
    for _ in $(seq 100); do
        sim_line=$(head -n 1 "$out")
        case "$sim_line" in /dev/*) return 0 ;; esac
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    cat "$work/sim.err"
    fail "linkora-sim did not report its line (options: $*)"
}

# Points Wine's serial ports at devices: map_ports COM1 /dev/pts/N [COMn dev]...
# Wine reads the port table when its server starts, so the server is
# restarted.
map_ports() {
    while [ $# -ge 2 ]; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f </dev/null >>"$work/wine.log" 2>&1 ||
            fail "could not map $1 in the Wine registry (see $work/wine.log)"
        shift 2
    done
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    # Started here, the server keeps its own output out of the program logs.
    wineserver -p >/dev/null 2>&1 </dev/null
}

# The upload date is the only line that differs between two uploads.
masked() {
    sed -E 's/[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}/<date>/' "$1"
}

same_files() {
    local label=$1 expected=$2 actual=$3
    [ -s "$expected" ] || fail "$label: the Linux build wrote no file"
    [ -s "$actual" ] || fail "$label: linkora.exe wrote no file"
    if ! diff -u <(masked "$expected") <(masked "$actual") >"$work/diff.txt"; then
        head -n 40 "$work/diff.txt"
        fail "$label: linkora.exe and the Linux build differ"
    fi
}

run_linux() {
    local log=$1
    shift
    (cd "$work" && LINKORA_COM1="$sim_line" timeout 300 "$linux_bin" "$@" </dev/null >"$log" 2>&1)
}

run_wine() {
    local log=$1
    shift
    (cd "$work" && timeout 300 wine "$exe" "$@" </dev/null >"$log" 2>&1)
}

# ---- Wine itself
echo "Preparing a Wine prefix..."
if ! timeout 300 wineboot -i </dev/null >"$work/wine.log" 2>&1 ||
    ! timeout 120 wine cmd /c echo wine-works </dev/null 2>>"$work/wine.log" | grep -q wine-works; then
    tail -n 20 "$work/wine.log"
    skip "Wine is installed but cannot run programs here (see the lines above)"
fi

# ---- the Windows build
if [ -z "$exe" ]; then
    [ -n "$build_dir" ] || build_dir="$work/build"
    echo "Cross-building linkora.exe in $build_dir..."
    cmake -S "$source_dir" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE="${LINKORA_WINE_BUILD_TYPE:-Release}" -DLINKORA_TESTS=OFF >"$work/cross.log" 2>&1 &&
        cmake --build "$build_dir" -j2 --target linkora >>"$work/cross.log" 2>&1 ||
        { tail -n 40 "$work/cross.log"; fail "the cross-build failed"; }
    exe="$build_dir/linkora.exe"
fi
[ -f "$exe" ] || fail "no linkora.exe at $exe"

# ---- upload and download in each protocol

protocols=${LINKORA_WINE_PROTOCOLS:-modbus tvx both}   # a subset may be named while debugging
for protocol in $protocols; do
    echo "== simulator answering: $protocol"

    # Upload: one simulator, read by both builds in turn.
    start_sim --protocol "$protocol"
    run_linux "$work/linux-up-$protocol.log" u 1 COM1 9600 "linux-$protocol.dat" ||
        { cat "$work/linux-up-$protocol.log"; fail "$protocol: the Linux upload failed"; }
    # The upload replaces an older file of the same name. In one round the
    # menu's COM1 is redirected to COM12 (LINKORA_COM1), which Windows
    # reaches only through the device namespace.
    echo "an older file" >"$work/wine-$protocol.dat"
    if [ "$protocol" = both ]; then
        map_ports COM1 /dev/linkora-no-such-line COM12 "$sim_line"
        port_env=COM12
    else
        map_ports COM1 "$sim_line"
        port_env=
    fi
    LINKORA_COM1=$port_env run_wine "$work/wine-up-$protocol.log" u 1 COM1 9600 "wine-$protocol.dat" 8N1 ||
        { cat "$work/wine-up-$protocol.log"; fail "$protocol: the upload under Wine failed"; }
    stop_sim
    same_files "$protocol upload" "$work/linux-$protocol.dat" "$work/wine-$protocol.dat"
    echo "   upload: same file"

    # Download of the uploaded file, each build into a fresh simulator; the
    # simulators' saved states must agree.
    start_sim --protocol "$protocol" --save "$work/linux-state-$protocol.dat"
    run_linux "$work/linux-down-$protocol.log" d 1 COM1 9600 "linux-$protocol.dat" ||
        { cat "$work/linux-down-$protocol.log"; fail "$protocol: the Linux download failed"; }
    stop_sim
    start_sim --protocol "$protocol" --save "$work/wine-state-$protocol.dat"
    map_ports COM1 "$sim_line"
    run_wine "$work/wine-down-$protocol.log" d 1 COM1 9600 "linux-$protocol.dat" 8N1 ||
        { cat "$work/wine-down-$protocol.log"; fail "$protocol: the download under Wine failed"; }
    stop_sim
    same_files "$protocol download (simulator state)" "$work/linux-state-$protocol.dat" \
        "$work/wine-state-$protocol.dat"
    echo "   download: same controller state"
done

# ---- a line behind ser2net: the same two accepters as the Linux tests
if [ -x /usr/sbin/ser2net ]; then
    echo "== network lines through ser2net"
    start_sim --protocol both
    read -r rfc_port tcp_port < <(/usr/bin/python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in sockets])')
    for accepter in "telnet(rfc2217),tcp,127.0.0.1,$rfc_port" "tcp,127.0.0.1,$tcp_port"; do
        printf 'connection: &port%s\n  accepter: %s\n  connector: serialdev,%s,9600n81,local\n' \
            "${accepter##*,}" "$accepter" "$sim_line"
        printf '  options:\n    kickolduser: false\n    chardelay: false\n'
    done >"$work/ser2net.yaml"
    /usr/sbin/ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.out" 2>&1 &
    ser2net_pid=$!
    listening() { grep -q -i -E "^ *[0-9]+: [0-9A-F]+:$(printf '%04X' "$1") [0-9A-F:]+ 0A" /proc/net/tcp; }
    for _ in $(seq 100); do
        listening "$rfc_port" && listening "$tcp_port" && break
        sleep 0.05
    done
    for port in "rfc2217://127.0.0.1:$rfc_port" "tcp://127.0.0.1:$tcp_port"; do
        kind=${port%%:*}
        # ser2net lets the device go a moment after a connection ends.
        sleep 0.5
        run_linux "$work/linux-net-$kind.log" u 1 "$port" 19200 "linux-net-$kind.dat" ||
            { cat "$work/linux-net-$kind.log"; fail "$kind: the Linux upload through ser2net failed"; }
        sleep 0.5
        run_wine "$work/wine-net-$kind.log" u 1 "$port" 19200 "wine-net-$kind.dat" ||
            { cat "$work/wine-net-$kind.log"; fail "$kind: the upload under Wine through ser2net failed"; }
        same_files "$kind upload through ser2net" "$work/linux-net-$kind.dat" "$work/wine-net-$kind.dat"
        echo "   $kind upload: same file"
    done
    stop_ser2net
    run_wine "$work/wine-net-refused.log" u 1 "tcp://127.0.0.1:$tcp_port" 19200 "refused.dat"
    status=$?
    [ "$status" = 3 ] ||
        { cat "$work/wine-net-refused.log"; fail "a refused connection under Wine ended with $status, not 3"; }
    # Standard output and standard error share the log: the line may follow
    # a message without a line end.
    grep -q "linkora: tcp://127.0.0.1:$tcp_port: " "$work/wine-net-refused.log" ||
        { cat "$work/wine-net-refused.log"; fail "a refused connection under Wine gave no reason"; }
    echo "   refused connection: status 3"
    stop_sim
fi

# ---- hand-over to the sibling program of another register map (MODBUS)
# A stand-in sibling records its arguments: a script on PATH for Linux, a
# small program in the current folder (where CreateProcess looks) under
# Wine. Both must receive the same arguments, the blank in the file name
# included.
case " $protocols " in *" modbus "*) sibling=1 ;; *) sibling=0 ;; esac
if [ "$sibling" = 1 ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
    echo "== hand-over to LKRA101"
    mkdir -p "$work/bin"
    printf '#!/bin/sh\nfor a in "$@"; do printf "[%%s]\\n" "$a"; done > sibling-args.txt\n' >"$work/bin/LKRA101"
    chmod +x "$work/bin/LKRA101"
    cat >"$work/recorder.cpp" <<'EOF'
#include <cstdio>
int main(int argc, char** argv) {
    std::FILE* out = std::fopen("sibling-args.txt", "wb");
    if (out == nullptr) return 2;
    for (int i = 1; i < argc; ++i) std::fprintf(out, "[%s]\n", argv[i]);
    return std::fclose(out) == 0 ? 0 : 2;
}
EOF
    x86_64-w64-mingw32-g++-posix -static -O1 -o "$work/LKRA101.exe" "$work/recorder.cpp" >"$work/recorder.log" 2>&1 ||
        { cat "$work/recorder.log"; fail "could not build the stand-in sibling program"; }

    start_sim --protocol modbus --map-version 101
    PATH="$work/bin:$PATH" run_linux "$work/linux-sibling.log" u 1 COM1 9600 "HAND OVER.DAT"
    mv "$work/sibling-args.txt" "$work/linux-sibling-args.txt" 2>/dev/null ||
        { cat "$work/linux-sibling.log"; fail "the Linux build did not start LKRA101"; }
    map_ports COM1 "$sim_line"
    run_wine "$work/wine-sibling.log" u 1 COM1 9600 "HAND OVER.DAT" 8N1
    stop_sim
    mv "$work/sibling-args.txt" "$work/wine-sibling-args.txt" 2>/dev/null ||
        { cat "$work/wine-sibling.log"; fail "linkora.exe did not start LKRA101.exe"; }
    if ! diff -u "$work/linux-sibling-args.txt" "$work/wine-sibling-args.txt"; then
        fail "LKRA101 received other arguments from linkora.exe than from the Linux build"
    fi
    grep -qx '\[HAND OVER.DAT\]' "$work/wine-sibling-args.txt" ||
        fail "the file name did not reach LKRA101 as one argument"
    echo "   hand-over: same arguments"
fi

echo "PASS: linkora.exe under Wine uploads and downloads like the Linux build (simulator answering: $protocols; network lines when ser2net is there)"
exit 0
