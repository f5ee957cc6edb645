#!/usr/bin/env bash
# Checks the backup's systemd units with systemd-analyze verify, on copies
# whose ExecStart names the built program, as the instance "plant".
#
#   systemd_units.sh --units DIR --linkora PROGRAM
#
# Exit status: 0 passed, 1 failed, 77 skipped (no systemd-analyze).
set -uo pipefail
units=
linkora=
while [ $# -gt 0 ]; do
    case "$1" in
        --units) units=$2; shift 2 ;;
        --linkora) linkora=$2; shift 2 ;;
        *) echo "systemd_units: unknown argument $1"; exit 1 ;;
    esac
done
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is not installed (apt-get install systemd)"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/linkora-units.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

service=$units/linkora-backup@.service
timer=$units/linkora-backup@.timer
grep -q '^ExecStart=/usr/bin/linkora backup /etc/linkora/%i.inventory --into /var/lib/linkora/%i' "$service" ||
    fail "ExecStart does not back up /etc/linkora/%i.inventory into /var/lib/linkora/%i"
for line in 'StateDirectory=linkora linkora/%i' 'SupplementaryGroups=dialout' 'User=linkora' 'Type=oneshot' \
    'TimeoutStartSec=6h'; do
    grep -qx "$line" "$service" || fail "the service lacks $line"
done
for line in 'Persistent=true' 'OnCalendar=daily' 'WantedBy=timers.target'; do
    grep -qx "$line" "$timer" || fail "the timer lacks $line"
done
grep -q '^RandomizedDelaySec=' "$timer" || fail "the timer has no randomized delay"

sed "s#^ExecStart=/usr/bin/linkora #ExecStart=$linkora #" "$service" >"$work/linkora-backup@.service"
cp "$timer" "$work/"
if ! (cd "$work" && systemd-analyze verify --man=no ./linkora-backup@plant.service ./linkora-backup@plant.timer) \
        >"$work/verify.log" 2>&1; then
    cat "$work/verify.log"
    fail "systemd-analyze verify"
fi
# verify only warns about a setting it cannot read (a time-out, say).
if grep -E 'Failed to parse|Unknown key|ignoring' "$work/verify.log"; then
    fail "systemd-analyze verify ignores a setting"
fi
# The check has teeth: a program that is not there is found.
sed "s#^ExecStart=/usr/bin/linkora #ExecStart=$work/missing #" "$service" >"$work/linkora-backup@.service"
(cd "$work" && systemd-analyze verify --man=no ./linkora-backup@plant.service) >/dev/null 2>&1 &&
    fail "systemd-analyze verify accepts a missing program"

[ $failures -eq 0 ] && echo "systemd units: verified" && exit 0
exit 1
