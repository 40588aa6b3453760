#!/bin/sh
# make_jvm_root.sh ROOT [VERSION...]
# Makes the folder ROOT a Debian unstable (sid) holding the headless JDK of each Java VERSION
# (8 11 21 25 when none is given), for run_in_jvm_root.sh, or keeps the complete one already
# there. A root left half-made, or made with other JDKs, is made again. As root; needs debootstrap.
set -e
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 1 ]; then
  echo "usage: $0 ROOT [VERSION...]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ] || ! command -v debootstrap >/dev/null; then
  echo "$0: needs root and debootstrap (Debian's debootstrap package)" >&2
  exit 1
fi
started=$(date +%s)
mkdir -p "$(dirname "$1")"
root=$(cd "$(dirname "$1")" && pwd -P)/$(basename "$1")
shift
[ $# -gt 0 ] || set -- 8 11 21 25
packages=
for version; do
  case $version in
    '' | *[!0-9]*)
      echo "$0: $version is no Java version" >&2
      exit 2
      ;;
  esac
  packages="$packages openjdk-$version-jdk-headless"
done
packages=${packages# }

# One run at a time makes a given root.
exec 9>"$root.lock"
flock 9
marker="$root/.complete"
if [ -f "$marker" ] && [ "$(cat "$marker")" = "$packages" ]; then
  echo "kept the JVM root $root ($packages): $(($(date +%s) - started)) s"
  exit 0
fi
# Nothing is mounted below the root in this namespace (mounts inside live in private namespaces),
# so this removes the old root's own files only.
rm -rf --one-file-system "$root"
mkdir "$root"
# shellcheck disable=SC2086 # one argument per package
unshare --mount --propagation private sh "$here/install_jvm_root.sh" "$root" $packages
du -sh "$root"
printf '%s\n' "$packages" >"$marker"
echo "made the JVM root $root ($packages): $(($(date +%s) - started)) s"
