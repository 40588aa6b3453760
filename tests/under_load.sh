#!/bin/sh
# Runs the native tests and the Java tests of a build ROUNDS times in a row while two busy loops
# and a disk writer compete with them, as on a busy build machine: a test that passes only when
# threads or timing fall a certain way shows here. Every round runs; the summary says which
# failed, and the status is 1 if any did.
# Usage: tests/under_load.sh [BUILD] [ROUNDS]  (defaults: build, 10; ./run-tests builds BUILD)
set -u
build=${1:-build}
rounds=${2:-10}
[ -f "$build/CTestTestfile.cmake" ] || {
  echo "under_load: no tests in $build; run ./run-tests first" >&2
  exit 2
}
log="$build/under-load"
mkdir -p "$log"

busy() { while :; do :; done; }
# Writes and syncs half a gigabyte at a time, so the disk's queue and the page cache stay busy.
write_disk() {
  while :; do
    dd if=/dev/zero of="$log/disk-writer" bs=1M count=512 conv=fsync status=none
  done
}
busy &
loads=$!
busy &
loads="$loads $!"
write_disk &
loads="$loads $!"
# shellcheck disable=SC2086 # the list holds process ids only
trap 'kill $loads 2>/dev/null; rm -f "$log/disk-writer"' EXIT INT TERM

failed=0
round=1
while [ "$round" -le "$rounds" ]; do
  for part in native java; do
    case $part in
      native) selection="-L native|concurrency" ;;
      java) selection="-R ^java_" ;;
    esac
    # shellcheck disable=SC2086 # the selection is two words
    if ctest --test-dir "$build" -j2 --output-on-failure $selection >"$log/$part-$round.log" 2>&1
    then
      result=passed
    else
      result="FAILED (see $log/$part-$round.log)"
      failed=$((failed + 1))
    fi
    echo "round $round, $part tests: $(grep -E 'tests passed' "$log/$part-$round.log") $result"
  done
  round=$((round + 1))
done
echo "under load: $rounds rounds, $failed failed runs"
[ "$failed" -eq 0 ]
