#!/bin/sh
# Runs the DLL's test program under Wine and shuts Wine down afterwards, whatever happened.
# Usage: run_under_wine.sh PREFIX win32|win64 TEST-PROGRAM SCRATCH-FOLDER
set -eu
# shellcheck source=tests/windows/wine_environment.sh
. "$(dirname "$0")/wine_environment.sh"
program=$3
scratch=$4

rm -rf "$scratch"
mkdir -p "$scratch"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT

# Wine shows the Linux file system as drive Z:.
status=0
timeout 300 "$wine" "$program" "Z:$(echo "$scratch" | tr / '\\')" || status=$?
[ "$status" -ne 124 ] || echo "FAIL - the test program was stopped after 300 s"
exit "$status"
