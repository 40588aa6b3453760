#!/bin/sh
# enter_jvm_root.sh ROOT JDK BINDS FOLDER PHYSICAL_FOLDER FOLDER_ID PROGRAM [ARGUMENT...]
# The part of run_in_jvm_root.sh that runs in the private mount namespace: mounts the root's
# system folders and the paths BINDS lists (one a line), then becomes PROGRAM in the root, in the
# working folder FOLDER (or PHYSICAL_FOLDER, its path without links), the one whose device and
# inode are FOLDER_ID.
set -e
here=$(cd "$(dirname "$0")" && pwd)
. "$here/jvm_root_mounts.sh"
require_private_mount_namespace
root=$1 jdk=$2 binds=$3 folder=$4 physical_folder=$5 folder_id=$6
shift 6

mount_system_folders "$root"
# A folder sorts before those inside it, so it never hides one bound earlier. Each mount point is
# made, and its symbolic links resolved, inside the root: a link there must not lead outside.
printf '%s' "$binds" | LC_ALL=C sort -u | while IFS= read -r path; do
  is_folder=no
  [ ! -d "$path" ] || is_folder=yes
  # shellcheck disable=SC2016 # expanded by the shell inside the root
  mount_point=$(chroot "$root" /bin/sh -c '
    if [ "$2" = yes ]; then
      mkdir -p "$1"
    else
      mkdir -p "$(dirname "$1")"
      [ -e "$1" ] || : >"$1"
    fi
    realpath "$1"' sh "$path" "$is_folder")
  mount --bind "$path" "$root$mount_point"
done

export JAVA_HOME="$jdk"
export PATH="$jdk/bin:$PATH"
# shellcheck disable=SC2016 # expanded by the shell inside the root
# The root may have a folder of its own at the working folder's path (/tmp): that one will not do.
exec chroot "$root" /bin/sh -c '
  folder_id=$3
  same_folder() { cd "$1" 2>/dev/null && [ "$(stat -c %d:%i .)" = "$folder_id" ]; }
  if ! same_folder "$1" && ! same_folder "$2"; then
    echo "run_in_jvm_root.sh: the working folder $1 is not in the root: bind it (--bind)" >&2
    exit 125
  fi
  [ -d "$HOME" ] && [ -w "$HOME" ] || HOME=/root
  export HOME
  shift 3
  exec "$@"' sh "$folder" "$physical_folder" "$folder_id" "$@"
