#!/bin/sh
# run_in_jvm_root.sh ROOT VERSION [--bind PATH]... -- PROGRAM [ARGUMENT...]
# Runs PROGRAM in the JVM root that make_jvm_root.sh made: when PROGRAM is a bare name (java,
# javac, jar, jlink...), that tool of the root's JDK VERSION; else the program at that path inside
# the root. Each PATH, an absolute path of this machine (a folder or a file), is bound at the same
# path inside. The working folder, which must be bound or inside a bound folder, and the
# environment stay as they are, with JAVA_HOME set to the JDK, its bin/ first on PATH, and HOME
# the root's /root unless it names a writable folder inside. /tmp is the root's own. The exit
# status is PROGRAM's. As root; several may run at once.
set -e
here=$(cd "$(dirname "$0")" && pwd)
usage() {
  echo "usage: $0 ROOT VERSION [--bind PATH]... -- PROGRAM [ARGUMENT...]" >&2
  exit 125
}
fail() {
  echo "$0: $*" >&2
  exit 125
}
[ $# -ge 2 ] || usage
root=$(cd "$1" && pwd -P) || fail "no folder $1"
version=$2
shift 2
[ -f "$root/.complete" ] || fail "$root is no complete JVM root: make it with make_jvm_root.sh"
case $version in '' | *[!0-9]*) usage ;; esac
jdk=
for home in "$root/usr/lib/jvm/java-$version-openjdk-"*; do
  [ ! -x "$home/bin/java" ] || jdk=${home#"$root"}
done
[ -n "$jdk" ] || fail "the JVM root $root holds no JDK $version ($(cat "$root/.complete"))"

newline='
'
binds=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  if [ "$1" != --bind ] || [ $# -lt 2 ]; then usage; fi
  given=$2
  path=$2
  shift 2
  while [ "$path" != "${path%/}" ]; do path=${path%/}; done
  case $path in
    /*"$newline"*) fail "cannot bind a path with a line break in it" ;;
    "$root" | "$root"/*) fail "$path is inside the root already" ;;
    /?*) [ -e "$path" ] || fail "cannot bind $path: there is no such file or folder" ;;
    *) fail "cannot bind $given: give an absolute path other than /" ;;
  esac
  binds="$binds$path$newline"
done
[ $# -ge 2 ] || usage
shift
program=$1
shift
case $program in
  */*) ;;
  *)
    [ -x "$root$jdk/bin/$program" ] || fail "JDK $version has no $program in $jdk/bin"
    program=$jdk/bin/$program
    ;;
esac

exec unshare --mount --propagation private sh "$here/enter_jvm_root.sh" "$root" "$jdk" "$binds" \
  "$PWD" "$(pwd -P)" "$(stat -c %d:%i .)" "$program" "$@"
