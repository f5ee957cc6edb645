#!/usr/bin/env bash
# Builds the Debian package from a Release tree of its own, unpacks it into a
# temporary root and checks what a user gets: the programs answer --version
# and --help, they are stripped, the package depends on the C and C++ runtime
# only, and the manual pages render without warnings and name every
# environment variable and exit status.
#
#   package_test.sh --source DIR --version VERSION [--cxx COMPILER]
#
# Installs nothing; scripts/test.sh installs the tools it needs. Exit status:
# 0 passed, 1 failed.
set -uo pipefail

# What the manual must name, one list a line.
environment_variables=(LINKORA_COMn LINKORA_TRACE LINKORA_PROTOCOL)
exit_statuses=(0 1 2 3 4 5 6 7 128+n)
# The packages the programs may depend on.
allowed_depends=(libc6 libgcc-s1 libstdc++6)

source_dir=
version=
cxx=
while [ $# -gt 0 ]; do
    case "$1" in
        --source) source_dir=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --cxx) cxx=$2; shift 2 ;;
        *) echo "package_test: unknown argument $1"; exit 1 ;;
    esac
done
if [ -z "$source_dir" ] || [ -z "$version" ]; then
    echo "usage: package_test.sh --source DIR --version VERSION [--cxx COMPILER]"
    exit 1
fi

missing=()
for tool in cmake cpack dpkg-deb dpkg-shlibdeps groff file gzip; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "FAIL: missing tools: ${missing[*]}"
    echo "      (scripts/test.sh installs them: apt-get install cmake dpkg-dev groff-base file)"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/linkora-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

step() {
    local log=$work/step.log
    if ! "$@" >"$log" 2>&1; then
        cat "$log"
        echo "FAIL: $*"
        exit 1
    fi
}

# A Release tree with the two programs only; cpack must not build the rest.
configure=(cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DLINKORA_TESTS=OFF
           -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)
[ -n "$cxx" ] && configure+=(-DCMAKE_CXX_COMPILER="$cxx")
step "${configure[@]}"
step cmake --build "$work/build" -j2 --target linkora linkora-sim
(cd "$work/build" && step cpack -G DEB) || exit 1

debs=("$work"/build/linkora_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "FAIL: cpack made no single linkora_*.deb"
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = linkora ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Maintainer)" = "linkora developers" ] || fail "Maintainer is '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
[ -n "$depends" ] || fail "no Depends"
IFS=',' read -ra entries <<<"$depends"
for entry in "${entries[@]}"; do
    name=$(echo "$entry" | awk '{print $1}')
    allowed=no
    for ok in "${allowed_depends[@]}"; do [ "$name" = "$ok" ] && allowed=yes; done
    [ $allowed = yes ] || fail "depends on $name ($depends)"
done

case ", $(field Recommends), " in *", git, "*) ;; *) fail "Recommends is '$(field Recommends)', without git" ;; esac
dpkg-deb -I "$deb" postinst 2>/dev/null | grep -q systemd-sysusers || fail "the postinst does not create the backup's user"

root=$work/root
step dpkg-deb -x "$deb" "$root"
for path in usr/bin/linkora usr/bin/linkora-sim usr/share/man/man1/linkora.1.gz \
            usr/share/man/man1/linkora-sim.1.gz usr/share/doc/linkora/copyright \
            usr/lib/systemd/system/linkora-backup@.service usr/lib/systemd/system/linkora-backup@.timer \
            usr/lib/sysusers.d/linkora.conf usr/share/doc/linkora/examples/plant.inventory; do
    [ -f "$root/$path" ] || fail "the package lacks /$path"
done
if [ -f "$root/usr/share/doc/linkora/copyright" ]; then
    grep -q linkora "$root/usr/share/doc/linkora/copyright" || fail "the copyright file does not name linkora"
    grep -qi "no licence" "$root/usr/share/doc/linkora/copyright" || fail "the copyright file does not say that no licence is chosen"
fi

# The unpacked programs, run in an empty folder with no terminal.
mkdir -p "$work/run"
for program in linkora linkora-sim; do
    binary=$root/usr/bin/$program
    [ -x "$binary" ] || continue
    file "$binary" | grep -q ', stripped' || fail "$program is not stripped: $(file -b "$binary")"
    output=$(cd "$work/run" && "$binary" --version </dev/null 2>&1)
    status=$?
    [ $status -eq 0 ] || fail "$program --version exits with $status"
    [ "$output" = "$program $version" ] || fail "$program --version prints '$output'"
    output=$(cd "$work/run" && "$binary" --help </dev/null 2>&1)
    status=$?
    [ $status -eq 0 ] || fail "$program --help exits with $status"
    case "$output" in
        "Usage: $program "*) ;;
        *) fail "$program --help prints: $output" ;;
    esac
done
[ -z "$(ls -A "$work/run")" ] || fail "--version or --help left files behind: $(ls -A "$work/run")"

# The manual pages: no warnings, and the sections that list names.
for page in linkora linkora-sim; do
    source=$root/usr/share/man/man1/$page.1.gz
    [ -f "$source" ] || continue
    warnings=$(gzip -dc "$source" | groff -man -ww -z 2>&1)
    status=$?
    [ $status -eq 0 ] && [ -z "$warnings" ] || fail "$page.1 does not render cleanly: $warnings"
done

# The first word (up to a blank or '=') of each tag line of a section of the
# rendered linkora(1).
rendered=$(gzip -dc "$root/usr/share/man/man1/linkora.1.gz" | groff -man -Tascii -P -cbou -rHY=0 2>/dev/null)
tags_of() {
    echo "$rendered" | awk -v section="$1" '
        /^[A-Z]/ { inside = ($0 == section); next }
        inside && /^       [^ ]/ { sub(/^ +/, ""); split($0, w, /[ =]/); print w[1] }'
}
for name in "${environment_variables[@]}"; do
    tags_of ENVIRONMENT | grep -Fxq -- "$name" || fail "linkora(1) ENVIRONMENT does not list $name"
done
for status in "${exit_statuses[@]}"; do
    tags_of "EXIT STATUS" | grep -Fxq -- "$status" || fail "linkora(1) EXIT STATUS does not list $status"
done

if [ $failures -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package checks passed"
