# The mounts a process inside the JVM root needs. Sourced by the scripts that work in the root, each
# run through `unshare --mount --propagation private`: their mounts live in that private namespace
# only, so the host never sees them (nor does its rm -rf of the build folder) and they vanish with
# the namespace's last process, however it ends.

# Stops unless this script runs in a mount namespace apart from its caller's.
require_private_mount_namespace() {
  if [ "$(readlink /proc/self/ns/mnt)" = "$(readlink "/proc/$PPID/ns/mnt")" ]; then
    echo "$0: run through unshare --mount --propagation private, never alone" >&2
    exit 125
  fi
}

# Mounts what programs in root $1 need: the root itself, so that the mount table inside lists it as
# "/"; /proc, where the dynamic linker finds the JDKs' own libraries (through /proc/self/exe); and a
# /dev of its own holding only the harmless devices, so that nothing inside can remove the host's.
# /sys stays empty: the JVMs take the processors and memory from /proc and the system calls.
mount_system_folders() {
  mount --bind "$1" "$1"
  mount -t proc -o nosuid,nodev,noexec proc "$1/proc"
  mount -t tmpfs -o nosuid,nodev,noexec,mode=755 dev "$1/dev"
  for device in null zero full random urandom tty; do
    : >"$1/dev/$device"
    mount --bind "/dev/$device" "$1/dev/$device"
  done
  mkdir "$1/dev/pts" "$1/dev/shm"
  chmod 1777 "$1/dev/shm"
  ln -s /proc/self/fd "$1/dev/fd"
  ln -s /proc/self/fd/0 "$1/dev/stdin"
  ln -s /proc/self/fd/1 "$1/dev/stdout"
  ln -s /proc/self/fd/2 "$1/dev/stderr"
}
