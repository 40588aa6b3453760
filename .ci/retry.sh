# shellcheck shell=sh
# with_retries COMMAND...: runs COMMAND up to four times, waiting longer after each failure, and
# fails as its last try did. A Debian mirror that is syncing serves, for a minute or two, index
# files and packages that do not match their Release file, and apt then fails at once; a later try
# finds the sync done. Sourced by the .ci scripts and tests/jvms/install_jvm_root.sh.
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

# apt_update [ROOT-COMMAND...]: apt-get update, tried again as above. When the last try still
# fails, the lists that did download stay, as apt keeps them; what is missing then makes the
# install that needs it fail, naming the package.
apt_update() {
  with_retries "$@" apt-get update -qq ||
    echo "apt-get update failed for some index files; going on with those it has" >&2
}
