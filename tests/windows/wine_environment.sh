# Sourced by the Wine scripts, with the prefix folder as $1: a 32-bit prefix, headless, quiet,
# and without the .NET and HTML engines, which a first boot would otherwise try to install.
export WINEPREFIX="$1"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Wine's 32-bit loader is a 32-bit Linux program. Some kernels run none (their 32-bit emulation
# is off); .ci/install-windows-tools then sets up user-mode emulation for them.
if ! wine --version >/dev/null 2>&1; then
  echo "this machine cannot run 32-bit Wine: run .ci/install-windows-tools as root" >&2
  exit 1
fi
