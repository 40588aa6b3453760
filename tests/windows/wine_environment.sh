# shellcheck shell=sh
# Sourced by the Wine scripts, with the prefix folder as $1 and its architecture, win32 or win64,
# as $2: headless, quiet, and without the .NET and HTML engines, which a first boot would
# otherwise try to install. Sets $wine to the loader for programs of that architecture.
export WINEPREFIX="$1"
export WINEARCH="$2"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case $WINEARCH in
win32)
  wine=wine
  # Wine's 32-bit loader is a 32-bit Linux program. Some kernels run none (their 32-bit
  # emulation is off); .ci/install-windows-tools then sets up user-mode emulation for them.
  if ! wine --version >/dev/null 2>&1; then
    echo "this machine cannot run 32-bit Wine: run .ci/install-windows-tools as root" >&2
    exit 1
  fi
  ;;
win64)
  # Debian keeps the 64-bit loader out of PATH, and its wine command picks the 32-bit one
  # whenever that is installed.
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  export WINELOADER="$wine"
  if ! "$wine" --version >/dev/null 2>&1; then
    echo "64-bit Wine is missing: run .ci/install-windows-tools as root" >&2
    exit 1
  fi
  ;;
*)
  echo "unknown Wine architecture $WINEARCH: win32 or win64" >&2
  exit 2
  ;;
esac
