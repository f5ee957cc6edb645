#!/usr/bin/env bash
# The long fuzzing run: every target for 10 minutes (or SECONDS given), one
# after the other. Findings are left in build-fuzz/artifacts/<target>/; copy a
# crashing input into tests/fuzz/regressions/<target>/ once it is fixed.
set -uo pipefail
cd "$(dirname "$0")/.."
exec scripts/fuzz.sh "${1:-600}" "${@:2}"
