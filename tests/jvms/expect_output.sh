#!/bin/sh
# expect_output.sh [--fresh FOLDER] PATTERN COMMAND [ARGUMENT...]
# Runs COMMAND, first removing FOLDER (for tools that will not write into a folder that exists),
# and passes when it succeeds and a line of its output (standard output and error) matches the
# extended regular expression PATTERN. The output is shown either way.
set -e
fresh=
if [ "$1" = --fresh ]; then
  fresh=$2
  shift 2
fi
pattern=$1
shift
[ -z "$fresh" ] || rm -rf "$fresh"
status=0
output=$("$@" 2>&1) || status=$?
printf '%s\n' "$output"
if [ "$status" -ne 0 ]; then
  echo "expect_output.sh: the command failed with exit status $status" >&2
  exit 1
fi
if ! printf '%s\n' "$output" | grep -Eq -- "$pattern"; then
  echo "expect_output.sh: no line of the output matches $pattern" >&2
  exit 1
fi
