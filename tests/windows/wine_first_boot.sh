#!/bin/sh
# Makes the Wine prefix the DLL's tests run in, unless a finished one is there, and says how long
# Wine's first boot took. Usage: wine_first_boot.sh PREFIX win32|win64
set -eu
# shellcheck source=tests/windows/wine_environment.sh
. "$(dirname "$0")/wine_environment.sh"
booted="$WINEPREFIX/.booted"
if [ -f "$booted" ]; then
  echo "reusing the Wine prefix $WINEPREFIX"
  exit 0
fi

# A boot that was cut short leaves a prefix that may not work.
rm -rf "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
start=$(date +%s)
# wineboot returns before the services it started have stopped; wineserver -w waits for them.
# shellcheck disable=SC2016 # $0 is the inner shell's: the loader
timeout 300 sh -c '"$0" wineboot --init && wineserver -w' "$wine"
echo "Wine's first boot took $(($(date +%s) - start)) s"
touch "$booted"
