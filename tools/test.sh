#!/usr/bin/env bash
# Builds everything and runs every test of both widths: ctest through wine64 for x86_64, through 32-bit
# Wine (syswow64) for i686, with one wineserver for the whole run. Where this machine cannot execute
# 32-bit code the i686 tests are reported as skipped, with the reason.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
source tools/wine-env.sh
wine_start
trap wine_stop EXIT
if ! reason=$(tools/preflight-i386.sh); then echo "== i686 tests skipped: $reason"; fi
status=0
for preset in x64 x86; do
    echo "== $preset tests"
    ctest --preset "$preset" "$@" || status=1
    # ctest shows a family's output only when it fails: name the tests that skipped themselves, and why.
    log="build/$preset/Testing/Temporary/LastTest.log"
    [ -f "$log" ] && tr -d '\r' <"$log" | awk '/: Skipped$/ { getline why; next }
        /^\[  SKIPPED \] [^ ]+ \(/ { print "   skipped: " $4 (why != "" ? ": " why : ""); why = "" }'
done
exit $status
