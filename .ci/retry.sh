# shellcheck shell=sh
# with_retries COMMAND...: runs COMMAND up to four times, waiting longer after each failure, and
# fails as its last try did; COMMAND may read which try it is in $try. A Debian mirror that is
# syncing serves, for a minute or two, index files and packages that do not match their Release
# file, and apt then fails at once; a later try finds the sync done. Sourced by the .ci scripts
# and tests/jvms/install_jvm_root.sh.
with_retries() {
  try=1
  while :; do
    "$@" && return 0
    status=$?
    if [ "$try" -ge 4 ]; then
      echo "failed $try times: $*" >&2
      return "$status"
    fi
    echo "failed (try $try of 4), trying again in $((try * 30)) s: $*" >&2
    sleep $((try * 30))
    try=$((try + 1))
  done
}

# apt_update [ROOT-COMMAND...]: apt-get update, once. Lists that fail to download are left as they
# were, and whatever needs them fails in apt_retry, which updates them again before each retry:
# only what the install needs is waited for, not a list it never reads that a mirror may serve
# out of step for hours.
apt_update() {
  "$@" apt-get update -qq ||
    echo "apt-get update failed for some index files; going on with those it has" >&2
}

# apt_retry [ROOT-COMMAND...] apt-get install ARGUMENT...: the install, tried as with_retries
# does, with the lists updated (through the same ROOT-COMMAND, a chroot's) before each try after
# the first.
apt_retry() {
  with_retries apt_retry_try "$@"
}
apt_retry_try() {
  if [ "$try" -gt 1 ]; then
    # Shell variables are global: a name of its own, not the callers' "root".
    apt_retry_prefix=""
    for word; do
      [ "$word" != apt-get ] || break
      apt_retry_prefix="$apt_retry_prefix $word"
    done
    # shellcheck disable=SC2086 # a command's words, none with a space
    apt_update $apt_retry_prefix
  fi
  "$@"
}
