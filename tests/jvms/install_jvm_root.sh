#!/bin/sh
# install_jvm_root.sh ROOT PACKAGE...
# Installs a minimal Debian unstable (sid) into the new folder ROOT, then PACKAGEs into it, from
# the Debian archive this machine's apt already uses. make_jvm_root.sh runs it, as root, in a
# private mount namespace.
set -e
here=$(cd "$(dirname "$0")" && pwd)
. "$here/jvm_root_mounts.sh"
. "$here/../../.ci/debian_source.sh"
. "$here/../../.ci/retry.sh"
require_private_mount_namespace
root=$1
shift

. /etc/os-release
source=$(debian_source "$VERSION_CODENAME" sid)
if [ -z "$source" ]; then
  echo "no apt source here serves $VERSION_CODENAME: cannot tell which archive to use" >&2
  exit 1
fi
archive=$(printf '%s\n' "$source" | source_archive)
uri=${archive%% *}
keyring=${archive#"$uri"}
keyring=${keyring# }
# A source that names no keyring file is checked against the archive's keys as apt knows them.
[ -n "$keyring" ] || keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# A try cut short by the archive leaves a partial system, which the next try replaces.
# Chained, since set -e does not reach inside a function whose caller tests it.
bootstrap() {
  rm -rf --one-file-system "$root" && mkdir "$root" &&
    debootstrap --variant=minbase --keyring="$keyring" sid "$root" "$uri"
}
with_retries bootstrap

# The root's apt reads the source as this machine's apt has it, signing key and all, in place of
# the line debootstrap wrote.
rm -f "$root/etc/apt/sources.list"
write_debian_source "$VERSION_CODENAME" sid "$root/etc/apt/sources.list.d/debian"
if [ -n "${archive#"$uri"}" ] && [ ! -e "$root$keyring" ]; then
  mkdir -p "$root${keyring%/*}"
  cp "$keyring" "$root$keyring"
fi
# The archive may serve an unstable whose Release file is past its Valid-Until date.
cat >"$root/etc/apt/apt.conf.d/90jvm-root" <<'EOF'
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
EOF
# Nothing here is read by people, and nothing written needs to survive a crash: the root is made
# again when it is not complete.
cat >"$root/etc/dpkg/dpkg.cfg.d/90jvm-root" <<'EOF'
force-unsafe-io
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
path-exclude=/usr/share/man/*
EOF
# The folders stay: the JDKs' update-alternatives links their manual pages into man1 even so.
for folder in doc info locale man; do
  [ ! -d "$root/usr/share/$folder" ] || find "$root/usr/share/$folder" ! -type d -delete
done
mkdir -p "$root/usr/share/man/man1"
# The device nodes debootstrap made stay out of the build folder: each process gets a /dev of its
# own (jvm_root_mounts.sh).
rm -rf --one-file-system "${root:?}/dev"
mkdir -m 755 "$root/dev"

mount_system_folders "$root"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"; }
apt_update in_root
apt_retry in_root apt-get install -y -q "$@"
in_root apt-get clean
find "$root/var/lib/apt/lists" -type f -name '*_*' -delete
