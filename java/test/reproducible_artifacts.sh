#!/bin/sh
# Builds the artifacts a second time, in another folder, from a clean export of the commit the
# source folder is at, and fails unless every artifact is the same, byte for byte, as the one the
# build made. Usage:
#   reproducible_artifacts.sh SOURCE BUILD-TYPE PLATFORMS WORK MUSL-RUNTIMES ARTIFACT...
# PLATFORMS is the build's list of the jar's platforms, separated by commas; WORK a folder for the
# second build; MUSL-RUNTIMES the first build's folder of C++ runtimes for musl, which the second
# takes as it takes the same compilers: they are what the build is made with, not what it makes.
# Exits with 77 (skipped) when the source folder has changes not committed: the build is then of
# no commit.
set -eu
source=$1 type=$2 platforms=$(echo "$3" | tr , ';') work=$4 musl_runtimes=$5
shift 5
if [ -n "$(git -C "$source" status --porcelain --untracked-files=no)" ]; then
  echo "the source folder has changes that are not committed; commit them to compare the build"
  exit 77
fi
commit=$(git -C "$source" rev-parse HEAD)
rm -rf "$work"
mkdir -p "$work/elsewhere/source"
git -C "$source" archive "$commit" | tar -x -C "$work/elsewhere/source"
# An export has no history: the time of its entries comes from here, as for any such build.
SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
again="$work/elsewhere/build"
cmake -S "$work/elsewhere/source" -B "$again" -G Ninja "-DCMAKE_BUILD_TYPE=$type" \
  -DBUILD_TESTING=OFF "-DWINDOWSFSCM_JAR_PLATFORMS=$platforms" \
  "-DWINDOWSFSCM_MUSL_RUNTIMES=$musl_runtimes" >/dev/null
cmake --build "$again" --target windowsfscm_jar windowsfscm_sources_and_docs >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }

failed=0
for artifact; do
  name=$(basename "$artifact")
  printf '%s  %s\n%s  %s\n' "$(sha256sum <"$artifact" | cut -d' ' -f1)" "$artifact" \
    "$(sha256sum <"$again/$name" | cut -d' ' -f1)" "$again/$name"
  if cmp -s "$artifact" "$again/$name"; then
    echo "ok - $name is the same in both builds"
    continue
  fi
  echo "FAIL - $name differs between the builds of $commit"
  failed=1
  # Which entries, by their sizes and checksums.
  case $name in
  *.jar)
    unzip -v "$artifact" | awk 'NR > 3 { print $1, $7, $8 }' >"$work/first.list"
    unzip -v "$again/$name" | awk 'NR > 3 { print $1, $7, $8 }' >"$work/second.list"
    diff "$work/first.list" "$work/second.list" || true
    ;;
  esac
done
[ "$failed" -eq 0 ] && rm -rf "$work"
exit "$failed"
