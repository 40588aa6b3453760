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
# were, and whatever needs them fails in apt_install, which updates them again before each retry:
# only what the install needs is waited for, not a list it never reads that a mirror may serve
# out of step for hours.
apt_update() {
  "$@" apt-get update -qq ||
    echo "apt-get update failed for some index files; going on with those it has" >&2
}

# apt_install ARGUMENT...: apt-get install ARGUMENT..., tried as with_retries does, with the lists
# updated before each try after the first; run through the command in $apt_root (a chroot) when
# that is set.
apt_install() {
  with_retries apt_install_try "$@"
}
apt_install_try() {
  # shellcheck disable=SC2086 # the command is one word or none
  [ "$try" -eq 1 ] || apt_update ${apt_root:-}
  # shellcheck disable=SC2086
  ${apt_root:-} apt-get install "$@"
}
